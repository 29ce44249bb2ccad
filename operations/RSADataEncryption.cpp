// DES_random_key is deprecated in OpenSSL 3.0 but is its only maker of DES keys with odd
// parity that are not weak.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "RSADataEncryption.h"

#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>

#include "KeluErrors.h"
#include "Misc.h"
#include "NationalEvp.h"
#include "NationalObjects.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "kelu_zlog.h"

namespace {

using BytesPtr = std::unique_ptr<unsigned char[]>;

struct SymCipher {
  int nid;
  const char *getter_name;  // the lookup's step text
  const EVP_CIPHER *(*getter)();
  const char *key_name;     // as in "Check RC4 key length."
  const char *key_length;   // as in "RC4_KEY_LEN != nKeyDataSize"
  int key_size;
  int iv_size;              // 0: the IV is not read
  bool generate, encrypt, file_encrypt, decrypt;
};

const EVP_CIPHER *SystemSm4Cbc() { return kelu::NationalCipher(kelu::NID_ChinaSM4_CBC); }

const SymCipher kSymCiphers[] = {
    {NID_rc4, "EVP_rc4", EVP_rc4, "RC4", "RC4_KEY_LEN", 16, 0, true, true, true, true},
    {NID_des_ede3_ecb, "EVP_des_ede3_ecb", EVP_des_ede3_ecb, "3DES_ECB", "DES3_KEY_LEN", 24, 0,
     false, true, false, true},
    {NID_des_ede3_cbc, "EVP_des_ede3_cbc", EVP_des_ede3_cbc, "3DES", "DES3_KEY_LEN", 24, 8, true,
     true, true, true},
    {NID_aes_256_ecb, "EVP_aes_256_ecb", EVP_aes_256_ecb, "AES", "32", 32, 0, false, false, true,
     true},
    {NID_aes_256_cbc, "EVP_aes_256_cbc", EVP_aes_256_cbc, "AES256", "AES256_KEY_LEN", 32, 16,
     true, true, false, true},
    {kelu::NID_ChinaSM4_CBC, "NID_ChinaSM4_CBC", SystemSm4Cbc, "SM4", "SM4_KEY_LEN", 16, 16,
     false, false, true, true},
};

const SymCipher *FindSymCipher(int nid) {
  for (const SymCipher &row : kSymCiphers)
    if (row.nid == nid) return &row;
  return nullptr;
}

// What differs between the four cipher operations up to the key set-up.
struct SymOperation {
  bool SymCipher::*accepts;
  const char *lookup_step;
  const char *key_size_variable;
  int enc;
  const char *init_step;
  int init_failure;
  const char *update_step;
  const char *final_step;
};

const SymOperation kEncrypt = {&SymCipher::encrypt,   "GetEVPCipherbyNID.", "nKeyDataSize",
                               1,                     "EVP_EncryptInit",    KELU_ERR_ENCRYPT,
                               "EVP_EncryptUpdate",   "EVP_EncryptFinal_ex"};
const SymOperation kDecrypt = {&SymCipher::decrypt, "GetEVPCipherbyNID", "nSymKeySize",
                               0,                   "EVP_DecryptInit",   KELU_ERR_DECRYPT,
                               "EVP_DecryptUpdate", "EVP_DecryptFinal"};
const SymOperation kFileEncrypt = {
    &SymCipher::file_encrypt, "GetEVPCipherbyNID.", "nbySymKeyDataSize",   1, "EVP_EncryptInit",
    KELU_ERR_ENCRYPT,         "EVP_EncryptUpdate",  "EVP_EncryptFinal_ex"};
const SymOperation kFileDecrypt = kDecrypt;

int RefuseAlgorithm(const TraceSite &site) {
  TraceStepFailed(site, "Unsupported Algorithm.", KELU_ERR_INVALID_PARAMETER, "true");
  return KELU_ERR_INVALID_PARAMETER;
}

// Keys and IVs often come from messages made by others: their lengths are checked before the
// library reads the cipher's lengths from them.
int CheckKeyAndIV(const TraceSite &site, const SymCipher &row, const char *key_size_variable,
                  const unsigned char *iv, int iv_size, const unsigned char *key,
                  int key_size) {
  char step[64];
  char reason[64];
  std::snprintf(step, sizeof step, "Check %s key length.", row.key_name);
  std::snprintf(reason, sizeof reason, "%s != %s", row.key_length, key_size_variable);
  int rc = TraceCheck(site, key != nullptr && key_size == row.key_size, step,
                      KELU_ERR_INVALID_PARAMETER, reason);
  if (rc != KELU_OK || row.iv_size == 0) return rc;
  std::snprintf(step, sizeof step, "Check %s IV length.", row.key_name);
  std::snprintf(reason, sizeof reason, "%d != nIVSize", row.iv_size);
  return TraceCheck(site, iv != nullptr && iv_size == row.iv_size, step,
                    KELU_ERR_INVALID_PARAMETER, reason);
}

// The cipher of nid, refused when the operation does not take it or the key or IV does not fit,
// and a context keyed for the operation's direction.
int PrepareCipher(const TraceSite &site, const SymOperation &op, int nid,
                  const unsigned char *iv, int iv_size, const unsigned char *key, int key_size,
                  kelu::EvpCipherCtxPtr *ctx) {
  const EVP_CIPHER *cipher = nullptr;
  int rc = GetEVPCipherbyNID(nid, &cipher);
  rc = TraceCheck(site, rc == KELU_OK, op.lookup_step, rc, "KELU_OK != nResult");
  if (rc != KELU_OK) return rc;
  const SymCipher &row = *FindSymCipher(nid);
  if (!(row.*op.accepts)) return RefuseAlgorithm(site);
  rc = CheckKeyAndIV(site, row, op.key_size_variable, iv, iv_size, key, key_size);
  if (rc != KELU_OK) return rc;
  ctx->reset(EVP_CIPHER_CTX_new());
  rc = CheckLibraryCall(site, *ctx != nullptr, "EVP_CIPHER_CTX_new", op.init_failure,
                        "NULL == pCTX");
  if (rc != KELU_OK) return rc;
  const unsigned char *used_iv = row.iv_size != 0 ? iv : nullptr;
  return CheckLibraryCall(site,
                          EVP_CipherInit_ex(ctx->get(), cipher, nullptr, key, used_iv, op.enc) == 1,
                          op.init_step, op.init_failure, "1 != nResult");
}

// One update over the whole input and the final step behind it; *out_size the sum of both.
int CryptWhole(const TraceSite &site, const SymOperation &op, EVP_CIPHER_CTX *ctx,
               const unsigned char *in, int in_size, unsigned char *out, int *out_size,
               int failure) {
  int updated = 0;
  int rc = CheckLibraryCall(site, EVP_CipherUpdate(ctx, out, &updated, in, in_size) == 1,
                            op.update_step, failure, "1 != nResult");
  if (rc != KELU_OK) return rc;
  int finished = 0;
  rc = CheckLibraryCall(site, EVP_CipherFinal_ex(ctx, out + updated, &finished) == 1,
                        op.final_step, failure, "1 != nResult");
  if (rc == KELU_OK) *out_size = updated + finished;
  return rc;
}

// Room for a whole-buffer result: the input and the block that padding or a held-back block
// may add. 0 when that does not fit an int.
size_t CipherCapacity(int in_size) {
  if (in_size < 0 || in_size > INT_MAX - EVP_MAX_BLOCK_LENGTH - 1) return 0;
  return static_cast<size_t>(in_size) + EVP_MAX_BLOCK_LENGTH + 1;
}

// What differs between the two file operations.
struct FileCipherTexts {
  const char *files_reason;
  const char *size_name;
  const char *empty_step;
  const char *empty_reason;
  const char *read_reason;
  int cipher_failure;  // of the update and final steps
};

// The block loop of the file operations: size bytes from in through the context onto out.
int CryptFile(const TraceSite &site, const SymOperation &op, const FileCipherTexts &texts,
              EVP_CIPHER_CTX *ctx, FILE *in, uint64_t size, FILE *out, uint64_t *written) {
  // One of the two holds plaintext: both are wiped before return.
  struct Blocks {
    unsigned char in[BLOCK_SIZE];
    unsigned char out[BLOCK_SIZE + EVP_MAX_BLOCK_LENGTH];
    ~Blocks() { OPENSSL_cleanse(this, sizeof *this); }
  } blocks;
  *written = 0;
  int rc = KELU_OK;
  for (uint64_t remaining = size; rc == KELU_OK && remaining > 0;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(remaining, BLOCK_SIZE));
    rc = ReadFileBlock(site, in, blocks.in, piece, "fread", texts.read_reason);
    int produced = 0;
    if (rc == KELU_OK) {
      rc = CheckLibraryCall(site,
                            EVP_CipherUpdate(ctx, blocks.out, &produced, blocks.in,
                                             static_cast<int>(piece)) == 1,
                            op.update_step, texts.cipher_failure, "1 != nResult");
    }
    if (rc == KELU_OK) rc = WriteFileBlock(site, out, blocks.out, static_cast<size_t>(produced));
    *written += static_cast<uint64_t>(produced);
    remaining -= piece;
  }
  int produced = 0;
  if (rc == KELU_OK) {
    rc = CheckLibraryCall(site, EVP_CipherFinal_ex(ctx, blocks.out, &produced) == 1,
                          op.final_step, texts.cipher_failure, "1 != nResult");
  }
  if (rc == KELU_OK) rc = WriteFileBlock(site, out, blocks.out, static_cast<size_t>(produced));
  *written += static_cast<uint64_t>(produced);
  if (rc == KELU_OK) rc = FlushFileBlocks(site, out);
  return rc;
}

