#include "lab/host/lab_fake_root.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "lab/flash/lab_mtd.h"
#include "lab/host/lab_pci_config.h"
#include "lab/model/lab_vpd.h"

namespace fs = std::filesystem;

namespace lab {

namespace {

void put_file(const fs::path &path, const std::string &content,
              fs::perms perms = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
    out.close();
    fs::permissions(path, perms);
}

// Relative links, so that they resolve inside the fake root.
void put_link(const fs::path &link, const fs::path &target)
{
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
}

std::string hex_attr(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x\n", value);
    return text;
}

// "0000:03:00.0" lives under "pci0000:00".
fs::path function_dir(const fs::path &sys, const std::string &pci_addr)
{
    return sys / "devices" / ("pci" + pci_addr.substr(0, 4) + ":00") / pci_addr;
}

std::string bytes(const uint8_t *data, size_t len)
{
    return std::string(reinterpret_cast<const char *>(data), len);
}

// "/proc/bus/pci/03/00.0", or "0001:03/00.0" outside domain 0.
fs::path proc_pci_path(const fs::path &proc, const std::string &pci_addr)
{
    unsigned domain, bus, dev, fn;
    if (std::sscanf(pci_addr.c_str(), "%x:%x:%x.%x", &domain, &bus, &dev, &fn) != 4)
        throw std::runtime_error("bad PCI address " + pci_addr);
    char dir[16], file[16];
    if (domain)
        std::snprintf(dir, sizeof dir, "%04x:%02x", domain, bus);
    else
        std::snprintf(dir, sizeof dir, "%02x", bus);
    std::snprintf(file, sizeof file, "%02x.%x", dev, fn);
    return proc / "bus" / "pci" / dir / file;
}

void put_netdev(const fs::path &sys, const fs::path &parent, const std::string &ifname,
                const std::string &mac, bool up)
{
    fs::path dir = parent / "net" / ifname;
    std::string address = mac;
    for (char &c : address)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    put_file(dir / "address", address + "\n");
    put_file(dir / "operstate", up ? "up\n" : "down\n");
    put_file(dir / "flags", up ? "0x1003\n" : "0x1002\n");
    put_link(sys / "class" / "net" / ifname, dir);
    if (parent.filename() != "virtual")
        put_link(dir / "device", parent);
}

std::string proc_devices(const LabState &state)
{
    const Host &h = state.host;
    std::string chars = "Character devices:\n  1 mem\n  4 /dev/vc/0\n  4 tty\n  5 /dev/tty\n"
                        " 10 misc\n 13 input\n";
    std::string blocks = "\nBlock devices:\n  8 sd\n";
    if (module_loaded(h, "mtdchar"))
        chars += " 90 mtd\n";
    if (module_loaded(h, "mtdblock"))
        blocks += " 31 mtdblock\n";
    if (h.kind == HostKind::esx && h.driver_loaded)
        chars += std::to_string(h.qsc_control_major) + " qsc_control\n";
    return chars + blocks;
}

class RootBuilder {
public:
    RootBuilder(const LabState &state, const fs::path &root)
        : state_(state), sys_(root / "sys"), proc_(root / "proc")
    {
    }

