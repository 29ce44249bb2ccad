// RSA key transport and CMS envelopes in memory, against `openssl cms -encrypt` / `-decrypt`
// and OpenSSL's own RSA.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CMSEnvelopeOperations.h"
#include "CertificateOperations.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OsslPtr.h"
#include "RSADataEncryption.h"
#include "RsaTestPki.h"
#include "Sm2KeyFiles.h"

namespace kelu::test {
namespace {

const char kLegacy[] = " -provider legacy -provider default";

class RsaEnvelope : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SharedRsaPki(); }
  void SetUp() override { StartRsaKernel(); }
  const RsaPki &pki() const { return SharedRsaPki(); }
  std::string File(const std::string &name) const { return dir_.File(name); }

  // openssl cms -decrypt of a DER envelope with the key of name; the exit code and output.
  CommandResult OpensslDecrypt(const Bytes &envelope, const std::string &name) const {
    WriteBinaryFile(File("in.der"), envelope);
    return RunCommand("openssl cms -decrypt -binary -inform DER" + std::string(kLegacy) +
                      " -in " + ShellQuote(File("in.der")) + " -recip " +
                      ShellQuote(pki().Pem(name)) + " -inkey " + ShellQuote(pki().Key(name)) +
                      " -out " + ShellQuote(File("out.bin")));
  }
  // openssl cms -encrypt -keyid to name's certificate, as DER.
  Bytes OpensslEncrypt(const Bytes &data, const std::string &name,
                       const std::string &options) const {
    WriteBinaryFile(File("plain.bin"), data);
    pki().Openssl("cms -encrypt -keyid -binary -outform DER" + std::string(kLegacy) + " " +
                  options + " -in " + ShellQuote(File("plain.bin")) + " -out " +
                  ShellQuote(File("env.der")) + " " + ShellQuote(pki().Pem(name)));
    return ReadBinaryFile(File("env.der"));
  }

  TempDir dir_;
};

struct Opened {
  int rc;
  Bytes plain;
};

Opened OpenDer(const Bytes &envelope, const std::string &pfx,
               const std::string &password = kPfxPassword) {
  FilePtr f = OpenPfx(pfx);
  Handed out;
  int rc = RSA_DecryptDataFromDERCMSEnvelope(envelope.data(), static_cast<int>(envelope.size()),
                                             f.get(), password.c_str(), &out.data, &out.size);
  Opened r{rc, out.bytes()};
  if (rc == KELU_OK) {
    EXPECT_EQ(out.data[out.size], 0) << "a NUL follows the plaintext";
  } else {
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.size, -7);
  }
  return r;
}

Bytes MakeEnvelope(const Bytes &data, const Bytes &cert, int nid, int want = KELU_OK) {
  Handed out;
  EXPECT_EQ(RSA_EncryptDataToDERCMSEnvelope(data.data(), static_cast<int>(data.size()),
                                            cert.data(), static_cast<int>(cert.size()), nid,
                                            &out.data, &out.size),
            want);
  if (want != KELU_OK) {
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.size, -7);
  }
  return out.bytes();
}

struct Fields {
  Bytes key_id, encrypted_key, content, parameters;
  std::string key_oid, content_oid;
};

Fields Parse(const Bytes &envelope) {
  unsigned char *id = nullptr, *key = nullptr, *content = nullptr, *parameters = nullptr;
  char *key_oid = nullptr, *content_oid = nullptr;
  int id_size = 0, key_size = 0, content_size = 0, parameters_size = 0, key_oid_size = 0,
      content_oid_size = 0;
  EXPECT_EQ(Decode_CMSEnvelopeData(envelope.data(), static_cast<int>(envelope.size()), &id,
                                   &id_size, &key, &key_size, &content, &content_size, &key_oid,
                                   &key_oid_size, &content_oid, &content_oid_size, &parameters,
                                   &parameters_size),
            KELU_OK);
  Fields f{Bytes(id, id + id_size), Bytes(key, key + key_size), Bytes(content, content + content_size),
           Bytes(parameters, parameters + parameters_size), key_oid ? key_oid : "",
           content_oid ? content_oid : ""};
  delete[] id;
  delete[] key;
  delete[] content;
  delete[] parameters;
  delete[] key_oid;
  delete[] content_oid;
  return f;
}