// The whole input file through the cipher onto the output; an empty input is refused.
int CryptWholeFile(const TraceSite &site, const SymOperation &op, const FileCipherTexts &texts,
                   int nid, const unsigned char *iv, int iv_size, const unsigned char *key,
                   int key_size, FILE *in, FILE *out, uint64_t *written) {
  int rc = TraceCheck(site, in != nullptr && out != nullptr, "Check Parameters(FILE)",
                      KELU_ERR_INVALID_PARAMETER, texts.files_reason);
  if (rc != KELU_OK) return rc;
  kelu::EvpCipherCtxPtr ctx;
  rc = PrepareCipher(site, op, nid, iv, iv_size, key, key_size, &ctx);
  if (rc != KELU_OK) return rc;
  uint64_t size = 0;
  rc = MeasureFile(site, in, "GetFileSize_Ex", &size);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "%s: %" PRIu64, texts.size_name, size);
  rc = TraceCheck(site, size != 0, texts.empty_step, KELU_ERR_READ_FILE, texts.empty_reason);
  if (rc != KELU_OK) return rc;
  return CryptFile(site, op, texts, ctx.get(), in, size, out, written);
}

}  // namespace

int GetEVPCipherbyNID(int nSymAlgNID, const EVP_CIPHER **ppEvpCipher) {
  int rc = TraceCheck(KELU_HERE, ppEvpCipher != nullptr, "Check Parameters(ppEvpCipher)",
                      KELU_ERR_INVALID_PARAMETER, "NULL == ppEvpCipher");
  if (rc != KELU_OK) return rc;
  const SymCipher *row = FindSymCipher(nSymAlgNID);
  if (row == nullptr) return RefuseAlgorithm(KELU_HERE);
  const EVP_CIPHER *pEvpCipher = row->getter();
  rc = TraceCheck(KELU_HERE, pEvpCipher != nullptr, row->getter_name, KELU_ERR_FAILED,
                  "NULL == pEvpCipher");
  if (rc == KELU_OK) *ppEvpCipher = pEvpCipher;
  return rc;
}

