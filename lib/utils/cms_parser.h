// The CMS schema the DER walker applies to signed firmware images: a
// ContentInfo carrying SignedData whose encapsulated content is the image.
// Only the shape this family's images use is accepted (certificates present,
// signer named by subject key identifier, SHA-384 with ECDSA, parameters
// absent); the signature itself is checked by the adapter, not here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/utils/asn_parser.h"
#include "lib/utils/firmware.h" // cms_parse

// Object ids: a length byte, then the DER content bytes.
extern const uint8_t ASN_OBJ_ID_PKCS7_Signed_Data[];           // 1.2.840.113549.1.7.2
extern const uint8_t ASN_OBJ_ID_PKCS7_Data[];                  // 1.2.840.113549.1.7.1
extern const uint8_t ASN_OBJ_ID_Algorithm_SHA384[];            // 2.16.840.1.101.3.4.2.2
extern const uint8_t ASN_OBJ_ID_Algorithm_ECDSA_with_SHA384[]; // 1.2.840.10045.4.3.3

extern const asn_handlers_table_entry_t ASN_HANDLERS_NULL_TABLE[];

extern const asn_seq_item_t ASN_SEQ_ContentInfo_with_SignedData[];
extern const asn_seq_item_t ASN_SEQ_SignedData[];
extern const asn_seq_item_t ASN_SEQ_EncapsulatedContentInfo[];
extern const asn_seq_item_t ASN_SEQ_Content[];
extern const asn_seq_item_t ASN_SEQ_SignerInfo[];
extern const asn_seq_item_t ASN_SEQ_DigestAlgorithmIdentifier[];
extern const asn_seq_item_t ASN_SEQ_SignatureAlgorithmIdentifier[];
extern const asn_seq_item_t ASN_SEQ_Attribute[];

// Records the value bytes of the eContent OCTET STRING as the content.
asn_error_t cms_handler_content(asn_tlv_location_t location);
