// The controller over raw SIOCKPX ioctls: it must refuse what the adapter refuses.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>

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
