/* SM2 signatures by independent peers, for the cross-checks of the signature tests: OpenSSL's
 * own SM2 through the openssl command line, either over SM3(Z || data) with the default user
 * ID (signed by openssl pkeyutl -rawin -digest sm3, verified by openssl dgst -sm3, both with
 * distid) or over a digest given as it is (openssl pkeyutl), and the listing of SignedData by
 * openssl asn1parse. */
#ifndef KELU_SM2_SIGNATURES_H
#define KELU_SM2_SIGNATURES_H

#include <string>

#include "TestSupport.h"

namespace kelu::test {

// The DER SEQUENCE { INTEGER r, INTEGER s } of 64 bytes r || s, as OpenSSL writes it.
Bytes Sm2SignatureDer(const Bytes &rs);

// with_z: the signature of SM3(Z || data), Z of the default user ID; else of SM3(data) as the
// digest. Keys and certificates are PEM files.
bool OpensslSm2Verify(const std::string &cert_pem, const Bytes &data, const Bytes &signature_der,
                      bool with_z);
Bytes OpensslSm2Sign(const std::string &key_pem, const Bytes &data, bool with_z);

// The listing of openssl asn1parse -inform DER.
std::string Asn1Parse(const Bytes &der);
// The value of the last OCTET STRING of the listing: a SignerInfo's signature value when the
// SignerInfo carries no unsigned attributes.
Bytes LastOctetString(const Bytes &der);

}  // namespace kelu::test

#endif
