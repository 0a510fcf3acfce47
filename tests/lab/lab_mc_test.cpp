// The adapters' management controller, reached as qsupdate reaches it: raw
// SIOCKPX ioctls built from the lab's own view of the wire, on a socket or
// on the control device, checked against the partition files.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>

#include "lab/controller/lab_mc_reset.h"
#include "lab/flash/lab_mtd.h"
#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_flash.h"
#include "lab/qslab/lab_show.h"
#include "lab/wire/lab_wire.h"
#include "lib/utils/byteorder.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

namespace wire = lab::wire;
using Bytes = std::vector<uint8_t>;

// Little-endian words, as every MCDI argument and answer.
Bytes le_words(const std::vector<uint32_t> &words)
{
    Bytes b;
    for (uint32_t w : words)
        for (int shift : {0, 8, 16, 24})
            b.push_back(static_cast<uint8_t>(w >> shift));
    return b;
}

struct Reply {
    int ioctl_error = 0; // the driver's errno
    int rc = 0;          // the controller's: rc, or host_errno
    Bytes response;
};

// One port's way to the controller: a socket or the control device, in
// either envelope form.
struct Mcdi {
    Platform &p;
    bool socket;
    std::string ifname;
    int form = 1;
    int fd = socket ? p.socket(AF_INET, SOCK_STREAM, 0) : p.open("/dev/qsc_control", O_RDWR);
    ~Mcdi() { p.close(fd); }

    // Words, then data; `len` or `inlen` as given, else their size.
    Reply call(unsigned cmd, const std::vector<uint32_t> &words, const Bytes &data = {},
               std::optional<size_t> len = {}, uint16_t outlen = 1024, uint16_t kpx = 0)
    {
        Bytes req = le_words(words);
        req.insert(req.end(), data.begin(), data.end());
        wire::Body body{};
        uint8_t *payload = body.bytes + (form == 1 ? 0 : 12);
        std::copy_n(req.begin(), std::min<size_t>(req.size(), form == 1 ? 252 : 1020), payload);
        const size_t length = len.value_or(req.size());
        if (form == 1) {
            body.mcdi_request.cmd = static_cast<uint8_t>(cmd);
            body.mcdi_request.len = static_cast<uint8_t>(length);
        } else {
            // Flags: 0x0100 is left alone, a stale error bit cleared; host_errno rewritten.
            for (auto [at, value] : {std::pair<int, size_t>{0, cmd}, {2, length}, {4, outlen}, {6, 0x0101}})
                store_le16(&body.bytes[at], static_cast<uint16_t>(value));
            store_le32(&body.bytes[8], 77);
        }
        kpx = kpx ? kpx : form == 1 ? 0xEF0C : 0xEF21;
        auto issue = [&](auto &ioc, void *arg) {
            ioc.cmd = host_to_le16(kpx);
            ioc.u = body;
            int rc = p.ioctl(fd, wire::SIOCKPX, arg);
            body = ioc.u;
            return rc;
        };
        wire::SocketIoctl sock{};
        wire::ControlIoctl control{};
        ifreq ifr{};
        ifr.ifr_data = reinterpret_cast<char *>(&sock);
        ifname.copy(socket ? ifr.ifr_name : control.if_name, IFNAMSIZ - 1);
        Reply r;
        r.ioctl_error = error_of(socket ? issue(sock, &ifr) : issue(control, &control));
        if (r.ioctl_error || (kpx != 0xEF0C && kpx != 0xEF21))
            return r;
        if (form == 1) {
            r.rc = body.mcdi_request.rc;
            r.response.assign(payload, payload + body.mcdi_request.len);
        } else {
            r.rc = static_cast<int>(load_le32(&body.bytes[8]));
            EXPECT_EQ(load_le16(&body.bytes[6]), r.rc ? 0x0101 : 0x0100);
            r.response.assign(payload, payload + load_le16(&body.bytes[4]));
        }
        EXPECT_TRUE(r.rc == 0 || r.response.empty());
        return r;
    }
    // rc, or minus the ioctl's errno.
    int rc(unsigned cmd, const std::vector<uint32_t> &words, const Bytes &data = {})
    {
        Reply r = call(cmd, words, data);
        return r.ioctl_error ? -r.ioctl_error : r.rc;
    }
};

uint32_t word(const Bytes &b, size_t at)
{
    return at + 4 <= b.size() ? load_le32(&b[at]) : 0xDEADBEEF;
}

