// The management controller's verdict on new controller firmware.  When an
// update of the controller-firmware partition finishes, the controller
// looks at what was written (a signed image is laid out in chunks, each
// behind a 32-byte header, the CMS header's chunk header in the last 32
// bytes of the partition) and records its verdict at the start of the
// adapter's status partition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lab/flash/lab_flash.h"
#include "lab/model/lab_model.h"

namespace lab {
class LabRun;
}

namespace lab::mc {

// A chunk header: magic, version, chunk id, the chunk's offset and length
// in the partition, three reserved words (zero).
constexpr uint32_t CHUNK_MAGIC = 0xBD205161;
constexpr uint32_t CHUNK_VERSION = 1;
constexpr size_t CHUNK_HEADER_SIZE = 32;
constexpr size_t CHUNK_MAGIC_AT = 0, CHUNK_VERSION_AT = 4, CHUNK_ID_AT = 8, CHUNK_OFFSET_AT = 12,
                 CHUNK_LEN_AT = 16, CHUNK_RESERVED_AT = 20;
// Chunk ids, in the order the headers lead from one to the next: each
// chunk's data is followed by the next one's header, the image's data
// (chunk 2) starting the partition.
enum ChunkId : uint32_t {
    CHUNK_CMS_HEADER,
    CHUNK_REFLASH_HEADER,
    CHUNK_IMAGE,
    CHUNK_REFLASH_TRAILER,
    CHUNK_SIGNATURE,
    CHUNKS
};

// The status record: magic, length, last update error (an errno), last
// verification result, current security level.
constexpr uint32_t STATUS_MAGIC = 0xBD2057A7;
constexpr size_t STATUS_SIZE = 20;
constexpr size_t STATUS_MAGIC_AT = 0, STATUS_LENGTH_AT = 4, STATUS_UPDATE_ERR_AT = 8, STATUS_VERIFY_AT = 12,
                 STATUS_SECURITY_AT = 16;
static_assert(STATUS_SECURITY_AT + 4 == STATUS_SIZE);

// Verification results the controller gives by itself.
constexpr uint32_t VERIFY_NONE = 0;
constexpr uint32_t VERIFY_BAD_FORMAT = 3; // the chunks do not lead from one to the next

enum class ImageForm {
    plain,         // no chunk header at the end: not signed, and whole
    incomplete,    // no chunk header at the end, and no whole image either
    signed_image,  // five chunk headers, each where the one before leads
    broken_layout, // a chunk header at the end, but the chain breaks
};

// What the controller-firmware partition holds.  A plain image is whole
// when its code (from `qslab image`: its header's copy first, its CRC
// last) lies at the start of the partition, as an update writes it, or
// behind its header, as a whole image file put in place lies.
ImageForm image_form(const Flash &flash);

struct Verdict {
    uint32_t update_err = 0;
    uint32_t verify_result = VERIFY_NONE;
    std::string text; // for the event log: "unsigned image refused, status EPERM"
};

Verdict judge(const Adapter &adapter, ImageForm form);

// Writes the record at the start of the status partition, erasing the
// block first (an EEPROM takes it as it is); as much of it as the
// partition holds.  0, or the flash's errno.
int record_verdict(Flash &status, const Adapter &adapter, const Verdict &verdict);

// Judges the adapter's controller-firmware partition once an update of it
// ends, whichever path wrote it (update finish, or the last close of an
// MTD device that erased or wrote it), and records the verdict: its text
// for the event log (", no status partition to record it" added when the
// adapter has none), or the errno of a record that could not be written.
int judge_written(LabRun &lab, size_t adapter, std::string &text);

} // namespace lab::mc