    std::map<std::string, EmulatedFile> build()
    {
        bool esxi = state_.host.kind == HostKind::esxi;
        if (!esxi) {
            fs::create_directories(sys_ / "class" / "net");
            fs::create_directories(sys_ / "bus" / "pci" / "drivers");
            if (state_.host.driver_loaded)
                fs::create_directories(sys_ / "bus" / "pci" / "drivers" / "qsc");
        }
        for (size_t a = 0; a < state_.adapters.size(); ++a)
            for (size_t p = 0; p < state_.adapters[a].ports.size(); ++p) {
                if (!esxi)
                    adapter_function(a, p);
                proc_header(state_.adapters[a], p);
            }
        for (const Interface &i : state_.interfaces)
            if (!esxi)
                other_interface(i);
        procfs();
        return std::move(emulated_);
    }

private:
    void adapter_function(size_t a, size_t p)
    {
        const Adapter &adapter = state_.adapters[a];
        const Port &port = adapter.ports[p];
        fs::path dir = function_dir(sys_, port.pci_addr);
        put_file(dir / "vendor", hex_attr(adapter.vendor_id));
        put_file(dir / "device", hex_attr(adapter.device_id));
        put_file(dir / "subsystem_vendor", hex_attr(adapter.subsystem_vendor_id));
        put_file(dir / "subsystem_device", hex_attr(adapter.subsystem_device_id));
        put_file(dir / "class", "0x020000\n");
        put_emulated(dir / "config", {EmulatedFile::Kind::pci_config, a, p},
                     fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                         fs::perms::others_read);
        if (adapter.vpd_sysfs)
            put_emulated(dir / "vpd", {EmulatedFile::Kind::vpd, a, p},
                         fs::perms::owner_read | fs::perms::owner_write, vpd_sysfs_size(adapter));
        put_link(sys_ / "bus" / "pci" / "devices" / port.pci_addr, dir);
        if (!state_.host.driver_loaded)
            return;
        // What the driver adds once it has bound the function.
        fs::path driver = sys_ / "bus" / "pci" / "drivers" / "qsc";
        put_link(driver / port.pci_addr, dir);
        put_link(dir / "driver", driver);
        put_file(dir / "phy_type", std::to_string(port.phy_type) + "\n");
        put_emulated(dir / "phy_flash_cfg", {EmulatedFile::Kind::phy_flash_cfg, a, p},
                     fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                         fs::perms::others_read);
        put_netdev(sys_, dir, port.ifname, port.mac, port.up);
    }

    void other_interface(const Interface &i)
    {
        fs::path parent = sys_ / "devices" / "virtual";
        if (i.kind == "ethernet" && !i.bus_info.empty()) {
            parent = function_dir(sys_, i.bus_info);
            put_file(parent / "vendor", hex_attr(i.vendor_id));
            put_file(parent / "device", hex_attr(i.device_id));
            put_link(sys_ / "bus" / "pci" / "devices" / i.bus_info, parent);
            // The qsc driver's bindings are the adapters' alone.
            if (!i.driver.empty() && i.driver != "qsc") {
                fs::path driver = sys_ / "bus" / "pci" / "drivers" / i.driver;
                put_link(driver / i.bus_info, parent);
                put_link(parent / "driver", driver);
                put_file(sys_ / "module" / i.driver / "version", i.version + "\n");
            }
        }
        put_netdev(sys_, parent, i.ifname, i.mac, i.up);
    }

    void proc_header(const Adapter &adapter, size_t p)
    {
        if (!adapter.proc_bus_pci)
            return;
        auto header = build_config_header(adapter, static_cast<unsigned>(p));
        put_file(proc_pci_path(proc_, adapter.ports[p].pci_addr), bytes(header.data(), header.size()),
                 fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                     fs::perms::others_read);
    }

    void procfs()
    {
        const Host &h = state_.host;
        put_file(proc_ / "devices", proc_devices(state_));
        if (h.kind == HostKind::esxi)
            return;
        // What uname and the driver's module report, where a reader of
        // files finds them.
        put_file(proc_ / "sys" / "kernel" / "osrelease", h.kernel_release + "\n");
        put_file(proc_ / "sys" / "kernel" / "hostname", h.hostname + "\n");
        if (h.driver_loaded)
            put_file(sys_ / "module" / "qsc" / "version", h.driver_version + "\n");
        put_file(proc_ / "mtd", proc_mtd());
        if (h.kind == HostKind::esx)
            put_file(proc_ / "vmware" / "version", "VMware ESX 4.1.0 [Releasebuild-260247]\n");

        std::string vlan_config = "VLAN Dev name\t | VLAN ID\nName-Type: VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD\n";
        bool any_vlan = false;
        for (const Interface &i : state_.interfaces) {
            if (i.kind != "vlan")
                continue;
            any_vlan = true;
            char row[64];
            std::snprintf(row, sizeof row, "%-15s| %d  | ", i.ifname.c_str(), i.vlan_id);
            vlan_config += row + i.lower + "\n";
            put_file(proc_ / "net" / "vlan" / i.ifname,
                     i.ifname + "  VID: " + std::to_string(i.vlan_id) +
                         "\t REORDER_HDR: 1  dev->priv_flags: 1001\nDevice: " + i.lower + "\n",
                     fs::perms::owner_read | fs::perms::owner_write);
        }
        if (any_vlan)
            put_file(proc_ / "net" / "vlan" / "config", vlan_config,
                     fs::perms::owner_read | fs::perms::owner_write);
    }

