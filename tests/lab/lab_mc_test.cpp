// The adapters' management controller, reached as qsupdate reaches it: raw
// SIOCKPX ioctls built from the lab's own view of the wire, on a socket or
// on the control device, checked against the partition files.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>

#include "lab/lab_mc_verdict.h"
#include "lab/lab_mtd.h"
#include "lab/lab_preset_flash.h"
#include "lab/lab_show.h"
#include "lab/lab_wire.h"
#include "lib/utils/byteorder.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

namespace wire = lab::wire;
namespace wm = lab::wire::mcdi;
using Bytes = std::vector<uint8_t>;

enum class Transport { socket, control };

struct Reply {
    int ioctl_error = 0; // the driver's errno
    int rc = 0;          // the controller's: rc, or host_errno
    Bytes response;
};

// One port's way to the controller, in either envelope form.
class Mcdi {
public:
    Mcdi(Platform &p, Transport t, std::string ifname, int form = 1)
        : p_(p), transport_(t), ifname_(std::move(ifname)), form_(form)
    {
        fd_ = t == Transport::socket ? p.socket(AF_INET, SOCK_STREAM, 0) : p.open("/dev/qsc_control", O_RDWR);
        EXPECT_GE(fd_, 0);
    }
    ~Mcdi() { p_.close(fd_); }
    void form(int f) { form_ = f; }

    // Words, then data; `len` (first form) or `inlen` as given, else their size.
    Reply call(unsigned cmd, std::vector<uint32_t> words, const Bytes &data = {}, std::optional<size_t> len = {},
               uint16_t outlen = 1024, uint16_t kpx_cmd = 0)
    {
        Bytes req(words.size() * 4);
        for (size_t i = 0; i < words.size(); ++i)
            store_le32(&req[4 * i], words[i]);
        req.insert(req.end(), data.begin(), data.end());
        wire::Body body{};
        uint8_t *payload = form_ == 1 ? body.bytes : body.bytes + 12;
        std::copy_n(req.begin(), std::min<size_t>(req.size(), form_ == 1 ? 252 : 1020), payload);
        if (form_ == 1) {
            body.mcdi_request.cmd = static_cast<uint8_t>(cmd);
            body.mcdi_request.len = static_cast<uint8_t>(len.value_or(req.size()));
        } else {
            store_le16(&body.bytes[0], static_cast<uint16_t>(cmd));
            store_le16(&body.bytes[2], static_cast<uint16_t>(len.value_or(req.size())));
            store_le16(&body.bytes[4], outlen);
            store_le16(&body.bytes[6], 0x0100); // a bit the driver leaves alone
            store_le32(&body.bytes[8], 77);     // overwritten on every answer
        }
        Reply r;
        r.ioctl_error = error_of(ioctl(kpx_cmd ? kpx_cmd : form_ == 1 ? 0xEF0C : 0xEF21, body));
        if (r.ioctl_error || kpx_cmd)
            return r;
        if (form_ == 1) {
            r.rc = body.mcdi_request.rc;
            r.response.assign(payload, payload + body.mcdi_request.len);
        } else {
            uint16_t flags = load_le16(&body.bytes[6]);
            EXPECT_EQ(flags & ~1, 0x0100);
            r.rc = static_cast<int>(load_le32(&body.bytes[8]));
            EXPECT_EQ(flags & 1, r.rc ? 1 : 0);
            r.response.assign(payload, payload + load_le16(&body.bytes[4]));
        }
        EXPECT_TRUE(r.rc == 0 || r.response.empty());
        return r;
    }
    int rc(unsigned cmd, std::vector<uint32_t> words, const Bytes &data = {})
    {
        Reply r = call(cmd, words, data);
        return r.ioctl_error ? -r.ioctl_error : r.rc;
    }
    int ioctl(uint16_t cmd, wire::Body &body)
    {
        if (transport_ == Transport::socket) {
            wire::SocketIoctl sock{};
            store_le16(reinterpret_cast<uint8_t *>(&sock), cmd);
            sock.u = body;
            ifreq ifr{};
            ifname_.copy(ifr.ifr_name, IFNAMSIZ - 1);
            ifr.ifr_data = reinterpret_cast<char *>(&sock);
            int rc = p_.ioctl(fd_, wire::SIOCKPX, &ifr);
            body = sock.u;
            return rc;
        }
        wire::ControlIoctl ioc{};
        ifname_.copy(ioc.if_name, sizeof ioc.if_name);
        store_le16(reinterpret_cast<uint8_t *>(&ioc) + 16, cmd);
        ioc.u = body;
        int rc = p_.ioctl(fd_, wire::SIOCKPX, &ioc);
        body = ioc.u;
        return rc;
    }

private:
    Platform &p_;
    Transport transport_;
    std::string ifname_;
    int form_;
    int fd_;
};

