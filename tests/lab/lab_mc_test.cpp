// The adapters' management controller, reached as qsupdate reaches it: raw
// SIOCKPX ioctls built from the lab's own view of the wire, checked against
// the partition files.  It must refuse what the adapter refuses.
#include <algorithm>
#include <cstring>
#include <optional>

#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

#include "lab/controller/lab_mc_reset.h"
#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_flash.h"
#include "lab/wire/lab_wire.h"
#include "lib/utils/byteorder.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

namespace wire = lab::wire;

struct Reply {
    int rc = 0; // the controller's: rc, or host_errno
    Bytes response;
};

// One port's way to the controller, in the first envelope form (the
// second's sizes are held to the controller's by the product's own tests).
struct Mcdi {
    Platform &p;
    std::string ifname;
    int fd = p.socket(AF_INET, SOCK_STREAM, 0);
    ~Mcdi() { p.close(fd); }

    // Words, then data; `len` as given, else their size.
    Reply call(unsigned cmd, const std::vector<uint32_t> &words, const Bytes &data = {},
               std::optional<size_t> len = {})
    {
        Bytes req = le_words(words);
        req.insert(req.end(), data.begin(), data.end());
        wire::SocketIoctl ioc{};
        std::copy_n(req.begin(), std::min<size_t>(req.size(), 252), ioc.u.bytes);
        ioc.u.mcdi_request.cmd = static_cast<uint8_t>(cmd);
        ioc.u.mcdi_request.len = static_cast<uint8_t>(len.value_or(req.size()));
        ioc.cmd = host_to_le16(0xEF0C);
        ifreq ifr{};
        ifr.ifr_data = reinterpret_cast<char *>(&ioc);
        ifname.copy(ifr.ifr_name, IFNAMSIZ - 1);
        EXPECT_EQ(p.ioctl(fd, wire::SIOCKPX, &ifr), 0);
        Reply r{ioc.u.mcdi_request.rc, Bytes(ioc.u.bytes, ioc.u.bytes + ioc.u.mcdi_request.len)};
        EXPECT_TRUE(r.rc == 0 || r.response.empty());
        return r;
    }
    int rc(unsigned cmd, const std::vector<uint32_t> &words, const Bytes &data = {})
    {
        return call(cmd, words, data).rc;
    }
};

Bytes flash_bytes(InProcessLab &host, const std::string &id, size_t offset = 0, size_t n = SIZE_MAX)
{
    std::string all = read_file(host.lab().dir() + "/flash/" + id + ".bin");
    return Bytes(all.begin() + offset, all.begin() + offset + std::min(n, all.size() - offset));
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

} // namespace

