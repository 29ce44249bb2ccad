// Symmetric ciphers by identifier, against `openssl enc` and OpenSSL's own ciphers.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DataEncryption.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OperationsTestUtil.h"
#include "RSADataEncryption.h"
#include "TestSupport.h"

namespace kelu::test {
namespace {

struct Cipher {
  int nid;
  const char *enc_name;    // of `openssl enc`
  const char *fetch_name;  // of OpenSSL's provider implementation
  size_t key_size;
  size_t iv_size;
  size_t block;
  bool generate, encrypt, file_encrypt;  // the operations that take it (all decrypt it)
};

const Cipher kCiphers[] = {
    {5, "rc4", "RC4", 16, 0, 1, true, true, true},
    {33, "des-ede3", "DES-EDE3-ECB", 24, 0, 8, false, true, false},
    {44, "des-ede3-cbc", "DES-EDE3-CBC", 24, 8, 8, true, true, true},
    {426, "aes-256-ecb", "AES-256-ECB", 32, 0, 16, false, false, true},
    {427, "aes-256-cbc", "AES-256-CBC", 32, 16, 16, true, true, false},
    {923, "sm4-cbc", "SM4-CBC", 16, 16, 16, false, false, true},
};

// Identifiers outside the table: MD5, SM3 (the toolkit's 922), OpenSSL's own SM4-CBC (1134).
const int kUnknownNids[] = {0, 4, 922, 1134, 999};

size_t PaddedSize(const Cipher &c, size_t n) { return c.block == 1 ? n : n / c.block * c.block + c.block; }

struct Result {
  int rc;
  Bytes bytes;
};

Result Encrypt(int nid, const Bytes &iv, const Bytes &key, const Bytes &plain) {
  unsigned char *out = nullptr;
  int size = -7;
  int rc = SymEncrypt(nid, iv.data(), static_cast<int>(iv.size()), key.data(),
                      static_cast<int>(key.size()), plain.data(), static_cast<int>(plain.size()),
                      &out, &size);
  Result r{rc, {}};
  if (rc == KELU_OK) {
    r.bytes.assign(out, out + size);
  } else {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(size, -7);
  }
  delete[] out;
  return r;
}

Result Decrypt(int nid, const Bytes &iv, const Bytes &key, const Bytes &cipher) {
  unsigned char *out = nullptr;
  int size = -7;
  int rc = SymDecrypt(nid, iv.data(), static_cast<int>(iv.size()), key.data(),
                      static_cast<int>(key.size()), cipher.empty() ? nullptr : cipher.data(),
                      static_cast<int>(cipher.size()), &out, &size);
  Result r{rc, {}};
  if (rc == KELU_OK) {
    r.bytes.assign(out, out + size);
    EXPECT_EQ(out[size], 0) << "a NUL follows the plaintext";
  } else {
    EXPECT_EQ(out, nullptr);
  }
  delete[] out;
  return r;
}

// OpenSSL's own implementation, one pass over the whole input.
Bytes Reference(const Cipher &c, const Bytes &key, const Bytes &iv, const Bytes &in, int enc) {
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, c.fetch_name, nullptr);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 32);
  int n = 0, m = 0;
  bool ok = cipher != nullptr && ctx != nullptr &&
            EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(),
                              enc) == 1 &&
            EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, out.data() + n, &m) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  EXPECT_TRUE(ok) << c.fetch_name;
  out.resize(static_cast<size_t>(n + m));
  return out;
}

class SymCipher : public ::testing::Test {
 protected:
  void SetUp() override { StartCryptoKernel(); }

  std::string Write(const std::string &name, const Bytes &bytes) {
    std::string path = dir_.File(name);
    WriteBinaryFile(path, bytes);
    return path;
  }

  // The file operation from a file holding in onto a new file; its bytes on success.
  Result OnFiles(bool encrypt, int nid, const Bytes &iv, const Bytes &key, const Bytes &in) {
    std::string in_path = Write("in.bin", in);
    std::string out_path = dir_.File("out.bin");
    File fin = OpenFile(in_path, "rb");
    File fout = OpenFile(out_path, "wb");
    auto op = encrypt ? SymFileEncrypt : SymFileDecrypt;
    int rc = op(nid, iv.data(), static_cast<int>(iv.size()), key.data(),
                static_cast<int>(key.size()), fin.get(), fout.get());
    fout.reset();
    return {rc, rc == KELU_OK ? ReadBinaryFile(out_path) : Bytes{}};
  }

