// RSA PKCS#1 v1.5 signatures of data and files against `openssl dgst -sign` / `-verify`.
#include <gtest/gtest.h>

#include <string>

#include "KeluErrors.h"
#include "RSADataSigning.h"
#include "RsaTestPki.h"

namespace kelu::test {
namespace {

class RsaPkcs1 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const RsaPki &pki = SharedRsaPki();
    pki.Openssl("x509 -pubkey -noout -in " + ShellQuote(pki.Pem("rsa")) + " -out " +
                ShellQuote(pki.pki().dir() + "/rsa.pub"));
  }
  void SetUp() override { StartRsaKernel(); }
  const RsaPki &pki() const { return SharedRsaPki(); }
  std::string Path(const std::string &name) const { return dir_.File(name); }
  std::string CertText(const std::string &name = "rsa") const { return Base64(pki().Der(name)); }

  // The signature text of RSA_SignData_PKCS1, or its code.
  int SignData(const Bytes &data, const std::string &pfx, int nid, std::string *text,
               const char *password = kPfxPassword,
               unsigned long flags = ATL_BASE64_FLAG_NOCRLF) const {
    FilePtr f = OpenPfx(pfx);
    HandedText out;
    const int rc = RSA_SignData_PKCS1(data.data(), static_cast<int>(data.size()), f.get(),
                                      password, nid, flags, &out.text, &out.length);
    if (rc == KELU_OK) {
      *text = out.text;
      EXPECT_EQ(text->size(), static_cast<size_t>(out.length));
    } else {
      EXPECT_EQ(out.text, nullptr);
      EXPECT_EQ(out.length, -7);
    }
    return rc;
  }
  int SignFile(const std::string &path, const std::string &pfx, int nid, std::string *text) const {
    FilePtr in = OpenForReading(path);
    FilePtr f = OpenPfx(pfx);
    char *out = nullptr;
    const int rc = RSA_SignFile_PKCS1(in.get(), f.get(), kPfxPassword, nid,
                                      ATL_BASE64_FLAG_NOCRLF, &out);
    if (rc == KELU_OK) {
      *text = out;
    } else {
      EXPECT_EQ(out, nullptr);
    }
    delete[] out;
    return rc;
  }
  int VerifyFile(const std::string &path, const std::string &cert, int nid,
                 const std::string &signature) const {
    FilePtr in = OpenForReading(path);
    return RSA_VerifyFileSignature_PKCS1(in.get(), cert.c_str(), nid, signature.c_str());
  }
  // openssl dgst -sign with the key of rsa.
  Bytes OpensslSign(const std::string &path, const char *digest) const {
    pki().Openssl(std::string("dgst -") + digest + " -sign " + ShellQuote(pki().Key("rsa")) +
                  " -out " + ShellQuote(Path("openssl.sig")) + " " + ShellQuote(path));
    return ReadBinaryFile(Path("openssl.sig"));
  }
  bool OpensslVerifies(const std::string &path, const char *digest, const Bytes &sig) const {
    WriteBinaryFile(Path("check.sig"), sig);
    CommandResult r = RunCommand(std::string("openssl dgst -") + digest + " -verify " +
                                 ShellQuote(pki().pki().dir() + "/rsa.pub") + " -signature " +
                                 ShellQuote(Path("check.sig")) + " " + ShellQuote(path));
    return r.exit_code == 0 && r.output.find("Verified OK") != std::string::npos;
  }

  TempDir dir_;
};