uint32_t word(const Bytes &b, size_t at)
{
    return at + 4 <= b.size() ? load_le32(&b[at]) : 0xDEADBEEF;
}

lab::Partition &part(lab::LabState &s, const std::string &id, size_t adapter = 0)
{
    auto &parts = s.adapters[adapter].partitions;
    auto it = std::find_if(parts.begin(), parts.end(), [&](const lab::Partition &p) { return p.id == id; });
    if (it == parts.end())
        throw std::runtime_error("no partition " + id);
    return *it;
}

Bytes flash_file(InProcessLab &host, const std::string &id)
{
    std::string s = read_file(host.lab().dir() + "/flash/" + id + ".bin");
    return {s.begin(), s.end()};
}

Bytes flash_bytes(InProcessLab &host, const std::string &id, size_t offset, size_t n)
{
    Bytes all = flash_file(host, id);
    return Bytes(all.begin() + offset, all.begin() + offset + n);
}

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// An update as qsupdate makes one: start, erase blocks, chunks, finish.
void update(Mcdi &m, uint32_t type, const Bytes &image, uint32_t erase_size, size_t chunk = 240)
{
    ASSERT_EQ(m.rc(0x38, {type, 1}), 0);
    for (uint32_t at = 0; at < image.size(); at += erase_size)
        ASSERT_EQ(m.rc(0x3B, {type, at, erase_size}), 0);
    for (size_t at = 0; at < image.size(); at += chunk) {
        size_t n = std::min(chunk, image.size() - at);
        ASSERT_EQ(m.rc(0x3A, {type, static_cast<uint32_t>(at), static_cast<uint32_t>(n)},
                       Bytes(image.begin() + at, image.begin() + at + n)),
                  0);
    }
    ASSERT_EQ(m.rc(0x3C, {type, 0, 1}), 0);
}

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
    struct Case {
        lab::HostKind kind;
        Transport transport;
        const char *other;   // another driver's interface
        int other_error;
    } cases[] = {
        {lab::HostKind::linux_host, Transport::socket, "eno1", EOPNOTSUPP},
        {lab::HostKind::esx, Transport::control, "eno1", ENODEV},
        {lab::HostKind::esxi, Transport::control, "vmnic0", ENODEV},
    };
    for (const Case &c : cases) {
        lab::LabState state = lab_host(c.kind, {{"dogwood2", 2}});
        const std::string port1 = state.adapters[0].ports[1].ifname;
        SCOPED_TRACE(port1);
        InProcessLab host(state);
        Platform &p = host.platform();
        if (c.kind == lab::HostKind::esx) {
            ASSERT_EQ(p.mknod("/dev/qsc_control", S_IFCHR | 0600, makedev(245, 1)), 0);
        }
        for (int form : {1, 2}) {
            Mcdi m(p, c.transport, port1, form);
            Reply r = m.call(0x37, {0x100});
            EXPECT_EQ(std::tuple(r.ioctl_error, r.rc), std::tuple(0, 0)) << form;
            EXPECT_EQ(r.response.size(), 24u);
            EXPECT_EQ(std::tuple(word(r.response, 0), word(r.response, 4), word(r.response, 8), word(r.response, 12)),
                      std::tuple(0x100u, 0x200000u, 0x10000u, 0u));
            EXPECT_EQ(Mcdi(p, c.transport, "nosuch", form).call(0x37, {0x100}).ioctl_error, ENODEV);
            EXPECT_EQ(Mcdi(p, c.transport, c.other, form).call(0x37, {0x100}).ioctl_error, c.other_error);
        }
        host.lab().state().host.mcdi_available = false;
        Mcdi m(p, c.transport, port1);
        EXPECT_EQ(m.call(0x37, {0x100}).ioctl_error, EOPNOTSUPP);
        m.form(2);
        EXPECT_EQ(m.call(0x37, {0x100}).ioctl_error, EOPNOTSUPP);
        EXPECT_EQ(m.call(0, {}, {}, {}, 0, 0xEF22).ioctl_error, 0) << "device ids are not MCDI";
        EXPECT_EQ(m.call(0, {}, {}, {}, 0, 0xEF23).ioctl_error, EOPNOTSUPP);
    }
    // A board without a controller: the driver carries no MCDI for it.
    InProcessLab alder(lab_host(lab::HostKind::linux_host, {{"alder-0710", 2}}));
    EXPECT_EQ(Mcdi(alder.platform(), Transport::socket, "eth0").call(0x37, {0x300}).ioctl_error, EOPNOTSUPP);
}