int GenerateSymKey(int nSymAlgNID, unsigned char **ppbySymKey, int *pnSymKeySize) {
  int rc = TraceCheck(KELU_HERE, ppbySymKey != nullptr && pnSymKeySize != nullptr,
                      "Check Parameters(ppbySymKey)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == ppbySymKey || NULL == pnSymKeySize");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "nSymAlgNID: %d", nSymAlgNID);
  const SymCipher *row = FindSymCipher(nSymAlgNID);
  if (row == nullptr || !row->generate) return RefuseAlgorithm(KELU_HERE);
  const size_t size = static_cast<size_t>(row->key_size);
  BytesPtr pbySymKey(new (std::nothrow) unsigned char[size]());
  rc = TraceCheck(KELU_HERE, pbySymKey != nullptr, "New memory", KELU_ERR_FAILED, "!pbySymKey");
  if (rc != KELU_OK) return rc;
  if (nSymAlgNID == NID_des_ede3_cbc) {
    for (size_t at = 0; rc == KELU_OK && at < size; at += sizeof(DES_cblock)) {
      auto *block = reinterpret_cast<DES_cblock *>(pbySymKey.get() + at);
      rc = TraceCheck(KELU_HERE, DES_random_key(block) != 0, "DES_random_key", KELU_ERR_FAILED,
                      "0 == nResult");
    }
  } else {
    rc = TraceCheck(KELU_HERE, RAND_bytes(pbySymKey.get(), row->key_size) == 1, "RAND_bytes",
                    KELU_ERR_FAILED, "1 != nResult");
  }
  if (rc != KELU_OK) {
    OPENSSL_cleanse(pbySymKey.get(), size);
    return rc;
  }
  *ppbySymKey = pbySymKey.release();
  *pnSymKeySize = row->key_size;
  return KELU_OK;
}