// Writes and erases only inside an update of the same type, which starts
// and finishes with its fixed words, one at a time; nothing unaligned, past
// its request or the partition; reads answered with no more than the
// controller gives at once.  The flash holds what was accepted (NOR: the
// AND of old and new).
TEST(LabMc, UpdateRulesGuardTheFlash)
{
    InProcessLab host(lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}}));
    Mcdi m{host.platform(), "eth1"};
    Bytes model = flash_bytes(host, "a1-mcfw-25");
    const uint32_t end = 0x200000;
    struct Step {
        unsigned cmd;
        std::vector<uint32_t> words;
        size_t data; // bytes of data after the words
        std::optional<size_t> len;
        int rc;
    } steps[] = {
        {0x3A, {0x100, 0, 16}, 16, {}, EPERM},
        {0x3B, {0x100, 0, 0x10000}, 0, {}, EPERM},
        {0x3C, {0x100, 0, 1}, 0, {}, EPERM},
        {0x38, {0x1600, 1}, 0, {}, 0},
        {0x3A, {0x100, 0, 16}, 16, {}, EPERM}, // another type's update
        {0x38, {0x100}, 0, {}, EINVAL},        // too short
        {0x38, {0x100, 0}, 0, {}, EINVAL},     // (type, 1) only
        {0x38, {0x100, 1}, 0, {}, 0},
        {0x38, {0x100, 1}, 0, {}, EBUSY},
        {0x3B, {0x100, 0x8000, 0x10000}, 0, {}, EINVAL},
        {0x3B, {0x100, 0, 0x8000}, 0, {}, EINVAL},
        {0x3B, {0x100, 0, 0}, 0, {}, EINVAL},
        {0x3B, {0x100, end - 0x10000, 0x20000}, 0, {}, EINVAL},
        {0x3B, {0x100, 0, 0x10000}, 0, {}, 0},
        {0x3A, {0x100, 0x10, 240}, 240, {}, 0},
        {0x3A, {0x100, 0x80, 64}, 64, {}, 0},           // over written bytes
        {0x3A, {0x100, 0x300, 16}, 16, 12 + 15, EINVAL}, // the data overruns the request
        {0x3A, {0x100, 0x300, 16}, 16, 253, EINVAL},     // the request overruns the payload
        {0x3A, {0x100, end - 8, 16}, 16, {}, EINVAL},
        {0x39, {0x100, 0, 253}, 0, {}, EINVAL},
        {0x39, {0x100, end - 4, 8}, 0, {}, EINVAL},
        {0x3C, {0x100, 0}, 0, {}, EINVAL},
        {0x3C, {0x100, 1, 1}, 0, {}, EINVAL}, // (type, 0, 1) only
        {0x3C, {0x100, 0, 0}, 0, {}, EINVAL},
        {0x3C, {0x100, 0, 1}, 0, {}, 0},
        {0x3A, {0x100, 0xC00, 16}, 16, {}, EPERM},
        {0x99, {0x100}, 0, {}, ENOSYS},
    };
    uint8_t seed = 1;
    for (const Step &s : steps) {
        SCOPED_TRACE(std::to_string(&s - steps));
        Bytes data = pattern(s.data, seed++);
        EXPECT_EQ(m.call(s.cmd, s.words, data, s.len).rc, s.rc);
        if (s.rc == 0 && s.cmd == 0x3B)
            std::fill_n(model.begin() + s.words[1], s.words[2], 0xFF);
        for (size_t i = 0; s.rc == 0 && s.cmd == 0x3A && i < data.size(); ++i)
            model[s.words[1] + i] &= data[i];
    }
    EXPECT_EQ(flash_bytes(host, "a1-mcfw-25"), model);
    EXPECT_EQ(m.call(0x39, {0x100, 0x10, 0x40}).response, Bytes(model.begin() + 0x10, model.begin() + 0x50));
    partition_of(host.lab().state(), "a1-mcfw-25").mcdi_read_max = 0x30; // a controller that answers short
    EXPECT_EQ(m.call(0x39, {0x100, 0x10, 0x40}).response, Bytes(model.begin() + 0x10, model.begin() + 0x40));
    EXPECT_EQ(partition_of(host.lab().state(), "a1-mcfw-25").last_run.writes, 2u);
    EXPECT_EQ(logged(host.lab(), "still open"),
              std::vector<std::string>{"MCDI update 0x1600 still open at the end of the run"});
    EXPECT_EQ(m.rc(0x3A, {0x1600, 0, 1}, {0}), EPERM) << "an update ends with the run";
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
    // The code of a plain image alone, as an update writes it, or its first `n` bytes.
    auto plain_code = [](uint32_t subtype, uint32_t type = 3, size_t n = 4096) {
        const Bytes image = lab::build_plain_image({type, subtype, {7, 5, 0, 1000}, {}, 4096});
        return Bytes(image.begin() + 40, image.begin() + 40 + n);
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
        {false, 1, plain_code(0x25, 3, 960), true, {EIO, 0, 0}, not_whole, "", not_whole},
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
        partition_of(state, "a1-mcfw-25").size = P;
        partition_of(state, "a1-mcfw-25").initial_contents.clear();
        partition_of(state, "a1-status-00").initial_contents = Bytes(64, 0); // an old record, not erased
        if (!c.status)
            std::erase_if(a.partitions, [](const lab::Partition &p) { return p.kind == lab::PART_STATUS; });
        InProcessLab host(state);
        Mcdi m{host.platform(), "eth0"};
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
        EXPECT_EQ(logged(host.lab(), "MCDI update finish 0x100"),
                  std::vector<std::string>{"MCDI update finish 0x100: " + c.logged});
    }
}