  Bytes OpensslEnc(const Cipher &c, const Bytes &key, const Bytes &iv, const Bytes &in,
                   bool decrypt) {
    std::string in_path = Write("enc-in.bin", in);
    std::string out_path = dir_.File("enc-out.bin");
    std::string args = std::string("enc -") + c.enc_name + (decrypt ? " -d" : " -e") +
                       " -nosalt -K " + ToHex(key) + (c.iv_size ? " -iv " + ToHex(iv) : "") +
                       " -in " + ShellQuote(in_path) + " -out " + ShellQuote(out_path);
    if (c.nid == 5) args += " -provider legacy -provider default";
    Openssl(args);
    return ReadBinaryFile(out_path);
  }

  TempDir dir_;
};

TEST_F(SymCipher, EveryIdentifierAgreesWithOpensslEnc) {
  for (const Cipher &c : kCiphers) {
    for (size_t n : {size_t{1}, size_t{8}, size_t{16}, size_t{100}}) {
      SCOPED_TRACE(std::string(c.enc_name) + " " + std::to_string(n) + " bytes");
      const Bytes key = RandomBytes(c.key_size), iv = RandomBytes(c.iv_size);
      const Bytes plain = RandomBytes(n);
      // The buffer operation where it takes the cipher, else the file operation.
      Result ours = c.encrypt ? Encrypt(c.nid, iv, key, plain)
                              : OnFiles(true, c.nid, iv, key, plain);
      ASSERT_EQ(ours.rc, KELU_OK);
      EXPECT_EQ(ours.bytes.size(), PaddedSize(c, n));
      EXPECT_EQ(ToHex(ours.bytes), ToHex(OpensslEnc(c, key, iv, plain, false)));
      EXPECT_EQ(OpensslEnc(c, key, iv, ours.bytes, true), plain);
      Result back = Decrypt(c.nid, iv, key, ours.bytes);
      EXPECT_EQ(back.rc, KELU_OK);
      EXPECT_EQ(back.bytes, plain);
      back = OnFiles(false, c.nid, iv, key, ours.bytes);
      EXPECT_EQ(back.rc, KELU_OK);
      EXPECT_EQ(back.bytes, plain);
    }
  }
}

TEST_F(SymCipher, PaddedSizesOfTheBlockCiphers) {
  struct Case {
    int nid;
    size_t in, out;
  };
  const Case kCases[] = {{44, 1, 8}, {44, 8, 16}, {33, 7, 8}, {427, 16, 32}, {427, 15, 16},
                         {5, 10, 10}, {5, 1, 1}};
  for (const Case &k : kCases) {
    for (const Cipher &c : kCiphers) {
      if (c.nid != k.nid) continue;
      Result r = Encrypt(c.nid, RandomBytes(c.iv_size), RandomBytes(c.key_size), RandomBytes(k.in));
      EXPECT_EQ(r.rc, KELU_OK) << c.enc_name;
      EXPECT_EQ(r.bytes.size(), k.out) << c.enc_name << " of " << k.in;
    }
  }
}

