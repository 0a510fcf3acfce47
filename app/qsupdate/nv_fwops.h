// Registry operations backed by the adapter's NV partitions.
#pragma once

#include "lib/utils/firmware_ops.h"

bool nv_fw_match_device(const firmware_ops *ops, qsu_device *dev);
void *nv_fw_open(const firmware_ops *ops, qsu_device *dev);
void nv_fw_close(void *handle);
firmware_version nv_fw_get_version(void *handle, dynamic_cfg_context *cfg);
qsupdate_image_t *nv_fw_read_image(void *handle, progress_fn progress);
int nv_fw_write_image(void *handle, qsupdate_image_t *image, bool full_erase, progress_fn progress);
