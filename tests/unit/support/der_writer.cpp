#include "tests/unit/support/der_writer.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

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

// The TLV at `at`, which must end by `end`; `*next` is set to the offset after it.
Node decode_range(const Bytes &der, size_t at, size_t end, size_t *next)
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
    Node node{der[at], {}, {}, {at + header, length}};
    *next = at + header + length;
    if (!(node.tag & 0x20))
        node.value.assign(der.begin() + at + header, der.begin() + *next);
    else
        for (size_t child = at + header; child < *next;)
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
    Node node = decode(der);
    for (size_t index : path)
        node = Node(node.children.at(index));
    return node.span;
}

Bytes fixture(const char *name)
{
    std::ifstream file(std::string(QS_CMS_FIXTURES_DIR "/") + name, std::ios::binary);
    if (!file)
        throw std::runtime_error(std::string("cannot open fixture ") + name);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes signed_envelope(const Bytes &content)
{
    Node info = decode(fixture("signed_attrs.der"));
    Node *econtent = &info;
    for (size_t child : ECONTENT)
        econtent = &econtent->children[child];
    econtent->value = content;
    return encode(info);
}

} // namespace der
