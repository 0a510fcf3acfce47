// The adapter's serial number: found among the read-only VPD fields.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "lib/utils/byteorder.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr uint8_t VPD_END_TAG = 0x78;
constexpr uint8_t VPD_LARGE_RESOURCE = 0x80;
constexpr uint8_t VPD_READ_ONLY = 0x90;
constexpr size_t VPD_FIELD_HEADER = 3; // two keyword bytes, one length byte

bool is_serial_keyword(const uint8_t *keyword)
{
    return (keyword[0] == 'S' && keyword[1] == 'N') || (keyword[0] == 'V' && keyword[1] == 'E');
}

// Searches the fields of one read-only resource; true when one was taken.
bool take_serial_field(qsu_device *dev, const uint8_t *data, size_t len)
{
    size_t pos = 0;
    while (pos + VPD_FIELD_HEADER <= len) {
        const uint8_t *field = data + pos;
        size_t field_len = field[2];
        if (pos + VPD_FIELD_HEADER + field_len > len)
            return false;
        if (is_serial_keyword(field)) {
            const char *text = reinterpret_cast<const char *>(field + VPD_FIELD_HEADER);
            std::string candidate(text, strnlen(text, field_len));
            if (qsu_is_quillstone_serial(candidate.c_str())) {
                static_assert(sizeof dev->serial_number == 25);
                std::memcpy(dev->serial_number, candidate.c_str(), candidate.size() + 1);
                return true;
            }
        }
        pos += VPD_FIELD_HEADER + field_len;
    }
    return false;
}

} // namespace

bool qsu_is_quillstone_serial(const char *text)
{
    QS_ASSERT(text);
    size_t len = std::strlen(text);
    if (len == 24) {
        for (size_t i = 0; i < len; ++i)
            if (!std::isdigit(static_cast<unsigned char>(text[i])))
                return false;
        return true;
    }
    return len == 12 && text[0] == 'S' && text[5] == 'R';
}

void get_qs_serial_vpd(qsu_device *dev, const uint8_t *vpd, size_t vpd_len)
{
    size_t pos = 0;
    while (pos < vpd_len) {
        uint8_t tag = vpd[pos];
        if (tag == VPD_END_TAG)
            return;
        size_t data_pos, len;
        if (tag & VPD_LARGE_RESOURCE) {
            if (pos + 3 > vpd_len)
                return;
            len = load_le16(vpd + pos + 1);
            data_pos = pos + 3;
        } else {
            len = tag & 7u;
            data_pos = pos + 1;
        }
        if (len == 0)
            return;
        // A resource cut off by the end of the VPD is searched only as far
        // as its bytes go.
        size_t available = data_pos < vpd_len ? std::min(len, vpd_len - data_pos) : 0;
        if (tag == VPD_READ_ONLY && take_serial_field(dev, vpd + data_pos, available))
            return;
        pos = data_pos + len;
    }
}
