// Port records as discovery builds them, fields no report prints included.
#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "lib/utils/byteorder.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

struct Record {
    std::string ifname, serial, pci_addr;
    uint32_t device_id, subsystem_id, port_index;
    int phy_type;
    int master; // index of the group's first port
    bool operator==(const Record &) const = default;
};

std::vector<Record> enumerate(const lab::LabState &state)
{
    InProcessLab host(state);
    ScopedPlatform scoped(host.platform());
    EXPECT_EQ(qsu_device_init(), 0);
    qsu_device *devs = nullptr;
    int n = qsu_device_enum(&devs);
    EXPECT_GE(n, 0);
    std::vector<Record> records;
    for (int i = 0; i < n; ++i)
        records.push_back({devs[i].netif_name, devs[i].serial_number, devs[i].pci_addr, devs[i].pci_device_id,
                           devs[i].pci_subsystem_id, devs[i].port_index, devs[i].phy_type,
                           static_cast<int>(devs[i].master_port - devs)});
    std::free(devs);
    return records;
}

std::string serial_of(const lab::Adapter &adapter, const char *keyword)
{
    for (const lab::VpdField &f : adapter.vpd.fields)
        if (f.keyword == keyword)
            return f.value;
    return "";
}

} // namespace

// ESXi serials come from the static configuration's VPD copy, bounds checked.
TEST(DiscoveryRecords, EsxiSerialsFromTheStaticConfiguration)
{
    const char *birch0 = "a1-static-cfg-00-p0", *birch1 = "a1-static-cfg-00-p1", *cedar = "a2-static-cfg-00";
    auto put = [](const char *id, size_t adapter, size_t at, uint32_t value) {
        return [=](lab::LabState &s) { store_le32(&partition_of(s, id, adapter).initial_contents[at], value); };
    };
    lab::LabState one_port_host = lab_host(lab::HostKind::esxi, {{"birch", 2}, {"cedar", 1}});
    const Bytes one_port_cedar = partition_of(one_port_host, cedar, 1).initial_contents;
    const std::string damaged = "(Static configuration: total length field in header does not match content)\n";
    const struct {
        const char *name;
        std::function<void(lab::LabState &)> damage;
        // Per port (birch 0, 1, cedar 0, 1, dogwood 0): whether its serial was read, its group's first port.
        std::string serials, masters, out;
    } cases[] = {
        {"intact", [](lab::LabState &) {}, "11110", "00224", ""},
        {"VPD offset at the partition's end", put(birch1, 0, 8, 0x10000), "10110", "01224", ""},
        {"VPD region reaching the partition's end", put(birch0, 0, 12, 0x10000 - 64), "11110", "00224", ""},
        {"VPD running one byte past the end", put(birch0, 0, 12, 0x10000 - 63), "01110", "01224", ""},
        {"VPD region wrapping around 32 bits",
         [&](lab::LabState &s) { put(birch0, 0, 8, 0xFFFFFF00)(s), put(birch0, 0, 12, 0x140)(s); }, "01110", "01224",
         ""},
        {"no item for port 1", [&](lab::LabState &s) { partition_of(s, cedar, 1).initial_contents = one_port_cedar; },
         "11100", "00234", ""},
        {"driver without MCDI", [](lab::LabState &s) { s.host.mcdi_available = false; }, "00000", "00224", ""},
        {"damaged TLV partition", put(cedar, 1, 16, 0x20), "11000", "00224", damaged + damaged},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = lab_host(lab::HostKind::esxi, {{"birch", 2}, {"cedar", 2}, {"dogwood", 1}});
        c.damage(state);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        nv_reset_for_tests();
        const std::vector<Record> records = enumerate(state);
        EXPECT_TRUE(nv_use_char_dev); // the control device, as ESXi has no other
        EXPECT_EQ(std::pair(testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()),
                  std::pair(c.out, std::string("get_qs_serial_esxi(): unsupported device type.\n")));
        ASSERT_EQ(records.size(), 5u);
        // A serial holds an adapter together; ports without one group by PCI device.
        std::string serials, masters;
        for (size_t i = 0; i < 5; ++i) {
            const std::string serial = serial_of(state.adapters[i / 2], "SN");
            EXPECT_NE(serial, "");
            serials += records[i].serial == serial ? '1' : records[i].serial.empty() ? '0' : '?';
            masters += std::to_string(records[i].master);
        }
        EXPECT_EQ(std::pair(serials, masters), std::pair(c.serials, c.masters));
    }
}

