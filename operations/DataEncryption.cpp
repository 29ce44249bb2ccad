#include "DataEncryption.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "ASN1EngineEx.h"
#include "ByteOrder.h"
#include "CMSEnvelopeOperations.h"
#include "CertificateFields.h"
#include "CertificateOperations.h"
#include "EnvelopeSteps.h"
#include "KeluErrors.h"
#include "Misc.h"
#include "NationalEvp.h"
#include "NationalObjects.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "RSADataEncryption.h"
#include "SM2.h"
#include "SM4.h"
#include "SMFileCertOperations.h"
#include "SecretBytes.h"
#include "kelu_zlog.h"

using kelu::ops::NamedStep;
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
  result = NamedStep(KELU_SITE(function), SM4_Init_Key(key, kBlock, dir.enc, &rk_raw),
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
  return NamedStep(KELU_HERE,
                SM4_Encrypt_CBC(pbyData, nDataSize, k.bytes, kBlock, k.bytes + kBlock, kBlock,
                                ppbyEncryptedData, pnEncryptedDataSize),
                "SM4_Encrypt_CBC");
}

int SM4DecryptByPin(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                    const char *pszPin, unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  SecretArray<32> k;
  int nResult = DerivePinKey(__func__, pszPin, &k);
  if (nResult != KELU_OK) return nResult;
  return NamedStep(KELU_HERE,
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

// ---- SM2 digital envelopes --------------------------------------------------------------------

namespace {

using BytesPtr = std::unique_ptr<unsigned char[]>;
using kelu::ops::SM2EnvelopeContent;

constexpr char kSMEnvelopedDataOid[] = "1.2.156.10197.6.1.4.2.3";
constexpr char kSM2EncryptionOid[] = "1.2.156.10197.1.301.3";
constexpr char kSMDataOid[] = "1.2.156.10197.6.1.4.2.1";
constexpr char kSM4Oid[] = "1.2.156.10197.1.104";
constexpr int kContentKeySize = 16;

int EncryptCbcContent(const unsigned char *in, int in_size, const unsigned char *iv,
                      const unsigned char *key, unsigned char **out, int *out_size) {
  return SM4_Encrypt_CBC(in, in_size, iv, kBlock, key, kContentKeySize, out, out_size);
}

int DecryptCbcContent(const unsigned char *in, int in_size, const unsigned char *iv,
                      const unsigned char *key, unsigned char **out, int *out_size) {
  return SM4_Decrypt_CBC(in, in_size, iv, kBlock, key, kContentKeySize, out, out_size);
}

const SM2EnvelopeContent kSM4CBCContent = {
    kSM4Oid,
    kBlock,
    EncryptCbcContent,
    "SM4_Encrypt_CBC",
    DecryptCbcContent,
    "SM4_Decrypt_CBC",
    "Check IV and Key size",
    "16 != nContentEncryptionAlgParameter || 16 != nKeyLength",
    nullptr,
    nullptr,
};

// A buffer with its size as the system's routines hand them out.
struct Owned {
  BytesPtr data;
  int size = 0;
};

int CheckEnvelopeOutputs(const TraceSite &site, const void *out, const void *out_size) {
  return CheckParameter(site, out != nullptr && out_size != nullptr, "Check output parameter",
                        "NULL == ppbyOutput || NULL == pnOutputSize");
}

int RefuseKeyEncoding(const TraceSite &site) {
  return CheckParameter(site, false, "Check fSM2EncEncodedType", "true");
}

// The SM2 cipher text of the content key as the envelope stores it.
int EncodeContentKey(const TraceSite &site, Owned *raw, unsigned long type, Owned *stored) {
  if (type == SM2_ENC_ENCODED_C1C2C3) {
    *stored = std::move(*raw);
    return KELU_OK;
  }
  if (type != SM2_ENC_ENCODED_SM2CIPHER) return RefuseKeyEncoding(site);
  unsigned char *der = nullptr;
  const int rc = Encode_SM2Cipher(raw->data.get(), raw->size, &der, &stored->size);
  stored->data.reset(der);
  return NamedStep(site, rc, "Encode_SM2Cipher");
}

// The raw SM2 cipher text of the content key the envelope stores: the stored bytes
// themselves, or those decoded into *decoded.
int DecodeContentKey(const TraceSite &site, const kelu::ops::EnvelopeFields &fields,
                     unsigned long type, Owned *decoded, const unsigned char **raw,
                     int *raw_size) {
  if (type == SM2_ENC_ENCODED_C1C2C3) {
    *raw = fields.encrypted_key;
    *raw_size = fields.encrypted_key_size;
    return KELU_OK;
  }
  if (type != SM2_ENC_ENCODED_SM2CIPHER) return RefuseKeyEncoding(site);
  unsigned char *bytes = nullptr;
  const int rc = Decode_SM2Cipher(fields.encrypted_key, fields.encrypted_key_size, &bytes,
                                  &decoded->size);
  decoded->data.reset(bytes);
  *raw = bytes;
  *raw_size = decoded->size;
  return NamedStep(site, rc, "Decode_SM2Cipher");
}

// What an envelope carries of its recipient and its content key: the recipient certificate's
// identifier, the fresh IV (iv_size bytes) and content key behind it, the stored key.
struct SM2EnvelopeKey {
  Owned key_id;
  SecretBytes iv_and_key;
  Owned encrypted_key;
  const unsigned char *iv() const { return iv_and_key.get(); }
  const unsigned char *key(const SM2EnvelopeContent &content) const {
    return iv_and_key.get() + content.iv_size;
  }
};

// The recipient's key usage, identifier and public key, a fresh IV and content key, and the
// key encrypted to the recipient.
int PrepareSM2EnvelopeKey(const TraceSite &site, const SM2EnvelopeContent &content,
                          const unsigned char *cert, int cert_size, unsigned long type,
                          SM2EnvelopeKey *out) {
  int rc = NamedStep(site,
                  kelu::CheckCertKeyUsage(cert, cert_size, CERT_KEY_USAGE_KEY_ENCIPHERMENT, true),
                  "CheckCertKeyUsage");
  if (rc != KELU_OK) return rc;
  rc = kelu::ops::ReadRecipientKeyID(site, cert, cert_size, &out->key_id.data, &out->key_id.size);
  if (rc != KELU_OK) return rc;
  unsigned char *x = nullptr, *y = nullptr;
  int x_size = 0, y_size = 0;
  rc = kelu::GetPublicKeyXYFromSM2Cert(cert, cert_size, &x, &x_size, &y, &y_size);
  BytesPtr x_owner(x), y_owner(y);
  rc = NamedStep(site, rc, "GetPublicKeyXYFromSM2Cert");
  if (rc != KELU_OK) return rc;

  out->iv_and_key = SecretBytes(static_cast<size_t>(content.iv_size + kContentKeySize));
  if (!out->iv_and_key.valid()) return NoMemory(site, "!pbyIVAndKey");
  rc = CheckLibraryOne(site,
                       RAND_bytes(out->iv_and_key.get(), static_cast<int>(out->iv_and_key.size())),
                       "RAND_bytes");
  if (rc != KELU_OK) return rc;
  Owned raw;
  unsigned char *encrypted = nullptr;
  rc = SM2_Encrypt(out->key(content), kContentKeySize, x, x_size, y, y_size, &encrypted,
                   &raw.size);
  raw.data.reset(encrypted);
  rc = NamedStep(site, rc, "SM2_Encrypt");
  if (rc != KELU_OK) return rc;
  return EncodeContentKey(site, &raw, type, &out->encrypted_key);
}

// Content-encryption parameters: the OCTET STRING of the IV, or NULL without one.
int MakeContentParameters(const TraceSite &site, const SM2EnvelopeContent &content,
                          const SM2EnvelopeKey &key, Owned *parameters) {
  if (content.iv_size == 0) {
    parameters->data.reset(new (std::nothrow) unsigned char[2]{0x05, 0x00});
    if (!parameters->data) return NoMemory(site, "!pbySM4_ECB_AlgParameter");
    TraceStepOK(site, "New memory");
    parameters->size = 2;
    return KELU_OK;
  }
  unsigned char *encoded = nullptr;
  const int rc = ASN1Encode(0x04, key.iv(), content.iv_size, &encoded, &parameters->size);
  parameters->data.reset(encoded);
  return NamedStep(site, rc, "ASN1Encode");
}

// The envelope, or with a null content the header that announces content_size bytes.
int EncodeSM2Envelope(const TraceSite &site, const SM2EnvelopeContent &content,
                      const SM2EnvelopeKey &key, const Owned &parameters,
                      const unsigned char *encrypted, int content_size, Owned *der) {
  unsigned char *envelope = nullptr;
  const int rc = Encode_CMSEnvelope(
      kSMEnvelopedDataOid, key.key_id.data.get(), key.key_id.size, kSM2EncryptionOid,
      key.encrypted_key.data.get(), key.encrypted_key.size, kSMDataOid, content.algorithm_oid,
      parameters.data.get(), parameters.size, encrypted, content_size, &envelope, &der->size);
  der->data.reset(envelope);
  return NamedStep(site, rc, "Encode_CMSEnvelope");
}

// The key pair and the certificate of an opened SM2 key file.
struct SM2KeyFile {
  SM2_KEY_PAIR pair = {};
  Owned cert;
  kelu::SharedX509 x509;
  SM2KeyFile() = default;
  SM2KeyFile(const SM2KeyFile &) = delete;
  SM2KeyFile &operator=(const SM2KeyFile &) = delete;
  ~SM2KeyFile() { CleanupSM2KeyPair(&pair); }
};

const kelu::ops::WholeFileTexts kEnvelopeKeyFile = {"!pszBase64SM2PFX", "ferror(fpSM2PFXFile)",
                                                    false};

// The key file read whole and opened with the password. With every_failure_a_password, a key
// file that does not open is reported as the password's failure, else with the code of
// DecryptSM2PFX.
int OpenSM2KeyFile(const TraceSite &site, FILE *file, const char *password,
                   bool every_failure_a_password, SM2KeyFile *out) {
  BytesPtr der;
  int der_size = 0;
  int rc = ReadSM2PFXFile(site, file, kEnvelopeKeyFile, &der, &der_size);
  if (rc != KELU_OK) return rc;
  unsigned char *cert = nullptr;
  rc = DecryptSM2PFX(der.get(), der_size, password, &out->pair, &cert, &out->cert.size);
  out->cert.data.reset(cert);
  if (rc != KELU_OK && every_failure_a_password) rc = KELU_ERR_KEY_FILE_PASSWORD;
  rc = NamedStep(site, rc, "DecryptSM2PFX");
  if (rc != KELU_OK) return rc;
  rc = kelu::ConvertCertDataToSharedX509(out->cert.data.get(), out->cert.size, &out->x509);
  return NamedStep(site, rc, "ConvertCertDataToX509");
}

// The content key: the stored key decoded and decrypted with the key file's private key.
int RecoverSM2ContentKey(const TraceSite &site, const SM2KeyFile &key_file,
                         const kelu::ops::EnvelopeFields &fields, unsigned long type,
                         SecretBytes *key) {
  Owned decoded;
  const unsigned char *raw = nullptr;
  int raw_size = 0;
  int rc = DecodeContentKey(site, fields, type, &decoded, &raw, &raw_size);
  if (rc != KELU_OK) return rc;
  unsigned char *plain = nullptr;
  int plain_size = 0;
  rc = SM2_Decrypt(raw, raw_size, key_file.pair.pbyPrivateKey,
                   key_file.pair.nPrivateKeySize, &plain, &plain_size);
  if (rc == KELU_OK) *key = SecretBytes(plain, static_cast<size_t>(plain_size));
  return TraceCheck(site, rc == KELU_OK, "SM2_Decrypt", rc, "KELU_OK!= nResult");
}

int CheckContentSizes(const TraceSite &site, const SM2EnvelopeContent &content,
                      const SecretBytes &key, const kelu::ops::EnvelopeFields &fields) {
  return TraceCheck(site,
                    key.size() == kContentKeySize && fields.parameters_size == content.iv_size,
                    content.sizes_step, KELU_ERR_ENVELOPE_FORMAT, content.sizes_reason);
}

constexpr kelu::ops::RecipientRefusal kDataRecipientRefusal = {
    KELU_ERR_DECRYPT, "Check SubjectKeyID",
    "0 != strcmp(pszSubjectKeyID, pszRecipientSubjectKeyID)"};
constexpr kelu::ops::RecipientRefusal kFileRecipientRefusal = {
    KELU_ERR_RECIPIENT_MISMATCH, "Check CMS envelope recipient subject key id", "true"};

int CheckAlgorithm(const TraceSite &site, const char *oid, const char *expected,
                   const char *step) {
  return TraceCheck(site, oid != nullptr && std::strcmp(oid, expected) == 0, step,
                    KELU_ERR_ENVELOPE_FORMAT, "true");
}

int CheckFiles(const TraceSite &site, bool present) {
  return CheckParameter(site, present, "Check parameter(FILE)", "NULL == FILE");
}

}  // namespace

namespace kelu::ops {

int MakeSM2Envelope(const TraceSite &site, const SM2EnvelopeContent &content,
                    const unsigned char *pbyPlainData, int nPlainDataSize,
                    const unsigned char *pbyCert, int nCertSize, unsigned long fSM2EncEncodedType,
                    unsigned char **ppbyDerCMSEnvelope, int *pnDerCMSEnvelopeSize) {
  int rc = CheckEnvelopeOutputs(site, ppbyDerCMSEnvelope, pnDerCMSEnvelopeSize);
  if (rc != KELU_OK) return rc;
  SM2EnvelopeKey key;
  rc = PrepareSM2EnvelopeKey(site, content, pbyCert, nCertSize, fSM2EncEncodedType, &key);
  if (rc != KELU_OK) return rc;
  Owned encrypted;
  unsigned char *out = nullptr;
  rc = content.encrypt(pbyPlainData, nPlainDataSize, key.iv(), key.key(content), &out,
                       &encrypted.size);
  encrypted.data.reset(out);
  rc = NamedStep(site, rc, content.encrypt_step);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "nEncryptedContentSize:[%d]", encrypted.size);
  Owned parameters;
  rc = MakeContentParameters(site, content, key, &parameters);
  if (rc != KELU_OK) return rc;
  Owned der;
  rc = EncodeSM2Envelope(site, content, key, parameters, encrypted.data.get(), encrypted.size,
                         &der);
  if (rc != KELU_OK) return rc;
  *pnDerCMSEnvelopeSize = der.size;
  *ppbyDerCMSEnvelope = der.data.release();
  return KELU_OK;
}

int OpenSM2Envelope(const TraceSite &site, const SM2EnvelopeContent &content,
                    const unsigned char *pbyDerCMSEnvelope, int nDerCMSEnvelopeSize,
                    FILE *fpSM2PFXFile, const char *pszPFXPwd, unsigned long fSM2EncEncodedType,
                    unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  int rc = CheckEnvelopeOutputs(site, ppbyPlainData, pnPlainDataSize);
  if (rc != KELU_OK) return rc;
  EnvelopeFields fields;
  Owned encrypted;
  rc = DecodeEnvelopeData(site, pbyDerCMSEnvelope, nDerCMSEnvelopeSize, &fields, &encrypted.data,
                          &encrypted.size);
  if (rc != KELU_OK) return rc;
  SM2KeyFile key_file;
  rc = OpenSM2KeyFile(site, fpSM2PFXFile, pszPFXPwd, true, &key_file);
  if (rc != KELU_OK) return rc;
  rc = CheckRecipient(site, key_file.x509.get(), fields, kDataRecipientRefusal);
  if (rc != KELU_OK) return rc;
  SecretBytes key;
  rc = RecoverSM2ContentKey(site, key_file, fields, fSM2EncEncodedType, &key);
  if (rc != KELU_OK) return rc;
  rc = CheckContentSizes(site, content, key, fields);
  if (rc != KELU_OK) return rc;
  unsigned char *plain = nullptr;
  int plain_size = 0;
  rc = content.decrypt(encrypted.data.get(), encrypted.size, fields.parameters, key.get(), &plain,
                       &plain_size);
  SecretBytes plaintext(plain, rc == KELU_OK ? static_cast<size_t>(plain_size) : 0);
  rc = TraceCheck(site, rc == KELU_OK, content.decrypt_step, rc, "KELU_OK!=nResult");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "nPlainDataLength:[%d]", plain_size);
  if (content.empty_step != nullptr) {
    rc = TraceCheck(site, plain_size > 0, content.empty_step, KELU_ERR_FAILED,
                    content.empty_reason);
    if (rc != KELU_OK) return rc;
  }
  HandOut(&plaintext, static_cast<size_t>(plain_size), ppbyPlainData, pnPlainDataSize);
  return KELU_OK;
}

int MakeSM2EnvelopeText(const TraceSite &site, SM2EnvelopeMaker make, const char *step,
                        const unsigned char *pbyPlainData, int nPlainDataSize,
                        const unsigned char *pbyCert, int nCertSize,
                        unsigned long fSM2EncEncodedType, char **ppszBase64CMSEnvelope,
                        int *pnBase64CMSEnvelopeSize, unsigned long dwBase64Flags) {
  int rc = CheckParameter(site, ppszBase64CMSEnvelope != nullptr,
                          "Check output parameter(ppszBase64CMSEnvelope)",
                          "NULL == ppszBase64CMSEnvelope");
  if (rc != KELU_OK) return rc;
  unsigned char *der = nullptr;
  int der_size = 0;
  rc = make(pbyPlainData, nPlainDataSize, pbyCert, nCertSize, fSM2EncEncodedType, &der,
            &der_size);
  return HandOutAsText(site, rc, step, der, der_size, dwBase64Flags, ppszBase64CMSEnvelope,
                       pnBase64CMSEnvelopeSize);
}

int OpenSM2EnvelopeText(const TraceSite &site, SM2EnvelopeOpener open, const char *step,
                        const char *pszBase64CMSEnvelope, int nBase64CMSEnvelopeSize,
                        FILE *fpSM2PFXFile, const char *pszPFXPwd,
                        unsigned long fSM2EncEncodedType, unsigned char **ppbyPlainData,
                        int *pnPlainDataSize) {
  BytesPtr der;
  int der_size = 0;
  int rc = DecodeText(site, pszBase64CMSEnvelope, nBase64CMSEnvelopeSize,
                      "Base64DecodeEx(pszBase64CMSEnvelope)", &der, &der_size);
  if (rc != KELU_OK) return rc;
  return NamedStep(site,
                open(der.get(), der_size, fpSM2PFXFile, pszPFXPwd, fSM2EncEncodedType,
                     ppbyPlainData, pnPlainDataSize),
                step);
}

}  // namespace kelu::ops

