#include "app/qsupdate/offered_command.h"

namespace {

std::string offered;

} // namespace

std::string shell_word(const std::string &word)
{
    static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_@%+=:,./-";
    if (!word.empty() && word.find_first_not_of(plain) == std::string::npos)
        return word;
    // Inside single quotes only the quote itself needs care: close, escape
    // it, reopen.
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void set_offered_options(bool ipxe, const char *image_path, const char *adapter)
{
    offered.clear();
    if (!image_path)
        return;
    offered = std::string(ipxe ? " --ipxe-image=" : " --image=") + shell_word(image_path);
    if (adapter)
        offered += " --adapter=" + shell_word(adapter);
}

std::string offered_options()
{
    return offered;
}

std::string restore_bootrom_command(const std::string &image_path, const char *port)
{
    return "qsupdate --restore-bootrom --image=" + shell_word(image_path) + " --adapter=" + shell_word(port);
}
