#include "tests/unit/support/der_writer.h"

#include <stdexcept>
#include <tuple>
#include <utility>

namespace der {

Bytes encode(const Node &node)
{
    Bytes value = node.value;
    for (const Node &child : node.children) {
        const Bytes encoded = encode(child);
        value.insert(value.end(), encoded.begin(), encoded.end());
    }
    Bytes out{node.tag, static_cast<uint8_t>(value.size())};
    if (value.size() >= 0x80) { // long form: 0x80|n, then n bytes, most significant first
        out[1] = 0x80;
        for (size_t v = value.size(); v != 0; v >>= 8, ++out[1])
            out.insert(out.begin() + 2, static_cast<uint8_t>(v));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

namespace {

// Header size and value length of the TLV at `at`, which must end by `end`.
std::pair<size_t, size_t> read_header(const Bytes &der, size_t at, size_t end)
{
    if (end - at < 2)
        throw std::runtime_error("truncated header");
    size_t header = 2, length = der[at + 1];
    if (length & 0x80) {
        header += length & 0x7F;
        if (header == 2 || header > 2 + sizeof(size_t) || end - at < header)
            throw std::runtime_error("unsupported length");
        length = 0;
        for (size_t i = at + 2; i < at + header; ++i)
            length = (length << 8) | der[i];
    }
    if (length > end - at - header)
        throw std::runtime_error("value runs past its container");
    return {header, length};
}

Node decode_range(const Bytes &der, size_t at, size_t end, size_t *next)
{
    const auto [header, length] = read_header(der, at, end);
    Node node{der[at], {}, {}};
    const size_t value = at + header;
    *next = value + length;
    if (!(node.tag & 0x20))
        node.value.assign(der.begin() + value, der.begin() + *next);
    else
        for (size_t child = value; child < *next;)
            node.children.push_back(decode_range(der, child, *next, &child));
    return node;
}

} // namespace

Node decode(const Bytes &der)
{
    size_t next;
    return decode_range(der, 0, der.size(), &next);
}

Span value_span(const Bytes &der, const std::vector<size_t> &path)
{
    size_t at = 0;
    auto [header, length] = read_header(der, at, der.size());
    for (size_t index : path) {
        const size_t end = at + header + length;
        at += header;
        std::tie(header, length) = read_header(der, at, end);
        for (; index > 0; --index) {
            at += header + length;
            std::tie(header, length) = read_header(der, at, end);
        }
    }
    return {at + header, length};
}

} // namespace der
