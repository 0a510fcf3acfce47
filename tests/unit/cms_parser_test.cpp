#include "lib/utils/cms_parser.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/utils/firmware.h"
#include "tests/unit/support/der_writer.h"

namespace {
#include "tests/fixtures/cms/envelopes.inc"

using der::Bytes;
using der::Node;

template <size_t N> Bytes fixture(const unsigned char (&bytes)[N]) { return Bytes(bytes, bytes + N); }

const Bytes IMAGE = fixture(fixture_image_bin); // a valid plain image, signed by every fixture

struct Parsed {
    int rc;
    uint32_t offset;
    uint32_t length;
    std::string out;
};

// Parses a copy of exactly the given size, so that any read past its end
// is caught by the address sanitizer.
Parsed parse(const Bytes &bytes)
{
    const Bytes exact(bytes);
    Parsed p{0, 0xDEADBEEF, 0xDEADBEEF, {}};
    testing::internal::CaptureStdout();
    p.rc = cms_parse(exact.data(), exact.size(), &p.offset, &p.length);
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

void expect_content_at(const Bytes &envelope, const std::string &name)
{
    const Parsed p = parse(envelope);
    const der::Span econtent = der::value_span(envelope, CMS_ECONTENT_PATH);
    ASSERT_EQ(p.rc, 0) << name << ": " << p.out;
    EXPECT_EQ(p.out, "") << name;
    EXPECT_EQ(p.offset, econtent.offset) << name;
    EXPECT_EQ(p.length, econtent.length) << name;
}

Node &signed_data(Node &content_info) { return content_info.children[1].children[0]; }

Bytes with_trailing_bytes(Bytes bytes)
{
    bytes.insert(bytes.end(), {0x00, 0xFF, 0x30, 0x80, 0x00, 0x00, 0x42});
    return bytes;
}

TEST(CmsAccepted, EnvelopesOfTheSigningTool)
{
    for (const Bytes &envelope : {fixture(fixture_signed_attrs_der), fixture(fixture_no_attrs_der)}) {
        const Parsed p = parse(envelope);
        ASSERT_EQ(p.rc, 0) << p.out;
        ASSERT_LE(size_t(p.offset) + p.length, envelope.size());
        EXPECT_EQ(Bytes(envelope.begin() + p.offset, envelope.begin() + p.offset + p.length), IMAGE);
    }

    // The tool cannot add CRLs or unsigned attributes: splice them into its output.
    Node with_crl = der::decode(fixture(fixture_signed_attrs_der));
    auto &sd = signed_data(with_crl).children;
    ASSERT_EQ(sd[3].tag, 0xA0) << "certificates";
    sd.insert(sd.begin() + 4, der::cons(0xA1, {der::decode(fixture(fixture_crl_der))}));
    expect_content_at(der::encode(with_crl), "crls");

    Node with_unsigned = der::decode(fixture(fixture_no_attrs_der));
    signed_data(with_unsigned).children.back().children[0].children.push_back(der::cons(
        0xA1, {der::seq({der::oid("1.2.840.113549.1.9.6"), der::set({der::seq({der::integer(1)})})})}));
    expect_content_at(der::encode(with_unsigned), "unsigned attributes");

    expect_content_at(with_trailing_bytes(fixture(fixture_signed_attrs_der)), "trailing bytes");
}

TEST(CmsAccepted, OptionalPartsPresentOrAbsent)
{
    for (unsigned bits = 0; bits < 16; ++bits) {
        CmsShape shape;
        shape.signed_attributes = bits & 1;
        shape.unsigned_attributes = bits & 2;
        shape.crls = bits & 4;
        shape.signers = bits & 8 ? 2 : 1;
        expect_content_at(der::encode(make_cms_envelope(IMAGE, shape)), "shape " + std::to_string(bits));
    }
}

TEST(CmsAccepted, LengthFormsUpToEightBytes)
{
    const Node envelope = make_cms_envelope(IMAGE);
    for (unsigned n = 1; n <= 8; ++n)
        expect_content_at(der::encode(envelope, n), "length bytes " + std::to_string(n));

    const Parsed p = parse(der::encode(envelope, 9));
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "ASN: Error: Length encoding too big (unsupported)\n"
                     "Failed to parse signed image: 2\n");
}

TEST(CmsRejected, ShapesOtherThanTheOneAccepted)
{
    auto built = [](auto &&bend) {
        CmsShape shape;
        bend(shape);
        return der::encode(make_cms_envelope(IMAGE, shape));
    };
    Node constructed_octets = make_cms_envelope(IMAGE);
    Node &econtent = signed_data(constructed_octets).children[2].children[1].children[0];
    econtent = der::cons(0x24, {der::octets(IMAGE)});
    Bytes overlong = fixture(fixture_no_attrs_der);
    ASSERT_EQ(overlong[1], 0x82);
    ASSERT_LT(overlong[3], 0xFF);
    overlong[3] += 1; // top-level length one past the end of the file
    char does_not_fit[64];
    snprintf(does_not_fit, sizeof(does_not_fit), "Nested TLV does not fit in the wrapper, %zx > %zx",
             overlong.size() + 1, overlong.size());
    const Bytes image_one_short(IMAGE.begin(), IMAGE.end() - 1);

    const struct {
        const char *name;
        Bytes bytes;
        int code;
        const char *message;
    } cases[] = {
        {"no certificates", fixture(fixture_no_certs_der), 3, "Wrong item in sequence exp a0, got 31"},
        {"issuer and serial number", fixture(fixture_issuer_serial_der), 3,
         "Wrong item in sequence exp 80, got 30"},
        {"SHA-256", fixture(fixture_sha256_der), 4, "Object ID other than required: "},
        {"indefinite lengths", fixture(fixture_indefinite_der), 2, "Indefinite length (unsupported)"},
        {"id-data content info", fixture(fixture_id_data_der), 4, "Object ID other than required: "},
        {"NULL digest parameter", built([](CmsShape &s) { s.digest_null_parameter = true; }), 3,
         "Unexpected item in sequence"},
        {"ECDSA with SHA-256", built([](CmsShape &s) { s.signature_algorithm = "1.2.840.10045.4.3.2"; }), 4,
         "Object ID other than required: "},
        {"EC public key as signature algorithm",
         built([](CmsShape &s) { s.signature_algorithm = "1.2.840.10045.2.1"; }), 4,
         "Object ID other than required: expected len 8, got 7"},
        {"other content type", built([](CmsShape &s) { s.econtent_type = "1.2.840.113549.1.9.16.1.4"; }),
         4, "Object ID other than required: expected len 9, got 11"},
        {"constructed eContent", der::encode(constructed_octets), 3, "Wrong item in sequence exp 4, got 24"},
        {"not a sequence", der::encode(der::set({der::octets(IMAGE)})), 3,
         "Sequence TLV expected, found tag=0x31 instead"},
        {"envelope longer than the file", overlong, 1, does_not_fit},
        {"plain image one byte short", image_one_short, 2, "Length encoding too big (unsupported)"},
    };
    for (const auto &c : cases) {
        const Parsed p = parse(c.bytes);
        EXPECT_EQ(p.rc, -1) << c.name;
        EXPECT_EQ(p.out, std::string("ASN: Error: ") + c.message + "\n" +
                             "Failed to parse signed image: " + std::to_string(c.code) + "\n")
            << c.name;
    }
}

TEST(CmsRejected, BuffersTooShortForOneHeaderFailWithoutAsnMessage)
{
    const Bytes envelope = fixture(fixture_signed_attrs_der);
    for (size_t len = 0; len <= 10; ++len) {
        const Parsed p = parse(Bytes(envelope.begin(), envelope.begin() + len));
        EXPECT_EQ(p.rc, -1) << len;
        EXPECT_EQ(p.out, "Failed to parse signed image: 2\n") << len;
    }
}

TEST(CmsState, EachParseStartsAfresh)
{
    CmsShape no_econtent;
    no_econtent.econtent = false;
    const Bytes empty = der::encode(make_cms_envelope(IMAGE, no_econtent));
    ASSERT_EQ(parse(fixture(fixture_signed_attrs_der)).rc, 0);
    Parsed p = parse(empty);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.offset, 0u);
    EXPECT_EQ(p.length, 0u);

