// qsupdate's NV layer in a lab opened in-process: enumerated, flags fresh, every descriptor closed by the end.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/lab_fixture.h"

using Strings = std::vector<std::string>;

class NvRun {
public:
    explicit NvRun(lab::LabState state, const nlohmann::json &faults = {})
        : host_((state.faults = lab::faults_from_json(faults.is_object() ? nlohmann::json::array({faults}) : faults), state)),
          scoped_(host_.platform())
    {
        nv_reset_for_tests();
        testing::internal::CaptureStderr(); // an unprivileged host's complaints
        EXPECT_EQ(qsu_device_init(), 0);
        EXPECT_GE(qsu_device_enum(&devs_), 1);
        EXPECT_EQ(nv_init(), 0);
        testing::internal::GetCapturedStderr();
        descriptors_ = open_descriptors();
    }
    ~NvRun()
    {
        EXPECT_EQ(open_descriptors(), descriptors_);
        std::free(devs_);
    }

    qsu_device *port(int i) { return &devs_[i]; }
    lab::Lab &lab() { return host_.lab(); }
    Bytes file(const std::string &id)
    {
        std::string bytes = read_file(lab().dir() + "/flash/" + id + ".bin");
        return {bytes.begin(), bytes.end()};
    }

private:
    InProcessLab host_;
    ScopedPlatform scoped_;
    qsu_device *devs_ = nullptr;
    size_t descriptors_ = 0;
};

// A partition with all bits programmed, so that any erase shows.
inline lab::Partition partition(const char *id, unsigned kind, unsigned subtype, uint32_t size, uint32_t erase_size)
{
    lab::Partition p;
    p.id = id, p.kind = kind, p.subtype = subtype, p.size = size, p.erase_size = erase_size;
    p.initial_contents.assign(size, 0x00);
    return p;
}

// A call's result, its errno when it failed (else 0), and what it printed on standard error.
using Attempt = std::tuple<long, int, std::string>;
inline Attempt attempt(const std::function<long()> &call)
{
    testing::internal::CaptureStderr();
    errno = 0;
    const long rc = call();
    const int err = rc < 0 ? errno : 0;
    return {rc, err, testing::internal::GetCapturedStderr()};
}

// Signed controller firmware as the adapter keeps it in a partition of `size`: each piece behind a chunk header
// that finds the next, and the last 32 bytes lead to the first; `change` adds to a word of one chunk's header.
struct HeaderChange {
    uint32_t word = 0, chunk = 0, by = 0;
};
inline Bytes signed_chunks(const Bytes &code, const Bytes &cms, const Bytes &record, const Bytes &trailer,
                           const Bytes &signature, uint32_t size, const HeaderChange &change = {})
{
    const auto L = uint32_t(code.size()), H = uint32_t(cms.size()), R = uint32_t(record.size()),
               T = uint32_t(trailer.size()), S = uint32_t(signature.size());
    auto header = [&](uint32_t id, uint32_t offset, uint32_t len) {
        std::vector<uint32_t> words = {0xBD205161, 1, id, offset, len, 0, 0, 0};
        words[change.word] += id == change.chunk ? change.by : 0;
        return le_words(words);
    };
    Bytes out;
    for (const Bytes &piece : {code, header(3, L + 96 + H + R, T), cms, header(1, L + 64 + H, R), record,
                               header(2, 0, L), trailer, header(4, L + 128 + H + R + T, S), signature})
        out.insert(out.end(), piece.begin(), piece.end());
    out.resize(size - 32, 0xFF);
    const Bytes last = header(0, L + 32, H);
    out.insert(out.end(), last.begin(), last.end());
    return out;
}
