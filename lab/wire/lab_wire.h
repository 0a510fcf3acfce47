// The adapter driver's private ioctl as the driver defines it: request
// number, command codes and envelope layouts (little-endian).  Written down
// here from the driver's interface rather than taken from qsupdate's own
// header, so that a constant mistyped there is caught by the lab instead of
// being shared with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lab::wire {

constexpr unsigned long SIOCKPX = 0x89F3;

constexpr uint16_t CMD_MCDI_REQUEST = 0xEF0C;
constexpr uint16_t CMD_RESET_FLAGS = 0xEF0D;
constexpr uint16_t CMD_CPLD = 0xEF1E;
constexpr uint16_t CMD_KVE_RESET = 0xEF20;
constexpr uint16_t CMD_MCDI_REQUEST2 = 0xEF21;
constexpr uint16_t CMD_DEVICE_IDS = 0xEF22;

// 0xEF21: bit 0 of `flags` marks an error whose errno is `host_errno`.
constexpr uint16_t MCDI2_FLAG_ERROR = 0x0001;

struct __attribute__((packed)) McdiRequest {
    uint32_t payload[63];
    uint8_t cmd;
    uint8_t len;
    uint8_t rc;
    uint8_t spare;
};
static_assert(sizeof(McdiRequest) == 256);
static_assert(offsetof(McdiRequest, cmd) == 252);
static_assert(offsetof(McdiRequest, len) == 253);
static_assert(offsetof(McdiRequest, rc) == 254);

struct __attribute__((packed)) McdiRequest2 {
    uint16_t cmd;
    uint16_t inlen;
    uint16_t outlen;
    uint16_t flags;
    uint32_t host_errno;
    uint32_t payload[255];
};
static_assert(sizeof(McdiRequest2) == 1032);
static_assert(offsetof(McdiRequest2, inlen) == 2);
static_assert(offsetof(McdiRequest2, outlen) == 4);
static_assert(offsetof(McdiRequest2, flags) == 6);
static_assert(offsetof(McdiRequest2, host_errno) == 8);
static_assert(offsetof(McdiRequest2, payload) == 12);

struct __attribute__((packed)) DeviceIds {
    uint16_t vendor_id;
    uint16_t device_id;
    uint16_t subsys_vendor_id;
    uint16_t subsys_device_id;
    uint32_t phy_type;
    uint8_t port_num;
    uint8_t perm_addr[6];
};
static_assert(sizeof(DeviceIds) == 19);
static_assert(offsetof(DeviceIds, device_id) == 2);
static_assert(offsetof(DeviceIds, subsys_vendor_id) == 4);
static_assert(offsetof(DeviceIds, subsys_device_id) == 6);
static_assert(offsetof(DeviceIds, phy_type) == 8);
static_assert(offsetof(DeviceIds, port_num) == 12);
static_assert(offsetof(DeviceIds, perm_addr) == 13);

// One u32 argument: reset flags, CPLD update, KVE reset flags.
struct __attribute__((packed)) Word {
    uint32_t value;
};

union __attribute__((packed)) Body {
    McdiRequest mcdi_request;
    McdiRequest2 mcdi_request2;
    DeviceIds device_ids;
    Word word;
    uint8_t bytes[1032];
};
static_assert(sizeof(Body) == 1032);

// On the control device: which interface, which command, its body.
struct __attribute__((packed)) ControlIoctl {
    char if_name[16];
    uint16_t cmd;
    Body u;
};
static_assert(sizeof(ControlIoctl) == 1050);
static_assert(offsetof(ControlIoctl, cmd) == 16);
static_assert(offsetof(ControlIoctl, u) == 18);

// On a socket, behind an ifreq's data pointer.
struct __attribute__((packed)) SocketIoctl {
    uint16_t cmd;
    uint16_t reserved;
    Body u;
};
static_assert(sizeof(SocketIoctl) == 1036);
static_assert(offsetof(SocketIoctl, reserved) == 2);
static_assert(offsetof(SocketIoctl, u) == 4);

// The management controller's commands, carried in `cmd` of either form.
// Every argument and result is a little-endian 32-bit word at a byte
// offset of the payload.
namespace mcdi {

constexpr uint8_t BOARD_CONFIG = 0x18;
constexpr uint8_t NVRAM_INFO = 0x37;
constexpr uint8_t NVRAM_UPDATE_START = 0x38;
constexpr uint8_t NVRAM_READ = 0x39;
constexpr uint8_t NVRAM_WRITE = 0x3A;
constexpr uint8_t NVRAM_ERASE = 0x3B;
constexpr uint8_t NVRAM_UPDATE_FINISH = 0x3C;
constexpr uint8_t NVRAM_METADATA = 0x52;

// Requests: the partition type first; reads, writes and erases go on with
// offset and length, a write's data follows them.
constexpr size_t REQ_TYPE = 0;
constexpr size_t REQ_OFFSET = 4;
constexpr size_t REQ_LENGTH = 8;
constexpr size_t REQ_WRITE_DATA = 12;
// Update start: (type, 1); update finish: (type, 0, 1).
constexpr size_t UPDATE_START_LEN = 8;
constexpr size_t UPDATE_FINISH_LEN = 12;

// Partition information: type, size, erase size, three words the product
// does not read, and the write size only when the partition has one.
constexpr size_t INFO_TYPE = 0;
constexpr size_t INFO_SIZE = 4;
constexpr size_t INFO_ERASE_SIZE = 8;
constexpr size_t INFO_WRITE_SIZE = 24;
constexpr size_t INFO_LEN = 24;
constexpr size_t INFO_LEN_WITH_WRITE_SIZE = 28;

// Partition metadata: type, flags, subtype.
constexpr size_t METADATA_TYPE = 0;
constexpr size_t METADATA_SUBTYPE = 8;
constexpr size_t METADATA_LEN = 12;

// Board configuration: 16-bit subtypes indexed by partition type.
constexpr size_t BOARD_CONFIG_SUBTYPES = 72;

// What one command moves: a first-form payload holds 252 bytes, so a
// write carries at most 240 bytes of data after its three words; a
// second-form payload holds 1020, so at most 1008.
constexpr size_t PAYLOAD_V1 = sizeof(McdiRequest::payload);
constexpr size_t PAYLOAD_V2 = sizeof(McdiRequest2::payload);
constexpr size_t READ_MAX = 252;
constexpr size_t WRITE_MAX_V1 = PAYLOAD_V1 - REQ_WRITE_DATA;
constexpr size_t WRITE_MAX_V2 = PAYLOAD_V2 - REQ_WRITE_DATA;
static_assert(PAYLOAD_V1 == 252 && PAYLOAD_V2 == 1020);
static_assert(WRITE_MAX_V1 == 240 && WRITE_MAX_V2 == 1008);

} // namespace mcdi

} // namespace lab::wire
