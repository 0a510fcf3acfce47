// Marks a text for the message catalogue where it is defined, when it is
// looked up (gettext) only where it is printed: xgettext extracts N_("...").
#pragma once

constexpr const char *N_(const char *text)
{
    return text;
}
