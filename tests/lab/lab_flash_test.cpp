// The lab's flash, driven through the platform calls qsupdate makes and
// checked against the kernel's own definitions (<mtd/mtd-user.h>) and a
// plain model of NOR flash, EEPROM and block devices.
#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <mtd/mtd-user.h>

#include "tests/lab/support/lab_fixture.h"

namespace {

constexpr uint32_t BLOCK = 4096;

// Two ports.  Port 0: mtd0 controller firmware, mtd1 EEPROM; port 1: mtd2
// and mtd3 the same two, mtd4 a partition only port 1 exposes.  The status
// partition has no MTD device.
lab::LabState flash_host(std::vector<std::string> modules = {"mtdchar", "mtdblock"})
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}});
    state.host.modules_loaded.insert(state.host.modules_loaded.end(), modules.begin(), modules.end());
    auto partition = [](const char *id, unsigned kind, uint32_t size, uint32_t erase_size, bool all = true,
                        std::vector<unsigned> ports = {}) {
        lab::Partition p;
        std::tie(p.id, p.kind, p.size, p.erase_size, p.mtd_all_ports, p.mtd_ports) =
            std::tuple(id, kind, size, erase_size, all, ports);
        return p;
    };
    state.adapters[0].partitions = {partition("a1-mcfw-00", 0, 4 * BLOCK, BLOCK),
                                    partition("a1-exp_rom_cfg-00", 4, 256, 1),
                                    partition("a1-status-00", 13, BLOCK, BLOCK, false),
                                    partition("a1-dynamic_cfg-00", 1, 2 * BLOCK, BLOCK, false, {1})};
    state.adapters[0].partitions[0].initial_contents = {0x12, 0x34, 0x00, 0xF0};
    return state;
}

std::vector<uint8_t> flash_file(InProcessLab &host, const std::string &id)
{
    std::string bytes = read_file(host.lab().dir() + "/flash/" + id + ".bin");
    return {bytes.begin(), bytes.end()};
}

int erase(Platform &p, int fd, uint32_t start, uint32_t length)
{
    erase_info_user info{start, length};
    return error_of(p.ioctl(fd, MEMERASE, &info));
}

} // namespace

// /proc/mtd lists the driver's devices (the first generation's: none of
// 0x0703's, 0x0710's boot ROM and its configuration under names of their
// own); a lab whose partition file is too short or missing does not open,
// and names the file.
TEST(LabFlash, ProcMtdAndTheFilesOfTheFlash)
{
    lab::LabState no_driver = flash_host();
    no_driver.host.driver_loaded = false;
    const std::pair<lab::LabState, std::string> hosts[] = {
        {flash_host(), "mtd0: 00004000 00001000 \"eth0 qsc_mcfw:00\"\n"
                       "mtd1: 00000100 00000001 \"eth0 qsc_exp_rom_cfg:00\"\n"
                       "mtd2: 00004000 00001000 \"eth1 qsc_mcfw:00\"\n"
                       "mtd3: 00000100 00000001 \"eth1 qsc_exp_rom_cfg:00\"\n"
                       "mtd4: 00002000 00001000 \"eth1 qsc_dynamic_cfg:00\"\n"},
        {no_driver, ""},
        {lab_host(lab::HostKind::linux_host, {{"alder", 2}, {"alder-0710", 2}}),
         "mtd0: 00020000 00010000 \"eth2 qsc_flash_bootrom\"\n"
         "mtd1: 00001000 00000001 \"eth2 qsc_bootconfig\"\n"
         "mtd2: 00020000 00010000 \"eth3 qsc_flash_bootrom\"\n"
         "mtd3: 00001000 00000001 \"eth3 qsc_bootconfig\"\n"}};
    for (const auto &[state, devices] : hosts)
        EXPECT_EQ(read_file(InProcessLab(state).lab().root() + "/proc/mtd"),
                  "dev:    size   erasesize  name\n" + devices);
    InProcessLab host(flash_host());
    const std::string file = host.lab().dir() + "/flash/a1-status-00.bin";
    std::filesystem::resize_file(file, BLOCK - 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            lab::Lab lab(host.lab().dir());
            ADD_FAILURE() << "opened with " << file << " short or missing";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
        }
        std::filesystem::remove(file);
    }
}

