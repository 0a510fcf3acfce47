// The production platform's shell command runner, on this host's shell.
#include <chrono>
#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "lib/platform/platform.h"

namespace {

// Sets a disposition of SIGCHLD for the lifetime of the object.
class ScopedSigchld {
public:
    explicit ScopedSigchld(void (*handler)(int))
    {
        struct sigaction action = {};
        action.sa_handler = handler;
        sigaction(SIGCHLD, &action, &previous_);
    }
    ~ScopedSigchld() { sigaction(SIGCHLD, &previous_, nullptr); }

private:
    struct sigaction previous_;
};

// More than one read's worth, so that every chunk must be kept.
std::string numbers_up_to(int last)
{
    std::string text;
    for (int i = 1; i <= last; i++)
        text += std::to_string(i) + "\n";
    return text;
}

} // namespace

// A parent that ignores SIGCHLD would have its children reaped before it
// could wait for them: the output and the status are still collected, and
// the parent's disposition is left as it was.
TEST(RealPlatformCommands, CollectOutputAndStatusWhateverTheParentDoesWithSigchld)
{
    const char *command = "seq 1 3000; exit 3";
    for (bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGCHLD ignored" : "SIGCHLD default");
        ScopedSigchld disposition(ignored ? SIG_IGN : SIG_DFL);
        std::string output = "left over";
        const int status = real_platform().run_capture(command, output);
        EXPECT_EQ(output, numbers_up_to(3000));
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 3);
        const int system_status = real_platform().system("exit 4");
        ASSERT_TRUE(WIFEXITED(system_status)) << system_status;
        EXPECT_EQ(WEXITSTATUS(system_status), 4);
        struct sigaction now;
        sigaction(SIGCHLD, nullptr, &now);
        EXPECT_EQ(now.sa_handler, ignored ? SIG_IGN : SIG_DFL);
    }
    std::string output;
    EXPECT_EQ(real_platform().run_capture("true", output), 0);
    EXPECT_EQ(output, "");
}

// The waits for a platform to settle are whole seconds and more.
TEST(RealPlatformSleep, LastsAtLeastAsLongAsAsked)
{
    using clock = std::chrono::steady_clock;
    for (unsigned long usec : {2000ul, 1000000ul}) {
        const auto start = clock::now();
        real_platform().sleep_us(usec);
        EXPECT_GE(clock::now() - start, std::chrono::microseconds(usec)) << usec;
    }
}