// The subject key identifier as openssl prints it, without colons.
std::string OpensslKeyId(const RsaPki &pki, const std::string &name) {
  std::string out = pki.Openssl("x509 -noout -ext subjectKeyIdentifier -in " +
                                ShellQuote(pki.Pem(name)));
  std::string hex;
  for (char c : out.substr(out.find('\n') + 1))
    if (isxdigit(static_cast<unsigned char>(c))) hex += c;
  return hex;
}

// An envelope of our own making, for the shapes the toolkit does not make itself.
Bytes EncodeEnvelope(const Bytes &key_id, const Bytes &encrypted_key, const char *content_oid,
                     const Bytes &parameters, const Bytes &content) {
  unsigned char *der = nullptr;
  int size = 0;
  EXPECT_EQ(Encode_CMSEnvelope("1.2.840.113549.1.7.3", key_id.data(),
                               static_cast<int>(key_id.size()), "1.2.840.113549.1.1.1",
                               encrypted_key.data(), static_cast<int>(encrypted_key.size()),
                               "1.2.840.113549.1.7.1", content_oid, parameters.data(),
                               static_cast<int>(parameters.size()), content.data(),
                               static_cast<int>(content.size()), &der, &size),
            KELU_OK);
  Bytes out(der, der + size);
  delete[] der;
  return out;
}

// Content-encryption parameters of a CBC cipher: the OCTET STRING of the IV.
Bytes IvParameters(const Bytes &iv) { return DerTlv(0x04, iv); }

// RSAES-PKCS1-v1_5 with OpenSSL's own RSA, to the public key of a DER certificate.
Bytes OpensslRsaEncrypt(const Bytes &cert_der, const Bytes &plain) {
  const unsigned char *p = cert_der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(cert_der.size())));
  EvpPkeyPtr key(X509_get_pubkey(cert.get()));
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
  size_t size = 0;
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &size, plain.data(), plain.size()), 1);
  Bytes out(size);
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &size, plain.data(), plain.size()), 1);
  out.resize(size);
  return out;
}

// The content under key and IV with OpenSSL's own cipher (PKCS#7 padding).
Bytes OpensslCipher(const char *name, const Bytes &key, const Bytes &iv, const Bytes &plain) {
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EXPECT_NE(cipher, nullptr) << name;
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  Bytes out(plain.size() + 32);
  int n = 0, m = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(),
                               iv.empty() ? nullptr : iv.data()),
            1);
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &n, plain.data(), static_cast<int>(plain.size())), 1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &m), 1);
  EVP_CIPHER_free(cipher);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

// ---------------------------------------------------------------------------------------------

