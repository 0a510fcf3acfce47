#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "lib/utils/firmware_ops.h"
#include "tests/unit/support/der_writer.h"
#include "tests/unit/support/image_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 0 after success, errno after failure; the envelope locator's explanations on standard output are dropped.
int parse_errno(Bytes &buf, qsupdate_image_t *image = nullptr,
                int (*parse)(uint8_t *, size_t, qsupdate_image_t *) = init_image_from_buffer)
{
    qsupdate_image_t scratch{};
    testing::internal::CaptureStdout();
    errno = 0;
    const int rc = parse(buf.data(), buf.size(), image ? image : &scratch);
    const int err = errno;
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(rc == 0 || (rc == -1 && err != 0)) << rc;
    return rc == 0 ? 0 : err;
}

// Format, then offset from base (-1 if absent) and length of envelope, header, code, trailer, signature, raw image.
std::vector<long> spans(const qsupdate_image_t &im, const uint8_t *base)
{
    auto at = [&](const void *p) { return p ? static_cast<const uint8_t *>(p) - base : -1L; };
    return {im.format, at(im.cms_header), long(im.cms_header_len), at(im.reflash_header), long(im.reflash_header_len),
            at(im.image_code), long(im.image_code_len), at(im.reflash_trailer), long(im.reflash_trailer_len),
            at(im.signature), long(im.signature_len), at(im.raw_image), long(im.raw_image_len)};
}

// The record (zeroed) and a copy of the file on the heap, as qsupdate_image_free takes them.
qsupdate_image_t *on_heap(const Bytes &file, int (*parse)(uint8_t *, size_t, qsupdate_image_t *))
{
    auto *buf = static_cast<uint8_t *>(memcpy(malloc(file.size()), file.data(), file.size()));
    auto *image = static_cast<qsupdate_image_t *>(calloc(1, sizeof(qsupdate_image_t)));
    EXPECT_EQ(parse(buf, file.size(), image), 0) << file.size();
    return image;
}

} // namespace

// Bytes after the trailer stay in the raw image; any flipped byte of header, code or trailer fails the CRC.
TEST(PlainImage, SpansFollowTheHeaderAndAnyFlippedByteIsRejected)
{
    // The builder uses the same CRC, so one known value (continuation: built whole, parsed in two).
    EXPECT_EQ(crc32_partial("abc", 3, 0), 0xCA6598D0u);
    const struct { uint32_t header_size; size_t appended; } layouts[] = {{40, 0}, {40, 9}, {52, 3}};
    for (const auto &l : layouts) {
        SCOPED_TRACE(testing::Message() << "ih_size " << l.header_size << " + " << l.appended);
        ImageRecipe recipe;
        recipe.header_size = l.header_size;
        const Bytes good = build_plain_image(recipe);
        Bytes buf = good;
        buf.insert(buf.end(), l.appended, 0x5C);
        const long h = l.header_size, code = long(recipe.code.size());
        qsupdate_image_t image{};
        ASSERT_EQ(parse_errno(buf, &image), 0);
        EXPECT_EQ(spans(image, buf.data()), (std::vector<long>{IMAGE_FORMAT_UNSIGNED, -1, 0, 0, h, h, code, h + code, 4,
                                                               -1, 0, 0, long(buf.size())}));
        EXPECT_EQ(compare_versions(get_image_version(&image), recipe.version), 0);
        for (size_t i = 0; i < good.size(); i++) {
            Bytes bad = good;
            bad[i] ^= 0x10;
            EXPECT_EQ(parse_errno(bad), EINVAL) << "byte " << i;
        }
    }
}

// Sizes that wrap in 32 bits would let a careless check accept the file and then read far beyond it.
TEST(PlainImage, InconsistentSizesAreRejected)
{
    ImageRecipe recipe;
    recipe.code.assign(16, 0xA7);
    std::vector<Bytes> bad(4, build_plain_image(recipe));
    bad[0].pop_back();
    bad[1].resize(30);                   // shorter than a header
    store_le32(&bad[2][16], 0xFFFFFFE4); // code size: 40 + 0xFFFFFFE4 + 4 is 16 in 32 bits
    store_le32(&bad[3][20], 0xFFFFFFF0); // header size
    // A header below 40 bytes would overlap the code, even with a matching CRC.
    for (uint32_t header_size : {24u, 39u}) {
        recipe.header_size = header_size;
        bad.push_back(build_plain_image(recipe));
    }
    for (size_t i = 0; i < bad.size(); i++)
        EXPECT_EQ(parse_errno(bad[i]), EINVAL) << "case " << i;
}

