// What a host shows to a reader of its files, under a root directory ("/"
// for this host).  Reading only: every file is opened O_RDONLY, nothing is
// created, written, renamed or removed, no module is loaded.
//
// A lab's fake root holds placeholders where a host has devices (the sysfs
// "vpd" file, the MTD nodes, which are not on disk at all).  When the root
// is a lab's (DIR/root beside DIR/lab.json), those are read through that
// lab's devices, as a read on its host would answer; everything else still
// comes from the root's files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lab/model/lab_model.h"

namespace lab {

class HostFiles {
public:
    // Throws std::runtime_error when the root is not a readable directory.
    explicit HostFiles(const std::string &root);

    const std::string &root() const { return root_; }
    // The root's own path of a host path ("/proc/mtd" -> ROOT/proc/mtd).
    std::string on_root(const std::string &path) const;
    bool exists(const std::string &path) const;
    // The whole file, or nothing when it cannot be opened or read.
    std::optional<std::string> text(const std::string &path) const;
    // Its first line without the line feed, or nothing.
    std::optional<std::string> line(const std::string &path) const;
    // Entry names, sorted; throws naming the directory when it cannot be
    // listed.
    std::vector<std::string> list(const std::string &dir) const;
    // The name of what a link leads to ("0000:03:00.0" for a port's
    // "device"), or "" when there is no link.
    std::string link_name(const std::string &path) const;

    // The sysfs "vpd" file of a PCI function as a read returns it, or
    // nothing when the host has none.
    std::optional<std::vector<uint8_t>> vpd(const std::string &pci_addr) const;
    // Its size as stat reports it (the whole 32 KiB window on some kernels).
    uint64_t vpd_file_size(const std::string &pci_addr) const;
    // `size` bytes of MTD device N, through /dev/mtdN or /dev/mtdblockN;
    // throws naming the node when neither reads whole.
    std::vector<uint8_t> mtd(unsigned number, uint32_t size) const;

private:
    std::vector<uint8_t> lab_mtd(unsigned number, uint32_t size) const;

    std::string root_;
    // The lab whose fake root this is, if any.
    std::string lab_dir_;
    std::optional<LabState> lab_;
};

} // namespace lab