TEST_F(RsaEnvelope, KeyTransportAgainstOpensslRsa) {
  const Bytes cert = pki().Der("rsa");
  const unsigned char *p = cert.data();
  X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(cert.size())));
  FilePtr f = OpenPfx("rsa");
  EVP_PKEY *raw = nullptr;
  ASSERT_EQ(ParsePFXFile(f.get(), kPfxPassword, &raw, nullptr, nullptr), KELU_OK);
  EvpPkeyPtr key(raw);
  for (size_t size : {0, 1, 24, 245}) {
    SCOPED_TRACE(size);
    const Bytes plain = RandomBytes(size);
    const unsigned char none_at_all = 0;
    Handed encrypted;
    ASSERT_EQ(RSAEncryptByX509(x509.get(), size != 0 ? plain.data() : &none_at_all,
                               static_cast<int>(size), &encrypted.data,
                               &encrypted.size),
              KELU_OK);
    EXPECT_EQ(encrypted.size, 256);
    // openssl pkeyutl opens it
    WriteBinaryFile(File("ek.bin"), encrypted.bytes());
    pki().Openssl("pkeyutl -decrypt -inkey " + ShellQuote(pki().Key("rsa")) + " -in " +
                  ShellQuote(File("ek.bin")) + " -out " + ShellQuote(File("ek.out")));
    EXPECT_EQ(ReadBinaryFile(File("ek.out")), plain);
    // and the toolkit opens OpenSSL's
    const Bytes theirs = OpensslRsaEncrypt(cert, plain);
    Handed decrypted;
    int rc = RSADecrypt(key.get(), theirs.data(), static_cast<int>(theirs.size()), &decrypted.data,
                        &decrypted.size);
    if (size == 0) {
      EXPECT_EQ(rc, KELU_ERR_DECRYPT) << "an empty plaintext counts as a failure";
    } else {
      ASSERT_EQ(rc, KELU_OK);
      EXPECT_EQ(decrypted.bytes(), plain);
    }
  }
  // One byte more than RSA_size - 11 does not fit the padding.
  const Bytes too_long = RandomBytes(246);
  Handed none;
  EXPECT_EQ(RSAEncryptByX509(x509.get(), too_long.data(), 246, &none.data, &none.size),
            KELU_ERR_ENCRYPT);
  EXPECT_EQ(none.data, nullptr);
  // A cipher text of another key, a longer one, and no key at all.
  const Bytes other = OpensslRsaEncrypt(pki().Der("other"), RandomBytes(24));
  const Bytes longer = RandomBytes(257);
  EXPECT_EQ(RSADecrypt(key.get(), other.data(), 256, &none.data, &none.size), KELU_ERR_DECRYPT);
  EXPECT_EQ(RSADecrypt(key.get(), longer.data(), 257, &none.data, &none.size), KELU_ERR_DECRYPT);
  EXPECT_EQ(RSADecrypt(nullptr, other.data(), 256, &none.data, &none.size), KELU_ERR_DECRYPT);
  EXPECT_EQ(RSAEncrypt(nullptr, other.data(), 1, &none.data, &none.size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSAEncryptByX509(nullptr, other.data(), 1, &none.data, &none.size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(none.data, nullptr);
}

TEST_F(RsaEnvelope, KeysOfOtherKindsAndSizes) {
  struct Case {
    const char *cert;
    int want;
  };
  const Case cases[] = {{"rsa512", KELU_ERR_ENCRYPT}, {"rsa1024", KELU_OK}, {"ec", KELU_ERR_ENCRYPT}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.cert);
    const Bytes cert = pki().Der(c.cert);
    const unsigned char *p = cert.data();
    X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(cert.size())));
    EvpPkeyPtr key(X509_get_pubkey(x509.get()));
    Handed out;
    EXPECT_EQ(RSAEncrypt(key.get(), cert.data(), 16, &out.data, &out.size), c.want);
  }
  // Opening with a key under 1024 bits, whatever the cipher text.
  FilePtr f = OpenPfx("rsa512");
  EVP_PKEY *raw = nullptr;
  ASSERT_EQ(ParsePFXFile(f.get(), kPfxPassword, &raw, nullptr, nullptr), KELU_OK);
  EvpPkeyPtr key(raw);
  const Bytes cipher = RandomBytes(64);
  Handed out;
  EXPECT_EQ(RSADecrypt(key.get(), cipher.data(), 64, &out.data, &out.size), KELU_ERR_DECRYPT);
  EXPECT_EQ(out.data, nullptr);
}

