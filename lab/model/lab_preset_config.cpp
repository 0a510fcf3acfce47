// Preset configurations.  The TLV frame, its checksum and generations, and
// the VPD records with their "RV" checksum come from qsupdate's libraries;
// which items and keywords they hold is the lab's own account of the
// firmware (lab_config_format.h).  The Birch header is written here.
#include "lab/model/lab_preset_config.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "lab/model/lab_config_format.h"
#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_flash.h"
#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/vpd.h"

namespace lab {

namespace {

// A fixed area at the end of the partition, as the firmware reserves it.
constexpr uint32_t BIRCH_VPD_AREA = 256;

constexpr uint16_t OEM_VENDOR_HP = 0x103C;
constexpr uint16_t OEM_VENDOR_IBM = 0x1014;
constexpr uint16_t NO_FAMILY_COPY_DEVICE = 0x80AB; // of vendor 0x103C

bool is_birch(const Adapter &a) { return (a.device_id & 0x0F00u) == 0x0800; }

void require(bool ok, const char *what)
{
    if (!ok)
        throw std::logic_error(std::string("preset configuration: ") + what);
}

const ConfigFirmwareKind &config_kind(int image_type)
{
    for (const ConfigFirmwareKind &k : CONFIG_FIRMWARE_KINDS)
        if (k.image_type == image_type)
            return k;
    throw std::logic_error("preset configuration: no record of image type " + std::to_string(image_type));
}

std::array<uint16_t, 4> version_words(const std::string &text)
{
    std::array<unsigned, 4> v = parse_version(text, 0x10000);
    return {static_cast<uint16_t>(v[0]), static_cast<uint16_t>(v[1]), static_cast<uint16_t>(v[2]),
            static_cast<uint16_t>(v[3])};
}

std::vector<uint8_t> le_version(const std::string &text)
{
    std::vector<uint8_t> bytes(8);
    std::array<uint16_t, 4> v = version_words(text);
    for (size_t i = 0; i < 4; ++i)
        store_le16(&bytes[2 * i], v[i]);
    return bytes;
}

std::vector<uint8_t> le_word(uint32_t value)
{
    std::vector<uint8_t> bytes(4);
    store_le32(bytes.data(), value);
    return bytes;
}

using Items = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

// A TLV partition over the whole of `size` bytes: an empty frame, the
// items appended in order, then the generation.
std::vector<uint8_t> tlv_partition(uint16_t type, uint32_t size, const Items &items, uint32_t generation)
{
    std::vector<uint32_t> words(size / 4);
    uint8_t *bytes = reinterpret_cast<uint8_t *>(words.data());
    require(tlv_init_dynamic_config_buf(words.data(), size) == TLV_OK, "empty partition");
    nvram_partition_t partition;
    if (type != TLV_TYPE_DYNAMIC_CONFIG) {
        // The library frames dynamic configurations; others take their type.
        require(tlv_init_partition_from_buffer(&partition, words.data(), size) == 0, "frame");
        store_le16(bytes + 8, type);
        tlv_rewind(&partition.tlv_cursor);
        require(tlv_update_partition_len_and_cks(&partition.tlv_cursor) == TLV_OK, "type");
    }
    require(tlv_init_partition_from_buffer(&partition, words.data(), size) == 0, "frame");
    for (const auto &[tag, value] : items)
        require(tlv_append_to_partition(&partition, tag, value.data(), value.size()) == TLV_OK, "item");
    require(tlv_set_partition_generation(&partition, generation - 1) == 0, "generation");
    return std::vector<uint8_t>(bytes, bytes + size);
}

const FlashFirmware *find_firmware(const std::vector<FlashFirmware> &firmware, int image_type)
{
    for (const FlashFirmware &f : firmware)
        if (f.image_type == image_type && f.port < 0)
            return &f;
    return nullptr;
}

// The dynamic VPD: the family version, and the version texts the
// subsystem vendor's tools read.
std::vector<uint8_t> dynamic_vpd(const Adapter &a, const std::vector<FlashFirmware> &firmware)
{
    std::vector<uint8_t> record(512);
    std::memcpy(record.data(), vpd_dynamic_init, VPD_DYNAMIC_INIT_LEN);
    auto set = [&](const char *key, const std::string &value) {
        require(vpd_set(record.data(), record.size(), key[0], key[1], value.data(), value.size()) == 0, "keyword");
    };
    const std::string &family = a.firmware_version;
    if (a.subsystem_vendor_id != OEM_VENDOR_HP || a.subsystem_device_id != NO_FAMILY_COPY_DEVICE)
        set(KEY_FAMILY_COPY, family);
    set(KEY_FAMILY, family);
    auto oem_version = [&](const char *key, int image_type) {
        if (const FlashFirmware *f = find_firmware(firmware, image_type)) {
            require(f->version.size() <= OEM_VERSION_TEXT_MAX, "OEM version text over 16 characters");
            set(key, f->version);
        }
    };
    if (a.subsystem_vendor_id == OEM_VENDOR_HP) {
        oem_version("V1", 12);
        oem_version("V6", 2);
        oem_version("V3", 3);
    } else if (a.subsystem_vendor_id == OEM_VENDOR_IBM) {
        if (const FlashFirmware *f = find_firmware(firmware, 3))
            set("V1", f->version);
    }
    record.resize(vpd_used_len(record.data()));
    return record;
}

std::vector<uint8_t> bd20_dynamic_config(const Adapter &a, uint32_t size, const std::vector<FlashFirmware> &firmware,
                                         const std::vector<uint8_t> &vpd, uint32_t generation)
{
    Items items;
    if ((a.device_id & 0x0F00u) == 0x0900) {
        for (const Port &p : a.ports)
            items.emplace_back(TAG_PORT_VPD + port_index_of(p.pci_addr), vpd);
    } else {
        items.emplace_back(TAG_GLOBAL_VPD, vpd);
    }
    for (const FlashFirmware &f : firmware) {
        const ConfigFirmwareKind &kind = config_kind(f.image_type);
        require(kind.tlv_type != 0 && f.port < 0, "firmware the TLV layout does not record");
        items.emplace_back(TAG_VERSION + kind.tlv_type, le_version(f.version));
        items.emplace_back(TAG_SUBTYPE + kind.tlv_type, le_word(f.subtype));
    }
    return tlv_partition(TLV_TYPE_DYNAMIC_CONFIG, size, items, generation);
}

// One port's configuration: its adapter's firmware and its own PHY.
std::vector<uint8_t> birch_dynamic_config(uint32_t size, const std::vector<FlashFirmware> &firmware, int port,
                                          unsigned port_index, const std::vector<uint8_t> &vpd)
{
    std::map<size_t, const FlashFirmware *> recorded;
    for (const FlashFirmware &f : firmware) {
        if (f.port >= 0 && f.port != port)
            continue;
        const ConfigFirmwareKind &kind = config_kind(f.image_type);
        require(kind.birch_item >= 0, "firmware Birch does not record");
        recorded[static_cast<size_t>(kind.birch_item) + (f.image_type == IMAGE_TYPE_PHY_FIRMWARE ? port_index : 0)] =
            &f;
    }
    const size_t count = recorded.empty() ? 0 : recorded.rbegin()->first + 1;
    const size_t length = BIRCH_HEADER_SIZE + BIRCH_ITEM_SIZE * count;
    require(length + BIRCH_VPD_AREA <= size && vpd.size() <= BIRCH_VPD_AREA, "Birch layout");
    std::vector<uint8_t> out(size, 0xFF);
    std::fill(out.begin(), out.begin() + static_cast<long>(length), 0);
    for (size_t i = 0; i < count; ++i) {
        uint8_t *item = &out[BIRCH_HEADER_SIZE + BIRCH_ITEM_SIZE * i];
        auto it = recorded.find(i);
        store_le32(item + BIRCH_ITEM_SUBTYPE_AT, it == recorded.end() ? BIRCH_NO_SUBTYPE : it->second->subtype);
        if (it == recorded.end())
            continue;
        std::array<uint16_t, 4> v = version_words(it->second->version);
        for (size_t w = 0; w < 4; ++w)
            store_le16(item + BIRCH_ITEM_VERSION_AT + 2 * w, v[w]);
    }
    const uint32_t vpd_offset = size - BIRCH_VPD_AREA;
    std::copy(vpd.begin(), vpd.end(), out.begin() + vpd_offset);
    store_le32(&out[BIRCH_MAGIC_AT], BIRCH_MAGIC);
    store_le16(&out[BIRCH_LENGTH_AT], static_cast<uint16_t>(length));
    out[BIRCH_VERSION_AT] = 0;
    store_le32(&out[BIRCH_VPD_OFFSET_AT], vpd_offset);
    store_le32(&out[BIRCH_VPD_LENGTH_AT], BIRCH_VPD_AREA);
    store_le32(&out[BIRCH_ITEM_COUNT_AT], static_cast<uint32_t>(count));
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + out[i]);
    out[BIRCH_CSUM_AT] = static_cast<uint8_t>(-sum);
    return out;
}

std::vector<uint8_t> bundle_metadata(uint32_t size, const std::vector<FlashFirmware> &firmware)
{
    std::vector<BundleComponent> components;
    for (const FlashFirmware &f : firmware)
        components.push_back({config_kind(f.image_type).tlv_type, version_words(f.version)});
    return bundle_metadata_partition(size, components, PRESET_DEFAULTS_GENERATION);
}

struct DamageName {
    const char *name;
    ConfigDamage damage;
};
const DamageName DAMAGE_NAMES[] = {
    {"bad-checksum", ConfigDamage::bad_checksum},
    {"bad-generation", ConfigDamage::bad_generation},
    {"truncated-segment", ConfigDamage::truncated_segment},
    {"blank", ConfigDamage::blank},
};

void add_to_le32(std::vector<uint8_t> &bytes, size_t at, uint32_t delta)
{
    store_le32(&bytes[at], load_le32(&bytes[at]) + delta);
}

} // namespace

