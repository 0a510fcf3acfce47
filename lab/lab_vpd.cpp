#include "lab/lab_vpd.h"

#include <stdexcept>

namespace lab {

namespace {

constexpr uint8_t TAG_ID_STRING = 0x82;
constexpr uint8_t TAG_READ_ONLY = 0x90;
constexpr uint8_t TAG_END = 0x78;

void put_large_resource(std::vector<uint8_t> &out, uint8_t tag, size_t length)
{
    if (length > 0xFFFF)
        throw std::runtime_error("VPD resource too long");
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
}

} // namespace

std::vector<uint8_t> build_vpd(const Vpd &vpd)
{
    std::vector<uint8_t> out;
    if (!vpd.present)
        return out;
    put_large_resource(out, TAG_ID_STRING, vpd.id_string.size());
    out.insert(out.end(), vpd.id_string.begin(), vpd.id_string.end());

    std::vector<uint8_t> fields;
    for (const VpdField &f : vpd.fields) {
        fields.insert(fields.end(), f.keyword.begin(), f.keyword.end());
        fields.push_back(static_cast<uint8_t>(f.value.size()));
        fields.insert(fields.end(), f.value.begin(), f.value.end());
    }
    // "RV" closes the read-only resource: its first data byte makes the sum
    // of every byte up to it zero; reserved bytes pad the resource so that
    // it ends on a 32-bit boundary, as EEPROM images are laid out.
    size_t rv_start = out.size() + 3 + fields.size();
    size_t rv_len = 1;
    while ((rv_start + 3 + rv_len) % 4 != 0)
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
    if (vpd.end_tag)
        out.push_back(TAG_END);
    if (out.size() > VPD_ADDRESS_SPACE)
        throw std::runtime_error("VPD larger than its address space");
    return out;
}

} // namespace lab
