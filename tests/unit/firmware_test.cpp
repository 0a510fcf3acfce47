#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "lib/utils/byteorder.h"
#include "lib/utils/crc32.h"
#include "lib/utils/firmware.h"
#include "lib/utils/firmware_ops.h"
#include "lib/utils/firmware_version.h"
#include "tests/unit/support/image_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

int parse(Bytes &buf, qsupdate_image_t &image)
{
    errno = 0;
    return init_image_from_buffer(buf.data(), buf.size(), &image);
}

void expect_invalid(Bytes &buf)
{
    qsupdate_image_t image{};
    EXPECT_EQ(parse(buf, image), -1);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace

TEST(Crc32, KnownValueAndEmptyInput)
{
    EXPECT_EQ(crc32_partial("abc", 3, 0), 0xCA6598D0u);
    EXPECT_EQ(crc32_partial("abc", 0, 0x12345678), 0x12345678u);
}

TEST(Crc32, ContinuesOverPiecesAtEverySplit)
{
    Bytes data(61);
    std::iota(data.begin(), data.end(), uint8_t{7});
    const uint32_t whole = crc32_partial(data.data(), data.size(), 0);
    for (size_t split = 0; split <= data.size(); split++) {
        uint32_t crc = crc32_partial(data.data(), split, 0);
        crc = crc32_partial(data.data() + split, data.size() - split, crc);
        EXPECT_EQ(crc, whole) << "split at " << split;
    }
}

struct PlainCase {
    const char *name;
    uint32_t header_size;
    size_t appended;
};

class PlainImage : public testing::TestWithParam<PlainCase> {};

TEST_P(PlainImage, SpansFollowTheHeader)
{
    const PlainCase &c = GetParam();
    ImageSpec spec;
    spec.header_size = c.header_size;
    Bytes buf = build_plain_image(spec);
    const size_t image_len = buf.size();
    buf.insert(buf.end(), c.appended, 0x5C);

    qsupdate_image_t image{};
    ASSERT_EQ(parse(buf, image), 0);
    EXPECT_EQ(image.format, IMAGE_FORMAT_UNSIGNED);
    EXPECT_EQ(image.raw_image, buf.data());
    EXPECT_EQ(image.raw_image_len, image_len + c.appended);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(image.reflash_header), buf.data());
    EXPECT_EQ(image.reflash_header_len, c.header_size);
    EXPECT_EQ(image.image_code, buf.data() + c.header_size);
    EXPECT_EQ(image.image_code_len, spec.code.size());
    EXPECT_EQ(0, memcmp(image.image_code, spec.code.data(), spec.code.size()));
    EXPECT_EQ(reinterpret_cast<uint8_t *>(image.reflash_trailer),
              buf.data() + c.header_size + spec.code.size());
    EXPECT_EQ(image.reflash_trailer_len, 4u);
    EXPECT_EQ(image.cms_header, nullptr);
    EXPECT_EQ(image.signature, nullptr);
    EXPECT_EQ(compare_versions(get_image_version(&image), spec.version), 0);
}

