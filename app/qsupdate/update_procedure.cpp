// The update procedure of one port: every registry row whose image applies
// is checked against the installed version, written, and recorded in the
// adapter's dynamic configuration.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include <libintl.h>
#include <net/if.h>
#include <sys/socket.h>

#include "app/qsupdate/backup_file.h"
#include "app/qsupdate/interface_flags.h"
#include "app/qsupdate/matching.h"
#include "app/qsupdate/offered_command.h"
#include "app/qsupdate/oem_elements.h"
#include "app/qsupdate/options.h"
#include "app/qsupdate/phy_flash_mode.h"
#include "app/qsupdate/qsupdate.h"
#include "app/qsupdate/registry.h"
#include "app/qsupdate/support_contact.h"
#include "app/qsupdate/update_prompt.h"
#include "app/qsupdate/version_record.h"
#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/dell_devices.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr firmware_version FAKE_V1 = {1, 0, 0, 0};
constexpr firmware_version FAKE_V9 = {9, 0, 0, 0};

struct OtherPort {
    qsu_device *dev;
    dynamic_cfg_context *cfg;
};

// Without both PCI ids a port's generation, and so the layout of its
// configuration, is unknown: writing to it would guess.
bool ids_known(const qsu_device *dev)
{
    return (dev->pci_device_id >> 16) != 0 && (dev->pci_device_id & 0xFFFF) != 0;
}

// Neither unknown nor an iPXE boot ROM: a version worth naming.
bool plain(firmware_version v)
{
    return !version_is_null(v) && !version_is_ipxe(v);
}

class PortUpdate {
public:
    PortUpdate(qsu_device *dev, qsupdate_image_t *image, int options)
        : dev_(dev), image_(image), options_(options), silent_(options & OPTION_SILENT),
          dell_(options & OPTION_DELL), out_(silent_ ? no_printf : std::printf),
          progress_(silent_ ? hide_progress : show_progress)
    {
    }

    int run();

private:
    // Outcome of one row: on to the next, or the failure exit was taken.
    enum class Row { next, failed };

    int prepare();
    int open_other_configs();
    int restore_kept_copies();
    Row update_row(int index);
    bool decide(const firmware_ops *ops, firmware_version installed, firmware_version new_version);
    void announce(const char *type_name, firmware_version installed, firmware_version new_version);
    void offer_undo();
    Row take_interface_down(const firmware_ops *ops, const char *type_name, bool *skip);
    int finish();
    int fail(update_failure failure);
    void close_row();
    int restore_interface();
    int sync_config(const qsu_device *dev, dynamic_cfg_context *cfg);
    void close_configs();
    void application_start();

    qsu_device *dev_;
    qsupdate_image_t *image_;
    const int options_;
    const bool silent_;
    const bool dell_;
    print_fn out_;
    progress_fn progress_;

    dynamic_cfg_context *cfg_ = nullptr;
    std::vector<OtherPort> others_;
    FdGuard sock_;
    int found_flags_ = -1;
    int current_flags_ = -1;
    bool result_ = false;
    bool written_ = false;
    bool others_touched_ = false;
    bool application_started_ = false;

    // Where the row's old image was saved ("" when it was not).
    std::string backup_;

    // The row being handled, for the failure exit.
    const firmware_ops *row_ = nullptr;
    void *handle_ = nullptr;
    bool phy_flash_mode_on_ = false;
};

int PortUpdate::run()
{
    const int rc = prepare();
    if (rc <= 0) {
        // The OEM framework gets this port's verdict too.
        if (dell_) {
            const int err = errno;
            application_start();
            oem_application_failed(UPDATE_FAILURE_GENERIC);
            errno = err;
        }
        return rc;
    }
    if (open_other_configs() < 0)
        return fail(UPDATE_FAILURE_OTHER_CONFIG);
    if (restore_kept_copies() < 0)
        return fail(UPDATE_FAILURE_GENERIC);
    if (dell_)
        application_start();
    for (int i = 0; i < FIRMWARE_OPS_COUNT; ++i)
        if (update_row(i) == Row::failed)
            return -1;
    return finish();
}