int EncryptDataToDerCMSEnvelope(const unsigned char *pbyPlainData, int nPlainDataSize,
                                const unsigned char *pbyCert, int nCertSize,
                                unsigned long fSM2EncEncodedType,
                                unsigned char **ppbyDerCMSEnvelope, int *pnDerCMSEnvelopeSize) {
  return kelu::ops::MakeSM2Envelope(KELU_HERE, kSM4CBCContent, pbyPlainData, nPlainDataSize,
                                    pbyCert, nCertSize, fSM2EncEncodedType, ppbyDerCMSEnvelope,
                                    pnDerCMSEnvelopeSize);
}

int EncryptDataToBase64CMSEnvelope(const unsigned char *pbyPlainData, int nPlainDataSize,
                                   const unsigned char *pbyCert, int nCertSize,
                                   unsigned long fSM2EncEncodedType,
                                   char **ppszBase64CMSEnvelope, int *pnBase64CMSEnvelopeSize,
                                   unsigned long dwBase64Flags) {
  return kelu::ops::MakeSM2EnvelopeText(
      KELU_HERE, EncryptDataToDerCMSEnvelope, "EncryptDataToDerCMSEnvelope", pbyPlainData,
      nPlainDataSize, pbyCert, nCertSize, fSM2EncEncodedType, ppszBase64CMSEnvelope,
      pnBase64CMSEnvelopeSize, dwBase64Flags);
}