    // The content is found before the signer info fails.
    ASSERT_EQ(parse(fixture(fixture_sha256_der)).rc, -1);
    p = parse(empty);
    EXPECT_EQ(p.offset, 0u);
    EXPECT_EQ(p.length, 0u);
}

// Whatever the damage, the locator fails or names a span inside the buffer;
// when its walk succeeds, the span is the eContent a DER reader finds.
// Counts the results compared with the reader's.
int expect_sound_result(const Bytes &bytes, const std::string &what)
{
    const Parsed p = parse(bytes);
    if (p.rc != 0)
        return 0;
    EXPECT_LE(size_t(p.offset) + p.length, bytes.size()) << what;
    if (p.length == 0)
        return 0;
    der::Span econtent;
    try {
        econtent = der::value_span(bytes, CMS_ECONTENT_PATH);
    } catch (const std::runtime_error &) {
        return 0; // a length the reader takes at full width; the locator keeps 32 bits
    }
    EXPECT_EQ(p.offset, econtent.offset) << what;
    EXPECT_EQ(p.length, econtent.length) << what;
    return 1;
}

TEST(CmsRobustness, TruncationsAndByteChanges)
{
    const Bytes envelope = fixture(fixture_signed_attrs_der);
    const der::Span content = der::value_span(envelope, CMS_ECONTENT_PATH);

    for (size_t len = 0; len < envelope.size(); ++len) {
        const Parsed p = parse(Bytes(envelope.begin(), envelope.begin() + len));
        EXPECT_EQ(p.rc, -1) << "truncated to " << len;
    }

    int compared = 0;
    for (size_t at = 0; at < envelope.size(); ++at) {
        for (uint8_t mask : {0x01, 0x80, 0xFF}) {
            Bytes bytes = envelope;
            bytes[at] ^= mask;
            const std::string what = "byte " + std::to_string(at) + " ^ " + std::to_string(mask);
            if (at >= content.offset && at < content.offset + content.length) {
                const Parsed p = parse(bytes);
                EXPECT_EQ(p.rc, 0) << what;
                EXPECT_EQ(p.offset, content.offset) << what;
            } else {
                compared += expect_sound_result(bytes, what);
            }
        }
    }

    std::mt19937 random(20240611);
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes = envelope;
        const int changes = 1 + int(random() % 4);
        for (int i = 0; i < changes; ++i)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        if (random() % 4 == 0)
            bytes.resize(random() % bytes.size());
        compared += expect_sound_result(bytes, "round " + std::to_string(round));
    }
    // Changes inside skipped parts (certificate, attributes) still parse.
    EXPECT_GT(compared, 500);
}