// 1 to go on; otherwise the call's result.
int PortUpdate::prepare()
{
    if (!ids_known(dev_)) {
        std::fprintf(stderr, gettext("%1$s: Firmware is not accessible"), dev_->netif_name);
        std::fputs(".\n", stderr);
        errno = ENOTSUP;
        return -1;
    }
    if (qsu_device_type(dev_) == QSU_DEVICE_TYPE_ALDER)
        return 1; // the first generation keeps no configuration
    qsu_device *nv_dev = nullptr;
    const int rc = dynamic_cfg_accessible(dev_, &nv_dev);
    if (rc != 0) {
        std::fprintf(stderr, gettext("%1$s: Firmware is not accessible"), dev_->netif_name);
        if (nv_dev)
            std::fprintf(stderr, ", please use %1$s", nv_dev->netif_name);
        std::fputs(".\n", stderr);
        if (rc == DYNAMIC_CFG_UNREACHABLE)
            std::fprintf(stderr,
                         gettext("%s: its dynamic configuration cannot be reached through any port of the "
                                 "adapter\n"),
                         dev_->netif_name);
        if (rc == ENODEV) {
            std::fprintf(stderr,
                         "Dynamic configuration is corrupt. Run 'qsboot -i %1$s --repair' to revert back to "
                         "firmware defaults.\n",
                         dev_->netif_name);
            std::fprintf(stderr, SUPPORT_INCIDENT_LINE, SUPPORT_ADDRESS);
        }
        errno = ENOTSUP;
        return -1;
    }
    cfg_ = dynamic_cfg_open(dev_, NV_PART_DYNAMIC_CFG);
    if (!cfg_)
        return errno == ENOENT ? 0 : -1;
    return 1;
}

// 1, or -1 with errno after saying which port's configuration did not open.
int PortUpdate::open_other_configs()
{
    const qsu_device *master = dev_->master_port;
    const size_t other_count = static_cast<size_t>(master->ports_count);
    QS_ASSERT(other_count);
    others_.reserve(other_count);
    for (qsu_sll *node = master->ports.head; node; node = node->next) {
        qsu_device *other = qsu_device_from_node(node);
        if (other == dev_)
            continue;
        QS_ASSERT(others_.size() < other_count);
        // A generation that keeps no configuration has none to record in.
        if (ids_known(other) && qsu_device_type(other) == QSU_DEVICE_TYPE_ALDER)
            continue;
        dynamic_cfg_context *cfg = nullptr;
        if (ids_known(other))
            cfg = dynamic_cfg_open(other, NV_PART_DYNAMIC_CFG);
        else
            errno = EIO;
        if (!cfg) {
            int err = errno;
            std::fprintf(stderr, gettext("%s: Could not open dynamic config for interface %s\n"), dev_->netif_name,
                         other->netif_name);
            errno = err;
            return -1;
        }
        others_.push_back({other, cfg});
    }
    return 1;
}

// A configuration found erased or damaged, for which an interrupted write
// kept a copy, is written back before anything else: it holds every
// setting and the versions recorded until then.  0, or -1 with errno.
int PortUpdate::restore_kept_copies()
{
    auto restore = [&](const qsu_device *dev, dynamic_cfg_context *cfg) {
        const char *copy = cfg ? dynamic_cfg_restored_copy(cfg) : nullptr;
        if (!copy)
            return 0; // also a part shared with a port already restored
        out_(gettext("%1$s: restoring the dynamic configuration from %2$s\n"), dev->netif_name, copy);
        return sync_config(dev, cfg);
    };
    if (restore(dev_, cfg_) < 0)
        return -1;
    for (const OtherPort &other : others_)
        if (restore(other.dev, other.cfg) < 0)
            return -1;
    return 0;
}

