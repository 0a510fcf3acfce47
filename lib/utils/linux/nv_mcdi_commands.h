// The management controller's commands, as the MCDI backends send them
// through the driver's private ioctl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "lib/utils/linux/nv.h"

enum mcdi_cmd : uint8_t {
    MCDI_CMD_BOARD_CFG = 0x18,
    MCDI_CMD_NVRAM_INFO = 0x37,
    MCDI_CMD_NVRAM_UPDATE_START = 0x38,
    MCDI_CMD_NVRAM_READ = 0x39,
    MCDI_CMD_NVRAM_WRITE = 0x3A,
    MCDI_CMD_NVRAM_ERASE = 0x3B,
    MCDI_CMD_NVRAM_UPDATE_FINISH = 0x3C,
    MCDI_CMD_NVRAM_METADATA = 0x52,
};

// A type no partition has: the controller answers that it does not know it.
constexpr uint32_t MCDI_PART_TYPE_NONE = 0xFFFFFFFF;

// Bytes of the first form's payload, and the data that fits one request
// after the three argument words of a write.
constexpr size_t MCDI_PAYLOAD_LEN = 252;
constexpr size_t MCDI_RW_ARGS_LEN = 12;
constexpr size_t MCDI_READ_MAX = MCDI_PAYLOAD_LEN;
constexpr size_t MCDI_WRITE_MAX = MCDI_PAYLOAD_LEN - MCDI_RW_ARGS_LEN;
// The second form carries 1020 bytes of payload, so a write's data stops
// at 1008 whatever write size the controller reports.
constexpr size_t MCDI2_PAYLOAD_LEN = 1020;
constexpr size_t MCDI2_WRITE_MAX = MCDI2_PAYLOAD_LEN - MCDI_RW_ARGS_LEN;
constexpr uint16_t MCDI2_OUTLEN = 1024;
constexpr uint16_t MCDI2_FLAG_ERROR = 0x0001;

// Linux's internal "not supported" code, which some drivers let through.
constexpr int ENOTSUPP_KERNEL = 524;

// The controller's partition type of a kind on a port.
uint32_t mcdi_part_type(const qsu_device *dev, nv_part_type type);

// Controllers of the BD20 architecture (Cedar, Dogwood, Dogwood2).
bool mcdi_is_bd20(const qsu_device *dev);

// The first form: the payload is in place in ctx's envelope, `len` bytes
// of it the request.  0, or -1 with errno (the controller's error, or the
// ioctl's).
int mcdi_do_command_v1(nv_context *ctx, uint8_t cmd, size_t len);
// The second form: req2's fields are in place.
int mcdi_do_command_v2(nv_context *ctx);

// Where an output word of a simple command goes; a null `dest` skips it.
struct mcdi_output {
    size_t offset;
    uint32_t *dest;
};

// A first-form command whose arguments are words at offsets 0, 4, 8, ...
// and whose answer is read as words.  A controller or driver that does not
// support the command fails it with ENOENT.
int mcdi_simple_command(nv_context *ctx, uint8_t cmd, std::initializer_list<uint32_t> inputs,
                        std::initializer_list<mcdi_output> outputs, size_t *resp_len = nullptr);

// The payload of ctx's first-form envelope, as bytes.
uint8_t *mcdi_payload(nv_context *ctx);

int mcdi_nv_getinfo(nv_context *ctx, uint32_t type, uint32_t *reported_type, uint32_t *size,
                    uint32_t *erase_size, uint32_t *write_size);
int mcdi_nv_metadata(nv_context *ctx, uint32_t type, uint32_t *subtype);
int mcdi_board_cfg_subtype(nv_context *ctx, uint32_t type, uint32_t *subtype);
int mcdi_nv_update_start(nv_context *ctx);
int mcdi_nv_update_finish(nv_context *ctx);
int mcdi_nv_erase(nv_context *ctx, uint32_t offset, uint32_t length);