// Information, metadata and board configuration per generation; a port
// asks for any type of its adapter.
TEST(LabMc, InformationMetadataAndBoardConfiguration)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}, {"birch", 2}, {"cedar", 2}});
    part(state, "a1-mcfw-25").mcdi_write_size = 512;
    part(state, "a1-bootrom-cfg-00").erase_size = 1;
    part(state, "a1-dynamic-cfg-00").mcdi_metadata = false;
    InProcessLab host(state);
    Platform &p = host.platform();
    Mcdi dogwood2(p, Transport::socket, "eth1"), birch(p, Transport::socket, "eth2"),
        cedar(p, Transport::socket, "eth4");
    struct Case {
        Mcdi &m;
        uint32_t type;
        int rc;
        std::vector<uint32_t> words; // type, size, erase size [, 0, 0, 0, write size]
    } cases[] = {
        {dogwood2, 0x100, 0, {0x100, 0x200000, 0x10000, 0, 0, 0, 512}},
        {dogwood2, 0x600, 0, {0x600, 0x10000, 0}},     // an EEPROM
        {dogwood2, 0x1E01, 0, {0x1E01, 0x10000, 0x1000}}, // MCDI only
        {dogwood2, 0x601, EINVAL, {}},
        {dogwood2, 0xFFFFFFFF, EINVAL, {}},
        {birch, 6, 0, {6, 0x10000, 0x10000}}, // port 1's, asked through port 0
        {cedar, 0x601, 0, {0x601, 0x10000, 0x1000}},
        {cedar, 0x100, 0, {0x100, 0x100000, 0x1000}},
    };
    for (const Case &c : cases) {
        Reply r = c.m.call(0x37, {c.type});
        EXPECT_EQ(r.rc, c.rc) << std::hex << c.type;
        Bytes expected(c.words.empty() ? 0 : c.words.size() > 3 ? 28 : 24, 0);
        for (size_t i = 0; i < c.words.size(); ++i)
            store_le32(&expected[4 * i], c.words[i]);
        EXPECT_EQ(r.response, expected) << std::hex << c.type;
    }
    // The subtype: as metadata from Cedar on, in Birch's board configuration.
    for (size_t a : {0, 2})
        for (const lab::Partition &part : state.adapters[a].partitions) {
            if (part.mcdi_type == lab::NO_MCDI_TYPE)
                continue;
            Reply r = (a == 0 ? dogwood2 : cedar).call(0x52, {part.mcdi_type});
            if (!part.mcdi_metadata) {
                EXPECT_EQ(std::tuple(r.rc, r.response.size()), std::tuple(ENOENT, 0u)) << part.id;
                continue;
            }
            EXPECT_EQ(r.rc, 0) << part.id;
            EXPECT_EQ(std::tuple(word(r.response, 0), word(r.response, 8)), std::tuple(part.mcdi_type, part.subtype))
                << part.id;
        }
    Reply board = birch.call(0x18, {});
    ASSERT_EQ(std::tuple(board.rc, board.response.size()), std::tuple(0, 72u + 2 * 18));
    for (const lab::Partition &part : state.adapters[1].partitions)
        EXPECT_EQ(load_le16(&board.response[72 + 2 * part.mcdi_type]), part.subtype) << part.id;
    EXPECT_EQ(load_le16(&board.response[72 + 2 * 12]), 0) << "no partition of type 12";
    for (Mcdi *m : {&dogwood2, &cedar})
        EXPECT_EQ(m->rc(0x18, {}), ENOSYS);
    EXPECT_EQ(birch.rc(0x52, {1}), ENOSYS);
    dogwood2.form(2);
    EXPECT_EQ(dogwood2.call(0x37, {0x100}, {}, {}, 27).rc, EMSGSIZE) << "a response larger than outlen";
    EXPECT_EQ(dogwood2.call(0x37, {0x100}, {}, {}, 28).response.size(), 28u);
}