TEST_F(RsaPkcs1, SignaturesAreOpensslsAndVerifyBothWays) {
  for (const SignatureDigest &d : kSignatureDigests) {
    for (size_t size : {0, 3, 40000}) {
      SCOPED_TRACE(std::string(d.name) + " of " + std::to_string(size) + " bytes");
      const Bytes data = RandomBytes(size);
      WriteBinaryFile(Path("data.bin"), data);
      std::string text;
      ASSERT_EQ(SignData(data, "rsa", d.nid, &text), KELU_OK);
      EXPECT_EQ(text.size(), 344u) << "256 bytes on one line";
      const Bytes signature = FromBase64(text);
      // PKCS#1 v1.5 is deterministic: the bytes are openssl's.
      EXPECT_EQ(signature, OpensslSign(Path("data.bin"), d.name));
      EXPECT_TRUE(OpensslVerifies(Path("data.bin"), d.name, signature));
      std::string file_text;
      ASSERT_EQ(SignFile(Path("data.bin"), "rsa", d.nid, &file_text), KELU_OK);
      EXPECT_EQ(file_text, text);

      const std::string theirs = Base64(OpensslSign(Path("data.bin"), d.name));
      EXPECT_EQ(RSA_VerifyDataSignature_PKCS1(data.data(), static_cast<int>(size),
                                              CertText().c_str(), d.nid, theirs.c_str()),
                KELU_OK);
      EXPECT_EQ(VerifyFile(Path("data.bin"), CertText(), d.nid, theirs), KELU_OK);
      // Texts with line breaks read as well.
      const std::string broken_cert = Base64(pki().Der("rsa"), ATL_BASE64_FLAG_NONE);
      ASSERT_NE(broken_cert.find("\r\n"), std::string::npos);
      EXPECT_EQ(RSA_VerifyDataSignature_PKCS1(data.data(), static_cast<int>(size),
                                              broken_cert.c_str(), d.nid,
                                              Base64(signature, ATL_BASE64_FLAG_NONE).c_str()),
                KELU_OK);
    }
  }
}