lab::Partition &part(lab::LabState &s, const std::string &id, size_t adapter = 0)
{
    auto &parts = s.adapters[adapter].partitions;
    return *std::find_if(parts.begin(), parts.end(), [&](const lab::Partition &p) { return p.id == id; });
}

Bytes flash_bytes(InProcessLab &host, const std::string &id, size_t offset = 0, size_t n = SIZE_MAX)
{
    std::string all = read_file(host.lab().dir() + "/flash/" + id + ".bin");
    return Bytes(all.begin() + offset, all.begin() + offset + std::min(n, all.size() - offset));
}

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// An update as qsupdate makes one: start, erase blocks, chunks, finish.
void update(Mcdi &m, uint32_t type, const Bytes &image, uint32_t erase_size)
{
    ASSERT_EQ(m.rc(0x38, {type, 1}), 0);
    for (uint32_t at = 0; at < image.size(); at += erase_size)
        ASSERT_EQ(m.rc(0x3B, {type, at, erase_size}), 0);
    for (uint32_t at = 0; at < image.size(); at += 240) {
        const uint32_t n = std::min<uint32_t>(240, static_cast<uint32_t>(image.size()) - at);
        ASSERT_EQ(m.rc(0x3A, {type, at, n}, Bytes(image.begin() + at, image.begin() + at + n)), 0);
    }
    ASSERT_EQ(m.rc(0x3C, {type, 0, 1}), 0);
}

// Ends the run; the logged lines that contain the text, without stamps.
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

// Both envelopes on both transports reach the controller; the driver's own
// errors come from the ioctl.
TEST(LabMc, EnvelopesTransportsAndDriverErrors)
{
    for (auto [kind, other, other_error] : {std::tuple{lab::HostKind::linux_host, "eno1", EOPNOTSUPP},
                                            {lab::HostKind::esx, "eno1", ENODEV},
                                            {lab::HostKind::esxi, "vmnic0", ENODEV}}) {
        lab::LabState state = lab_host(kind, {{"dogwood2", 2}});
        const std::string port1 = state.adapters[0].ports[1].ifname;
        const bool socket = kind == lab::HostKind::linux_host;
        SCOPED_TRACE(port1);
        InProcessLab host(state);
        Platform &p = host.platform();
        if (kind == lab::HostKind::esx) {
            ASSERT_EQ(p.mknod("/dev/qsc_control", S_IFCHR | 0600, makedev(245, 1)), 0);
        }
        for (int form : {1, 2}) {
            Reply r = Mcdi{p, socket, port1, form}.call(0x37, {0x100});
            EXPECT_EQ(std::tuple(r.ioctl_error, r.rc, r.response.size()), std::tuple(0, 0, 24u)) << form;
            EXPECT_EQ(std::tuple(word(r.response, 0), word(r.response, 4), word(r.response, 8), word(r.response, 20)),
                      std::tuple(0x100u, 0x200000u, 0x10000u, 0u));
            EXPECT_EQ((Mcdi{p, socket, "nosuch", form}.call(0x37, {0x100}).ioctl_error), ENODEV);
            EXPECT_EQ((Mcdi{p, socket, other, form}.call(0x37, {0x100}).ioctl_error), other_error);
        }
        host.lab().state().host.mcdi_available = false;
        for (auto [form, kpx, error] :
             {std::tuple{1, 0, EOPNOTSUPP}, {2, 0, EOPNOTSUPP}, {1, 0xEF22, 0}, {1, 0xEF23, EOPNOTSUPP}}) {
            Mcdi m{p, socket, port1, form};
            EXPECT_EQ(m.call(0x37, {0x100}, {}, {}, 0, static_cast<uint16_t>(kpx)).ioctl_error, error) << kpx;
        }
    }
    // A board without a controller: the driver carries no MCDI for it.
    InProcessLab alder(lab_host(lab::HostKind::linux_host, {{"alder-0710", 2}}));
    EXPECT_EQ((Mcdi{alder.platform(), true, "eth0"}.call(0x37, {0x300}).ioctl_error), EOPNOTSUPP);
}