PortUpdate::Row PortUpdate::update_row(int index)
{
    const firmware_ops *ops = all_firmware_ops[index];
    if (!ops->match_device(ops, dev_))
        return Row::next;
    const char *type_name = gettext(firmware_type_user_name(ops->type));
    row_ = ops;
    handle_ = ops->open(ops, dev_);
    if (!handle_) {
        int err = errno;
        std::fprintf(stderr, gettext("%s: Could not open partition for %s\n"), dev_->netif_name, type_name);
        errno = err;
        fail(UPDATE_FAILURE_OPEN_PARTITION);
        return Row::failed;
    }
    // Nothing records versions on a board without a configuration.
    const firmware_version installed = cfg_ ? ops->get_version(handle_, cfg_) : firmware_version{};

    qsupdate_image_t *image = nullptr;
    if (!match_firmware(dev_, index, image_, options_, &image) || image->format == IMAGE_FORMAT_NO_IMAGE) {
        close_row();
        return Row::next;
    }
    const firmware_version new_version = (options_ & OPTION_V1)   ? FAKE_V1
                                         : (options_ & OPTION_V9) ? FAKE_V9
                                                                  : get_image_version(image);
    const firmware_version extra = get_image_extra_version(image);

    if (dell_) {
        if (!get_dell_device(dev_)) {
            result_ = true;
            close_row();
            return Row::next;
        }
        oem_package(new_version);
    }

    if (ops->type == IMAGE_TYPE_BOOTROM && version_is_ipxe(installed) &&
        !(options_ & (OPTION_IPXE | OPTION_RESTORE_BOOTROM))) {
        std::fprintf(stderr, gettext("%1$s: not upgrading iPXE Boot ROM image\n"), dev_->netif_name);
        result_ = true;
        close_row();
        return Row::next;
    }

    if (!decide(ops, installed, new_version)) {
        result_ = true;
        close_row();
        return Row::next;
    }
    announce(type_name, installed, new_version);

    bool skip = false;
    if (take_interface_down(ops, type_name, &skip) == Row::failed)
        return Row::failed;
    if (skip) {
        result_ = true;
        close_row();
        return Row::next;
    }

    if (ops->flags & firmware_rw_req_phy_flash_cfg) {
        phy_flash_mode_on_ = true; // the failure exit turns it off, even half-way
        if (set_phy_flash_mode(dev_, true) < 0) {
            std::fprintf(stderr, gettext("%s: Could not set phy flash mode\n"), dev_->netif_name);
            fail(UPDATE_FAILURE_GENERIC);
            return Row::failed;
        }
    }

    // A backup that was asked for and cannot be made stops the write: the
    // old image would be gone with no copy.
    backup_.clear();
    if ((options_ & OPTION_BACKUP) && save_firmware(dev_, ops, handle_, installed, out_, progress_, backup_) < 0) {
        int err = errno;
        std::fprintf(stderr, gettext("%s: Could not save old %s\n"), dev_->netif_name, type_name);
        errno = err;
        fail(UPDATE_FAILURE_GENERIC);
        return Row::failed;
    }

    out_(gettext("%s: writing %s\n"), dev_->netif_name, type_name);
    const bool full_erase = (options_ & OPTION_FULL_ERASE) || !(ops->flags & firmware_erase_on_demand);
    if (ops->write_image(handle_, image, full_erase, progress_) < 0) {
        int err = errno;
        std::fprintf(stderr, gettext("%s: Could not write new %s image\n"), dev_->netif_name, type_name);
        errno = err;
        fail(err == EPERM ? UPDATE_FAILURE_WRITE_EPERM : UPDATE_FAILURE_WRITE);
        return Row::failed;
    }

    if (phy_flash_mode_on_) {
        phy_flash_mode_on_ = false;
        if (set_phy_flash_mode(dev_, false) < 0) {
            std::fprintf(stderr, gettext("%s: Could not set phy flash mode\n"), dev_->netif_name);
            fail(UPDATE_FAILURE_GENERIC);
            return Row::failed;
        }
    }
    progress_(gettext("Complete"), 100);
    if (options_ & OPTION_IPXE)
        offer_undo();

    if (cfg_)
        record_version(dev_, cfg_, ops, new_version, extra);
    // Firmware all ports share is recorded on each, unless the adapter
    // keeps one record for all of them.
    if ((ops->flags & firmware_shared) && !device_has_global_vpd(dev_)) {
        for (const OtherPort &other : others_) {
            QS_ASSERT(other.dev);
            record_version(other.dev, other.cfg, ops, new_version, extra);
        }
        others_touched_ = true;
    }
    written_ = true;
    result_ = true;
    close_row();
    return Row::next;
}

