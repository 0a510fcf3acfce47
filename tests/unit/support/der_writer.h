// A small DER tree for test envelopes: decode what a signing tool made, edit
// a part, encode it again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace der {

using Bytes = std::vector<uint8_t>;

struct Span {
    size_t offset, length;
    bool operator==(const Span &) const = default;
};

struct Node {
    uint8_t tag = 0;
    Bytes value;                // content of a primitive TLV
    std::vector<Node> children; // content of a constructed TLV (tag bit 0x20)
    Span span{};                // where decode() found the value
};

inline Node prim(uint8_t tag, Bytes value = {}) { return Node{tag, std::move(value), {}, {}}; }
inline Node cons(uint8_t tag, std::vector<Node> children = {}) { return Node{tag, {}, std::move(children), {}}; }
inline Node seq(std::vector<Node> children = {}) { return cons(0x30, std::move(children)); }
inline Node set(std::vector<Node> children = {}) { return cons(0x31, std::move(children)); }

// With minimal lengths.
Bytes encode(const Node &node);

// A file made by tests/fixtures/cms/make_fixtures.sh, read whole; throws std::runtime_error when unreadable.
Bytes fixture(const char *name);
// A signing tool's envelope around other content; nothing checks its signature.
Bytes signed_envelope(const Bytes &content);
// Definite-length DER only; throws std::runtime_error on anything else.
Node decode(const Bytes &der);

// The signed content in a signing tool's envelope, by child indices from the ContentInfo.
inline const std::vector<size_t> ECONTENT = {1, 0, 2, 1, 0};
// Value bytes of the TLV reached from the outermost one by child indices.
Span value_span(const Bytes &der, const std::vector<size_t> &path);

} // namespace der