const char CONFIG_DAMAGE_NAMES[] = "bad-checksum, bad-generation, truncated-segment, blank";

unsigned port_index_of(const std::string &pci_addr)
{
    unsigned domain, bus, device, function;
    if (std::sscanf(pci_addr.c_str(), "%x:%x:%x.%x", &domain, &bus, &device, &function) != 4)
        throw std::logic_error("bad PCI address " + pci_addr);
    return device * 8 + function;
}

std::vector<uint8_t> bd20_static_config(const std::vector<uint8_t> &vpd, size_t ports, uint32_t size)
{
    Items items;
    for (size_t port = 0; port < ports; ++port)
        items.emplace_back(TAG_STATIC_VPD + static_cast<uint32_t>(port), vpd);
    return tlv_partition(TLV_TYPE_STATIC_CONFIG, size, items, PRESET_STATIC_GENERATION);
}

void fill_preset_configs(Adapter &a, const std::vector<FlashFirmware> &firmware, bool bundle_components)
{
    const std::vector<uint8_t> vpd = dynamic_vpd(a, firmware);
    for (Partition &p : a.partitions) {
        if (p.kind == PART_DYNAMIC_CFG && is_birch(a)) {
            const int port = static_cast<int>(p.mtd_ports.at(0));
            p.initial_contents = birch_dynamic_config(p.size, firmware, port,
                                                      port_index_of(a.ports.at(static_cast<size_t>(port)).pci_addr), vpd);
        } else if (p.kind == PART_DYNAMIC_CFG || p.kind == PART_DYNAMIC_CFG_DEFAULTS) {
            // The defaults are what the factory wrote: the same firmware,
            // an earlier generation.
            p.initial_contents = bd20_dynamic_config(
                a, p.size, firmware, vpd,
                p.kind == PART_DYNAMIC_CFG ? PRESET_DYNAMIC_GENERATION : PRESET_DEFAULTS_GENERATION);
        } else if (p.kind == PART_BUNDLE_METADATA && bundle_components) {
            p.initial_contents = bundle_metadata(p.size, firmware);
        }
    }
}