// Information, metadata and board configuration per generation; a port
// asks for any type of its adapter.
TEST(LabMc, InformationMetadataAndBoardConfiguration)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}, {"birch", 2}, {"cedar", 2}});
    part(state, "a1-mcfw-25").mcdi_write_size = 512;
    part(state, "a1-bootrom-cfg-00").erase_size = 1;
    part(state, "a1-dynamic-cfg-00").mcdi_metadata = false;
    part(state, "a2-cpld-01", 1).mcdi_type = 40; // past Birch's own types
    InProcessLab host(state);
    Platform &p = host.platform();
    Mcdi dogwood2{p, true, "eth1"}, birch{p, true, "eth2"}, cedar{p, true, "eth4"};
    struct Case {
        Mcdi &m;
        uint32_t type;
        int rc;
        std::vector<uint32_t> words; // type, size, erase size, 0, 0, 0[, write size]
    } cases[] = {
        {dogwood2, 0x100, 0, {0x100, 0x200000, 0x10000, 0, 0, 0, 512}},
        {dogwood2, 0x600, 0, {0x600, 0x10000, 0, 0, 0, 0}}, // an EEPROM
        {dogwood2, 0x1E01, 0, {0x1E01, 0x10000, 0x1000, 0, 0, 0}},
        {dogwood2, 0x601, EINVAL, {}},
        {dogwood2, 0xFFFFFFFF, EINVAL, {}},
        {birch, 6, 0, {6, 0x10000, 0x10000, 0, 0, 0}}, // port 1's, asked through port 0
        {cedar, 0x601, 0, {0x601, 0x10000, 0x1000, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        Reply r = c.m.call(0x37, {c.type});
        EXPECT_EQ(std::tuple(r.rc, r.response), std::tuple(c.rc, le_words(c.words))) << std::hex << c.type;
    }
    // The subtype: as metadata from Cedar on, in Birch's board configuration.
    for (size_t a : {0, 2})
        for (const lab::Partition &part : state.adapters[a].partitions) {
            if (part.mcdi_type == lab::NO_MCDI_TYPE)
                continue;
            Reply r = (a == 0 ? dogwood2 : cedar).call(0x52, {part.mcdi_type});
            EXPECT_EQ(std::tuple(r.rc, word(r.response, 0), word(r.response, 8)),
                      part.mcdi_metadata ? std::tuple(0, part.mcdi_type, part.subtype)
                                         : std::tuple(ENOENT, 0xDEADBEEF, 0xDEADBEEF))
                << part.id;
        }
    Reply board = birch.call(0x18, {});
    ASSERT_EQ(std::tuple(board.rc, board.response.size()), std::tuple(0, 72u + 2 * 41));
    for (const lab::Partition &part : state.adapters[1].partitions)
        EXPECT_EQ(load_le16(&board.response[72 + 2 * part.mcdi_type]), part.subtype) << part.id;
    EXPECT_EQ(load_le16(&board.response[72 + 2 * 12]), 0) << "no partition of type 12";
    for (auto [m, cmd, words, rc] : {std::tuple{&dogwood2, 0x18, std::vector<uint32_t>{}, ENOSYS},
                                     {&cedar, 0x18, {}, ENOSYS},
                                     {&birch, 0x52, {1}, ENOSYS}})
        EXPECT_EQ(m->rc(cmd, words), rc) << std::hex << cmd;
    for (unsigned cmd : {0x37, 0x52}) // the type in the payload, but not in the request
        EXPECT_EQ(dogwood2.call(cmd, {0x100}, {}, 3).rc, EINVAL) << std::hex << cmd;
    dogwood2.form = 2;
    EXPECT_EQ(dogwood2.call(0x37, {0x100}, {}, {}, 27).rc, EMSGSIZE) << "a response larger than outlen";
    EXPECT_EQ(dogwood2.call(0x37, {0x100}, {}, {}, 28).response.size(), 28u);
}

// Writes and erases only inside an update of the same type, which starts
// and finishes with its fixed words; nothing that is not aligned, overruns
// its request or leaves the partition; reads and writes no larger than one
// command carries, and reads answered with no more than the controller
// gives at once.  The flash holds exactly what
// was accepted (NOR: the AND of old and new), and it is one flash: the MTD
// device reads what MCDI wrote, MCDI what the MTD device wrote.
TEST(LabMc, UpdateRulesGuardTheFlash)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}});
    state.host.modules_loaded.push_back("mtdchar");
    part(state, "a1-mcfw-25").mcdi_write_size = 512;
    InProcessLab host(state);
    Platform &p = host.platform();
    Mcdi m{p, true, "eth1"};
    Bytes model = flash_bytes(host, "a1-mcfw-25");
    const uint32_t end = 0x200000;
    struct Step {
        int form;
        unsigned cmd;
        std::vector<uint32_t> words;
        size_t data; // bytes of data after the words
        std::optional<size_t> len;
        int rc;
    } steps[] = {
        {1, 0x3A, {0x100, 0, 16}, 16, {}, EPERM},
        {1, 0x3B, {0x100, 0, 0x10000}, 0, {}, EPERM},
        {1, 0x3C, {0x100, 0, 1}, 0, {}, EPERM},
        {1, 0x38, {0x1600, 1}, 0, {}, 0},
        {1, 0x3A, {0x100, 0, 16}, 16, {}, EPERM}, // another type's update
        {1, 0x38, {0x100}, 0, {}, EINVAL},        // too short
        {1, 0x38, {0x100, 0}, 0, {}, EINVAL},     // (type, 1) only
        {1, 0x38, {0x100, 1}, 0, {}, 0},
        {1, 0x38, {0x100, 1}, 0, {}, EBUSY},
        {1, 0x3B, {0x100, 0x8000, 0x10000}, 0, {}, EINVAL},
        {1, 0x3B, {0x100, 0, 0x8000}, 0, {}, EINVAL},
        {1, 0x3B, {0x100, 0, 0}, 0, {}, EINVAL},
        {1, 0x3B, {0x100, end - 0x10000, 0x20000}, 0, {}, EINVAL},
        {1, 0x3B, {0x100, 0, 0x10000}, 0, {}, 0},
        {1, 0x3A, {0x100, 0x10, 240}, 240, {}, 0},
        {1, 0x3A, {0x100, 0x80, 64}, 64, {}, 0}, // over written bytes
        {1, 0x3A, {0x100, 0x300, 16}, 16, 12 + 15, EINVAL}, // the data overruns the request
        {1, 0x3A, {0x100, 0x300, 16}, 16, 253, EINVAL},     // the request overruns the payload
        {1, 0x3A, {0x100, end - 8, 16}, 16, {}, EINVAL},
        {2, 0x3A, {0x100, 0x400, 512}, 512, {}, 0},
        {2, 0x3A, {0x100, 0x800, 513}, 513, {}, EINVAL}, // more than the write size
        {2, 0x39, {0x100, 0, 253}, 0, {}, EINVAL},
        {1, 0x39, {0x100, end - 4, 8}, 0, {}, EINVAL},
        {2, 0x3C, {0x100, 0}, 0, {}, EINVAL},
        {1, 0x3C, {0x100, 1, 1}, 0, {}, EINVAL}, // (type, 0, 1) only
        {1, 0x3C, {0x100, 0, 0}, 0, {}, EINVAL},
        {1, 0x3C, {0x100, 0, 1}, 0, {}, 0},
        {1, 0x3A, {0x100, 0xC00, 16}, 16, {}, EPERM},
        {1, 0x99, {0x100}, 0, {}, ENOSYS},
    };
    uint8_t seed = 1;
    for (const Step &s : steps) {
        SCOPED_TRACE(std::to_string(&s - steps));
        m.form = s.form;
        Bytes data = pattern(s.data, seed++);
        EXPECT_EQ(m.call(s.cmd, s.words, data, s.len).rc, s.rc);
        if (s.rc == 0 && s.cmd == 0x3B)
            std::fill_n(model.begin() + s.words[1], s.words[2], 0xFF);
        for (size_t i = 0; s.rc == 0 && s.cmd == 0x3A && i < data.size(); ++i)
            model[s.words[1] + i] &= data[i];
    }
    EXPECT_EQ(flash_bytes(host, "a1-mcfw-25"), model);
    int mtd0 = p.open("/dev/mtd0", O_RDWR); // eth0 qsc_mcfw:25
    Bytes got(0x1000), more = pattern(0x40, 9);
    ASSERT_EQ(p.read(mtd0, got.data(), got.size()), 0x1000);
    EXPECT_EQ(got, Bytes(model.begin(), model.begin() + 0x1000));
    ASSERT_EQ(p.write(mtd0, more.data(), more.size()), 0x40); // at 0x1000, erased
    p.close(mtd0);
    m.form = 1;
    EXPECT_EQ(m.call(0x39, {0x100, 0x1000, 0x40}).response, more);
    part(host.lab().state(), "a1-mcfw-25").mcdi_read_max = 0x30; // a controller that answers short
    EXPECT_EQ(m.call(0x39, {0x100, 0x1000, 0x40}).response, Bytes(more.begin(), more.begin() + 0x30));
    EXPECT_EQ(part(host.lab().state(), "a1-mcfw-25").last_run.writes, 4u);
    EXPECT_EQ(events(host, "still open"),
              std::vector<std::string>{"MCDI update 0x1600 still open at the end of the run"});
    EXPECT_EQ(m.rc(0x3A, {0x1600, 0, 1}, {0}), EPERM) << "an update ends with the run";
}

