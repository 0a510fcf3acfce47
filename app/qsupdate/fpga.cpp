// FPGA and diagnostic FPGA bitfile rows.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

namespace {

constexpr const char *KVE = N_("KVE peripheral");
constexpr const char *KVE_A7 = N_("KVE peripheral A7");
constexpr const char *KVE_A5 = N_("KVE peripheral A5");

constexpr firmware_ops fpga_row(image_type_t type, unsigned subtype, const char *name,
                                unsigned flags)
{
    return nv_fw_row(type, subtype, name, nv_fw_match_device, flags);
}

// Not shared: the timestamp peripheral is handled on every port.
constexpr unsigned TIMESTAMP_FLAGS = firmware_rw_req_if_down | firmware_w_req_mc_reset;
constexpr unsigned KVE_FLAGS = FW_FLAGS_SHARED_MC_RESET;
// The later KVE boards need no full erase before a write.
constexpr unsigned KVE_LATE_FLAGS = FW_FLAGS_SHARED_MC_RESET_ERASE_ON_DEMAND;

} // namespace

const firmware_ops fpga_ops[14] = {
    fpga_row(IMAGE_TYPE_FPGA, 1, N_("timestamp peripheral"), TIMESTAMP_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA, 2, N_("timestamp peripheral"), TIMESTAMP_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA, 4, KVE, KVE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA, 5, KVE_A7, KVE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA, 6, KVE_A5, KVE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA_BACKUP, 4, KVE, KVE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA_BACKUP, 5, KVE_A7, KVE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA_BACKUP, 6, KVE_A5, KVE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA, 7, KVE, KVE_LATE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA, 9, KVE_A7, KVE_LATE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA, 8, KVE_A5, KVE_LATE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA_BACKUP, 7, KVE, KVE_LATE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA_BACKUP, 9, KVE_A7, KVE_LATE_FLAGS),
    fpga_row(IMAGE_TYPE_FPGA_BACKUP, 8, KVE_A5, KVE_LATE_FLAGS),
};