// Envelope header, image and signature are spans of their own; content after the trailer belongs to none.
TEST(SignedImage, SpansSplitTheEnvelopeAndBadContentIsRejected)
{
    ImageRecipe recipe;
    recipe.version = {7, 1, 0, 12};
    Bytes content = build_plain_image(recipe);
    const long plain = long(content.size()), code = long(recipe.code.size());
    content.insert(content.end(), 5, 0xEE);
    Bytes env = der::signed_envelope(content);
    const long off = long(der::value_span(env, der::ECONTENT).offset), sig = off + long(content.size());
    env.insert(env.end(), {0x00, 0xFF, 0x42});
    const long len = long(env.size());
    qsupdate_image_t image{};
    ASSERT_EQ(parse_errno(env, &image), 0);
    EXPECT_EQ(spans(image, env.data()), (std::vector<long>{IMAGE_FORMAT_SIGNED, 0, off, off, 40, off + 40, code,
                                                           off + plain - 4, 4, sig, len - sig, 0, len}));
    EXPECT_EQ(compare_versions(get_image_version(&image), recipe.version), 0);

    // Content without its trailer fails even with a matching CRC in the envelope bytes after it (CRC is linear).
    recipe.code.resize(recipe.code.size() + 4);
    content = build_plain_image(recipe);
    content.resize(content.size() - IMAGE_TRAILER_SIZE);
    env = der::signed_envelope(content);
    const size_t end = der::value_span(env, der::ECONTENT).offset + content.size();
    uint32_t want = load_le32(&env[end]);
    for (int bit = 0; bit < 32; bit++) // undo the register's 32 shifts over four bytes
        want = want & 0x80000000 ? (want ^ 0xEDB88320) << 1 | 1 : want << 1;
    store_le32(&env[end - 4], crc32_partial(&env[end - content.size()], content.size() - 4, 0) ^ want);
    EXPECT_EQ(parse_errno(env), EINVAL);
}

// Only a whole ROM by its own size byte and sum reaches the boot ROM, written whole with what follows it.
TEST(IpxeImage, OnlyACompleteExpansionRomIsAcceptedAndWrittenWhole)
{
    const Bytes rom = build_ipxe_rom(2);
    auto edited = [&rom](auto edit) { Bytes b = rom; edit(b); return b; };
    const struct { const char *what; Bytes bytes; } rejected[] = {
        {"swapped signature", edited([](Bytes &b) { std::swap(b[0], b[1]); })},
        {"signature alone", {0x55, 0xAA}},
        {"one byte short", Bytes(rom.begin(), rom.end() - 1)},
        {"size byte 0", edited([](Bytes &b) { b[2] = 0, b.back() += 2; })},
        {"size beyond the file", edited([](Bytes &b) { b[2] = 3, b.back() -= 1; })},
        {"sum off by one", edited([](Bytes &b) { b[300]++; })},
    };
    for (auto c : rejected)
        EXPECT_EQ(parse_errno(c.bytes, nullptr, init_ipxe_image_from_buffer), EINVAL) << c.what;
    // ASan fails the run on a made-up header left behind, or a plain header (inside its raw buffer) freed apart.
    for (const Bytes &built : {build_ipxe_rom(1), rom, edited([](Bytes &b) { b.resize(1500, 0x11); })}) {
        qsupdate_image_t *image = on_heap(built, init_ipxe_image_from_buffer);
        ASSERT_NE(image->reflash_header, nullptr);
        const image_header_t &h = *image->reflash_header;
        const long len = long(built.size());
        EXPECT_EQ((std::vector<uint32_t>{le32_to_host(h.ih_type), le32_to_host(h.ih_subtype), le32_to_host(h.ih_size),
                                         le32_to_host(h.ih_code_size)}),
                  (std::vector<uint32_t>{IMAGE_TYPE_BOOTROM, 6, 40, uint32_t(len)}));
        EXPECT_TRUE(version_is_ipxe(get_image_version(image)));
        std::vector<long> s = spans(*image, image->raw_image);
        s[3] = 0; // the header is an allocation of its own
        EXPECT_EQ(s, (std::vector<long>{IMAGE_FORMAT_UNSIGNED, -1, 0, 0, 40, 0, len, -1, 0, -1, 0, 0, len}));
        qsupdate_image_free(image);
    }
    qsupdate_image_free(on_heap(build_plain_image(), init_image_from_buffer));
    qsupdate_image_free(nullptr); // as free(3) does
}

TEST(VerifyResult, PrintsItsMessageOnStandardError)
{
    testing::internal::CaptureStderr();
    for (uint32_t code : {1, 0, 2, 11, 13, 14})
        fw_report_verify_result(code);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The adapter gave an unrecognised error when verifying image: 0\n"
              "ERROR: The adapter failed to verify the format of the image\n"
              "ERROR: The adapter rejected the image because the signers of the image were not\n"
              "       found in the trusted approvers list\n"
              "ERROR: The adapter rejected the image because it has a lower security level than\n"
              "       the current firmware.\n"
              "The adapter gave an unrecognised error when verifying image: 14\n"); // none for 1, success
}
