// Whole files on the host's disk, written so that they survive a power cut
// and read back whole.  Backups of old images and kept copies of a
// configuration are what an adapter is restored from, so a copy that is
// still in the page cache when the power goes is no copy at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include <sys/types.h>

// Where qsupdate keeps its files on the host.
constexpr const char *QSUTILS_DIR = "/var/lib/qsutils";

enum class file_creation {
    exclusive, // never over an existing name (EEXIST)
    replace,   // an existing file of that name is replaced
};

// Writes the pieces one after another into `path`, never through a link,
// flushes the file and its directory entry to disk; 0, or -1 with errno,
// and then no file of that name is left behind.
int write_file_durably(const char *path, file_creation how, mode_t mode,
                       std::initializer_list<std::span<const uint8_t>> pieces);
// The whole file, when it is a regular file of at most `max` bytes; -1 with
// errno otherwise (EFBIG when it is larger).
int read_whole_file(const char *path, size_t max, std::vector<uint8_t> &out);
// Flushes the entries of the directory that holds `path` (a removal, say).
int flush_directory_of(const char *path);
