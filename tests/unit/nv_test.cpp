// The NV access layer: which backend opens a partition, whole-partition
// reads, existence checks, and partitions reached through any port of an
// adapter.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/nv_backends.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/mtd_host.h"

namespace {

// Three ports of one adapter, eth0 to eth2, in PCI order.
struct Adapter {
    qsu_device ports[3] = {};
    Adapter(uint32_t device_id = 0x1B7E0A03)
    {
        for (int i = 0; i < 3; ++i) {
            std::snprintf(ports[i].netif_name, sizeof ports[i].netif_name, "eth%d", i);
            std::strcpy(ports[i].serial_number, "SAAAARBBBBBB");
            ports[i].pci_device_id = device_id;
        }
        qsu_group_devices(ports, 3);
    }
};

// Only an ENOENT from MTD sends nv_open to the controller through a socket.
TEST(NvOpen, FallsBackToTheSocketWhenMtdHasNoSuchPartition)
{
    struct {
        const char *what;
        const char *listed; // in "/proc/mtd"
        uint32_t device_id;
        int open_errno; // of the MTD node, or -1: no MTD driver can be had
        bool char_dev;
        int err; // 0: opens through MTD
        int sockets;
        const char *message;
    } cases[] = {
        {"listed", "eth0 qsc_dynamic_cfg:00", 0x1B7E0A03, 0, false, 0, 0, ""},
        {"not listed", "eth0 qsc_dynamic_cfg:01", 0x1B7E0A03, 0, false, ENOENT, 1, ""},
        {"header only", nullptr, 0x1B7E0A03, 0, false, ENOENT, 1, ""},
        {"no MTD partitions", "eth0 qsc_dynamic_cfg:00", 0x1B7E0703, 0, false, ENOENT, 1, ""},
        {"node refused", "eth0 qsc_dynamic_cfg:00", 0x1B7E0A03, EACCES, false, EACCES, 0, ""},
        {"no MTD driver", "eth0 qsc_dynamic_cfg:00", 0x1B7E0A03, -1, false, ENOENT, 1, ""},
        {"control device", "eth0 qsc_dynamic_cfg:00", 0x1B7E0A03, 0, true, ENOENT, 0,
         "Failed to open /dev/qsc_control: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        MtdHost host;
        if (c.listed)
            host.add(c.listed, 8192, 4096);
        else
            host.publish();
        host.open_errno = std::max(c.open_errno, 0);
        if (c.open_errno < 0)
            host.loaded = {}, host.loadable = {};
        ScopedPlatform scoped(host);
        nv_reset_for_tests();
        nv_use_char_dev = c.char_dev;
        Adapter adapter(c.device_id);
        testing::internal::CaptureStderr();
        errno = 0;
        nv_context *ctx = nv_open(&adapter.ports[0], NV_PART_DYNAMIC_CFG, 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(host.sockets, c.sockets);
        if (c.err) {
            EXPECT_EQ(ctx, nullptr);
            EXPECT_EQ(errno, c.err);
        } else {
            ASSERT_NE(ctx, nullptr);
            EXPECT_EQ(ctx->ops, &nv_ops_mtd);
            EXPECT_EQ(nv_part_size(ctx), 8192u);
        }
        nv_close(ctx);
        EXPECT_EQ(host.open_devices() + host.open_descriptors(), 0u);
    }
}

TEST(NvReadAll, ReadsTheWholePartitionOrFails)
{
    struct {
        size_t data_len; // what the device gives before its end
        int fault_errno, rc, err;
    } cases[] = {{8192, 0, 0, 0}, {8191, 0, -1, EIO}, {8192, EBADMSG, -1, EBADMSG}};
    for (const auto &c : cases) {
        MtdHost host;
        host.add("eth0 qsc_mcfw:00", 8192, 4096);
        host.flash(0).resize(c.data_len);
        host.io_fault_at = c.fault_errno ? 1 : -1, host.io_errno = c.fault_errno;
        ScopedPlatform scoped(host);
        nv_reset_for_tests();
        Adapter adapter;
        nv_context *ctx = nv_open(&adapter.ports[0], NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr);
        std::string buf(8192, '\0');
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(nv_read_all(ctx, buf.data()), c.rc);
        testing::internal::GetCapturedStderr();
        if (c.rc)
            EXPECT_EQ(errno, c.err);
        else
            EXPECT_EQ(buf, host.flash(0));
        nv_close(ctx);
    }
}

// A partition exists for a port when "/proc/mtd" lists it (no device is
// opened for that) or, with a port to report, when any port of the
// adapter opens it; through the control device only the controller counts.
TEST(NvExists, AsksMtdThenTheController)
{
    MtdHost host;
    host.add("eth1 qsc_bundle:00", 8192, 4096);
    host.add("eth2 qsc_bundle:00", 8192, 4096);
    host.loaded = {}, host.loadable = {};
    ScopedPlatform scoped(host);
    Adapter adapter;
    qsu_device *eth0 = &adapter.ports[0], *eth1 = &adapter.ports[1];
    nv_reset_for_tests();
    EXPECT_TRUE(nv_exists(eth1, NV_PART_BUNDLE, 0));
    EXPECT_TRUE(host.opened.empty());
    EXPECT_FALSE(nv_exists(eth0, NV_PART_BUNDLE, 0));
    EXPECT_EQ(host.sockets, 1);

    host.loaded = {"mtdchar"};
    qsu_device *through = eth0;
    EXPECT_TRUE(nv_exists(eth0, NV_PART_BUNDLE, 0, &through));
    EXPECT_EQ(through, eth1);
    EXPECT_FALSE(nv_exists(eth0, NV_PART_BUNDLE, 1, &through));
    EXPECT_EQ(through, nullptr);
    EXPECT_EQ(host.open_devices(), 0u);

    nv_use_char_dev = true;
    host.add_file("/dev/qsc_control", "");
    host.sockets = 0;
    EXPECT_FALSE(nv_exists(eth1, NV_PART_BUNDLE, 0));
    EXPECT_EQ(host.sockets, 0);
    EXPECT_EQ(host.open_descriptors(), 0u);
}

// Through dev first unless told to ignore it, then through the adapter's
// other ports in PCI order.
TEST(NvOpenPorts, TriesTheAdaptersPortsInOrder)
{
    struct {
        std::vector<int> listed; // ports whose partition "/proc/mtd" lists
        int dev;
        bool ignore_dev;
        int opened; // -1: none
    } cases[] = {
        {{0, 1, 2}, 1, false, 1}, {{0, 1, 2}, 1, true, 0}, {{1, 2}, 0, true, 1}, {{0, 2}, 2, true, 0},
        {{1}, 1, true, -1},       {{}, 0, false, -1},      {{2}, 0, false, 2},
    };
    for (const auto &c : cases) {
        MtdHost host;
        for (int port : c.listed)
            host.add("eth" + std::to_string(port) + " qsc_fpga:01", 4096, 4096);
        ScopedPlatform scoped(host);
        nv_reset_for_tests();
        Adapter adapter;
        qsu_device *dev = &adapter.ports[c.dev], *opened = dev + 100;
        errno = 0;
        nv_context *ctx = nv_open_ports(dev, NV_PART_FPGA, 1, &opened, c.ignore_dev);
        EXPECT_EQ(ctx != nullptr, c.opened >= 0) << c.dev;
        if (!ctx) {
            EXPECT_EQ(errno, ENOENT);
        }
        EXPECT_EQ(opened, c.opened >= 0 ? &adapter.ports[c.opened] : dev + 100) << c.dev;
        // Only the port that opened had its device opened.
        EXPECT_EQ(host.opened.size(), c.opened >= 0 ? 1u : 0u);
        nv_close(ctx);
        // Which never ignores dev.
        bool dev_listed = std::find(c.listed.begin(), c.listed.end(), c.dev) != c.listed.end();
        EXPECT_EQ(qsu_get_nv_device(dev, NV_PART_FPGA, 1),
                  dev_listed ? dev : c.opened >= 0 ? &adapter.ports[c.opened] : nullptr)
            << c.dev;
        EXPECT_EQ(host.open_devices(), 0u);
    }
    // A port alone on its adapter, ignored: nothing is tried, nothing found.
    qsu_device solo{};
    qsu_group_devices(&solo, 1);
    qsu_device *opened = nullptr;
    errno = 0;
    EXPECT_EQ(nv_open_ports(&solo, NV_PART_FPGA, 1, &opened, true), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

// The envelopes that carry the controller's commands name the interface
// and start out clean; a driver without MCDI refuses the first request
// (the partition information) and nothing is asked again.
TEST(McdiTransports, PrepareTheirEnvelopes)
{
    MtdHost host;
    host.add_file("/dev/qsc_control", "");
    ScopedPlatform scoped(host);
    nv_reset_for_tests();
    Adapter adapter;
    nv_context ctx{};
    const std::string zeros(sizeof(kpx_ioctl_union), '\0');
    auto bytes = [](const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); };

    std::memset(&ctx.u, 0xAA, sizeof ctx.u);
    EXPECT_EQ(mcdi_char_open(&ctx, &adapter.ports[1], NV_PART_MCFW, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    const kpx_ioctl &char_ioc = ctx.u.mcdi.ioc.char_ioc;
    EXPECT_EQ(bytes(char_ioc.if_name, 16), std::string("eth1") + std::string(12, '\0'));
    EXPECT_EQ(char_ioc.cmd, 0xEF0C);
    std::string info = zeros;
    info[0] = 0x00, info[1] = 0x01, info[252] = 0x37, info[253] = 4; // type 0x100, 4 bytes
    EXPECT_EQ(bytes(&char_ioc.u, sizeof char_ioc.u), info);
    EXPECT_EQ(static_cast<const void *>(ctx.u.mcdi.kpx_cmd), &char_ioc.cmd);
    EXPECT_EQ(static_cast<const void *>(ctx.u.mcdi.req), &char_ioc.u);
    EXPECT_EQ(static_cast<const void *>(ctx.u.mcdi.req2), &char_ioc.u);

    std::memset(&ctx.u, 0xAA, sizeof ctx.u);
    EXPECT_EQ(mcdi_sock_open(&ctx, &adapter.ports[2], NV_PART_MCFW, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    const kpx_sock_ioctl &sock_ioc = ctx.u.mcdi.ioc.sock_ioc;
    EXPECT_EQ(bytes(ctx.u.mcdi.ioc.ifr.ifr_name, IFNAMSIZ), std::string("eth2") + std::string(IFNAMSIZ - 4, '\0'));
    EXPECT_EQ(static_cast<const void *>(ctx.u.mcdi.ioc.ifr.ifr_data), &sock_ioc);
    EXPECT_EQ(bytes(&sock_ioc, sizeof sock_ioc), std::string(4, '\0') + zeros);
    EXPECT_EQ(static_cast<const void *>(ctx.u.mcdi.kpx_cmd), &sock_ioc.cmd);
    EXPECT_EQ(static_cast<const void *>(ctx.u.mcdi.req), &sock_ioc.u);
    EXPECT_EQ(static_cast<const void *>(ctx.u.mcdi.req2), &sock_ioc.u);
    EXPECT_EQ(ctx.fd, -1);
    EXPECT_EQ(host.open_descriptors(), 0u);
}

TEST(NvFactoryDefaults, FromDogwood2On)
{
    std::pair<uint32_t, bool> ids[] = {{0x1B7E0AFF, false}, {0x1B7E0B00, true}, {0x1B7E0C03, true},
                                       {0x1B7E0903, false}, {0x1B7E1A03, false}, {0x1B7E0F00, true}};
    for (auto [id, defaults] : ids) {
        qsu_device dev{};
        dev.pci_device_id = id;
        EXPECT_EQ(has_factory_defaults(&dev), defaults) << std::hex << id;
    }
}

} // namespace
