// RSA PKCS#7 SignedData of data and files against `openssl cms` and `openssl smime`, both ways.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "KeluErrors.h"
#include "LogCapture.h"
#include "OsslPtr.h"
#include "RSADataSigning.h"
#include "RsaTestPki.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define KELU_TEST_LEAK_CHECK 1
#endif
#endif

namespace kelu::test {
namespace {

// Content with line ends of every kind, which a text signer would change.
Bytes Content(size_t size) {
  Bytes data = RandomBytes(size);
  const char ends[] = "\r\n\n\r";
  for (size_t i = 0; i < size; i += 37) data[i] = static_cast<uint8_t>(ends[(i / 37) % 4]);
  return data;
}

class RsaPkcs7 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SharedRsaPki(); }
  void SetUp() override { StartRsaKernel(); }
  const RsaPki &pki() const { return SharedRsaPki(); }
  std::string Path(const std::string &name) const { return dir_.File(name); }

  int SignData(const Bytes &data, bool attached, int nid, Bytes *der,
               const std::string &pfx = "rsa") const {
    FilePtr f = OpenPfx(pfx);
    HandedText text;
    const int rc = RSA_SignData_PKCS7(data.data(), static_cast<int>(data.size()), f.get(),
                                      kPfxPassword, nid, attached, ATL_BASE64_FLAG_NOCRLF,
                                      &text.text, &text.length);
    if (rc == KELU_OK) {
      EXPECT_EQ(std::string(text.text).find_first_of("\r\n"), std::string::npos);
      *der = FromBase64(text.text);
    } else {
      EXPECT_EQ(text.text, nullptr);
    }
    return rc;
  }
  int SignFile(const std::string &path, int nid, Bytes *der, const std::string &pfx = "rsa",
               bool accurate = false) const {
    FilePtr in = OpenForReading(path);
    FilePtr f = OpenPfx(pfx);
    char *text = nullptr;
    const int rc = RSA_SignFile_PKCS7Detached(in.get(), f.get(), kPfxPassword, nid, accurate,
                                              ATL_BASE64_FLAG_NOCRLF, &text);
    if (rc == KELU_OK) *der = FromBase64(text);
    if (rc != KELU_OK) {
      EXPECT_EQ(text, nullptr);
    }
    delete[] text;
    return rc;
  }

  struct Verified {
    int rc;
    Bytes content, cert;
  };
  Verified VerifyDetached(const Bytes &der, const Bytes &content) const {
    Handed cert;
    const int rc = RSA_VerifyDataSignature_PKCS7Detached(Base64(der).c_str(), content.data(),
                                                         static_cast<int>(content.size()),
                                                         &cert.data, &cert.size);
    if (rc != KELU_OK) {
      EXPECT_EQ(cert.data, nullptr);
    }
    return {rc, {}, cert.bytes()};
  }
  Verified VerifyAttached(const Bytes &der) const {
    Handed content, cert;
    const int rc = RSA_VerifyDataSignature_PKCS7Attached(Base64(der).c_str(), &content.data,
                                                         &content.size, &cert.data, &cert.size);
    if (rc != KELU_OK) {
      EXPECT_EQ(content.data, nullptr);
      EXPECT_EQ(cert.data, nullptr);
    } else {
      EXPECT_NE(content.data, nullptr);
    }
    return {rc, content.bytes(), cert.bytes()};
  }
  Verified VerifyFile(const Bytes &der, const std::string &path) const {
    FilePtr in = OpenForReading(path);
    Handed cert;
    const int rc = RSA_VerifyFileSignature_PKCS7Detached(Base64(der).c_str(), in.get(),
                                                         &cert.data, &cert.size);
    if (rc != KELU_OK) {
      EXPECT_EQ(cert.data, nullptr);
    }
    return {rc, {}, cert.bytes()};
  }

