// Command line and run loop.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <getopt.h>
#include <libintl.h>

#include "app/qsupdate/offered_command.h"
#include "app/qsupdate/options.h"
#include "app/qsupdate/port_actions.h"
#include "app/qsupdate/qsupdate.h"
#include "app/qsupdate/registry.h"
#include "app/qsupdate/update_lock.h"
#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/dell_devices.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/netif.h"

namespace {

const char *const FAMILY = "Duskhollow";

const struct option options[] = {
    {"help", no_argument, nullptr, OPTION_HELP},
    {"version", no_argument, nullptr, OPTION_VERSION},
    {"manifest", no_argument, nullptr, OPTION_MANIFEST},
    {"list", no_argument, nullptr, OPTION_LIST},
    {"adapter", required_argument, nullptr, OPTION_ADAPTER},
    {"write", no_argument, nullptr, OPTION_UPDATE},
    {"force", no_argument, nullptr, OPTION_FORCE},
    {"yes", no_argument, nullptr, OPTION_YES},
    {"backup", no_argument, nullptr, OPTION_BACKUP},
    {"image", required_argument, nullptr, OPTION_IMAGE},
    {"verbose", no_argument, nullptr, OPTION_VERBOSE},
    {"silent", no_argument, nullptr, OPTION_SILENT},
    {"phy", no_argument, nullptr, OPTION_PHY},
    {"bootrom", no_argument, nullptr, OPTION_BOOTROM},
    {"mc", no_argument, nullptr, OPTION_MC},
    {"fc", no_argument, nullptr, OPTION_FC},
    {"mum", no_argument, nullptr, OPTION_MUM},
    {"fpga", no_argument, nullptr, OPTION_FPGA},
    {"fpgadiag", no_argument, nullptr, OPTION_FPGADIAG},
    {"cpld", no_argument, nullptr, OPTION_CPLD},
    {"fake-v1", no_argument, nullptr, OPTION_V1},
    {"fake-v9", no_argument, nullptr, OPTION_V9},
    {"full-erase", no_argument, nullptr, OPTION_FULL_ERASE},
    {"uefirom", no_argument, nullptr, OPTION_UEFI},
    {"ipxe-image", required_argument, nullptr, OPTION_IPXE},
    {"restore-bootrom", no_argument, nullptr, OPTION_RESTORE_BOOTROM},
    {"bundle", no_argument, nullptr, OPTION_BUNDLE},
    {"dell", no_argument, nullptr, OPTION_DELL},
    {"output-file", required_argument, nullptr, OPTION_OUTPUT_FILE},
    {nullptr, 0, nullptr, 0},
};
static_assert(sizeof options / sizeof options[0] == 30);

const char short_options[] = "i:vVMhsy";

enum class Action { help, version, manifest, list, status, write, restore_bootrom };
enum class Selection { all, by_name, by_mac };

struct Free {
    void operator()(void *p) const { std::free(p); }
};
struct ImageFree {
    void operator()(qsupdate_image_t *image) const { qsupdate_image_free(image); }
};
using DevicesPtr = std::unique_ptr<qsu_device[], Free>;
using ImagePtr = std::unique_ptr<qsupdate_image_t, ImageFree>;

struct CommandLine {
    Action action = Action::status;
    int update_options = 0;
    int firmware_types = 0;
    const char *if_name = nullptr;
    const char *image_path = nullptr;
};

void usage_hint(const char *argv0)
{
    std::fprintf(stderr, gettext("For usage information, run \"%s %shelp\"\n"), argv0, "--");
}

int fatal_error()
{
    int err = errno;
    std::fprintf(stderr, gettext("Fatal error: %s (%d)\n"), std::strerror(err), err);
    return 1;
}

// Keeps the configurations read during a run of reports until its end.
struct KeptConfigurations {
    explicit KeptConfigurations(bool keep) { dynamic_cfg_keep_parts(keep); }
    ~KeptConfigurations() { dynamic_cfg_keep_parts(false); }
    KeptConfigurations(const KeptConfigurations &) = delete;
    KeptConfigurations &operator=(const KeptConfigurations &) = delete;
};

// Applies one option; false when the run must end (with *status set).
bool apply_option(int opt, CommandLine &cl, int *status)
{
    switch (opt) {
    case OPTION_HELP:
    case 'h':
        cl.action = Action::help;
        break;
    case OPTION_VERSION:
    case 'V':
        cl.action = Action::version;
        break;
    case OPTION_MANIFEST:
    case 'M':
        cl.action = Action::manifest;
        break;
    case OPTION_LIST:
        cl.action = Action::list;
        break;
    case OPTION_ADAPTER:
    case 'i':
        cl.if_name = optarg;
        break;
    case OPTION_UPDATE:
        cl.action = Action::write;
        break;
    case OPTION_IMAGE:
        cl.update_options |= OPTION_IMAGE;
        cl.image_path = optarg;
        break;
    case OPTION_VERBOSE:
    case 'v':
        cl.update_options |= OPTION_VERBOSE;
        break;
    case OPTION_SILENT:
    case 's':
        cl.update_options |= OPTION_SILENT;
        break;
    case OPTION_YES:
    case 'y':
        cl.update_options |= OPTION_YES;
        break;
    case OPTION_FORCE:
    case OPTION_BACKUP:
    case OPTION_V1:
    case OPTION_V9:
    case OPTION_FULL_ERASE:
        cl.update_options |= opt;
        break;
    case OPTION_PHY:
    case OPTION_BOOTROM:
    case OPTION_MC:
    case OPTION_FC:
    case OPTION_MUM:
    case OPTION_FPGA:
    case OPTION_FPGADIAG:
    case OPTION_CPLD:
    case OPTION_UEFI:
    case OPTION_BUNDLE:
        cl.firmware_types |= opt;
        break;
    case OPTION_IPXE:
        cl.update_options |= OPTION_IPXE | OPTION_FORCE;
        cl.image_path = optarg;
        break;
    case OPTION_RESTORE_BOOTROM:
        cl.update_options |= OPTION_RESTORE_BOOTROM;
        cl.action = Action::restore_bootrom;
        break;
    case OPTION_DELL:
        platform().reopen_stream("/dev/null", "w", stderr);
        cl.update_options |= OPTION_DELL | OPTION_SILENT;
        break;
    case OPTION_OUTPUT_FILE:
        // Losing every line of the report in silence would be worse than
        // refusing to run.
        if (!platform().reopen_stream(optarg, "w", stdout)) {
            std::fprintf(stderr, "%s: %s\n", optarg, std::strerror(errno));
            *status = 1;
            return false;
        }
        break;
    default:
        return false;
    }
    return true;
}

bool invalid_combination(const CommandLine &cl)
{
    // A restore may be given the boot ROM image to put back, but not iPXE.
    bool image_action = cl.action == Action::status || cl.action == Action::write ||
                        (cl.action == Action::restore_bootrom && !(cl.update_options & OPTION_IPXE));
    return (cl.image_path && !image_action) || (cl.image_path && cl.firmware_types) ||
           ((cl.update_options & OPTION_V1) && (cl.update_options & OPTION_V9)) ||
           (cl.if_name && cl.action == Action::list) ||
           ((cl.update_options & 7) && (cl.update_options & OPTION_IPXE));
}

int show_version()
{
    std::printf(gettext("%1$s firmware update utility: %2$s\n"), FAMILY, "v7.6.1.1006");
    qsu_device *raw = nullptr;
    int count = qsu_device_enum(&raw);
    DevicesPtr devs(raw);
    if (count < 0) {
        std::perror(nullptr);
        return 0;
    }
    if (count > 0) {
        std::unique_ptr<char, Free> version(qsu_get_driver_version(&devs[0]));
        std::printf("%s: %s\n", gettext("Network adapter driver version"),
                    version ? version.get() : gettext("unknown"));
    }
    return 0;
}

// Reads the user's image file whole and parses it; null after a message.
ImagePtr load_user_image(const char *path, bool ipxe)
{
    auto fail = [path] {
        if (errno == EINVAL)
            std::fprintf(stderr, gettext("%1$s: Invalid firmware image\n"), path);
        else
            std::perror(path);
        return nullptr;
    };
    FdGuard fd(platform().open(path, O_RDONLY));
    if (!fd.valid())
        return fail();
    off_t length = platform().lseek(fd.get(), 0, SEEK_END);
    if (length < 0 || platform().lseek(fd.get(), 0, SEEK_SET) < 0)
        return fail();
    std::unique_ptr<uint8_t, Free> buffer(static_cast<uint8_t *>(std::malloc(length ? length : 1)));
    if (!buffer)
        return fail();
    size_t done = 0;
    while (done < static_cast<size_t>(length)) {
        ssize_t got = platform().read(fd.get(), buffer.get() + done, length - done);
        if (got < 0)
            return fail();
        if (got == 0) {
            errno = EIO;
            return fail();
        }
        done += static_cast<size_t>(got);
    }
    // A record that failed to parse holds nothing worth releasing but itself.
    std::unique_ptr<qsupdate_image_t, Free> parsed(
        static_cast<qsupdate_image_t *>(std::calloc(1, sizeof(qsupdate_image_t))));
    if (!parsed)
        return fail();
    int rc = ipxe ? init_ipxe_image_from_buffer(buffer.get(), length, parsed.get())
                  : init_image_from_buffer(buffer.get(), length, parsed.get());
    if (rc < 0)
        return fail();
    // The record owns the buffer from here on.
    buffer.release();
    return ImagePtr(parsed.release());
}

void dell_document_head()
{
    std::puts("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    std::puts("<SVMExecution lang=\"en\">");
}

void dell_device_end()
{
    std::puts("\t</Device>");
}

void dell_document_tail()
{
    std::puts("\t<RebootRequired>0</RebootRequired>");
    std::puts("</SVMExecution>");
}

struct WalkResult {
    bool matched_adapter = false;
    bool matched_firmware = false;
    bool any_privileged = false;
    bool unprivileged = false;
};

// The run's one closing message, on standard error, and its exit status.
int final_verdict(const CommandLine &cl, Selection selection, const char *mac_addr, const WalkResult &walk)
{
    if (!walk.matched_adapter) {
        if (selection == Selection::by_mac) {
            std::fprintf(stderr, gettext("No %1$s adapters found with MAC address %2$s\n"), FAMILY, mac_addr);
            return 2;
        }
        std::fprintf(stderr, gettext("No %s adapters found\n"), FAMILY);
        return 1;
    }
    if (cl.action != Action::list && !walk.any_privileged) {
        std::fputs(gettext("\nNo adapters could be accessed. You may need to run this utility as root.\n"), stderr);
        return 1;
    }
    // A port whose firmware is out of reach has already said why.
    if (cl.image_path && !walk.matched_firmware) {
        if (selection != Selection::by_name)
            std::fprintf(stderr, gettext("%s cannot be applied to any adapter\n"), cl.image_path);
        else if (!walk.unprivileged)
            std::fprintf(stderr, gettext("%1$s cannot be applied to %2$s\n"), cl.image_path, cl.if_name);
        return 1;
    }
    if (cl.action == Action::list || walk.matched_firmware || (cl.update_options & OPTION_SILENT))
        return 0;
    if (selection != Selection::by_name)
        std::fputs(gettext("No firmware is available for any adapter\n"), stderr);
    else if (!walk.unprivileged)
        std::fprintf(stderr, gettext("No firmware is available for %1$s\n"), cl.if_name);
    return 0;
}

} // namespace

