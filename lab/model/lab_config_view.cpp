#include "lab/model/lab_config_view.h"

#include <algorithm>

#include "lab/model/lab_config_format.h"
#include "lib/utils/byteorder.h"

namespace lab {

namespace {

std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

bool all_erased(const std::vector<uint8_t> &bytes, size_t from, size_t to)
{
    return std::all_of(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to),
                       [](uint8_t b) { return b == 0xFF; });
}

// Where the erased bytes that end [from, to) begin.
size_t erased_tail(const std::vector<uint8_t> &bytes, size_t from, size_t to)
{
    while (to > from && bytes[to - 1] == 0xFF)
        --to;
    return to;
}

const ConfigFirmwareKind *kind_by_tlv_type(unsigned type)
{
    for (const ConfigFirmwareKind &k : CONFIG_FIRMWARE_KINDS)
        if (k.tlv_type == type)
            return &k;
    return nullptr;
}

const ConfigFirmwareKind *kind_by_birch_item(unsigned item, int &port)
{
    for (const ConfigFirmwareKind &k : CONFIG_FIRMWARE_KINDS) {
        const unsigned first = static_cast<unsigned>(k.birch_item);
        const bool phy = k.image_type == IMAGE_TYPE_PHY_FIRMWARE;
        if (k.birch_item >= 0 && item >= first && item < first + (phy ? BIRCH_PHY_PORTS : 1)) {
            port = phy ? static_cast<int>(item - first) : -1;
            return &k;
        }
    }
    return nullptr;
}

std::array<uint16_t, 4> load_version(const uint8_t *p)
{
    return {load_le16(p), load_le16(p + 2), load_le16(p + 4), load_le16(p + 6)};
}

// A dynamic VPD record read on its own terms: tag, length, keywords that
// tile the data, the "RV" checksum last, the End tag.
DynamicVpdView read_vpd(const uint8_t *record, size_t room, int port)
{
    DynamicVpdView view;
    view.port = port;
    if (room < 4 || record[0] != 0x90) {
        view.damage = "no VPD resource";
        return view;
    }
    const size_t end = 3 + load_le16(record + 1);
    if (end >= room) {
        view.damage = "runs past its area";
        return view;
    }
    if (record[end] != 0x78) {
        view.damage = "no end tag";
        return view;
    }
    bool checksum = false;
    for (size_t at = 3; at < end && view.damage.empty();) {
        const size_t next = at + 3 + (at + 2 < end ? record[at + 2] : 0);
        if (checksum || at + 3 > end || next > end) {
            view.damage = checksum ? "a keyword after the checksum" : "keywords run past the end";
            break;
        }
        std::string key(reinterpret_cast<const char *>(record + at), 2);
        if (key == "RV" && next > at + 3) {
            uint8_t sum = 0;
            for (size_t i = 0; i <= at + 3; ++i)
                sum = static_cast<uint8_t>(sum + record[i]);
            checksum = true;
            if (sum != 0)
                view.damage = "bad checksum";
        } else {
            view.keywords.push_back({key, std::string(reinterpret_cast<const char *>(record + at + 3), next - at - 3)});
        }
        at = next;
    }
    if (view.damage.empty() && !checksum)
        view.damage = "no checksum";
    return view;
}

// The first TLV segment at `at`, its total length in `total`; empty when it
// holds together, else why not.
std::string check_tlv_segment(const std::vector<uint8_t> &b, size_t at, size_t &total)
{
    const size_t room = b.size() - at;
    if (room < TLV_MIN_PARTITION)
        return "truncated";
    if (all_erased(b, at, b.size()))
        return "erased";
    if (load_le32(&b[at]) != TLV_HEADER_TAG)
        return "bad magic " + hex(load_le32(&b[at]), 8);
    if (load_le32(&b[at + 4]) != 12)
        return "bad header length " + std::to_string(load_le32(&b[at + 4]));
    total = load_le32(&b[at + TLV_TOTAL_LENGTH_AT]);
    if (total < TLV_MIN_PARTITION || total % 4 != 0 || total > room)
        return "bad total length " + std::to_string(total);
    const size_t trailer = at + total - TLV_TRAILER_SIZE - 4;
    // An interrupted write leaves the end of the segment erased.
    if (load_le32(&b[trailer]) == 0xFFFFFFFF)
        return "truncated, erased from byte " + hex(static_cast<uint32_t>(erased_tail(b, at, trailer + 4)), 0);
    if (load_le32(&b[trailer]) != TLV_TRAILER_TAG || load_le32(&b[trailer + 4]) != 8 ||
        load_le32(&b[at + total - 4]) != TLV_END_TAG)
        return "no trailer at the end";
    for (size_t item = at + TLV_HEADER_SIZE; item < trailer;) {
        item += 8 + (static_cast<size_t>(load_le32(&b[item + 4])) + 3) / 4 * 4;
        if (item > trailer)
            return "items run into the trailer";
    }
    const uint32_t header_generation = load_le32(&b[at + TLV_GENERATION_AT]);
    const uint32_t trailer_generation = load_le32(&b[trailer + 8]);
    if (header_generation != trailer_generation)
        return "generations differ (header " + std::to_string(header_generation) + ", trailer " +
               std::to_string(trailer_generation) + ")";
    uint32_t sum = 0;
    for (size_t i = at; i < at + total; i += 4)
        sum += load_le32(&b[i]);
    return sum == 0 ? "" : "bad checksum";
}

// Walks the items of the valid segment at 0.
template <typename Visit> void for_each_item(const std::vector<uint8_t> &b, size_t total, Visit visit)
{
    const size_t trailer = total - TLV_TRAILER_SIZE - 4;
    for (size_t item = TLV_HEADER_SIZE; item < trailer;) {
        const uint32_t length = load_le32(&b[item + 4]);
        visit(load_le32(&b[item]), &b[item + 8], length);
        item += 8 + (static_cast<size_t>(length) + 3) / 4 * 4;
    }
}

ConfigView read_tlv_frame(const std::vector<uint8_t> &bytes, size_t &total)
{
    ConfigView view;
    view.damage = check_tlv_segment(bytes, 0, total);
    if (!view.damage.empty())
        return view;
    view.generation = load_le32(&bytes[TLV_GENERATION_AT]);
    size_t next_total = 0;
    for (size_t at = 0; at < bytes.size() && check_tlv_segment(bytes, at, next_total).empty(); at += next_total)
        ++view.segments;
    return view;
}

std::string version_text(const std::array<uint16_t, 4> &v)
{
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

std::string value_text(const std::string &value)
{
    bool printable = std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    if (printable)
        return value;
    std::string out = "<";
    for (size_t i = 0; i < value.size(); ++i) {
        if (i)
            out += ' ';
        out += hex(static_cast<unsigned char>(value[i]), 2);
    }
    out += '>';
    return out;
}

std::string vpd_line(const DynamicVpdView &vpd)
{
    std::string line = (vpd.port >= 0 ? "port " + std::to_string(vpd.port) + " " : "") + "VPD: ";
    if (!vpd.damage.empty())
        return line + "damaged: " + vpd.damage;
    std::string family = "none", others;
    for (const VpdField &k : vpd.keywords) {
        // The empty record holds one zero byte there.
        if (k.keyword == KEY_FAMILY)
            family = k.value == std::string(1, '\0') ? "none" : value_text(k.value);
        else
            others += (others.empty() ? "; " : " ") + k.keyword + "=" + value_text(k.value);
    }
    return line + "family " + family + others;
}

} // namespace

ConfigView read_tlv_config(const std::vector<uint8_t> &bytes)
{
    size_t total = 0;
    ConfigView view = read_tlv_frame(bytes, total);
    if (!view.damage.empty())
        return view;
    std::vector<std::pair<unsigned, uint32_t>> subtypes;
    for_each_item(bytes, total, [&](uint32_t tag, const uint8_t *value, uint32_t length) {
        const unsigned low = tag & 0xFFFF;
        if (tag == TAG_GLOBAL_VPD || (tag & 0xFFFF0000) == TAG_PORT_VPD) {
            view.vpds.push_back(read_vpd(value, length, tag == TAG_GLOBAL_VPD ? -1 : static_cast<int>(low)));
        } else if ((tag & 0xFFFF0000) == TAG_VERSION && length >= 8) {
            const ConfigFirmwareKind *kind = kind_by_tlv_type(low);
            view.versions.push_back({kind ? kind->image_type : -1, low, false, -1, load_version(value), {}});
        } else if ((tag & 0xFFFF0000) == TAG_SUBTYPE && length >= 4) {
            subtypes.emplace_back(low, load_le32(value));
        }
    });
    for (RecordedVersion &v : view.versions)
        for (const auto &[type, subtype] : subtypes)
            if (type == v.where)
                v.subtype = subtype;
    return view;
}

ConfigView read_birch_config(const std::vector<uint8_t> &b)
{
    ConfigView view;
    if (b.size() < BIRCH_HEADER_SIZE) {
        view.damage = "truncated";
        return view;
    }
    if (all_erased(b, 0, b.size())) {
        view.damage = "erased";
        return view;
    }
    const uint32_t magic = load_le32(&b[BIRCH_MAGIC_AT]);
    const size_t length = load_le16(&b[BIRCH_LENGTH_AT]);
    const uint32_t count = load_le32(&b[BIRCH_ITEM_COUNT_AT]);
    const size_t vpd_offset = load_le32(&b[BIRCH_VPD_OFFSET_AT]), vpd_length = load_le32(&b[BIRCH_VPD_LENGTH_AT]);
    if (magic != BIRCH_MAGIC)
        view.damage = "bad magic " + hex(magic, 8);
    else if (length < BIRCH_HEADER_SIZE || length > b.size())
        view.damage = "bad header length " + std::to_string(length);
    else if (count > (length - BIRCH_HEADER_SIZE) / BIRCH_ITEM_SIZE)
        view.damage = std::to_string(count) + " items in a header of " + std::to_string(length) + " bytes";
    else if (vpd_offset < length || vpd_offset > b.size() || vpd_length > b.size() - vpd_offset)
        view.damage = "VPD area outside the partition";
    if (!view.damage.empty())
        return view;
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + b[i]);
    if (sum != 0) {
        // An interrupted write leaves the end of what the checksum covers erased.
        const size_t erased = erased_tail(b, BIRCH_HEADER_SIZE, length);
        view.damage = length - erased >= 4 ? "truncated, erased from byte " + hex(static_cast<uint32_t>(erased), 0)
                                           : "bad checksum";
        return view;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *item = &b[BIRCH_HEADER_SIZE + BIRCH_ITEM_SIZE * i];
        RecordedVersion v{-1, i, true, -1, load_version(item + BIRCH_ITEM_VERSION_AT), load_le32(item)};
        if (*v.subtype == BIRCH_NO_SUBTYPE && v.version == std::array<uint16_t, 4>{})
            continue;
        if (const ConfigFirmwareKind *kind = kind_by_birch_item(i, v.port))
            v.image_type = kind->image_type;
        view.versions.push_back(v);
    }
    if (vpd_length)
        view.vpds.push_back(read_vpd(&b[vpd_offset], vpd_length, -1));
    return view;
}