// Faults: "mcdi" fails a command in its answer, by partition, port or any;
// a flash fault under a command comes back in rc; a "command" fault fails
// the ioctl itself.
TEST(LabMc, FaultsComeBackInTheAnswer)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}});
    state.faults = {{"a1-mcfw-25", "mcdi", "0x3A", 2, EIO, std::nullopt},
                    {"eth1", "mcdi", "0x37", 0, ENODATA, std::nullopt},
                    {"*", "mcdi", "0x18", 1, EPROTO, std::nullopt},
                    {"a1-status-00", "write", "", 1, 0, 5},
                    {"a1-status-00", "erase", "", 2, EBUSY, std::nullopt},
                    {"eth0", "command", "0xEF0C", 1, EIO, std::nullopt}};
    InProcessLab host(state);
    Mcdi m{host.platform(), true, "eth0"}, m1{host.platform(), true, "eth1", 2};
    struct Step {
        Mcdi &m;
        unsigned cmd;
        std::vector<uint32_t> words;
        Bytes data;
        int rc;
    } steps[] = {
        {m, 0x37, {0x100}, {}, -EIO},
        {m, 0x38, {0x1600, 1}, {}, 0},
        {m, 0x3B, {0x1600, 0, 0x1000}, {}, 0},
        {m, 0x3B, {0x1600, 0, 0x1000}, {}, EBUSY},
        {m, 0x3A, {0x1600, 0, 6}, Bytes(6, 0), EIO}, // cut short after 5 bytes
        {m, 0x3C, {0x1600, 0, 1}, {}, 0},
        {m, 0x38, {0x100, 1}, {}, 0},
        {m, 0x3B, {0x100, 0, 0x10000}, {}, 0},
        {m, 0x3A, {0x100, 0, 2}, {1, 2}, 0},
        {m, 0x3A, {0x100, 2, 2}, {3, 4}, EIO},
        {m, 0x3A, {0x100, 4, 2}, {5, 6}, 0},
        {m1, 0x37, {0x100}, {}, ENODATA},
        {m, 0x37, {0x100}, {}, 0},
        {m1, 0x18, {}, {}, EPROTO},
    };
    for (const Step &s : steps)
        EXPECT_EQ(s.m.rc(s.cmd, s.words, s.data), s.rc) << &s - steps;
    EXPECT_EQ(flash_bytes(host, "a1-mcfw-25", 0, 6), (Bytes{1, 2, 0xFF, 0xFF, 5, 6}));
    EXPECT_EQ(flash_bytes(host, "a1-status-00", 0, 6), (Bytes{0, 0, 0, 0, 0, 0xFF}));
    EXPECT_EQ(events(host, "fault injected: mcdi"),
              (std::vector<std::string>{"fault injected: mcdi 0x3A of a1-mcfw-25 (occurrence 2) failed with EIO",
                                        "fault injected: mcdi 0x37 of a1-mcfw-25 (occurrence 1) failed with ENODATA",
                                        "fault injected: mcdi 0x18 of eth1 (occurrence 1) failed with EPROTO"}));
}