  // openssl cms|smime -verify without a certificate check; the content it hands out.
  CommandResult OpensslVerify(const char *tool, const Bytes &der, const Bytes *content) const {
    WriteBinaryFile(Path("sig.der"), der);
    std::string args = std::string("openssl ") + tool +
                       " -verify -binary -noverify -inform DER -in " + ShellQuote(Path("sig.der")) +
                       " -out " + ShellQuote(Path("verified.bin"));
    if (content != nullptr) {
      WriteBinaryFile(Path("content.bin"), *content);
      args += " -content " + ShellQuote(Path("content.bin"));
    }
    return RunCommand(args);
  }
  Bytes OpensslSign(const std::string &command, const Bytes &data) const {
    WriteBinaryFile(Path("data.bin"), data);
    pki().Openssl(command + " -binary -signer " + ShellQuote(pki().Pem("rsa")) + " -inkey " +
                  ShellQuote(pki().Key("rsa")) + " -in " + ShellQuote(Path("data.bin")) +
                  " -outform DER -out " + ShellQuote(Path("openssl.der")));
    return ReadBinaryFile(Path("openssl.der"));
  }

  TempDir dir_;
};

TEST_F(RsaPkcs7, ToolkitDataSignaturesVerifyWithOpenssl) {
  const Bytes data = Content(1000);
  for (const SignatureDigest &d : kSignatureDigests) {
    for (bool attached : {false, true}) {
      SCOPED_TRACE(std::string(d.name) + (attached ? " attached" : " detached"));
      Bytes der;
      ASSERT_EQ(SignData(data, attached, d.nid, &der), KELU_OK);
      for (const char *tool : {"cms", "smime"}) {
        CommandResult r = OpensslVerify(tool, der, attached ? nullptr : &data);
        ASSERT_EQ(r.exit_code, 0) << tool << "\n" << r.output;
        EXPECT_EQ(ReadBinaryFile(Path("verified.bin")), data) << tool;
      }
      const std::string printed = pki().Openssl("cms -cmsout -print -inform DER -in " +
                                                ShellQuote(Path("sig.der")));
      EXPECT_NE(printed.find(std::string("algorithm: ") + d.name), std::string::npos);
      EXPECT_NE(printed.find("signedAttrs:\n          <ABSENT>"), std::string::npos) << printed;
      EXPECT_EQ(printed.find("eContent: <ABSENT>") != std::string::npos, !attached) << printed;

      const Verified v = attached ? VerifyAttached(der) : VerifyDetached(der, data);
      ASSERT_EQ(v.rc, KELU_OK);
      EXPECT_EQ(v.cert, pki().Der("rsa"));
      if (attached) {
        EXPECT_EQ(v.content, data);
      }
    }
  }
}

TEST_F(RsaPkcs7, OpensslSignaturesVerifyWithToolkit) {
  struct Case {
    const char *command;
    bool attached;
    bool attributes;
  };
  const Case cases[] = {
      {"cms -sign", false, true},
      {"cms -sign -noattr", false, false},
      // With -stream and DER, openssl cms writes the content inside (BER, indefinite lengths).
      {"cms -sign -stream", true, true},
      {"cms -sign -noattr -stream", true, false},
      {"cms -sign -nodetach", true, true},
      {"cms -sign -nodetach -noattr", true, false},
      {"cms -sign -nodetach -stream", true, true},
      {"smime -sign", false, true},
      {"smime -sign -noattr", false, false},
      {"smime -sign -stream", false, true},
      {"smime -sign -noattr -stream", false, false},
      {"smime -sign -nodetach", true, true},
      {"smime -sign -nodetach -noattr -stream", true, false},
  };
  const Bytes data = Content(5000);
  Bytes changed = data;
  changed[4000] ^= 0x01;
  WriteBinaryFile(Path("changed.bin"), changed);
  for (const SignatureDigest &d : kSignatureDigests) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.command) + " -md " + d.name);
      const Bytes der = OpensslSign(std::string(c.command) + " -md " + d.name, data);
      if (c.attached) {
        const Verified v = VerifyAttached(der);
        ASSERT_EQ(v.rc, KELU_OK);
        EXPECT_EQ(v.content, data);
        EXPECT_EQ(v.cert, pki().Der("rsa"));
        // Given content as well, the library verifies that content against the signature.
        EXPECT_EQ(VerifyDetached(der, changed).rc, KELU_ERR_BAD_SIGNATURE);
      } else {
        const Verified v = VerifyDetached(der, data);
        ASSERT_EQ(v.rc, KELU_OK);
        EXPECT_EQ(v.cert, pki().Der("rsa"));
        EXPECT_EQ(VerifyDetached(der, changed).rc, KELU_ERR_BAD_SIGNATURE);
        EXPECT_EQ(VerifyAttached(der).rc, KELU_ERR_BAD_SIGNATURE) << "no content inside";
      }
      // The file verification reads detached SignedData without signed attributes only.
      const int file_want = c.attached || c.attributes ? KELU_ERR_PKCS7_FORMAT : KELU_OK;
      const Verified f = VerifyFile(der, Path("data.bin"));
      EXPECT_EQ(f.rc, file_want);
      if (file_want == KELU_OK) {
        EXPECT_EQ(f.cert, pki().Der("rsa"));
        EXPECT_EQ(VerifyFile(der, Path("changed.bin")).rc, KELU_ERR_BAD_SIGNATURE);
      }
    }
  }
}