TEST_F(SymCipher, EachOperationTakesItsIdentifiers) {
  const Bytes plain = RandomBytes(20);
  for (const Cipher &c : kCiphers) {
    SCOPED_TRACE(c.enc_name);
    const Bytes key = RandomBytes(c.key_size), iv = RandomBytes(c.iv_size);
    const EVP_CIPHER *cipher = nullptr;
    EXPECT_EQ(GetEVPCipherbyNID(c.nid, &cipher), KELU_OK);
    EXPECT_NE(cipher, nullptr);
    unsigned char *generated = nullptr;
    int generated_size = 0;
    EXPECT_EQ(GenerateSymKey(c.nid, &generated, &generated_size),
              c.generate ? KELU_OK : KELU_ERR_INVALID_PARAMETER);
    delete[] generated;
    EXPECT_EQ(Encrypt(c.nid, iv, key, plain).rc, c.encrypt ? KELU_OK : KELU_ERR_INVALID_PARAMETER);
    Result file = OnFiles(true, c.nid, iv, key, plain);
    EXPECT_EQ(file.rc, c.file_encrypt ? KELU_OK : KELU_ERR_INVALID_PARAMETER);
    const Bytes cipher_text = Reference(c, key, iv, plain, 1);
    EXPECT_EQ(Decrypt(c.nid, iv, key, cipher_text).bytes, plain);
    EXPECT_EQ(OnFiles(false, c.nid, iv, key, cipher_text).bytes, plain);
  }
  for (int nid : kUnknownNids) {
    SCOPED_TRACE(nid);
    const Bytes key = RandomBytes(16), iv = RandomBytes(16);
    const EVP_CIPHER *cipher = nullptr;
    EXPECT_EQ(GetEVPCipherbyNID(nid, &cipher), KELU_ERR_INVALID_PARAMETER);
    EXPECT_EQ(cipher, nullptr);
    unsigned char *generated = nullptr;
    int generated_size = 0;
    EXPECT_EQ(GenerateSymKey(nid, &generated, &generated_size), KELU_ERR_INVALID_PARAMETER);
    EXPECT_EQ(Encrypt(nid, iv, key, plain).rc, KELU_ERR_INVALID_PARAMETER);
    EXPECT_EQ(Decrypt(nid, iv, key, Bytes(16)).rc, KELU_ERR_INVALID_PARAMETER);
    EXPECT_EQ(OnFiles(true, nid, iv, key, plain).rc, KELU_ERR_INVALID_PARAMETER);
    EXPECT_EQ(OnFiles(false, nid, iv, key, Bytes(16)).rc, KELU_ERR_INVALID_PARAMETER);
  }
}

// Keys and IVs of exactly the given length on the heap, so that the sanitizer build sees any
// read past them.
struct Exact {
  std::unique_ptr<unsigned char[]> bytes;
  int size;
};
Exact ExactBytes(size_t n) {
  Exact e{std::unique_ptr<unsigned char[]>(new unsigned char[n == 0 ? 1 : n]), static_cast<int>(n)};
  Bytes random = RandomBytes(n);
  if (n != 0) std::memcpy(e.bytes.get(), random.data(), n);
  return e;
}

TEST_F(SymCipher, ShortOrLongKeysAndShortIVsAreRefusedBeforeUse) {
  const Bytes plain = RandomBytes(40);
  for (const Cipher &c : kCiphers) {
    const Bytes good_cipher = Reference(c, RandomBytes(c.key_size), RandomBytes(c.iv_size), plain, 1);
    struct Variant {
      const char *what;
      size_t key, iv;
      bool null_key, null_iv;
    };
    std::vector<Variant> variants = {{"short key", c.key_size - 1, c.iv_size, false, false},
                                     {"long key", c.key_size + 1, c.iv_size, false, false},
                                     {"one-byte key", 1, c.iv_size, false, false},
                                     {"null key", c.key_size, c.iv_size, true, false}};
    if (c.iv_size != 0) {
      variants.push_back({"short IV", c.key_size, c.iv_size - 1, false, false});
      variants.push_back({"long IV", c.key_size, c.iv_size + 1, false, false});
      variants.push_back({"null IV", c.key_size, c.iv_size, false, true});
    }
    for (const Variant &v : variants) {
      SCOPED_TRACE(std::string(c.enc_name) + ": " + v.what);
      Exact key = ExactBytes(v.key), iv = ExactBytes(v.iv);
      const unsigned char *k = v.null_key ? nullptr : key.bytes.get();
      const unsigned char *i = v.null_iv ? nullptr : iv.bytes.get();
      unsigned char *out = nullptr;
      int size = 0;
      if (c.encrypt) {
        EXPECT_EQ(SymEncrypt(c.nid, i, iv.size, k, key.size, plain.data(), 40, &out, &size),
                  KELU_ERR_INVALID_PARAMETER);
      }
      EXPECT_EQ(SymDecrypt(c.nid, i, iv.size, k, key.size, good_cipher.data(),
                           static_cast<int>(good_cipher.size()), &out, &size),
                KELU_ERR_INVALID_PARAMETER);
      EXPECT_EQ(out, nullptr);
      std::string in_path = Write("plain.bin", plain);
      std::string cipher_path = Write("cipher.bin", good_cipher);
      File fin = OpenFile(in_path, "rb"), fcipher = OpenFile(cipher_path, "rb");
      File fout = OpenFile(dir_.File("out.bin"), "wb");
      if (c.file_encrypt) {
        EXPECT_EQ(SymFileEncrypt(c.nid, i, iv.size, k, key.size, fin.get(), fout.get()),
                  KELU_ERR_INVALID_PARAMETER);
      }
      EXPECT_EQ(SymFileDecrypt(c.nid, i, iv.size, k, key.size, fcipher.get(), fout.get()),
                KELU_ERR_INVALID_PARAMETER);
      EXPECT_EQ(std::ftell(fout.get()), 0) << "nothing written";
    }
  }
}

