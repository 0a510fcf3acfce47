// The production platform's shell command runner and sleep, on this host.
#include <chrono>
#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "lib/platform/platform.h"

// A parent ignoring SIGCHLD still gets the whole output and status, and keeps its disposition.
TEST(RealPlatformCommands, CollectOutputAndStatusWhateverTheParentDoesWithSigchld)
{
    std::string numbers;
    for (int i = 1; i <= 3000; i++)
        numbers += std::to_string(i) + "\n";
    for (bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGCHLD ignored" : "SIGCHLD default");
        struct sigaction action = {}, previous, now;
        action.sa_handler = ignored ? SIG_IGN : SIG_DFL;
        sigaction(SIGCHLD, &action, &previous);
        std::string output = "left over";
        const int status = real_platform().run_capture("seq 1 3000; exit 3", output);
        const int system_status = real_platform().system("exit 4");
        sigaction(SIGCHLD, &previous, &now);
        EXPECT_EQ(output, numbers);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
        EXPECT_TRUE(WIFEXITED(system_status) && WEXITSTATUS(system_status) == 4) << system_status;
        EXPECT_EQ(now.sa_handler, ignored ? SIG_IGN : SIG_DFL);
    }
    std::string output;
    EXPECT_EQ(real_platform().run_capture("true", output), 0);
    EXPECT_EQ(output, "");
    // An output that ends one byte into a read is kept to its last byte.
    EXPECT_EQ(real_platform().run_capture("head -c 8193 /dev/zero | tr '\\0' x", output), 0);
    EXPECT_EQ(output, std::string(8193, 'x'));
}

TEST(RealPlatformSleep, SleepsAtLeastTheTimeAsked)
{
    const auto start = std::chrono::steady_clock::now();
    real_platform().sleep_us(20000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(20000));
}
