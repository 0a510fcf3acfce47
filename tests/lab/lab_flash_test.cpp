// The lab's flash, driven through the platform calls qsupdate makes and
// checked against the kernel's own definitions (<mtd/mtd-user.h>) and a
// plain model of NOR flash, EEPROM and block devices.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <tuple>

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

std::vector<uint8_t> flash_file(InProcessLab &host, const char *id)
{
    std::string bytes = read_file(host.lab().dir() + "/flash/" + id + ".bin");
    return {bytes.begin(), bytes.end()};
}

int open_error(Platform &p, const std::string &path, int flags)
{
    int fd = p.open(path.c_str(), flags);
    return fd < 0 ? errno : p.close(fd);
}

int erase(Platform &p, int fd, uint32_t start, uint32_t length)
{
    erase_info_user info{start, length};
    return error_of(p.ioctl(fd, MEMERASE, &info));
}

// Ends the run and returns the logged events that contain the text,
// without their time stamps.
std::vector<std::string> events(InProcessLab &host, const std::string &text)
{
    host.lab().save("end");
    std::vector<std::string> found;
    std::istringstream in(read_file(host.lab().dir() + "/events.log"));
    for (std::string line; std::getline(in, line);)
        if (line.find(text) != std::string::npos)
            found.push_back(line.substr(line.find("] ") + 2));
    return found;
}

} // namespace

TEST(LabFlash, ProcMtdListsTheDevicesOfTheDriver)
{
    for (bool driver : {true, false}) {
        lab::LabState state = flash_host();
        state.host.driver_loaded = driver;
        InProcessLab host(state);
        Platform &p = host.platform();
        int fd = p.open("/proc/mtd", O_RDONLY);
        char text[1024] = {};
        ASSERT_GT(p.read(fd, text, sizeof text - 1), 0);
        p.close(fd);
        EXPECT_EQ(text, std::string("dev:    size   erasesize  name\n") +
                            (driver ? "mtd0: 00004000 00001000 \"eth0 qsc_mcfw:00\"\n"
                                      "mtd1: 00000100 00000001 \"eth0 qsc_exp_rom_cfg:00\"\n"
                                      "mtd2: 00004000 00001000 \"eth1 qsc_mcfw:00\"\n"
                                      "mtd3: 00000100 00000001 \"eth1 qsc_exp_rom_cfg:00\"\n"
                                      "mtd4: 00002000 00001000 \"eth1 qsc_dynamic_cfg:00\"\n"
                                    : ""));
    }
}

