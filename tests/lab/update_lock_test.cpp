// One update at a time: a run that would write finds another run's lock,
// names its holder and leaves the adapters alone; runs that only look, and
// a lock file that no process holds, go ahead.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/qsupdate/port_actions.h"
#include "app/qsupdate/update_lock.h"
#include "lab/model/lab_image.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/unit/support/run_main.h"

namespace {

std::string lock_file(const std::string &root) { return root + "/run/qsupdate/qsupdate.lock"; }

// The lock's directory as a run as root makes it.
std::string lock_dir(const std::string &root, std::filesystem::perms perms = std::filesystem::perms::owner_all)
{
    const std::string dir = root + "/run/qsupdate";
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, perms);
    return dir;
}

// What another qsupdate holds: the lock on the file, its pid in it.
class Holder {
public:
    explicit Holder(const std::string &path, const std::string &name = std::to_string(::getpid()) + "\n")
        : fd_((std::filesystem::create_directories(std::filesystem::path(path).parent_path()),
               ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)))
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
    lock_dir(lab.dir() + "/root");
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
// that fails otherwise, or a directory for it that others than root could
// write to, stops the run before it touches an adapter.  No other user can
// take the lock, and a lock file of theirs where anyone can make one holds
// nobody back.
TEST(UpdateLock, ALockThatFailsOrIsNotRootsAloneStopsTheWriteUnlessTheHostHasNone)
{
    namespace fs = std::filesystem;
    const std::string cannot = "Cannot take the update lock /run/qsupdate/qsupdate.lock: ";
    const std::string unsafe = cannot + "the directory /run/qsupdate must belong to root and be writable by root alone\n";
    const std::optional<fs::perms> made = fs::perms::owner_all;
    const struct {
        const char *what;
        nlohmann::json host;
        const char *open_error;        // of the lock file, or none
        std::optional<fs::perms> dir;  // the directory made before the run
        bool link;                     // the lock file a planted link
        int status;
        std::string err;
    } cases[] = {
        {"EIO", {}, "EIO", {}, false, 1, cannot + "Input/output error\n"},
        {"link", {}, nullptr, made, true, 1, cannot + "Too many levels of symbolic links\n"},
        {"ENOENT", {}, "ENOENT", {}, false, 0, ""},
        {"EROFS", {}, "EROFS", {}, false, 0, ""},
        {"another user's directory", {{"owners", {{"/run/qsupdate", 1000}}}}, nullptr, made, false, 1, unsafe},
        {"a directory others may write to", {}, nullptr, fs::perms::all, false, 1, unsafe},
        {"an unprivileged run", {{"euid", 1000}}, nullptr, {}, false, 1, cannot + "Permission denied\n"},
        {"an unprivileged run, the directory made", {{"euid", 1000}}, nullptr, made, false, 1,
         cannot + "Permission denied\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TestLab lab;
        const std::string fw = newer_mc_image(lab), victim = lab.dir() + "/victim";
        lab.edit([&](nlohmann::json &d) {
            if (c.host.is_object())
                d["host"].update(c.host);
            if (c.open_error)
                d["faults"] = {{{"target", UPDATE_LOCK_PATH}, {"operation", "open"}, {"errno", c.open_error}}};
        });
        if (c.dir)
            lock_dir(lab.dir() + "/root", *c.dir);
        if (c.link) {
            std::ofstream(victim) << "keep\n";
            fs::create_symlink(victim, lock_file(lab.dir() + "/root"));
        }
        // Another user's lock where everybody may make files.
        Holder other(lab.dir() + "/root/run/lock/qsupdate.lock");
        ASSERT_TRUE(other.held());
        const std::string flash = all_flash(lab);
        CommandResult r = lab.qsupdate({"--write", "--yes", "-s", "--image=" + fw});
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.err, c.err);
            EXPECT_TRUE(all_flash(lab) == flash) << "nothing written";
            EXPECT_EQ(fs::exists(lock_file(lab.dir() + "/root")), c.link) << "nothing made";
            if (c.link) {
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