// Random writes, erases and reads through every kind of node, checked
// against a model: NOR flash keeps old & new, an EEPROM and a block device
// take the new bytes (a block device's only at its last close), erases
// must be aligned unless empty, nothing passes the end, and both ports'
// devices (one through a node made by hand), the block device and the file
// are one flash.
TEST(LabFlash, DevicesBehaveAsTheModelOfTheirFlash)
{
    InProcessLab host(flash_host());
    Platform &p = host.platform();
    struct Node {
        const char *path, *partition;
        bool block, eeprom;
        int fd;
    } nodes[] = {{"/dev/mtd0", "a1-mcfw-00", false, false, -1},
                 {"/var/lib/qsutils/dev_mtd2", "a1-mcfw-00", false, false, -1},
                 {"/dev/mtdblock0", "a1-mcfw-00", true, false, -1},
                 {"/dev/mtd1", "a1-exp_rom_cfg-00", false, true, -1},
                 {"/dev/mtdblock3", "a1-exp_rom_cfg-00", true, true, -1}};
    std::map<std::string, std::vector<uint8_t>> model;
    for (const char *id : {"a1-mcfw-00", "a1-exp_rom_cfg-00"})
        model[id] = flash_file(host, id);
    ASSERT_EQ(p.mkdir("/var/lib/qsutils", 0755), 0);
    ASSERT_EQ(p.mknod("/var/lib/qsutils/dev_mtd2", S_IFCHR | 0600, makedev(90, 4)), 0);
    for (Node &n : nodes)
        ASSERT_GE(n.fd = p.open(n.path, O_RDWR), 0) << n.path;

    std::mt19937 rng(7);
    auto pick = [&](uint32_t below) { return static_cast<uint32_t>(rng() % below); };
    for (int step = 0; step < 600; ++step) {
        Node &n = nodes[pick(std::size(nodes))];
        std::vector<uint8_t> &flash = model[n.partition];
        const uint32_t size = static_cast<uint32_t>(flash.size()), unit = n.eeprom ? 1 : BLOCK;
        uint32_t offset = pick(8) == 0 ? size : pick(size);
        SCOPED_TRACE(std::string(n.path) + " step " + std::to_string(step) + " offset " + std::to_string(offset));
        std::vector<uint8_t> data(pick(2 * BLOCK) + 1);
        switch (pick(3)) {
        case 0: { // erase, aligned or not, empty or not, maybe past the end
            uint32_t start = pick(2) ? offset / unit * unit : offset;
            uint32_t length = pick(4) * unit + (pick(4) == 0 ? 1 : 0);
            bool valid = start < size && length <= size - start && (length == 0 || (start % unit == 0 && length % unit == 0));
            ASSERT_EQ(erase(p, n.fd, start, length), n.block ? ENOTTY : valid ? 0 : EINVAL);
            if (valid && !n.block)
                std::fill_n(flash.begin() + start, length, 0xFF);
            break;
        }
        case 1: { // write
            std::generate(data.begin(), data.end(), [&] { return static_cast<uint8_t>(rng()); });
            ASSERT_EQ(p.lseek(n.fd, offset, SEEK_SET), offset);
            ssize_t put = p.write(n.fd, data.data(), data.size());
            ASSERT_EQ(put < 0 ? errno : 0, offset == size ? ENOSPC : 0);
            ASSERT_EQ(std::max<ssize_t>(put, 0), static_cast<ssize_t>(std::min<size_t>(data.size(), size - offset)));
            EXPECT_EQ(p.lseek(n.fd, 0, SEEK_CUR), offset + std::max<ssize_t>(put, 0));
            if (n.block) { // the device's page cache holds it until its last descriptor closes
                int other = p.open(n.path, O_RDONLY);
                ASSERT_EQ(p.close(n.fd), 0);
                std::vector<uint8_t> seen(size), expected = flash;
                std::copy_n(data.begin(), std::max<ssize_t>(put, 0), expected.begin() + offset);
                ASSERT_EQ(p.lseek(other, 0, SEEK_SET), 0);
                ASSERT_EQ(p.read(other, seen.data(), size), size);
                ASSERT_EQ(seen, expected);
                ASSERT_EQ(flash_file(host, n.partition), flash);
                ASSERT_EQ(p.close(other), 0);
                ASSERT_GE(n.fd = p.open(n.path, O_RDWR), 0);
            }
            for (ssize_t i = 0; i < put; ++i)
                flash[offset + i] = n.block || n.eeprom ? data[i] : flash[offset + i] & data[i];
            break;
        }
        default: // read
            ASSERT_EQ(p.lseek(n.fd, offset, SEEK_SET), offset);
            ssize_t got = p.read(n.fd, data.data(), data.size());
            ASSERT_EQ(got, static_cast<ssize_t>(std::min<size_t>(data.size(), size - offset)));
            ASSERT_TRUE(std::equal(data.begin(), data.begin() + got, flash.begin() + offset));
        }
    }
    for (const auto &[id, bytes] : model)
        EXPECT_EQ(flash_file(host, id), bytes) << id;
    EXPECT_EQ(p.lseek(nodes[0].fd, -1, SEEK_END), 4 * BLOCK - 1);
    for (int fd : {nodes[0].fd, nodes[2].fd}) // an empty write at the end: mtdchar refuses it, a block device not
        EXPECT_EQ(error_of(p.lseek(fd, 0, SEEK_END) < 0 ? -1 : p.write(fd, "", 0)), fd == nodes[0].fd ? ENOSPC : 0);
    for (auto [offset, whence] : {std::pair{4 * BLOCK + 1, SEEK_SET}, {-1, SEEK_SET}, {1, SEEK_END}})
        EXPECT_EQ(error_of(p.lseek(nodes[0].fd, offset, whence)), EINVAL) << offset;
    EXPECT_EQ(error_of(p.ioctl(nodes[0].fd, MEMGETINFO, nullptr)), ENOTTY);
    int read_only = p.open("/dev/mtd0", O_RDONLY);
    EXPECT_EQ(erase(p, read_only, 0, BLOCK), EPERM);
    EXPECT_EQ(error_of(p.write(read_only, "x", 1)), EBADF);
}