int qsupdate_main(int argc, char *argv[])
{
    optind = 0;
    optarg = nullptr;

    CommandLine cl;
    int opt;
    while ((opt = getopt_long(argc, argv, short_options, options, nullptr)) != -1) {
        int status = 2;
        if (!apply_option(opt, cl, &status)) {
            if (status == 2)
                usage_hint(argv[0]);
            return status;
        }
    }

    if (!(cl.update_options & OPTION_SILENT)) {
        std::printf(gettext("%1$s firmware update utility [v%2$d.%3$d.%4$d]\n"), FAMILY, 7, 6, 1);
        std::printf("%s", gettext("Copyright (c) Quillstone. All rights reserved.\n"));
    }

    if (optind != argc || invalid_combination(cl)) {
        std::fprintf(stderr, gettext("%s: invalid arguments\n"), argv[0]);
        usage_hint(argv[0]);
        return 2;
    }

    // Two runs writing to one adapter would interleave their erases and
    // writes; the lock is held until the run ends.  A host with nowhere to
    // keep it (no /run, as on ESXi, or a read-only one) still updates; any
    // other failure (a planted link, a directory others can write to, an
    // I/O error, no locks on that file system) stops the run rather than
    // let it write unguarded.
    FdGuard update_lock;
    if (cl.action == Action::write || cl.action == Action::restore_bootrom) {
        pid_t holder = 0;
        bool unsafe_dir = false;
        update_lock.reset(update_lock_take(&holder, &unsafe_dir));
        if (!update_lock.valid()) {
            if (unsafe_dir) {
                std::fprintf(stderr,
                             gettext("Cannot take the update lock %1$s: the directory %2$s must belong to root "
                                     "and be writable by root alone\n"),
                             UPDATE_LOCK_PATH, UPDATE_LOCK_DIR);
                return 1;
            }
            if (errno == EWOULDBLOCK) {
                std::fprintf(stderr, gettext("Another qsupdate is already updating adapters (process %d).\n"),
                             static_cast<int>(holder));
                return 1;
            }
            if (errno != ENOENT && errno != EROFS) {
                int err = errno;
                std::fprintf(stderr, gettext("Cannot take the update lock %1$s: %2$s\n"), UPDATE_LOCK_PATH,
                             std::strerror(err));
                return 1;
            }
        }
    }

    if (qsu_device_init() < 0)
        return fatal_error();

    for (int i = 0; i < FIRMWARE_OPS_COUNT; i++) {
        if (init_image_from_fw_ops(all_firmware_ops[i], &default_images[i]) < 0)
            return fatal_error();
    }

    Selection selection = Selection::all;
    char mac_addr[18] = "";
    const char *adapter_as_given = cl.if_name;
    if (!cl.if_name) {
        cl.update_options |= OPTION_ALL;
    } else if (normalise_mac_addr(cl.if_name, mac_addr)) {
        selection = Selection::by_mac;
        cl.if_name = nullptr;
    } else if (netif_is_ours(cl.if_name)) {
        selection = Selection::by_name;
    } else if (errno) {
        return fatal_error();
    } else {
        std::fprintf(stderr, gettext("%1$s is not a valid MAC address or %2$s adapter name\n"), cl.if_name,
                     FAMILY);
        return 2;
    }

    switch (cl.action) {
    case Action::help:
        show_usage();
        return 0;
    case Action::version:
        return show_version();
    case Action::manifest:
        show_manifest();
        return 0;
    default:
        break;
    }

    ImagePtr image;
    if (cl.image_path) {
        image = load_user_image(cl.image_path, cl.update_options & OPTION_IPXE);
        if (!image)
            return 1;
        if (cl.action == Action::restore_bootrom &&
            le32_to_host(image->reflash_header->ih_type) != IMAGE_TYPE_BOOTROM) {
            std::fprintf(stderr, gettext("%1$s: not a Boot ROM image\n"), cl.image_path);
            return 1;
        }
    } else if (cl.action != Action::list && !cl.firmware_types) {
        cl.firmware_types = OPTION_ALL_FIRMWARE_TYPES;
    }
    set_offered_options(cl.update_options & OPTION_IPXE, cl.image_path, adapter_as_given);

    if (nv_init() < 0)
        return fatal_error();
    qsu_device *raw = nullptr;
    int count = qsu_device_enum(&raw);
    DevicesPtr devs(raw);
    if (count < 0)
        return fatal_error();

    bool dell = cl.update_options & OPTION_DELL;
    if (dell)
        dell_document_head();

    // Reports change nothing, so what one port of an adapter read of its
    // configuration serves the next; let go before the ports are.
    KeptConfigurations kept(cl.action == Action::status);
    const port_actions &actions = current_port_actions();
    WalkResult walk;
    for (int i = 0; i < count; i++) {
        qsu_device *dev = &devs[i];
        bool selected = selection == Selection::all ||
                        (selection == Selection::by_name && std::strcmp(dev->netif_name, cl.if_name) == 0) ||
                        (selection == Selection::by_mac && std::strcmp(dev->mac_addr, mac_addr) == 0);
        if (!selected)
            continue;
        if (dell) {
            const dell_device *known = get_dell_device(dev);
            if (!known)
                continue;
            std::printf("\t<Device display=\"%s\">\n", known->display_name);
        }

        int result = 0;
        switch (cl.action) {
        case Action::list:
            std::printf("%-*.*s  %s\n", 16, 16, dev->netif_name, dev->mac_addr);
            break;
        case Action::status:
            if (!(cl.update_options & OPTION_SILENT))
                result = actions.status(dev, image.get(), cl.update_options | cl.firmware_types);
            break;
        case Action::write:
            result = actions.update(dev, image.get(), cl.update_options | cl.firmware_types);
            break;
        case Action::restore_bootrom:
            result = actions.update(dev, image.get(), OPTION_BOOTROM | OPTION_FORCE | OPTION_RESTORE_BOOTROM);
            break;
        default: // help, version and manifest never walk the ports
            break;
        }
        if (result < 0) {
            if (errno != ENOTSUP) {
                // The update framework reads the document even from a
                // failed run: leave it well-formed.
                if (dell) {
                    int err = errno;
                    dell_device_end();
                    dell_document_tail();
                    errno = err;
                }
                return fatal_error();
            }
            walk.unprivileged = true;
        } else {
            walk.any_privileged = true;
            walk.unprivileged = false;
            if (result > 0)
                walk.matched_firmware = true;
        }

        if (dell)
            dell_device_end();
        walk.matched_adapter = true;
        if (selection != Selection::all)
            break;
    }

    devs.reset();
    image.reset();
    if (dell)
        dell_document_tail();

    return final_verdict(cl, selection, mac_addr, walk);
}
