#include "DataEncryption.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "ByteOrder.h"
#include "KeluErrors.h"
#include "Misc.h"
#include "NationalEvp.h"
#include "NationalObjects.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM4.h"
#include "SecretBytes.h"

using kelu::ops::SecretArray;
using kelu::ops::SecretBytes;

namespace {

// The step lines of a shared helper name the public function it works for.
#define KELU_SITE(function) (TraceSite{KELU_SOURCE_FILE_NAME, __LINE__, function})

constexpr int kSM2Curve = kelu::NID_prime256v1SM2;
constexpr int kRawSM2Overhead = 96;  // x1, y1, C3
constexpr int kBlock = 16;

int CheckParameter(const TraceSite &site, bool passed, const char *step, const char *reason) {
  return TraceCheck(site, passed, step, KELU_ERR_INVALID_PARAMETER, reason);
}

// Input bytes of at most max: a size that is not negative, and a pointer unless it is 0.
int CheckBytes(const TraceSite &site, const unsigned char *bytes, int size, int max,
               const char *step, const char *reason) {
  return CheckParameter(site, size >= 0 && size <= max && (bytes != nullptr || size == 0), step,
                        reason);
}

int CheckOutputs(const TraceSite &site, const void *buffer, const void *size, const char *step,
                 const char *reason) {
  return CheckParameter(site, buffer != nullptr && size != nullptr, step, reason);
}

int NoMemory(const TraceSite &site, const char *reason) {
  TraceStepFailed(site, "New memory", KELU_ERR_FAILED, reason);
  return KELU_ERR_FAILED;
}

// A step of the system's own routines that gives 1 on success.
int CheckOne(const TraceSite &site, int result, const char *step) {
  return TraceCheck(site, result == 1, step, KELU_ERR_FAILED, "1 != nResult");
}

// A step of the crypto library that gives 1 on success; its error text joins the Failed line.
int CheckLibraryOne(const TraceSite &site, int result, const char *step) {
  return TraceCheckOpenssl(site, result == 1, step, KELU_ERR_FAILED, "1 != nResult");
}

int PassOn(const TraceSite &site, int result, const char *step) {
  return TraceCheck(site, result == KELU_OK, step, result, "KELU_OK != nResult");
}

// A big number loaded from at most the first 32 bytes of a value.
int LoadNumber(const TraceSite &site, const unsigned char *bytes, int size, BIGNUM *bn,
               const char *new_step, const char *new_reason, const char *load_step) {
  int result = TraceCheckOpenssl(site, bn != nullptr, new_step, KELU_ERR_FAILED, new_reason);
  if (result != KELU_OK) return result;
  return CheckOne(site, kelu::_SM2_Bytes2BN(bytes, size, bn), load_step);
}

void HandOut(SecretBytes *buffer, size_t size, unsigned char **out, int *out_size) {
  *out_size = static_cast<int>(size);
  *out = buffer->release();
}

// ---- SM4-CBC through the crypto library's cipher ------------------------------------------

// Masks of all ones or zero, computed without branches (a, b below 2^31).
uint32_t MaskLessThan(uint32_t a, uint32_t b) { return 0u - ((a - b) >> 31); }
uint32_t MaskNonZero(uint32_t x) { return 0u - ((x | (0u - x)) >> 31); }

// The PKCS#7 padding length (1 to 16) of the last block, or 0 when the padding is malformed.
// Every byte of the block is examined whatever the padding length, so the time taken does not
// tell how much of the padding was right.
uint32_t PaddingLength(const unsigned char last[kBlock]) {
  uint32_t pad = last[kBlock - 1];
  uint32_t good = MaskLessThan(0, pad) & MaskLessThan(pad, kBlock + 1);
  for (uint32_t i = 0; i < kBlock; ++i) {
    uint32_t in_padding = MaskLessThan(i, pad);
    good &= ~(in_padding & MaskNonZero(last[kBlock - 1 - i] ^ pad));
  }
  return good & pad;
}

struct CbcCall {
  int enc;
  const char *init_step, *update_step, *final_step;
};
constexpr CbcCall kCbcEncrypt{1, "EVP_EncryptInit_ex", "EVP_EncryptUpdate", "EVP_EncryptFinal_ex"};
constexpr CbcCall kCbcDecrypt{0, "EVP_DecryptInit_ex", "EVP_DecryptUpdate", "EVP_DecryptFinal_ex"};

// One pass of SM4-CBC over in: init, one update, final. Encryption pads; decryption runs the
// cipher unpadded and leaves the padding to PaddingLength. out holds in_size + 16 bytes.
int RunSm4Cbc(const char *function, const CbcCall &call, const unsigned char *in, int in_size,
              const unsigned char *iv, const unsigned char *key, unsigned char *out,
              int *out_size) {
  kelu::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  int result = TraceCheckOpenssl(KELU_SITE(function), ctx != nullptr, "EVP_CIPHER_CTX_new",
                                 KELU_ERR_FAILED, "NULL == pCTX");
  if (result != KELU_OK) return result;
  result = CheckLibraryOne(
      KELU_SITE(function),
      EVP_CipherInit_ex(ctx.get(), kelu::EVP_sm4_cbc(), nullptr, key, iv, call.enc),
      call.init_step);
  if (result != KELU_OK) return result;
  if (call.enc == 0) EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int update_size = 0;
  result = CheckLibraryOne(KELU_SITE(function),
                           EVP_CipherUpdate(ctx.get(), out, &update_size, in, in_size),
                           call.update_step);
  if (result != KELU_OK) return result;
  int final_size = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + update_size, &final_size) != 1) {
    return CheckLibraryOne(KELU_SITE(function), 0, call.final_step);
  }
  int total = update_size + final_size;
  if (call.enc == 0) {
    // The padding check belongs to the final step, as in the library's own padded mode.
    uint32_t pad = total >= kBlock ? PaddingLength(out + total - kBlock) : 0;
    if (pad == 0) {
      TraceStepFailed(KELU_SITE(function), call.final_step, KELU_ERR_FAILED, "1 != nResult");
      return KELU_ERR_FAILED;
    }
    total -= static_cast<int>(pad);
  }
  TraceStepOK(KELU_SITE(function), call.final_step);
  *out_size = total;
  return KELU_OK;
}