ConfigView read_bundle_metadata(const std::vector<uint8_t> &bytes)
{
    ConfigView view;
    if (bytes.size() >= 8 && all_erased(bytes, 0, 8)) {
        view.erased = true;
        return view;
    }
    size_t total = 0;
    view = read_tlv_frame(bytes, total);
    if (!view.damage.empty())
        return view;
    for_each_item(bytes, total, [&](uint32_t tag, const uint8_t *value, uint32_t length) {
        if ((tag & 0xFFFF0000) == TAG_BUNDLE_COMPONENT && length >= 8) {
            const ConfigFirmwareKind *kind = kind_by_tlv_type(tag & 0xFFFF);
            view.versions.push_back({kind ? kind->image_type : -1, tag & 0xFFFF, false, -1, load_version(value), {}});
        }
    });
    return view;
}

bool read_config_partition(const Adapter &adapter, const Partition &p, const std::vector<uint8_t> &bytes,
                           ConfigView &view)
{
    const bool birch = (adapter.device_id & 0x0F00u) == 0x0800;
    if (p.kind == PART_DYNAMIC_CFG || (p.kind == PART_DYNAMIC_CFG_DEFAULTS && !birch))
        view = birch ? read_birch_config(bytes) : read_tlv_config(bytes);
    else if (p.kind == PART_BUNDLE_METADATA)
        view = read_bundle_metadata(bytes);
    else
        return false;
    return true;
}

