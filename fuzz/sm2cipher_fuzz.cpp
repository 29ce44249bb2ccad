// SM2Cipher and SM2Q1 on arbitrary bytes: no crash; what decodes re-encodes to a form that
// decodes to the same raw values, and raw input encodes and decodes back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CMSEnvelopeOperations.h"
#include "KeluErrors.h"
#include "PKCS7SignedDataOperations.h"

namespace {

void Require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

void RoundTripRaw(const uint8_t *raw, int size) {
  unsigned char *der = nullptr;
  int der_size = 0;
  int result = Encode_SM2Cipher(raw, size, &der, &der_size);
  if (size <= 96) {
    Require(result == KELU_ERR_INVALID_PARAMETER && der == nullptr, "short raw form refused");
    return;
  }
  Require(result == KELU_OK, "raw form encodes");
  unsigned char *back = nullptr;
  int back_size = 0;
  Require(Decode_SM2Cipher(der, der_size, &back, &back_size) == KELU_OK, "own DER decodes");
  Require(back_size == size && std::memcmp(back, raw, static_cast<size_t>(size)) == 0,
          "raw form back unchanged");
  delete[] back;
  delete[] der;
}

void CheckSM2Q1(const uint8_t *data, int size) {
  unsigned char *rs = nullptr;
  int rs_size = 0;
  if (Decode_SM2Q1(data, size, &rs, &rs_size) != KELU_OK) {
    Require(rs == nullptr, "nothing handed out");
    return;
  }
  Require(rs_size == 64, "r || s");
  unsigned char *der = nullptr;
  int der_size = 0;
  Require(Encode_SM2Q1(rs, 32, rs + 32, 32, &der, &der_size) == KELU_OK, "encodes");
  unsigned char *again = nullptr;
  int again_size = 0;
  Require(Decode_SM2Q1(der, der_size, &again, &again_size) == KELU_OK &&
              std::memcmp(again, rs, 64) == 0,
          "minimal form decodes to the same r || s");
  delete[] again;
  delete[] der;
  delete[] rs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 16)) return 0;
  const int n = static_cast<int>(size);
  unsigned char *raw = nullptr;
  int raw_size = 0;
  int result = Decode_SM2Cipher(data, n, &raw, &raw_size);
  if (result == KELU_OK) {
    Require(raw_size >= 96 && static_cast<size_t>(raw_size) < size, "raw size");
    if (raw_size > 96) RoundTripRaw(raw, raw_size);
  } else {
    Require(raw == nullptr && (result == KELU_ERR_FAILED || result == KELU_ERR_PARSE),
            "failure codes");
  }
  delete[] raw;
  RoundTripRaw(data, n);
  CheckSM2Q1(data, n);
  return 0;
}
