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

} // namespace lab::wire
