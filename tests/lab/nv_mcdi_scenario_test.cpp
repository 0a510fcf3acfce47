// The NV layer through the management controller: qsupdate's enumeration
// and MCDI backends run in-process against a lab whose controller serves
// the partition files.  The commands the controller received are taken
// from the ioctls on their way to it, and the partition files are compared
// byte for byte.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include <gtest/gtest.h>
#include <net/if.h>

#include "lab/wire/lab_wire.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/lab_fixture.h"

namespace {


// One MCDI command as the controller received it: the envelope's form
// (1: 0xEF0C, 2: 0xEF21), the command and its argument words (the data of
// a write counted in its length word, not listed), and the room a second
// form gives the answer.
struct Command {
    int form;
    unsigned cmd;
    std::vector<uint32_t> args;
    unsigned outlen = 0;
    bool operator==(const Command &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Command &c)
{
    out << "form " << c.form << " cmd 0x" << std::hex << c.cmd << std::dec;
    for (uint32_t a : c.args)
        out << " " << a;
    return out;
}

// The lab's platform with the management-controller ioctls noted down as
// they pass; everything else goes straight through.
class ControllerTap final : public Platform {
public:
    explicit ControllerTap(Platform &inner) : inner_(inner) {}
    std::vector<Command> commands;
    // Changes a first-form answer on its way back (command, the envelope:
    // the payload, then cmd, len and rc).
    std::function<void(unsigned, uint8_t *)> answer_patch;

    int open(const char *path, int flags, mode_t mode) override
    {
        int fd = inner_.open(path, flags, mode);
        if (fd >= 0 && std::strcmp(path, "/dev/qsc_control") == 0)
            control_fds_.insert(fd);
        return fd;
    }
    int close(int fd) override
    {
        control_fds_.erase(fd);
        return inner_.close(fd);
    }
    int ioctl(int fd, unsigned long request, void *arg) override
    {
        if (request != lab::wire::SIOCKPX)
            return inner_.ioctl(fd, request, arg);
        bool control = control_fds_.count(fd) != 0;
        uint8_t *payload = note(control ? arg : static_cast<ifreq *>(arg)->ifr_data, control);
        int rc = inner_.ioctl(fd, request, arg);
        if (rc == 0 && payload && answer_patch)
            answer_patch(commands.back().cmd, payload);
        return rc;
    }
    int stat(const char *path, struct stat *st) override { return inner_.stat(path, st); }
    int mkdir(const char *path, mode_t mode) override { return inner_.mkdir(path, mode); }
    int mknod(const char *path, mode_t mode, dev_t dev) override { return inner_.mknod(path, mode, dev); }
    int unlink(const char *path) override { return inner_.unlink(path); }
    int list_dir(const char *path, std::vector<std::string> &names) override { return inner_.list_dir(path, names); }
    FILE *reopen_stream(const char *path, const char *mode, FILE *stream) override
    {
        return inner_.reopen_stream(path, mode, stream);
    }
    ssize_t read(int fd, void *buf, size_t count) override { return inner_.read(fd, buf, count); }
    ssize_t write(int fd, const void *buf, size_t count) override { return inner_.write(fd, buf, count); }
    off_t lseek(int fd, off_t offset, int whence) override { return inner_.lseek(fd, offset, whence); }
    int ftruncate(int fd, off_t length) override { return inner_.ftruncate(fd, length); }
    int fsync(int fd) override { return inner_.fsync(fd); }
    int flock(int fd, int operation) override { return inner_.flock(fd, operation); }
    int socket(int domain, int type, int protocol) override { return inner_.socket(domain, type, protocol); }
    int uname(struct utsname *name) override { return inner_.uname(name); }
    uid_t geteuid() override { return inner_.geteuid(); }
    pid_t getpid() override { return inner_.getpid(); }
    int system(const char *command) override { return inner_.system(command); }
    int run_capture(const char *command, std::string &output) override { return inner_.run_capture(command, output); }
    void sleep_us(unsigned long usec) override { inner_.sleep_us(usec); }

private:
    // The command's first-form payload, or null.
    uint8_t *note(void *envelope, bool control)
    {
        auto *bytes = static_cast<uint8_t *>(envelope);
        uint8_t *body = bytes + (control ? offsetof(lab::wire::ControlIoctl, u) : offsetof(lab::wire::SocketIoctl, u));
        uint16_t kpx = load_le16(bytes + (control ? offsetof(lab::wire::ControlIoctl, cmd) : 0));
        Command c{};
        size_t len;
        uint8_t *payload;
        if (kpx == lab::wire::CMD_MCDI_REQUEST) {
            c.form = 1;
            c.cmd = body[offsetof(lab::wire::McdiRequest, cmd)];
            len = body[offsetof(lab::wire::McdiRequest, len)];
            payload = body;
        } else if (kpx == lab::wire::CMD_MCDI_REQUEST2) {
            c.form = 2;
            c.cmd = load_le16(body);
            len = load_le16(body + offsetof(lab::wire::McdiRequest2, inlen));
            c.outlen = load_le16(body + offsetof(lab::wire::McdiRequest2, outlen));
            payload = body + offsetof(lab::wire::McdiRequest2, payload);
        } else {
            return nullptr;
        }
        for (size_t at = 0; at + 4 <= std::min<size_t>(len, 12); at += 4)
            c.args.push_back(load_le32(payload + at));
        commands.push_back(c);
        return c.form == 1 ? payload : nullptr;
    }