int CheckCbcKey(const char *function, const unsigned char *iv, int iv_size,
                const unsigned char *key, int key_size) {
  struct Check {
    bool passed;
    const char *step, *reason;
  };
  const Check checks[] = {
      {iv_size == kBlock, "Check Parameters(IVSize)", "16 != nIVSize"},
      {key_size == kBlock, "Check Parameters(nSymKeySize)", "16 != nSymKeySize"},
      {iv != nullptr, "Check Parameters(pbyIV)", "NULL == pbyIV"},
      {key != nullptr, "Check Parameters(pbySymKey)", "NULL == pbySymKey"},
  };
  for (const Check &c : checks) {
    int result = CheckParameter(KELU_SITE(function), c.passed, c.step, c.reason);
    if (result != KELU_OK) return result;
  }
  return KELU_OK;
}

// ---- Unpadded SM4 ---------------------------------------------------------------------------

// Round keys from SM4_Init_Key, wiped before they are released.
struct RoundKeysDeleter {
  void operator()(uint32_t *rk) const {
    OPENSSL_cleanse(rk, kelu::kSM4Rounds * sizeof(uint32_t));
    delete[] rk;
  }
};
using RoundKeysPtr = std::unique_ptr<uint32_t[], RoundKeysDeleter>;

struct NopaddingDirection {
  int enc;
  const char *data_step, *data_reason;
  const char *size_step, *size_reason;
  const char *init_step;
  const char *memory_reason;
};
constexpr NopaddingDirection kNopaddingEncrypt{
    1,
    "Check Parameters(pbyPlainData)",
    "nPlainDataSize < 0 || (NULL == pbyPlainData && 0 != nPlainDataSize)",
    "Check Parameters(nPlainDataSize)",
    "0 != nPlainDataSize % 16",
    "SM4_Init_Key(Encrypt)",
    "!pbyEncryptedData"};