TEST_F(RsaPkcs7, ToolkitFileSignaturesVerifyWithOpenssl) {
  for (const SignatureDigest &d : kSignatureDigests) {
    for (size_t size : {0, 16384, 100001}) {
      SCOPED_TRACE(std::string(d.name) + " of " + std::to_string(size) + " bytes");
      const Bytes data = Content(size);
      WriteBinaryFile(Path("file.bin"), data);
      Bytes der;
      ASSERT_EQ(SignFile(Path("file.bin"), d.nid, &der), KELU_OK);
      for (const char *tool : {"cms", "smime"}) {
        CommandResult r = OpensslVerify(tool, der, &data);
        EXPECT_EQ(r.exit_code, 0) << tool << "\n" << r.output;
      }
      const std::string printed = pki().Openssl("cms -cmsout -print -inform DER -in " +
                                                ShellQuote(Path("sig.der")));
      EXPECT_NE(printed.find(std::string("algorithm: ") + d.name + " ("), std::string::npos);
      EXPECT_NE(printed.find("algorithm: rsaEncryption (1.2.840.113549.1.1.1)"),
                std::string::npos);
      EXPECT_NE(printed.find("signedAttrs:\n          <ABSENT>"), std::string::npos) << printed;
      const Verified v = VerifyFile(der, Path("file.bin"));
      ASSERT_EQ(v.rc, KELU_OK);
      EXPECT_EQ(v.cert, pki().Der("rsa"));
      EXPECT_EQ(VerifyDetached(der, data).rc, KELU_OK) << "the library reads it too";
      if (size != 0) {
        Bytes changed = data;
        changed[size - 1] ^= 0x80;
        WriteBinaryFile(Path("changed.bin"), changed);
        EXPECT_EQ(VerifyFile(der, Path("changed.bin")).rc, KELU_ERR_BAD_SIGNATURE);
      }
    }
  }
  // With bAccurate the digest-encryption OID names the digest as well; openssl verifies it.
  Bytes der;
  ASSERT_EQ(SignFile(Path("file.bin"), 672, &der, "rsa", true), KELU_OK);
  const Bytes data = ReadBinaryFile(Path("file.bin"));
  CommandResult r = OpensslVerify("cms", der, &data);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(pki().Openssl("cms -cmsout -print -inform DER -in " + ShellQuote(Path("sig.der")))
                .find("sha256WithRSAEncryption"),
            std::string::npos);
}

