#include "tests/unit/support/run_main.h"

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/qsupdate/qsupdate.h"
#include "lib/platform/platform.h"

namespace {

int call_main(Platform &platform, const std::vector<std::string> &args)
{
    std::vector<std::string> storage = {"qsupdate"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    ScopedPlatform scoped(platform);
    return qsupdate_main(static_cast<int>(storage.size()), argv.data());
}

// The whole file, which is then closed.
std::string contents(FILE *file)
{
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

} // namespace

RunResult run_qsupdate(Platform &platform, const std::vector<std::string> &args)
{
    FILE *out = std::tmpfile(), *err = std::tmpfile();
    std::fflush(nullptr);
    pid_t pid = out && err ? fork() : -1;
    if (pid < 0)
        std::abort();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "r", stdin) || dup2(fileno(out), 1) < 0 || dup2(fileno(err), 2) < 0)
            _exit(126);
        int status = call_main(platform, args);
        std::fflush(nullptr);
        _exit(status);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), contents(out), contents(err)};
}

RunResult run_qsupdate_here(Platform &platform, const std::vector<std::string> &args)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = call_main(platform, args);
    std::string out = testing::internal::GetCapturedStdout();
    return {status, out, testing::internal::GetCapturedStderr()};
}
