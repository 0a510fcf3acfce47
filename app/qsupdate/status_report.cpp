// The status report of one port: the installed version of every firmware
// kind the port carries, then one verdict per firmware type.
#include "app/qsupdate/status_report.h"

#include <libintl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/qsupdate/offered_command.h"
#include "app/qsupdate/options.h"
#include "app/qsupdate/qsupdate.h"
#include "app/qsupdate/registry.h"
#include "app/qsupdate/support_contact.h"
#include "lib/utils/i18n.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

namespace {

// One record per firmware type, in the order their verdicts are printed.
enum status_slot { PHY, BOOTROM, UEFI, MC, FPGA, FPGADIAG, FC, MUM, CPLD, BUNDLE, SLOT_COUNT };

int slot_of(unsigned type)
{
    switch (type) {
    case IMAGE_TYPE_PHY: return PHY;
    case IMAGE_TYPE_BOOTROM: return BOOTROM;
    case IMAGE_TYPE_UEFIROM: return UEFI;
    case IMAGE_TYPE_MCFW: return MC;
    case IMAGE_TYPE_FPGA: return FPGA;
    case IMAGE_TYPE_FPGA_BACKUP: return FPGADIAG;
    case IMAGE_TYPE_FCFW: return FC;
    case IMAGE_TYPE_MUMFW: return MUM;
    case IMAGE_TYPE_CPLD: return CPLD;
    case IMAGE_TYPE_BUNDLE: return BUNDLE;
    default: QS_ASSERT(!"a type no row has"); return -1;
    }
}

void fresh_records(image_status (&records)[SLOT_COUNT])
{
    static const char *const names[SLOT_COUNT] = {
        N_("PHY firmware"),  N_("Boot ROM firmware"),       N_("UEFI ROM firmware"), N_("controller firmware"),
        N_("FPGA bitfile"),  N_("diagnostic FPGA bitfile"), N_("KVE firmware"),      N_("MUM firmware"),
        N_("CPLD bitfile"),  N_("Bundle firmware"),
    };
    for (int i = 0; i < SLOT_COUNT; ++i)
        records[i] = image_status{false, false, false, {}, {}, names[i]};
}

void detail(const char *label, const char *value)
{
    printf("    %-19s %s\n", gettext(label), value);
}

void detail_pair(const char *type_label, const char *name, const char *version_label, const char *version)
{
    printf("    %-19s %s\n    %-19s %s\n", gettext(type_label), gettext(name), gettext(version_label), version);
}

// The lines of one row; the controller is named once, by the first row
// that is neither of a kind with its own type line nor the UEFI ROM.
void print_row(const firmware_ops *ops, firmware_version inst, bool *shown_controller_type)
{
    char v[VERSION_STRING_LEN];
    version_string(v, inst, true);
    const char *name = ops->subtype_name_user;
    switch (ops->type) {
    case IMAGE_TYPE_PHY: detail_pair(N_("PHY type:"), name, N_("PHY version:"), v); return;
    case IMAGE_TYPE_FPGA: detail_pair(N_("FPGA type:"), name, N_("FPGA version:"), v); return;
    case IMAGE_TYPE_FPGA_BACKUP:
        detail_pair(N_("Diagnostic FPGA type:"), name, N_("Diagnostic FPGA version:"), v);
        return;
    case IMAGE_TYPE_FCFW: detail_pair(N_("FC type:"), name, N_("FC version:"), v); return;
    case IMAGE_TYPE_CPLD: detail_pair(N_("CPLD type:"), name, N_("CPLD version:"), v); return;
    case IMAGE_TYPE_MUMFW: detail_pair(N_("MUM type:"), name, N_("MUM version:"), v); return;
    case IMAGE_TYPE_UEFIROM: detail(N_("UEFI ROM version:"), v); return;
    case IMAGE_TYPE_BUNDLE: detail_pair(N_("Bundle type:"), name, N_("Bundle version:"), v); return;
    default: break;
    }
    if (!*shown_controller_type) {
        printf("    %-19s %s\n", gettext("Controller type:"), name);
        *shown_controller_type = true;
    }
    if (ops->type == IMAGE_TYPE_BOOTROM)
        detail(N_("Boot ROM version:"), version_is_ipxe(inst) ? "iPXE" : v);
    else if (ops->type == IMAGE_TYPE_MCFW)
        detail(N_("Controller version:"), v);
}

// Tells why the port cannot show its firmware; ENODEV means that no port
// of the adapter reads a usable configuration.
void report_inaccessible(const qsu_device *dev, const qsu_device *nv_dev, int rc)
{
    if (nv_dev)
        printf(gettext("    Firmware cannot be accessed via this interface,\n    please use %s.\n"),
               nv_dev->netif_name);
    else
        printf("%s", gettext("    Firmware cannot be accessed via this interface.\n"));
    // Out of reach is not damaged: the repair advice would wipe settings
    // that may be whole.
    if (rc == DYNAMIC_CFG_UNREACHABLE)
        printf("%s", gettext("    Its dynamic configuration cannot be reached through any port of the adapter.\n"));
    if (rc == ENODEV) {
        printf("\nDynamic configuration is corrupt. Run 'qsboot -i %s --repair' to revert back to firmware "
               "defaults.\n",
               dev->netif_name);
        printf("\n");
        printf(SUPPORT_INCIDENT_LINE, SUPPORT_ADDRESS);
    }
}

// A configuration that did not read whole is said so: versions that show
// as unknown would otherwise look like a board never updated.  The report
// writes nothing; an interrupted write's kept copy is shown instead, and
// the next update writes it back.
void report_found(const dynamic_cfg_context *cfg)
{
    const dynamic_cfg_found found = dynamic_cfg_state(cfg);
    if (found == dynamic_cfg_found::whole)
        return;
    const bool erased = found == dynamic_cfg_found::erased;
    if (const char *copy = dynamic_cfg_restored_copy(cfg))
        printf(erased ? gettext("    Dynamic configuration was found erased; the next update restores it from\n"
                                "    %s.\n")
                      : gettext("    Dynamic configuration was found damaged; the next update restores it from\n"
                                "    %s.\n"),
               copy);
    else
        printf("%s", erased ? gettext("    Dynamic configuration was found erased: no versions are recorded.\n")
                            : gettext("    Dynamic configuration was found damaged: no versions can be read.\n"));
}

// Installed version of a row on a port without a dynamic configuration
// (the first generation), through the row's own handle; false after saying
// why it cannot be read.  Nothing records versions on such a board, so the
// row's answer without a configuration is the null version and the row
// shows only when an image is offered for it.
bool row_version(const firmware_ops *ops, qsu_device *dev, firmware_version *inst)
{
    void *handle = ops->open(ops, dev);
    if (!handle) {
        fprintf(stderr, gettext("Failed to check firmware on %1$s: %2$s\n"), dev->netif_name, strerror(errno));
        return false;
    }
    *inst = ops->get_version(handle, nullptr);
    ops->close(handle);
    return true;
}

// The command that performs the update a verdict offers.  With an image
// it repeats the report's image and adapter options, without which it
// would find nothing to write; without one it is the line it always was.
void offer_write(bool have_user_image, bool force)
{
    const std::string options = have_user_image ? offered_options() : std::string();
    if (options.empty() && force)
        printf(gettext("   - run \"qsupdate %sforce %swrite\" to perform an update\n"), "--", "--");
    else if (options.empty())
        printf(gettext("   - run \"qsupdate %swrite\" to perform an update\n"), "--");
    else if (force)
        printf(gettext("   - run \"qsupdate --force --write%s\" to perform an update\n"), options.c_str());
    else
        printf(gettext("   - run \"qsupdate --write%s\" to perform an update\n"), options.c_str());
}

} // namespace