    Platform &inner_;
    std::set<int> control_fds_;
};

// A run of qsupdate's NV layer inside a lab: enumeration done, flags fresh.
class McdiRun {
public:
    explicit McdiRun(const lab::LabState &state) : host_(state), tap_(host_.platform()), scoped_(tap_)
    {
        nv_reset_for_tests();
        EXPECT_EQ(qsu_device_init(), 0);
        count_ = qsu_device_enum(&devs_);
        EXPECT_GE(count_, 1);
        EXPECT_EQ(nv_init(), 0);
        tap_.commands.clear();
    }
    ~McdiRun() { std::free(devs_); }

    qsu_device *port(int i) { return &devs_[i]; }
    lab::Lab &lab() { return host_.lab(); }
    std::vector<Command> &commands() { return tap_.commands; }
    ControllerTap &tap() { return tap_; }
    Bytes file(const std::string &id)
    {
        std::string bytes = read_file(host_.lab().dir() + "/flash/" + id + ".bin");
        return {bytes.begin(), bytes.end()};
    }
private:
    InProcessLab host_;
    ControllerTap tap_;
    ScopedPlatform scoped_;
    qsu_device *devs_ = nullptr;
    int count_ = 0;
};

// Every partition of the host reachable through the controller only.
lab::LabState mcdi_host(lab::HostKind kind, std::initializer_list<std::pair<const char *, unsigned>> adapters)
{
    lab::LabState state = lab_host(kind, adapters);
    for (lab::Adapter &a : state.adapters)
        for (lab::Partition &p : a.partitions) {
            p.mtd_all_ports = false;
            p.mtd_ports.clear();
        }
    return state;
}

// A dogwood2 whose controller firmware partition is 64 KiB of 4 KiB
// blocks, all bits programmed so that every erase shows.
lab::LabState mcfw_host(uint32_t write_size = 0, uint32_t erase_size = 4096, uint32_t size = 65536)
{
    lab::LabState state = mcdi_host(lab::HostKind::linux_host, {{"dogwood2", 1}});
    for (lab::Partition &p : state.adapters[0].partitions)
        if (p.kind == NV_PART_MCFW) {
            p.size = size;
            p.erase_size = erase_size;
            p.mcdi_write_size = write_size;
            p.initial_contents.assign(size, 0x00);
        }
    return state;
}
const char *const MCFW = "a1-mcfw-25";
constexpr unsigned MCFW_SUBTYPE = 37;

Command cmd(unsigned code, std::vector<uint32_t> args, int form = 1)
{
    return {form, code, std::move(args), form == 2 ? 1024u : 0u};
}

// Chunks of at most `max` bytes over `length`, as one command each.
std::vector<Command> chunked(unsigned code, uint32_t type, uint32_t length, uint32_t max, int form = 1)
{
    std::vector<Command> out;
    for (uint32_t at = 0; at < length; at += max)
        out.push_back(cmd(code, {type, at, std::min(max, length - at)}, form));
    return out;
}

std::vector<std::pair<std::string, int>> progress_seen;
void note_progress(const char *status, int pc)
{
    progress_seen.emplace_back(status, pc);
}

} // namespace

// Reads go in 252-byte requests; writes in 240-byte first-form requests
// unless the controller reports a write size above that, which the
// second form carries up to 1008 bytes at a time.  Erases cover the
// image's blocks and one beyond, or the whole partition, and what they
// cover is read back once the update is finished.
TEST(NvMcdi, ChunksAsTheControllerAllows)
{
    const uint32_t T = 0x100;
    struct Case {
        const char *name;
        uint32_t write_size, erase_size, image;
        bool full_erase;
        std::vector<Command> erases, writes;
        size_t erased_to;
    } cases[] = {
        {"no write size: first form", 0, 4096, 1000, false, chunked(0x3B, T, 8192, 4096), chunked(0x3A, T, 1000, 240),
         8192},
        {"write size 240: first form", 240, 4096, 8192, false, chunked(0x3B, T, 12288, 4096),
         chunked(0x3A, T, 8192, 240), 12288},
        {"write size 241", 241, 4096, 1000, true, chunked(0x3B, T, 65536, 4096), chunked(0x3A, T, 1000, 241, 2),
         65536},
        {"write size 512", 512, 4096, 1300, false, chunked(0x3B, T, 8192, 4096), chunked(0x3A, T, 1300, 512, 2), 8192},
        {"write size 2048", 2048, 4096, 2500, false, chunked(0x3B, T, 8192, 4096), chunked(0x3A, T, 2500, 1008, 2),
         8192},
        {"whole partition", 0, 4096, 65536, false, chunked(0x3B, T, 65536, 4096), chunked(0x3A, T, 65536, 240), 65536},
        {"no erase size", 0, 1, 300, false, {cmd(0x3B, {T, 0, 65536})}, chunked(0x3A, T, 300, 240), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        McdiRun run(mcfw_host(c.write_size, c.erase_size));
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE);
        ASSERT_NE(ctx, nullptr) << strerror(errno);
        EXPECT_EQ(ctx->ops, &nv_ops_mcdi_sock);
        run.commands().clear();
        Bytes image = pattern(c.image, 0x11);
        ASSERT_EQ(nv_write_all(ctx, image.data(), c.image, c.full_erase, nullptr), 0);

        std::vector<Command> expected = {cmd(0x38, {T, 1})};
        expected.insert(expected.end(), c.erases.begin(), c.erases.end());
        expected.insert(expected.end(), c.writes.begin(), c.writes.end());
        expected.push_back(cmd(0x3C, {T, 0, 1}));
        // Then it is read back as far as it was erased.
        const std::vector<Command> checked = chunked(0x39, T, c.erased_to ? c.erased_to : 65536, 252);
        expected.insert(expected.end(), checked.begin(), checked.end());
        EXPECT_EQ(run.commands(), expected);
        Bytes flash(65536, 0x00);
        std::fill(flash.begin(), flash.begin() + c.erased_to, 0xFF);
        if (c.erase_size == 1) // an EEPROM takes the bytes whatever it held
            std::fill(flash.begin(), flash.end(), 0xFF);
        std::copy(image.begin(), image.end(), flash.begin());
        EXPECT_EQ(run.file(MCFW), flash);

        run.commands().clear();
        Bytes back(1000);
        EXPECT_EQ(nv_read(ctx, back.data(), back.size(), 0), 1000);
        EXPECT_EQ(back, Bytes(flash.begin(), flash.begin() + 1000));
        EXPECT_EQ(run.commands(), (std::vector<Command>{cmd(0x39, {T, 0, 252}), cmd(0x39, {T, 252, 252}),
                                                        cmd(0x39, {T, 504, 252}), cmd(0x39, {T, 756, 244})}));
        nv_close(ctx);
    }
    // A controller that answers reads with fewer bytes than asked: each
    // read goes on where the answer ended, and nothing past the answer is
    // taken for data; an empty answer fails.
    for (uint32_t most : {100u, 0u}) {
        lab::LabState state = mcfw_host();
        for (lab::Partition &p : state.adapters[0].partitions)
            if (p.kind == NV_PART_MCFW)
                p.mcdi_read_max = most, p.initial_contents = pattern(65536, 0x5A);
        McdiRun run(state);
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE);
        ASSERT_NE(ctx, nullptr);
        run.commands().clear();
        Bytes back(300);
        testing::internal::CaptureStderr();
        EXPECT_EQ(nv_read(ctx, back.data(), back.size(), 0), most ? 300 : -1) << most;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  most ? "" : "error 5 (Input/output error) doing nv-read MCDI ioctl on " + std::to_string(ctx->fd) + "\n");
        if (most) {
            EXPECT_EQ(back, pattern(300, 0x5A));
            EXPECT_EQ(run.commands(), (std::vector<Command>{cmd(0x39, {T, 0, 252}), cmd(0x39, {T, 100, 200}),
                                                            cmd(0x39, {T, 200, 100})}));
        }
        nv_close(ctx);
    }
}