// Writes and erases only inside an update of the same type; nothing that
// is not aligned, overruns its request or leaves the partition; reads and
// writes no larger than one command carries.  The file holds exactly what
// was accepted.
TEST(LabMc, UpdateRulesGuardTheFlash)
{
    lab::LabState state = lab_host(lab::HostKind::esxi, {{"dogwood2", 2}});
    part(state, "a1-mcfw-25").mcdi_write_size = 512;
    InProcessLab host(state);
    Mcdi m(host.platform(), Transport::control, "vmnic1");
    Bytes model = flash_file(host, "a1-mcfw-25");
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
        {1, 0x38, {0x100, 1}, 0, {}, 0},
        {1, 0x38, {0x100, 1}, 0, {}, EBUSY},
        {1, 0x3B, {0x100, 0x8000, 0x10000}, 0, {}, EINVAL},
        {1, 0x3B, {0x100, 0, 0x8000}, 0, {}, EINVAL},
        {1, 0x3B, {0x100, 0, 0}, 0, {}, EINVAL},
        {1, 0x3B, {0x100, end - 0x10000, 0x20000}, 0, {}, EINVAL},
        {1, 0x3B, {0x100, 0, 0x10000}, 0, {}, 0},
        {1, 0x3A, {0x100, 0x10, 240}, 240, {}, 0},
        {1, 0x3A, {0x100, 0x300, 16}, 16, 12 + 15, EINVAL}, // the data overruns the request
        {1, 0x3A, {0x100, 0x300, 16}, 16, 253, EINVAL},     // the request overruns the payload
        {1, 0x3A, {0x100, end - 8, 16}, 16, {}, EINVAL},
        {2, 0x3A, {0x100, 0x400, 512}, 512, {}, 0},
        {2, 0x3A, {0x100, 0x800, 513}, 513, {}, EINVAL}, // more than the write size
        {2, 0x39, {0x100, 0, 253}, 0, {}, EINVAL},
        {2, 0x3C, {0x100, 0}, 0, {}, EINVAL},
        {1, 0x3C, {0x100, 0, 1}, 0, {}, 0},
        {1, 0x3A, {0x100, 0xC00, 16}, 16, {}, EPERM},
        {1, 0x99, {0x100}, 0, {}, ENOSYS},
    };
    uint8_t seed = 1;
    for (const Step &s : steps) {
        SCOPED_TRACE(std::to_string(&s - steps));
        m.form(s.form);
        Bytes data = pattern(s.data, seed++);
        EXPECT_EQ(m.call(s.cmd, s.words, data, s.len).rc, s.rc);
        if (s.rc == 0 && s.cmd == 0x3B)
            std::fill_n(model.begin() + s.words[1], s.words[2], 0xFF);
        if (s.rc == 0 && s.cmd == 0x3A)
            for (size_t i = 0; i < data.size(); ++i)
                model[s.words[1] + i] &= data[i];
    }
    EXPECT_EQ(flash_file(host, "a1-mcfw-25"), model);
    m.form(1);
    Reply r = m.call(0x39, {0x100, 0x10, 252});
    EXPECT_EQ(r.response, Bytes(model.begin() + 0x10, model.begin() + 0x10 + 252));
    EXPECT_EQ(m.rc(0x39, {0x100, end - 4, 8}), EINVAL);
    EXPECT_EQ(events(host, "still open"), std::vector<std::string>{"MCDI update 0x1600 still open at the end of the run"});
}

