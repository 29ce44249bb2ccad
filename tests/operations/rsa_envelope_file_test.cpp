// RSA envelope files: the header written, the content streamed behind it in 16384-byte blocks,
// and the streamed opening, against `openssl cms` and the memory forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>

#include "KeluErrors.h"
#include "RSADataEncryption.h"
#include "RsaTestPki.h"

namespace kelu::test {
namespace {

const char kLegacy[] = " -provider legacy -provider default";

class RsaEnvelopeFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SharedRsaPki(); }
  void SetUp() override { StartRsaKernel(); }
  const RsaPki &pki() const { return SharedRsaPki(); }
  std::string Path(const std::string &name) const { return dir_.File(name); }

  int Encrypt(const std::string &plain, int nid, const std::string &envelope,
              const std::string &cert = "rsa") const {
    FilePtr in = OpenForReading(plain);
    FilePtr out(std::fopen(envelope.c_str(), "wb"));
    EXPECT_NE(out, nullptr);
    const Bytes der = pki().Der(cert);
    const int rc = RSA_EncryptFileToCMSEnvelope(in.get(), der.data(), static_cast<int>(der.size()),
                                                nid, out.get());
    EXPECT_EQ(std::fclose(out.release()), 0);
    return rc;
  }
  int Decrypt(const std::string &envelope, const std::string &plain,
              const std::string &pfx = "rsa", const char *mode = "wb") const {
    FilePtr in = OpenForReading(envelope);
    FilePtr p12 = OpenPfx(pfx);
    FilePtr out(std::fopen(plain.c_str(), mode));
    EXPECT_NE(out, nullptr);
    const int rc = RSA_DecryptFileFromCMSEnvelope(in.get(), p12.get(), kPfxPassword, out.get());
    EXPECT_EQ(std::fclose(out.release()), 0);
    return rc;
  }

  TempDir dir_;
};

TEST_F(RsaEnvelopeFile, EnvelopeFilesAreOneDerEnvelope) {
  for (int nid : {44, 5}) {
    for (size_t size : {1, 8, 16383, 16384, 16385, 40000}) {
      SCOPED_TRACE("nid " + std::to_string(nid) + " size " + std::to_string(size));
      const Bytes data = RandomBytes(size);
      WriteBinaryFile(Path("plain.bin"), data);
      ASSERT_EQ(Encrypt(Path("plain.bin"), nid, Path("env.der")), KELU_OK);
      const Bytes envelope = ReadBinaryFile(Path("env.der"));
      // The content announced in the header is exactly what follows it.
      const std::string parsed = pki().Openssl("asn1parse -inform DER -in " +
                                               ShellQuote(Path("env.der")));
      const size_t content = nid == 5 ? size : size / 8 * 8 + 8;
      std::smatch m;
      ASSERT_TRUE(std::regex_search(parsed, m, std::regex(R"((\d+):d=4 +hl=(\d+) l= *(\d+) prim: cont \[ 0 \])")))
          << parsed;
      EXPECT_EQ(std::stoul(m[3]), content);
      EXPECT_EQ(std::stoul(m[1]) + std::stoul(m[2]) + content, envelope.size());
      // openssl opens it (the RC4 one once its NULL parameters are an empty OCTET STRING).
      if (nid == 5) {
        Bytes patched = envelope;
        const Bytes rc4_null = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86,
                                0xF7, 0x0D, 0x03, 0x04, 0x05, 0x00};
        auto at = std::search(patched.begin(), patched.end(), rc4_null.begin(), rc4_null.end());
        ASSERT_NE(at, patched.end());
        at[10] = 0x04;
        WriteBinaryFile(Path("env.der"), patched);
      }
      pki().Openssl("cms -decrypt -binary -inform DER" + std::string(kLegacy) + " -in " +
                    ShellQuote(Path("env.der")) + " -recip " + ShellQuote(pki().Pem("rsa")) +
                    " -inkey " + ShellQuote(pki().Key("rsa")) + " -out " +
                    ShellQuote(Path("openssl.out")));
      EXPECT_EQ(ReadBinaryFile(Path("openssl.out")), data);
      WriteBinaryFile(Path("env.der"), envelope);
      // The memory form and the file form of the toolkit open it.
      FilePtr p12 = OpenPfx("rsa");
      Handed plain;
      ASSERT_EQ(RSA_DecryptDataFromDERCMSEnvelope(envelope.data(), static_cast<int>(envelope.size()),
                                                  p12.get(), kPfxPassword, &plain.data,
                                                  &plain.size),
                KELU_OK);
      EXPECT_EQ(plain.bytes(), data);
      ASSERT_EQ(Decrypt(Path("env.der"), Path("plain.out")), KELU_OK);
      EXPECT_EQ(ReadBinaryFile(Path("plain.out")), data);
    }
  }
}