// What a user sees of an update: the erase percentage at each tenth and
// at its end (which the last block may overshoot), the write percentage
// at each tenth, then validation.
TEST(NvMcdi, ReportsProgressByTenths)
{
    using Seen = std::vector<std::pair<std::string, int>>;
    struct Case {
        uint32_t image;
        Seen expected;
        bool full_erase = false;
    } cases[] = {
        {8192,
         {{"Erasing", 33}, {"Erasing", 66}, {"Erasing", 100}, {"Writing", 11}, {"Writing", 23}, {"Writing", 35},
          {"Writing", 46}, {"Writing", 58}, {"Writing", 70}, {"Writing", 82}, {"Writing", 93}, {"Validating", 0}}},
        {2400,
         {{"Erasing", 63}, {"Erasing", 100}, {"Writing", 10}, {"Writing", 20}, {"Writing", 30}, {"Writing", 40},
          {"Writing", 50}, {"Writing", 60}, {"Writing", 70}, {"Writing", 80}, {"Writing", 90}, {"Writing", 100},
          {"Validating", 0}}},
        // Sixteen blocks: a report only when a tenth more is done.
        {240,
         {{"Erasing", 12}, {"Erasing", 25}, {"Erasing", 37}, {"Erasing", 50}, {"Erasing", 62}, {"Erasing", 75},
          {"Erasing", 87}, {"Erasing", 100}, {"Writing", 100}, {"Validating", 0}},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.image);
        McdiRun run(mcfw_host());
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE);
        ASSERT_NE(ctx, nullptr);
        Bytes image = pattern(c.image, 0x22);
        progress_seen.clear();
        ASSERT_EQ(nv_write_all(ctx, image.data(), c.image, c.full_erase, note_progress), 0);
        EXPECT_EQ(progress_seen, c.expected);
        nv_close(ctx);
    }
}

