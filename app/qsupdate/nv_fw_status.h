// The adapter's verdict on the last update, from its status partition.
#pragma once

struct nv_fw_context;

// 0 when the adapter has no status partition or its record reports no
// error; -1 with errno after saying what is wrong: the adapter's own error
// (EPERM: it demands a signed image), EINVAL after a failed verification,
// or the errno of a status partition that cannot be read.
int nv_fw_check_status(const nv_fw_context *ctx);
