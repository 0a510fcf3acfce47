// One update at a time: a run that would write finds another run's lock,
// names its holder and leaves the adapters alone; runs that only look, and
// a lock file that no process holds, go ahead.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/qsupdate/port_actions.h"
#include "lab/lab_image.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/unit/support/run_main.h"

namespace {

std::string lock_file(const std::string &root) { return root + "/run/lock/qsupdate.lock"; }

// What another qsupdate holds: the lock on the file, its pid in it.
class Holder {
public:
    explicit Holder(const std::string &path, const std::string &name = std::to_string(::getpid()) + "\n")
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        const std::string &pid = name;
        held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0 &&
                ::write(fd_, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
    }
    ~Holder() { ::close(fd_); }
    bool held() const { return held_; }

private:
    int fd_;
    bool held_ = false;
};

// errno of trying the lock from another open file, 0 when it was free.
int try_lock(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR);
    int err = fd < 0 ? errno : ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

// Every partition file of the lab, concatenated in name order.
std::string all_flash(const TestLab &lab)
{
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(lab.dir() + "/flash"))
        names.insert(e.path().string());
    std::string all;
    for (const std::string &n : names)
        all += read_file(n);
    return all;
}

std::string newer_mc_image(const TestLab &lab)
{
    const std::string path = lab.dir() + "/fw.bin";
    const std::vector<uint8_t> bytes = lab::build_plain_image({3, 37, {7, 5, 0, 1000}, {}, 4096});
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
}

} // namespace

TEST(UpdateLock, AHeldLockStopsOnlyTheRunsThatWrite)
{
    TestLab lab;
    const std::string fw = newer_mc_image(lab);
    const std::string path = lock_file(lab.dir() + "/root");
    Holder holder(path);
    ASSERT_TRUE(holder.held());
    const std::string held = read_file(path);
    const std::string refused =
        "Another qsupdate is already updating adapters (process " + std::to_string(::getpid()) + ").\n";
    const std::string flash = all_flash(lab);
    const size_t interface_events = lab.events_with("interface ").size();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } runs[] = {
        {{"--write", "--yes", "--image=" + fw}, 1, BANNER, refused},
        {{"--write", "-s", "--adapter=eth1"}, 1, "", refused},
        {{"--restore-bootrom"}, 1, BANNER, refused},
        {{"--list"}, 0, TWO_PORTS, ""},
        {{"--version"}, 0, BANNER + "Duskhollow firmware update utility: v7.6.1.1006\n"
                                    "Network adapter driver version: 5.3.12.1004\n", ""},
        {{"-s"}, 0, "", ""},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(testing::PrintToString(run.args));
        expect_run(lab.qsupdate(run.args), run.status, run.out, run.err);
    }
    CommandResult status = lab.qsupdate({"--image=" + fw});
    EXPECT_EQ(status.status, 0);
    EXPECT_NE(status.out.find("7.4.3.1008"), std::string::npos) << "the status report looks at the adapter";
    CommandResult manifest = lab.qsupdate({"--manifest"});
    EXPECT_EQ(manifest.status, 0);
    EXPECT_EQ(manifest.err, "");
    EXPECT_TRUE(all_flash(lab) == flash) << "no partition changed";
    EXPECT_EQ(lab.events_with("interface ").size(), interface_events);
    EXPECT_EQ(read_file(path), held) << "the holder's name stays";
}

// A lock file left behind by a run that ended holds nobody back, and the
// new holder's name replaces the old one whole.
TEST(UpdateLock, AStaleLockFileDoesNotBlock)
{
    TestLab lab;
    const std::string fw = newer_mc_image(lab);
    const std::string path = lock_file(lab.dir() + "/root");
    std::ofstream(path) << "2147483647\n";
    const std::string flash = all_flash(lab);
    CommandResult r = lab.qsupdate({"--write", "--yes", "--image=" + fw});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(all_flash(lab) != flash) << "the controller firmware was written";
    const std::string name = read_file(path);
    EXPECT_TRUE(std::regex_match(name, std::regex("[1-9][0-9]*\n"))) << name;
    EXPECT_NE(name, "2147483647\n");
    EXPECT_EQ(try_lock(path), 0) << "let go at the end of the run";
}

// The writer holds the lock while it walks the ports, under its own name;
// a report walks them with the lock free.
TEST(UpdateLock, HeldForTheWholeWalkOfAWrite)
{
    InProcessLab host(lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}}));
    static std::string path;
    static std::vector<std::pair<int, std::string>> seen;
    path = lock_file(host.lab().root());
    seen.clear();
    auto look = [](qsu_device *, qsupdate_image_t *, int) {
        seen.emplace_back(try_lock(path), read_file(path));
        return 0;
    };
    {
        ScopedPortActions stand_ins({look, look});
        for (const char *action : {"--write", "--restore-bootrom"})
            run_qsupdate_here(host.platform(), {action, "-s"});
        std::filesystem::remove(path);
        run_qsupdate_here(host.platform(), {});
    }
    const std::string me = std::to_string(::getpid()) + "\n";
    const std::vector<std::pair<int, std::string>> expected = {{EWOULDBLOCK, me}, {EWOULDBLOCK, me}, {ENOENT, ""}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(try_lock(path), ENOENT) << "a report makes no lock file";
}

// Only a host with nowhere to keep the lock updates without it; a lock file
// that fails otherwise stops the run before it touches an adapter.
TEST(UpdateLock, ALockFileThatFailsStopsTheWriteUnlessTheHostHasNone)
{
    const struct {
        const char *error;
        int status;
        std::string err;
    } cases[] = {
        {"EIO", 1, "Cannot take the update lock /run/lock/qsupdate.lock: Input/output error\n"},
        {"link", 1, "Cannot take the update lock /run/lock/qsupdate.lock: Too many levels of symbolic links\n"},
        {"ENOENT", 0, ""},
        {"EROFS", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        TestLab lab;
        const std::string fw = newer_mc_image(lab);
        const std::string victim = lab.dir() + "/victim";
        if (std::string(c.error) == "link") {
            std::ofstream(victim) << "keep\n";
            std::filesystem::create_symlink(victim, lock_file(lab.dir() + "/root"));
        } else {
            lab.edit([&](nlohmann::json &d) {
                d["faults"] = {{{"target", "/run/lock/qsupdate.lock"}, {"operation", "open"}, {"errno", c.error}}};
            });
        }
        const std::string flash = all_flash(lab);
        CommandResult r = lab.qsupdate({"--write", "--yes", "-s", "--image=" + fw});
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.err, c.err);
            EXPECT_TRUE(all_flash(lab) == flash) << "nothing written";
            if (std::filesystem::exists(victim)) {
                EXPECT_EQ(read_file(victim), "keep\n") << "a planted link is not followed";
            }
        } else {
            EXPECT_TRUE(all_flash(lab) != flash) << "updated without a lock";
        }
    }
}

// A holder whose file does not name a process (not yet written, or garbage
// longer than any process id) is still a holder.
TEST(UpdateLock, AHolderWithoutAReadableNameIsProcessZero)
{
    for (const std::string &name : {std::string(), std::string(40, '7'), std::string("12ab\n")}) {
        TestLab lab;
        const std::string fw = newer_mc_image(lab);
        Holder holder(lock_file(lab.dir() + "/root"), name);
        ASSERT_TRUE(holder.held());
        expect_run(lab.qsupdate({"--write", "--yes", "-s", "--image=" + fw}), 1, "",
                   "Another qsupdate is already updating adapters (process 0).\n");
    }
}