    // The MTD core lists every registered device, whichever of mtdchar and
    // mtdblock gives it nodes.
    std::string proc_mtd() const
    {
        std::string text = "dev:    size   erasesize  name\n";
        for (const MtdDevice &d : mtd_devices(state_)) {
            const Partition &p = state_.adapters[d.adapter].partitions[d.partition];
            char line[128];
            std::snprintf(line, sizeof line, "mtd%u: %8.8llx %8.8x \"", d.number,
                          static_cast<unsigned long long>(p.size), p.erase_size);
            text += line + d.name + "\"\n";
        }
        return text;
    }

    void put_emulated(const fs::path &path, EmulatedFile file, fs::perms perms, size_t size = 4096)
    {
        // A placeholder of the size sysfs reports makes stat and listings
        // look right; reads and writes never reach it.
        put_file(path, "", perms);
        fs::resize_file(path, size);
        emulated_.emplace(fs::canonical(path).string(), file);
    }

    const LabState &state_;
    fs::path sys_;
    fs::path proc_;
    std::map<std::string, EmulatedFile> emulated_;
};

} // namespace

void refresh_proc_devices(const LabState &state, const std::string &root)
{
    fs::path path = fs::path(root) / "proc" / "devices";
    fs::remove(path); // read-only, as procfs shows it
    put_file(path, proc_devices(state));
}

std::map<std::string, EmulatedFile> build_fake_root(const LabState &state, const std::string &root_dir)
{
    fs::path root = root_dir;
    fs::remove_all(root / "sys");
    fs::remove_all(root / "proc");
    fs::create_directories(root / "dev");
    fs::create_directories(root / "var" / "lib");
    fs::create_directories(root / "run" / "lock");
    // As on Debian: anyone may make a file there, and remove only their own.
    fs::permissions(root / "run" / "lock", fs::perms::all | fs::perms::sticky_bit);
    return RootBuilder(state, fs::canonical(root)).build();
}

std::vector<DeviceNode> all_nodes(const LabState &state)
{
    std::vector<DeviceNode> nodes;
    const Host &h = state.host;
    if (h.kind == HostKind::esxi) {
        auto add_vmnic = [&](const std::string &ifname) {
            unsigned n;
            char tail;
            if (std::sscanf(ifname.c_str(), "vmnic%u%c", &n, &tail) == 1)
                nodes.push_back({"/dev/" + ifname, false, h.vmnic_major, n, 0600});
        };
        if (h.driver_loaded) {
            nodes.push_back({"/dev/qsc_control", false, h.qsc_control_major, 1, 0600});
            for (const Adapter &a : state.adapters)
                for (const Port &p : a.ports)
                    add_vmnic(p.ifname);
        }
        for (const Interface &i : state.interfaces)
            add_vmnic(i.ifname);
    }
    const std::vector<MtdDevice> mtds = mtd_devices(state);
    if (mtd_nodes_present(state, "mtdchar"))
        for (const MtdDevice &d : mtds)
            for (bool read_only : {false, true})
                nodes.push_back({"/dev/mtd" + std::to_string(d.number) + (read_only ? "ro" : ""), false,
                                 MTD_CHAR_MAJOR, 2 * d.number + read_only, 0600});
    if (mtd_nodes_present(state, "mtdblock"))
        for (const MtdDevice &d : mtds)
            nodes.push_back({"/dev/mtdblock" + std::to_string(d.number), true, MTD_BLOCK_MAJOR, d.number, 0600});
    nodes.insert(nodes.end(), state.nodes.begin(), state.nodes.end());
    return nodes;
}

} // namespace lab