TEST_F(RsaPkcs1, WhatDoesNotVerify) {
  const Bytes data = AsBytes("signed content");
  WriteBinaryFile(Path("data.bin"), data);
  const std::string sha1 = Base64(OpensslSign(Path("data.bin"), "sha1"));
  Bytes changed_data = data;
  changed_data[5] ^= 0x20;
  WriteBinaryFile(Path("changed.bin"), changed_data);
  Bytes changed_sig = FromBase64(sha1);
  changed_sig[100] ^= 0x01;
  struct Case {
    const char *what;
    const char *file;
    std::string cert;
    int nid;
    std::string signature;
    int want_data, want_file;
  };
  const Case cases[] = {
      {"as signed", "data.bin", CertText(), 64, sha1, KELU_OK, KELU_OK},
      {"SHA-1 signature verified as SHA-256", "data.bin", CertText(), 672, sha1,
       KELU_ERR_BAD_SIGNATURE, KELU_ERR_BAD_SIGNATURE},
      {"a changed data byte", "changed.bin", CertText(), 64, sha1, KELU_ERR_BAD_SIGNATURE,
       KELU_ERR_BAD_SIGNATURE},
      {"a changed signature byte", "data.bin", CertText(), 64, Base64(changed_sig),
       KELU_ERR_BAD_SIGNATURE, KELU_ERR_BAD_SIGNATURE},
      {"a shorter signature", "data.bin", CertText(), 64,
       Base64(Bytes(changed_sig.begin(), changed_sig.end() - 1)), KELU_ERR_BAD_SIGNATURE,
       KELU_ERR_BAD_SIGNATURE},
      {"another key's certificate", "data.bin", CertText("other"), 64, sha1,
       KELU_ERR_BAD_SIGNATURE, KELU_ERR_BAD_SIGNATURE},
      {"a PEM certificate", "data.bin", Base64(pki().pki().PemBytes("rsa")), 64, sha1,
       KELU_ERR_FAILED, KELU_ERR_FAILED},
      {"text that is no certificate", "data.bin", "bm90IGEgY2VydGlmaWNhdGU=", 64, sha1,
       KELU_ERR_FAILED, KELU_ERR_FAILED},
      {"an EC certificate", "data.bin", CertText("ec"), 64, sha1, KELU_ERR_FAILED,
       KELU_ERR_FAILED},
      {"no digest of the NID", "data.bin", CertText(), 0, sha1, KELU_ERR_FAILED,
       KELU_ERR_UNKNOWN_HASH},
      {"empty certificate text", "data.bin", "", 64, sha1, KELU_ERR_BASE64_DECODE,
       KELU_ERR_BASE64_DECODE},
      {"empty signature text", "data.bin", CertText(), 64, "", KELU_ERR_BASE64_DECODE,
       KELU_ERR_BASE64_DECODE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes = ReadBinaryFile(Path(c.file));
    EXPECT_EQ(RSA_VerifyDataSignature_PKCS1(bytes.data(), static_cast<int>(bytes.size()),
                                            c.cert.c_str(), c.nid, c.signature.c_str()),
              c.want_data);
    EXPECT_EQ(VerifyFile(Path(c.file), c.cert, c.nid, c.signature), c.want_file);
  }
  EXPECT_EQ(RSA_VerifyDataSignature_PKCS1(data.data(), 5, nullptr, 64, sha1.c_str()),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSA_VerifyDataSignature_PKCS1(nullptr, 5, CertText().c_str(), 64, sha1.c_str()),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSA_VerifyFileSignature_PKCS1(nullptr, CertText().c_str(), 64, sha1.c_str()),
            KELU_ERR_INVALID_PARAMETER);
  const Bytes sig = FromBase64(sha1);
  EXPECT_EQ(RSA_VerifyDataSignature_PKCS1_ByX509(data.data(), static_cast<int>(data.size()),
                                                 nullptr, 64, sig.data(),
                                                 static_cast<int>(sig.size())),
            KELU_ERR_FAILED);
}

TEST_F(RsaPkcs1, SigningKeysThatAreRefused) {
  const Bytes data = AsBytes("to be signed");
  WriteBinaryFile(Path("data.bin"), data);
  struct Case {
    const char *what;
    const char *pfx;
    const char *password;
    int nid;
    int want;
  };
  const Case cases[] = {
      {"no keyUsage extension", "no-ku", kPfxPassword, 64, KELU_ERR_KEY_USAGE},
      {"keyEncipherment only", "enc-only", kPfxPassword, 64, KELU_ERR_KEY_USAGE},
      {"wrong password", "rsa", "wrong", 64, KELU_ERR_FAILED},
      {"an EC key", "ec", kPfxPassword, 64, KELU_ERR_FAILED},
      {"no private key", "rsa-nokey", kPfxPassword, 64, KELU_ERR_FAILED},
      {"no digest of the NID", "rsa", kPfxPassword, 0, KELU_ERR_UNKNOWN_HASH},
      {"the legacy PKCS#12 file", "rsa-legacy", kPfxPassword, 672, KELU_OK},
      {"an expired certificate", "expired", kPfxPassword, 672, KELU_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string text;
    EXPECT_EQ(SignData(data, c.pfx, c.nid, &text, c.password), c.want);
    FilePtr in = OpenForReading(Path("data.bin"));
    FilePtr f = OpenPfx(c.pfx);
    Handed sig;
    EXPECT_EQ(RSA_SignFile_PKCS1_ByPFX(in.get(), f.get(), c.password, c.nid, &sig.data,
                                       &sig.size),
              c.want);
    if (c.want != KELU_OK) {
      EXPECT_EQ(sig.data, nullptr);
      EXPECT_EQ(sig.size, -7);
    }
  }
  // No key-size limit on signatures: a 512-bit key signs 64 bytes that openssl verifies.
  std::string text;
  ASSERT_EQ(SignData(data, "rsa512", 672, &text), KELU_OK);
  EXPECT_EQ(FromBase64(text).size(), 64u);
  EXPECT_EQ(RSA_VerifyDataSignature_PKCS1(data.data(), static_cast<int>(data.size()),
                                          CertText("rsa512").c_str(), 672, text.c_str()),
            KELU_OK);
  FilePtr f = OpenPfx("rsa");
  HandedText none;
  EXPECT_EQ(RSA_SignData_PKCS1(nullptr, 4, f.get(), kPfxPassword, 64, ATL_BASE64_FLAG_NOCRLF,
                               &none.text, &none.length),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSA_SignFile_PKCS1_ByPFX(nullptr, f.get(), kPfxPassword, 64, nullptr, nullptr),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSA_SignData_PKCS1_ByPrivateKey(data.data(), 4, nullptr, 64, nullptr, nullptr),
            KELU_ERR_INVALID_PARAMETER);
}

TEST_F(RsaPkcs1, FilesAreReadWholeFromTheirStart) {
  WriteBinaryFile(Path("empty.bin"), {});
  std::string text;
  ASSERT_EQ(SignFile(Path("empty.bin"), "rsa", 672, &text), KELU_OK);
  EXPECT_EQ(FromBase64(text), OpensslSign(Path("empty.bin"), "sha256"));
  const Bytes data = RandomBytes(100000);
  WriteBinaryFile(Path("data.bin"), data);
  FilePtr in = OpenForReading(Path("data.bin"));
  ASSERT_EQ(std::fseek(in.get(), 5000, SEEK_SET), 0);
  FilePtr f = OpenPfx("rsa");
  Handed sig;
  ASSERT_EQ(RSA_SignFile_PKCS1_ByPFX(in.get(), f.get(), kPfxPassword, 64, &sig.data, &sig.size),
            KELU_OK);
  EXPECT_EQ(sig.bytes(), OpensslSign(Path("data.bin"), "sha1"));
}

}  // namespace
}  // namespace kelu::test