// Nodes appear when their module is loaded and the device manager's delay
// has passed on the virtual clock.  Nodes made by hand reach the devices
// whenever the driver is there: numbers decide.
TEST(LabFlash, NodesFollowTheModuleAndTheDelay)
{
    enum Module { loaded, loadable, absent };
    const struct {
        Module module;
        int delay_s;
        bool at_start, after_modprobe, after_delay;
    } cases[] = {{loaded, 3, true, true, true},       {loaded, -1, false, false, false},
                 {loadable, 0, false, true, true},    {loadable, 3, false, false, true},
                 {loadable, -1, false, false, false}, {absent, 0, false, false, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "module " << c.module << ", delay " << c.delay_s);
        lab::LabState state = flash_host(c.module == loaded ? std::vector<std::string>{"mtdchar"}
                                                            : std::vector<std::string>{});
        state.host.mtd_node_delay_s = c.delay_s;
        if (c.module == absent)
            state.host.modules_available.clear();
        InProcessLab host(state);
        Platform &p = host.platform();
        struct stat st;
        auto present = [&] { return p.stat("/dev/mtd4", &st) == 0; };
        EXPECT_EQ(open_error(p, "/dev/mtd4", O_RDWR), c.at_start ? 0 : ENOENT);
        EXPECT_EQ(open_error(p, "/dev/mtd4ro", O_RDWR), c.at_start ? EACCES : ENOENT);
        EXPECT_EQ(p.system("modprobe mtdchar >/dev/null 2>&1"), c.module == absent ? 1 << 8 : 0);
        EXPECT_EQ(read_file(host.lab().root() + "/proc/devices").find(" 90 mtd\n") != std::string::npos,
                  c.module != absent);
        EXPECT_EQ(present(), c.after_modprobe);
        p.sleep_us(2999999);
        EXPECT_EQ(present(), c.after_modprobe);
        p.sleep_us(1);
        ASSERT_EQ(present(), c.after_delay);
        if (c.after_delay) { // a character device of its number; mtdblock is not loaded
            EXPECT_EQ(std::tuple(st.st_mode & S_IFMT, st.st_rdev), std::tuple(mode_t{S_IFCHR}, makedev(90, 8)));
            EXPECT_EQ(p.stat("/dev/mtdblock4", &st), -1);
        }
        ASSERT_EQ(p.mkdir("/var/lib/qsutils", 0755), 0);
        for (auto [minor, flags, err] : {std::tuple{8u, O_RDWR, 0}, {9u, O_RDWR, EACCES}, {9u, O_RDONLY, 0},
                                         {18u, O_RDONLY, ENODEV}}) {
            const std::string path = "/var/lib/qsutils/mtd_" + std::to_string(minor) + "_" + std::to_string(flags);
            ASSERT_EQ(p.mknod(path.c_str(), S_IFCHR | 0600, makedev(90, minor)), 0);
            EXPECT_EQ(open_error(p, path, flags), c.module == absent ? ENXIO : err) << path;
        }
        host.lab().save("end");
        using LoadTimes = std::map<std::string, uint64_t>;
        EXPECT_EQ(lab::load_state(host.lab().dir() + "/lab.json").host.modules_loaded_at_us,
                  (c.module == loadable ? LoadTimes{{"mtdchar", 0}} : LoadTimes{}));
    }
}

