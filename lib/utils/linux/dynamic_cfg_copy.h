// A copy, on the host's disk, of a dynamic configuration about to be
// written.  A sync erases the whole partition before it writes it again,
// so a write that fails or a power cut in between would leave the adapter
// with no configuration at all; the copy is flushed to disk before the
// erase and removed once the partition holds it.  A copy that exists
// therefore means that a write of its partition was interrupted, and the
// next open of a partition found erased or damaged takes the copy instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct qsu_device;

// "/var/lib/qsutils/dynamic_cfg_<serial or MAC>.dat" for the configuration
// all ports of an adapter share, "..._port<N>.dat" for one of a port's own.
std::string dynamic_cfg_copy_name(const qsu_device *dev, bool shared);

// Writes the copy and flushes it (and its directory entry) to disk; 0, or
// -1 with errno after saying why.
int dynamic_cfg_keep_copy(const std::string &name, const uint8_t *bytes, size_t len);
// Removes the copy once the partition holds what it holds.
void dynamic_cfg_drop_copy(const std::string &name);
// The copy's bytes, when a copy of exactly `len` bytes exists.
bool dynamic_cfg_read_copy(const std::string &name, size_t len, std::vector<uint8_t> &out);
