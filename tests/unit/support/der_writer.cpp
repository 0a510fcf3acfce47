#include "tests/unit/support/der_writer.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace der {

Node prim(uint8_t tag, Bytes value) { return Node{tag, std::move(value), {}}; }
Node cons(uint8_t tag, std::vector<Node> children) { return Node{tag, {}, std::move(children)}; }
Node seq(std::vector<Node> children) { return cons(0x30, std::move(children)); }
Node set(std::vector<Node> children) { return cons(0x31, std::move(children)); }
Node integer(uint8_t value) { return prim(0x02, {value}); }
Node octets(Bytes value) { return prim(0x04, std::move(value)); }
Node null() { return prim(0x05, {}); }

Node oid(const std::string &dotted)
{
    std::vector<unsigned long> arcs;
    for (const char *p = dotted.c_str(); *p;) {
        char *end;
        arcs.push_back(strtoul(p, &end, 10));
        p = *end == '.' ? end + 1 : end;
    }
    if (arcs.size() < 2)
        throw std::invalid_argument("object id needs two arcs: " + dotted);
    arcs[1] += arcs[0] * 40;
    Bytes content;
    for (size_t i = 1; i < arcs.size(); ++i) {
        Bytes base128;
        unsigned long v = arcs[i];
        do {
            base128.insert(base128.begin(), static_cast<uint8_t>((v & 0x7F) | (base128.empty() ? 0 : 0x80)));
            v >>= 7;
        } while (v != 0);
        content.insert(content.end(), base128.begin(), base128.end());
    }
    return prim(0x06, content);
}

Bytes length(size_t len, unsigned long_form_bytes)
{
    if (long_form_bytes == 0 && len < 0x80)
        return {static_cast<uint8_t>(len)};
    // At least the bytes asked for, more when the length needs them.
    unsigned needed = 1;
    while (needed < sizeof(size_t) && (len >> (8 * needed)) != 0)
        ++needed;
    long_form_bytes = std::max(long_form_bytes, needed);
    Bytes out{static_cast<uint8_t>(0x80 | long_form_bytes)};
    for (unsigned i = long_form_bytes; i-- > 0;)
        out.push_back(i < sizeof(size_t) ? static_cast<uint8_t>(len >> (8 * i)) : 0);
    return out;
}

Bytes encode(const Node &node, unsigned long_form_bytes)
{
    Bytes value = node.value;
    for (const Node &child : node.children) {
        const Bytes encoded = encode(child, long_form_bytes);
        value.insert(value.end(), encoded.begin(), encoded.end());
    }
    Bytes out{node.tag};
    const Bytes len = length(value.size(), long_form_bytes);
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

namespace {

struct Header {
    uint8_t tag;
    size_t header_size;
    size_t length;
};

Header read_header(const Bytes &der, size_t at, size_t end)
{
    if (end - at < 2)
        throw std::runtime_error("truncated header");
    Header h{der[at], 2, der[at + 1]};
    if (h.length & 0x80) {
        const size_t n = h.length & 0x7F;
        if (n == 0 || n > sizeof(size_t) || end - at - 2 < n)
            throw std::runtime_error("unsupported length");
        h.length = 0;
        for (size_t i = 0; i < n; ++i)
            h.length = (h.length << 8) | der[at + 2 + i];
        h.header_size += n;
    }
    if (h.length > end - at - h.header_size)
        throw std::runtime_error("value runs past its container");
    return h;
}

Node decode_range(const Bytes &der, size_t at, size_t end, size_t *next)
{
    const Header h = read_header(der, at, end);
    const size_t value = at + h.header_size;
    *next = value + h.length;
    Node node{h.tag, {}, {}};
    if (h.tag & 0x20) {
        for (size_t child = value; child < *next;)
            node.children.push_back(decode_range(der, child, *next, &child));
    } else {
        node.value.assign(der.begin() + value, der.begin() + *next);
    }
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
    Header h = read_header(der, at, der.size());
    for (size_t index : path) {
        size_t child = at + h.header_size;
        const size_t end = child + h.length;
        Header ch = read_header(der, child, end);
        for (; index > 0; --index) {
            child += ch.header_size + ch.length;
            ch = read_header(der, child, end);
        }
        at = child;
        h = ch;
    }
    return {at + h.header_size, h.length};
}

} // namespace der

namespace {

using der::Node;

Node attribute(const std::string &type, Node value)
{
    return der::seq({der::oid(type), der::set({std::move(value)})});
}

Node algorithm(const std::string &id, bool null_parameter)
{
    Node alg = der::seq({der::oid(id)});
    if (null_parameter)
        alg.children.push_back(der::null());
    return alg;
}

Node signer_info(const CmsShape &shape, uint8_t key_id)
{
    Node info = der::seq({der::integer(shape.signer_by_issuer_and_serial ? 1 : 3)});
    if (shape.signer_by_issuer_and_serial)
        info.children.push_back(der::seq({der::seq({der::set({attribute("2.5.4.3", der::prim(0x0C, {'t'}))})}),
                                          der::integer(0x2A)}));
    else
        info.children.push_back(der::prim(0x80, der::Bytes(20, key_id)));
    info.children.push_back(algorithm(shape.digest_algorithm, shape.digest_null_parameter));
    if (shape.signed_attributes)
        info.children.push_back(der::cons(0xA0, {
            attribute("1.2.840.113549.1.9.3", der::oid(shape.econtent_type)),       // contentType
            attribute("1.2.840.113549.1.9.4", der::octets(der::Bytes(48, 0x5A))), // messageDigest
        }));
    info.children.push_back(algorithm(shape.signature_algorithm, false));
    info.children.push_back(der::octets(der::Bytes(103, 0x30)));
    if (shape.unsigned_attributes)
        info.children.push_back(der::cons(0xA1, {
            attribute("1.2.840.113549.1.9.6", der::seq({der::integer(1)})), // countersignature
        }));
    return info;
}

} // namespace

der::Node make_cms_envelope(const der::Bytes &content, const CmsShape &shape)
{
    Node encapsulated = der::seq({der::oid(shape.econtent_type)});
    if (shape.econtent)
        encapsulated.children.push_back(der::cons(0xA0, {der::octets(content)}));

    Node signed_data = der::seq({
        der::integer(3),
        der::set({algorithm(shape.digest_algorithm, shape.digest_null_parameter)}),
        encapsulated,
    });
    if (shape.certificates)
        signed_data.children.push_back(der::cons(0xA0, {der::seq({der::seq({der::integer(2)}),
                                                                  der::prim(0x03, der::Bytes(71, 0x11))})}));
    if (shape.crls)
        signed_data.children.push_back(der::cons(0xA1, {der::seq({der::seq({der::integer(1)})})}));
    Node signers = der::set({});
    for (unsigned i = 0; i < shape.signers; ++i)
        signers.children.push_back(signer_info(shape, static_cast<uint8_t>(0xC0 + i)));
    signed_data.children.push_back(signers);

    return der::seq({der::oid(shape.content_type), der::cons(0xA0, {signed_data})});
}
