#include "app/qsupdate/nv_fw_status.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "app/qsupdate/nv_fwops.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/firmware.h"
#include "lib/utils/linux/qsu_device.h"

namespace {

// The record the controller leaves at the start of the status partition
// when it finishes an update; little-endian.
struct __attribute__((packed)) dogwood_mc_status_hdr_t {
    uint32_t magic;
    uint32_t length;
    uint32_t last_update_err;
    uint32_t last_verify_result;
    uint32_t current_security_level;
};
static_assert(sizeof(dogwood_mc_status_hdr_t) == 20);
static_assert(offsetof(dogwood_mc_status_hdr_t, length) == 4);
static_assert(offsetof(dogwood_mc_status_hdr_t, last_update_err) == 8);
static_assert(offsetof(dogwood_mc_status_hdr_t, last_verify_result) == 12);
static_assert(offsetof(dogwood_mc_status_hdr_t, current_security_level) == 16);

constexpr uint32_t STATUS_MAGIC = 0xBD2057A7;
// Shorter records carry no verdict.
constexpr uint32_t STATUS_MIN_LENGTH = 12;
// Verification results up to this one mean the image was accepted.
constexpr uint32_t VERIFY_ACCEPTED = 1;

} // namespace

int nv_fw_check_status(const nv_fw_context *ctx)
{
    qsu_device *holder = nullptr;
    if (!nv_exists(ctx->dev, NV_PART_STATUS, 0, &holder))
        return 0;
    nv_context *status = nv_open(holder, NV_PART_STATUS, 0);
    if (!status) {
        int saved = errno;
        std::fprintf(stderr, "%s: Could not open status partition for reading\n", holder->netif_name);
        errno = saved;
        return -1;
    }
    uint8_t record[sizeof(dogwood_mc_status_hdr_t)];
    const size_t n = std::min<size_t>(nv_part_size(status), sizeof record);
    errno = 0;
    const ssize_t got = nv_read(status, record, n, 0);
    const int read_errno = got < 0 ? errno : EIO;
    nv_close(status);
    if (got != static_cast<ssize_t>(n)) {
        // A status partition this port cannot read says nothing about the
        // update.
        if (read_errno == EINVAL)
            return 0;
        std::fprintf(stderr, "%s: Could not read status from status partition\n", holder->netif_name);
        errno = read_errno;
        return -1;
    }
    return nv_fw_status_verdict(record, n, holder->netif_name);
}

int nv_fw_status_verdict(const uint8_t *record, size_t len, const char *netif_name)
{
    // A small partition holds the leading fields only; the rest count as zero.
    dogwood_mc_status_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    std::memcpy(&hdr, record, std::min(len, sizeof hdr));
    if (le32_to_host(hdr.magic) != STATUS_MAGIC || le32_to_host(hdr.length) <= STATUS_MIN_LENGTH)
        return 0;
    if (uint32_t err = le32_to_host(hdr.last_update_err)) {
        if (err == EPERM)
            std::fputs("ERROR: Adapter may require a signed update. Please check that a signed image is\n"
                       "being used.\n",
                       stderr);
        else
            std::fprintf(stderr, "%s: An error occurred when finishing the update\n", netif_name);
        errno = static_cast<int>(err);
        return -1;
    }
    if (uint32_t result = le32_to_host(hdr.last_verify_result); result > VERIFY_ACCEPTED) {
        fw_report_verify_result(result);
        errno = EINVAL;
        return -1;
    }
    return 0;
}
