// The lab's own reading of an adapter's configurations, for `qslab show`
// and the tests: what they record, or plainly why they cannot be read.
// It shares no code with qsupdate's readers.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "lab/model/lab_model.h"

namespace lab {

struct RecordedVersion {
    int image_type = -1;      // -1: a partition type or item index the lab does not know
    unsigned where = 0;       // its partition type (TLV layout) or item index (Birch)
    bool birch_item = false;
    int port = -1;            // the port index of a Birch PHY item
    std::array<uint16_t, 4> version{};
    std::optional<uint32_t> subtype;
};

struct DynamicVpdView {
    int port = -1;            // the port index of a per-port item; -1: the adapter's
    std::string damage;       // empty when it reads
    std::vector<VpdField> keywords; // in record order, without "RV"
};

struct ConfigView {
    std::string damage; // empty when it reads: "bad checksum", "erased", ...
    std::optional<uint32_t> generation; // TLV layout
    unsigned segments = 0;              // TLV layout, valid ones back to back
    bool erased = false;                // bundle metadata holding nothing
    std::vector<RecordedVersion> versions; // bundle metadata: its components
    std::vector<DynamicVpdView> vpds;
};

// A TLV dynamic configuration (its first segment), a Birch one, bundle
// metadata; `bytes` is the whole partition.
ConfigView read_tlv_config(const std::vector<uint8_t> &bytes);
ConfigView read_birch_config(const std::vector<uint8_t> &bytes);
ConfigView read_bundle_metadata(const std::vector<uint8_t> &bytes);
// Which of them a partition of the adapter is; false for other partitions.
bool read_config_partition(const Adapter &adapter, const Partition &partition, const std::vector<uint8_t> &bytes,
                           ConfigView &view);

// "controller firmware 7.4.3.1008, subtype 0x25", "UEFI ROM 3.1.0.6".
std::string recorded_version_text(const RecordedVersion &version);

// The lines `qslab show` prints for one configuration partition.
std::vector<std::string> config_lines(const std::string &id, const ConfigView &view);

} // namespace lab