int DecryptDerCMSEnvelopeData(const unsigned char *pbyDerCMSEnvelope, int nDerCMSEnvelopeSize,
                              FILE *fpSM2PFXFile, const char *pszPFXPwd,
                              unsigned long fSM2EncEncodedType, unsigned char **ppbyPlainData,
                              int *pnPlainDataSize) {
  return kelu::ops::OpenSM2Envelope(KELU_HERE, kSM4CBCContent, pbyDerCMSEnvelope,
                                    nDerCMSEnvelopeSize, fpSM2PFXFile, pszPFXPwd,
                                    fSM2EncEncodedType, ppbyPlainData, pnPlainDataSize);
}

int DecryptBase64CMSEnvelopeData(const char *pszBase64CMSEnvelope, int nBase64CMSEnvelopeSize,
                                 FILE *fpSM2PFXFile, const char *pszPFXPwd,
                                 unsigned long fSM2EncEncodedType, unsigned char **ppbyPlainData,
                                 int *pnPlainDataSize) {
  return kelu::ops::OpenSM2EnvelopeText(
      KELU_HERE, DecryptDerCMSEnvelopeData, "DecryptDerCMSEnvelopeData(pbyPlainData)",
      pszBase64CMSEnvelope, nBase64CMSEnvelopeSize, fpSM2PFXFile, pszPFXPwd, fSM2EncEncodedType,
      ppbyPlainData, pnPlainDataSize);
}