// Each generation's controller numbers partitions its own way: Birch from
// 1 with per-port ones from a base plus the port, Cedar's boot ROM
// configurations 0x600 plus the port, later generations one of each.
TEST(NvMcdi, OpensTheControllersPartitionTypeForThePort)
{
    struct Case {
        const char *preset;
        int port;
        nv_part_type kind;
        unsigned subtype;
        uint32_t type; // 0: none, not found
    } cases[] = {
        {"birch", 0, NV_PART_MCFW, 8, 1},           {"birch", 1, NV_PART_DYNAMIC_CFG, 0, 6},
        {"birch", 1, NV_PART_STATIC_CFG, 0, 4},     {"birch", 0, NV_PART_BOOTROM_CFG, 0, 8},
        {"birch", 1, NV_PART_PHY, 9, 11},           {"birch", 0, NV_PART_CPLD, 1, 17},
        {"birch", 0, NV_PART_UEFI, 0, 0},           {"cedar", 1, NV_PART_BOOTROM_CFG, 0, 0x601},
        {"cedar", 0, NV_PART_MUMFW, 2, 0xC00},      {"cedar", 0, NV_PART_PHY, 0, 0},
        {"dogwood", 1, NV_PART_BOOTROM_CFG, 0, 0x600}, {"dogwood", 0, NV_PART_STATUS, 0, 0x1600},
        {"dogwood", 0, NV_PART_FCFW, 2, 0xB02},     {"dogwood", 0, NV_PART_FPGA_BACKUP, 7, 0xB01},
        {"dogwood", 0, NV_PART_UEFI, 0, 0xD00},     {"dogwood2", 0, NV_PART_BUNDLE_METADATA, 0, 0x1E01},
        {"dogwood2", 0, NV_PART_BOOTROM_CFG_DEFAULTS, 0, 0x1C00},
        {"dogwood2", 0, NV_PART_DYNAMIC_CFG_DEFAULTS, 0, 0x1B00},
        {"dogwood2", 0, NV_PART_BUNDLE, 2, 0x1E00}, {"dogwood2", 0, NV_PART_FPGA, 2, 0xB00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.preset) + " port " + std::to_string(c.port) + " kind " + std::to_string(c.kind));
        McdiRun run(mcdi_host(lab::HostKind::linux_host, {{c.preset, 2}}));
        testing::internal::CaptureStderr();
        nv_context *ctx = nv_open(run.port(c.port), c.kind, c.subtype);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(ctx != nullptr, c.type != 0);
        ASSERT_FALSE(run.commands().empty());
        EXPECT_EQ(run.commands()[0], cmd(0x37, {c.type ? c.type : 0xFFFFFFFF}));
        if (ctx) {
            EXPECT_EQ(ctx->u.mcdi.nv_image_type, c.type);
            // The subtype comes from the board configuration on Birch, from
            // the partition's metadata later.
            EXPECT_EQ(run.commands()[1].cmd, std::string(c.preset) == "birch" ? 0x18u : 0x52u);
            nv_close(ctx);
            // Without an MTD device the controller answers whether it exists.
            EXPECT_TRUE(nv_exists(run.port(c.port), c.kind, c.subtype));
            // Another subtype is another partition.
            EXPECT_EQ(nv_open(run.port(c.port), c.kind, c.subtype + 1), nullptr);
        }
        EXPECT_EQ(errno, ENOENT);
    }
    // Birch's per-port partitions stop at its two ports: a third would
    // count into the next kind's numbers (5 + 2 is the boot ROM).
    lab::LabState state = mcdi_host(lab::HostKind::linux_host, {{"birch", 2}});
    state.adapters[0].ports[1].pci_addr = state.adapters[0].ports[1].pci_addr.replace(11, 1, "2");
    McdiRun run(state);
    EXPECT_EQ(run.port(1)->port_index, 2u);
    EXPECT_EQ(nv_open(run.port(1), NV_PART_DYNAMIC_CFG, 2), nullptr);
    EXPECT_EQ(run.commands(), std::vector<Command>{cmd(0x37, {0xFFFFFFFF})});

    // The first generation has no controller: it is not asked, so that its
    // driver's refusal cannot switch MCDI off for the other adapters.
    McdiRun mixed(mcdi_host(lab::HostKind::linux_host, {{"alder", 2}, {"alder-0710", 2}, {"dogwood2", 2}}));
    for (int alder_port : {0, 2}) {
        EXPECT_EQ(nv_open(mixed.port(alder_port), NV_PART_BOOTROM, 0), nullptr);
        EXPECT_EQ(errno, ENOENT);
    }
    EXPECT_TRUE(mixed.commands().empty());
    nv_context *ctx = nv_open(mixed.port(4), NV_PART_BUNDLE_METADATA, 0);
    EXPECT_NE(ctx, nullptr);
    nv_close(ctx);
}