TEST_F(RsaPkcs7, FileSignaturesWithOtherDigestOids) {
  WriteBinaryFile(Path("file.bin"), Content(300));
  Bytes der;
  ASSERT_EQ(SignFile(Path("file.bin"), 64, &der), KELU_OK);
  const Bytes sha1 = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
  auto with_last_octet = [&](uint8_t octet) {
    Bytes out = der;
    for (auto at = out.begin();
         (at = std::search(at, out.end(), sha1.begin(), sha1.end())) != out.end(); ++at) {
      at[6] = octet;
    }
    return out;
  };
  EXPECT_EQ(VerifyFile(with_last_octet(0x63), Path("file.bin")).rc, KELU_ERR_PKCS7_FORMAT)
      << "1.3.14.3.2.99, unknown to the library";
  EXPECT_EQ(VerifyFile(with_last_octet(0x07), Path("file.bin")).rc, KELU_ERR_UNKNOWN_HASH)
      << "1.3.14.3.2.7, des-cbc";
}

TEST_F(RsaPkcs7, SigningKeysThatAreRefused) {
  const Bytes data = AsBytes("to be signed");
  WriteBinaryFile(Path("file.bin"), data);
  struct Case {
    const char *what;
    const char *pfx;
    int want_data, want_file;
  };
  const Case cases[] = {
      {"keyEncipherment only", "enc-only", KELU_ERR_KEY_USAGE, KELU_ERR_KEY_USAGE},
      {"no keyUsage", "no-ku", KELU_ERR_KEY_USAGE, KELU_ERR_KEY_USAGE},
      {"no private key", "rsa-nokey", KELU_ERR_FAILED, KELU_ERR_FAILED},
      {"the legacy PKCS#12 file", "rsa-legacy", KELU_OK, KELU_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes der;
    EXPECT_EQ(SignData(data, true, 672, &der, c.pfx), c.want_data);
    EXPECT_EQ(SignFile(Path("file.bin"), 672, &der, c.pfx), c.want_file);
  }
  FilePtr f = OpenPfx("rsa");
  Handed out;
  EXPECT_EQ(RSA_SignData_PKCS7_ByPFX(data.data(), 4, f.get(), "wrong", 64, true, &out.data,
                                     &out.size),
            KELU_ERR_FAILED);
  EXPECT_EQ(RSA_SignFile_PKCS7Detached_ByPFX(nullptr, f.get(), kPfxPassword, 64, false,
                                             &out.data, &out.size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSA_SignFile_PKCS7Detached_ByPFX(f.get(), nullptr, kPfxPassword, 64, false,
                                             &out.data, &out.size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSA_SignData_PKCS7_ByPFX(data.data(), 4, f.get(), kPfxPassword, 0, true, &out.data,
                                     &out.size),
            KELU_ERR_FAILED)
      << "no digest of the NID";
  EXPECT_EQ(out.data, nullptr);
}

TEST_F(RsaPkcs7, SignerCertificatesAreNotChecked) {
  const Bytes data = AsBytes("signed with an expired certificate");
  Bytes der;
  ASSERT_EQ(SignData(data, true, 672, &der, "expired"), KELU_OK);
  const Verified v = VerifyAttached(der);
  ASSERT_EQ(v.rc, KELU_OK);
  EXPECT_EQ(v.content, data);
  EXPECT_EQ(v.cert, pki().Der("expired"));
  // A SignedData of a self-issued certificate made by openssl.
  pki().Openssl("req -x509 -new -key " + ShellQuote(pki().Key("rsa")) + " -subj /CN=self -days 1 " +
                "-out " + ShellQuote(Path("self.pem")));
  WriteBinaryFile(Path("data.bin"), data);
  pki().Openssl("cms -sign -binary -noattr -signer " + ShellQuote(Path("self.pem")) + " -inkey " +
                ShellQuote(pki().Key("rsa")) + " -in " + ShellQuote(Path("data.bin")) +
                " -outform DER -out " + ShellQuote(Path("self.der")));
  EXPECT_EQ(VerifyDetached(ReadBinaryFile(Path("self.der")), data).rc, KELU_OK);
  EXPECT_EQ(VerifyFile(ReadBinaryFile(Path("self.der")), Path("data.bin")).rc, KELU_OK);
}

TEST_F(RsaPkcs7, EmptyContent) {
  Bytes der;
  ASSERT_EQ(SignData({}, true, 672, &der), KELU_OK);
  Verified v = VerifyAttached(der);
  ASSERT_EQ(v.rc, KELU_OK);
  EXPECT_EQ(v.content, Bytes());
  ASSERT_EQ(SignData({}, false, 64, &der), KELU_OK);
  EXPECT_EQ(VerifyDetached(der, {}).rc, KELU_OK);
  EXPECT_EQ(VerifyDetached(der, AsBytes("x")).rc, KELU_ERR_BAD_SIGNATURE);
  v = VerifyAttached(OpensslSign("cms -sign -nodetach", {}));
  ASSERT_EQ(v.rc, KELU_OK);
  EXPECT_EQ(v.content, Bytes());
}

TEST_F(RsaPkcs7, OptionalOutputsAndMalformedInput) {
  const Bytes data = AsBytes("content");
  Bytes der;
  ASSERT_EQ(SignData(data, true, 64, &der), KELU_OK);
  int content_size = -7, cert_size = -7;
  EXPECT_EQ(RSA_VerifyDataSignature_DERPKCS7Attached(der.data(), static_cast<int>(der.size()),
                                                     nullptr, &content_size, nullptr,
                                                     &cert_size),
            KELU_OK);
  EXPECT_EQ(content_size, 0);
  EXPECT_EQ(cert_size, 0);
  EXPECT_EQ(RSA_VerifyDataSignature_PKCS7Attached(Base64(der).c_str(), nullptr, nullptr, nullptr,
                                                  nullptr),
            KELU_OK);
  for (size_t n : {size_t{0}, size_t{1}, der.size() / 2, der.size() - 1}) {
    SCOPED_TRACE(n);
    Handed content, cert;
    EXPECT_NE(RSA_VerifyDataSignature_DERPKCS7Attached(der.data(), static_cast<int>(n),
                                                       &content.data, &content.size, &cert.data,
                                                       &cert.size),
              KELU_OK);
    EXPECT_EQ(content.data, nullptr);
    EXPECT_EQ(cert.data, nullptr);
  }
  EXPECT_EQ(VerifyAttached(AsBytes("not a SignedData")).rc, KELU_ERR_FAILED);
  EXPECT_EQ(VerifyDetached(pki().Der("rsa"), data).rc, KELU_ERR_FAILED);
  EXPECT_EQ(RSA_VerifyDataSignature_PKCS7Attached("", nullptr, nullptr, nullptr, nullptr),
            KELU_ERR_BASE64_DECODE);
  EXPECT_EQ(RSA_VerifyDataSignature_PKCS7Detached(nullptr, data.data(), 7, nullptr, nullptr),
            KELU_ERR_INVALID_PARAMETER);
  FilePtr in = OpenForReading(pki().Pem("rsa"));
  EXPECT_EQ(RSA_VerifyFileSignature_PKCS7Detached("bm90IGEgU2lnbmVkRGF0YQ==", in.get(), nullptr,
                                                  nullptr),
            KELU_ERR_FAILED);
  EXPECT_EQ(RSA_VerifyFileSignature_PKCS7Detached(Base64(der).c_str(), nullptr, nullptr, nullptr),
            KELU_ERR_INVALID_PARAMETER);
}

// The library's PKCS7_verify keeps a copy of a memory stream it cannot start digesting (an
// unknown digest in the SignedData's list): a verification service would grow with every such
// signature. The sanitizer build checks for leaks right after the calls.
TEST_F(RsaPkcs7, UnknownDigestsOfADetachedSignatureLeakNothing) {
  const Bytes data = Content(200);
  Bytes der;
  ASSERT_EQ(SignData(data, false, 672, &der), KELU_OK);
  const Bytes sha256 = FromHex("0609608648016503040201");
  std::vector<size_t> at;
  for (auto it = der.begin(); (it = std::search(it, der.end(), sha256.begin(), sha256.end())) !=
                              der.end();
       ++it) {
    at.push_back(static_cast<size_t>(it - der.begin()));
  }
  ASSERT_EQ(at.size(), 2u) << "the digest list and the signer";
  // 2.16.840.1.101.3.4.2.127: no digest the library has.
  auto unknown_at = [&](std::initializer_list<size_t> which) {
    Bytes out = der;
    for (size_t i : which) out[at[i] + sha256.size() - 1] = 0x7F;
    return out;
  };
  const struct {
    const char *what;
    Bytes der;
  } kCases[] = {{"the list and the signer", unknown_at({0, 1})},
                {"the list only", unknown_at({0})}};
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    for (int i = 0; i < 50; ++i) ASSERT_EQ(VerifyDetached(c.der, data).rc, KELU_ERR_BAD_SIGNATURE);
    EXPECT_TRUE(log.Contains("(RSA_VerifyDataSignature_DERPKCS7Detached -- Check digest "
                             "algorithms)\t\t--Failed:(0x80090006) "
                             "[Reason:unknown digest algorithm in the SignedData]"))
        << log.Text();
  }
  EXPECT_EQ(VerifyDetached(der, data).rc, KELU_OK) << "the signature as it was made";
  ERR_clear_error();
#ifdef KELU_TEST_LEAK_CHECK
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

TEST_F(RsaPkcs7, StepLines) {
  LogCapture log;
  Bytes der;
  ASSERT_EQ(SignData(AsBytes("abc"), true, 64, &der), KELU_OK);
  EXPECT_TRUE(log.Contains("It's PKCS7 attached signature."));
  EXPECT_TRUE(log.Contains("DER encoded PKCS7 signature data size : " + std::to_string(der.size())));
  EXPECT_FALSE(log.Contains(kPfxPassword));
  log.Take();
  EXPECT_EQ(VerifyDetached(der, AsBytes("abd")).rc, KELU_ERR_BAD_SIGNATURE);
  EXPECT_TRUE(log.Contains("(RSA_VerifyDataSignature_DERPKCS7Detached -- PKCS7_verify)\t\t"
                           "--Failed:(0x80090006) [Reason:1 != nResult] Openssl "))
      << log.Text();
}

// The reduced verification that nothing in the toolkit calls.
TEST_F(RsaPkcs7, VerifySignatureWithoutCertificateChecks) {
  const Bytes data = Content(3000);
  Bytes detached, attached;
  ASSERT_EQ(SignData(data, false, 672, &detached), KELU_OK);
  ASSERT_EQ(SignData(data, true, 672, &attached), KELU_OK);
  const Bytes with_attributes = OpensslSign("cms -sign -md sha256", data);
  auto decode = [](const Bytes &der) {
    const unsigned char *p = der.data();
    return std::unique_ptr<PKCS7, Deleter<PKCS7_free>>(
        d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  };
  auto verify = [&](const Bytes &der, const Bytes *content, int *reason) {
    auto p7 = decode(der);
    BioPtr bio(content != nullptr
                   ? BIO_new_mem_buf(content->data(), static_cast<int>(content->size()))
                   : nullptr);
    ERR_clear_error();
    const int rc = PKCS7_verify_signature(p7.get(), bio.get());
    *reason = ERR_GET_REASON(ERR_peek_last_error());
    return rc;
  };
  Bytes changed = data;
  changed[0] ^= 1;
  int reason = 0;
  EXPECT_EQ(verify(detached, &data, &reason), 0);
  EXPECT_EQ(verify(with_attributes, &data, &reason), 0);
  EXPECT_EQ(verify(attached, nullptr, &reason), 0);
  EXPECT_EQ(verify(detached, &changed, &reason), -1);
  EXPECT_EQ(reason, PKCS7_R_SIGNATURE_FAILURE);
  EXPECT_EQ(verify(detached, nullptr, &reason), -1);
  EXPECT_EQ(reason, PKCS7_R_NO_CONTENT);
  EXPECT_EQ(verify(attached, &data, &reason), -1);
  EXPECT_EQ(reason, PKCS7_R_CONTENT_AND_DATA_PRESENT);
  EXPECT_EQ(PKCS7_verify_signature(nullptr, nullptr), -1);
}

}  // namespace
}  // namespace kelu::test
