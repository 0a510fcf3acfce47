#include "lab/host/lab_pci_config.h"

#include <algorithm>

#include <sys/file.h>

#include "lib/utils/byteorder.h"

namespace lab {

namespace {

constexpr size_t STATUS = 0x06;
constexpr uint16_t STATUS_CAP_LIST = 0x0010;
constexpr size_t CAP_POINTER = 0x34;
constexpr uint8_t CAP_ID_PM = 0x01, CAP_ID_VPD = 0x03, CAP_ID_MSI = 0x05, CAP_ID_PCIE = 0x10,
                  CAP_ID_MSIX = 0x11;
constexpr size_t VPD_CAP_OFFSET = 0xD0;
constexpr uint16_t VPD_FLAG = 0x8000;

void put_cap(uint8_t *h, size_t at, uint8_t id, size_t next, uint16_t control)
{
    h[at] = id;
    h[at + 1] = static_cast<uint8_t>(next);
    store_le16(h + at + 2, control);
}

bool overlaps(size_t offset, size_t len, size_t start, size_t size)
{
    return offset < start + size && start < offset + len;
}

} // namespace

std::array<uint8_t, PCI_CONFIG_HEADER_SIZE> build_config_header(const Adapter &a, unsigned function)
{
    std::array<uint8_t, PCI_CONFIG_HEADER_SIZE> h{};
    uint8_t *p = h.data();
    store_le16(p + 0x00, a.vendor_id);
    store_le16(p + 0x02, a.device_id);
    store_le16(p + 0x04, 0x0406); // memory space, bus master, INTx disabled
    p[0x08] = 0x02;               // revision
    p[0x0B] = 0x02;               // class: network controller, Ethernet
    p[0x0C] = 0x10;
    p[0x0E] = a.ports.size() > 1 ? 0x80 : 0x00; // multi-function device
    store_le32(p + 0x10, 0xF7000004u + (function << 20)); // 64-bit memory BAR
    store_le32(p + 0x18, 0x0000E001u + (function << 8));  // I/O BAR
    store_le16(p + 0x2C, a.subsystem_vendor_id);
    store_le16(p + 0x2E, a.subsystem_device_id);
    p[0x3C] = 0x0B;
    p[0x3D] = 0x01;
    if (!a.config.capability_list)
        return h;

    // The VPD capability comes last, so that finding it means following
    // the list rather than guessing its place.
    store_le16(p + STATUS, STATUS_CAP_LIST);
    p[CAP_POINTER] = 0x40;
    put_cap(p, 0x40, CAP_ID_PM, 0x50, 0x0003);
    put_cap(p, 0x50, CAP_ID_MSI, 0x70, 0x0180);
    put_cap(p, 0x70, CAP_ID_PCIE, 0xB0, 0x0002);
    put_cap(p, 0xB0, CAP_ID_MSIX, a.config.vpd_capability ? VPD_CAP_OFFSET : 0, 0x003F);
    if (a.config.vpd_capability)
        put_cap(p, VPD_CAP_OFFSET, CAP_ID_VPD, 0, 0);
    return h;
}

PciConfigSpace::PciConfigSpace(const Adapter &adapter, unsigned function, Eeprom &eeprom)
    : regs_(PCI_CONFIG_SPACE_SIZE, 0), eeprom_(eeprom), polls_needed_(std::max(1, adapter.config.vpd_polls))
{
    auto header = build_config_header(adapter, function);
    std::copy(header.begin(), header.end(), regs_.begin());
    if (adapter.config.capability_list && adapter.config.vpd_capability)
        vpd_cap_ = VPD_CAP_OFFSET;
}

void PciConfigSpace::poll_vpd(bool exclusive)
{
    if (!pending_ || --polls_left_ > 0)
        return;
    uint16_t addr = load_le16(&regs_[vpd_cap_ + 2]) & 0x7FFF;
    // Past the end of the EEPROM nothing answers: the flag never changes
    // and the kernel, like any reader, gives up on waiting.
    if (addr + 4u > eeprom_.bytes.size())
        return;
    pending_ = false;
    if (pending_write_) {
        // A write-protected EEPROM ignores the write; the controller still
        // reports it done by clearing the flag.
        ++vpd_writes_;
        if (eeprom_.writable) {
            std::copy_n(regs_.begin() + static_cast<long>(vpd_cap_ + 4), 4, eeprom_.bytes.begin() + addr);
            eeprom_.written = true;
        }
        store_le16(&regs_[vpd_cap_ + 2], addr);
        return;
    }
    std::copy_n(eeprom_.bytes.begin() + addr, 4, regs_.begin() + static_cast<long>(vpd_cap_ + 4));
    store_le16(&regs_[vpd_cap_ + 2], static_cast<uint16_t>(addr | VPD_FLAG));
    ++vpd_reads_;
    if (!pending_locked_ || !exclusive)
        ++vpd_reads_unlocked_;
}

void PciConfigSpace::start_vpd_access(bool exclusive)
{
    // The flag written with the address tells a write (set) from a read
    // (clear); the device flips it when done.
    pending_write_ = (load_le16(&regs_[vpd_cap_ + 2]) & VPD_FLAG) != 0;
    pending_locked_ = exclusive;
    pending_ = true;
    polls_left_ = polls_needed_;
}

size_t PciConfigSpace::read(size_t offset, uint8_t *buf, size_t len, bool exclusive)
{
    if (offset >= regs_.size())
        return 0;
    len = std::min(len, regs_.size() - offset);
    // Each read that covers the address register is one poll of the flag;
    // the read that completes the transfer already sees it.
    if (vpd_cap_ && overlaps(offset, len, vpd_cap_ + 2, 2))
        poll_vpd(exclusive);
    std::copy_n(regs_.begin() + static_cast<long>(offset), len, buf);
    return len;
}

int PciConfigSpace::lock(const void *owner, int operation)
{
    int op = operation & ~LOCK_NB;
    std::erase(shared_owners_, owner);
    if (exclusive_owner_ == owner)
        exclusive_owner_ = nullptr;
    if (op == LOCK_UN)
        return 0;
    if (op != LOCK_SH && op != LOCK_EX)
        return EINVAL;
    bool others = exclusive_owner_ || (op == LOCK_EX && !shared_owners_.empty());
    // Another open file description of this process holds the lock: a
    // blocking request would wait forever.
    if (others)
        return (operation & LOCK_NB) ? EWOULDBLOCK : EDEADLK;
    if (op == LOCK_EX)
        exclusive_owner_ = owner;
    else
        shared_owners_.push_back(owner);
    return 0;
}

size_t PciConfigSpace::write(size_t offset, const uint8_t *buf, size_t len, bool exclusive)
{
    if (offset >= regs_.size())
        return 0;
    len = std::min(len, regs_.size() - offset);
    bool other = false;
    for (size_t i = 0; i < len; ++i) {
        size_t at = offset + i;
        bool vpd_register = vpd_cap_ && at >= vpd_cap_ + 2 && at < vpd_cap_ + 8;
        other = other || !vpd_register;
        // Only the command register and the VPD registers are writable.
        if (vpd_register || at == 0x04 || at == 0x05)
            regs_[at] = buf[i];
    }
    if (other)
        ++other_writes_;
    // Writing the byte that holds the flag starts a transfer.
    if (vpd_cap_ && overlaps(offset, len, vpd_cap_ + 3, 1))
        start_vpd_access(exclusive);
    return len;
}

} // namespace lab
