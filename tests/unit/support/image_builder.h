// Builds firmware image files for tests: plain reflash images (header, code,
// CRC trailer) and signed envelopes around them.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/utils/firmware_version.h"

struct ImageSpec {
    uint32_t type = 3;
    uint32_t subtype = 7;
    firmware_version version = {1, 2, 3, 4};
    // Bytes 26, 27, 30 and 31 of the header.
    uint8_t extra[4] = {0, 0, 0, 0};
    // ih_size; header bytes past the 40 defined ones are filled with a pattern.
    uint32_t header_size = 40;
    std::vector<uint8_t> code = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03};
};

// Header, code and a correct CRC trailer.
std::vector<uint8_t> build_plain_image(const ImageSpec &spec = {});

// Recomputes the trailer of a plain image after its header or code changed.
void fix_plain_image_crc(std::vector<uint8_t> &image);

struct SignedEnvelope {
    std::vector<uint8_t> bytes;
    size_t content_offset = 0; // first value byte of the eContent OCTET STRING
    size_t content_length = 0;
};

// A DER CMS ContentInfo with SignedData (certificates, one signer named by
// subject key identifier, SHA-384 with ECDSA) encapsulating content.
SignedEnvelope build_signed_envelope(const std::vector<uint8_t> &content);