// One flash, two paths: what MCDI writes the MTD device reads, and back;
// NOR keeps the AND of old and new whichever path programs it.  An EEPROM
// is erased whole in one request.
TEST(LabMc, OneFlashForMtdAndMcdi)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}});
    state.host.modules_loaded.push_back("mtdchar");
    part(state, "a1-bootrom-cfg-00").erase_size = 1;
    InProcessLab host(state);
    Platform &p = host.platform();
    Mcdi m(p, Transport::socket, "eth1");
    const Bytes image = pattern(1000, 3);
    update(m, 0x500, image, 0x10000);
    std::string mtd;
    for (const lab::MtdDevice &d : lab::mtd_devices(host.lab().state()))
        if (d.name == "eth0 qsc_dynamic_cfg:00")
            mtd = "/dev/mtd" + std::to_string(d.number);
    int fd = p.open(mtd.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << mtd;
    Bytes got(1001);
    ASSERT_EQ(p.read(fd, got.data(), got.size()), 1001);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 1000), image);
    EXPECT_EQ(got[1000], 0xFF);
    const Bytes more = pattern(300, 9);
    ASSERT_EQ(p.write(fd, more.data(), more.size()), 300); // at 1001, over erased bytes
    p.close(fd);
    Bytes back;
    for (uint32_t at = 1001; at < 1301; at += 252) {
        Reply r = m.call(0x39, {0x500, at, std::min<uint32_t>(252, 1301 - at)});
        back.insert(back.end(), r.response.begin(), r.response.end());
    }
    EXPECT_EQ(back, more);
    // Without an erase the flash keeps the bits both images leave set.
    ASSERT_EQ(m.rc(0x38, {0x500, 1}), 0);
    ASSERT_EQ(m.rc(0x3A, {0x500, 0, 2}, {0x0F, 0xF0}), 0);
    EXPECT_EQ(flash_bytes(host, "a1-dynamic-cfg-00", 0, 2), (Bytes{static_cast<uint8_t>(image[0] & 0x0F), static_cast<uint8_t>(image[1] & 0xF0)}));
    ASSERT_EQ(m.rc(0x3C, {0x500, 0, 1}), 0);
    // The EEPROM takes bytes as they come and is erased whole.
    ASSERT_EQ(m.rc(0x38, {0x600, 1}), 0);
    EXPECT_EQ(m.rc(0x3A, {0x600, 4, 2}, {0x12, 0x34}), 0);
    EXPECT_EQ(m.rc(0x3A, {0x600, 4, 1}, {0x56}), 0);
    EXPECT_EQ(flash_file(host, "a1-bootrom-cfg-00")[4], 0x56);
    EXPECT_EQ(m.rc(0x3B, {0x600, 0, 0x1000}), EINVAL);
    EXPECT_EQ(m.rc(0x3B, {0x600, 0, 0x10000}), 0);
    EXPECT_EQ(flash_file(host, "a1-bootrom-cfg-00"), Bytes(0x10000, 0xFF));
    EXPECT_EQ(m.rc(0x3C, {0x600, 0, 1}), 0);
    const lab::PartitionActivity &dyn = part(host.lab().state(), "a1-dynamic-cfg-00").last_run;
    EXPECT_EQ(std::tuple(dyn.erases, dyn.writes, dyn.reads, dyn.bytes_written), std::tuple(1u, 7u, 3u, uint64_t{1302}));
}

