// The adapter's verdict on the last update, from its status partition.
#pragma once

#include <cstddef>
#include <cstdint>

struct nv_fw_context;

// 0 when the adapter has no status partition or its record reports no
// error; -1 with errno after saying what is wrong: the adapter's own error
// (EPERM: it demands a signed image), EINVAL after a failed verification,
// or the errno of a status partition that cannot be read.
int nv_fw_check_status(const nv_fw_context *ctx);
// The verdict of the record's first `len` bytes (at most the record's
// size are read; missing fields count as zero), as above; the port's
// name is for the messages.
int nv_fw_status_verdict(const uint8_t *record, size_t len, const char *netif_name);