constexpr NopaddingDirection kNopaddingDecrypt{
    0,
    "Check Parameters(pbyEncryptedData)",
    "nEncryptedDataSize < 0 || (NULL == pbyEncryptedData && 0 != nEncryptedDataSize)",
    "Check Parameters(nEncryptedDataSize)",
    "0 != nEncryptedDataSize %16",
    "SM4_Init_Key(Decrypt)",
    "!pbyPlainData"};

int CheckNopadding(const char *function, const NopaddingDirection &dir, const unsigned char *in,
                   int size, int iv_size, const unsigned char *key, int key_size,
                   SM4EncrytType mode) {
  int result =
      CheckBytes(KELU_SITE(function), in, size, INT_MAX, dir.data_step, dir.data_reason);
  if (result != KELU_OK) return result;
  result = CheckParameter(KELU_SITE(function), size % kBlock == 0, dir.size_step, dir.size_reason);
  if (result != KELU_OK) return result;
  result = CheckParameter(KELU_SITE(function), iv_size == kBlock || mode != SM4_CBC,
                          "Check Parameters(IVSize)", "(16 != nIVSize && SM4_CBC == nSymType)");
  if (result != KELU_OK) return result;
  result = CheckParameter(KELU_SITE(function), key_size == kBlock, "Check Parameters(nSymKeySize)",
                          "16 != nSymKeySize");
  if (result != KELU_OK) return result;
  return CheckParameter(KELU_SITE(function), key != nullptr, "Check Parameters(pbySymKey)",
                        "NULL == pbySymKey");
}

int RunNopadding(const char *function, const NopaddingDirection &dir, const unsigned char *in,
                 int size, const unsigned char *iv, int iv_size, const unsigned char *key,
                 int key_size, SM4EncrytType mode, unsigned char **out, int *out_size) {
  int result = CheckNopadding(function, dir, in, size, iv_size, key, key_size, mode);
  if (result != KELU_OK) return result;
  uint32_t *rk_raw = nullptr;
  result = PassOn(KELU_SITE(function), SM4_Init_Key(key, kBlock, dir.enc, &rk_raw),
                  dir.init_step);
  RoundKeysPtr rk(rk_raw);
  if (result != KELU_OK) return result;

  SecretArray<kBlock> chain;
  if (mode == SM4_CBC && iv != nullptr) std::memcpy(chain.bytes, iv, kBlock);
  SecretBytes output(static_cast<size_t>(size));
  if (!output.valid()) return NoMemory(KELU_SITE(function), dir.memory_reason);
  TraceStepOK(KELU_SITE(function), "New memory");

  for (size_t at = 0; at < output.size(); at += kBlock) {
    if (mode == SM4_CBC) {
      kelu::SM4_cbc_encrypt(in + at, rk.get(), chain.bytes, output.get() + at, dir.enc);
      TraceStepOK(KELU_SITE(function), "SM4_cbc_encrypt");
    } else {
      SM4_ecb_encrypt(in + at, rk.get(), output.get() + at);
      TraceStepOK(KELU_SITE(function), "SM4_ecb_encrypt");
    }
  }
  if (out != nullptr && out_size != nullptr) HandOut(&output, output.size(), out, out_size);
  return KELU_OK;
}

// ---- Password key ---------------------------------------------------------------------------

// K = SM3(password || 00 00 00 01): IV K[0..15], key K[16..31].
int DerivePinKey(const char *function, const char *pin, SecretArray<32> *k) {
  size_t length = pin != nullptr ? std::strlen(pin) : 0;
  int result = CheckParameter(KELU_SITE(function), pin != nullptr && length <= INT_MAX,
                              "Check Parameters(pszPin)", "NULL == pszPin");
  if (result != KELU_OK) return result;
  return CheckOne(KELU_SITE(function),
                  kelu::_SM2_KDF(reinterpret_cast<const unsigned char *>(pin),
                                 static_cast<unsigned>(length), 256, k->bytes),
                  "_SM2_KDF");
}

}  // namespace

// ---- SM2 --------------------------------------------------------------------------------------