// Random writes, erases and reads through every kind of node, checked
// against a model: NOR flash keeps old & new, an EEPROM and a block device
// take the new bytes, erases must be aligned, nothing passes the end, and
// both ports' devices (one through a node made by hand), the block device
// and the file are one flash.
TEST(LabFlash, DevicesBehaveAsTheModelOfTheirFlash)
{
    InProcessLab host(flash_host());
    Platform &p = host.platform();
    struct Node {
        const char *path;
        const char *partition;
        bool block, eeprom;
        int fd;
    } nodes[] = {{"/dev/mtd0", "a1-mcfw-00", false, false, -1},
                 {"/var/lib/qsutils/dev_mtd2", "a1-mcfw-00", false, false, -1},
                 {"/dev/mtdblock0", "a1-mcfw-00", true, false, -1},
                 {"/dev/mtd1", "a1-exp_rom_cfg-00", false, true, -1},
                 {"/dev/mtdblock3", "a1-exp_rom_cfg-00", true, true, -1}};
    std::map<std::string, std::vector<uint8_t>> model = {{"a1-mcfw-00", flash_file(host, "a1-mcfw-00")},
                                                         {"a1-exp_rom_cfg-00", flash_file(host, "a1-exp_rom_cfg-00")}};
    EXPECT_EQ(std::vector<uint8_t>(model["a1-mcfw-00"].begin(), model["a1-mcfw-00"].begin() + 5),
              (std::vector<uint8_t>{0x12, 0x34, 0x00, 0xF0, 0xFF}));
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
        switch (pick(3)) {
        case 0: { // erase, aligned or not, maybe past the end
            uint32_t start = pick(2) ? offset / unit * unit : offset;
            uint32_t length = (pick(3) + 1) * unit + (pick(4) == 0 ? 1 : 0);
            bool valid = start < size && length <= size - start && start % unit == 0 && length % unit == 0;
            ASSERT_EQ(erase(p, n.fd, start, length), n.block ? ENOTTY : valid ? 0 : EINVAL);
            if (valid && !n.block)
                std::fill_n(flash.begin() + start, length, 0xFF);
            break;
        }
        case 1: { // write
            std::vector<uint8_t> data(pick(2 * BLOCK) + 1);
            for (uint8_t &b : data)
                b = static_cast<uint8_t>(rng());
            ASSERT_EQ(p.lseek(n.fd, offset, SEEK_SET), offset);
            ssize_t put = p.write(n.fd, data.data(), data.size());
            if (offset == size) {
                EXPECT_EQ(error_of(put), ENOSPC);
                break;
            }
            ASSERT_EQ(put, static_cast<ssize_t>(std::min<size_t>(data.size(), size - offset)));
            for (ssize_t i = 0; i < put; ++i)
                flash[offset + i] = n.block || n.eeprom ? data[i] : flash[offset + i] & data[i];
            EXPECT_EQ(p.lseek(n.fd, 0, SEEK_CUR), offset + put);
            break;
        }
        default: { // read
            std::vector<uint8_t> got(pick(2 * BLOCK) + 1);
            ASSERT_EQ(p.lseek(n.fd, offset, SEEK_SET), offset);
            ssize_t n_read = p.read(n.fd, got.data(), got.size());
            ASSERT_EQ(n_read, static_cast<ssize_t>(std::min<size_t>(got.size(), size - offset)));
            ASSERT_TRUE(std::equal(got.begin(), got.begin() + n_read, flash.begin() + offset));
        }
        }
    }
    for (const auto &[id, bytes] : model)
        EXPECT_EQ(flash_file(host, id.c_str()), bytes) << id;
    EXPECT_EQ(p.lseek(nodes[0].fd, 4 * BLOCK + 1, SEEK_SET), -1);
    EXPECT_EQ(p.lseek(nodes[0].fd, -1, SEEK_END), 4 * BLOCK - 1);
    EXPECT_EQ(error_of(p.lseek(nodes[0].fd, 1, SEEK_END)), EINVAL);
    EXPECT_EQ(error_of(p.lseek(nodes[0].fd, -1, SEEK_SET)), EINVAL);
    EXPECT_EQ(error_of(p.ioctl(nodes[0].fd, MEMGETINFO, nullptr)), ENOTTY);
    EXPECT_EQ(erase(p, nodes[0].fd, BLOCK, 0), 0);
    EXPECT_EQ(erase(p, nodes[0].fd, 4 * BLOCK, 0), EINVAL) << "an erase starts inside the device";
    for (Node &n : nodes)
        p.close(n.fd);
    int read_only = p.open("/dev/mtd0", O_RDONLY);
    EXPECT_EQ(erase(p, read_only, 0, BLOCK), EPERM);
    EXPECT_EQ(error_of(p.write(read_only, "x", 1)), EBADF);
    p.close(read_only);
}