int SymEncrypt(int nSymAlgNID, const unsigned char *pbyIV, int nIVSize,
               const unsigned char *pbySymKey, int nSymKeySize,
               const unsigned char *pbyPlainData, int nPlainDataSize,
               unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize) {
  int rc = TraceCheck(KELU_HERE, pbyPlainData != nullptr && nPlainDataSize > 0,
                      "Check Parameters(pbyPlainData)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pbyPlainData || 0 == nPlainDataSize");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, ppbyEncryptedData != nullptr && pnEncryptedDataSize != nullptr,
                  "Check Parameters(ppbyEncryptedData)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == ppbyEncryptedData || NULL == pnEncryptedDataSize");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "nSymAlgNID: %d", nSymAlgNID);
  kelu::EvpCipherCtxPtr pCTX;
  rc = PrepareCipher(KELU_HERE, kEncrypt, nSymAlgNID, pbyIV, nIVSize, pbySymKey, nSymKeySize,
                     &pCTX);
  if (rc != KELU_OK) return rc;
  const size_t capacity = CipherCapacity(nPlainDataSize);
  rc = TraceCheck(KELU_HERE, capacity != 0, "Check Parameters(nPlainDataSize)",
                  KELU_ERR_INVALID_PARAMETER, "nPlainDataSize > INT_MAX - EVP_MAX_BLOCK_LENGTH");
  if (rc != KELU_OK) return rc;
  BytesPtr pbyEncryptedData(new (std::nothrow) unsigned char[capacity]());
  rc = TraceCheck(KELU_HERE, pbyEncryptedData != nullptr, "New memory", KELU_ERR_FAILED,
                  "!pbyEncryptedData");
  if (rc != KELU_OK) return rc;
  int nEncryptedDataSize = 0;
  rc = CryptWhole(KELU_HERE, kEncrypt, pCTX.get(), pbyPlainData, nPlainDataSize,
                  pbyEncryptedData.get(), &nEncryptedDataSize, KELU_ERR_ENCRYPT);
  if (rc != KELU_OK) return rc;
  *ppbyEncryptedData = pbyEncryptedData.release();
  *pnEncryptedDataSize = nEncryptedDataSize;
  return KELU_OK;
}

