// PHY firmware rows, and the match rules that tell the two PHYs of the
// QSL1021 board apart.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"
#include "lib/utils/linux/qsu_device.h"

namespace {

// The board whose port 0 has a QSL1021 PHY and whose other ports have a
// QST1001B; both PHY kinds share one subtype.
constexpr uint32_t QSL1021_BOARD_PCI_ID = 0x1B7E0813;

bool is_qsl1021_port0(const qsu_device *dev)
{
    return dev->pci_device_id == QSL1021_BOARD_PCI_ID && dev->port_index == 0;
}

} // namespace

bool tern_match_device(const firmware_ops *, qsu_device *dev)
{
    return is_qsl1021_port0(dev);
}

bool qst1001b_match_device(const firmware_ops *ops, qsu_device *dev)
{
    if (is_qsl1021_port0(dev))
        return false;
    return nv_fw_match_device(ops, dev);
}

const firmware_ops phy_mtd_ops[4] = {
    nv_fw_row(IMAGE_TYPE_PHY, 9, N_("QT2025C"), nv_fw_match_device, firmware_rw_req_if_down),
    nv_fw_row(IMAGE_TYPE_PHY, 17, N_("QT2025_KR"), nv_fw_match_device, firmware_rw_req_if_down),
    nv_fw_row(IMAGE_TYPE_PHY, 10, N_("Quillstone QSL1021"), tern_match_device,
              firmware_rw_req_if_down),
    nv_fw_row(IMAGE_TYPE_PHY, 10, N_("Quillstone QST1001B"), qst1001b_match_device,
              firmware_rw_req_if_down),
};