// The subtype of a BD20 partition comes from its metadata (Birch's from
// the board configuration); a controller that has no metadata for the
// dynamic configuration still opens it, as subtype 0.  Other failures of
// the information, metadata or board configuration commands say so,
// except those that mean "no such partition" or "not allowed".  An answer
// too short for the words it should hold is a failure (what lies past it
// is the request's); a subtype wider than 16 bits names no partition.
TEST(NvMcdi, InformationAndMetadataFailures)
{
    auto cut = [](uint8_t n) { return [n](uint8_t *req) { req[offsetof(lab::wire::McdiRequest, len)] = n; }; };
    struct Case {
        nv_part_type kind;
        unsigned subtype;
        const char *command;
        int rc;    // the controller's error; 0: it answers, changed by `answer`
        int error; // of the open, 0: opens
        const char *message;
        std::function<void(uint8_t *)> answer = nullptr;
    } cases[] = {
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x52", 0, ENOENT, "", [](uint8_t *req) { store_le32(req + 8, 0x10025); }},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x37", 0, EIO, "eth0: failed to get NVRAM information\n", cut(8)},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x52", 0, EIO, "eth0: failed to get NVRAM information\n", cut(8)},
        {NV_PART_DYNAMIC_CFG, 0, "0x52", 0, 0, "", cut(8)},
        {NV_PART_DYNAMIC_CFG, 0, "0x18", 0, ENOENT, "", cut(72 + 2 * 5)}, // on Birch, without type 5
        {NV_PART_DYNAMIC_CFG, 0, "0x52", EIO, 0, ""},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x52", EIO, EIO, "eth0: failed to get NVRAM information\n"},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x52", EINVAL, ENOENT, ""},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x52", EPERM, EPERM, ""},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x52", ENOENT, ENOENT, ""},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x52", EOPNOTSUPP, ENOENT, ""},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x37", EIO, EIO, "eth0: failed to get NVRAM information\n"},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x37", EBUSY, EBUSY, "eth0: failed to get NVRAM information\n"},
        {NV_PART_MCFW, MCFW_SUBTYPE, "0x37", EPERM, EPERM, ""},
        {NV_PART_DYNAMIC_CFG, 0, "0x18", EIO, EIO, "eth0: failed to get NVRAM information\n"}, // on Birch
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + strerror(c.rc) + " kind " + std::to_string(c.kind));
        lab::LabState state = std::string(c.command) == "0x18"
                                  ? mcdi_host(lab::HostKind::linux_host, {{"birch", 1}})
                                  : mcfw_host();
        if (c.rc)
            state.faults = {{"*", "mcdi", c.command, 0, c.rc, std::nullopt}};
        McdiRun run(state);
        const unsigned code = static_cast<unsigned>(std::stoul(c.command, nullptr, 16));
        run.tap().answer_patch = [&](unsigned cmd, uint8_t *req) {
            if (cmd == code && c.answer)
                c.answer(req);
        };
        testing::internal::CaptureStderr();
        errno = 0;
        nv_context *ctx = nv_open(run.port(0), c.kind, c.subtype);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(ctx != nullptr, c.error == 0);
        if (c.error) {
            EXPECT_EQ(errno, c.error);
        }
        nv_close(ctx);
        // An error in the controller's answer is not the driver lacking
        // MCDI: the run goes on asking.
        EXPECT_TRUE(nv_use_mcdi_request);
    }
}