// At the finish of a controller-firmware update the controller records
// its verdict on what was written, erasing the record's block first.  A
// reset then runs the image the verdict accepted, by the version its
// header gives (plain at the start, signed in chunk 1), or keeps the old.
TEST(LabMc, VerdictInTheStatusPartitionAndTheResetAfterIt)
{
    constexpr uint32_t P = 0x10000;
    // The signed layout: code, then each chunk header behind the data it
    // follows, the CMS header's at the end; one word of one header (id 2,
    // offset 3, length 4) of one chunk changed by `by`.
    auto signed_layout = [](uint32_t changed, uint32_t chunk, uint32_t by) {
        const uint32_t L = 0x800, H = 0x60, R = 40, T = 4, S = 0x90;
        Bytes b(P, 0xFF);
        std::fill_n(b.begin(), L, 0x11);
        for (auto [at, id, offset, len] : {std::array<uint32_t, 4>{L, 3, L + 96 + H + R, T},
                                           {L + 32 + H, 1, L + 64 + H, R},
                                           {L + 64 + H + R, 2, 0, L},
                                           {L + 96 + H + R + T, 4, L + 128 + H + R + T, S},
                                           {P - 32, 0, L + 32, H}}) {
            std::vector<uint32_t> words = {0xBD205161, 1, id, offset, len, 0, 0, 0};
            words[changed] += id == chunk ? by : 0;
            const Bytes header = le_words(words);
            std::copy(header.begin(), header.end(), b.begin() + at);
        }
        const Bytes image = lab::build_plain_image({3, 0x25, {7, 6, 0, 1}});
        std::copy_n(image.begin(), R, b.begin() + L + 64 + H);
        return b;
    };
    // The code of a plain image alone, as an update writes it.
    auto plain_code = [](uint32_t subtype, uint32_t type = 3) {
        const Bytes image = lab::build_plain_image({type, subtype, {7, 5, 0, 1000}, {}, 4096});
        return Bytes(image.begin() + 40, image.end() - 4);
    };
    auto first = [](Bytes b, size_t n) {
        b.resize(n);
        return b;
    };
    const std::string bad_chain = "signed image rejected (3): its chunks do not lead from one to the next",
                      no_image = "a1-mcfw-25 holds no controller firmware image of its subtype",
                      not_whole = "unsigned image refused, status EIO: no whole image in flash";
    struct Case {
        bool demands;
        uint32_t result;
        Bytes image;
        bool status;
        std::vector<uint32_t> record; // error, result, security level
        std::string logged, runs, kept_because; // after a reset: the new version, or why the old stays
    } cases[] = {
        {false, 1, plain_code(0x25), true, {0, 0, 0}, "unsigned image accepted", "7.5.0.1000", ""},
        {false, 1, pattern(4096, 5), true, {EIO, 0, 0}, not_whole, "", not_whole},
        // A write cut at byte 960 leaves no whole image, whatever the adapter demands.
        {false, 1, first(plain_code(0x25), 960), true, {EIO, 0, 0}, not_whole, "", not_whole},
        {false, 1, plain_code(0x26), true, {0, 0, 0}, "unsigned image accepted", "", no_image},
        {false, 1, plain_code(0x25, 2), true, {0, 0, 0}, "unsigned image accepted", "", no_image},
        {true, 1, plain_code(0x25), true, {EPERM, 0, 1}, "unsigned image refused, status EPERM", "",
         "unsigned image refused, status EPERM"},
        {true, 1, signed_layout(0, 0, 0), true, {0, 1, 1}, "signed image accepted (1)", "7.6.0.1", ""},
        {false, 7, signed_layout(0, 0, 0), true, {0, 7, 0}, "signed image rejected (7)", "",
         "signed image rejected (7)"},
        {true, 1, signed_layout(4, 1, 1), true, {0, 3, 1}, bad_chain, "", bad_chain},
        {false, 1, signed_layout(4, 4, P), true, {0, 3, 0}, bad_chain, "", bad_chain}, // the signature past the end
        {false, 1, signed_layout(2, 2, 1), true, {0, 3, 0}, bad_chain, "", bad_chain}, // ids out of order
        {true, 1, plain_code(0x25), false, {}, "unsigned image refused, status EPERM, no status partition to record it",
         "", "unsigned image refused, status EPERM"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.logged);
        lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}});
        lab::Adapter &a = state.adapters[0];
        std::tie(a.requires_signed_mcfw, a.signed_verify_result) = std::tuple(c.demands, c.result);
        part(state, "a1-mcfw-25").size = P;
        part(state, "a1-mcfw-25").initial_contents.clear();
        part(state, "a1-status-00").initial_contents = Bytes(64, 0); // an old record, not erased
        if (!c.status)
            std::erase_if(a.partitions, [](const lab::Partition &p) { return p.kind == lab::PART_STATUS; });
        InProcessLab host(state);
        Mcdi m{host.platform(), true, "eth0"};
        update(m, 0x500, pattern(100, 1), 0x10000); // other partitions leave no verdict
        EXPECT_EQ(flash_bytes(host, "a1-status-00", 0, 1), Bytes(c.status ? 1 : 0, 0));
        update(m, 0x100, c.image, 0x10000);
        EXPECT_EQ(flash_bytes(host, "a1-mcfw-25", 0, c.image.size()), c.image) << "the partition keeps it";
        if (c.status) {
            Bytes expected = le_words({0xBD2057A7, 20, c.record[0], c.record[1], c.record[2]});
            expected.resize(0x1000, 0xFF);
            EXPECT_EQ(flash_bytes(host, "a1-status-00"), expected);
        }
        // A reset that spares the controller changes nothing.
        ethtool_value phy_only{ETHTOOL_RESET, ETH_RESET_PHY};
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "eth0");
        ifr.ifr_data = reinterpret_cast<char *>(&phy_only);
        ASSERT_EQ(host.platform().ioctl(m.fd, SIOCETHTOOL, &ifr), 0);
        EXPECT_EQ(host.lab().state().adapters[0].firmware_version, "7.4.3.1008");
        EXPECT_EQ(lab::mc::reset_controller(host.lab(), 0),
                  c.runs.empty() ? "adapter 1 keeps controller firmware 7.4.3.1008: " + c.kept_because
                                 : "adapter 1 runs controller firmware " + c.runs + " (was 7.4.3.1008)");
        EXPECT_EQ(host.lab().state().adapters[0].firmware_version, c.runs.empty() ? "7.4.3.1008" : c.runs);
        EXPECT_EQ(events(host, "MCDI update finish 0x100"),
                  std::vector<std::string>{"MCDI update finish 0x100: " + c.logged});
    }
}

