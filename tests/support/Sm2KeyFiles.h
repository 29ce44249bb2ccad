/* SM2 key files made at test time, independently of the toolkit's own writer: the password key
 * by OpenSSL's SM3, the private key encrypted by OpenSSL's SM4-CBC, the DER written here from
 * the structure (SEQUENCE { version, SEQUENCE { dataID, dataEncryptedAlg, encrypted key },
 * SEQUENCE { dataID, certificate } }), the text by OpenSSL's Base64. Keys and certificates
 * come from the openssl command line (`openssl genpkey -algorithm SM2`; TestPki makes both:
 * WriteSm2KeyFile(path, pki.Key(name), pki.Pem(name), password)). */
#ifndef KELU_SM2_KEY_FILES_H
#define KELU_SM2_KEY_FILES_H

#include <initializer_list>
#include <string>

#include "TestSupport.h"

namespace kelu::test {

// d, X and Y of an SM2 private key, 32 bytes each.
struct Sm2KeyValues {
  Bytes d, x, y;
};
// The values of a PEM (or DER) SM2 private key file; fails the test when it is none.
Sm2KeyValues ReadSm2PrivateKey(const std::string &key_path);

// K = SM3(password || 00 00 00 01).
Bytes Sm2KeyFilePasswordKey(const std::string &password);
// The key as the file holds it: SM4-CBC with PKCS#7 padding, IV K[0..15], key K[16..31].
Bytes EncryptSm2KeyWithPassword(const Bytes &d, const std::string &password);

// The fields of the structure; the defaults are the values the toolkit writes.
struct Sm2PfxFields {
  long version = 1;
  std::string private_data_id = "1.2.156.10197.6.1.4.2.1";
  std::string encryption_alg = "1.2.156.10197.1.104";
  std::string public_data_id = "1.2.156.10197.6.1.4.2.1";
};
// The DER of a key file holding encrypted_key and the certificate bytes (PEM or DER).
Bytes BuildSm2Pfx(const Bytes &certificate, const Bytes &encrypted_key,
                  const Sm2PfxFields &fields = Sm2PfxFields());
// The same for a plain key d and a password.
Bytes BuildSm2PfxForKey(const Bytes &certificate, const Bytes &d, const std::string &password);

// The Base64 text of a key file's DER: one line, or lines of 64 characters with line feeds.
std::string Sm2KeyFileText(const Bytes &der, bool line_breaks = false);
// Writes the key file of the key in key_path and its certificate (a PEM or DER file) with a
// password to path; returns the DER written.
Bytes WriteSm2KeyFile(const std::string &path, const std::string &key_path,
                      const std::string &cert_path, const std::string &password);

// One DER TLV (tags below 31, definite length); for building variants of the structure.
Bytes DerTlv(uint8_t tag, const Bytes &content);
// The DER content octets of a dotted OID, by OpenSSL.
Bytes OidContent(const std::string &dotted);
// The parts one after the other.
Bytes Concat(std::initializer_list<Bytes> parts);

}  // namespace kelu::test

#endif