bool config_damage_from_name(const std::string &name, ConfigDamage &damage)
{
    for (const DamageName &d : DAMAGE_NAMES)
        if (name == d.name) {
            damage = d.damage;
            return true;
        }
    return false;
}

void damage_dynamic_config(Adapter &a, ConfigDamage damage)
{
    const bool birch = is_birch(a);
    if (birch && damage == ConfigDamage::bad_generation)
        throw std::runtime_error(a.preset + " configurations have no generation");
    bool any = false;
    for (Partition &p : a.partitions) {
        if (p.kind != PART_DYNAMIC_CFG)
            continue;
        any = true;
        std::vector<uint8_t> &bytes = p.initial_contents;
        bytes.resize(p.size, 0xFF);
        const size_t total = birch ? load_le16(&bytes[BIRCH_LENGTH_AT]) : load_le32(&bytes[TLV_TOTAL_LENGTH_AT]);
        switch (damage) {
        case ConfigDamage::bad_checksum:
            if (birch)
                ++bytes[BIRCH_CSUM_AT];
            else
                add_to_le32(bytes, total - 8, 1);
            break;
        case ConfigDamage::bad_generation:
            // Only the generations disagree: the checksum still closes.
            add_to_le32(bytes, total - TLV_TRAILER_SIZE - 4 + 8, 1);
            add_to_le32(bytes, total - 8, 0xFFFFFFFF);
            break;
        case ConfigDamage::truncated_segment:
            // An interrupted write: the first half went in, the rest stays erased.
            std::fill(bytes.begin() + static_cast<long>(total / 2 / 4 * 4), bytes.end(), 0xFF);
            break;
        case ConfigDamage::blank:
            std::fill(bytes.begin(), bytes.end(), 0xFF);
            break;
        }
    }
    if (!any)
        throw std::runtime_error(a.preset + " adapters have no dynamic configuration");
}

