#include "tests/unit/support/run_main.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

#include "app/qsupdate/qsupdate.h"
#include "lib/platform/platform.h"

namespace {

// A temporary file that is removed again at the end of its scope.
class TempFile {
public:
    explicit TempFile(const std::string &content = "");
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &path() const { return path_; }
    std::string read() const;

private:
    std::string path_;
};

TempFile::TempFile(const std::string &content)
{
    char name[] = "/tmp/qsupdate-test-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        std::abort();
    if (!content.empty() && ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        std::abort();
    ::close(fd);
    path_ = name;
}

TempFile::~TempFile()
{
    ::unlink(path_.c_str());
}

std::string TempFile::read() const
{
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

RunResult run_qsupdate(Platform &platform, const std::vector<std::string> &args,
                       const std::string &input)
{
    TempFile out, err, in(input);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        std::abort();
    if (pid == 0) {
        if (!std::freopen(in.path().c_str(), "r", stdin) ||
            !std::freopen(out.path().c_str(), "w", stdout) ||
            !std::freopen(err.path().c_str(), "w", stderr))
            _exit(126);
        std::vector<std::string> storage = {"qsupdate"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &s : storage)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        int status;
        {
            ScopedPlatform scoped(platform);
            status = qsupdate_main(static_cast<int>(storage.size()), argv.data());
        }
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(status);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = out.read();
    result.err = err.read();
    return result;
}