// Whether the row is written; false after saying why not.
bool PortUpdate::decide(const firmware_ops *ops, firmware_version installed, firmware_version new_version)
{
    const char *type_name = gettext(firmware_type_user_name(ops->type));
    if (!(options_ & OPTION_FORCE)) {
        if (version_is_null(installed) || compare_versions(new_version, installed) > 0)
            return true;
        if (silent_)
            return false;
        char inst_text[VERSION_STRING_LEN], new_text[VERSION_STRING_LEN];
        version_string(inst_text, installed, false);
        if (version_is_null(new_version))
            std::fprintf(stderr, gettext("%1$s: not changing %2$s from %3$s\n"), dev_->netif_name, type_name,
                         inst_text);
        else
            std::fprintf(stderr, gettext("%1$s: not changing %2$s from %3$s to %4$s\n"), dev_->netif_name,
                         type_name, inst_text, version_string(new_text, new_version, false));
        return false;
    }
    // With every port selected, firmware the ports share is the first
    // port's to write.
    if ((ops->flags & firmware_shared) && dev_->port_index != 0 && (options_ & OPTION_ALL)) {
        if (!silent_)
            for (const OtherPort &other : others_)
                if (qsu_device_same_board(dev_, other.dev))
                    std::fprintf(stderr, gettext("%1$s: not changing %2$s, shared with %3$s\n"),
                                 dev_->netif_name, type_name, other.dev->netif_name);
        return false;
    }
    return true;
}

void PortUpdate::announce(const char *type_name, firmware_version installed, firmware_version new_version)
{
    char inst_text[VERSION_STRING_LEN], new_text[VERSION_STRING_LEN];
    version_string(inst_text, installed, false);
    version_string(new_text, new_version, false);
    const char *name = dev_->netif_name;
    if (!plain(installed) && !plain(new_version))
        out_(gettext("%1$s: updating %2$s\n"), name, type_name);
    else if (!plain(installed))
        out_(gettext("%1$s: updating %2$s to %3$s\n"), name, type_name, new_text);
    else if (!plain(new_version))
        out_(gettext("%1$s: updating %2$s from %3$s\n"), name, type_name, inst_text);
    else
        out_(gettext("%1$s: updating %2$s from %3$s to %4$s\n"), name, type_name, inst_text, new_text);
}

// Once an iPXE boot ROM is in, nothing but a restore replaces it: say
// which command puts back the one it replaced (the backup, when made).
void PortUpdate::offer_undo()
{
    const char *port = dev_->netif_name;
    if (!backup_.empty()) {
        out_(gettext("%1$s: to put the replaced Boot ROM back, run \"%2$s\"\n"), port,
             restore_bootrom_command(backup_, port).c_str());
    } else {
        out_(gettext("%1$s: to put a Boot ROM back, run \"%2$s\" with a Boot ROM image for this adapter\n"), port,
             restore_bootrom_command("FILE", port).c_str());
    }
}

// Takes the interface down for kinds that need it, after asking; *skip
// when the user declines.
PortUpdate::Row PortUpdate::take_interface_down(const firmware_ops *ops, const char *type_name, bool *skip)
{
    // ESXi's interfaces are not ours to take down; --yes leaves them up.
    if (run_on_esxi || !(ops->flags & firmware_rw_req_if_down) || (options_ & OPTION_YES))
        return Row::next;
    if (!sock_.valid()) {
        sock_.reset(platform().socket(AF_INET, SOCK_STREAM, 0));
        if (!sock_.valid()) {
            int err = errno;
            std::fprintf(stderr, gettext("%s: Could not open socket\n"), dev_->netif_name);
            errno = err;
            fail(UPDATE_FAILURE_SOCKET);
            return Row::failed;
        }
    }
    if (found_flags_ < 0) {
        const int flags = get_if_flags(sock_.get(), dev_->netif_name);
        if (flags < 0) {
            int err = errno;
            std::fprintf(stderr, gettext("%s: Could not read device flags\n"), dev_->netif_name);
            errno = err;
            fail(UPDATE_FAILURE_READ_FLAGS);
            return Row::failed;
        }
        found_flags_ = current_flags_ = flags;
    }
    if (!(current_flags_ & IFF_UP))
        return Row::next;
    if (!silent_ && !confirm_interface_down(dev_->netif_name, type_name)) {
        *skip = true;
        return Row::next;
    }
    if (set_if_flags(sock_.get(), dev_->netif_name, current_flags_ & ~IFF_UP) < 0) {
        int err = errno;
        std::fprintf(stderr, gettext("%s: Could not set device flag\n"), dev_->netif_name);
        errno = err;
        fail(UPDATE_FAILURE_SET_FLAGS);
        return Row::failed;
    }
    current_flags_ &= ~IFF_UP;
    return Row::next;
}

