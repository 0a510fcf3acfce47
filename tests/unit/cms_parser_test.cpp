#include "lib/utils/cms_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/utils/firmware.h"
#include "tests/unit/support/der_writer.h"

namespace {

using der::Bytes;
using der::Node;

// Envelopes the signing tool made around one valid plain image.
const Bytes SIGNED_ATTRS = der::fixture("signed_attrs.der"), NO_ATTRS = der::fixture("no_attrs.der");

struct Parsed { int rc; der::Span content; std::string out; bool operator==(const Parsed &) const = default; };

// Parses a copy of exactly the given size, so that the address sanitizer catches any read past its end.
Parsed parse(const Bytes &bytes)
{
    const Bytes exact(bytes);
    uint32_t offset = 0xDEADBEEF, length = 0xDEADBEEF;
    testing::internal::CaptureStdout();
    const int rc = cms_parse(exact.data(), exact.size(), &offset, &length);
    return {rc, {offset, length}, testing::internal::GetCapturedStdout()};
}

// The envelope encoded again after an edit of its SignedData.
template <class Edit> Bytes edited(const Bytes &envelope, Edit edit)
{
    Node content_info = der::decode(envelope);
    edit(content_info.children[1].children[0]);
    return der::encode(content_info);
}

TEST(CmsAccepted, ToolEnvelopesWithTheOptionalPartsItCannotAdd)
{
    const Node crls = der::cons(0xA1, {der::decode(der::fixture("crl.der"))});
    const Bytes countersignature = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x06};
    const Node unsigned_attrs =
        der::cons(0xA1, {der::seq({der::prim(0x06, countersignature), der::set({der::seq({der::prim(2, {1})})})})});
    for (unsigned bits = 0; bits < 32; ++bits) {
        Bytes bytes = edited(bits & 1 ? SIGNED_ATTRS : NO_ATTRS, [&](Node &signed_data) {
            std::vector<Node> &signers = signed_data.children.back().children;
            if (bits & 2)
                signers[0].children.push_back(unsigned_attrs);
            if (bits & 4)
                signers.push_back(signers[0]);
            if (bits & 8) // after the certificates
                signed_data.children.insert(signed_data.children.begin() + 4, crls);
        });
        if (bits & 16)
            bytes.insert(bytes.end(), {0x00, 0xFF, 0x30, 0x80, 0x00, 0x00, 0x42});
        EXPECT_EQ(parse(bytes), (Parsed{0, der::value_span(bytes, der::ECONTENT), ""})) << bits;
    }
}

TEST(CmsRejected, ShapesOtherThanTheOneAccepted)
{
    auto signer = [](Node &signed_data) -> Node & { return signed_data.children.back().children[0]; };
    const struct { Bytes bytes; int code; std::string message; } cases[] = {
        {der::fixture("no_certs.der"), 3, "Wrong item in sequence exp a0, got 31"},
        {der::fixture("issuer_serial.der"), 3, "Wrong item in sequence exp 80, got 30"},
        {der::fixture("sha256.der"), 4, "Object ID other than required: "},
        {der::fixture("indefinite.der"), 2, "Indefinite length (unsupported)"},
        {der::fixture("id_data.der"), 4, "Object ID other than required: "},
        {edited(NO_ATTRS, [&](Node &sd) { signer(sd).children[2].children.push_back(der::prim(5)); }), 3,
         "Unexpected item in sequence"}, // a NULL parameter of the digest algorithm
        {edited(NO_ATTRS, [&](Node &sd) { signer(sd).children[3].children[0].value.back() = 2; }), 4,
         "Object ID other than required: "}, // ECDSA with SHA-256
        {edited(NO_ATTRS, [&](Node &sd) { signer(sd).children.erase(signer(sd).children.begin() + 3); }), 3,
         "Wrong item in sequence exp 30, got 4"}, // no signature algorithm at all
        {edited(NO_ATTRS, [](Node &sd) { sd.children[2].children[0].value.back() = 4; }), 4,
         "Object ID other than required: "}, // eContent type other than id-data
        {edited(NO_ATTRS, [](Node &sd) { sd.children[2].children[1].children[0].tag = 0x24; }), 3,
         "Wrong item in sequence exp 4, got 24"}, // constructed eContent
        {Bytes(SIGNED_ATTRS.begin(), SIGNED_ATTRS.end() - 1), 1,
         "Nested TLV does not fit in the wrapper, 3ea > 3e9"}, // the outermost length runs past the end
    };
    for (const auto &c : cases) {
        const Parsed p = parse(c.bytes);
        const std::string out = "ASN: Error: " + c.message + "\nFailed to parse signed image: " + char('0' + c.code);
        EXPECT_EQ(std::make_pair(p.rc, p.out), std::make_pair(-1, out + "\n"));
    }
}

TEST(CmsState, EachParseStartsAfresh)
{
    // No eContent, after content was found (the SHA-256 envelope fails after that).
    Bytes no_econtent = edited(SIGNED_ATTRS, [](Node &sd) { sd.children[2].children.pop_back(); });
    for (const Bytes &before : {SIGNED_ATTRS, der::fixture("sha256.der")}) {
        parse(before);
        EXPECT_EQ(parse(no_econtent).content, der::Span({0, 0}));
    }
    qsupdate_image_t image; // which the image container refuses
    EXPECT_EQ(init_image_from_buffer(no_econtent.data(), no_econtent.size(), &image), -1);
}

// A changed byte never moves the content: the walk fails or finds it where it was.
TEST(CmsRobustness, TruncationsAndByteChanges)
{
    const der::Span content = der::value_span(SIGNED_ATTRS, der::ECONTENT);
    int parsed = 0;
    for (size_t at = 0; at < SIGNED_ATTRS.size(); ++at) {
        SCOPED_TRACE("at " + std::to_string(at));
        EXPECT_EQ(parse(Bytes(SIGNED_ATTRS.begin(), SIGNED_ATTRS.begin() + at)).rc, -1); // truncated
        const bool in_content = at - content.offset < content.length;
        for (uint8_t mask : {0x01, 0x80, 0xFF}) {
            Bytes bytes = SIGNED_ATTRS;
            bytes[at] ^= mask;
            const Parsed p = parse(bytes);
            EXPECT_TRUE(p.rc == 0 ? p.content == content : !in_content) << p.content.offset << " " << p.out;
            parsed += p.rc == 0 && !in_content;
        }
    }
    EXPECT_GT(parsed, 500); // changes inside skipped parts (certificate, attributes) still parse
}

} // namespace