void enrich_dynamic_config(Adapter &a)
{
    const bool birch = is_birch(a);
    // Settings the adapter's own tools keep beside the versions.
    const Items settings = {{TAG_LAB_SETTING, {'b', 'o', 'o', 't', '=', 'p', 'x', 'e', 0, 0, 0, 0}},
                            {TAG_LAB_SETTING + 1, le_word(0x5EC0DD)}};
    for (Partition &p : a.partitions) {
        if (p.kind != PART_DYNAMIC_CFG)
            continue;
        std::vector<uint8_t> &bytes = p.initial_contents;
        if (birch) {
            // The VPD area lies outside the header's checksum.
            uint8_t *record = &bytes[load_le32(&bytes[BIRCH_VPD_OFFSET_AT])];
            const size_t room = load_le32(&bytes[BIRCH_VPD_LENGTH_AT]);
            require(vpd_set(record, room, 'Y', 'A', "lab-setting-a", 13) == 0 &&
                        vpd_set(record, room, 'Y', 'B', "lab-setting-b", 13) == 0,
                    "setting keywords");
            continue;
        }
        nvram_partition_t first;
        require(tlv_init_partition_from_buffer(&first, bytes.data(), bytes.size()) == 0, "first segment");
        const uint32_t generation = load_le32(&bytes[TLV_GENERATION_AT]);
        Items items;
        tlv_cursor_t *c = &first.tlv_cursor;
        for (tlv_rewind(c); tlv_tag(c) != TLV_END_TAG; tlv_advance(c))
            if (tlv_tag(c) != TLV_HEADER_TAG && tlv_tag(c) != TLV_TRAILER_TAG)
                items.emplace_back(tlv_tag(c), std::vector<uint8_t>(tlv_value(c), tlv_value(c) + tlv_length(c)));
        Items rich = items;
        rich.insert(rich.end(), settings.begin(), settings.end());
        std::vector<uint8_t> out = tlv_partition(TLV_TYPE_DYNAMIC_CONFIG, p.size, rich, generation);
        // A second segment right behind the first, as the controller may
        // keep: the versions again and a setting of its own.
        const uint32_t used = load_le32(&out[TLV_TOTAL_LENGTH_AT]);
        items.emplace_back(TAG_LAB_SETTING + 2, le_word(0x5EC0D2));
        const std::vector<uint8_t> second = tlv_partition(TLV_TYPE_DYNAMIC_CONFIG, p.size - used, items, generation);
        std::copy(second.begin(), second.begin() + load_le32(&second[TLV_TOTAL_LENGTH_AT]), out.begin() + used);
        bytes = out;
    }
}

std::vector<uint8_t> bundle_metadata_partition(uint32_t size, const std::vector<BundleComponent> &components,
                                               uint32_t generation)
{
    Items items;
    for (const BundleComponent &c : components) {
        std::vector<uint8_t> version(8);
        for (size_t i = 0; i < 4; ++i)
            store_le16(&version[2 * i], c.version[i]);
        items.emplace_back(TAG_BUNDLE_COMPONENT + c.partition_type, version);
    }
    return tlv_partition(TLV_TYPE_BUNDLE_METADATA, size, items, generation);
}

} // namespace lab
