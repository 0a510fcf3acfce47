// Port records as discovery builds them, run in-process against a lab, so
// that the fields no report prints (port index, PCI ids, serial number)
// are checked as well.
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

std::vector<Record> enumerate(InProcessLab &host)
{
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

// A PCI-X board in slot 4, and one of sixteen functions whose functions 8
// and up read as device 1: the port index is device * 8 + function, and
// one serial number holds the whole adapter together.
TEST(DiscoveryRecords, PortIndexCountsDevicesAndFunctions)
{
    InProcessLab host(lab_host(lab::HostKind::linux_host, {{"alder", 2}, {"dogwood", 10}}));
    const std::string alder = serial_of(host.lab().state().adapters[0], "SN");
    const std::string dogwood = serial_of(host.lab().state().adapters[1], "SN");
    std::vector<Record> expected = {
        {"eth0", alder, "0000:03:04.0", 0x1B7E0703, 0x1B7E0013, 32, 1, 0},
        {"eth1", alder, "0000:03:04.1", 0x1B7E0703, 0x1B7E0013, 33, 1, 0},
    };
    for (unsigned i = 0; i < 10; ++i)
        expected.push_back({"eth" + std::to_string(2 + i), dogwood,
                            "0000:04:0" + std::to_string(i / 8) + "." + std::to_string(i % 8), 0x1B7E0A03,
                            0x1B7E8010, i, 0, 2});
    EXPECT_EQ(enumerate(host), expected);
}

// On ESXi the driver's control device gives the ids and the PHY type;
// without it /proc/bus/pci (whose path names a domain other than 0) gives
// the ids and no PHY type.
TEST(DiscoveryRecords, EsxiIdsFromTheDriverElseTheConfigurationHeader)
{
    for (bool driver_answers : {true, false}) {
        SCOPED_TRACE(driver_answers);
        lab::LabState state = lab_host(lab::HostKind::esxi, {{"birch", 1}});
        state.adapters[0].ports[0].pci_addr = "0001:03:00.0";
        if (!driver_answers)
            state.faults = {{"vmnic1", "command", "0xEF22", 0, EIO, std::nullopt}};
        InProcessLab host(state);
        std::vector<Record> expected = {{"vmnic1", serial_of(state.adapters[0], "SN"), "0001:03:00.0", 0x1B7E0803,
                                         0x103C3382, 0, driver_answers ? 2 : -1, 0}};
        EXPECT_EQ(enumerate(host), expected);
    }
}

// ESXi has no VPD access of its own: Birch and Cedar ports take their
// serial from the VPD copy in the static configuration, read through the
// controller, and so are grouped as on Linux.  A VPD not inside the
// partition, a damaged partition, or a port without its item leaves it
// empty; later generations have no such copy.
TEST(DiscoveryRecords, EsxiSerialsFromTheStaticConfiguration)
{
    auto static_cfg = [](lab::LabState &state, size_t adapter, unsigned port) -> std::vector<uint8_t> & {
        for (lab::Partition &p : state.adapters[adapter].partitions)
            if (p.kind == NV_PART_STATIC_CFG && (p.mtd_all_ports || p.mtd_ports == std::vector<unsigned>{port}))
                return p.initial_contents;
        std::abort();
    };
    auto put = [&](size_t adapter, unsigned port, size_t at, uint32_t value) {
        return [=](lab::LabState &s) { store_le32(&static_cfg(s, adapter, port)[at], value); };
    };
    lab::LabState one_port_cedar = lab_host(lab::HostKind::esxi, {{"birch", 2}, {"cedar", 1}});
    const std::string damaged = "(Static configuration: total length field in header does not match content)\n";
    const struct {
        const char *name;
        std::function<void(lab::LabState &)> damage;
        std::string serials; // per port: birch 0, 1, cedar 0, 1, dogwood 0
        std::string out;
    } cases[] = {
        {"intact", [](lab::LabState &) {}, "11110", ""},
        {"VPD offset at the partition's end", put(0, 1, 8, 0x10000), "10110", ""},
        {"VPD region reaching the partition's end", put(0, 0, 12, 0x10000 - 64), "11110", ""},
        {"VPD running one byte past the end", put(0, 0, 12, 0x10000 - 63), "01110", ""},
        {"VPD region wrapping around 32 bits",
         [&](lab::LabState &s) { put(0, 0, 8, 0xFFFFFF00)(s), put(0, 0, 12, 0x140)(s); }, "01110", ""},
        {"no item for port 1", [&](lab::LabState &s) { static_cfg(s, 1, 0) = static_cfg(one_port_cedar, 1, 0); },
         "11100", ""},
        {"driver without MCDI", [](lab::LabState &s) { s.host.mcdi_available = false; }, "00000", ""},
        {"damaged TLV partition", put(1, 0, 16, 0x20), "11000", damaged + damaged},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = lab_host(lab::HostKind::esxi, {{"birch", 2}, {"cedar", 2}, {"dogwood", 1}});
        c.damage(state);
        InProcessLab host(state);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        nv_reset_for_tests();
        const std::vector<Record> records = enumerate(host);
        EXPECT_TRUE(nv_use_char_dev); // the control device, as ESXi has no other
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "get_qs_serial_esxi(): unsupported device type.\n");
        ASSERT_EQ(records.size(), 5u);
        std::string masters;
        for (size_t i = 0; i < 5; ++i) {
            const std::string serial = serial_of(state.adapters[i / 2], "SN");
            EXPECT_EQ(records[i].serial, c.serials[i] == '1' ? serial : "") << i;
            EXPECT_NE(serial, "");
            masters += std::to_string(records[i].master);
        }
        // One serial holds an adapter together; a port without one stands apart.
        if (c.serials == "11110") {
            EXPECT_EQ(masters, "00224");
        }
    }
}