TEST_F(RsaEnvelopeFile, OpensslStreamedEnvelopeFilesOpen) {
  const Bytes data = RandomBytes(100000);
  WriteBinaryFile(Path("plain.bin"), data);
  for (const char *options : {"-des3 -stream", "-des3", "-rc4 -stream"}) {
    SCOPED_TRACE(options);
    pki().Openssl("cms -encrypt -keyid -binary -outform DER" + std::string(kLegacy) + " " +
                  options + " -in " + ShellQuote(Path("plain.bin")) + " -out " +
                  ShellQuote(Path("env.der")) + " " + ShellQuote(pki().Pem("rsa")));
    ASSERT_EQ(Decrypt(Path("env.der"), Path("plain.out"), "rsa-legacy"), KELU_OK);
    EXPECT_EQ(ReadBinaryFile(Path("plain.out")), data);
  }
}

TEST_F(RsaEnvelopeFile, PlainFilesAndCiphersThatAreRefused) {
  WriteBinaryFile(Path("empty.bin"), {});
  WriteBinaryFile(Path("plain.bin"), RandomBytes(100));
  struct Case {
    const char *what;
    const char *plain;
    int nid;
    const char *cert;
    int want;
  };
  const Case cases[] = {
      {"empty plain file", "empty.bin", 44, "rsa", KELU_ERR_INVALID_PARAMETER},
      {"AES-256-CBC", "plain.bin", 427, "rsa", KELU_ERR_INVALID_PARAMETER},
      {"SM4-CBC", "plain.bin", 923, "rsa", KELU_ERR_INVALID_PARAMETER},
      {"no keyEncipherment", "plain.bin", 44, "sign-only", KELU_ERR_KEY_USAGE},
      {"no subject key identifier", "plain.bin", 5, "no-ski", KELU_ERR_FAILED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Encrypt(Path(c.plain), c.nid, Path("env.der"), c.cert), c.want);
    EXPECT_EQ(ReadBinaryFile(Path("env.der")), Bytes()) << "nothing written";
  }
  const Bytes der = pki().Der("rsa");
  FilePtr in = OpenForReading(Path("plain.bin"));
  EXPECT_EQ(RSA_EncryptFileToCMSEnvelope(in.get(), der.data(), static_cast<int>(der.size()), 44,
                                         nullptr),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSA_EncryptFileToCMSEnvelope(nullptr, der.data(), static_cast<int>(der.size()), 44,
                                         in.get()),
            KELU_ERR_INVALID_PARAMETER);
  FilePtr env = OpenForReading(Path("plain.bin"));
  FilePtr p12 = OpenPfx("rsa");
  EXPECT_EQ(RSA_DecryptFileFromCMSEnvelope(env.get(), p12.get(), kPfxPassword, nullptr),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RSA_DecryptFileFromCMSEnvelope(nullptr, p12.get(), kPfxPassword, env.get()),
            KELU_ERR_INVALID_PARAMETER);
}

