// What the adapter's driver does after an update on our behalf: reset the
// controller, have it program the CPLD, reset the KVE engine.  Each returns
// 0, or -1 with errno (EOPNOTSUPP: the driver cannot do it on this system).
#pragma once

#include "lib/utils/firmware_ops.h"

struct nv_fw_context;

int mc_reset(nv_fw_context *ctx, progress_fn progress);
int mc_cpld_program(nv_fw_context *ctx, progress_fn progress);
int mc_kve_reset(nv_fw_context *ctx, progress_fn progress);
// Gives a controller that was reset the time to come back; 0.
int mc_wait_ready();
