#include "lab/model/lab_vpd.h"

#include <stdexcept>

namespace lab {

namespace {

constexpr uint8_t TAG_ID_STRING = 0x82;
constexpr uint8_t TAG_READ_ONLY = 0x90;
constexpr uint8_t TAG_READ_WRITE = 0x91;
constexpr uint8_t TAG_END = 0x78;

void put_large_resource(std::vector<uint8_t> &out, uint8_t tag, size_t length)
{
    if (length > 0xFFFF)
        throw std::runtime_error("VPD resource too long");
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
}

std::vector<uint8_t> field_bytes(const std::vector<VpdField> &fields)
{
    std::vector<uint8_t> out;
    for (const VpdField &f : fields) {
        out.insert(out.end(), f.keyword.begin(), f.keyword.end());
        out.push_back(static_cast<uint8_t>(f.value.size()));
        out.insert(out.end(), f.value.begin(), f.value.end());
    }
    return out;
}

} // namespace

std::vector<uint8_t> build_vpd(const Vpd &vpd)
{
    std::vector<uint8_t> out;
    if (!vpd.present)
        return out;
    // Images are usually padded so that the end tag starts a 32-bit word;
    // some are not, and leave it in the middle of one.
    const size_t end_at = vpd.end_in_word ? 2 : 0;
    put_large_resource(out, TAG_ID_STRING, vpd.id_string.size());
    out.insert(out.end(), vpd.id_string.begin(), vpd.id_string.end());

    // "RV" closes the read-only resource: its first data byte makes the sum
    // of every byte up to it zero; reserved bytes after it pad the image.
    // With a read-write resource after it, that one's "RW" field pads.
    const bool writable = !vpd.writable_fields.empty();
    std::vector<uint8_t> fields = field_bytes(vpd.fields);
    size_t rv_start = out.size() + 3 + fields.size();
    size_t rv_len = 1;
    while (!writable && (rv_start + 3 + rv_len) % 4 != end_at)
        ++rv_len;
    put_large_resource(out, TAG_READ_ONLY, fields.size() + 3 + rv_len);
    out.insert(out.end(), fields.begin(), fields.end());
    out.push_back('R');
    out.push_back('V');
    out.push_back(static_cast<uint8_t>(rv_len));
    uint8_t sum = 0;
    for (uint8_t b : out)
        sum = static_cast<uint8_t>(sum + b);
    out.push_back(static_cast<uint8_t>(-sum));
    out.insert(out.end(), rv_len - 1, 0);

    if (writable) {
        std::vector<uint8_t> rw_fields = field_bytes(vpd.writable_fields);
        size_t rw_start = out.size() + 3 + rw_fields.size();
        size_t rw_len = 0;
        while ((rw_start + 3 + rw_len) % 4 != end_at)
            ++rw_len;
        put_large_resource(out, TAG_READ_WRITE, rw_fields.size() + 3 + rw_len);
        out.insert(out.end(), rw_fields.begin(), rw_fields.end());
        out.push_back('R');
        out.push_back('W');
        out.push_back(static_cast<uint8_t>(rw_len));
        out.insert(out.end(), rw_len, 0);
    }
    if (vpd.end_tag)
        out.push_back(TAG_END);
    if (out.size() > VPD_ADDRESS_SPACE)
        throw std::runtime_error("VPD larger than its address space");
    return out;
}

std::vector<uint8_t> eeprom_contents(const Adapter &adapter)
{
    std::vector<uint8_t> eeprom = adapter.eeprom.empty() ? build_vpd(adapter.vpd) : adapter.eeprom;
    if (eeprom.size() > adapter.vpd_eeprom_size)
        throw std::runtime_error("the VPD of " + adapter.product + " is larger than its EEPROM");
    // What the image leaves free is erased.
    eeprom.resize(adapter.vpd_eeprom_size, 0xFF);
    return eeprom;
}

size_t vpd_length(const std::vector<uint8_t> &eeprom)
{
    size_t pos = 0;
    while (pos < eeprom.size()) {
        uint8_t tag = eeprom[pos];
        if (tag == TAG_END)
            return pos + 1;
        size_t next = tag & 0x80 ? (pos + 3 < eeprom.size() ? pos + 3 + (eeprom[pos + 1] | eeprom[pos + 2] << 8)
                                                            : eeprom.size() + 1)
                                 : pos + 1 + (tag & 7u);
        // Without an end tag the VPD ends where erased bytes or a
        // resource running past the EEPROM begin.
        if (tag == 0xFF || next > eeprom.size())
            return pos;
        pos = next;
    }
    return pos;
}

size_t vpd_sysfs_size(const Adapter &adapter)
{
    return adapter.vpd_sysfs_size ? adapter.vpd_sysfs_size : vpd_length(eeprom_contents(adapter));
}

} // namespace lab
