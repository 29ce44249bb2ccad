// An SM2 key file from outside, opened with a fixed password: the first byte chooses whether
// the rest is the file's Base64 text (odd) or its DER (even). No crash, no leak, nothing written
// on failure, and the readers agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Base64Utility.h"
#include "KeluErrors.h"
#include "SMFileCertOperations.h"

namespace {

constexpr char kPassword[] = "kelu-fuzz-password";

void Require(bool condition) {
  if (!condition) std::abort();
}

bool Same(const unsigned char *a, int a_size, const unsigned char *b, int b_size) {
  return a_size == b_size && (a_size == 0 || std::memcmp(a, b, static_cast<size_t>(a_size)) == 0);
}

bool IsEmpty(const SM2_KEY_PAIR &p) {
  return p.pbyPrivateKey == nullptr && p.pbyPubKeyX == nullptr && p.pbyPubKeyY == nullptr &&
         p.nPrivateKeySize == 0 && p.nPubKeyXSize == 0 && p.nPubKeyYSize == 0;
}

void OpenKeyFile(const unsigned char *der, int size) {
  unsigned char *key = nullptr, *cert = nullptr;
  int key_size = -1, cert_size = -1;
  int parsed = ParseSM2PFX(der, size, &key, &key_size, &cert, &cert_size);
  if (parsed == KELU_OK) {
    Require(key != nullptr && cert != nullptr && key_size >= 0 && cert_size >= 0);
  } else {
    Require(key == nullptr && cert == nullptr && key_size == -1 && cert_size == -1);
  }
  Require(ParseSM2PFX(der, size, nullptr, nullptr, nullptr, nullptr) == parsed);

  SM2_KEY_PAIR pair = {};
  unsigned char *opened_cert = nullptr;
  int opened_cert_size = -1;
  int opened = DecryptSM2PFX(der, size, kPassword, &pair, &opened_cert, &opened_cert_size);
  if (parsed != KELU_OK) Require(opened == parsed);
  if (opened == KELU_OK) {
    Require(pair.nPrivateKeySize == 32 && pair.nPubKeyXSize == 32 && pair.nPubKeyYSize == 32);
    Require(pair.pbyPrivateKey != nullptr && pair.pbyPubKeyX != nullptr &&
            pair.pbyPubKeyY != nullptr);
    Require(Same(opened_cert, opened_cert_size, cert, cert_size));
    delete[] opened_cert;
  } else {
    Require(IsEmpty(pair) && opened_cert == nullptr && opened_cert_size == -1);
  }
  CleanupSM2KeyPair(&pair);

  SM2_KEY_PAIR second = {};
  Require(DecryptKeyPairFromSM2PFX(der, size, kPassword, &second) == opened);
  CleanupSM2KeyPair(&second);
  delete[] key;
  delete[] cert;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  bool is_text = (data[0] & 1) != 0;
  ++data;
  --size;
  if (!is_text) {
    OpenKeyFile(data, static_cast<int>(size));
    return 0;
  }
  std::string text(reinterpret_cast<const char *>(data), size);
  unsigned char *der = nullptr;
  int der_size = 0;
  if (Base64DecodeEx(text.c_str(), static_cast<int>(text.size()), &der, &der_size) == KELU_OK) {
    OpenKeyFile(der, der_size);
    delete[] der;
  }
  return 0;
}