// Faults: "mcdi" fails a command in its answer, by partition, port or
// any; a flash fault under a command comes back in rc; a "command" fault
// fails the ioctl itself.
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
    Platform &p = host.platform();
    Mcdi m(p, Transport::socket, "eth0"), m1(p, Transport::socket, "eth1", 2);
    EXPECT_EQ(m.call(0x37, {0x100}).ioctl_error, EIO);
    // Faults of the flash under a command (before the controller writes
    // its own status record).
    EXPECT_EQ(m.rc(0x38, {0x1600, 1}), 0);
    EXPECT_EQ(m.rc(0x3A, {0x1600, 0, 6}, Bytes(6, 0)), EIO) << "cut short";
    EXPECT_EQ(flash_bytes(host, "a1-status-00", 0, 6), (Bytes{0, 0, 0, 0, 0, 0xFF}));
    EXPECT_EQ(m.rc(0x3B, {0x1600, 0, 0x1000}), 0);
    EXPECT_EQ(m.rc(0x3B, {0x1600, 0, 0x1000}), EBUSY);
    EXPECT_EQ(m.rc(0x3C, {0x1600, 0, 1}), 0);
    EXPECT_EQ(m.rc(0x38, {0x100, 1}), 0);
    EXPECT_EQ(m.rc(0x3B, {0x100, 0, 0x10000}), 0);
    EXPECT_EQ(m.rc(0x3A, {0x100, 0, 2}, {1, 2}), 0);
    EXPECT_EQ(m.rc(0x3A, {0x100, 2, 2}, {3, 4}), EIO);
    EXPECT_EQ(m.rc(0x3A, {0x100, 4, 2}, {5, 6}), 0);
    EXPECT_EQ(m.rc(0x3C, {0x100, 0, 1}), 0);
    EXPECT_EQ(flash_bytes(host, "a1-mcfw-25", 2, 2), (Bytes{0xFF, 0xFF}))
        << "the failed write put nothing on the flash";
    EXPECT_EQ(m1.call(0x37, {0x100}).rc, ENODATA);
    EXPECT_EQ(m.rc(0x37, {0x100}), 0);
    EXPECT_EQ(m1.rc(0x18, {}), EPROTO);
    EXPECT_EQ(events(host, "fault injected: mcdi"),
              (std::vector<std::string>{"fault injected: mcdi 0x3A of a1-mcfw-25 (occurrence 2) failed with EIO",
                                        "fault injected: mcdi 0x37 of a1-mcfw-25 (occurrence 1) failed with ENODATA",
                                        "fault injected: mcdi 0x18 of eth1 (occurrence 1) failed with EPROTO"}));
}