int PortUpdate::finish()
{
    const char *family = nullptr;
    bool store = false;
    if (options_ & OPTION_V1) {
        family = "1.0.0";
        store = true;
    } else if (options_ & OPTION_V9) {
        family = "9.0.0";
        store = true;
    } else {
        store = written_;
    }
    // A board without a configuration has nowhere to keep a family.
    store = store && cfg_;
    // Every change is made before the first write, so that a configuration
    // the ports share is written once, whole, and never half updated.
    if (store)
        dynamic_cfg_set_family(dev_, cfg_, family);
    if (others_touched_)
        for (const OtherPort &other : others_)
            dynamic_cfg_set_family(other.dev, other.cfg, nullptr);
    std::vector<const dynamic_cfg_part *> stored;
    auto write_version_information = [&](const qsu_device *dev, dynamic_cfg_context *cfg) {
        out_(gettext("%s: writing version information\n"), dev->netif_name);
        if (std::find(stored.begin(), stored.end(), cfg->part) != stored.end())
            return 0;
        stored.push_back(cfg->part);
        return sync_config(dev, cfg);
    };
    if (store && write_version_information(dev_, cfg_) < 0)
        return fail(UPDATE_FAILURE_GENERIC);
    if (others_touched_)
        for (const OtherPort &other : others_)
            if (write_version_information(other.dev, other.cfg) < 0)
                return fail(UPDATE_FAILURE_GENERIC);
    close_configs();
    if (restore_interface() < 0)
        return fail(UPDATE_FAILURE_SET_FLAGS);
    progress_(gettext("Complete"), 100);
    if (dell_)
        oem_application_end(result_);
    return result_ ? 1 : 0;
}

// The one exit of every failure once the other ports' configurations are
// being opened; the OEM framework still gets a whole Application element,
// and the run the same failure as without it.
int PortUpdate::fail(update_failure failure)
{
    const int err = errno;
    if (dell_ && !application_started_)
        application_start();
    close_row();
    restore_interface();
    close_configs();
    if (dell_)
        oem_application_failed(failure);
    errno = err;
    return -1;
}

void PortUpdate::close_row()
{
    if (!handle_)
        return;
    if (phy_flash_mode_on_) {
        phy_flash_mode_on_ = false;
        set_phy_flash_mode(dev_, false);
    }
    row_->close(handle_);
    handle_ = nullptr;
    row_ = nullptr;
}

// Puts the interface back as it was found, also after a failure: a port
// left down by a failed update would cut the host off the network.  0, or
// -1 with errno after saying so.
int PortUpdate::restore_interface()
{
    int rc = 0;
    if (!run_on_esxi && sock_.valid() && current_flags_ != found_flags_) {
        // Once more before giving up: the port stays down otherwise.
        rc = set_if_flags(sock_.get(), dev_->netif_name, found_flags_);
        if (rc < 0)
            rc = set_if_flags(sock_.get(), dev_->netif_name, found_flags_);
        if (rc < 0) {
            int err = errno;
            std::fprintf(stderr, gettext("%s: Could not set device flag\n"), dev_->netif_name);
            errno = err;
        } else {
            current_flags_ = found_flags_;
        }
    }
    sock_.reset();
    return rc;
}

// The sync's result, after naming the port whose record was not stored.
int PortUpdate::sync_config(const qsu_device *dev, dynamic_cfg_context *cfg)
{
    if (dynamic_cfg_sync(cfg, progress_) == 0)
        return 0;
    int err = errno;
    std::fprintf(stderr, gettext("%s: Could not store version information\n"), dev->netif_name);
    if (const char *copy = dynamic_cfg_kept_copy(cfg))
        std::fprintf(stderr,
                     gettext("%1$s: the configuration to be written is kept in %2$s until an update "
                             "stores it\n"),
                     dev->netif_name, copy);
    errno = err;
    return -1;
}

void PortUpdate::close_configs()
{
    for (OtherPort &other : others_)
        dynamic_cfg_close(other.cfg);
    others_.clear();
    if (cfg_) {
        dynamic_cfg_close(cfg_);
        cfg_ = nullptr;
    }
}

void PortUpdate::application_start()
{
    oem_application_start(cfg_ ? dynamic_cfg_get_version(cfg_, IMAGE_TYPE_BUNDLE) : firmware_version{});
    application_started_ = true;
}

} // namespace

int update_firmware(qsu_device *dev, qsupdate_image_t *image, int update_options)
{
    return PortUpdate(dev, image, update_options).run();
}