int EncryptFileToDerCMSEnvelope(FILE *fpPlainFile, const unsigned char *pbyCert, int nCertSize,
                                unsigned long fSM2EncEncodedType, FILE *fpCMSEnvelope) {
  int rc = CheckFiles(KELU_HERE, fpPlainFile != nullptr && fpCMSEnvelope != nullptr);
  if (rc != KELU_OK) return rc;
  SM2EnvelopeKey key;
  rc = PrepareSM2EnvelopeKey(KELU_HERE, kSM4CBCContent, pbyCert, nCertSize, fSM2EncEncodedType,
                             &key);
  if (rc != KELU_OK) return rc;
  uint64_t plain_size = 0, content_size = 0;
  rc = MeasureFileEnvelopeContent(KELU_HERE, fpPlainFile, kBlock, &plain_size, &content_size);
  if (rc != KELU_OK) return rc;
  Owned parameters;
  rc = MakeContentParameters(KELU_HERE, kSM4CBCContent, key, &parameters);
  if (rc != KELU_OK) return rc;
  Owned header;
  rc = EncodeSM2Envelope(KELU_HERE, kSM4CBCContent, key, parameters, nullptr,
                         static_cast<int>(content_size), &header);
  if (rc != KELU_OK) return rc;
  return EncryptFileEnvelopeContent(KELU_HERE, kelu::NID_ChinaSM4_CBC, key.key(kSM4CBCContent),
                                    kContentKeySize, key.iv(), kBlock,
                                    {header.data.get(), header.size, content_size}, fpPlainFile,
                                    plain_size, fpCMSEnvelope);
}