// One run.  Each erase block and byte costs the partition's time on the
// virtual clock (the log's stamps).  Faults strike the operation they name
// on the target by any of its names (a partition whatever device reaches
// it, a sysfs file by either path), at the chosen occurrence, or cut a
// write short.  The flash activity is kept in lab.json until the next run.
TEST(LabRun, TimingFaultsLogAndActivity)
{
    lab::LabState state = flash_host();
    lab::Partition &mcfw = state.adapters[0].partitions[0];
    std::tie(mcfw.erase_block_us, mcfw.write_byte_ns, mcfw.read_byte_ns) = std::tuple(500, 300, 7);
    const std::string fn = "/sys/bus/pci/devices/0000:03:00.0/";
    state.faults = {{"/dev/mtd1", "erase", "", 1, EIO, std::nullopt},
                    {"a1-exp_rom_cfg-00", "write", "", 1, 0, 100},
                    {"a1-exp_rom_cfg-00", "read", "", 2, EBADMSG, std::nullopt},
                    {"/dev/mtd3", "ioctl", "MEMERASE", 1, EBUSY, std::nullopt},
                    {fn + "config", "open", "", 2, EBUSY, std::nullopt},
                    {fn + "phy_flash_cfg", "write", "", 1, 0, 1}};
    InProcessLab host(state);
    Platform &p = host.platform();
    std::vector<uint8_t> data(2048, 0);
    int chr = p.open("/dev/mtd0", O_RDWR), blk = p.open("/dev/mtdblock0", O_RDWR);
    EXPECT_EQ(erase(p, chr, 0, 2 * BLOCK), 0);
    EXPECT_EQ(p.write(chr, data.data(), data.size()), 2048);
    EXPECT_EQ(p.read(chr, std::vector<uint8_t>(1000).data(), 1000), 1000);
    // A block device reads the pages it only partly writes, and rewrites
    // them, each erase block once, at its last close.
    for (size_t length : {2048, 2048, 1})
        EXPECT_EQ(p.write(blk, data.data(), length), static_cast<ssize_t>(length));
    EXPECT_EQ(p.close(blk), 0);

    int mtd1 = p.open("/dev/mtd1", O_RDWR), mtd3 = p.open("/dev/mtd3", O_RDWR);
    int blk3 = p.open("/dev/mtdblock3", O_RDONLY);
    for (auto [fd, err] : {std::pair{mtd3, EBUSY}, {mtd3, 0}, {mtd1, EIO}})
        EXPECT_EQ(erase(p, fd, 16, 16), err);
    EXPECT_EQ(p.write(mtd1, data.data(), 128), 100);
    for (int err : {0, EBADMSG, 0})
        EXPECT_EQ(error_of(p.read(err ? blk3 : mtd3, data.data(), 16)), err);
    const std::string config = "/sys/class/net/eth0/device/config"; // the same file by another path
    for (int err : {0, EBUSY, 0})
        EXPECT_EQ(open_error(p, config, O_RDONLY), err);
    EXPECT_EQ(p.write(p.open((fn + "phy_flash_cfg").c_str(), O_WRONLY), "1\n", 2), 1);
    host.lab().save("end");
    // 614.4 us programming, 7 us reading, 28.672 us reading each of the
    // two pages, 500 us erasing and 1228.8 us programming each block.
    EXPECT_EQ(read_file(host.lab().dir() + "/events.log"),
              "[0.000000 s] flash a1-mcfw-00: erase 0x0-0x1fff (2 blocks)\n"
              "[0.001000 s] flash a1-mcfw-00: write 0x0-0x7ff (2048 bytes)\n"
              "[0.001678 s] flash a1-mcfw-00: write 0x0-0x1fff (8192 bytes, in place)\n"
              // The controller judges what the block device's write-back left.
              "[0.005136 s] controller judges a1-mcfw-00 written through /dev/mtdblock0: unsigned image refused, "
              "status EIO: no whole image in flash\n"
              "[0.005136 s] fault injected: ioctl MEMERASE of /dev/mtd3 (occurrence 1) failed with EBUSY\n"
              "[0.005136 s] flash a1-exp_rom_cfg-00: erase 0x10-0x1f (16 blocks)\n"
              "[0.005136 s] fault injected: erase of a1-exp_rom_cfg-00 (occurrence 1) failed with EIO\n"
              "[0.005136 s] fault injected: write of a1-exp_rom_cfg-00 (occurrence 1) cut short after 100 bytes\n"
              "[0.005136 s] flash a1-exp_rom_cfg-00: write 0x0-0x63 (100 bytes)\n"
              "[0.005136 s] fault injected: read of a1-exp_rom_cfg-00 (occurrence 2) failed with EBADMSG\n"
              "[0.005136 s] fault injected: open of " + config + " (occurrence 2) failed with EBUSY\n"
              "[0.005136 s] fault injected: write of " + fn + "phy_flash_cfg (occurrence 1) cut short after 1 bytes\n"
              "[0.005136 s] phy_flash_cfg of eth0 set to 1\n"
              "[0.005136 s] flash a1-mcfw-00: read 9192 bytes in 3 reads\n"
              "[0.005136 s] flash a1-exp_rom_cfg-00: read 32 bytes in 2 reads\n"
              "[0.005136 s] end\n");
    const lab::LabState saved = lab::load_state(host.lab().dir() + "/lab.json");
    const lab::PartitionActivity &run = saved.adapters[0].partitions[0].last_run;
    EXPECT_EQ(std::tuple(run.erases, run.writes, run.reads, run.bytes_erased, run.bytes_written, run.bytes_read),
              std::tuple(1u, 2u, 3u, uint64_t{2 * BLOCK}, uint64_t{2048 + 2 * BLOCK}, uint64_t{1000 + 2 * BLOCK}));
    EXPECT_EQ(saved.faults.size(), state.faults.size());
    EXPECT_EQ(lab::Lab(host.lab().dir()).state().adapters[0].partitions[0].last_run.writes, 0u);
}