// Consecutive commands of one kind on one type make one line, stamped when
// the first started; any other line in between starts a new one.  The
// flash's own lines are not repeated.
TEST(LabMc, EventLogIsCondensed)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}});
    part(state, "a1-mcfw-25").read_byte_ns = 1000;
    std::tie(part(state, "a1-bootrom-cfg-00").erase_size, part(state, "a1-bootrom-cfg-00").erase_block_us) =
        std::tuple(1, 0);
    InProcessLab host(state);
    Mcdi m{host.platform(), true, "eth0"};
    m.call(0x37, {0x100});
    m.call(0x37, {0x100});
    host.lab().events().record("between");
    m.call(0x37, {0x100});
    m.call(0x52, {0x100});
    m.call(0x3A, {0x100, 0, 1}, {0});
    update(m, 0x100, pattern(4096, 1), 0x10000);
    ASSERT_EQ(m.rc(0x38, {0x100, 1}), 0);
    m.call(0x3A, {0x100, 0, 16}, Bytes(16, 0), 20);
    for (uint32_t at : {0x10000, 0x20000, 0x50000}) // the last not where the one before ended
        ASSERT_EQ(m.rc(0x3B, {0x100, at, 0x10000}), 0);
    for (uint32_t at = 0; at < 1000; at += 252)
        m.call(0x39, {0x100, at, std::min<uint32_t>(252, 1000 - at)});
    ASSERT_EQ(m.rc(0x3C, {0x100, 0, 1}), 0);
    m.call(0x37, {0x123});
    update(m, 0x600, {1, 2}, 0x10000);
    host.lab().save("end");
    EXPECT_EQ(read_file(host.lab().dir() + "/events.log"),
              "[0.000000 s] MCDI information 0x100 (2 commands)\n"
              "[0.000000 s] between\n"
              "[0.000000 s] MCDI information 0x100\n"
              "[0.000000 s] MCDI metadata 0x100\n"
              "[0.000000 s] MCDI write 0x100: EPERM (no update in progress)\n"
              "[0.000000 s] MCDI update start 0x100\n"
              "[0.000000 s] MCDI erase 0x100: 0x0-0xffff (1 block)\n"
              "[0.450000 s] MCDI write 0x100: 4096 bytes in 18 commands\n"
              "[0.482768 s] MCDI update finish 0x100: unsigned image refused, status EIO: no whole image in flash\n"
              // The controller erases the status record's sector: 45 ms.
              "[0.527928 s] MCDI update start 0x100\n"
              "[0.527928 s] MCDI write 0x100: EINVAL (16 bytes announced, the request holds 8)\n"
              "[0.527928 s] MCDI erase 0x100: 0x10000-0x2ffff (2 blocks)\n"
              "[1.427928 s] MCDI erase 0x100: 0x50000-0x5ffff (1 block)\n"
              "[1.877928 s] MCDI read 0x100: 1000 bytes in 4 commands\n"
              "[1.878928 s] MCDI update finish 0x100: unsigned image refused, status EIO: no whole image in flash\n"
              "[1.924088 s] MCDI information 0x123: EINVAL (no partition of this type)\n"
              "[1.924088 s] MCDI update start 0x600\n"
              "[1.924088 s] MCDI erase 0x600: 0x0-0xffff (whole EEPROM)\n"
              "[1.924088 s] MCDI write 0x600: 2 bytes in 1 command\n"
              "[1.924104 s] MCDI update finish 0x600\n"
              "[1.924104 s] flash a1-mcfw-25: read 1000 bytes in 4 reads\n"
              "[1.924104 s] end\n");
}

