#include "lab/controller/lab_mc_reset.h"

#include <algorithm>
#include <array>
#include <optional>

#include "lab/controller/lab_mc_verdict.h"
#include "lab/flash/lab_run.h"
#include "lab/model/lab_config_view.h"
#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_config.h"
#include "lab/model/lab_preset_flash.h"
#include "lib/utils/byteorder.h"

namespace lab::mc {

namespace {

// The controller's partition type of the bundle, its key in the metadata.
constexpr uint16_t BUNDLE_PARTITION_TYPE = 0x1E00;

// Offset and length of a chunk's data, from its header at `at`.
bool chunk_at(const Flash &flash, uint64_t at, uint64_t &offset, uint64_t &length)
{
    std::array<uint8_t, CHUNK_HEADER_SIZE> h;
    if (!flash.peek(at, h))
        return false;
    offset = load_le32(&h[CHUNK_OFFSET_AT]);
    length = load_le32(&h[CHUNK_LEN_AT]);
    return true;
}

// Where the image's reflash header lies: at the start of a plain image,
// or in the signed layout's chunk 1, whose header follows the data of
// chunk 0, whose header is the partition's last 32 bytes.
bool image_header(const Flash &flash, ImageForm form, PlainImageHeader &header)
{
    uint64_t at = 0, length = PLAIN_HEADER_SIZE;
    if (form == ImageForm::signed_image) {
        uint64_t cms_at, cms_len;
        if (!chunk_at(flash, flash.partition().size - CHUNK_HEADER_SIZE, cms_at, cms_len) ||
            !chunk_at(flash, cms_at + cms_len, at, length))
            return false;
    }
    std::vector<uint8_t> bytes(std::min<uint64_t>(length, PLAIN_HEADER_SIZE));
    return flash.peek(at, bytes) && read_plain_header(bytes, header);
}

// The version of the whole image a partition holds, or none.
std::optional<std::array<uint16_t, 4>> held_version(LabRun &lab, size_t adapter, size_t index, uint32_t type)
{
    std::vector<uint8_t> bytes(lab.state().adapters.at(adapter).partitions.at(index).size);
    PlainImageHeader header;
    if (!lab.flash(adapter, index).peek(0, bytes) ||
        !(whole_code_at(bytes, 0, header) || whole_code_at(bytes, PLAIN_HEADER_SIZE, header)) || header.type != type)
        return std::nullopt;
    const std::array<unsigned, 4> v = parse_version(header.version, 0x10000);
    return std::array<uint16_t, 4>{uint16_t(v[0]), uint16_t(v[1]), uint16_t(v[2]), uint16_t(v[3])};
}

// A controller that starts unpacks the bundle its partition holds and
// records in the bundle metadata the bundle's version and, for each
// component the metadata names, the version its partition now holds (a
// lab bundle carries no components of its own: they stay as they were).
void apply_bundle(LabRun &lab, size_t adapter)
{
    const std::vector<Partition> &parts = lab.state().adapters.at(adapter).partitions;
    auto find = [&](unsigned kind) {
        return static_cast<size_t>(std::find_if(parts.begin(), parts.end(), [&](const Partition &p) {
                                       return p.kind == kind;
                                   }) - parts.begin());
    };
    const size_t bundle = find(PART_BUNDLE), metadata = find(PART_BUNDLE_METADATA);
    // Only a bundle written since the controller last started is new to it.
    if (bundle == parts.size() || metadata == parts.size() ||
        (parts[bundle].last_run.writes == 0 && parts[bundle].last_run.erases == 0))
        return;
    const auto version = held_version(lab, adapter, bundle, static_cast<uint32_t>(partition_image_type(PART_BUNDLE)));
    if (!version)
        return;
    Flash &meta = lab.flash(adapter, metadata);
    std::vector<uint8_t> bytes(parts[metadata].size);
    if (!meta.peek(0, bytes))
        return;
    const ConfigView view = read_bundle_metadata(bytes);
    std::vector<BundleComponent> components = {{BUNDLE_PARTITION_TYPE, *version}};
    if (view.damage.empty())
        for (const RecordedVersion &c : view.versions) {
            if (c.where == BUNDLE_PARTITION_TYPE && c.version == *version)
                return; // already what it describes
            if (c.where == BUNDLE_PARTITION_TYPE)
                continue;
            auto held = parts.end();
            if (c.image_type >= 0)
                held = std::find_if(parts.begin(), parts.end(), [&](const Partition &p) {
                    return p.mcdi_type == c.where && partition_image_type(p.kind) == c.image_type;
                });
            const auto now = held == parts.end() ? std::nullopt
                                                 : held_version(lab, adapter, static_cast<size_t>(held - parts.begin()),
                                                                static_cast<uint32_t>(c.image_type));
            components.push_back({static_cast<uint16_t>(c.where), now ? *now : c.version});
        }
    const uint32_t generation = view.generation ? *view.generation + 1 : 1;
    bytes = bundle_metadata_partition(parts[metadata].size, components, generation);
    const Partition &p = parts[metadata];
    if (meta.erase(0, p.erase_size == 1 ? p.size : p.size / p.erase_size * p.erase_size, {}, false) != 0 ||
        meta.program(0, bytes, {}, false) != static_cast<ssize_t>(bytes.size()))
        return;
    lab.events().record("adapter " + std::to_string(adapter + 1) + " unpacks bundle " +
                        std::to_string((*version)[0]) + "." + std::to_string((*version)[1]) + "." +
                        std::to_string((*version)[2]) + "." + std::to_string((*version)[3]) +
                        ": the bundle metadata names it and what its components' partitions hold");
}

} // namespace

std::string reset_controller(LabRun &lab, size_t adapter)
{
    apply_bundle(lab, adapter);
    Adapter &a = lab.state().adapters.at(adapter);
    const std::vector<Partition> &parts = a.partitions;
    auto mcfw = std::find_if(parts.begin(), parts.end(), [](const Partition &p) { return p.kind == PART_MCFW; });
    if (mcfw == parts.end())
        return "";
    const Flash &flash = lab.flash(adapter, static_cast<size_t>(mcfw - parts.begin()));
    const std::string who = "adapter " + std::to_string(adapter + 1) + " ";
    const ImageForm form = image_form(flash);
    const Verdict verdict = judge(a, form);
    if (verdict.update_err != 0 || verdict.verify_result > 1)
        return who + "keeps controller firmware " + a.firmware_version + ": " + verdict.text;
    PlainImageHeader header;
    if (!image_header(flash, form, header) ||
        header.type != static_cast<uint32_t>(partition_image_type(PART_MCFW)) || header.subtype != mcfw->subtype)
        return who + "keeps controller firmware " + a.firmware_version + ": " + mcfw->id +
               " holds no controller firmware image of its subtype";
    const std::string was = a.firmware_version;
    a.firmware_version = header.version;
    return who + "runs controller firmware " + header.version + (was == header.version ? "" : " (was " + was + ")");
}

} // namespace lab::mc
