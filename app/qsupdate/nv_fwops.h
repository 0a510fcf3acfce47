// Registry operations backed by the adapter's NV partitions: a firmware
// kind lives in the partition its image type names, under the row's
// subtype.
#pragma once

#include "lib/utils/firmware_ops.h"
#include "lib/utils/linux/nv.h"

// The handle the operations hand out.
struct nv_fw_context {
    nv_context *nv;         // owned
    qsu_device *dev;        // the port it was opened for
    const firmware_ops *ops; // the registry row
};

// Partition kind of an image type; any other type is a programming error.
nv_part_type image_part_type(unsigned type);

bool nv_fw_match_device(const firmware_ops *ops, qsu_device *dev);
void *nv_fw_open(const firmware_ops *ops, qsu_device *dev);
void nv_fw_close(void *handle);
firmware_version nv_fw_get_version(void *handle, dynamic_cfg_context *cfg);
// The partition as a plain image with a made-up header: its code is the
// whole partition.  The caller releases it with qsupdate_image_free.
qsupdate_image_t *nv_fw_read_image(void *handle, progress_fn progress);
// Writes the image, takes the adapter's verdict from its status partition
// and runs the follow-ups the row asks for.
int nv_fw_write_image(void *handle, qsupdate_image_t *image, bool full_erase, progress_fn progress);

// Sleeps the time the platform needs to settle for some kinds.
void nv_fw_wait_platform(const nv_fw_context *ctx);
// Reports progress when there is someone to report to.
void nv_fw_report(progress_fn progress, const char *status, int pc);
