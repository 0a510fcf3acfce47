// One update at a time: a writer finds another's lock and leaves the adapters alone; readers go ahead.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <tuple>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/qsupdate/port_actions.h"
#include "app/qsupdate/update_lock.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/unit/support/run_main.h"

namespace {

namespace fs = std::filesystem;

const std::string NEWER_MC = "--image=img:3:37:7.5.0.1000";

// Another qsupdate: the lock on the file, its name in it.
class Holder {
public:
    explicit Holder(const std::string &path, const std::string &name = std::to_string(::getpid()) + "\n")
        : fd_((fs::create_directories(fs::path(path).parent_path()), ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)))
    {
        EXPECT_TRUE(fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0 &&
                    ::write(fd_, name.data(), name.size()) == static_cast<ssize_t>(name.size()))
            << "holding " << path;
    }
    ~Holder() { ::close(fd_); }

private:
    int fd_;
};

// errno of trying the lock from another open file, 0 when it was free.
int try_lock(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR);
    int err = fd < 0 ? errno : ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

} // namespace

TEST(UpdateLock, AHeldLockStopsOnlyTheRunsThatWrite)
{
    TestLab lab;
    const std::string fw = resolve(lab, NEWER_MC), path = lab.dir() + "/root" + UPDATE_LOCK_PATH;
    Holder holder(path);
    const std::string refused =
        "Another qsupdate is already updating adapters (process " + std::to_string(::getpid()) + ").\n";
    auto untouched = [&] { return std::tuple(flash_files(lab.dir()), lab.events_with("interface "), read_file(path)); };
    const auto before = untouched();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
        bool whole = true; // else a part of it: the report looked at the adapter
    } runs[] = {
        {{"--write", "--yes", fw}, 1, BANNER, refused},
        {{"--write", "-s", "--adapter=eth1"}, 1, "", refused},
        {{"--restore-bootrom"}, 1, BANNER, refused},
        {{"--list"}, 0, TWO_PORTS, ""},
        {{"--version"}, 0, BANNER + "Duskhollow firmware update utility: v7.6.1.1006\n"
                                    "Network adapter driver version: 5.3.12.1004\n", ""},
        {{"-s"}, 0, "", ""},
        {{fw}, 0, "7.4.3.1008", "", false},
        {{"--manifest"}, 0, "Bundle firmware\n", "", false},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(testing::PrintToString(run.args));
        CommandResult r = lab.qsupdate(run.args);
        expect_run(r, run.status, run.whole ? run.out : r.out, run.err);
        EXPECT_NE(r.out.find(run.out), std::string::npos);
    }
    EXPECT_TRUE(untouched() == before) << "no partition or interface changed, nor the holder's name";
    // A holder whose file names no process (not yet written, or garbage) is still one.
    for (const std::string &name : {std::string(), std::string(40, '7'), std::string("12ab\n")}) {
        TestLab other;
        Holder nameless(other.dir() + "/root" + UPDATE_LOCK_PATH, name);
        expect_run(other.qsupdate({"--write", "--yes", "-s", resolve(other, NEWER_MC)}), 1, "",
                   "Another qsupdate is already updating adapters (process 0).\n");
    }
}

// The writer holds the lock for its whole walk, under its own name; a report makes no lock.
TEST(UpdateLock, HeldForTheWholeWalkOfAWrite)
{
    InProcessLab host(lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}}));
    static std::string path;
    static std::vector<std::pair<int, std::string>> seen;
    path = host.lab().root() + UPDATE_LOCK_PATH;
    seen.clear();
    auto look = [](qsu_device *, qsupdate_image_t *, int) {
        seen.emplace_back(try_lock(path), read_file(path));
        return 0;
    };
    {
        ScopedPortActions stand_ins({look, look});
        for (const char *action : {"--write", "--restore-bootrom"})
            run_qsupdate_here(host.platform(), {action, "-s"});
        fs::remove(path);
        run_qsupdate_here(host.platform(), {});
    }
    const std::string me = std::to_string(::getpid()) + "\n";
    const std::vector<std::pair<int, std::string>> expected = {{EWOULDBLOCK, me}, {EWOULDBLOCK, me}, {ENOENT, ""}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(try_lock(path), ENOENT);
}

// A lock that fails or is not root's alone stops a write unless the host has nowhere to keep one.
TEST(UpdateLock, ALockThatFailsOrIsNotRootsAloneStopsTheWriteUnlessTheHostHasNone)
{
    const std::string cannot = "Cannot take the update lock /run/qsupdate/qsupdate.lock: ";
    const std::string unsafe = cannot + "the directory /run/qsupdate must belong to root and be writable by root alone\n";
    const std::optional<fs::perms> made = fs::perms::owner_all;
    auto open_fails = [](const char *error) {
        return nlohmann::json{{"faults", {fault(UPDATE_LOCK_PATH, "open", "", error)}}};
    };
    const nlohmann::json unprivileged = {{"host", {{"euid", 1000}}}};
    const struct {
        const char *what;
        nlohmann::json change;        // merged into the lab's description
        std::optional<fs::perms> dir; // the directory made before the run
        const char *content;          // the file left there: a stale name, or a planted link
        int status;
        std::string err;
    } cases[] = {
        {"EIO", open_fails("EIO"), {}, nullptr, 1, cannot + "Input/output error\n"},
        {"link", {}, made, "link", 1, cannot + "Too many levels of symbolic links\n"},
        {"stale", {}, made, "2147483647\n", 0, ""},
        {"ENOENT", open_fails("ENOENT"), {}, nullptr, 0, ""},
        {"EROFS", open_fails("EROFS"), {}, nullptr, 0, ""},
        {"another user's directory", {{"host", {{"owners", {{"/run/qsupdate", 1000}}}}}}, made, nullptr, 1, unsafe},
        {"a directory others may write to", {}, fs::perms::all, nullptr, 1, unsafe},
        {"an unprivileged run", unprivileged, {}, nullptr, 1, cannot + "Permission denied\n"},
        {"an unprivileged run, the directory made", unprivileged, made, nullptr, 1, cannot + "Permission denied\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TestLab lab;
        const std::string victim = lab.dir() + "/victim", path = lab.dir() + "/root" + UPDATE_LOCK_PATH;
        if (!c.change.is_null())
            lab.edit([&](nlohmann::json &d) { d.merge_patch(c.change); });
        if (c.dir) {
            fs::create_directories(fs::path(path).parent_path());
            fs::permissions(fs::path(path).parent_path(), *c.dir);
        }
        const bool link = c.content && std::string(c.content) == "link";
        if (link) {
            std::ofstream(victim) << "keep\n";
            fs::create_symlink(victim, path);
        } else if (c.content) {
            std::ofstream(path) << c.content;
        }
        Holder other(lab.dir() + "/root/run/lock/qsupdate.lock");
        const auto flash = flash_files(lab.dir());
        CommandResult r = lab.qsupdate({"--write", "--yes", "-s", resolve(lab, NEWER_MC)});
        expect_run(r, c.status, "", c.err);
        EXPECT_EQ(flash_files(lab.dir()) == flash, c.status != 0) << "written exactly when the run went ahead";
        EXPECT_TRUE(c.status == 0 || fs::exists(path) == link) << "nothing made";
        EXPECT_TRUE(!link || read_file(victim) == "keep\n") << "a planted link is not followed";
        if (c.content && !link) {
            const std::string name = read_file(path);
            EXPECT_TRUE(std::regex_match(name, std::regex("[1-9][0-9]*\n")) && name != c.content) << "replaced whole";
            EXPECT_EQ(try_lock(path), 0) << "let go at the end of the run";
        }
    }
}
