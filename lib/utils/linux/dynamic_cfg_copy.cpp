#include "lib/utils/linux/dynamic_cfg_copy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <libintl.h>

#include "lib/platform/host_files.h"
#include "lib/platform/platform.h"
#include "lib/utils/linux/qsu_device.h"

namespace {

// Serial numbers come from the adapter's VPD: only what is safe in a file
// name is kept as it is.
std::string file_name_part(const char *text)
{
    std::string out;
    for (const char *c = text; *c; ++c) {
        const bool plain = (*c >= '0' && *c <= '9') || (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') ||
                           *c == '-' || *c == '.';
        out += plain ? *c : '_';
    }
    return out;
}

} // namespace

std::string dynamic_cfg_copy_name(const qsu_device *dev, bool shared)
{
    const qsu_device *owner = shared && dev->master_port ? dev->master_port : dev;
    std::string name = std::string(QSUTILS_DIR) + "/dynamic_cfg_";
    if (owner->serial_number[0]) {
        name += file_name_part(owner->serial_number);
        if (!shared)
            name += "_port" + std::to_string(dev->port_index);
    } else {
        name += file_name_part(owner->mac_addr);
    }
    return name + ".dat";
}

int dynamic_cfg_keep_copy(const std::string &name, const uint8_t *bytes, size_t len)
{
    platform().mkdir(QSUTILS_DIR, 0755); // an existing directory is fine; a missing one fails the write
    if (write_file_durably(name.c_str(), file_creation::replace, 0600, {{bytes, len}}) == 0)
        return 0;
    int err = errno;
    std::fprintf(stderr, gettext("Could not keep a copy of the configuration in %1$s: %2$s\n"), name.c_str(),
                 std::strerror(err));
    errno = err;
    return -1;
}

void dynamic_cfg_drop_copy(const std::string &name)
{
    // A copy left over holds what the partition holds: harmless.
    if (platform().unlink(name.c_str()) == 0)
        flush_directory_of(name.c_str());
}

bool dynamic_cfg_read_copy(const std::string &name, size_t len, std::vector<uint8_t> &out)
{
    return read_whole_file(name.c_str(), len, out) == 0 && out.size() == len;
}
