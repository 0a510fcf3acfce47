#include "lab/flash/lab_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lab {

namespace {

int fail(int err)
{
    errno = err;
    return -1;
}

std::string counted(uint64_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

Flash::Flash(const std::string &path, Partition &partition, EventLog &events, FaultTable &faults)
    : path_(path), partition_(partition), events_(events), faults_(faults)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("flash file " + path + " of partition " + partition.id + ": " +
                                 std::strerror(errno));
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != partition.size) {
        ::close(fd_);
        throw std::runtime_error("flash file " + path + " is not the " + std::to_string(partition.size) +
                                 " bytes of partition " + partition.id);
    }
}

Flash::~Flash()
{
    ::close(fd_);
}

void Flash::create_file(const std::string &path, const Partition &partition)
{
    if (partition.initial_contents.size() > partition.size)
        throw std::runtime_error("the contents of partition " + partition.id + " do not fit its " +
                                 std::to_string(partition.size) + " bytes");
    std::vector<uint8_t> bytes = partition.initial_contents;
    bytes.resize(partition.size, 0xFF);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool Flash::in_range(uint64_t offset, uint64_t length) const
{
    return offset <= partition_.size && length <= partition_.size - offset;
}

const Fault *Flash::strike(const char *operation, const std::vector<std::string> &via)
{
    std::vector<std::string> names = {partition_.id};
    names.insert(names.end(), via.begin(), via.end());
    return faults_.strike({names, operation, std::nullopt});
}

bool Flash::read_file(uint64_t offset, std::span<uint8_t> out) const
{
    return ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(out.size());
}

bool Flash::write_file(uint64_t offset, std::span<const uint8_t> data) const
{
    return ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(data.size());
}

void Flash::log(const char *what, uint64_t offset, uint64_t length, const std::string &amount)
{
    char range[48];
    std::snprintf(range, sizeof range, "0x%llx-0x%llx", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset + length - 1));
    events_.record("flash " + partition_.id + ": " + what + " " + range + " (" + amount + ")");
}

ssize_t Flash::read(uint64_t offset, std::span<uint8_t> out, const std::vector<std::string> &via)
{
    if (!in_range(offset, out.size()))
        return fail(EINVAL);
    if (out.empty())
        return 0;
    if (const Fault *fault = strike("read", via))
        return fail(fault->error);
    if (!read_file(offset, out))
        return fail(EIO);
    events_.busy_ns(out.size() * partition_.read_byte_ns);
    partition_.last_run.reads++;
    partition_.last_run.bytes_read += out.size();
    return static_cast<ssize_t>(out.size());
}

bool Flash::peek(uint64_t offset, std::span<uint8_t> out) const
{
    return in_range(offset, out.size()) && read_file(offset, out);
}

ssize_t Flash::program(uint64_t offset, std::span<const uint8_t> data, const std::vector<std::string> &via,
                       bool logged)
{
    return write(offset, data, via, false, logged);
}

ssize_t Flash::write_in_place(uint64_t offset, std::span<const uint8_t> data, const std::vector<std::string> &via)
{
    return write(offset, data, via, true, true);
}

ssize_t Flash::write(uint64_t offset, std::span<const uint8_t> data, const std::vector<std::string> &via,
                     bool in_place, bool logged)
{
    if (!in_range(offset, data.size()))
        return fail(EINVAL);
    if (data.empty())
        return 0;
    const Fault *fault = strike("write", via);
    if (fault && fault->error)
        return fail(fault->error);
    if (fault && fault->write_cut_after) {
        data = data.first(std::min(data.size(), *fault->write_cut_after));
        if (data.empty()) {
            if (fault->power_cut)
                lose_power(events_);
            return 0;
        }
    }
    std::vector<uint8_t> old(data.size());
    if (!read_file(offset, old))
        return fail(EIO);
    std::vector<uint8_t> bytes(data.begin(), data.end());
    if (!in_place && partition_.erase_size != 1)
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] &= old[i];
    if (fault && fault->silent == Fault::Silent::drop) {
        bytes = old;
    } else if (fault && fault->silent == Fault::Silent::stuck_byte) {
        // The first byte that was to change does not take.
        auto differs = std::mismatch(bytes.begin(), bytes.end(), old.begin());
        if (differs.first != bytes.end())
            *differs.first = *differs.second;
    }
    if (!write_file(offset, bytes))
        return fail(EIO);
    if (fault && fault->power_cut)
        lose_power(events_);

    const uint64_t length = bytes.size();
    uint64_t ns = length * partition_.write_byte_ns;
    if (in_place) {
        // Each erase block the write enters is erased and programmed whole.
        const uint64_t block_ns = partition_.erase_block_us * uint64_t{1000} +
                                  uint64_t{partition_.erase_size} * partition_.write_byte_ns;
        uint64_t first = offset / partition_.erase_size, last = (offset + length - 1) / partition_.erase_size;
        ns = (last - first + 1) * block_ns;
        if (cached_block_ == first)
            ns -= block_ns;
        cached_block_ = last;
    } else {
        cached_block_.reset();
    }
    if (logged)
        log("write", offset, length, counted(length, "byte", "bytes") + (in_place ? ", in place" : ""));
    events_.busy_ns(ns);
    partition_.last_run.writes++;
    partition_.last_run.bytes_written += length;
    return static_cast<ssize_t>(length);
}

int Flash::erase(uint64_t offset, uint64_t length, const std::vector<std::string> &via, bool logged)
{
    const uint32_t block = partition_.erase_size;
    if (!in_range(offset, length) || offset % block || length % block)
        return fail(EINVAL);
    if (length == 0)
        return 0;
    if (const Fault *fault = strike("erase", via))
        return fail(fault->error);
    const std::vector<uint8_t> erased(length, 0xFF);
    if (!write_file(offset, erased))
        return fail(EIO);
    cached_block_.reset();
    if (logged)
        log("erase", offset, length, counted(length / block, "block", "blocks"));
    events_.busy_ns(length / block * partition_.erase_block_us * 1000);
    partition_.last_run.erases++;
    partition_.last_run.bytes_erased += length;
    return 0;
}

} // namespace lab