// Every single flipped byte of header, code or trailer must be caught,
// including the header bytes past the 40 defined ones.
TEST_P(PlainImage, AnyFlippedByteIsRejected)
{
    ImageSpec spec;
    spec.header_size = GetParam().header_size;
    const Bytes good = build_plain_image(spec);
    for (size_t i = 0; i < good.size(); i++) {
        Bytes buf = good;
        buf[i] ^= 0x10;
        SCOPED_TRACE("byte " + std::to_string(i));
        testing::internal::CaptureStdout(); // the envelope locator may explain itself
        expect_invalid(buf);
        testing::internal::GetCapturedStdout();
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, PlainImage,
                         testing::Values(PlainCase{"Header40", 40, 0},
                                         PlainCase{"Header40Appended", 40, 9},
                                         PlainCase{"Header52", 52, 0},
                                         PlainCase{"Header52Appended", 52, 3}),
                         [](const auto &info) { return std::string(info.param.name); });

struct BadGeometry {
    const char *name;
    uint32_t header_size;   // as built, with a matching CRC
    uint32_t ih_size;       // then written over the header when not 0
    uint32_t ih_code_size;  // likewise
    long length_delta;      // bytes added to (or removed from) the file
};

class RejectedGeometry : public testing::TestWithParam<BadGeometry> {};

// Sizes that wrap in 32 bits would let a careless check accept the file and
// then read far beyond it; the address sanitizer would catch that too.
TEST_P(RejectedGeometry, FailsWithEinval)
{
    const BadGeometry &g = GetParam();
    ImageSpec spec;
    spec.header_size = g.header_size;
    spec.code.assign(16, 0xA7);
    Bytes buf = build_plain_image(spec);
    if (g.ih_size != 0)
        store_le32(&buf[20], g.ih_size);
    if (g.ih_code_size != 0)
        store_le32(&buf[16], g.ih_code_size);
    buf.resize(buf.size() + g.length_delta);
    testing::internal::CaptureStdout();
    expect_invalid(buf);
    testing::internal::GetCapturedStdout();
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RejectedGeometry,
    testing::Values(
        BadGeometry{"OneByteShort", 40, 0, 0, -1},
        BadGeometry{"ShorterThanHeader", 40, 0, 0, -30},
        // The header would overlap the code: its later fields are code bytes.
        BadGeometry{"HeaderSize24", 24, 0, 0, 0},
        BadGeometry{"HeaderSize39", 39, 0, 0, 0},
        // 40 + 0xFFFFFFE4 + 4 is 16 in 32 bits, less than the file's 60.
        BadGeometry{"CodeSizeWraps", 40, 0, 0xFFFFFFE4, 0},
        BadGeometry{"CodeSizeMax", 40, 0, 0xFFFFFFFF, 0},
        BadGeometry{"HeaderSizeWraps", 40, 0xFFFFFFF0, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// A buffer that is not a plain image is always offered to the envelope
// locator; the magic's second byte 0xF1 reads as a 113-byte length form.
TEST(PlainImage, ShortImageIsTriedAsEnvelope)
{
    Bytes buf = build_plain_image();
    buf.pop_back();
    testing::internal::CaptureStdout();
    expect_invalid(buf);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ASN: Error: Length encoding too big (unsupported)\n"
              "Failed to parse signed image: 2\n");
}

TEST(SignedImage, SpansSplitTheEnvelope)
{
    ImageSpec spec;
    spec.version = {7, 1, 0, 12};
    Bytes content = build_plain_image(spec);
    const size_t plain_len = content.size();
    content.insert(content.end(), 5, 0xEE); // content bytes after the trailer
    SignedEnvelope env = build_signed_envelope(content);

    qsupdate_image_t image{};
    ASSERT_EQ(parse(env.bytes, image), 0);
    uint8_t *const start = env.bytes.data();
    EXPECT_EQ(image.format, IMAGE_FORMAT_SIGNED);
    EXPECT_EQ(image.raw_image_len, env.bytes.size());
    EXPECT_EQ(image.cms_header, start);
    EXPECT_EQ(image.cms_header_len, env.content_offset);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(image.reflash_header), start + env.content_offset);
    EXPECT_EQ(image.image_code, start + env.content_offset + 40);
    EXPECT_EQ(image.image_code_len, spec.code.size());
    EXPECT_EQ(reinterpret_cast<uint8_t *>(image.reflash_trailer),
              start + env.content_offset + plain_len - 4);
    EXPECT_EQ(image.signature, start + env.content_offset + content.size());
    EXPECT_EQ(image.signature_len, env.bytes.size() - env.content_offset - content.size());
    // The five bytes after the trailer belong to no span.
    EXPECT_EQ(image.cms_header_len + image.reflash_header_len + image.image_code_len +
                  image.reflash_trailer_len + image.signature_len + 5,
              env.bytes.size());
    EXPECT_EQ(compare_versions(get_image_version(&image), spec.version), 0);
}

TEST(SignedImage, BadContentIsRejected)
{
    Bytes bad_crc = build_plain_image();
    bad_crc[41] ^= 1;
    ImageSpec short_header;
    short_header.header_size = 32;
    Bytes truncated = build_plain_image();
    truncated.pop_back();
    for (const Bytes &content : {bad_crc, build_plain_image(short_header), truncated}) {
        SignedEnvelope env = build_signed_envelope(content);
        expect_invalid(env.bytes);
    }
}

TEST(IpxeImage, MadeUpHeaderDescribesTheWholeRom)
{
    Bytes rom(1537, 0x90);
    rom[0] = 0x55;
    rom[1] = 0xAA;
    qsupdate_image_t image{};
    ASSERT_EQ(init_ipxe_image_from_buffer(rom.data(), rom.size(), &image), 0);
    const image_header_t *h = image.reflash_header;
    EXPECT_EQ(image.format, IMAGE_FORMAT_UNSIGNED);
    EXPECT_EQ(le32_to_host(h->ih_type), uint32_t(IMAGE_TYPE_BOOTROM));
    EXPECT_EQ(le32_to_host(h->ih_subtype), 6u);
    EXPECT_EQ(le32_to_host(h->ih_size), 40u);
    EXPECT_EQ(le32_to_host(h->ih_code_size), rom.size());
    EXPECT_TRUE(version_is_ipxe(get_image_version(&image)));
    EXPECT_EQ(image.reflash_header_len, 40u);
    EXPECT_EQ(image.image_code, rom.data());
    EXPECT_EQ(image.image_code_len, rom.size());
    EXPECT_EQ(image.reflash_trailer, nullptr);
    free(image.reflash_header);
}

TEST(IpxeImage, OtherSignaturesAreRejected)
{
    Bytes swapped = {0xAA, 0x55, 0x00, 0x00};
    Bytes one_byte = {0x55};
    qsupdate_image_t image{};
    for (Bytes *buf : {&swapped, &one_byte}) {
        errno = 0;
        EXPECT_EQ(init_ipxe_image_from_buffer(buf->data(), buf->size(), &image), -1);
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST(DefaultImage, FromRegistryRow)
{
    Bytes plain = build_plain_image();
    Bytes broken = plain;
    broken.back() ^= 1;
    firmware_ops row{};
    qsupdate_image_t image{};
    image.format = IMAGE_FORMAT_SIGNED;

    EXPECT_EQ(init_image_from_fw_ops(&row, &image), 0);
    EXPECT_EQ(image.format, IMAGE_FORMAT_NO_IMAGE);
    EXPECT_TRUE(version_is_null(get_image_version(&image)));

    row.default_image = {plain.data(), plain.size()};
    EXPECT_EQ(init_image_from_fw_ops(&row, &image), 0);
    EXPECT_EQ(image.format, IMAGE_FORMAT_UNSIGNED);

    row.default_image = {broken.data(), broken.size()};
    testing::internal::CaptureStdout();
    errno = 0;
    EXPECT_EQ(init_image_from_fw_ops(&row, &image), -1);
    EXPECT_EQ(errno, EINVAL);
    testing::internal::GetCapturedStdout();
}

// Run under the address sanitizer: a header freed from inside the raw
// buffer, or an iPXE header left behind, fails the run.
TEST(ImageFree, ReleasesSeparateHeaderOnly)
{
    const Bytes plain = build_plain_image();
    auto *plain_buf = static_cast<uint8_t *>(malloc(plain.size()));
    memcpy(plain_buf, plain.data(), plain.size());
    auto *plain_image = static_cast<qsupdate_image_t *>(malloc(sizeof(qsupdate_image_t)));
    ASSERT_EQ(init_image_from_buffer(plain_buf, plain.size(), plain_image), 0);
    qsupdate_image_free(plain_image);

    auto *rom = static_cast<uint8_t *>(malloc(64));
    memset(rom, 0, 64);
    rom[0] = 0x55;
    rom[1] = 0xAA;
    auto *rom_image = static_cast<qsupdate_image_t *>(malloc(sizeof(qsupdate_image_t)));
    ASSERT_EQ(init_ipxe_image_from_buffer(rom, 64, rom_image), 0);
    EXPECT_NE(reinterpret_cast<uint8_t *>(rom_image->reflash_header), rom);
    qsupdate_image_free(rom_image);
    qsupdate_image_free(nullptr);
}

struct VerifyCase {
    uint32_t code;
    const char *expected;
};

class VerifyResult : public testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyResult, PrintsItsMessageOnStandardError)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    fw_report_verify_result(GetParam().code);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, VerifyResult,
    testing::Values(
        VerifyCase{1, ""},
        VerifyCase{0, "The adapter gave an unrecognised error when verifying image: 0\n"},
        VerifyCase{2, "ERROR: The adapter failed to verify the format of the image\n"},
        VerifyCase{7, "ERROR: The adapter rejected the image because no valid signatures were "
                      "found\n"},
        VerifyCase{11, "ERROR: The adapter rejected the image because the signers of the image "
                       "were not\n       found in the trusted approvers list\n"},
        VerifyCase{13, "ERROR: The adapter rejected the image because it has a lower security "
                       "level than\n       the current firmware.\n"},
        VerifyCase{14, "The adapter gave an unrecognised error when verifying image: 14\n"}));
