#include "lab/controller/lab_mc_verdict.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "lab/flash/lab_run.h"
#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_flash.h"
#include "lib/utils/byteorder.h"

namespace lab::mc {

namespace {

// No signed layout: whether a whole plain image's code is there.
ImageForm plain_form(const Flash &flash)
{
    std::vector<uint8_t> bytes(flash.partition().size);
    PlainImageHeader header;
    const bool whole = flash.peek(0, bytes) &&
                       (whole_code_at(bytes, 0, header) || whole_code_at(bytes, PLAIN_HEADER_SIZE, header));
    return whole ? ImageForm::plain : ImageForm::incomplete;
}

} // namespace

ImageForm image_form(const Flash &flash)
{
    const uint64_t size = flash.partition().size;
    if (size < CHUNK_HEADER_SIZE)
        return plain_form(flash);
    // Nothing but the last header may lie in the last 32 bytes.
    const uint64_t limit = size - CHUNK_HEADER_SIZE;
    uint64_t at = limit;
    for (uint32_t id = CHUNK_CMS_HEADER; id < CHUNKS; ++id) {
        std::array<uint8_t, CHUNK_HEADER_SIZE> h;
        if ((id != CHUNK_CMS_HEADER && at + CHUNK_HEADER_SIZE > limit) || !flash.peek(at, h))
            return ImageForm::broken_layout;
        if (id == CHUNK_CMS_HEADER && load_le32(&h[CHUNK_MAGIC_AT]) != CHUNK_MAGIC)
            return plain_form(flash);
        const uint64_t offset = load_le32(&h[CHUNK_OFFSET_AT]), len = load_le32(&h[CHUNK_LEN_AT]);
        bool reserved_zero = std::all_of(h.begin() + CHUNK_RESERVED_AT, h.end(), [](uint8_t b) { return b == 0; });
        if (load_le32(&h[CHUNK_MAGIC_AT]) != CHUNK_MAGIC || load_le32(&h[CHUNK_VERSION_AT]) != CHUNK_VERSION ||
            load_le32(&h[CHUNK_ID_AT]) != id || !reserved_zero || offset + len > limit)
            return ImageForm::broken_layout;
        at = offset + len;
    }
    return ImageForm::signed_image;
}

Verdict judge(const Adapter &adapter, ImageForm form)
{
    switch (form) {
    case ImageForm::plain:
    case ImageForm::incomplete:
        if (adapter.requires_signed_mcfw)
            return {EPERM, VERIFY_NONE, "unsigned image refused, status EPERM"};
        if (form == ImageForm::incomplete)
            return {EIO, VERIFY_NONE, "unsigned image refused, status EIO: no whole image in flash"};
        return {0, VERIFY_NONE, "unsigned image accepted"};
    case ImageForm::broken_layout:
        return {0, VERIFY_BAD_FORMAT, std::string("signed image rejected (") + std::to_string(VERIFY_BAD_FORMAT) +
                                          "): its chunks do not lead from one to the next"};
    default: {
        const uint32_t result = adapter.signed_verify_result;
        return {0, result, std::string(result <= 1 ? "signed image accepted (" : "signed image rejected (") +
                               std::to_string(result) + ")"};
    }
    }
}

int record_verdict(Flash &status, const Adapter &adapter, const Verdict &verdict)
{
    std::array<uint8_t, STATUS_SIZE> record;
    store_le32(&record[STATUS_MAGIC_AT], STATUS_MAGIC);
    store_le32(&record[STATUS_LENGTH_AT], STATUS_SIZE);
    store_le32(&record[STATUS_UPDATE_ERR_AT], verdict.update_err);
    store_le32(&record[STATUS_VERIFY_AT], verdict.verify_result);
    store_le32(&record[STATUS_SECURITY_AT], adapter.requires_signed_mcfw ? 1 : 0);
    const Partition &p = status.partition();
    const size_t n = std::min<size_t>(STATUS_SIZE, p.size);
    if (p.erase_size != 1 && status.erase(0, p.erase_size, {}, false) != 0)
        return errno;
    ssize_t put = status.program(0, std::span<const uint8_t>(record).first(n), {}, false);
    if (put < 0)
        return errno;
    return static_cast<size_t>(put) == n ? 0 : EIO;
}

int judge_written(LabRun &lab, size_t adapter, std::string &text)
{
    const Adapter &a = lab.state().adapters.at(adapter);
    const std::vector<Partition> &parts = a.partitions;
    auto find = [&](auto is) { return static_cast<size_t>(std::find_if(parts.begin(), parts.end(), is) - parts.begin()); };
    const size_t mcfw = find([](const Partition &p) { return p.kind == PART_MCFW; });
    const size_t status = find([](const Partition &p) { return p.kind == PART_STATUS && p.subtype == 0; });
    if (mcfw == parts.size())
        return 0;
    const Verdict verdict = judge(a, image_form(lab.flash(adapter, mcfw)));
    text = verdict.text;
    if (status == parts.size()) {
        text += ", no status partition to record it";
        return 0;
    }
    return record_verdict(lab.flash(adapter, status), a, verdict);
}

} // namespace lab::mc