int SymDecrypt(int nSymAlgNID, const unsigned char *pbyIV, int nIVSize,
               const unsigned char *pbySymKey, int nSymKeySize,
               const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
               unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  int rc = TraceCheck(KELU_HERE,
                      nEncryptedDataSize >= 0 &&
                          (pbyEncryptedData != nullptr || nEncryptedDataSize == 0),
                      "Check Parameters(pbyEncryptedData)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pbyEncryptedData || 0 > nEncryptedDataSize");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, ppbyPlainData != nullptr && pnPlainDataSize != nullptr,
                  "Check Parameters(ppbyPlainData)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == ppbyPlainData || NULL == pnPlainDataSize");
  if (rc != KELU_OK) return rc;
  kelu::EvpCipherCtxPtr pCTX;
  rc = PrepareCipher(KELU_HERE, kDecrypt, nSymAlgNID, pbyIV, nIVSize, pbySymKey, nSymKeySize,
                     &pCTX);
  if (rc != KELU_OK) return rc;
  const size_t capacity = CipherCapacity(nEncryptedDataSize);
  rc = TraceCheck(KELU_HERE, capacity != 0, "Check Parameters(nEncryptedDataSize)",
                  KELU_ERR_INVALID_PARAMETER,
                  "nEncryptedDataSize > INT_MAX - EVP_MAX_BLOCK_LENGTH");
  if (rc != KELU_OK) return rc;
  BytesPtr pbyPlainData(new (std::nothrow) unsigned char[capacity]());
  rc = TraceCheck(KELU_HERE, pbyPlainData != nullptr, "New memory", KELU_ERR_FAILED,
                  "!pbyPlainData");
  if (rc != KELU_OK) return rc;
  static const unsigned char kNoBytes[1] = {0};
  int nPlainDataSize = 0;
  rc = CryptWhole(KELU_HERE, kDecrypt, pCTX.get(),
                  pbyEncryptedData != nullptr ? pbyEncryptedData : kNoBytes, nEncryptedDataSize,
                  pbyPlainData.get(), &nPlainDataSize, KELU_ERR_DECRYPT);
  if (rc != KELU_OK) {
    OPENSSL_cleanse(pbyPlainData.get(), capacity);
    return rc;
  }
  pbyPlainData[nPlainDataSize] = 0;
  *ppbyPlainData = pbyPlainData.release();
  *pnPlainDataSize = nPlainDataSize;
  return KELU_OK;
}

int SymFileEncrypt(int nSymAlgNID, const unsigned char *pbyIV, int nIVSize,
                   const unsigned char *pbySymKey, int nSymKeySize, FILE *fpPlainFile,
                   FILE *fpEncryptedFile) {
  TRACE(KELU_TRACE_INFO, "nSymAlgNID: %d", nSymAlgNID);
  const FileCipherTexts texts = {"NULL == fpPlainFile || NULL == fpEncryptedFile",
                                 "nPlainFileSize",
                                 "Check plaint file size",
                                 "0 == nPlainFileSize",
                                 "nPlainDataBufferSize != nBytesOfRead || ferror(fpPlainFile)",
                                 KELU_ERR_FAILED};
  uint64_t written = 0;
  return CryptWholeFile(KELU_HERE, kFileEncrypt, texts, nSymAlgNID, pbyIV, nIVSize, pbySymKey,
                        nSymKeySize, fpPlainFile, fpEncryptedFile, &written);
}

int SymFileDecrypt(int nSymAlgNID, const unsigned char *pbyIV, int nIVSize,
                   const unsigned char *pbySymKey, int nSymKeySize, FILE *fpEncryptedFile,
                   FILE *fpPlainFile) {
  const FileCipherTexts texts = {"NULL == fpEncryptedFile || NULL == fpPlainFile",
                                 "nEncryptedFileSize",
                                 "Check encrypted file size",
                                 "0 == nEncryptedFileSize",
                                 "nEncryptedDataSize != nBytesOfRead || ferror(fpEncryptedFile)",
                                 KELU_ERR_DECRYPT};
  uint64_t nTotalPlainDataSize = 0;
  const int rc = CryptWholeFile(KELU_HERE, kFileDecrypt, texts, nSymAlgNID, pbyIV, nIVSize,
                                pbySymKey, nSymKeySize, fpEncryptedFile, fpPlainFile,
                                &nTotalPlainDataSize);
  if (rc == KELU_OK) TRACE(KELU_TRACE_INFO, "nTotalPlainDataSize: %" PRIu64, nTotalPlainDataSize);
  return rc;
}