int SM2_Encrypt(const unsigned char *pbyPlainData, int nPlainDataSize,
                const unsigned char *pbyPubKeyX, int nPubKeyXSize,
                const unsigned char *pbyPubKeyY, int nPubKeyYSize,
                unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize) {
  int nResult = CheckBytes(
      KELU_HERE, pbyPlainData, nPlainDataSize, INT_MAX - kelu::SM2_C1C2C3_OVERHEAD,
      "Check Parameters(pbyPlainData)",
      "nPlainDataSize < 0 || nPlainDataSize > INT_MAX - 97 || "
      "(NULL == pbyPlainData && 0 != nPlainDataSize)");
  if (nResult != KELU_OK) return nResult;
  nResult = CheckOutputs(KELU_HERE, ppbyEncryptedData, pnEncryptedDataSize,
                         "Check Parameters(ppbyEncryptedData)",
                           "NULL == ppbyEncryptedData || NULL == pnEncryptedDataSize");
  if (nResult != KELU_OK) return nResult;

  kelu::BignumPtr x(BN_new());
  nResult = LoadNumber(KELU_HERE, pbyPubKeyX, nPubKeyXSize, x.get(), "BN_new(PubKeyX)",
                       "NULL == pbnPubKeyX", "_SM2_Bytes2BN(PubKeyX)");
  if (nResult != KELU_OK) return nResult;
  kelu::BignumPtr y(BN_new());
  nResult = LoadNumber(KELU_HERE, pbyPubKeyY, nPubKeyYSize, y.get(), "BN_new(PubKeyY)",
                       "NULL == pbnPubKeyY", "_SM2_Bytes2BN(PubKeyY)");
  if (nResult != KELU_OK) return nResult;

  size_t plain_size = static_cast<size_t>(nPlainDataSize);
  std::unique_ptr<unsigned char[]> with04(
      new (std::nothrow) unsigned char[plain_size + kelu::SM2_C1C2C3_OVERHEAD]());
  if (!with04) return NoMemory(KELU_HERE, "!pbyEncryptedDataWith04");
  TraceStepOK(KELU_HERE, "New memory");
  nResult = CheckOne(KELU_HERE, kelu::_SM2_point_is_on_curve(x.get(), y.get(), kSM2Curve),
                     "_SM2_point_is_on_curve");
  if (nResult != KELU_OK) return nResult;
  nResult = CheckOne(KELU_HERE,
                     kelu::_SM2_encrypt(kSM2Curve, pbyPlainData, nPlainDataSize, x.get(), y.get(),
                                        with04.get()),
                     "_SM2_encrypt");
  if (nResult != KELU_OK) return nResult;

  SecretBytes encrypted(plain_size + kRawSM2Overhead);
  if (!encrypted.valid()) return NoMemory(KELU_HERE, "!pbyEncryptedData");
  TraceStepOK(KELU_HERE, "New memory");
  std::memcpy(encrypted.get(), with04.get() + 1, encrypted.size());
  HandOut(&encrypted, encrypted.size(), ppbyEncryptedData, pnEncryptedDataSize);
  return KELU_OK;
}

