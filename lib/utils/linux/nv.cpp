// The NV access layer: the choice of the backend family, made once at
// start, and the calls that dispatch to the backend of an open partition.
#include "lib/utils/linux/nv.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <libintl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "lib/platform/platform.h"
#include "lib/utils/linux/kpx.h"
#include "lib/utils/linux/nv_backends.h"
#include "lib/utils/linux/qsu_device.h"

bool nv_use_char_dev = false;
bool nv_use_mcdi_request = true;

namespace {

constexpr unsigned QSC_CONTROL_MINOR = 1;

[[noreturn]] void exit_failure()
{
    std::fflush(stdout);
    std::exit(1);
}

// Major number of the control device, as the driver registered it.
int control_device_major()
{
    std::string output;
    if (platform().run_capture("grep qsc_control /proc/devices", output) < 0) {
        int err = errno;
        std::fprintf(stderr, "%s (%d, %s)\n", gettext("failed to open /proc/devices; are you root?"),
                     err, std::strerror(err));
        exit_failure();
    }
    int major_number;
    if (std::sscanf(output.c_str(), "%d", &major_number) != 1 || major_number < 0) {
        std::fprintf(stderr, "%s\n",
                     gettext("failed to find qsc_control in /proc/devices; is driver loaded?"));
        exit_failure();
    }
    return major_number;
}

} // namespace

int nv_init()
{
    if (!platform_exists("/proc/vmware")) {
        nv_use_char_dev = run_on_esxi != 0;
        return 0;
    }

    // ESX service console: the control device node may be missing or left
    // over from a driver that registered another major number.
    unsigned control_major = static_cast<unsigned>(control_device_major());
    struct stat st;
    if (platform().stat(QSC_CONTROL_DEVICE, &st) == 0) {
        if (S_ISCHR(st.st_mode) && major(st.st_rdev) == control_major &&
            minor(st.st_rdev) == QSC_CONTROL_MINOR) {
            nv_use_char_dev = true;
            return 0;
        }
        if (platform().unlink(QSC_CONTROL_DEVICE) != 0) {
            std::fprintf(stderr, "%s\n",
                         gettext("failed to unlink qsc_control and it's on wrong device"));
            exit_failure();
        }
    }
    if (platform().mknod(QSC_CONTROL_DEVICE, S_IFCHR | 0600,
                         makedev(control_major, QSC_CONTROL_MINOR)) != 0) {
        int err = errno;
        std::fprintf(stderr, "%s %d (%d, %s)\n",
                     gettext("ESX host detected but could not create /dev/qsc_control on major"),
                     static_cast<int>(control_major), err, std::strerror(err));
        exit_failure();
    }
    nv_use_char_dev = true;
    return 0;
}

void nv_reset_for_tests()
{
    nv_use_char_dev = false;
    nv_use_mcdi_request = true;
    probed_mtdchar = false;
    probed_mtdblock = false;
    create_dev_nodes = false;
    buggy_mtdblock = false;
    reported_buggy_mtdblock = false;
    nv_forget_answers();
}

void nv_close(nv_context *ctx)
{
    if (!ctx)
        return;
    if (ctx->fd >= 0) {
        int err = errno;
        platform().close(ctx->fd);
        errno = err;
    }
    delete ctx;
}

nv_context *nv_open(qsu_device *dev, nv_part_type type, unsigned subtype)
{
    nv_context *ctx = new (std::nothrow) nv_context{};
    if (!ctx) {
        errno = ENOMEM;
        return nullptr;
    }
    ctx->fd = -1;
    ctx->ops = nv_use_char_dev ? &nv_ops_mcdi_char : &nv_ops_mtd;
    int rc = ctx->ops->open(ctx, dev, type, subtype);
    // A partition without an MTD device may still be reached through the
    // management controller.
    if (rc != 0 && errno == ENOENT && ctx->ops == &nv_ops_mtd) {
        ctx->ops = &nv_ops_mcdi_sock;
        rc = ctx->ops->open(ctx, dev, type, subtype);
    }
    if (rc != 0) {
        nv_close(ctx);
        return nullptr;
    }
    return ctx;
}

ssize_t nv_read(nv_context *ctx, void *buf, size_t len, uint32_t offset)
{
    return ctx->ops->read(ctx, buf, len, offset);
}

int nv_read_all(nv_context *ctx, void *buf)
{
    ssize_t n = nv_read(ctx, buf, ctx->part_size, 0);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) < ctx->part_size) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int nv_write_all(nv_context *ctx, const void *buf, uint32_t len, bool full_erase, progress_fn progress)
{
    // The MTD device is looked up afresh when the write reopens it; and
    // what is written, even in part, may change what the controller says
    // of the partition (the subtype its metadata names, say), so that is
    // asked again afterwards.
    nv_forget_answers();
    const int rc = ctx->ops->write_all(ctx, buf, len, full_erase, progress);
    nv_forget_answers();
    if (rc != 0)
        return -1;
    return nv_check_written(ctx, buf, len, full_erase);
}

void nv_controller_may_rearrange(nv_context *ctx, uint32_t len)
{
    ctx->compared_len = len;
}

uint32_t nv_part_size(const nv_context *ctx)
{
    return ctx->part_size;
}

bool nv_exists(qsu_device *dev, nv_part_type type, unsigned subtype, qsu_device **nv_dev)
{
    if (nv_dev) {
        qsu_device *opened = nullptr;
        nv_context *ctx = nv_open_ports(dev, type, subtype, &opened, false);
        bool found = ctx != nullptr;
        nv_close(ctx);
        *nv_dev = found ? opened : nullptr;
        return found;
    }
    if (nv_use_char_dev)
        return mcdi_char_exists(dev, type, subtype);
    // Any MTD miss, not only a missing name, leads to the controller here.
    return mtd_exists(dev, type, subtype) || mcdi_sock_exists(dev, type, subtype);
}

bool has_factory_defaults(const qsu_device *dev)
{
    return qsu_device_type(dev) >= QSU_DEVICE_TYPE_DOGWOOD2;
}
