// Backup of the image an update replaces: read back from the adapter and
// saved under /var/lib/qsutils as a plain image that --image takes again.
#pragma once

#include <cstddef>

#include "app/qsupdate/qsupdate.h"
#include "lib/utils/firmware_ops.h"

constexpr const char *BACKUP_DIR = "/var/lib/qsutils";
constexpr size_t BACKUP_NAME_LEN = 4096;

// "<dir>/<short type name>_<type>_<subtype>_v<installed>.dat", with "old"
// for an unknown installed version.
void backup_file_name(char *buf, const firmware_ops *ops, firmware_version installed);

// Reads the row's partition back and saves it with the installed version
// in its header.  The file is made new: a file or link already at its
// path is left alone and the backup fails.  0, or -1 with errno.
int save_firmware(qsu_device *dev, const firmware_ops *ops, void *handle, firmware_version installed,
                  print_fn out, progress_fn progress);