int SM2_Decrypt(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                const unsigned char *pbyPrivateKey, int nPrivateKeySize,
                unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  // A cipher text shorter than x1, y1 and C3 would size the plaintext negative.
  int nResult = CheckParameter(
      KELU_HERE,
      pbyEncryptedData != nullptr && nEncryptedDataSize >= kRawSM2Overhead &&
          nEncryptedDataSize < INT_MAX,
      "Check Parameters(pbyEncryptedData)",
      "NULL == pbyEncryptedData || nEncryptedDataSize < 96 || INT_MAX == nEncryptedDataSize");
  if (nResult != KELU_OK) return nResult;
  nResult = CheckOutputs(KELU_HERE, ppbyPlainData, pnPlainDataSize,
                         "Check Parameters(ppbyPlainData)",
                           "NULL == ppbyPlainData || NULL == pnPlainDataSize");
  if (nResult != KELU_OK) return nResult;

  size_t cipher_size = static_cast<size_t>(nEncryptedDataSize);
  std::unique_ptr<unsigned char[]> with04(new (std::nothrow) unsigned char[cipher_size + 1]);
  if (!with04) return NoMemory(KELU_HERE, "!pbyEncryptedDataWith04");
  TraceStepOK(KELU_HERE, "New memory");
  with04[0] = 0x04;
  std::memcpy(with04.get() + 1, pbyEncryptedData, cipher_size);

  kelu::SecretBignumPtr d(BN_new());
  nResult = LoadNumber(KELU_HERE, pbyPrivateKey, nPrivateKeySize, d.get(), "BN_new(PrivateKey)",
                       "NULL == pbnPrivateKey", "_SM2_Bytes2BN(PrivateKey)");
  if (nResult != KELU_OK) return nResult;

  SecretBytes plain(cipher_size - kRawSM2Overhead);
  if (!plain.valid()) return NoMemory(KELU_HERE, "!pbyPlainData");
  TraceStepOK(KELU_HERE, "New memory");
  nResult = CheckOne(KELU_HERE,
                     kelu::_SM2_decrypt(kSM2Curve, with04.get(), nEncryptedDataSize + 1, d.get(),
                                        plain.get()),
                     "_SM2_decrypt");
  if (nResult != KELU_OK) return nResult;
  HandOut(&plain, plain.size(), ppbyPlainData, pnPlainDataSize);
  return KELU_OK;
}

// ---- SM4-CBC with padding ---------------------------------------------------------------------

int SM4_Encrypt_CBC(const unsigned char *pbyPlainData, int nPlainDataSize,
                    const unsigned char *pbyIV, int nIVSize, const unsigned char *pbySymKey,
                    int nSymKeySize, unsigned char **ppbyEncryptData, int *pnEncryptDataSize) {
  int nResult = CheckParameter(KELU_HERE, pbyPlainData != nullptr && nPlainDataSize != 0,
                               "Check Parameters(pbyPlainData)",
                               "NULL == pbyPlainData || 0 == nPlainDataSize");
  if (nResult != KELU_OK) return nResult;
  nResult = CheckParameter(KELU_HERE, nPlainDataSize > 0 && nPlainDataSize <= INT_MAX - kBlock,
                           "Check Parameters(nPlainDataSize)",
                           "nPlainDataSize < 0 || nPlainDataSize > INT_MAX - 16");
  if (nResult != KELU_OK) return nResult;
  nResult = CheckCbcKey(__func__, pbyIV, nIVSize, pbySymKey, nSymKeySize);
  if (nResult != KELU_OK) return nResult;
  nResult = CheckOutputs(KELU_HERE, ppbyEncryptData, pnEncryptDataSize,
                         "Check Parameters(ppbyEncryptData)",
                           "NULL == ppbyEncryptData || NULL == pnEncryptDataSize");
  if (nResult != KELU_OK) return nResult;

  SecretBytes encrypted(static_cast<size_t>(nPlainDataSize / kBlock * kBlock + kBlock));
  if (!encrypted.valid()) return NoMemory(KELU_HERE, "!pbyEncryptData");
  TraceStepOK(KELU_HERE, "New memory");
  int size = 0;
  nResult = RunSm4Cbc(__func__, kCbcEncrypt, pbyPlainData, nPlainDataSize, pbyIV, pbySymKey,
                      encrypted.get(), &size);
  if (nResult != KELU_OK) return nResult;
  HandOut(&encrypted, static_cast<size_t>(size), ppbyEncryptData, pnEncryptDataSize);
  return KELU_OK;
}

