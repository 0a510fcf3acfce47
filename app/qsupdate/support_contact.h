// Where a user whose adapter's configuration is corrupt turns for help.
#pragma once

constexpr const char *SUPPORT_ADDRESS = "support@duskhollow.example";
// Fixed text, with the address.
constexpr const char *SUPPORT_INCIDENT_LINE =
    "Please contact %s to report this incident and for more information on recovery procedure\n";
