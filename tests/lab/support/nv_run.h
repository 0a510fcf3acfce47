// qsupdate's NV layer in a lab opened in-process: enumerated, flags fresh, every descriptor closed by the end.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/lab_fixture.h"

using Strings = std::vector<std::string>;

class NvRun {
public:
    using Bytes = std::vector<uint8_t>;

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
