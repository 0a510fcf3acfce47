// The configurations the preset adapters carry: the dynamic configuration
// recording the firmware in their flash, its factory defaults, the bundle
// metadata and the static configuration with the VPD.  TLV partitions and
// VPD records are built with qsupdate's own format libraries, so that the
// lab and the product cannot drift apart silently.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "lab/model/lab_model.h"

namespace lab {

// A firmware image in an adapter's flash: what its configuration records.
struct FlashFirmware {
    int image_type;
    uint32_t subtype;
    std::string version; // "A.B.C.D"
    int port = -1;       // a port's own firmware (Birch PHY), else -1
};

// Stored generations of the presets' TLV configurations: a dynamic
// configuration in use for a while (every sync adds two), the factory's
// defaults and static configuration written once.
constexpr uint32_t PRESET_DYNAMIC_GENERATION = 24;
constexpr uint32_t PRESET_DEFAULTS_GENERATION = 6;
constexpr uint32_t PRESET_STATIC_GENERATION = 2;

// The whole partition: a TLV static configuration with the VPD in the
// item of each port.
std::vector<uint8_t> bd20_static_config(const std::vector<uint8_t> &vpd, size_t ports, uint32_t size);

// Fills the adapter's dynamic configurations (one per port on Birch),
// their factory defaults and the bundle metadata (erased, or naming the
// version of every firmware kind in flash) from the firmware in flash.
void fill_preset_configs(Adapter &adapter, const std::vector<FlashFirmware> &firmware, bool bundle_components);

// Damage `qslab create --damaged-config` gives an adapter's dynamic
// configurations (every port's on Birch); the defaults are left alone.
enum class ConfigDamage { bad_checksum, bad_generation, truncated_segment, blank };

// false for a name that is none of "bad-checksum", "bad-generation",
// "truncated-segment", "blank".
bool config_damage_from_name(const std::string &name, ConfigDamage &damage);
extern const char CONFIG_DAMAGE_NAMES[];

// Throws std::runtime_error for an adapter without a dynamic configuration
// and for bad-generation on Birch, whose layout has no generation.
void damage_dynamic_config(Adapter &adapter, ConfigDamage damage);

// Bundle metadata naming its components' versions by partition type, at
// the stored generation given: the whole partition.
struct BundleComponent {
    uint16_t partition_type;
    std::array<uint16_t, 4> version;
};
std::vector<uint8_t> bundle_metadata_partition(uint32_t size, const std::vector<BundleComponent> &components,
                                               uint32_t generation);

// Makes the adapter's dynamic configurations as rich as a board in use:
// setting items besides the versions and a second segment (TLV layout),
// setting keywords in the dynamic VPD (Birch); `qslab create
// --rich-config`.
void enrich_dynamic_config(Adapter &adapter);

} // namespace lab
