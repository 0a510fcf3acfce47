// The host and its network interfaces, as sysfs and procfs show them: the
// driver's ports (grouped into adapters by PCI bus, as one board takes one
// bus), their PCI ids, MAC addresses and VPD, and the host's other
// interfaces.
#include "lab/qslab/lab_capture.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "lab/model/lab_presets.h"

namespace lab {

namespace {

const std::string NET = "/sys/class/net/";

std::string upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A sysfs number ("0x1b7e", "4098"); `fallback` when absent or unreadable.
unsigned long number_of(const HostFiles &host, const std::string &path, unsigned long fallback = 0)
{
    auto text = host.line(path);
    if (!text)
        return fallback;
    try {
        return std::stoul(*text, nullptr, 0);
    } catch (const std::exception &) {
        return fallback;
    }
}

bool interface_up(const HostFiles &host, const std::string &ifname)
{
    if (auto state = host.line(NET + ifname + "/operstate"))
        if (*state == "up" || *state == "down")
            return *state == "up";
    return number_of(host, NET + ifname + "/flags") & 1; // IFF_UP
}

std::string mac_of(const HostFiles &host, const std::string &ifname)
{
    return upper(host.line(NET + ifname + "/address").value_or("00:00:00:00:00:00"));
}

// "0000:03" of "0000:03:00.0": the adapter's bus.
std::string bus_of(const std::string &pci_addr)
{
    return pci_addr.substr(0, pci_addr.rfind(':'));
}

uint32_t packed_address(const std::string &pci_addr)
{
    unsigned d = 0, b = 0, s = 0, f = 0;
    std::sscanf(pci_addr.c_str(), "%x:%x:%x.%x", &d, &b, &s, &f);
    return d << 16 | b << 8 | s << 3 | f;
}

// The identifier string at the start of a VPD image, or "".
std::string vpd_id_string(const std::vector<uint8_t> &vpd)
{
    if (vpd.size() < 3 || vpd[0] != 0x82)
        return "";
    size_t len = vpd[1] | vpd[2] << 8;
    return std::string(vpd.begin() + 3, vpd.begin() + static_cast<long>(std::min(vpd.size(), 3 + len)));
}

void capture_vpd(const HostFiles &host, Adapter &a, size_t number, std::vector<std::string> &notes)
{
    const std::string &pci_addr = a.ports.front().pci_addr;
    auto vpd = host.vpd(pci_addr);
    if (!vpd || vpd->empty()) {
        // An EEPROM that reads erased: the adapter shows no VPD at all.
        a.vpd.present = false;
        a.vpd_sysfs = vpd.has_value();
        notes.push_back("adapter " + std::to_string(number) + ": no VPD could be read (" +
                        host.on_root("/sys/bus/pci/devices/" + pci_addr + "/vpd") +
                        "), so its serial number is not captured");
        return;
    }
    // An old kernel's file is the whole address window: what it read up to
    // the end of the EEPROM is the EEPROM.
    if (host.vpd_file_size(pci_addr) == 32768 && vpd->size() < 32768) {
        a.vpd_sysfs_size = 32768;
        a.vpd_eeprom_size = static_cast<unsigned>((vpd->size() + 3) / 4 * 4);
    }
    while (!vpd->empty() && vpd->back() == 0xFF)
        vpd->pop_back();
    a.eeprom = *vpd;
    a.product = vpd_id_string(*vpd);
}

Adapter adapter_of(const HostFiles &host, const std::vector<Port> &ports, size_t number,
                   std::vector<std::string> &notes)
{
    Adapter a;
    a.preset = "captured";
    a.ports = ports;
    const std::string dir = "/sys/bus/pci/devices/" + ports.front().pci_addr + "/";
    a.vendor_id = static_cast<uint16_t>(number_of(host, dir + "vendor"));
    a.device_id = static_cast<uint16_t>(number_of(host, dir + "device"));
    a.subsystem_vendor_id = static_cast<uint16_t>(number_of(host, dir + "subsystem_vendor"));
    a.subsystem_device_id = static_cast<uint16_t>(number_of(host, dir + "subsystem_device"));
    capture_vpd(host, a, number, notes);
    if (a.product.empty())
        a.product = "captured adapter";
    unsigned d = 0, b = 0, s = 0, f = 0;
    std::sscanf(ports.front().pci_addr.c_str(), "%x:%x:%x.%x", &d, &b, &s, &f);
    char proc[40];
    if (d)
        std::snprintf(proc, sizeof proc, "/proc/bus/pci/%04x:%02x/%02x.%x", d, b, s, f);
    else
        std::snprintf(proc, sizeof proc, "/proc/bus/pci/%02x/%02x.%x", b, s, f);
    a.proc_bus_pci = host.exists(proc);
    return a;
}

Interface other_interface(const HostFiles &host, const std::string &ifname)
{
    Interface i;
    i.ifname = ifname;
    i.mac = mac_of(host, ifname);
    i.up = interface_up(host, ifname);
    const std::string pci_addr = host.link_name(NET + ifname + "/device");
    if (!pci_addr.empty()) {
        i.kind = "ethernet";
        i.bus_info = pci_addr;
        i.driver = host.link_name(NET + ifname + "/device/driver");
        i.version = host.line("/sys/module/" + i.driver + "/version").value_or("");
        i.vendor_id = static_cast<uint16_t>(number_of(host, NET + ifname + "/device/vendor"));
        i.device_id = static_cast<uint16_t>(number_of(host, NET + ifname + "/device/device"));
    } else if (auto vlan = host.text("/proc/net/vlan/" + ifname)) {
        i.kind = "vlan";
        size_t vid = vlan->find("VID: "), dev = vlan->find("Device: ");
        if (vid != std::string::npos)
            i.vlan_id = std::atoi(vlan->c_str() + vid + 5);
        if (dev != std::string::npos)
            i.lower = vlan->substr(dev + 8, vlan->find('\n', dev) - dev - 8);
    } else {
        // Virtual without a VLAN's record: the loopback, which has no
        // driver information to give.
        i.kind = "loopback";
        i.has_drvinfo = false;
    }
    return i;
}

} // namespace

Capture capture_host(const HostFiles &host, bool with_flash)
{
    Capture capture;
    const HostKind kind = host.exists("/proc/vmware") ? HostKind::esx : HostKind::linux_host;
    LabState &state = capture.state = make_host(kind, true);
    state.interfaces.clear();
    Host &h = state.host;
    if (auto release = host.line("/proc/sys/kernel/osrelease"))
        h.kernel_release = *release;
    else
        capture.notes.push_back("the kernel release is not shown (" + host.on_root("/proc/sys/kernel/osrelease") +
                                "): the lab says " + h.kernel_release);
    h.hostname = host.line("/proc/sys/kernel/hostname").value_or(h.hostname);
    if (auto version = host.line("/sys/module/qsc/version"))
        h.driver_version = *version;
    else
        capture.notes.push_back("the driver version is not shown (" + host.on_root("/sys/module/qsc/version") +
                                "): the lab says " + h.driver_version);
    // Modules that hold device numbers show in /proc/devices.
    std::istringstream devices(host.text("/proc/devices").value_or(""));
    for (std::string line; std::getline(devices, line);) {
        unsigned major = 0;
        char name[64];
        if (std::sscanf(line.c_str(), " %u %63s", &major, name) != 2)
            continue;
        std::string n = name;
        if ((n == "mtd" && major == 90) || (n == "mtdblock" && major == 31))
            h.modules_loaded.push_back(n == "mtd" ? "mtdchar" : "mtdblock");
        if (n == "qsc_control")
            h.qsc_control_major = major;
    }

    std::vector<Port> ports;
    for (const std::string &ifname : host.list("/sys/class/net")) {
        if (host.link_name(NET + ifname + "/device/driver") != "qsc") {
            state.interfaces.push_back(other_interface(host, ifname));
            continue;
        }
        Port p;
        p.ifname = ifname;
        p.mac = mac_of(host, ifname);
        p.pci_addr = host.link_name(NET + ifname + "/device");
        p.phy_type = static_cast<int>(number_of(host, NET + ifname + "/device/phy_type", 0));
        p.up = interface_up(host, ifname);
        ports.push_back(p);
    }
    if (ports.empty())
        throw std::runtime_error("no port of the qsc driver under " + host.root() +
                                 " (no interface in /sys/class/net whose device/driver is qsc)");
    std::stable_sort(ports.begin(), ports.end(), [](const Port &x, const Port &y) {
        return packed_address(x.pci_addr) < packed_address(y.pci_addr);
    });
    for (size_t first = 0; first < ports.size();) {
        size_t end = first + 1;
        while (end < ports.size() && bus_of(ports[end].pci_addr) == bus_of(ports[first].pci_addr))
            ++end;
        std::vector<Port> adapter_ports(ports.begin() + static_cast<long>(first), ports.begin() + static_cast<long>(end));
        state.adapters.push_back(adapter_of(host, adapter_ports, state.adapters.size() + 1, capture.notes));
        first = end;
    }
    capture_partitions(host, with_flash, capture);
    return capture;
}

} // namespace lab