TEST_F(RsaEnvelope, ToolkitEnvelopesOpenWithOpensslCms) {
  struct Cipher {
    int nid;
    const char *oid;
    size_t iv, block;
  };
  const Cipher ciphers[] = {{44, "1.2.840.113549.3.7", 8, 8}, {5, "1.2.840.113549.3.4", 0, 1}};
  const std::string key_id = OpensslKeyId(pki(), "rsa");
  for (const Cipher &c : ciphers) {
    for (size_t size : {1, 7, 8, 100, 1000}) {
      SCOPED_TRACE("nid " + std::to_string(c.nid) + " size " + std::to_string(size));
      const Bytes data = RandomBytes(size);
      const Bytes envelope = MakeEnvelope(data, pki().Der("rsa"), c.nid);
      CommandResult r = OpensslDecrypt(envelope, "rsa");
      const Fields f = Parse(envelope);
      if (c.nid == 5) {
        // OpenSSL reads RC4 parameters only as an (empty) OCTET STRING and refuses the NULL
        // that the toolkit writes; with the NULL turned into 04 00 it opens the envelope.
        ASSERT_NE(r.exit_code, 0);
        EXPECT_NE(r.output.find("cipher parameter error"), std::string::npos) << r.output;
        r = OpensslDecrypt(WithEmptyOctetStringParameters(envelope), "rsa");
      }
      ASSERT_EQ(r.exit_code, 0) << r.output;
      EXPECT_EQ(ReadBinaryFile(File("out.bin")), data);
      EXPECT_EQ(ToHex(f.key_id), key_id);
      EXPECT_EQ(f.encrypted_key.size(), 256u);
      EXPECT_EQ(f.key_oid, "1.2.840.113549.1.1.1");
      EXPECT_EQ(f.content_oid, c.oid);
      EXPECT_EQ(f.parameters.size(), c.iv) << "OCTET STRING of the IV, or NULL";
      EXPECT_EQ(f.content.size(), c.block == 1 ? size : size / c.block * c.block + c.block);
      EXPECT_EQ(OpenDer(envelope, "rsa").plain, data);
    }
  }
  // 100 bytes of DES-EDE3-CBC: 104 content bytes and parameters 04 08 IV.
  const Bytes envelope = MakeEnvelope(Bytes(100, 0x41), pki().Der("rsa"), 44);
  WriteBinaryFile(File("in.der"), envelope);
  const std::string parsed = pki().Openssl("asn1parse -inform DER -in " + ShellQuote(File("in.der")));
  EXPECT_NE(parsed.find(":des-ede3-cbc"), std::string::npos) << parsed;
  EXPECT_NE(parsed.find("l=   8 prim: OCTET STRING      [HEX DUMP]:" +
                        ToHex(Parse(envelope).parameters)),
            std::string::npos)
      << parsed;
  EXPECT_NE(parsed.find("l= 104 prim: cont [ 0 ]"), std::string::npos) << parsed;
}

TEST_F(RsaEnvelope, Base64EnvelopesAreOneLineAndOpen) {
  const Bytes data = AsBytes("a message for the RSA envelope, in Base64 text");
  for (int nid : {44, 5, 427}) {
    SCOPED_TRACE(nid);
    HandedText text;
    ASSERT_EQ(RSA_EncryptDataToCMSEnvelope(data.data(), static_cast<int>(data.size()),
                                           pki().Der("rsa").data(),
                                           static_cast<int>(pki().Der("rsa").size()), nid,
                                           ATL_BASE64_FLAG_NOCRLF, &text.text, &text.length),
              KELU_OK);
    const std::string b64(text.text);
    EXPECT_EQ(b64.size(), static_cast<size_t>(text.length));
    EXPECT_EQ(b64.find_first_of("\r\n"), std::string::npos);
    FilePtr f = OpenPfx("rsa");
    Handed plain;
    const int rc = RSA_DecryptDataFromCMSEnvelope(text.text, f.get(), kPfxPassword, &plain.data,
                                                  &plain.size);
    if (nid == 427) {
      // The toolkit makes AES-256 envelopes that only other implementations open.
      EXPECT_EQ(rc, KELU_ERR_DECRYPT);
      WriteTextFile(File("aes.b64"), b64);
      pki().Openssl("base64 -d -A -in " + ShellQuote(File("aes.b64")) + " -out " +
                    ShellQuote(File("aes.der")));
      CommandResult r = OpensslDecrypt(ReadBinaryFile(File("aes.der")), "rsa");
      ASSERT_EQ(r.exit_code, 0) << r.output;
      EXPECT_EQ(ReadBinaryFile(File("out.bin")), data);
    } else {
      ASSERT_EQ(rc, KELU_OK);
      EXPECT_EQ(plain.bytes(), data);
    }
  }
}