// An update is bracketed: whatever fails after the start is followed by
// the finish, and says what failed.  An image the partition cannot hold
// is refused before anything is sent.
TEST(NvMcdi, FailuresAfterTheStartStillFinishTheUpdate)
{
    const uint32_t T = 0x100;
    struct Case {
        const char *name;
        uint32_t write_size, size, erase_size, image;
        std::vector<lab::Fault> faults;
        int error;
        std::string message; // "%d": the descriptor
        std::vector<Command> sent;
    } cases[] = {
        {"too large", 0, 65536, 4096, 65537, {}, ENOSPC, "", {}},
        {"start", 0, 65536, 4096, 100, {{"*", "mcdi", "0x38", 0, EBUSY, std::nullopt}}, EBUSY,
         "Failed to prepare for NVRAM update: Device or resource busy\n", {cmd(0x38, {T, 1})}},
        {"second erase", 0, 65536, 4096, 5000, {{"*", "mcdi", "0x3B", 2, EIO, std::nullopt}}, EIO,
         "Failed to erase NVRAM sector: Input/output error\n",
         {cmd(0x38, {T, 1}), cmd(0x3B, {T, 0, 4096}), cmd(0x3B, {T, 4096, 4096}), cmd(0x3C, {T, 0, 1})}},
        {"erase size", 0, 65536, 12288, 100, {}, EINVAL,
         "Error. Attempting to erase a partition of size 65536,                  which is not a multiple of the "
         "erase size 12288\nFailed to erase NVRAM sector: Invalid argument\n",
         {cmd(0x38, {T, 1}), cmd(0x3C, {T, 0, 1})}},
        {"second write", 0, 65536, 4096, 500, {{"*", "mcdi", "0x3A", 2, ENOSPC, std::nullopt}}, ENOSPC,
         "error 28 (No space left on device) doing nv-read MCDI ioctl on %d\n"
         "Failed to write NVRAM sector: No space left on device\n",
         {cmd(0x38, {T, 1}), cmd(0x3B, {T, 0, 4096}), cmd(0x3B, {T, 4096, 4096}), cmd(0x3A, {T, 0, 240}), cmd(0x3A, {T, 240, 240}),
          cmd(0x3C, {T, 0, 1})}},
        {"second form write", 1024, 65536, 4096, 500, {{"*", "mcdi", "0x3A", 1, EROFS, std::nullopt}}, EROFS,
         "error 30 (Read-only file system) doing nv-read MCDI ioctl on %d\nFailed to write NVRAM sector: "
         "Read-only file system\n",
         {cmd(0x38, {T, 1}), cmd(0x3B, {T, 0, 4096}), cmd(0x3B, {T, 4096, 4096}), cmd(0x3A, {T, 0, 500}, 2), cmd(0x3C, {T, 0, 1})}},
        {"driver refuses the second form", 1024, 65536, 4096, 500,
         {{"*", "command", "0xEF21", 0, EOPNOTSUPP, std::nullopt}}, EOPNOTSUPP,
         "error 95 (Operation not supported) doing nv-read MCDI ioctl on %d\nFailed to write NVRAM sector: "
         "Operation not supported\n",
         {cmd(0x38, {T, 1}), cmd(0x3B, {T, 0, 4096}), cmd(0x3B, {T, 4096, 4096}), cmd(0x3A, {T, 0, 500}, 2), cmd(0x3C, {T, 0, 1})}},
        {"finish", 0, 65536, 4096, 100, {{"*", "mcdi", "0x3C", 0, EIO, std::nullopt}}, EIO,
         "Failed to finish NVRAM update: Input/output error\n",
         {cmd(0x38, {T, 1}), cmd(0x3B, {T, 0, 4096}), cmd(0x3B, {T, 4096, 4096}), cmd(0x3A, {T, 0, 100}), cmd(0x3C, {T, 0, 1})}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = mcfw_host(c.write_size, c.erase_size, c.size);
        state.faults = c.faults;
        McdiRun run(state);
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE);
        ASSERT_NE(ctx, nullptr);
        run.commands().clear();
        Bytes image = pattern(c.image, 0x33);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(nv_write_all(ctx, image.data(), c.image, false, nullptr), -1);
        EXPECT_EQ(errno, c.error);
        char message[512];
        std::snprintf(message, sizeof message, c.message.c_str(), ctx->fd);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
        EXPECT_EQ(run.commands(), c.sent);
        if (c.sent.empty()) {
            EXPECT_EQ(run.file(MCFW), Bytes(c.size, 0x00));
        }
        nv_close(ctx);
    }
}

