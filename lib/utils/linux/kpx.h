// The adapter driver's private ioctl: envelopes and commands.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned long SIOCKPX = 0x89F3;

enum kpx_cmd : uint16_t {
    KPX_CMD_MCDI_REQUEST = 0xEF0C,
    KPX_CMD_RESET_FLAGS = 0xEF0D,
    KPX_CMD_CPLD = 0xEF1E,
    KPX_CMD_KVE_RESET = 0xEF20,
    KPX_CMD_MCDI_REQUEST2 = 0xEF21,
    KPX_CMD_DEVICE_IDS = 0xEF22,
};

struct __attribute__((packed)) kpx_mcdi_request {
    uint32_t payload[63];
    uint8_t cmd;
    uint8_t len;
    uint8_t rc;
    uint8_t spare;
};
static_assert(sizeof(kpx_mcdi_request) == 256);
static_assert(offsetof(kpx_mcdi_request, payload) == 0);
static_assert(offsetof(kpx_mcdi_request, cmd) == 252);
static_assert(offsetof(kpx_mcdi_request, len) == 253);
static_assert(offsetof(kpx_mcdi_request, rc) == 254);

struct __attribute__((packed)) kpx_mcdi_request2 {
    uint16_t cmd;
    uint16_t inlen;
    uint16_t outlen;
    uint16_t flags;
    uint32_t host_errno;
    uint32_t payload[255];
};
static_assert(sizeof(kpx_mcdi_request2) == 1032);
static_assert(offsetof(kpx_mcdi_request2, inlen) == 2);
static_assert(offsetof(kpx_mcdi_request2, outlen) == 4);
static_assert(offsetof(kpx_mcdi_request2, flags) == 6);
static_assert(offsetof(kpx_mcdi_request2, host_errno) == 8);
static_assert(offsetof(kpx_mcdi_request2, payload) == 12);

struct __attribute__((packed)) kpx_device_ids {
    uint16_t vendor_id;
    uint16_t device_id;
    uint16_t subsys_vendor_id;
    uint16_t subsys_device_id;
    uint32_t phy_type;
    uint8_t port_num;
    uint8_t perm_addr[6];
};
static_assert(sizeof(kpx_device_ids) == 19);
static_assert(offsetof(kpx_device_ids, subsys_vendor_id) == 4);
static_assert(offsetof(kpx_device_ids, subsys_device_id) == 6);
static_assert(offsetof(kpx_device_ids, phy_type) == 8);
static_assert(offsetof(kpx_device_ids, port_num) == 12);
static_assert(offsetof(kpx_device_ids, perm_addr) == 13);

union __attribute__((packed)) kpx_ioctl_union {
    kpx_mcdi_request mcdi_request;
    kpx_mcdi_request2 mcdi_request2;
    kpx_device_ids device_ids;
    struct __attribute__((packed)) {
        uint32_t flags;
    } reset_flags;
    struct __attribute__((packed)) {
        uint32_t update;
    } cpld;
    struct __attribute__((packed)) {
        uint32_t flags;
    } kve_reset;
};
static_assert(sizeof(kpx_ioctl_union) == 1032);

// Issued on the control device "/dev/qsc_control".
struct __attribute__((packed)) kpx_ioctl {
    char if_name[16];
    uint16_t cmd;
    kpx_ioctl_union u;
};
static_assert(sizeof(kpx_ioctl) == 1050);
static_assert(offsetof(kpx_ioctl, cmd) == 16);
static_assert(offsetof(kpx_ioctl, u) == 18);

// Issued on a socket, pointed to by an ifreq's data pointer.
struct __attribute__((packed)) kpx_sock_ioctl {
    uint16_t cmd;
    uint16_t reserved;
    kpx_ioctl_union u;
};
static_assert(sizeof(kpx_sock_ioctl) == 1036);
static_assert(offsetof(kpx_sock_ioctl, reserved) == 2);
static_assert(offsetof(kpx_sock_ioctl, u) == 4);

constexpr const char *QSC_CONTROL_DEVICE = "/dev/qsc_control";