int DecryptDerCMSEnvelopeFile(FILE *fpCMSEnvelope, FILE *fpSM2PFXFile, const char *pszPFXPwd,
                              unsigned long fSM2EncEncodedType, FILE *fpPlainFile) {
  int rc = CheckFiles(KELU_HERE, fpCMSEnvelope != nullptr && fpSM2PFXFile != nullptr &&
                                     fpPlainFile != nullptr);
  if (rc != KELU_OK) return rc;
  SM2KeyFile key_file;
  rc = OpenSM2KeyFile(KELU_HERE, fpSM2PFXFile, pszPFXPwd, false, &key_file);
  if (rc != KELU_OK) return rc;
  kelu::ops::EnvelopeFields fields;
  std::unique_ptr<NodeEx> content;
  rc = kelu::ops::DecodeEnvelopeFile(KELU_HERE, fpCMSEnvelope, &fields, &content);
  if (rc != KELU_OK) return rc;
  rc = kelu::ops::CheckRecipient(KELU_HERE, key_file.x509.get(), fields, kFileRecipientRefusal);
  if (rc != KELU_OK) return rc;
  rc = CheckAlgorithm(KELU_HERE, fields.key_algorithm, kSM2EncryptionOid,
                      "Check CMS envelope KeyEncryptionAlgOid");
  if (rc != KELU_OK) return rc;
  rc = CheckAlgorithm(KELU_HERE, fields.content_algorithm, kSM4Oid,
                      "Check CMS envelope ContentEncryptionAlgOid");
  if (rc != KELU_OK) return rc;
  SecretBytes key;
  rc = RecoverSM2ContentKey(KELU_HERE, key_file, fields, fSM2EncEncodedType, &key);
  if (rc != KELU_OK) return rc;
  rc = CheckContentSizes(KELU_HERE, kSM4CBCContent, key, fields);
  if (rc != KELU_OK) return rc;
  rc = DecryptFileEnvelopeContent(kelu::NID_ChinaSM4_CBC, key.get(), kContentKeySize,
                                  fields.parameters, fields.parameters_size, fpCMSEnvelope,
                                  content.get(), fpPlainFile);
  return NamedStep(KELU_HERE, rc, "DecryptFileEnvelopeContent");
}
