#include "lib/utils/cms_parser.h"

#include <cerrno>
#include <cstdio>
#include <libintl.h>

namespace {

// Where the content handler found the eContent; 0 until it runs.
uint32_t content_offset = 0;
uint32_t content_length = 0;

constexpr uint8_t OPT = ASN_FLAG_OPTIONAL;
constexpr uint8_t EXPL = ASN_FLAG_EXPLICIT;
constexpr uint8_t LAST = ASN_FLAG_LAST_ITEM;
constexpr uint8_t CONT = ASN_FLAG_CONTINUED;

constexpr uint8_t CTX_0 = ASN_TAG_CONTEXT_ | 0;
constexpr uint8_t CTX_0_CONSTR = ASN_TAG_CONTEXT_ | ASN_TAG_CONSTR_ | 0;
constexpr uint8_t CTX_1_CONSTR = ASN_TAG_CONTEXT_ | ASN_TAG_CONSTR_ | 1;

constexpr asn_seq_item_t skip(uint8_t tag, uint8_t flags = 0)
{
    return {tag, flags, ASN_TODO_NOTHING, {.obj_id = nullptr}};
}
constexpr asn_seq_item_t check_obj_id(const uint8_t *obj_id, uint8_t flags = 0)
{
    return {ASN_TAG_OBJ_ID, flags, ASN_TODO_CHECK_OBJ_ID, {.obj_id = obj_id}};
}
constexpr asn_seq_item_t walk(uint8_t tag, uint8_t flags, const asn_seq_item_t *seq)
{
    return {tag, flags, ASN_TODO_PARSE_SEQ, {.seq = seq}};
}
constexpr asn_seq_item_t walk_each(uint8_t tag, uint8_t flags, const asn_seq_item_t *seq)
{
    return {tag, flags, ASN_TODO_PARSE_SET_OF_SEQ, {.seq = seq}};
}

} // namespace

const uint8_t ASN_OBJ_ID_PKCS7_Signed_Data[] = {9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const uint8_t ASN_OBJ_ID_PKCS7_Data[] = {9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const uint8_t ASN_OBJ_ID_Algorithm_SHA384[] = {9, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const uint8_t ASN_OBJ_ID_Algorithm_ECDSA_with_SHA384[] = {8, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x03};

// No attribute is of interest: each one's values are passed over.
const asn_handlers_table_entry_t ASN_HANDLERS_NULL_TABLE[] = {{nullptr, nullptr}};

const asn_seq_item_t ASN_SEQ_Content[] = {
    {ASN_TAG_OCTET_STRING, LAST, ASN_TODO_HANDLER, {.handler = cms_handler_content}},
};

const asn_seq_item_t ASN_SEQ_EncapsulatedContentInfo[] = {
    check_obj_id(ASN_OBJ_ID_PKCS7_Data),
    walk(CTX_0_CONSTR, OPT | LAST, ASN_SEQ_Content), // eContent
};

const asn_seq_item_t ASN_SEQ_DigestAlgorithmIdentifier[] = {
    check_obj_id(ASN_OBJ_ID_Algorithm_SHA384, LAST),
};

const asn_seq_item_t ASN_SEQ_SignatureAlgorithmIdentifier[] = {
    check_obj_id(ASN_OBJ_ID_Algorithm_ECDSA_with_SHA384, LAST),
};

const asn_seq_item_t ASN_SEQ_Attribute[] = {
    {ASN_TAG_OBJ_ID, LAST, ASN_TODO_HANDLER_FROM_TABLE, {.handlers = ASN_HANDLERS_NULL_TABLE}},
};

// signedAttrs is walked attribute by attribute (continued), then the same
// TLV is passed over by the optional item after it.
const asn_seq_item_t ASN_SEQ_SignerInfo[] = {
    skip(ASN_TAG_INTEGER), // version
    skip(CTX_0),           // sid: subject key identifier
    walk(ASN_TAG_SEQ, 0, ASN_SEQ_DigestAlgorithmIdentifier),
    walk_each(CTX_0_CONSTR, OPT | CONT, ASN_SEQ_Attribute), // signedAttrs
    skip(CTX_0_CONSTR, OPT),
    walk(ASN_TAG_SEQ, 0, ASN_SEQ_SignatureAlgorithmIdentifier),
    skip(ASN_TAG_OCTET_STRING),       // signature
    skip(CTX_1_CONSTR, OPT | LAST),   // unsignedAttrs
};

const asn_seq_item_t ASN_SEQ_SignedData[] = {
    skip(ASN_TAG_INTEGER), // version
    skip(ASN_TAG_SET),     // digestAlgorithms
    walk(ASN_TAG_SEQ, 0, ASN_SEQ_EncapsulatedContentInfo),
    skip(CTX_0_CONSTR),      // certificates, required
    skip(CTX_1_CONSTR, OPT), // crls
    walk_each(ASN_TAG_SET, LAST, ASN_SEQ_SignerInfo), // signerInfos
};

const asn_seq_item_t ASN_SEQ_ContentInfo_with_SignedData[] = {
    check_obj_id(ASN_OBJ_ID_PKCS7_Signed_Data),
    walk(CTX_0_CONSTR, EXPL | LAST, ASN_SEQ_SignedData),
};

asn_error_t cms_handler_content(asn_tlv_location_t location)
{
    content_offset = location.offset_in_file + location.hdr_size;
    content_length = static_cast<uint32_t>(location.total_size - location.hdr_size);
    return ASN_ERROR_NONE;
}

int cms_parse(const uint8_t *buffer, size_t length, uint32_t *out_content_offset,
              uint32_t *out_content_length)
{
    // Nothing from an earlier image may leak into this one.
    content_offset = 0;
    content_length = 0;
    asn_register_image(buffer, length);
    const asn_error_t err =
        asn_parse(ASN_SEQ_ContentInfo_with_SignedData, 0, static_cast<uint32_t>(length));
    asn_register_image(nullptr, 0);
    if (err != ASN_ERROR_NONE) {
        printf(gettext("Failed to parse signed image: %d\n"), static_cast<int>(err));
        errno = EINVAL;
        return -1;
    }
    if (out_content_offset != nullptr)
        *out_content_offset = content_offset;
    if (out_content_length != nullptr)
        *out_content_length = content_length;
    return 0;
}
