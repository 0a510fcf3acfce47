// The adapter's dynamic configuration: the flash partition in which the
// installed version of each firmware kind is recorded, with a small VPD
// record for version strings.  It is read whole at open, edited in memory
// and written back whole only by an explicit sync.  On BD20 controllers
// all ports of an adapter share one loaded copy; elsewhere each port loads
// its own.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/utils/firmware_ops.h"
#include "lib/utils/firmware_version.h"
#include "lib/utils/linux/nv.h"

struct qsu_device;

// What the open found in the partition.
enum class dynamic_cfg_found { whole, erased, damaged };

// The loaded partition.
struct dynamic_cfg_part {
    bool is_bd20;       // TLV layout; otherwise the fixed-record layout
    nv_context *nv;     // kept open for the sync; null for a buffer with no partition behind it
    size_t buffer_size; // the partition's size
    uint8_t *buffer;    // the whole partition (fixed-record header in host order while loaded)
    unsigned refcnt;    // contexts using it
    // The bundle metadata partition, read at the first version lookup and
    // kept while the part lives, so that a report reads it once and not
    // once per kind (null when it could not be read).
    uint8_t *bundle_meta;
    size_t bundle_meta_size;
    bool bundle_meta_read;
    // A version or string was set: the buffer may differ from the flash.
    bool changed;
    nv_part_type kind; // the configuration or its factory defaults
    dynamic_cfg_found found;
    // Where a sync keeps its copy until the partition holds it ("" when
    // nothing is synced through this part).
    std::string copy_name;
    // The buffer is that copy, taken for an erased or damaged partition,
    // and not yet written back.
    bool restored_from_copy;
    // The last sync failed; its copy stays on disk.
    bool copy_kept;
};

// One port's handle on it.
struct dynamic_cfg_context {
    qsu_device *qsu_dev;
    dynamic_cfg_part *part;
};

// While kept (a run of reports, which change nothing), the last close of a
// BD20 adapter's unchanged part keeps it for the adapter's next port, so
// that the partition and its bundle metadata are read once per run rather
// than once per port.  Turning keeping off frees what was kept.
void dynamic_cfg_keep_parts(bool keep);

// Cedar, Dogwood and Dogwood2 keep the configuration as TLV partitions.
bool is_bd20_device(const qsu_device *dev);
// Dogwood and Dogwood2 keep one dynamic VPD for the whole adapter.
bool device_has_global_vpd(const qsu_device *dev);

// NV_PART_DYNAMIC_CFG for any port, NV_PART_DYNAMIC_CFG_DEFAULTS from
// Dogwood2 on.  A damaged configuration is rebuilt in memory, not an
// error.  Null with errno on failure (errno untouched for a kind the port
// cannot have).  The ports must have been grouped.
dynamic_cfg_context *dynamic_cfg_open(qsu_device *dev, nv_part_type type);
// Unsynced changes are lost with the last context of a part.
void dynamic_cfg_close(dynamic_cfg_context *ctx);

// 0 when the port reads its own configuration; ENOTSUP when only another
// port of the adapter can (named in *nv_dev); ENODEV when one opens it but
// none can read it; DYNAMIC_CFG_UNREACHABLE when no port opens it at all,
// which says nothing of its contents.
constexpr int DYNAMIC_CFG_UNREACHABLE = ENXIO;
int dynamic_cfg_accessible(qsu_device *dev, qsu_device **nv_dev);

// 0.0.0.0 when nothing is recorded.  BD20 asks the bundle metadata first.
firmware_version dynamic_cfg_get_version(dynamic_cfg_context *ctx, image_type_t type);
// 0, or nonzero: -1 with errno, or on BD20 the plain values EINVAL or
// ENOSPC when the first segment is refused.
int dynamic_cfg_set_version(dynamic_cfg_context *ctx, image_type_t type, uint32_t subtype,
                            firmware_version version, bool set_subtype);

// Full length of the keyword's value, of which at most len - 1 bytes are
// copied and terminated; -1 with ENOENT when absent (or when the port has
// no dynamic VPD at all).
int dynamic_cfg_get_string(dynamic_cfg_context *ctx, char key1, char key2, char *buf, size_t len);
// A null value deletes the keyword.  0, or nonzero with errno.
int dynamic_cfg_set_string(dynamic_cfg_context *ctx, char key1, char key2, const char *value);

// Writes the whole buffer back with a full erase, keeping a copy of it on
// the host's disk until the partition holds it, and trying the write again
// before it gives up.
int dynamic_cfg_sync(dynamic_cfg_context *ctx, progress_fn progress);

// How the open found the partition.
dynamic_cfg_found dynamic_cfg_state(const dynamic_cfg_context *ctx);
// The kept copy of an interrupted write that the context holds in place of
// an erased or damaged partition, until a sync writes it back; null when
// it holds the partition's own contents.
const char *dynamic_cfg_restored_copy(const dynamic_cfg_context *ctx);
// After a failed sync, the copy that holds what was to be written; null
// when none was kept.
const char *dynamic_cfg_kept_copy(const dynamic_cfg_context *ctx);

// Whether the bundle metadata holds a version for the kind.  While the
// port has its configuration open, the metadata is read once for the
// configuration's part: what the controller records in it meanwhile is not
// seen until the part is closed, or a written bundle is adopted.
bool bundle_meta_get_version(qsu_device *dev, image_type_t type, firmware_version *out);

// After a bundle is written and recorded: once the bundle metadata
// describes it, its components' versions become the configuration's own,
// so that what the configuration recorded before the bundle no longer
// stands for them.  0, or the result of a failed version write.
int dynamic_cfg_adopt_bundle(dynamic_cfg_context *ctx, firmware_version bundle);

// Version strings some OEM subsystem vendors keep in the dynamic VPD;
// they do nothing for other vendors.  A null text deletes the keyword.
int dynamic_cfg_set_uefi_version(qsu_device *dev, dynamic_cfg_context *ctx, const char *version);
int dynamic_cfg_set_bootrom_version(qsu_device *dev, dynamic_cfg_context *ctx, const char *version);
int dynamic_cfg_set_oem_mcfw_version(qsu_device *dev, dynamic_cfg_context *ctx, const char *version);
// The firmware family version: 0, or 1 when a keyword could not be set
// (on subsystem 0x103C:0x80AB the string operation's own result).
int dynamic_cfg_set_family(qsu_device *dev, dynamic_cfg_context *ctx, const char *version);
int dynamic_cfg_get_family(dynamic_cfg_context *ctx, char *buf, size_t len);

// Hands out the part's buffer and size; 0.
int dynamic_cfg_get_buf(dynamic_cfg_context *ctx, uint8_t **buf, size_t *size);
// Loads the TLV partition in the buffer and sets its generation (it is
// stored one higher); a TLV result code.
int dynamic_cfg_set_generation(void *buf, size_t len, uint32_t generation);