TEST_F(SymCipher, CiphersWithoutAnIVNeverReadIt) {
  const Bytes plain = RandomBytes(33);
  for (const Cipher &c : kCiphers) {
    if (c.iv_size != 0) continue;
    const Bytes key = RandomBytes(c.key_size);
    unsigned char *out = nullptr;
    int size = 0;
    const Bytes want = Reference(c, key, {}, plain, 1);
    EXPECT_EQ(SymDecrypt(c.nid, nullptr, 0, key.data(), static_cast<int>(key.size()), want.data(),
                         static_cast<int>(want.size()), &out, &size),
              KELU_OK)
        << c.enc_name;
    EXPECT_EQ(Bytes(out, out + size), plain);
    delete[] out;
  }
}

TEST_F(SymCipher, GeneratedKeys) {
  struct Case {
    int nid;
    int size;
  };
  for (const Case &k : {Case{5, 16}, Case{44, 24}, Case{427, 32}}) {
    unsigned char *a = nullptr, *b = nullptr;
    int na = 0, nb = 0;
    ASSERT_EQ(GenerateSymKey(k.nid, &a, &na), KELU_OK);
    ASSERT_EQ(GenerateSymKey(k.nid, &b, &nb), KELU_OK);
    EXPECT_EQ(na, k.size);
    EXPECT_EQ(nb, k.size);
    EXPECT_NE(ToHex(a, na), ToHex(b, nb)) << "two keys of " << k.nid;
    if (k.nid == 44) {
      for (int i = 0; i < na; ++i) EXPECT_EQ(__builtin_popcount(a[i]) % 2, 1) << "odd parity";
    }
    delete[] a;
    delete[] b;
  }
  EXPECT_EQ(GenerateSymKey(5, nullptr, nullptr), KELU_ERR_INVALID_PARAMETER);
}