// Nodes appear when their module is loaded and the device manager's delay
// has passed on the virtual clock; numbers decide what a node reaches.
TEST(LabFlash, NodesFollowTheModuleAndTheDelay)
{
    struct Case {
        const char *module_state; // "loaded", "loadable", "absent"
        int delay_s;
        int modprobe_status;
        bool at_start, after_modprobe, after_delay;
    } cases[] = {
        {"loaded", 3, 0, true, true, true},       {"loaded", -1, 0, false, false, false},
        {"loadable", 0, 0, false, true, true},    {"loadable", 3, 0, false, false, true},
        {"loadable", -1, 0, false, false, false}, {"absent", 0, 1 << 8, false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.module_state) + " " + std::to_string(c.delay_s));
        std::string state_name = c.module_state;
        lab::LabState state = flash_host(state_name == "loaded" ? std::vector<std::string>{"mtdchar"}
                                                                : std::vector<std::string>{});
        state.host.mtd_node_delay_s = c.delay_s;
        if (state_name == "absent")
            state.host.modules_available.clear();
        InProcessLab host(state);
        Platform &p = host.platform();
        struct stat st;
        auto present = [&] { return p.stat("/dev/mtd4", &st) == 0; };
        EXPECT_EQ(present(), c.at_start);
        EXPECT_EQ(open_error(p, "/dev/mtd4", O_RDWR), c.at_start ? 0 : ENOENT);
        EXPECT_EQ(p.system("modprobe mtdchar >/dev/null 2>&1"), c.modprobe_status);
        EXPECT_EQ(read_file(host.lab().root() + "/proc/devices").find(" 90 mtd\n") != std::string::npos,
                  state_name != "absent");
        EXPECT_EQ(present(), c.after_modprobe);
        p.sleep_us(2999999);
        EXPECT_EQ(present(), c.after_modprobe);
        p.sleep_us(1);
        ASSERT_EQ(present(), c.after_delay);
        if (c.after_delay) {
            EXPECT_TRUE(S_ISCHR(st.st_mode));
            EXPECT_EQ(st.st_rdev, makedev(90, 8));
            EXPECT_EQ(p.stat("/dev/mtdblock4", &st), -1) << "mtdblock is not loaded";
        }
        // Nodes made by hand reach the devices whenever the driver is there.
        bool driver = state_name != "absent";
        ASSERT_EQ(p.mkdir("/var/lib/qsutils", 0755), 0);
        for (auto [name, minor] : {std::pair{"dev_mtd4", 8}, {"dev_mtd4ro", 9}, {"dev_mtd9", 18}}) {
            std::string path = std::string("/var/lib/qsutils/") + name;
            ASSERT_EQ(p.mknod(path.c_str(), S_IFCHR | 0600, makedev(90, minor)), 0);
        }
        for (auto [name, flags, err] : {std::tuple{"dev_mtd4", O_RDWR, driver ? 0 : ENXIO},
                                        {"dev_mtd4ro", O_RDWR, driver ? EACCES : ENXIO},
                                        {"dev_mtd4ro", O_RDONLY, driver ? 0 : ENXIO},
                                        {"dev_mtd9", O_RDONLY, driver ? ENODEV : ENXIO}})
            EXPECT_EQ(open_error(p, std::string("/var/lib/qsutils/") + name, flags), err) << name << " " << flags;
        EXPECT_EQ(events(host, "module loaded: mtdchar").size(), state_name == "loadable" ? 1u : 0u);
        EXPECT_EQ(lab::load_state(host.lab().dir() + "/lab.json").host.modules_loaded_at_us,
                  (state_name == "loadable" ? std::map<std::string, uint64_t>{{"mtdchar", 0}}
                                            : std::map<std::string, uint64_t>{}));
    }
}

// Faults name the partition whatever path reaches it, or the device path
// (and are logged under the partition); a cut write puts only its first
// bytes on the flash.
TEST(LabFlash, FaultsStrikeThePartitionOnEveryPath)
{
    lab::LabState state = flash_host();
    state.faults = {
        {"/dev/mtd0", "erase", "", 1, EIO, std::nullopt},
        {"a1-mcfw-00", "write", "", 1, 0, 100},
        {"a1-mcfw-00", "read", "", 3, EBADMSG, std::nullopt},
        {"/dev/mtd2", "ioctl", "MEMERASE", 1, EBUSY, std::nullopt},
    };
    InProcessLab host(state);
    Platform &p = host.platform();
    int mtd0 = p.open("/dev/mtd0", O_RDWR), mtd2 = p.open("/dev/mtd2", O_RDWR);
    EXPECT_EQ(erase(p, mtd2, 0, BLOCK), EBUSY);
    EXPECT_EQ(erase(p, mtd2, 0, BLOCK), 0);
    EXPECT_EQ(erase(p, mtd0, BLOCK, BLOCK), EIO);
    std::vector<uint8_t> zeros(BLOCK, 0);
    EXPECT_EQ(p.write(mtd0, zeros.data(), zeros.size()), 100);
    std::vector<uint8_t> file = flash_file(host, "a1-mcfw-00");
    EXPECT_EQ(std::count(file.begin(), file.end(), 0), 100) << "only the bytes before the cut land";
    EXPECT_EQ(p.write(mtd0, zeros.data(), zeros.size()), static_cast<ssize_t>(BLOCK));
    int block = p.open("/dev/mtdblock2", O_RDONLY);
    char buf[16];
    for (int err : {0, 0, EBADMSG, 0})
        EXPECT_EQ(error_of(p.read(err ? block : mtd0, buf, sizeof buf)), err);
    p.close(mtd0);
    p.close(mtd2);
    p.close(block);
    std::vector<std::string> logged = events(host, "fault injected");
    EXPECT_EQ(lab::load_state(host.lab().dir() + "/lab.json").faults.size(), state.faults.size());
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "fault injected: ioctl MEMERASE of /dev/mtd2 (occurrence 1) failed with EBUSY",
                          "fault injected: erase of a1-mcfw-00 (occurrence 1) failed with EIO",
                          "fault injected: write of a1-mcfw-00 (occurrence 1) cut short after 100 bytes",
                          "fault injected: read of a1-mcfw-00 (occurrence 3) failed with EBADMSG"}));
}