// Identity when a source fails: ESXi's driver, sysfs id attributes, the old kernels' VPD window.
TEST(DiscoveryRecords, IdentityWhenItsSourcesFail)
{
    auto fails = [](std::string attr, std::string operation) {
        return [=](lab::LabState &s) {
            s.faults = {{"/sys/bus/pci/devices/0000:03:00.0/" + attr, operation, "", 0,
                         operation == "open" ? ENOENT : EIO, std::nullopt}};
        };
    };
    auto esxi = [](bool answers) {
        return [=](lab::LabState &s) {
            s.adapters[0].ports[0].pci_addr = "0001:03:00.0";
            if (!answers)
                s.faults = {{"vmnic1", "command", "0xEF22", 0, EIO, std::nullopt}};
        };
    };
    auto old_window = [](lab::LabState &s) {
        std::tie(s.adapters[0].config.vpd_capability, s.adapters[0].vpd_sysfs_size, s.adapters[0].vpd_eeprom_size) =
            std::tuple(false, 32768, 256);
    };
    const Record dogwood2 = {"eth0", "SN", "0000:03:00.0", 0x1B7E0B03, 0x1B7E8022, 0, 0, 0};
    auto with_ids = [](Record r, uint32_t device_id, uint32_t subsystem_id) {
        std::tie(r.device_id, r.subsystem_id) = std::pair(device_id, subsystem_id);
        return r;
    };
    const struct {
        lab::HostKind kind;
        const char *preset;
        std::function<void(lab::LabState &)> change;
        Record expected; // its serial: the VPD keyword holding it
    } cases[] = {
        {lab::HostKind::esxi, "birch", esxi(true), {"vmnic1", "SN", "0001:03:00.0", 0x1B7E0803, 0x103C3382, 0, 2, 0}},
        {lab::HostKind::esxi, "birch", esxi(false), {"vmnic1", "SN", "0001:03:00.0", 0x1B7E0803, 0x103C3382, 0, -1, 0}},
        {lab::HostKind::linux_host, "dogwood2", fails("device", "open"), with_ids(dogwood2, 0x1B7E0000, 0x1B7E8022)},
        {lab::HostKind::linux_host, "dogwood2", fails("device", "read"), with_ids(dogwood2, 0, 0x1B7E8022)},
        {lab::HostKind::linux_host, "dogwood2", fails("vendor", "read"), with_ids(dogwood2, 0, 0x1B7E8022)},
        {lab::HostKind::linux_host, "dogwood2", fails("subsystem_vendor", "open"), with_ids(dogwood2, 0x1B7E0B03, 0)},
        {lab::HostKind::linux_host, "dogwood2", fails("subsystem_device", "read"), with_ids(dogwood2, 0x1B7E0B03, 0)},
        {lab::HostKind::linux_host, "oem", old_window, {"eth0", "VE", "0000:03:00.0", 0x1B7E0B03, 0x1B7E802C, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        lab::LabState state = lab_host(c.kind, {{c.preset, 1}});
        c.change(state);
        Record expected = c.expected;
        expected.serial = serial_of(state.adapters[0], expected.serial.c_str());
        EXPECT_NE(expected.serial, "");
        EXPECT_EQ(enumerate(state), std::vector<Record>{expected});
    }
}