// At the finish of a controller-firmware update the controller records
// its verdict on what was written, erasing the record's block first.
TEST(LabMc, VerdictInTheStatusPartition)
{
    constexpr uint32_t P = 0x10000;
    // The signed layout: code, then chunk headers behind the data each
    // follows, the CMS header's at the end.
    auto signed_layout = [](uint32_t longer, uint32_t by) {
        const uint32_t L = 0x800, H = 0x60, R = 40, T = 4, S = 0x90;
        Bytes b(P, 0xFF);
        auto header = [&](uint32_t at, uint32_t id, uint32_t offset, uint32_t len) {
            const uint32_t words[8] = {0xBD205161, 1, id, offset, len + (id == longer ? by : 0), 0, 0, 0};
            for (int i = 0; i < 8; ++i)
                store_le32(&b[at + 4 * i], words[i]);
        };
        std::fill_n(b.begin(), L, 0x11);
        header(L, 3, L + 96 + H + R, T);
        header(L + 32 + H, 1, L + 64 + H, R);
        header(L + 64 + H + R, 2, 0, L);
        header(L + 96 + H + R + T, 4, L + 128 + H + R + T, S);
        header(P - 32, 0, L + 32, H);
        return b;
    };
    struct Case {
        const char *name;
        bool demands;
        uint32_t result;
        Bytes image;
        bool status;
        std::vector<uint32_t> record; // error, result, security level; empty: none
        const char *logged;
    } cases[] = {
        {"plain", false, 1, pattern(4096, 5), true, {0, 0, 0}, "unsigned image accepted"},
        {"plain, signed demanded", true, 1, pattern(4096, 5), true, {EPERM, 0, 1}, "unsigned image refused, status EPERM"},
        {"signed", true, 1, signed_layout(0, 0), true, {0, 1, 1}, "signed image accepted (1)"},
        {"signed, rejected", false, 7, signed_layout(0, 0), true, {0, 7, 0}, "signed image rejected (7)"},
        {"broken chain", true, 1, signed_layout(1, 1), true, {0, 3, 1},
         "signed image rejected (3): its chunks do not lead from one to the next"},
        {"chain past the end", false, 1, signed_layout(4, P), true, {0, 3, 0},
         "signed image rejected (3): its chunks do not lead from one to the next"},
        {"no status partition", true, 1, pattern(4096, 5), false, {},
         "unsigned image refused, status EPERM, no status partition to record it"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}});
        lab::Adapter &a = state.adapters[0];
        a.requires_signed_mcfw = c.demands;
        a.signed_verify_result = c.result;
        part(state, "a1-mcfw-25").size = P;
        part(state, "a1-mcfw-25").initial_contents.clear();
        part(state, "a1-status-00").initial_contents = Bytes(64, 0); // an old record, not erased
        if (!c.status)
            std::erase_if(a.partitions, [](const lab::Partition &p) { return p.kind == 13; });
        InProcessLab host(state);
        Mcdi m(host.platform(), Transport::socket, "eth0");
        update(m, 0x500, pattern(100, 1), 0x10000); // other partitions leave no verdict
        if (c.status) {
            EXPECT_EQ(flash_file(host, "a1-status-00")[0], 0);
        }
        update(m, 0x100, c.image, 0x10000);
        EXPECT_EQ(flash_bytes(host, "a1-mcfw-25", 0, c.image.size()), c.image)
            << "the partition keeps what was written";
        if (c.status) {
            Bytes expected(0x1000, 0xFF);
            const uint32_t words[5] = {0xBD2057A7, 20, c.record[0], c.record[1], c.record[2]};
            for (int i = 0; i < 5; ++i)
                store_le32(&expected[4 * i], words[i]);
            EXPECT_EQ(flash_file(host, "a1-status-00"), expected);
        }
        EXPECT_EQ(events(host, "MCDI update finish 0x100"),
                  std::vector<std::string>{std::string("MCDI update finish 0x100: ") + c.logged});
    }
}