std::string recorded_version_text(const RecordedVersion &v)
{
    std::string name;
    for (const ConfigFirmwareKind &k : CONFIG_FIRMWARE_KINDS)
        if (k.image_type == v.image_type && v.image_type >= 0)
            name = partition_kind_name(k.partition_kind);
    if (name.empty())
        name = v.birch_item ? "item " + std::to_string(v.where) : "partition type " + hex(v.where, 4);
    if (v.port >= 0)
        name += " of port " + std::to_string(v.port);
    return name + " " + version_text(v.version) + (v.subtype ? ", subtype " + hex(*v.subtype, 2) : "");
}

std::vector<std::string> config_lines(const std::string &id, const ConfigView &view)
{
    if (view.erased)
        return {id + ": erased, no component versions"};
    if (!view.damage.empty())
        return {id + ": damaged: " + view.damage};
    std::string head = id + ": ";
    if (view.generation)
        head += "generation " + std::to_string(*view.generation) + ", " + std::to_string(view.segments) +
                (view.segments == 1 ? " segment" : " segments");
    else
        head += "Birch layout";
    std::vector<std::string> lines = {head};
    for (const RecordedVersion &v : view.versions)
        lines.push_back("  " + recorded_version_text(v));
    for (const DynamicVpdView &vpd : view.vpds)
        lines.push_back("  " + vpd_line(vpd));
    return lines;
}

} // namespace lab
