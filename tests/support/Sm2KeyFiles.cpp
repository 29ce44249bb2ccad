#include "Sm2KeyFiles.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <algorithm>
#include <initializer_list>

namespace kelu::test {

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes OidContent(const std::string &dotted) {
  ASN1_OBJECT *obj = OBJ_txt2obj(dotted.c_str(), 1);
  EXPECT_NE(obj, nullptr) << dotted;
  if (obj == nullptr) return {};
  Bytes content(OBJ_get0_data(obj), OBJ_get0_data(obj) + OBJ_length(obj));
  ASN1_OBJECT_free(obj);
  return content;
}

namespace {

Bytes IntegerDer(long value) {
  ASN1_INTEGER *n = ASN1_INTEGER_new();
  ASN1_INTEGER_set(n, value);
  unsigned char *der = nullptr;
  int len = i2d_ASN1_INTEGER(n, &der);
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  ASN1_INTEGER_free(n);
  return out;
}

EVP_PKEY *LoadKey(const std::string &key_path) {
  BIO *bio = BIO_new_file(key_path.c_str(), "rb");
  if (bio == nullptr) return nullptr;
  EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  if (key == nullptr) {
    (void)BIO_reset(bio);
    key = d2i_PrivateKey_bio(bio, nullptr);
  }
  BIO_free(bio);
  return key;
}

}  // namespace

Bytes DerTlv(uint8_t tag, const Bytes &content) {
  Bytes out{tag};
  size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else {
    Bytes length;
    for (; n != 0; n >>= 8) length.insert(length.begin(), static_cast<uint8_t>(n & 0xFF));
    out.push_back(static_cast<uint8_t>(0x80 | length.size()));
    out.insert(out.end(), length.begin(), length.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Sm2KeyValues ReadSm2PrivateKey(const std::string &key_path) {
  Sm2KeyValues v{Bytes(32), Bytes(32), Bytes(32)};
  EVP_PKEY *key = LoadKey(key_path);
  EXPECT_NE(key, nullptr) << key_path;
  if (key == nullptr) return v;
  EXPECT_TRUE(EVP_PKEY_is_a(key, "SM2")) << key_path;
  const char *names[] = {OSSL_PKEY_PARAM_PRIV_KEY, OSSL_PKEY_PARAM_EC_PUB_X,
                         OSSL_PKEY_PARAM_EC_PUB_Y};
  Bytes *values[] = {&v.d, &v.x, &v.y};
  for (int i = 0; i < 3; ++i) {
    BIGNUM *bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, names[i], &bn), 1) << names[i];
    if (bn != nullptr) BN_bn2binpad(bn, values[i]->data(), 32);
    BN_clear_free(bn);
  }
  EVP_PKEY_free(key);
  return v;
}

Bytes Sm2KeyFilePasswordKey(const std::string &password) {
  Bytes input(password.begin(), password.end());
  input.insert(input.end(), {0, 0, 0, 1});
  Bytes k(32);
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(input.data(), input.size(), k.data(), &len, ::EVP_sm3(), nullptr), 1);
  return k;
}

Bytes EncryptSm2KeyWithPassword(const Bytes &d, const std::string &password) {
  Bytes k = Sm2KeyFilePasswordKey(password);
  Bytes out(d.size() + 16);
  int n = 0, m = 0;
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  bool ok = ctx != nullptr &&
            EVP_EncryptInit_ex(ctx, ::EVP_sm4_cbc(), nullptr, k.data() + 16, k.data()) == 1 &&
            EVP_EncryptUpdate(ctx, out.data(), &n, d.data(), static_cast<int>(d.size())) == 1 &&
            EVP_EncryptFinal_ex(ctx, out.data() + n, &m) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_TRUE(ok);
  out.resize(ok ? static_cast<size_t>(n + m) : 0);
  return out;
}

Bytes BuildSm2Pfx(const Bytes &certificate, const Bytes &encrypted_key,
                  const Sm2PfxFields &fields) {
  Bytes private_data = DerTlv(
      0x30, Concat({DerTlv(0x06, OidContent(fields.private_data_id)),
                    DerTlv(0x06, OidContent(fields.encryption_alg)), DerTlv(0x04, encrypted_key)}));
  Bytes public_data = DerTlv(
      0x30, Concat({DerTlv(0x06, OidContent(fields.public_data_id)), DerTlv(0x04, certificate)}));
  return DerTlv(0x30, Concat({IntegerDer(fields.version), private_data, public_data}));
}

Bytes BuildSm2PfxForKey(const Bytes &certificate, const Bytes &d, const std::string &password) {
  return BuildSm2Pfx(certificate, EncryptSm2KeyWithPassword(d, password));
}

std::string Sm2KeyFileText(const Bytes &der, bool line_breaks) {
  std::string text;
  for (size_t at = 0; at < der.size(); at += 48) {
    size_t n = std::min<size_t>(48, der.size() - at);
    std::string piece(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&piece[0]), der.data() + at,
                              static_cast<int>(n));
    piece.resize(static_cast<size_t>(len));
    text += piece;
    if (line_breaks) text += "\n";
  }
  return text;
}

Bytes WriteSm2KeyFile(const std::string &path, const std::string &key_path,
                      const std::string &cert_path, const std::string &password) {
  Bytes der = BuildSm2PfxForKey(ReadBinaryFile(cert_path), ReadSm2PrivateKey(key_path).d,
                                password);
  WriteTextFile(path, Sm2KeyFileText(der, true));
  return der;
}

}  // namespace kelu::test
