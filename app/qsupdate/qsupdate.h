// The utility as the user sees it.
#pragma once

#include "lib/utils/firmware.h"

struct qsu_device;

// Parses the command line, performs one action and returns the exit status.
int qsupdate_main(int argc, char *argv[]);

// Progress callback of the update procedure, and its silent stand-ins.
void show_progress(const char *status, int pc);
void hide_progress(const char *status, int pc);
int no_printf(const char *format, ...);
// What the update procedure prints through: printf, or no_printf.
using print_fn = int (*)(const char *format, ...);

// Prints the usage text.
void show_usage();
// Lists the registry with the versions of the images the utility carries.
void show_manifest();
// Status report of one port: 1 when some firmware kind was reported, 0 when
// none, -1 with errno (ENOTSUP: not reachable through this port).
int show_status(qsu_device *dev, qsupdate_image_t *image, int firmware_types);
// Update procedure of one port: 1 when some applicable image was handled,
// 0 when none, -1 with errno.
int update_firmware(qsu_device *dev, qsupdate_image_t *image, int update_options);