int SM4_Decrypt_CBC(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                    const unsigned char *pbyIV, int nIVSize, const unsigned char *pbySymKey,
                    int nSymKeySize, unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  int nResult = CheckCbcKey(__func__, pbyIV, nIVSize, pbySymKey, nSymKeySize);
  if (nResult != KELU_OK) return nResult;
  nResult = CheckBytes(
      KELU_HERE, pbyEncryptedData, nEncryptedDataSize, INT_MAX - kBlock,
      "Check Parameters(pbyEncryptedData)",
      "nEncryptedDataSize < 0 || nEncryptedDataSize > INT_MAX - 16 || "
      "(NULL == pbyEncryptedData && 0 != nEncryptedDataSize)");
  if (nResult != KELU_OK) return nResult;
  nResult = CheckOutputs(KELU_HERE, ppbyPlainData, pnPlainDataSize,
                         "Check Parameters(ppbyPlainData)",
                           "NULL == ppbyPlainData || NULL == pnPlainDataSize");
  if (nResult != KELU_OK) return nResult;

  // Decrypted bytes are wiped whenever they are not handed out (a wrong key's output too).
  SecretBytes plain(static_cast<size_t>(nEncryptedDataSize) + kBlock);
  if (!plain.valid()) return NoMemory(KELU_HERE, "!pbyPlainData");
  TraceStepOK(KELU_HERE, "New memory");
  int size = 0;
  nResult = RunSm4Cbc(__func__, kCbcDecrypt, pbyEncryptedData, nEncryptedDataSize, pbyIV,
                      pbySymKey, plain.get(), &size);
  if (nResult != KELU_OK) return nResult;
  HandOut(&plain, static_cast<size_t>(size), ppbyPlainData, pnPlainDataSize);
  return KELU_OK;
}

// ---- Unpadded SM4 -----------------------------------------------------------------------------

int SM4_Init_Key(const unsigned char *pbySymKey, int /*nSymKeySize*/, int nEncrypt,
                 uint32_t **ppRKeyArr) {
  int nResult = CheckParameter(KELU_HERE, pbySymKey != nullptr, "Check Parameters(pbySymKey)",
                               "NULL == pbySymKey");
  if (nResult != KELU_OK) return nResult;
  uint32_t key[4];
  for (int i = 0; i < 4; ++i) key[i] = kelu::LoadBE32(pbySymKey + 4 * i);
  RoundKeysPtr rk(new (std::nothrow) uint32_t[kelu::kSM4Rounds]());
  if (!rk) {
    OPENSSL_cleanse(key, sizeof key);
    return NoMemory(KELU_HERE, "!pRKeyArr");
  }
  TraceStepOK(KELU_HERE, "New memory");
  kelu::_SM4_ExtendKey(key, rk.get());
  OPENSSL_cleanse(key, sizeof key);
  TraceStepOK(KELU_HERE, "_SM4_ExtendKey");
  if (nEncrypt == 0) {
    kelu::_SM4_InvertRoundKey(rk.get());
    TraceStepOK(KELU_HERE, "_SM4_InvertRoundKey");
  }
  if (ppRKeyArr != nullptr) *ppRKeyArr = rk.release();
  return KELU_OK;
}

int SM4_ecb_encrypt(const unsigned char *pbyInput, const uint32_t *pRKeyArr,
                    unsigned char *pbyOutput) {
  if (pbyInput == nullptr || pRKeyArr == nullptr || pbyOutput == nullptr) return 0;
  uint32_t in[4], out[4];
  for (int i = 0; i < 4; ++i) in[i] = kelu::LoadBE32(pbyInput + 4 * i);
  kelu::_SM4_CipherPlaintextTransform(in, pRKeyArr, out);
  for (int i = 0; i < 4; ++i) kelu::StoreBE32(pbyOutput + 4 * i, out[i]);
  OPENSSL_cleanse(in, sizeof in);
  OPENSSL_cleanse(out, sizeof out);
  return 1;
}

int SM4_Encrypt_Nopadding(const unsigned char *pbyPlainData, int nPlainDataSize,
                          const unsigned char *pbyIV, int nIVSize,
                          const unsigned char *pbySymKey, int nSymKeySize,
                          SM4EncrytType nSymType, unsigned char **ppbyEncryptedData,
                          int *pnEncryptedDataSize) {
  return RunNopadding(__func__, kNopaddingEncrypt, pbyPlainData, nPlainDataSize, pbyIV, nIVSize,
                      pbySymKey, nSymKeySize, nSymType, ppbyEncryptedData, pnEncryptedDataSize);
}

