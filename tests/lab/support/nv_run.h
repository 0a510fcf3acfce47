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