// A driver without MCDI pass-through answers the ioctl with EOPNOTSUPP:
// from then on the run does not ask again, and partitions it would have
// reached are simply not there.
TEST(NvMcdi, ADriverWithoutPassThroughSwitchesMcdiOffForTheRun)
{
    lab::LabState state = mcfw_host();
    state.host.mcdi_available = false;
    McdiRun run(state);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(nv_use_mcdi_request);
    EXPECT_EQ(run.commands().size(), 1u);

    run.lab().state().host.mcdi_available = true;
    EXPECT_FALSE(nv_exists(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE));
    EXPECT_EQ(nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(run.commands().size(), 1u);
}

// Whether a partition is there, and its subtype, are asked once per port
// and run; a write may change the answer (the controller records the
// subtype of what it was given), so after one they are asked again.
TEST(NvMcdi, AnswersAreRememberedUntilAWrite)
{
    McdiRun run(mcfw_host());
    const std::vector<Command> asked = {cmd(0x37, {0x100}), cmd(0x52, {0x100})};
    for (unsigned subtype : {MCFW_SUBTYPE, MCFW_SUBTYPE + 1, MCFW_SUBTYPE})
        EXPECT_EQ(nv_exists(run.port(0), NV_PART_MCFW, subtype), subtype == MCFW_SUBTYPE);
    nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(run.commands(), asked);
    for (lab::Partition &p : run.lab().state().adapters[0].partitions)
        if (p.kind == NV_PART_MCFW)
            p.subtype = MCFW_SUBTYPE + 1;
    const Bytes image = pattern(1000, 0x11);
    EXPECT_EQ(nv_write_all(ctx, image.data(), 1000, false, nullptr), 0);
    nv_close(ctx);
    run.commands().clear();
    EXPECT_FALSE(nv_exists(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE));
    EXPECT_TRUE(nv_exists(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE + 1));
    EXPECT_EQ(run.commands(), asked);
}