void check_image(const image_status *status, bool have_user_image)
{
    if (!status->matched)
        return;
    char v[VERSION_STRING_LEN];
    if (status->forced) {
        printf(gettext("The %s is up to date\n"), status->human_readable_name);
        offer_write(have_user_image, true);
    } else if (!version_is_null(status->new_version)) {
        printf(have_user_image ? gettext("This is more recent %s [%s]\n")
                               : gettext("This utility contains more recent %s [%s]\n"),
               status->human_readable_name, version_string(v, status->new_version, true));
        offer_write(have_user_image, false);
    } else if (status->have_image) {
        printf(gettext("The %s is up to date\n"), status->human_readable_name);
    } else {
        printf(gettext("This utility does not contain %s for this adapter\n"), status->human_readable_name);
    }
}

int show_status(qsu_device *dev, qsupdate_image_t *image, int firmware_types)
{
    image_status records[SLOT_COUNT];
    fresh_records(records);

    printf("\n");
    printf(gettext("%1$s - MAC: %2$s\n"), dev->netif_name, dev->mac_addr);

    dynamic_cfg_context *cfg = nullptr;
    if (qsu_device_type(dev) != QSU_DEVICE_TYPE_ALDER) {
        qsu_device *nv_dev = nullptr;
        const int rc = dynamic_cfg_accessible(dev, &nv_dev);
        if (rc != 0) {
            report_inaccessible(dev, nv_dev, rc);
            errno = ENOTSUP;
            return -1;
        }
        cfg = dynamic_cfg_open(dev, NV_PART_DYNAMIC_CFG);
        if (!cfg)
            return errno == EPERM || errno == ENOENT ? 0 : -1;
        report_found(cfg);
        char family[VERSION_STRING_LEN];
        if (dynamic_cfg_get_family(cfg, family, sizeof family) > 1)
            printf("    %-19s v%s\n", gettext("Firmware version:"), family);
    }

    bool shown_controller_type = false;
    for (int i = 0; i < FIRMWARE_OPS_COUNT; ++i) {
        const firmware_ops *ops = all_firmware_ops[i];
        qsupdate_image_t *matched = nullptr;
        if (!match_firmware(dev, i, image, firmware_types, &matched) || !ops->match_device(ops, dev))
            continue;
        firmware_version inst{};
        if (cfg)
            inst = dynamic_cfg_get_version(cfg, static_cast<image_type_t>(ops->type));
        else if (!row_version(ops, dev, &inst))
            continue;
        image_status *record = &records[slot_of(ops->type)];
        if (!apply_version_policy(record, inst, get_image_version(matched), firmware_types))
            continue;
        print_row(ops, inst, &shown_controller_type);
    }

    printf("\n");
    const bool have_user_image = image != nullptr;
    bool any = false;
    for (const image_status &record : records) {
        any = any || record.matched;
        if (&record == &records[BOOTROM] && record.matched && version_is_ipxe(record.inst_version))
            printf("%s", gettext("The current Boot ROM is an iPXE image.\n"));
        else
            check_image(&record, have_user_image);
    }

    if (cfg)
        dynamic_cfg_close(cfg);
    return any ? 1 : 0;
}