// Consecutive commands of one kind on one type make one line, stamped when
// the first started; the flash's own lines are not repeated.
TEST(LabMc, EventLogIsCondensed)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}});
    part(state, "a1-mcfw-25").read_byte_ns = 1000;
    InProcessLab host(state);
    Mcdi m(host.platform(), Transport::socket, "eth0");
    m.call(0x37, {0x100});
    m.call(0x37, {0x100});
    m.call(0x52, {0x100});
    m.call(0x3A, {0x100, 0, 1}, {0});
    update(m, 0x100, pattern(4096, 1), 0x10000); // one erase block
    ASSERT_EQ(m.rc(0x38, {0x100, 1}), 0);
    ASSERT_EQ(m.rc(0x3B, {0x100, 0x10000, 0x10000}), 0);
    ASSERT_EQ(m.rc(0x3B, {0x100, 0x20000, 0x10000}), 0);
    ASSERT_EQ(m.rc(0x3B, {0x100, 0x50000, 0x10000}), 0); // not where the last ended
    for (uint32_t at = 0; at < 1000; at += 252)
        m.call(0x39, {0x100, at, std::min<uint32_t>(252, 1000 - at)});
    ASSERT_EQ(m.rc(0x3C, {0x100, 0, 1}), 0);
    m.call(0x37, {0x123});
    host.lab().save("end");
    EXPECT_EQ(read_file(host.lab().dir() + "/events.log"),
              "[0.000000 s] MCDI information 0x100 (2 commands)\n"
              "[0.000000 s] MCDI metadata 0x100\n"
              "[0.000000 s] MCDI write 0x100: EPERM (no update in progress)\n"
              "[0.000000 s] MCDI update start 0x100\n"
              "[0.000000 s] MCDI erase 0x100: 0x0-0xffff (1 block)\n"
              "[0.450000 s] MCDI write 0x100: 4096 bytes in 18 commands\n"
              "[0.482768 s] MCDI update finish 0x100: unsigned image accepted\n"
              // The controller erases the status record's sector: 45 ms.
              "[0.527928 s] MCDI update start 0x100\n"
              "[0.527928 s] MCDI erase 0x100: 0x10000-0x2ffff (2 blocks)\n"
              "[1.427928 s] MCDI erase 0x100: 0x50000-0x5ffff (1 block)\n"
              "[1.877928 s] MCDI read 0x100: 1000 bytes in 4 commands\n"
              "[1.878928 s] MCDI update finish 0x100: unsigned image accepted\n"
              "[1.924088 s] MCDI information 0x123: EINVAL (no partition of this type)\n"
              "[1.924088 s] flash a1-mcfw-25: read 1000 bytes in 4 reads\n"
              "[1.924088 s] end\n");
}

// The description keeps the controller's settings; one type names one
// partition; `qslab show` tells what differs from a plain controller.
TEST(LabMc, DescriptionAndShow)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"cedar", 2}});
    state.host.mcdi_available = false;
    state.adapters[0].requires_signed_mcfw = true;
    state.adapters[0].signed_verify_result = 12;
    part(state, "a1-mcfw-12").mcdi_write_size = 0x400;
    part(state, "a1-mcfw-12").mcdi_metadata = false;
    InProcessLab host(state);
    lab::LabState loaded = lab::load_state(host.lab().dir() + "/lab.json");
    EXPECT_FALSE(loaded.host.mcdi_available);
    EXPECT_EQ(std::tuple(loaded.adapters[0].requires_signed_mcfw, loaded.adapters[0].signed_verify_result),
              std::tuple(true, 12u));
    EXPECT_EQ(std::tuple(part(loaded, "a1-mcfw-12").mcdi_write_size, part(loaded, "a1-mcfw-12").mcdi_metadata),
              std::tuple(0x400u, false));
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    lab::show_lab(host.lab().dir(), out);
    std::fclose(out);
    std::string shown(text, size);
    std::free(text);
    EXPECT_NE(shown.find("Driver qsc 5.3.12.1004: loaded, without MCDI pass-through\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("  Controller firmware: signed images only; signed images get verification result 12\n"),
              std::string::npos);

    part(state, "a1-bootrom-cfg-00-p1").mcdi_type = 0x100;
    lab::save_state(state, host.lab().dir() + "/twice.json");
    EXPECT_THROW(lab::load_state(host.lab().dir() + "/twice.json"), std::runtime_error);
}
