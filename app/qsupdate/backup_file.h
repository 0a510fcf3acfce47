// Backup of the image an update replaces: read back from the adapter and
// saved under /var/lib/qsutils as a plain image that --image takes again.
#pragma once

#include <cstddef>
#include <string>

#include "app/qsupdate/qsupdate.h"
#include "lib/platform/host_files.h"
#include "lib/utils/firmware_ops.h"

constexpr const char *BACKUP_DIR = QSUTILS_DIR;
constexpr size_t BACKUP_NAME_LEN = 4096;

// "<dir>/<short type name>_<type>_<subtype>_v<installed>", with "old" for
// an unknown installed version; the file adds ".dat", or "-2.dat", ...
// when that name holds another image.
void backup_file_name(char *buf, const firmware_ops *ops, firmware_version installed);

// Reads the row's partition back and saves it with the installed version
// in its header, flushed to disk before the partition is touched.  A file
// already at the name with the same bytes is the backup; one with other
// bytes, or a link, is left alone and the next free name is taken; that
// name is left in `saved`.  0, or -1 with errno.
int save_firmware(qsu_device *dev, const firmware_ops *ops, void *handle, firmware_version installed,
                  print_fn out, progress_fn progress, std::string &saved);