// Cut short anywhere, changed in its content, or opened with another key: the open fails and
// the plain file holds what it held before, not a partial or unauthenticated plaintext.
TEST_F(RsaEnvelopeFile, FailedOpeningsLeaveThePlainFileAsItWas) {
  const Bytes data = RandomBytes(50000);
  WriteBinaryFile(Path("plain.bin"), data);
  ASSERT_EQ(Encrypt(Path("plain.bin"), 44, Path("env.der")), KELU_OK);
  const Bytes envelope = ReadBinaryFile(Path("env.der"));
  const Bytes before = AsBytes("what the file held before|");
  struct Case {
    const char *what;
    Bytes envelope;
    const char *pfx;
    int want;
  };
  // The envelope with its byte at back bytes from its end changed.
  auto changed_from_end = [&envelope](size_t back) {
    Bytes changed = envelope;
    if (back <= changed.size()) changed[changed.size() - back] ^= 0x55;
    return changed;
  };
  // The padding (a whole block of 08) changed through the block before it, and the first block.
  const Bytes padding_changed = changed_from_end(9);
  const Bytes first_block_changed = changed_from_end(50008);
  const Case cases[] = {
      {"cut inside the content", Bytes(envelope.begin(), envelope.end() - 20000), "rsa",
       KELU_ERR_FAILED},
      {"cut by one byte", Bytes(envelope.begin(), envelope.end() - 1), "rsa", KELU_ERR_FAILED},
      {"cut inside the header", Bytes(envelope.begin(), envelope.begin() + 200), "rsa",
       KELU_ERR_FAILED},
      {"padding changed", padding_changed, "rsa", KELU_ERR_DECRYPT},
      {"another recipient", envelope, "other", KELU_ERR_DECRYPT},
      {"no private key", envelope, "rsa-nokey", KELU_ERR_DECRYPT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WriteBinaryFile(Path("bad.der"), c.envelope);
    WriteBinaryFile(Path("plain.out"), before);
    EXPECT_EQ(Decrypt(Path("bad.der"), Path("plain.out"), c.pfx, "ab"), c.want);
    EXPECT_EQ(ReadBinaryFile(Path("plain.out")), before);
  }
  // Without integrity a change early in the content opens, to another plaintext: the format
  // has no means to notice it.
  WriteBinaryFile(Path("bad.der"), first_block_changed);
  EXPECT_EQ(Decrypt(Path("bad.der"), Path("plain.out")), KELU_OK);
  EXPECT_NE(ReadBinaryFile(Path("plain.out")), data);
}

TEST_F(RsaEnvelopeFile, FullDiskIsAWriteFailure) {
  const Bytes data = RandomBytes(40000);
  WriteBinaryFile(Path("plain.bin"), data);
  ASSERT_EQ(Encrypt(Path("plain.bin"), 44, Path("env.der")), KELU_OK);
  for (size_t size : {10, 40000}) {
    SCOPED_TRACE(size);
    WriteBinaryFile(Path("small.bin"), Bytes(data.begin(), data.begin() + size));
    EXPECT_EQ(Encrypt(Path("small.bin"), 44, "/dev/full"), KELU_ERR_WRITE_FILE);
    ASSERT_EQ(Encrypt(Path("small.bin"), 5, Path("small.der")), KELU_OK);
    EXPECT_EQ(Decrypt(Path("small.der"), "/dev/full"), KELU_ERR_WRITE_FILE);
  }
}

// The file forms hold the header and one block at a time: a 96 MiB file (beyond the 50 MiB the
// memory encoder takes) goes through both with a flat peak.
TEST_F(RsaEnvelopeFile, LargeFilesAreStreamed) {
  constexpr uint64_t kSize = 96ull << 20;
  const std::string plain = Path("large.bin");
  ASSERT_EQ(RunCommand("head -c " + std::to_string(kSize - 5) + " /dev/urandom > " +
                       ShellQuote(plain) + " && printf tail! >> " + ShellQuote(plain))
                .exit_code,
            0);
  if (!ResetPeak()) GTEST_SKIP() << "no /proc/self/clear_refs";
  const long start = StatusKb("VmRSS");
  ASSERT_EQ(Encrypt(plain, 5, Path("large.der")), KELU_OK);
  ASSERT_EQ(Decrypt(Path("large.der"), Path("large.out")), KELU_OK);
  const long growth = StatusKb("VmHWM") - start;
  EXPECT_LT(growth, 8 * 1024) << "peak grew by " << growth << " kB";
  CommandResult same = RunCommand("cmp " + ShellQuote(plain) + " " + ShellQuote(Path("large.out")));
  EXPECT_EQ(same.exit_code, 0) << same.output;
  // openssl cms reads it as one envelope whose content has the plain file's size.
  const std::string parsed = pki().Openssl("asn1parse -inform DER -in " +
                                           ShellQuote(Path("large.der")) + " | tail -1");
  EXPECT_NE(parsed.find("l=" + std::to_string(kSize) + " prim: cont [ 0 ]"), std::string::npos)
      << parsed;
}

}  // namespace
}  // namespace kelu::test
