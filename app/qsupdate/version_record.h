// Recording a newly written firmware version in a port's dynamic
// configuration: the version item and the OEM keywords that go with it.
#pragma once

#include "lib/utils/firmware_ops.h"

struct dynamic_cfg_context;
struct qsu_device;

// Held in memory until the configuration is synced.  A failing step is
// reported with perror (the port's name first) and the others still run.
void record_version(qsu_device *dev, dynamic_cfg_context *cfg, const firmware_ops *ops, firmware_version version,
                    firmware_version extra);