// `qslab show` condenses a run of controller queries into counts per
// command, whatever their types and answers, and erases or writes that go
// on where the last one ended into one range; anything else stays apart.
TEST(LabMc, ShowCondensesRunsOfLikeEvents)
{
    InProcessLab host(lab_host(lab::HostKind::linux_host, {}));
    std::ofstream(host.lab().dir() + "/events.log") << "[0.1 s] run 1: qsupdate\n"
                                                      "[0.2 s] MCDI information 0x100 (2 commands)\n"
                                                      "[0.2 s] MCDI board configuration\n"
                                                      "[0.2 s] MCDI information 0x123: EINVAL (no partition) (3 commands)\n"
                                                      "[0.2 s] MCDI metadata 0x100: ENOENT (none kept)\n"
                                                      "[0.2 s] MCDI information 0x300: ENOSYS (x)\n"
                                                      "[0.3 s] MCDI read 0x1e01: 8 bytes in 1 command\n"
                                                      "[0.3 s] MCDI information 0x100\n"
                                                      "[0.4 s] flash a1-mcfw-25: erase 0x0-0xffff (1 block)\n"
                                                      "[0.8 s] flash a1-mcfw-25: erase 0x10000-0x2ffff (2 blocks)\n"
                                                      "[1.6 s] flash a1-mcfw-25: erase 0x40000-0x4ffff (1 block)\n"
                                                      "[2.0 s] flash a1-mcfw-25: write 0x0-0xfff (4096 bytes)\n"
                                                      "[2.1 s] flash a1-mcfw-25: write 0x1000-0x1fff (4096 bytes, in place)\n"
                                                      "[2.2 s] flash a1-status-00: write 0x2000-0x2fff (4096 bytes, in place)\n"
                                                      "[2.3 s] flash a1-status-00: write 0x3000-0x3000 (1 byte, in place)\n";
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    lab::show_lab(host.lab().dir(), out);
    std::fclose(out);
    const std::string shown(text, size);
    std::free(text);
    EXPECT_EQ(shown.substr(shown.find("Events:\n")),
              "Events:\n"
              "  [0.1 s] run 1: qsupdate\n"
              "  [0.2 s] MCDI information (6 commands, 4 refused with EINVAL or ENOSYS), board configuration (1 command), "
              "metadata (1 command, 1 refused with ENOENT)\n"
              "  [0.3 s] MCDI read 0x1e01: 8 bytes in 1 command\n"
              "  [0.3 s] MCDI information 0x100\n"
              "  [0.4 s] flash a1-mcfw-25: erase 0x0-0x2ffff (3 blocks)\n"
              "  [1.6 s] flash a1-mcfw-25: erase 0x40000-0x4ffff (1 block)\n"
              "  [2.0 s] flash a1-mcfw-25: write 0x0-0xfff (4096 bytes)\n"
              "  [2.1 s] flash a1-mcfw-25: write 0x1000-0x1fff (4096 bytes, in place)\n"
              "  [2.2 s] flash a1-status-00: write 0x2000-0x3000 (4097 bytes, in place)\n");
}

// `qslab show` tells what differs from a plain controller, as read back
// from the description; one type names one partition.
TEST(LabMc, ShowAndDescription)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"cedar", 2}});
    state.host.mcdi_available = false;
    std::tie(state.adapters[0].requires_signed_mcfw, state.adapters[0].signed_verify_result) = std::tuple(true, 12);
    InProcessLab host(state);
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    lab::show_lab(host.lab().dir(), out);
    std::fclose(out);
    const std::string shown(text, size);
    std::free(text);
    for (const char *line : {"Driver qsc 5.3.12.1004: loaded, without MCDI pass-through\n",
                             "  Controller firmware: signed images only; signed images get verification result 12\n"})
        EXPECT_NE(shown.find(line), std::string::npos) << line;
    part(state, "a1-bootrom-cfg-00-p1").mcdi_type = 0x100;
    lab::save_state(state, host.lab().dir() + "/twice.json");
    EXPECT_THROW(lab::load_state(host.lab().dir() + "/twice.json"), std::runtime_error);
}
