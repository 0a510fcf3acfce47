// A port's dynamic configuration over a partition in memory, followed by guard bytes that nothing may touch.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"
#include "lib/utils/linux/qsu_device.h"

struct DynamicCfgPort {
    static constexpr long guard = 8;
    std::vector<uint8_t> bytes;
    qsu_device dev{};
    dynamic_cfg_part part{};
    dynamic_cfg_context ctx{};

    // Raw: the context over the part as it is. Opened: as the open leaves it (rebuilt if need be, attached).
    enum State { raw, opened };
    DynamicCfgPort(std::vector<uint8_t> contents, uint32_t device_id, State state = raw,
                   uint32_t subsystem = 0x1B7E0001)
        : bytes(std::move(contents))
    {
        dev.pci_device_id = device_id, dev.pci_subsystem_id = subsystem;
        std::strcpy(dev.serial_number, "QS1");
        qsu_group_devices(&dev, 1);
        part.is_bd20 = is_bd20_device(&dev);
        part.buffer_size = bytes.size();
        bytes.resize(bytes.size() + guard, 0xA5);
        part.buffer = bytes.data();
        ctx = {&dev, &part};
        if (state == opened)
            open();
    }
    DynamicCfgPort(const DynamicCfgPort &) = delete; // the context points into it
    ~DynamicCfgPort()
    {
        EXPECT_TRUE(std::all_of(bytes.end() - guard, bytes.end(), [](uint8_t b) { return b == 0xA5; })) << "overrun";
    }
    // The part's bytes without the guard.
    std::vector<uint8_t> contents() const { return {bytes.begin(), bytes.end() - guard}; }
    int open()
    {
        const int rc = prepare_dynamic_config(&part);
        if (rc == 0)
            attach_dynamic_config(&ctx, &part);
        return rc;
    }
};
