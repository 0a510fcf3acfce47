#include <libintl.h>

#include <cstdio>

#include "lib/utils/firmware.h"

namespace {

// The translated message for a verdict, or null for a code the adapter is
// not known to give.  Literal gettext calls keep the texts extractable.
const char *verify_message(uint32_t result)
{
    switch (result) {
    case 2:
        return gettext("ERROR: The adapter failed to verify the format of the image\n");
    case 3:
        return gettext("ERROR: The adapter rejected the image because the format is invalid\n");
    case 4:
        return gettext("ERROR: The adapter failed to calculate the message digest for the image\n");
    case 5:
        return gettext(
            "ERROR: The adapter rejected the image because the message digest was not valid\n");
    case 6:
        return gettext("ERROR: The adapter failed to check the signature for the image\n");
    case 7:
        return gettext(
            "ERROR: The adapter rejected the image because no valid signatures were found\n");
    case 8:
        return gettext("ERROR: The adapter failed to check for trusted approvers\n");
    case 9:
        return gettext(
            "ERROR: The adapter rejected the image because no trusted approvers were found\n");
    case 10:
        return gettext("ERROR: The adapter failed to check the signature chain\n");
    case 11:
        return gettext(
            "ERROR: The adapter rejected the image because the signers of the image were not\n"
            "       found in the trusted approvers list\n");
    case 12:
        return gettext(
            "ERROR: The adapter rejected the image because it contains a test-signed\n"
            "       certificate but the adapter only accepts production-signed images\n");
    case 13:
        return gettext(
            "ERROR: The adapter rejected the image because it has a lower security level than\n"
            "       the current firmware.\n");
    default:
        return nullptr;
    }
}

constexpr uint32_t VERIFY_RESULT_ACCEPTED = 1;

} // namespace

void fw_report_verify_result(uint32_t result)
{
    if (result == VERIFY_RESULT_ACCEPTED)
        return;
    if (const char *message = verify_message(result)) {
        fputs(message, stderr);
        return;
    }
    fprintf(stderr, "%s %d\n",
            gettext("The adapter gave an unrecognised error when verifying image:"),
            static_cast<int>(result));
}
