// The controller over raw SIOCKPX ioctls: it must refuse what the adapter refuses.
#include <algorithm>

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>

#include "lab/controller/lab_mc_reset.h"
#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_flash.h"
#include "lab/wire/lab_wire.h"
#include "lib/utils/byteorder.h"
#include "tests/lab/support/nv_run.h"

namespace {

namespace wire = lab::wire;

// One port's way to the controller (the second form's sizes are held by the product's tests).
struct Mcdi {
    Platform &p;
    std::string ifname;
    int fd = p.socket(AF_INET, SOCK_STREAM, 0);
    ~Mcdi() { p.close(fd); }

    // The controller's rc to a command of words, then data.
    int rc(unsigned cmd, const std::vector<uint32_t> &words, const Bytes &data = {})
    {
        Bytes req = le_words(words);
        req.insert(req.end(), data.begin(), data.end());
        wire::SocketIoctl ioc{};
        std::copy(req.begin(), req.end(), ioc.u.bytes);
        ioc.u.mcdi_request.cmd = static_cast<uint8_t>(cmd);
        ioc.u.mcdi_request.len = static_cast<uint8_t>(req.size());
        ioc.cmd = host_to_le16(0xEF0C);
        ifreq ifr{};
        ifr.ifr_data = reinterpret_cast<char *>(&ioc);
        ifname.copy(ifr.ifr_name, IFNAMSIZ - 1);
        EXPECT_EQ(p.ioctl(fd, wire::SIOCKPX, &ifr), 0);
        return ioc.u.mcdi_request.rc;
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

// Changes only inside an update of their type, with fixed start and finish words.
TEST(LabMc, UpdateRulesGuardTheFlash)
{
    InProcessLab host(lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}}));
    Mcdi m{host.platform(), "eth1"};
    struct Step {
        unsigned cmd;
        std::vector<uint32_t> words;
        int rc;
    } steps[] = {
        {0x3A, {0x100, 0, 16}, EPERM}, // outside an update
        {0x3B, {0x100, 0, 0x10000}, EPERM},
        {0x3C, {0x100, 0, 1}, EPERM},
        {0x38, {0x1600, 1}, 0},
        {0x3A, {0x100, 0, 16}, EPERM}, // inside another type's update
        {0x38, {0x100}, EINVAL},
        {0x38, {0x100, 0}, EINVAL}, // (type, 1) only
        {0x38, {0x100, 1}, 0},
        {0x38, {0x100, 1}, EBUSY},
        {0x3B, {0x100, 0x8000, 0x10000}, EINVAL}, // unaligned
        {0x3B, {0x100, 0, 0x10000}, 0},
        {0x3A, {0x100, 0x10, 16}, 0},
        {0x3C, {0x100, 0}, EINVAL},
        {0x3C, {0x100, 1, 1}, EINVAL}, // (type, 0, 1) only
        {0x3C, {0x100, 0, 0}, EINVAL},
        {0x3C, {0x100, 0, 1}, 0},
        {0x3A, {0x100, 0x20, 16}, EPERM},
    };
    const Bytes data = pattern(16, 7);
    for (const Step &s : steps)
        EXPECT_EQ(m.rc(s.cmd, s.words, s.cmd == 0x3A ? data : Bytes{}), s.rc) << &s - steps;
    EXPECT_EQ(logged(host.lab(), "still open"),
              std::vector<std::string>{"MCDI update 0x1600 still open at the end of the run"});
    EXPECT_EQ(m.rc(0x3A, {0x1600, 0, 1}, {0}), EPERM) << "an update ends with the run";
}

// At an update's finish the controller records its verdict; a reset runs only an accepted image.
TEST(LabMc, VerdictInTheStatusPartitionAndTheResetAfterIt)
{
    constexpr uint32_t P = 0x10000;
    // Signed firmware with a controller record, and perhaps one header changed.
    auto signed_layout = [](const HeaderChange &change) {
        const Bytes image = lab::build_plain_image({3, 0x25, {7, 6, 0, 1}});
        return signed_chunks(Bytes(0x800, 0x11), Bytes(0x60, 0xFF), Bytes(image.begin(), image.begin() + 40),
                             Bytes(4, 0xFF), Bytes(0x90, 0xFF), P, change);
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
        std::string verdict, runs, kept_because; // after a reset: the new version, or why the old stays if not verdict
    } cases[] = {
        {false, 1, plain_code(0x25), true, {0, 0, 0}, "unsigned image accepted", "7.5.0.1000", ""},
        {false, 1, pattern(4096, 5), true, {EIO, 0, 0}, not_whole, "", ""},
        // A write cut at byte 960 leaves no whole image, whatever the adapter demands.
        {false, 1, plain_code(0x25, 3, 960), true, {EIO, 0, 0}, not_whole, "", ""},
        {false, 1, plain_code(0x26), true, {0, 0, 0}, "unsigned image accepted", "", no_image},
        {false, 1, plain_code(0x25, 2), true, {0, 0, 0}, "unsigned image accepted", "", no_image},
        {true, 1, plain_code(0x25), true, {EPERM, 0, 1}, "unsigned image refused, status EPERM", "", ""},
        {true, 1, signed_layout({}), true, {0, 1, 1}, "signed image accepted (1)", "7.6.0.1", ""},
        {false, 7, signed_layout({}), true, {0, 7, 0}, "signed image rejected (7)", "", ""},
        {true, 1, signed_layout({4, 1, 1}), true, {0, 3, 1}, bad_chain, "", ""},
        {false, 1, signed_layout({4, 4, P}), true, {0, 3, 0}, bad_chain, "", ""}, // the signature past the end
        {false, 1, signed_layout({2, 2, 1}), true, {0, 3, 0}, bad_chain, "", ""}, // ids out of order
        {true, 1, plain_code(0x25), false, {}, "unsigned image refused, status EPERM", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.verdict);
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
        if (c.status) {
            Bytes expected = le_words({0xBD2057A7, 20, c.record[0], c.record[1], c.record[2]});
            expected.resize(0x1000, 0xFF);
            EXPECT_EQ(flash_bytes(host, "a1-status-00"), expected);
        }
        EXPECT_EQ(lab::mc::reset_controller(host.lab(), 0),
                  c.runs.empty() ? "adapter 1 keeps controller firmware 7.4.3.1008: " +
                                       (c.kept_because.empty() ? c.verdict : c.kept_because)
                                 : "adapter 1 runs controller firmware " + c.runs + " (was 7.4.3.1008)");
        EXPECT_EQ(host.lab().state().adapters[0].firmware_version, c.runs.empty() ? "7.4.3.1008" : c.runs);
    }
}