// Ids combine two attributes.  An attribute that cannot be opened leaves
// the vendor half alone only when it is the second one; one that opens but
// cannot be read, or a first one that fails, gives 0.
TEST(DiscoveryRecords, PciIdsWhenAttributesFail)
{
    const std::string fn = "/sys/bus/pci/devices/0000:03:00.0/";
    struct Case {
        std::string attr, operation;
        uint32_t device_id, subsystem_id;
    } cases[] = {
        {"device", "open", 0x1B7E0000, 0x1B7E8022},
        {"device", "read", 0, 0x1B7E8022},
        {"vendor", "read", 0, 0x1B7E8022},
        {"subsystem_vendor", "open", 0x1B7E0B03, 0},
        {"subsystem_device", "read", 0x1B7E0B03, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.operation + " " + c.attr);
        lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}});
        state.faults = {{fn + c.attr, c.operation, "", 0, c.operation == "open" ? ENOENT : EIO, std::nullopt}};
        InProcessLab host(state);
        std::vector<Record> records = enumerate(host);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].device_id, c.device_id);
        EXPECT_EQ(records[0].subsystem_id, c.subsystem_id);
    }
}

// Older kernels show the whole 32 KiB VPD window in sysfs; reading on past
// the EEPROM fails.  What was read before that is the VPD.
TEST(DiscoveryRecords, SerialFromTheOldKernelsVpdWindow)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"oem", 1}});
    lab::Adapter &oem = state.adapters[0];
    oem.config.vpd_capability = false;
    oem.vpd_sysfs_size = 32768;
    oem.vpd_eeprom_size = 256;
    InProcessLab host(state);
    std::vector<Record> records = enumerate(host);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].serial, serial_of(oem, "VE"));
}

TEST(DiscoveryRecords, NvAccessGoesThroughTheControlDeviceOffLinux)
{
    for (auto [kind, char_dev] : {std::pair{lab::HostKind::linux_host, false}, {lab::HostKind::esxi, true},
                                  {lab::HostKind::esx, true}}) {
        SCOPED_TRACE(lab::host_kind_name(kind));
        InProcessLab host(lab_host(kind, {{"cedar", 1}}));
        ScopedPlatform scoped(host.platform());
        ASSERT_EQ(qsu_device_init(), 0);
        for (int run = 0; run < 2; ++run) { // on ESX the second finds the node the first made
            nv_use_char_dev = !char_dev;
            EXPECT_EQ(nv_init(), 0);
            EXPECT_EQ(nv_use_char_dev, char_dev);
        }
    }
}