// Each erase block and each byte costs the partition's time on the virtual
// clock; erases and writes are logged as ranges, and the run's activity is
// kept in lab.json until the next run starts.
TEST(LabFlash, TimingLogAndActivityOfARun)
{
    lab::LabState state = flash_host();
    lab::Partition &mcfw = state.adapters[0].partitions[0];
    mcfw.erase_block_us = 500;
    mcfw.write_byte_ns = 300;
    mcfw.read_byte_ns = 7;
    InProcessLab host(state);
    Platform &p = host.platform();
    const uint64_t &clock = host.lab().state().clock_us;
    std::vector<uint8_t> data(2048, 0x5A);
    int chr = p.open("/dev/mtd0", O_RDWR), blk = p.open("/dev/mtdblock0", O_RDWR);
    struct Step {
        std::function<long()> op;
        uint64_t clock_after;
    } steps[] = {
        {[&] { return erase(p, chr, 0, 2 * BLOCK); }, 1000},
        {[&] { return p.write(chr, data.data(), data.size()); }, 1614}, // 614.4 us
        {[&] { return p.read(chr, data.data(), 1000); }, 1621},         // 7 us, 0.4 carried
        // A block device rewrites the block: 500 us erase, 1228.8 us programming.
        {[&] { return p.write(blk, data.data(), data.size()); }, 3350},
        {[&] { return p.write(blk, data.data(), data.size()); }, 3350}, // still in that block
        {[&] { return p.write(blk, data.data(), 1); }, 3350 + 1729},    // the next one
    };
    for (const Step &s : steps) {
        EXPECT_GE(s.op(), 0);
        EXPECT_EQ(clock, s.clock_after);
    }
    p.close(chr);
    p.close(blk);
    host.lab().save("end");
    std::string log = read_file(host.lab().dir() + "/events.log");
    EXPECT_EQ(log, "[0.000000 s] flash a1-mcfw-00: erase 0x0-0x1fff (2 blocks)\n"
                   "[0.001000 s] flash a1-mcfw-00: write 0x0-0x7ff (2048 bytes)\n"
                   "[0.001621 s] flash a1-mcfw-00: write 0x0-0x7ff (2048 bytes, in place)\n"
                   "[0.003350 s] flash a1-mcfw-00: write 0x800-0xfff (2048 bytes, in place)\n"
                   "[0.003350 s] flash a1-mcfw-00: write 0x1000-0x1000 (1 byte, in place)\n"
                   "[0.005079 s] flash a1-mcfw-00: read 1000 bytes in 1 read\n"
                   "[0.005079 s] end\n");
    lab::PartitionActivity saved = lab::load_state(host.lab().dir() + "/lab.json").adapters[0].partitions[0].last_run;
    EXPECT_EQ(std::tuple(saved.erases, saved.writes, saved.reads), std::tuple(1u, 4u, 1u));
    EXPECT_EQ(std::tuple(saved.bytes_erased, saved.bytes_written, saved.bytes_read),
              std::tuple(uint64_t{2 * BLOCK}, uint64_t{3 * 2048 + 1}, uint64_t{1000}));
    lab::Lab next_run(host.lab().dir());
    EXPECT_EQ(next_run.state().adapters[0].partitions[0].last_run.writes, 0u);
}

TEST(LabFlash, ALabWithoutItsFlashFilesDoesNotOpen)
{
    InProcessLab host(flash_host());
    const std::string file = host.lab().dir() + "/flash/a1-status-00.bin";
    for (bool remove : {false, true}) {
        if (remove)
            std::filesystem::remove(file);
        else
            std::filesystem::resize_file(file, BLOCK - 1);
        try {
            lab::Lab lab(host.lab().dir());
            ADD_FAILURE() << "opened without " << file;
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
        }
    }
}