TEST_F(RsaEnvelope, OpensslEnvelopesOpenWithToolkit) {
  struct Case {
    const char *options;
    const char *pfx;
    int want;
  };
  const Case cases[] = {
      {"-des3", "rsa", KELU_OK},
      {"-des3 -stream", "rsa", KELU_OK},
      {"-des3", "rsa-legacy", KELU_OK},
      {"-des3 -stream", "rsa-legacy", KELU_OK},
      {"-rc4", "rsa", KELU_OK},
      {"-aes256", "rsa", KELU_ERR_DECRYPT},  // content ciphers other than RC4 and 3DES
      {"-des3", "other", KELU_ERR_DECRYPT},  // another recipient
  };
  Bytes data = RandomBytes(40000);
  data[0] = '\n';
  data[1] = '\r';
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.options) + " opened with " + c.pfx);
    const Bytes envelope = OpensslEncrypt(data, "rsa", c.options);
    Opened der = OpenDer(envelope, c.pfx);
    EXPECT_EQ(der.rc, c.want);
    if (c.want == KELU_OK) {
      EXPECT_EQ(der.plain, data);
    }

    // The same as Base64 text with line breaks, as openssl base64 writes it.
    pki().Openssl("base64 -in " + ShellQuote(File("env.der")) + " -out " +
                  ShellQuote(File("env.b64")));
    const std::string text = ReadTextFile(File("env.b64"));
    ASSERT_NE(text.find('\n'), text.size() - 1);
    FilePtr f = OpenPfx(c.pfx);
    Handed plain;
    EXPECT_EQ(RSA_DecryptDataFromCMSEnvelope(text.c_str(), f.get(), kPfxPassword, &plain.data,
                                             &plain.size),
              c.want);
    if (c.want == KELU_OK) {
      EXPECT_EQ(plain.bytes(), data);
    }

    // And from the file, the content streamed from its segments.
    FilePtr env = OpenForReading(File("env.der"));
    FilePtr pfx = OpenPfx(c.pfx);
    FilePtr out(std::fopen(File("plain.out").c_str(), "wb"));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(RSA_DecryptFileFromCMSEnvelope(env.get(), pfx.get(), kPfxPassword, out.get()),
              c.want);
    out.reset();
    EXPECT_EQ(ReadBinaryFile(File("plain.out")), c.want == KELU_OK ? data : Bytes());
  }
}

