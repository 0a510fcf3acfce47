// A small DER writer and reader for building test envelopes: trees of TLVs
// that encode with minimal or forced long-form lengths, a decoder to edit
// envelopes made by other tools, and a CMS SignedData builder whose shape
// is chosen field by field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace der {

using Bytes = std::vector<uint8_t>;

struct Node {
    uint8_t tag = 0;
    Bytes value;                // content of a primitive TLV
    std::vector<Node> children; // content of a constructed TLV (tag bit 0x20)
};

Node prim(uint8_t tag, Bytes value);
Node cons(uint8_t tag, std::vector<Node> children);
Node seq(std::vector<Node> children);
Node set(std::vector<Node> children);
Node oid(const std::string &dotted);
Node integer(uint8_t value);
Node octets(Bytes value);
Node null();

// Length field: minimal when long_form_bytes is 0, else 0x80|n and n bytes,
// n being long_form_bytes or more when the length needs more.
Bytes length(size_t len, unsigned long_form_bytes = 0);
// Every length of the tree in the same form.
Bytes encode(const Node &node, unsigned long_form_bytes = 0);
// Definite-length DER only; throws std::runtime_error on anything else.
Node decode(const Bytes &der);

struct Span {
    size_t offset;
    size_t length;
};
// Value bytes of the TLV reached from the outermost one by child indices.
Span value_span(const Bytes &der, const std::vector<size_t> &path);

} // namespace der

// The accepted envelope shape by default; each field bends one part of it.
struct CmsShape {
    std::string content_type = "1.2.840.113549.1.7.2";
    std::string econtent_type = "1.2.840.113549.1.7.1";
    std::string digest_algorithm = "2.16.840.1.101.3.4.2.2";
    std::string signature_algorithm = "1.2.840.10045.4.3.3";
    bool digest_null_parameter = false;
    bool econtent = true;
    bool certificates = true;
    bool crls = false;
    bool signer_by_issuer_and_serial = false;
    bool signed_attributes = true;
    bool unsigned_attributes = false;
    unsigned signers = 1;
};

der::Node make_cms_envelope(const der::Bytes &content, const CmsShape &shape = {});

// Child-index paths inside a ContentInfo carrying SignedData.
inline const std::vector<size_t> CMS_SIGNED_DATA_PATH = {1, 0};
inline const std::vector<size_t> CMS_ECONTENT_PATH = {1, 0, 2, 1, 0};
