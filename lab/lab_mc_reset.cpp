#include "lab/lab_mc_reset.h"

#include <algorithm>
#include <array>

#include "lab/lab.h"
#include "lab/lab_image.h"
#include "lab/lab_mc_verdict.h"
#include "lab/lab_preset_flash.h"
#include "lib/utils/byteorder.h"

namespace lab::mc {

namespace {

constexpr size_t PLAIN_HEADER_SIZE = 40;

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

} // namespace

std::string reset_controller(Lab &lab, size_t adapter)
{
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
