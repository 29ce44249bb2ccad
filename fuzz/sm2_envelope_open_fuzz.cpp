// Opening untrusted SM2 envelopes with an SM2 key file made at start-up: from memory with both
// encodings of the content key, from a file, and as SM4-ECB envelopes through the exported
// function. No crash, no leak, nothing handed out and nothing left in the plain file on
// failure, and the file form opens nothing that the memory form does not open the same.
//
// The start-up key is new at every run, but its certificate has a fixed subject key
// identifier, so that envelopes made for another key (the seeds) still pass the recipient check
// and reach the key decryption. An input that starts with 0xE1 is an edit of an envelope made
// at start-up for this key: E1, the envelope (0 SM4-CBC with the raw key, 1 SM4-CBC with
// SM2Cipher, 2 SM4-ECB with the raw key), a 16-bit length to cut it to, then (16-bit position,
// XOR byte) triples; it reaches the content decryption behind a genuine content key.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "DataEncryption.h"
#include "KeluErrors.h"
#include "ORVA.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "envelope_fuzz_files.h"

namespace {

using envelopefuzz::ReadAll;
using envelopefuzz::ReadPath;
using envelopefuzz::Require;
using envelopefuzz::Reset;

constexpr char kPassword[] = "fuzz";
constexpr char kKeyId[] = "4B454C5546555A5A534D32454E56454C4F504521";

using Bytes = std::vector<uint8_t>;

struct Made {
  Bytes der;
  unsigned long encoding;
};

struct State {
  std::string key_path;
  FILE *key_file = nullptr;
  FILE *envelope = nullptr;  // the input as a file
  FILE *plain = nullptr;     // the file form's output
  std::vector<Made> made;
};
State *g_state = nullptr;

std::string Base64(const uint8_t *data, size_t size) {
  char *text = nullptr;
  if (Base64EncodeEx(data, static_cast<int>(size), &text, nullptr, ATL_BASE64_FLAG_NOCRLF) !=
      KELU_OK)
    return "";
  std::string out(text);
  delete[] text;
  return out;
}

// An SM2 key and its certificate (keyEncipherment, the fixed identifier) in a fresh folder, and
// the key file of both.
std::string MakeKeyFiles() {
  const std::string dir = envelopefuzz::RunOpensslInNewFolder(
      "kelu-sm2-envelope-fuzz",
      {"genpkey -algorithm SM2 -out k.pem",
       "req -x509 -new -key k.pem -subj /CN=fuzz -days 2 -addext keyUsage=keyEncipherment "
       "-addext subjectKeyIdentifier=" +
           std::string(kKeyId) + " -outform DER -out c.der"});
  FILE *pem = std::fopen((dir + "/k.pem").c_str(), "rb");
  Require(pem != nullptr, "key");
  EVP_PKEY *key = PEM_read_PrivateKey(pem, nullptr, nullptr, nullptr);
  std::fclose(pem);
  BIGNUM *d = nullptr;
  Require(key != nullptr && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) == 1, "d");
  unsigned char d_bytes[32];
  Require(BN_bn2binpad(d, d_bytes, 32) == 32, "d bytes");
  BN_clear_free(d);
  EVP_PKEY_free(key);
  const Bytes cert = ReadPath(dir + "/c.der");
  unsigned char *pfx = nullptr;
  int pfx_size = 0;
  Require(EncapsulateSM2PFX(cert.data(), static_cast<int>(cert.size()), d_bytes, 32, kPassword,
                            &pfx, &pfx_size) == KELU_OK,
          "key file");
  const std::string text = Base64(pfx, static_cast<size_t>(pfx_size));
  delete[] pfx;
  const std::string key_path = dir + "/k.sm2";
  FILE *out = std::fopen(key_path.c_str(), "wb");
  Require(out != nullptr && std::fwrite(text.data(), 1, text.size(), out) == text.size() &&
              std::fclose(out) == 0,
          "write key file");
  return dir;
}

Made MakeEnvelope(const Bytes &cert, unsigned long encoding, bool ecb) {
  const std::string content = "content of the envelopes made at start-up, two blocks or more";
  if (!ecb) {
    unsigned char *der = nullptr;
    int size = 0;
    Require(EncryptDataToDerCMSEnvelope(reinterpret_cast<const unsigned char *>(content.data()),
                                        static_cast<int>(content.size()), cert.data(),
                                        static_cast<int>(cert.size()), encoding, &der,
                                        &size) == KELU_OK,
            "start-up envelope");
    Made made{Bytes(der, der + size), encoding};
    delete[] der;
    return made;
  }
  char *text = nullptr;
  const std::string cert_text = Base64(cert.data(), cert.size());
  Require(EncryptDataToCMSEnvelope("SM2", reinterpret_cast<const unsigned char *>(content.data()),
                                   static_cast<int>(content.size()), cert_text.c_str(), "SM4_ECB",
                                   &text) == KELU_OK,
          "start-up ECB envelope");
  unsigned char *der = nullptr;
  int size = 0;
  Require(Base64DecodeEx(text, static_cast<int>(std::strlen(text)), &der, &size) == KELU_OK,
          "decode");
  FreeMemory(text);
  Made made{Bytes(der, der + size), encoding};
  delete[] der;
  return made;
}

