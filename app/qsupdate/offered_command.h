// Commands the program offers the user to run next.  Printed as a shell
// takes them back, so that they do what they say when pasted as printed.
#pragma once

#include <string>

// `word` as one shell word: as it is when no character of it means
// anything to a shell, else in single quotes.
std::string shell_word(const std::string &word);

// The options a command offered in this run must repeat: the image file
// and how it was given (--image or --ipxe-image), and the adapter as the
// user named it (none: every adapter).  Set by the run loop.
void set_offered_options(bool ipxe, const char *image_path, const char *adapter);

// " --image=FILE --adapter=X" for this run, or "" when no image was given.
std::string offered_options();

// "qsupdate --restore-bootrom --image=FILE --adapter=PORT".
std::string restore_bootrom_command(const std::string &image_path, const char *port);