// The signed path of the image container, over the locator.
TEST(SignedImage, SpansCoverEnvelopeContentAndSignature)
{
    Bytes file = with_trailing_bytes(fixture(fixture_signed_attrs_der));
    const der::Span content = der::value_span(file, CMS_ECONTENT_PATH);
    qsupdate_image_t image;
    ASSERT_EQ(init_image_from_buffer(file.data(), file.size(), &image), 0);
    uint8_t *const buf = file.data();
    EXPECT_EQ(image.format, IMAGE_FORMAT_SIGNED);
    EXPECT_EQ(image.raw_image, buf);
    EXPECT_EQ(image.raw_image_len, file.size());
    EXPECT_EQ(image.cms_header, buf);
    EXPECT_EQ(image.cms_header_len, content.offset);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(image.reflash_header), buf + content.offset);
    EXPECT_EQ(image.reflash_header_len, 40u);
    EXPECT_EQ(image.image_code, buf + content.offset + 40);
    EXPECT_EQ(image.image_code_len, 16u);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(image.reflash_trailer), buf + content.offset + 56);
    EXPECT_EQ(image.reflash_trailer_len, 4u);
    EXPECT_EQ(image.signature, buf + content.offset + content.length);
    // Certificates, signer info and the bytes after the envelope.
    EXPECT_EQ(image.signature_len, file.size() - content.offset - content.length);
    EXPECT_EQ(image.cms_header_len + image.reflash_header_len + image.image_code_len +
                  image.reflash_trailer_len + image.signature_len,
              file.size());
}

TEST(SignedImage, ContentMustBeAPlainImageWithItsChecksum)
{
    Bytes bad_crc = IMAGE;
    bad_crc[45] ^= 0x10; // a code byte
    Bytes bad_magic = IMAGE;
    bad_magic[0] ^= 0x01;
    const Bytes short_image(IMAGE.begin(), IMAGE.end() - 1);
    CmsShape no_econtent;
    no_econtent.econtent = false;
    for (const Node &envelope : {make_cms_envelope(bad_crc), make_cms_envelope(bad_magic),
                                 make_cms_envelope(short_image), make_cms_envelope(IMAGE, no_econtent)}) {
        Bytes file = der::encode(envelope);
        qsupdate_image_t image;
        errno = 0;
        EXPECT_EQ(init_image_from_buffer(file.data(), file.size(), &image), -1);
        EXPECT_EQ(errno, EINVAL);
    }

    // Content bytes after the trailer belong to no span.
    Bytes padded = IMAGE;
    padded.insert(padded.end(), 8, 0xEE);
    Bytes file = der::encode(make_cms_envelope(padded));
    qsupdate_image_t image;
    ASSERT_EQ(init_image_from_buffer(file.data(), file.size(), &image), 0);
    EXPECT_EQ(image.format, IMAGE_FORMAT_SIGNED);
    EXPECT_EQ(image.cms_header_len + image.reflash_header_len + image.image_code_len +
                  image.reflash_trailer_len + image.signature_len,
              file.size() - 8);
}

} // namespace