int SM4_Decrypt_Nopadding(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                          const unsigned char *pbyIV, int nIVSize,
                          const unsigned char *pbySymKey, int nSymKeySize,
                          SM4EncrytType nSymType, unsigned char **ppbyPlainData,
                          int *pnPlainDataSize) {
  return RunNopadding(__func__, kNopaddingDecrypt, pbyEncryptedData, nEncryptedDataSize, pbyIV,
                      nIVSize, pbySymKey, nSymKeySize, nSymType, ppbyPlainData, pnPlainDataSize);
}

// ---- SM4-CBC keyed by a password --------------------------------------------------------------

int SM4EncryptByPin(const unsigned char *pbyData, int nDataSize, const char *pszPin,
                    unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize) {
  SecretArray<32> k;
  int nResult = DerivePinKey(__func__, pszPin, &k);
  if (nResult != KELU_OK) return nResult;
  return PassOn(KELU_HERE,
                SM4_Encrypt_CBC(pbyData, nDataSize, k.bytes, kBlock, k.bytes + kBlock, kBlock,
                                ppbyEncryptedData, pnEncryptedDataSize),
                "SM4_Encrypt_CBC");
}

int SM4DecryptByPin(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                    const char *pszPin, unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  SecretArray<32> k;
  int nResult = DerivePinKey(__func__, pszPin, &k);
  if (nResult != KELU_OK) return nResult;
  return PassOn(KELU_HERE,
                SM4_Decrypt_CBC(pbyEncryptedData, nEncryptedDataSize, k.bytes, kBlock,
                                k.bytes + kBlock, kBlock, ppbyPlainData, pnPlainDataSize),
                "SM4_Decrypt_CBC");
}

// ---- SM2 with C1C3C2 cipher texts ------------------------------------------------------------

// The mathematics are those of _SM2_encrypt and _SM2_decrypt; only the order of C2 and C3
// differs, so both are reordered around them.
int _SM2_encrypt_v2(int nCurveNID, const unsigned char *pbyPlainData, unsigned int nPlainDataSize,
                    const BIGNUM *pbnPubKeyX, const BIGNUM *pbnPubKeyY,
                    unsigned char *pbyEncryptedData) {
  if (pbyEncryptedData == nullptr || nPlainDataSize == 0 ||
      nPlainDataSize > static_cast<unsigned>(INT_MAX - kelu::SM2_C1C2C3_OVERHEAD))
    return 0;
  int size = static_cast<int>(nPlainDataSize);
  if (kelu::_SM2_encrypt(nCurveNID, pbyPlainData, size, pbnPubKeyX, pbnPubKeyY,
                         pbyEncryptedData) != 1)
    return 0;
  unsigned char *c2 = pbyEncryptedData + 65;
  std::rotate(c2, c2 + nPlainDataSize, c2 + nPlainDataSize + 32);
  return 1;
}

int _SM2_decrypt_v2(int nCurveNID, const unsigned char *pbyEncryptedData,
                    unsigned int nEncryptedDataSize, const BIGNUM *pbnPrivateKey,
                    unsigned char *pbyPlainData) {
  if (pbyEncryptedData == nullptr || pbyPlainData == nullptr ||
      nEncryptedDataSize <= static_cast<unsigned>(kelu::SM2_C1C2C3_OVERHEAD) ||
      nEncryptedDataSize > static_cast<unsigned>(INT_MAX))
    return 0;
  size_t c2_size = nEncryptedDataSize - kelu::SM2_C1C2C3_OVERHEAD;
  std::unique_ptr<unsigned char[]> c1c2c3(new (std::nothrow) unsigned char[nEncryptedDataSize]);
  if (!c1c2c3) return 0;
  std::memcpy(c1c2c3.get(), pbyEncryptedData, 65);
  std::memcpy(c1c2c3.get() + 65, pbyEncryptedData + 97, c2_size);
  std::memcpy(c1c2c3.get() + 65 + c2_size, pbyEncryptedData + 65, 32);
  return kelu::_SM2_decrypt(nCurveNID, c1c2c3.get(), static_cast<int>(nEncryptedDataSize),
                            pbnPrivateKey, pbyPlainData);
}