TEST_F(RsaEnvelope, RecipientCertificatesThatAreRefused) {
  const Bytes data = AsBytes("data");
  struct Case {
    const char *what;
    Bytes cert;
    int nid;
    int want;
  };
  const Case cases[] = {
      {"PEM instead of DER", pki().pki().PemBytes("rsa"), 44, KELU_ERR_FAILED},
      {"not a certificate", AsBytes("not a certificate"), 44, KELU_ERR_FAILED},
      {"no keyUsage", pki().Der("no-ku"), 44, KELU_ERR_KEY_USAGE},
      {"no keyEncipherment", pki().Der("sign-only"), 44, KELU_ERR_KEY_USAGE},
      {"no subject key identifier", pki().Der("no-ski"), 44, KELU_ERR_FAILED},
      {"512-bit key", pki().Der("rsa512"), 44, KELU_ERR_ENCRYPT},
      {"EC key", pki().Der("ec"), 5, KELU_ERR_KEY_USAGE},
      {"DES-EDE3-ECB", pki().Der("rsa"), 33, KELU_ERR_INVALID_PARAMETER},
      {"SM4-CBC", pki().Der("rsa"), 923, KELU_ERR_INVALID_PARAMETER},
      {"AES-256-ECB", pki().Der("rsa"), 426, KELU_ERR_INVALID_PARAMETER},
      {"1024-bit key", pki().Der("rsa1024"), 44, KELU_OK},
      {"keyEncipherment only", pki().Der("enc-only"), 5, KELU_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    MakeEnvelope(data, c.cert, c.nid, c.want);
  }
  ASSERT_EQ(RunCommand("openssl x509 -noout -ext subjectKeyIdentifier -in " +
                       ShellQuote(pki().Pem("no-ski"))).output.find("Subject Key Identifier"),
            std::string::npos);
  HandedText text;
  EXPECT_EQ(RSA_EncryptDataToCMSEnvelope(data.data(), 0, pki().Der("rsa").data(),
                                         static_cast<int>(pki().Der("rsa").size()), 44,
                                         ATL_BASE64_FLAG_NOCRLF, &text.text, &text.length),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(text.text, nullptr);
  // The 1024-bit envelope opens with its own PKCS#12 file.
  EXPECT_EQ(OpenDer(MakeEnvelope(data, pki().Der("rsa1024"), 44), "rsa1024").plain, data);
}

TEST_F(RsaEnvelope, OpeningsThatAreRefused) {
  const Bytes data = AsBytes("secret content");
  const Bytes envelope = MakeEnvelope(data, pki().Der("rsa"), 44);
  EXPECT_EQ(OpenDer(envelope, "other").rc, KELU_ERR_DECRYPT) << "another recipient";
  EXPECT_EQ(OpenDer(envelope, "rsa", "wrong password").rc, KELU_ERR_FAILED);
  EXPECT_EQ(OpenDer(envelope, "rsa-nokey").rc, KELU_ERR_DECRYPT) << "no private key";
  EXPECT_EQ(OpenDer(envelope, "rsa-legacy").plain, data);
  // Certificates of the same key have the same identifier: the envelope opens with them.
  EXPECT_EQ(OpenDer(envelope, "enc-only").plain, data);

  std::string text;
  {
    HandedText t;
    ASSERT_EQ(RSA_EncryptDataToCMSEnvelope(data.data(), static_cast<int>(data.size()),
                                           pki().Der("rsa").data(),
                                           static_cast<int>(pki().Der("rsa").size()), 44,
                                           ATL_BASE64_FLAG_NOCRLF, &t.text, &t.length),
              KELU_OK);
    text = t.text;
  }
  struct Case {
    const char *what;
    const char *text;
    bool pfx;
    const char *password;
    int want;
  };
  const Case cases[] = {
      {"no text", nullptr, true, kPfxPassword, KELU_ERR_INVALID_PARAMETER},
      {"no PKCS#12 file", text.c_str(), false, kPfxPassword, KELU_ERR_INVALID_PARAMETER},
      {"no password", text.c_str(), true, nullptr, KELU_ERR_INVALID_PARAMETER},
      {"empty password", text.c_str(), true, "", KELU_ERR_INVALID_PARAMETER},
      {"empty text", "", true, kPfxPassword, KELU_ERR_BASE64_DECODE},
      {"text of no envelope", "bm90IGFuIGVudmVsb3Bl", true, kPfxPassword, KELU_ERR_FAILED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FilePtr f = OpenPfx("rsa");
    const long before = std::ftell(f.get());
    Handed out;
    EXPECT_EQ(RSA_DecryptDataFromCMSEnvelope(c.text, c.pfx ? f.get() : nullptr, c.password,
                                             &out.data, &out.size),
              c.want);
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.size, -7);
    if (c.want == KELU_ERR_INVALID_PARAMETER) {
      EXPECT_EQ(std::ftell(f.get()), before);
    }
  }
}

// Envelopes whose content key is wrong in each way the RSA plaintext can be wrong give the same
// code and nothing else, also for RC4, where any key "decrypts" the content.
TEST_F(RsaEnvelope, WrongContentKeysCannotBeToldApart) {
  const Bytes cert = pki().Der("rsa");
  const Bytes key_id = Parse(MakeEnvelope(AsBytes("x"), cert, 44)).key_id;
  const Bytes iv = RandomBytes(8);
  const Bytes parameters = IvParameters(iv);
  const Bytes rc4_parameters = {0x05, 0x00};
  const Bytes data = AsBytes("the content of an envelope that an attacker changes");
  struct Case {
    const char *what;
    Bytes encrypted_key;
    bool rc4;
    int want;
  };
  const Bytes des_key = RandomBytes(24);
  const Bytes rc4_key = RandomBytes(16);
  const Case cases[] = {
      {"3DES, right key", OpensslRsaEncrypt(cert, des_key), false, KELU_OK},
      {"3DES, RSA padding wrong", RandomBytes(256), false, KELU_ERR_DECRYPT},
      {"3DES, key of 23 bytes", OpensslRsaEncrypt(cert, RandomBytes(23)), false, KELU_ERR_DECRYPT},
      {"3DES, key of 16 bytes", OpensslRsaEncrypt(cert, RandomBytes(16)), false, KELU_ERR_DECRYPT},
      {"3DES, key of 0 bytes", OpensslRsaEncrypt(cert, Bytes()), false, KELU_ERR_DECRYPT},
      {"3DES, another key of 24 bytes", OpensslRsaEncrypt(cert, RandomBytes(24)), false,
       KELU_ERR_DECRYPT},
      {"3DES, encrypted key too long", RandomBytes(300), false, KELU_ERR_DECRYPT},
      {"3DES, encrypted key too short", RandomBytes(1), false, KELU_ERR_DECRYPT},
      {"RC4, right key", OpensslRsaEncrypt(cert, rc4_key), true, KELU_OK},
      {"RC4, RSA padding wrong", RandomBytes(256), true, KELU_ERR_DECRYPT},
      {"RC4, key of 15 bytes", OpensslRsaEncrypt(cert, RandomBytes(15)), true, KELU_ERR_DECRYPT},
      {"RC4, key of 24 bytes", OpensslRsaEncrypt(cert, RandomBytes(24)), true, KELU_ERR_DECRYPT},
  };
  const Bytes des_content = OpensslCipher("DES-EDE3-CBC", des_key, iv, data);
  const Bytes rc4_content = OpensslCipher("RC4", rc4_key, {}, data);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes envelope =
        EncodeEnvelope(key_id, c.encrypted_key, c.rc4 ? "1.2.840.113549.3.4" : "1.2.840.113549.3.7",
                       c.rc4 ? rc4_parameters : parameters, c.rc4 ? rc4_content : des_content);
    Opened memory = OpenDer(envelope, "rsa");
    EXPECT_EQ(memory.rc, c.want);
    if (c.want == KELU_OK) {
      EXPECT_EQ(memory.plain, data);
    }
    // The file form leaves its output as it found it.
    WriteBinaryFile(File("env.der"), envelope);
    WriteTextFile(File("plain.out"), "before|");
    FilePtr env = OpenForReading(File("env.der"));
    FilePtr pfx = OpenPfx("rsa");
    FilePtr out(std::fopen(File("plain.out").c_str(), "ab"));
    EXPECT_EQ(RSA_DecryptFileFromCMSEnvelope(env.get(), pfx.get(), kPfxPassword, out.get()),
              c.want);
    out.reset();
    Bytes want = AsBytes("before|");
    if (c.want == KELU_OK) want.insert(want.end(), data.begin(), data.end());
    EXPECT_EQ(ReadBinaryFile(File("plain.out")), want);
  }
}

TEST_F(RsaEnvelope, IvOfTheWrongLengthIsRefusedBeforeUse) {
  const Bytes cert = pki().Der("rsa");
  const Bytes key_id = Parse(MakeEnvelope(AsBytes("x"), cert, 44)).key_id;
  const Bytes key = RandomBytes(24);
  const Bytes content = OpensslCipher("DES-EDE3-CBC", key, Bytes(8, 0), AsBytes("content"));
  for (const Bytes &parameters :
       {Bytes{0x04, 0x07, 1, 2, 3, 4, 5, 6, 7}, Bytes{0x04, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9},
        Bytes{0x04, 0x00}, Bytes{0x05, 0x00}}) {
    SCOPED_TRACE(ToHex(parameters));
    const Bytes envelope = EncodeEnvelope(key_id, OpensslRsaEncrypt(cert, key),
                                          "1.2.840.113549.3.7", parameters, content);
    LogCapture log;
    EXPECT_EQ(OpenDer(envelope, "rsa").rc, KELU_ERR_DECRYPT);
    EXPECT_TRUE(log.Contains("Check IV length")) << log.Text();
    EXPECT_FALSE(log.Contains("RSA_private_decrypt")) << "refused before the key is decrypted";
  }
}

TEST_F(RsaEnvelope, EnvelopeWithoutRecipientIdentifierIsTriedWithTheKey) {
  const Bytes cert = pki().Der("rsa");
  const Bytes key = RandomBytes(24);
  const Bytes iv = RandomBytes(8);
  const Bytes parameters = IvParameters(iv);
  const Bytes data = AsBytes("for whoever holds the key");
  const Bytes envelope = EncodeEnvelope({}, OpensslRsaEncrypt(cert, key), "1.2.840.113549.3.7",
                                        parameters, OpensslCipher("DES-EDE3-CBC", key, iv, data));
  EXPECT_EQ(OpenDer(envelope, "rsa").plain, data);
  EXPECT_EQ(OpenDer(envelope, "other").rc, KELU_ERR_DECRYPT) << "a wrong key";
}

// Every byte of an envelope changed in turn, and every length cut short: no crash, nothing
// handed out on failure; changes of the recipient or of the encrypted key always fail.
TEST_F(RsaEnvelope, TamperedAndTruncatedEnvelopes) {
  const Bytes data = AsBytes("twenty-four bytes of it!");
  const Bytes envelope = MakeEnvelope(data, pki().Der("rsa"), 44);
  const Fields fields = Parse(envelope);
  auto find = [&](const Bytes &part) {
    return std::search(envelope.begin(), envelope.end(), part.begin(), part.end()) -
           envelope.begin();
  };
  const size_t id_at = static_cast<size_t>(find(fields.key_id));
  const size_t key_at = static_cast<size_t>(find(fields.encrypted_key));
  FilePtr pfx = OpenPfx("rsa");
  int failures = 0;
  for (size_t i = 0; i < envelope.size(); ++i) {
    Bytes changed = envelope;
    changed[i] ^= 0x01;
    ASSERT_EQ(std::fseek(pfx.get(), 0, SEEK_SET), 0);
    Handed out;
    const int rc = RSA_DecryptDataFromDERCMSEnvelope(changed.data(),
                                                     static_cast<int>(changed.size()), pfx.get(),
                                                     kPfxPassword, &out.data, &out.size);
    if (rc != KELU_OK) {
      ++failures;
      EXPECT_EQ(out.data, nullptr) << i;
    }
    const bool in_id = i >= id_at && i < id_at + fields.key_id.size();
    const bool in_key = i >= key_at && i < key_at + fields.encrypted_key.size();
    if (in_id || in_key) {
      EXPECT_EQ(rc, KELU_ERR_DECRYPT) << "byte " << i;
    }
  }
  EXPECT_GT(failures, 300);
  for (size_t n = 0; n < envelope.size(); ++n) {
    ASSERT_EQ(std::fseek(pfx.get(), 0, SEEK_SET), 0);
    Handed out;
    const int rc = RSA_DecryptDataFromDERCMSEnvelope(envelope.data(), static_cast<int>(n),
                                                     pfx.get(), kPfxPassword, &out.data,
                                                     &out.size);
    EXPECT_NE(rc, KELU_OK) << n;
    EXPECT_EQ(out.data, nullptr);
  }
}

TEST_F(RsaEnvelope, StepLinesCarryNoSecret) {
  const std::string secret = "Plaintext-That-Must-Not-Reach-The-Log";
  const Bytes data = AsBytes(secret);
  Bytes envelope;
  Bytes plain;
  std::string log_text;
  {
    LogCapture log;
    envelope = MakeEnvelope(data, pki().Der("rsa"), 44);
    plain = OpenDer(envelope, "rsa").plain;
    log_text = log.Text();
  }
  ASSERT_EQ(plain, data);
  // The content key, recovered with openssl from the encrypted key.
  WriteBinaryFile(File("ek.bin"), Parse(envelope).encrypted_key);
  pki().Openssl("pkeyutl -decrypt -inkey " + ShellQuote(pki().Key("rsa")) + " -in " +
                ShellQuote(File("ek.bin")) + " -out " + ShellQuote(File("cek.bin")));
  const Bytes key = ReadBinaryFile(File("cek.bin"));
  ASSERT_EQ(key.size(), 24u);
  std::string lower = ToHex(key);
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  char *b64 = nullptr;
  ASSERT_EQ(Base64EncodeEx(key.data(), 24, &b64, nullptr, ATL_BASE64_FLAG_NOCRLF), KELU_OK);
  const std::string key_b64 = b64;
  delete[] b64;
  for (const std::string &hidden :
       {secret, ToHex(data), ToHex(key), lower, key_b64, std::string(kPfxPassword),
        AsText(key)}) {
    EXPECT_EQ(log_text.find(hidden), std::string::npos) << hidden;
  }
  for (const char *line : {"RSA_private_decrypt", "Check SubjectKeyID", "Decrypted data size: 37",
                           "RSA Key Bytes: 256", "GenerateSymKey", "Encode_CMSEnvelope"}) {
    EXPECT_NE(log_text.find(line), std::string::npos) << line;
  }
  // A wrong key writes the failed RSA step and the refusal, no plaintext either.
  LogCapture log;
  EXPECT_EQ(OpenDer(envelope, "other").rc, KELU_ERR_DECRYPT);
  EXPECT_TRUE(log.Contains("Check SubjectKeyID)\t\t--Failed:(0x80071771)")) << log.Text();
}

}  // namespace
}  // namespace kelu::test