TEST_F(SymCipher, BufferArgumentsAndBrokenCipherTexts) {
  const Bytes key24 = RandomBytes(24), iv8 = RandomBytes(8);
  unsigned char *out = nullptr;
  int size = 0;
  const unsigned char byte = 1;
  EXPECT_EQ(SymEncrypt(44, iv8.data(), 8, key24.data(), 24, &byte, 0, &out, &size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(SymEncrypt(44, iv8.data(), 8, key24.data(), 24, &byte, -1, &out, &size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(SymEncrypt(44, iv8.data(), 8, key24.data(), 24, nullptr, 1, &out, &size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(SymEncrypt(44, iv8.data(), 8, key24.data(), 24, &byte, 1, nullptr, &size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(SymDecrypt(44, iv8.data(), 8, key24.data(), 24, &byte, -1, &out, &size),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(out, nullptr);

  for (const Cipher &c : kCiphers) {
    SCOPED_TRACE(c.enc_name);
    const Bytes key = RandomBytes(c.key_size), iv = RandomBytes(c.iv_size);
    const Bytes good = Reference(c, key, iv, RandomBytes(50), 1);
    if (c.block == 1) {
      Result empty = Decrypt(c.nid, iv, key, {});
      EXPECT_EQ(empty.rc, KELU_OK);
      EXPECT_TRUE(empty.bytes.empty());
      continue;
    }
    EXPECT_EQ(Decrypt(c.nid, iv, key, {}).rc, KELU_ERR_DECRYPT);
    EXPECT_EQ(Decrypt(c.nid, iv, key, Bytes(good.begin(), good.end() - 1)).rc, KELU_ERR_DECRYPT);
    // The last block decrypted under another key: its padding is wrong (fixed bytes, so that
    // the outcome is the same on every run).
    Bytes other_key(c.key_size, 0x5A);
    Bytes fixed = Reference(c, Bytes(c.key_size, 0xA5), Bytes(c.iv_size, 0x11), Bytes(48, 0x42), 1);
    EXPECT_EQ(Decrypt(c.nid, Bytes(c.iv_size, 0x11), other_key, fixed).rc, KELU_ERR_DECRYPT);
  }
}

TEST_F(SymCipher, FileRoundTripsAtTheBlockBoundaries) {
  const size_t kSizes[] = {1, 15, 16, 17, 16383, 16384, 16385, 32768, 32769, 65543};
  for (const Cipher &c : kCiphers) {
    if (!c.file_encrypt) continue;
    for (size_t n : kSizes) {
      SCOPED_TRACE(std::string(c.enc_name) + " " + std::to_string(n) + " bytes");
      const Bytes key = RandomBytes(c.key_size), iv = RandomBytes(c.iv_size);
      const Bytes plain = RandomBytes(n);
      Result enc = OnFiles(true, c.nid, iv, key, plain);
      ASSERT_EQ(enc.rc, KELU_OK);
      EXPECT_EQ(enc.bytes.size(), PaddedSize(c, n));
      EXPECT_EQ(enc.bytes, Reference(c, key, iv, plain, 1));
      Result dec = OnFiles(false, c.nid, iv, key, enc.bytes);
      ASSERT_EQ(dec.rc, KELU_OK);
      EXPECT_EQ(dec.bytes, plain);
    }
  }
}

TEST_F(SymCipher, FilesAreReadFromTheStartAndWrittenAtThePosition) {
  const Bytes key = RandomBytes(16), iv = RandomBytes(16), plain = RandomBytes(20000);
  std::string in_path = Write("plain.bin", plain);
  std::string out_path = dir_.File("out.bin");
  File fin = OpenFile(in_path, "rb");
  ASSERT_EQ(std::fseek(fin.get(), 777, SEEK_SET), 0);
  File fout = OpenFile(out_path, "wb");
  ASSERT_EQ(std::fputs("HEAD", fout.get()), 1);
  ASSERT_EQ(SymFileEncrypt(923, iv.data(), 16, key.data(), 16, fin.get(), fout.get()), KELU_OK);
  fout.reset();
  Bytes written = ReadBinaryFile(out_path);
  ASSERT_GT(written.size(), 4u);
  EXPECT_EQ(std::string(written.begin(), written.begin() + 4), "HEAD");
  const Bytes body(written.begin() + 4, written.end());
  EXPECT_EQ(body, Reference(kCiphers[5], key, iv, plain, 1));
  // The same bytes as the SM4-CBC of data in memory.
  unsigned char *in_memory = nullptr;
  int in_memory_size = 0;
  ASSERT_EQ(SM4_Encrypt_CBC(plain.data(), static_cast<int>(plain.size()), iv.data(), 16,
                            key.data(), 16, &in_memory, &in_memory_size),
            KELU_OK);
  EXPECT_EQ(body, Bytes(in_memory, in_memory + in_memory_size));
  delete[] in_memory;
}

TEST_F(SymCipher, EmptyTruncatedAndUnreadableFiles) {
  for (const Cipher &c : kCiphers) {
    SCOPED_TRACE(c.enc_name);
    const Bytes key = RandomBytes(c.key_size), iv = RandomBytes(c.iv_size);
    if (c.file_encrypt) {
      EXPECT_EQ(OnFiles(true, c.nid, iv, key, {}).rc, KELU_ERR_READ_FILE);
    }
    EXPECT_EQ(OnFiles(false, c.nid, iv, key, {}).rc, KELU_ERR_READ_FILE);
    const Bytes plain = RandomBytes(40000);
    Bytes cipher_text = Reference(c, key, iv, plain, 1);
    cipher_text.pop_back();
    Result truncated = OnFiles(false, c.nid, iv, key, cipher_text);
    if (c.block == 1) {
      EXPECT_EQ(truncated.rc, KELU_OK) << "a stream cipher cannot tell";
      EXPECT_EQ(truncated.bytes, Bytes(plain.begin(), plain.end() - 1));
    } else {
      EXPECT_EQ(truncated.rc, KELU_ERR_DECRYPT);
    }
  }
  // A stream opened for appending only: measured, but its reads fail.
  std::string path = Write("plain.bin", RandomBytes(1000));
  File unreadable = OpenFile(path, "a");
  File fout = OpenFile(dir_.File("out.bin"), "wb");
  const Bytes key = RandomBytes(16);
  EXPECT_EQ(SymFileEncrypt(5, nullptr, 0, key.data(), 16, unreadable.get(), fout.get()),
            KELU_ERR_READ_FILE);
  EXPECT_EQ(SymFileEncrypt(5, nullptr, 0, key.data(), 16, nullptr, fout.get()),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(SymFileDecrypt(5, nullptr, 0, key.data(), 16, unreadable.get(), nullptr),
            KELU_ERR_INVALID_PARAMETER);
}

TEST_F(SymCipher, AFullDiskIsAWriteError) {
  // 1 byte stays in the stream's buffer until the flush; 100000 bytes reach the disk at once.
  for (size_t n : {size_t{1}, size_t{100000}}) {
    for (int nid : {5, 44, 923}) {
      const Cipher &c = *std::find_if(std::begin(kCiphers), std::end(kCiphers),
                                      [nid](const Cipher &x) { return x.nid == nid; });
      SCOPED_TRACE(std::string(c.enc_name) + " " + std::to_string(n));
      const Bytes key = RandomBytes(c.key_size), iv = RandomBytes(c.iv_size);
      const Bytes plain = RandomBytes(n);
      std::string plain_path = Write("plain.bin", plain);
      std::string cipher_path = Write("cipher.bin", Reference(c, key, iv, plain, 1));
      File full = OpenFile("/dev/full", "wb");
      File fin = OpenFile(plain_path, "rb");
      EXPECT_EQ(SymFileEncrypt(nid, iv.data(), static_cast<int>(iv.size()), key.data(),
                               static_cast<int>(key.size()), fin.get(), full.get()),
                KELU_ERR_WRITE_FILE);
      File fcipher = OpenFile(cipher_path, "rb");
      File full2 = OpenFile("/dev/full", "wb");
      EXPECT_EQ(SymFileDecrypt(nid, iv.data(), static_cast<int>(iv.size()), key.data(),
                               static_cast<int>(key.size()), fcipher.get(), full2.get()),
                KELU_ERR_WRITE_FILE);
    }
  }
}

TEST_F(SymCipher, StepLinesNameTheUnitAndEachBlock) {
  LogCapture log;
  const Bytes key = RandomBytes(16), plain = RandomBytes(16384 + 5);
  EXPECT_EQ(Encrypt(44, RandomBytes(8), key, plain).rc, KELU_ERR_INVALID_PARAMETER);
  std::string text = log.Text();
  EXPECT_NE(text.find("nSymAlgNID: 44"), std::string::npos) << text;
  EXPECT_NE(text.find("[RSADataEncryption.cpp("), std::string::npos) << text;
  EXPECT_NE(text.find("(SymEncrypt -- Check 3DES key length.)\t\t--Failed:(0x80070057) "
                      "[Reason:DES3_KEY_LEN != nKeyDataSize]"),
            std::string::npos)
      << text;
  log.Take();
  EXPECT_EQ(OnFiles(true, 5, {}, key, plain).rc, KELU_OK);
  size_t reads = 0, updates = 0;
  for (const std::string &line : log.Take()) {
    if (line.find("(SymFileEncrypt -- fread)\t\t--OK") != std::string::npos) ++reads;
    if (line.find("(SymFileEncrypt -- EVP_EncryptUpdate)\t\t--OK") != std::string::npos) ++updates;
    EXPECT_EQ(line.find("--Failed"), std::string::npos) << line;
  }
  EXPECT_EQ(reads, 2u);
  EXPECT_EQ(updates, 2u);
}

}  // namespace
}  // namespace kelu::test
