#include "tests/unit/support/image_builder.h"

#include <algorithm>
#include <initializer_list>

#include "lib/utils/byteorder.h"
#include "lib/utils/crc32.h"
#include "lib/utils/firmware.h"

namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes &out, const Bytes &more)
{
    out.insert(out.end(), more.begin(), more.end());
}

// DER TLV with a definite length in its shortest form.
Bytes tlv(uint8_t tag, const Bytes &value)
{
    Bytes out{tag};
    const size_t len = value.size();
    if (len < 0x80) {
        out.push_back(static_cast<uint8_t>(len));
    } else {
        Bytes len_bytes;
        for (size_t v = len; v != 0; v >>= 8)
            len_bytes.insert(len_bytes.begin(), static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(0x80 | len_bytes.size()));
        append(out, len_bytes);
    }
    append(out, value);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        append(out, p);
    return out;
}

const Bytes OID_SIGNED_DATA = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const Bytes OID_DATA = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const Bytes OID_SHA384 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const Bytes OID_ECDSA_SHA384 = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x03};

} // namespace

std::vector<uint8_t> build_plain_image(const ImageSpec &spec)
{
    Bytes image(spec.header_size + spec.code.size() + IMAGE_TRAILER_SIZE, 0);
    for (uint32_t i = IMAGE_HEADER_SIZE; i < spec.header_size; i++)
        image[i] = static_cast<uint8_t>(0x40 + i);
    // A header shorter than 40 bytes still gets its fields as far as they fit.
    Bytes header(IMAGE_HEADER_SIZE, 0);
    store_le32(&header[0], IMAGE_HEADER_MAGIC);
    store_le32(&header[4], 4);
    store_le32(&header[8], spec.type);
    store_le32(&header[12], spec.subtype);
    store_le32(&header[16], static_cast<uint32_t>(spec.code.size()));
    store_le32(&header[20], spec.header_size);
    header[26] = spec.extra[0];
    header[27] = spec.extra[1];
    header[30] = spec.extra[2];
    header[31] = spec.extra[3];
    store_le16(&header[32], spec.version.a);
    store_le16(&header[34], spec.version.b);
    store_le16(&header[36], spec.version.c);
    store_le16(&header[38], spec.version.d);
    for (size_t i = 0; i < header.size() && i < spec.header_size; i++)
        image[i] = header[i];
    std::copy(spec.code.begin(), spec.code.end(), image.begin() + spec.header_size);
    fix_plain_image_crc(image);
    return image;
}

void fix_plain_image_crc(std::vector<uint8_t> &image)
{
    const uint32_t header_size = load_le32(&image[20]);
    const uint32_t code_size = load_le32(&image[16]);
    uint32_t crc = crc32_partial(image.data(), header_size, 0);
    crc = crc32_partial(image.data() + header_size, code_size, crc);
    store_le32(&image[header_size + code_size], crc);
}

SignedEnvelope build_signed_envelope(const std::vector<uint8_t> &content)
{
    const Bytes encap_content_info =
        tlv(0x30, concat({tlv(0x06, OID_DATA), tlv(0xA0, tlv(0x04, content))}));
    const Bytes certificates = tlv(0xA0, tlv(0x30, Bytes(48, 0x11)));
    const Bytes signer_info = tlv(
        0x30, concat({tlv(0x02, {0x03}), tlv(0x80, Bytes(20, 0x22)),
                      tlv(0x30, tlv(0x06, OID_SHA384)), tlv(0x30, tlv(0x06, OID_ECDSA_SHA384)),
                      tlv(0x04, Bytes(96, 0x33))}));
    const Bytes signer_infos = tlv(0x31, signer_info);
    const Bytes signed_data =
        tlv(0x30, concat({tlv(0x02, {0x03}), tlv(0x31, tlv(0x30, tlv(0x06, OID_SHA384))),
                          encap_content_info, certificates, signer_infos}));
    SignedEnvelope env;
    env.bytes = tlv(0x30, concat({tlv(0x06, OID_SIGNED_DATA), tlv(0xA0, signed_data)}));
    // The content value is the last thing before certificates and signers,
    // which end the envelope.
    const size_t tail = certificates.size() + signer_infos.size();
    env.content_offset = env.bytes.size() - tail - content.size();
    env.content_length = content.size();
    return env;
}
