// The verdict lines of the status report, through the version policy, where no scenario reaches them.
#include "app/qsupdate/status_report.h"

#include <gtest/gtest.h>

#include "app/qsupdate/options.h"

namespace {

std::string verdict(firmware_version inst, firmware_version image, int options, bool user_image)
{
    image_status s{false, false, false, {}, {}, "controller firmware"};
    apply_version_policy(&s, inst, image, options);
    testing::internal::CaptureStdout();
    check_image(&s, user_image);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(StatusReport, VerdictOfEachComparison)
{
    const std::string force = "The controller firmware is up to date\n   - run \"qsupdate --force --write\" to perform an update\n";
    const std::string write = "   - run \"qsupdate --write\" to perform an update\n";
    const firmware_version none{};
    const struct {
        firmware_version image;
        int options;
        bool user_image;
        std::string out;
        firmware_version inst = {7, 4, 3, 1008};
    } cases[] = {
        {{7, 4, 2, 9999}, OPTION_FORCE, true, force},
        {{7, 4, 3, 1009}, OPTION_FORCE, true, "This is more recent controller firmware [v7.4.3.1009]\n" + write},
        {{8, 0, 0, 0}, 0, false, "This utility contains more recent controller firmware [v8.0.0.0]\n" + write},
        {none, 0, false, "This utility does not contain controller firmware for this adapter\n"},
        {none, OPTION_FORCE, false, "This utility does not contain controller firmware for this adapter\n"},
        {{1, 0, 0, 0}, 0, true, "This is more recent controller firmware [v1.0.0.0]\n" + write, none},
        {none, OPTION_FORCE, true, "", none}, // nothing to show, nothing said
    };
    for (const auto &c : cases)
        EXPECT_EQ(verdict(c.inst, c.image, c.options, c.user_image), c.out)
            << c.image.a << "." << c.image.b << "." << c.image.c << "." << c.image.d << " options " << c.options;
}