// The memory form with one encoding; on success the plaintext, which must be a buffer.
int OpenInMemory(const Bytes &envelope, unsigned long encoding, Bytes *plain) {
  Require(fseeko(g_state->key_file, 0, SEEK_SET) == 0, "rewind key file");
  unsigned char *out = nullptr;
  int size = -7;
  const int rc = DecryptDerCMSEnvelopeData(envelope.data(), static_cast<int>(envelope.size()),
                                           g_state->key_file, kPassword, encoding, &out, &size);
  if (rc == KELU_OK) {
    Require(out != nullptr && size >= 0, "a plaintext");
    plain->assign(out, out + size);
  } else {
    Require(out == nullptr && size == -7, "nothing handed out on failure");
  }
  delete[] out;
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Require(kelu::SMKernelInitialize() == 0, "crypto start-up");
  // The operations run where an exported function runs them: in the toolkit's context.
  OSSL_LIB_CTX_set0_default(kelu::ToolkitLibraryContext());
  g_state = new State();
  static const std::string dir = MakeKeyFiles();
  // The exported opening reads the key file by its path: the folder stays until the end.
  std::atexit([] { std::system(("rm -rf '" + dir + "'").c_str()) == 0 ? void() : void(); });
  g_state->key_path = dir + "/k.sm2";
  g_state->key_file = std::fopen(g_state->key_path.c_str(), "rb");
  Require(g_state->key_file != nullptr, "key file");
  const Bytes cert = ReadPath(dir + "/c.der");
  g_state->made.push_back(MakeEnvelope(cert, SM2_ENC_ENCODED_C1C2C3, false));
  g_state->made.push_back(MakeEnvelope(cert, SM2_ENC_ENCODED_SM2CIPHER, false));
  g_state->made.push_back(MakeEnvelope(cert, SM2_ENC_ENCODED_C1C2C3, true));
  g_state->envelope = tmpfile();
  g_state->plain = tmpfile();
  Require(g_state->envelope != nullptr && g_state->plain != nullptr, "tmpfile");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 16)) return 0;
  Bytes envelope(data, data + size);
  unsigned long encoding =
      size > 0 && (data[size - 1] & 1) ? SM2_ENC_ENCODED_SM2CIPHER : SM2_ENC_ENCODED_C1C2C3;
  if (size >= 4 && data[0] == 0xE1) {
    const Made &made = g_state->made[data[1] % g_state->made.size()];
    envelope = made.der;
    encoding = made.encoding;
    const size_t cut = static_cast<size_t>(data[2]) << 8 | data[3];
    if (cut < envelope.size()) envelope.resize(cut);
    for (size_t i = 4; i + 3 <= size && !envelope.empty(); i += 3) {
      envelope[(static_cast<size_t>(data[i]) << 8 | data[i + 1]) % envelope.size()] ^= data[i + 2];
    }
  }

  Bytes from_memory;
  const int memory = OpenInMemory(envelope, encoding, &from_memory);

  Reset(g_state->envelope, envelope.data(), envelope.size());
  Reset(g_state->plain, nullptr, 0);
  Require(fseeko(g_state->key_file, 0, SEEK_SET) == 0, "rewind key file");
  const int from_file = DecryptDerCMSEnvelopeFile(g_state->envelope, g_state->key_file, kPassword,
                                                  encoding, g_state->plain);
  Require(std::fflush(g_state->plain) == 0, "flush");
  const Bytes written = ReadAll(g_state->plain);
  if (from_file == KELU_OK) {
    Require(memory == KELU_OK && written == from_memory, "the same plaintext from both forms");
  } else {
    Require(written.empty(), "nothing left in the plain file on failure");
  }

  // The SM4-ECB envelope is reached through its exported opening only.
  const std::string text = Base64(envelope.data(), envelope.size());
  if (!text.empty()) {
    unsigned char *plain = reinterpret_cast<unsigned char *>(0x1);
    int plain_size = -7;
    const int rc =
        encoding == SM2_ENC_ENCODED_C1C2C3
            ? DecryptDataFromCMSEnvelope_ECB("SM2", text.c_str(), g_state->key_path.c_str(),
                                             kPassword, &plain, &plain_size)
            : DecryptDataFromCMSEnvelopeEx_ECB("SM2", text.c_str(), g_state->key_path.c_str(),
                                               kPassword, &plain, &plain_size);
    if (rc == KELU_OK) {
      Require(plain != nullptr && plain_size >= 0, "an ECB plaintext");
    } else {
      Require(plain == nullptr && plain_size == 0, "outputs cleared on failure");
    }
    FreeMemory(plain);
  }
  // The library's error records are freed here, so that allocations balance and the leak
  // check does not scan the heap after every input.
  ERR_clear_error();
  return 0;
}
