// DES_random_key is deprecated in OpenSSL 3.0 but is its only maker of DES keys with odd
// parity that are not weak.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "RSADataEncryption.h"

#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "Base64Utility.h"
#include "CMSEnvelopeOperations.h"
#include "CertificateFields.h"
#include "CertificateOperations.h"
#include "EnvelopeSteps.h"
#include "KeluErrors.h"
#include "KeluLimits.h"
#include "Misc.h"
#include "NationalEvp.h"
#include "NationalObjects.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "SecretBytes.h"
#include "SharedCertificates.h"
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

// The block loop of the file operations: size bytes from in through the context onto out,
// without the final step. *written grows by the bytes produced.
int CryptBlocks(const TraceSite &site, const SymOperation &op, const FileCipherTexts &texts,
                EVP_CIPHER_CTX *ctx, FILE *in, uint64_t size, FILE *out, uint64_t *written) {
  // One of the two holds plaintext: both are wiped before return.
  struct Blocks {
    unsigned char in[BLOCK_SIZE];
    unsigned char out[BLOCK_SIZE + EVP_MAX_BLOCK_LENGTH];
    ~Blocks() { OPENSSL_cleanse(this, sizeof *this); }
  } blocks;
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
  return rc;
}

// The final step (padding added or checked and removed) onto out, then everything flushed.
int FinishCipherFile(const TraceSite &site, const SymOperation &op, const FileCipherTexts &texts,
                     EVP_CIPHER_CTX *ctx, FILE *out, uint64_t *written) {
  struct Block {
    unsigned char bytes[EVP_MAX_BLOCK_LENGTH];
    ~Block() { OPENSSL_cleanse(bytes, sizeof bytes); }
  } last;
  int produced = 0;
  int rc = CheckLibraryCall(site, EVP_CipherFinal_ex(ctx, last.bytes, &produced) == 1,
                            op.final_step, texts.cipher_failure, "1 != nResult");
  if (rc == KELU_OK) rc = WriteFileBlock(site, out, last.bytes, static_cast<size_t>(produced));
  if (rc == KELU_OK) *written += static_cast<uint64_t>(produced);
  if (rc == KELU_OK) rc = FlushFileBlocks(site, out);
  return rc;
}

int CryptFile(const TraceSite &site, const SymOperation &op, const FileCipherTexts &texts,
              EVP_CIPHER_CTX *ctx, FILE *in, uint64_t size, FILE *out, uint64_t *written) {
  *written = 0;
  int rc = CryptBlocks(site, op, texts, ctx, in, size, out, written);
  if (rc == KELU_OK) rc = FinishCipherFile(site, op, texts, ctx, out, written);
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

// ---------------------------------------------------------------------------------------------
// RSA key transport and envelopes

namespace {

constexpr int kMinRsaKeyBytes = 128;  // a 1024-bit modulus
constexpr char kEnvelopedDataOid[] = "1.2.840.113549.1.7.3";
constexpr char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";
constexpr char kDataOid[] = "1.2.840.113549.1.7.1";

using RsaPtr = std::unique_ptr<RSA, kelu::Deleter<RSA_free>>;
using TextPtr = std::unique_ptr<char[]>;
using NodeHolder = std::unique_ptr<NodeEx>;
using kelu::ops::EnvelopeFields;
using kelu::ops::NamedStep;
using kelu::ops::SecretBytes;

// An envelope for another holder of a PKCS#12 file.
const kelu::ops::RecipientRefusal kOtherRecipient = {
    KELU_ERR_DECRYPT, "Check SubjectKeyID",
    "0 != strcmp(pszSubjectKeyID, pszRecipientSubjectKeyID)"};

// The envelope's content is read from the envelope file; its decryption is the one of the
// file ciphers, with the step texts of the envelope.
const SymOperation kEnvelopeDecrypt = {&SymCipher::decrypt, "GetEVPCipherbyNID", "nSymKeySize",
                                       0,                   "EVP_DecryptInit_ex", KELU_ERR_FAILED,
                                       "EVP_DecryptUpdate", "EVP_DecryptFinal_ex"};
const FileCipherTexts kEnvelopeContentTexts = {
    "", "", "", "", "ferror(fpCMSEnvelope)",
    // The same code as a failed key decryption: the padding check must not tell them apart.
    KELU_ERR_DECRYPT};


// Output that a file form writes from the file's current position. Unless kept, a regular file
// is cut back to that position, so that a failed decryption leaves no partial or
// unauthenticated plaintext behind and a failed encryption no envelope that does not decode.
class OutputFileGuard {
 public:
  explicit OutputFileGuard(FILE *file) : file_(file) {
    // What the caller wrote before stays: it reaches the file before the position is taken.
    if (file_ != nullptr && std::fflush(file_) == 0) start_ = ftello(file_);
  }
  ~OutputFileGuard() {
    if (!kept_) Discard();
  }
  OutputFileGuard(const OutputFileGuard &) = delete;
  OutputFileGuard &operator=(const OutputFileGuard &) = delete;
  void Keep() { kept_ = true; }

 private:
  void Discard() {
    if (file_ == nullptr || start_ < 0) return;
    __fpurge(file_);  // bytes still in the stream's buffer never reach the file
    struct stat st;
    const int fd = fileno(file_);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (ftruncate(fd, start_) == 0) fseeko(file_, start_, SEEK_SET);
  }

  FILE *file_;
  off_t start_ = -1;
  bool kept_ = false;
};

// The RSA key of a key object, refused below 1024 bits.
int TakeRsaKey(const TraceSite &site, EVP_PKEY *pkey, int failure, const char *reason,
               RsaPtr *rsa, int *key_bytes) {
  rsa->reset(pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr);
  int rc = CheckLibraryCall(site, *rsa != nullptr, "EVP_PKEY_get1_RSA", failure, reason);
  if (rc != KELU_OK) return rc;
  *key_bytes = RSA_size(rsa->get());
  rc = TraceCheck(site, *key_bytes >= kMinRsaKeyBytes, "RSA_size", failure, "nKeyBytes < 128");
  if (rc == KELU_OK) TRACE(KELU_TRACE_INFO, "RSA Key Bytes: %d", *key_bytes);
  return rc;
}

// RSAES-PKCS1-v1_5 decryption into a zeroed buffer of the modulus length; *result is the
// library's (0 or less on failure), reported by the caller.
int PrivateDecrypt(const TraceSite &site, EVP_PKEY *pkey, const unsigned char *in, int in_size,
                   SecretBytes *plain, int *result) {
  RsaPtr rsa;
  int key_bytes = 0;
  int rc = TakeRsaKey(site, pkey, KELU_ERR_DECRYPT, "NULL == pRSAKey", &rsa, &key_bytes);
  if (rc != KELU_OK) return rc;
  *plain = SecretBytes(static_cast<size_t>(key_bytes));
  rc = TraceCheck(site, plain->get() != nullptr, "New memory", KELU_ERR_FAILED, "!pbyPlainData");
  if (rc != KELU_OK) return rc;
  static const unsigned char kNoBytes[1] = {0};
  *result = in_size < 0 ? -1
                        : RSA_private_decrypt(in_size, in != nullptr ? in : kNoBytes, plain->get(),
                                              rsa.get(), RSA_PKCS1_PADDING);
  return KELU_OK;
}

// All ones when a equals b, else 0, without a branch on either.
unsigned char EqualMask(int a, int b) {
  const uint32_t d = static_cast<uint32_t>(a) ^ static_cast<uint32_t>(b);
  return static_cast<unsigned char>(0u - ((~d & (d - 1)) >> 31));
}

// The content key of an envelope. A wrong RSA padding or a key of another length than the
// content cipher's must look like a wrong key to whoever sent the envelope: a random key of
// the right length takes its place, the content is decrypted all the same, and *genuine tells
// the caller to fail at the end with the code of a failed content decryption.
int RecoverContentKey(const TraceSite &site, EVP_PKEY *pkey, const unsigned char *encrypted_key,
                      int encrypted_key_size, int key_size, SecretBytes *key, bool *genuine) {
  SecretBytes chosen(static_cast<size_t>(key_size));
  int rc = TraceCheck(site, chosen.get() != nullptr, "New memory", KELU_ERR_FAILED, "!pbySymKey");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(site, RAND_bytes(chosen.get(), key_size) == 1, "RAND_bytes", KELU_ERR_FAILED,
                  "1 != nResult");
  if (rc != KELU_OK) return rc;
  SecretBytes plain;
  int plain_size = 0;
  rc = PrivateDecrypt(site, pkey, encrypted_key, encrypted_key_size, &plain, &plain_size);
  if (rc != KELU_OK) return rc;
  // plain holds at least 128 bytes, so key_size of them can be read whatever the result.
  const unsigned char take = EqualMask(plain_size, key_size);
  for (int i = 0; i < key_size; ++i) {
    chosen.get()[i] = static_cast<unsigned char>((plain.get()[i] & take) |
                                                 (chosen.get()[i] & ~take));
  }
  *genuine = take != 0;
  *key = std::move(chosen);
  if (plain_size <= 0) {
    TraceStepFailedOpenssl(site, "RSA_private_decrypt", KELU_ERR_DECRYPT, "nPlainDataSize <= 0");
  } else if (!*genuine) {
    TraceStepFailed(site, "Check content key length", KELU_ERR_DECRYPT,
                    "nSymKeySize != nPlainDataSize");
  } else {
    TraceStepOK(site, "RSA_private_decrypt");
  }
  return KELU_OK;
}

// Content-encryption parameters: an OCTET STRING of a fresh IV for the CBC ciphers, NULL for
// RC4.
struct ContentParameters {
  BytesPtr iv;
  int iv_size = 0;
  BytesPtr encoded;
  int encoded_size = 0;
};

int MakeContentParameters(const TraceSite &site, int nid, bool aes, ContentParameters *out) {
  if (nid == NID_rc4) {
    out->encoded.reset(new (std::nothrow) unsigned char[2]{0x05, 0x00});
    out->encoded_size = 2;
    return TraceCheck(site, out->encoded != nullptr, "New memory", KELU_ERR_FAILED,
                      "!pbySymAlgParameter");
  }
  if (nid != NID_des_ede3_cbc && !(aes && nid == NID_aes_256_cbc)) return RefuseAlgorithm(site);
  const int iv_size = FindSymCipher(nid)->iv_size;
  out->iv.reset(new (std::nothrow) unsigned char[static_cast<size_t>(iv_size)]());
  int rc = TraceCheck(site, out->iv != nullptr, "New memory", KELU_ERR_FAILED, "!pbyIV");
  if (rc != KELU_OK) return rc;
  out->iv_size = iv_size;
  rc = TraceCheck(site, RAND_bytes(out->iv.get(), iv_size) == 1, "RAND_bytes", KELU_ERR_FAILED,
                  "1 != nResult");
  if (rc != KELU_OK) return rc;
  unsigned char *encoded = nullptr;
  rc = NamedStep(site, ASN1Encode(0x04, out->iv.get(), iv_size, &encoded, &out->encoded_size),
                 "ASN1Encode");
  out->encoded.reset(encoded);
  return rc;
}

int NewContentKey(const TraceSite &site, int nid, SecretBytes *key) {
  unsigned char *bytes = nullptr;
  int size = 0;
  const int rc = NamedStep(site, GenerateSymKey(nid, &bytes, &size), "GenerateSymKey");
  *key = SecretBytes(bytes, static_cast<size_t>(size));
  return rc;
}

// What the envelope says of its recipient: the content key encrypted to the certificate's key
// and the certificate's subject key identifier.
struct RecipientParts {
  BytesPtr encrypted_key;
  int encrypted_key_size = 0;
  BytesPtr key_id;
  int key_id_size = 0;
};

// The recipient certificate of DER bytes; decoded (the step "d2i_X509") unless the same bytes
// were read before.
int ReadRecipientCert(const TraceSite &site, const unsigned char *cert, int cert_size,
                      kelu::SharedX509 *x509) {
  return kelu::ReadSharedDerX509(site, cert, cert_size, "NULL == pX509Cert", x509);
}

int EncryptKeyToRecipient(const TraceSite &site, const unsigned char *cert, int cert_size,
                          const SecretBytes &key, RecipientParts *out) {
  kelu::SharedX509 x509;
  int rc = ReadRecipientCert(site, cert, cert_size, &x509);
  if (rc != KELU_OK) return rc;
  unsigned char *encrypted = nullptr;
  rc = NamedStep(site,
                 RSAEncryptByX509(kelu::ForReading(x509), key.get(), key.size(), &encrypted,
                                  &out->encrypted_key_size),
                 "RSAEncryptByX509");
  out->encrypted_key.reset(encrypted);
  if (rc != KELU_OK) return rc;
  return kelu::ops::ReadRecipientKeyID(site, cert, cert_size, &out->key_id, &out->key_id_size);
}

// The envelope, or with a null content its header announcing content_size bytes.
int EncodeEnvelope(const TraceSite &site, int nid, const RecipientParts &recipient,
                   const ContentParameters &parameters, const unsigned char *content,
                   int content_size, unsigned char **envelope, int *envelope_size) {
  char *oid = nullptr;
  int oid_length = 0;
  int rc = NamedStep(site, GetOIDFromNID(nid, &oid, &oid_length), "GetOIDFromNID");
  TextPtr content_oid(oid);
  if (rc != KELU_OK) return rc;
  return NamedStep(site,
                   Encode_CMSEnvelope(kEnvelopedDataOid, recipient.key_id.get(),
                                      recipient.key_id_size, kRsaEncryptionOid,
                                      recipient.encrypted_key.get(), recipient.encrypted_key_size,
                                      kDataOid, content_oid.get(), parameters.encoded.get(),
                                      parameters.encoded_size, content, content_size, envelope,
                                      envelope_size),
                   "Encode_CMSEnvelope");
}

int OpenPfx(const TraceSite &site, FILE *pfx, const char *password, kelu::EvpPkeyPtr *key,
            kelu::X509Ptr *cert) {
  EVP_PKEY *raw_key = nullptr;
  X509 *raw_cert = nullptr;
  const int rc = kelu::ParsePFXFile(pfx, password, &raw_key, &raw_cert, nullptr);
  key->reset(raw_key);
  cert->reset(raw_cert);
  return NamedStep(site, rc, "ParsePFXFile");
}

// The content cipher the envelope names: RC4 and DES-EDE3 only, and for CBC parameters of
// exactly the cipher's IV length, checked before anything reads them.
int ChooseContentCipher(const TraceSite &site, const EnvelopeFields &fields,
                        const SymCipher **cipher) {
  const int nid = fields.content_algorithm != nullptr ? OBJ_txt2nid(fields.content_algorithm)
                                                      : NID_undef;
  TRACE(KELU_TRACE_INFO, "nContentEncryptionAlgNID: %d", nid);
  int rc = TraceCheck(site, nid == NID_rc4 || nid == NID_des_ede3_cbc || nid == NID_des_ede3_ecb,
                      "nContentEncryptionAlgNID", KELU_ERR_DECRYPT,
                      "(nContentEncryptionAlgNID != NID_rc4 && nContentEncryptionAlgNID != "
                      "NID_des_ede3_cbc && nContentEncryptionAlgNID != NID_des_ede3_ecb)");
  if (rc != KELU_OK) return rc;
  *cipher = FindSymCipher(nid);
  if ((*cipher)->iv_size == 0) return KELU_OK;
  return TraceCheck(site, fields.parameters_size == (*cipher)->iv_size, "Check IV length",
                    KELU_ERR_DECRYPT, "nIVSize != EVP_CIPHER_iv_length(pEvpCipher)");
}

// Recipient, content cipher and content key, in this order. The content cipher is chosen
// before the key is decrypted: the key's length is checked against it without a branch.
int OpenContentKey(const TraceSite &site, EVP_PKEY *key, X509 *cert,
                   const EnvelopeFields &fields, const SymCipher **cipher, SecretBytes *content_key,
                   bool *genuine) {
  int rc = kelu::ops::CheckRecipient(site, cert, fields, kOtherRecipient);
  if (rc != KELU_OK) return rc;
  rc = ChooseContentCipher(site, fields, cipher);
  if (rc != KELU_OK) return rc;
  return RecoverContentKey(site, key, fields.encrypted_key, fields.encrypted_key_size,
                           (*cipher)->key_size, content_key, genuine);
}

// The end of an opening whose content key was not genuine: whatever the content decryption
// gave is dropped and the code is the one of a failed content decryption.
int RefuseContentKey(const TraceSite &site) {
  TraceStepFailed(site, "RSADecrypt", KELU_ERR_DECRYPT, "KELU_OK != nResult");
  return KELU_ERR_DECRYPT;
}

}  // namespace

int MeasureFileEnvelopeContent(const TraceSite &site, FILE *fpPlainFile, int nBlockSize,
                               uint64_t *pnPlainFileSize, uint64_t *pnContentSize) {
  int rc = MeasureFile(site, fpPlainFile, "GetFileSize_Ex", pnPlainFileSize);
  if (rc != KELU_OK) return rc;
  const uint64_t size = *pnPlainFileSize;
  TRACE(KELU_TRACE_INFO, "Source plain file size:[%" PRIu64 "]", size);
  rc = TraceCheck(site, size > 0, "Check file size", KELU_ERR_INVALID_PARAMETER,
                  "nPlainFileSize <= 0");
  if (rc != KELU_OK) return rc;
  const uint64_t block = static_cast<uint64_t>(nBlockSize);
  *pnContentSize = block <= 1 ? size : size / block * block + block;
  rc = TraceCheck(site, *pnContentSize <= static_cast<uint64_t>(INT_MAX), "Check file size",
                  KELU_ERR_FILE_TOO_LARGE, "nEncryptedContentSize > INT_MAX");
  if (rc == KELU_OK) {
    TRACE(KELU_TRACE_INFO, "Symmetric encrypted file size:[%" PRIu64 "]", *pnContentSize);
  }
  return rc;
}

int EncryptFileEnvelopeContent(const TraceSite &site, int nSymAlgNID,
                               const unsigned char *pbySymKey, int nSymKeySize,
                               const unsigned char *pbyIV, int nIVSize,
                               const FileEnvelopeHeader &header, FILE *fpPlainFile,
                               uint64_t nPlainFileSize, FILE *fpCMSEnvelope) {
  TRACE(KELU_TRACE_INFO, "CMS envelope(without EncryptedContent node) data size:[%d]",
        header.size);
  OutputFileGuard output(fpCMSEnvelope);
  const size_t sizeWrite =
      std::fwrite(header.der, 1, static_cast<size_t>(header.size), fpCMSEnvelope);
  int rc = TraceCheck(site, sizeWrite == static_cast<size_t>(header.size), "fwrite",
                      KELU_ERR_WRITE_FILE, "sizeWrite != (size_t)nDERCMSEnvelopeSize");
  if (rc != KELU_OK) return rc;
  rc = CheckLibraryCall(site, fseeko(fpPlainFile, 0, SEEK_SET) == 0, "fseek", KELU_ERR_FAILED,
                        "0 != nResult");
  if (rc != KELU_OK) return rc;
  // The content is encrypted from the size measured before, which the header announces: a
  // file that shrinks meanwhile fails at its short read, bytes appended meanwhile are not read.
  kelu::EvpCipherCtxPtr pCTX;
  rc = PrepareCipher(site, kFileEncrypt, nSymAlgNID, pbyIV, nIVSize, pbySymKey, nSymKeySize,
                     &pCTX);
  uint64_t written = 0;
  if (rc == KELU_OK) {
    const FileCipherTexts texts = {"", "", "", "",
                                   "nPlainDataBufferSize != nBytesOfRead || ferror(fpPlainFile)",
                                   KELU_ERR_FAILED};
    rc = CryptFile(site, kFileEncrypt, texts, pCTX.get(), fpPlainFile, nPlainFileSize,
                   fpCMSEnvelope, &written);
  }
  rc = TraceCheck(site, rc == KELU_OK, "SymFileEncrypt", rc, "KELU_OK != nResult");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(site, written == header.content_size, "Check encrypted content size",
                  KELU_ERR_FAILED, "nWrittenSize != nEncryptedContentSize");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "CMS envelope file size:[%" PRIu64 "]",
        static_cast<uint64_t>(header.size) + written);
  output.Keep();
  return KELU_OK;
}


int RSAEncrypt(EVP_PKEY *pEvpPubKey, const unsigned char *pbyPlainData, int nPlainDataSize,
               unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize) {
  int rc = TraceCheck(KELU_HERE, pEvpPubKey != nullptr, "Check parameter(EvpPubKey)",
                      KELU_ERR_INVALID_PARAMETER, "NULL == pEvpPubKey");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, pbyPlainData != nullptr && nPlainDataSize >= 0,
                  "Check parameter(pbyPlainData)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == pbyPlainData");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, ppbyEncryptedData != nullptr && pnEncryptedDataSize != nullptr,
                  "Check parameter(ppbyEncryptedData)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == ppbyEncryptedData || NULL == pnEncryptedDataSize");
  if (rc != KELU_OK) return rc;
  RsaPtr pRsaPubKey;
  int nKeyBytes = 0;
  rc = TakeRsaKey(KELU_HERE, pEvpPubKey, KELU_ERR_ENCRYPT, "NULL == pRsaPubKey", &pRsaPubKey,
                  &nKeyBytes);
  if (rc != KELU_OK) return rc;
  BytesPtr pbyEncryptedData(new (std::nothrow) unsigned char[static_cast<size_t>(nKeyBytes)]());
  rc = TraceCheck(KELU_HERE, pbyEncryptedData != nullptr, "New memory", KELU_ERR_FAILED,
                  "!pbyEncryptedData");
  if (rc != KELU_OK) return rc;
  const int nEncryptedDataSize =
      RSA_public_encrypt(nPlainDataSize, pbyPlainData, pbyEncryptedData.get(), pRsaPubKey.get(),
                         RSA_PKCS1_PADDING);
  rc = CheckLibraryCall(KELU_HERE, nEncryptedDataSize == nKeyBytes, "RSA_public_encrypt",
                        KELU_ERR_ENCRYPT, "nEncryptedDataSize != nKeyBytes");
  if (rc != KELU_OK) return rc;
  *ppbyEncryptedData = pbyEncryptedData.release();
  *pnEncryptedDataSize = nKeyBytes;
  return KELU_OK;
}

int RSADecrypt(EVP_PKEY *pEvpPrivKey, const unsigned char *pbyEncryptedData,
               int nEncryptedDataSize, unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  int rc = TraceCheck(KELU_HERE, ppbyPlainData != nullptr && pnPlainDataSize != nullptr,
                      "Check parameter(ppbyPlainData)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == ppbyPlainData || NULL == pnPlainDataSize");
  if (rc != KELU_OK) return rc;
  SecretBytes pbyPlainData;
  int nPlainDataSize = 0;
  rc = PrivateDecrypt(KELU_HERE, pEvpPrivKey, pbyEncryptedData, nEncryptedDataSize,
                      &pbyPlainData, &nPlainDataSize);
  if (rc != KELU_OK) return rc;
  rc = CheckLibraryCall(KELU_HERE, nPlainDataSize > 0, "RSA_private_decrypt", KELU_ERR_DECRYPT,
                        "nPlainDataSize <= 0");
  if (rc != KELU_OK) return rc;
  *ppbyPlainData = pbyPlainData.release();
  *pnPlainDataSize = nPlainDataSize;
  return KELU_OK;
}

int RSAEncryptByX509(X509 *pX509Cert, const unsigned char *pbyPlainData, int nPlainDataSize,
                     unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize) {
  int rc = TraceCheck(KELU_HERE, pX509Cert != nullptr, "Check parameter(pX509Cert).",
                      KELU_ERR_INVALID_PARAMETER, "NULL == pX509Cert");
  if (rc != KELU_OK) return rc;
  rc = NamedStep(KELU_HERE, kelu::CheckX509KeyUsage(pX509Cert, CERT_KEY_USAGE_KEY_ENCIPHERMENT, true),
                 "CheckX509KeyUsage");
  if (rc != KELU_OK) return rc;
  kelu::EvpPkeyPtr pEvpPubKey(X509_get_pubkey(pX509Cert));
  rc = CheckLibraryCall(KELU_HERE, pEvpPubKey != nullptr, "X509_get_pubkey", KELU_ERR_FAILED,
                        "NULL == pEvpPubKey");
  if (rc != KELU_OK) return rc;
  return NamedStep(KELU_HERE,
                   RSAEncrypt(pEvpPubKey.get(), pbyPlainData, nPlainDataSize, ppbyEncryptedData,
                              pnEncryptedDataSize),
                   "RSAEncyrpt");
}

int RSA_EncryptDataToDERCMSEnvelope(const unsigned char *pbyPlainData, int nPlainDataSize,
                                    const unsigned char *pbyCert, int nCertSize, int nSymAlgNID,
                                    unsigned char **ppbyDERCMSEnvelope,
                                    int *pnDERCMSEnvelopeSize) {
  int rc = TraceCheck(KELU_HERE, ppbyDERCMSEnvelope != nullptr && pnDERCMSEnvelopeSize != nullptr,
                      "Check parameter(ppbyDERCMSEnvelope)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == ppbyDERCMSEnvelope || NULL == pnDERCMSEnvelopeSize");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "nSymAlgNID: %d", nSymAlgNID);
  ContentParameters parameters;
  rc = MakeContentParameters(KELU_HERE, nSymAlgNID, true, &parameters);
  if (rc != KELU_OK) return rc;
  SecretBytes key;
  rc = NewContentKey(KELU_HERE, nSymAlgNID, &key);
  if (rc != KELU_OK) return rc;
  unsigned char *encrypted = nullptr;
  int nEncryptedDataSize = 0;
  rc = NamedStep(KELU_HERE,
                 SymEncrypt(nSymAlgNID, parameters.iv.get(), parameters.iv_size, key.get(),
                            key.size(), pbyPlainData, nPlainDataSize, &encrypted,
                            &nEncryptedDataSize),
                 "SymEncrypt");
  BytesPtr content(encrypted);
  if (rc != KELU_OK) return rc;
  RecipientParts recipient;
  rc = EncryptKeyToRecipient(KELU_HERE, pbyCert, nCertSize, key, &recipient);
  if (rc != KELU_OK) return rc;
  unsigned char *envelope = nullptr;
  int envelope_size = 0;
  rc = EncodeEnvelope(KELU_HERE, nSymAlgNID, recipient, parameters, content.get(),
                      nEncryptedDataSize, &envelope, &envelope_size);
  if (rc != KELU_OK) return KELU_ERR_FAILED;
  *ppbyDERCMSEnvelope = envelope;
  *pnDERCMSEnvelopeSize = envelope_size;
  return KELU_OK;
}

int RSA_EncryptDataToCMSEnvelope(const unsigned char *pbyPlainData, int nPlainDataSize,
                                 const unsigned char *pbyCert, int nCertSize, int nSymAlgNID,
                                 unsigned long dwBase64Flags, char **ppszBase64CMSEnvelope,
                                 int *pnBase64CMSEnvelopeLen) {
  int rc = TraceCheck(KELU_HERE, pbyPlainData != nullptr && nPlainDataSize > 0,
                      "Check parameter(pbyPlainData)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pbyPlainData || nPlainDataSize <= 0");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, ppszBase64CMSEnvelope != nullptr,
                  "Check parameter(ppszBase64CMSEnvelope)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == ppszBase64CMSEnvelope");
  if (rc != KELU_OK) return rc;
  unsigned char *der = nullptr;
  int der_size = 0;
  rc = RSA_EncryptDataToDERCMSEnvelope(pbyPlainData, nPlainDataSize, pbyCert, nCertSize,
                                       nSymAlgNID, &der, &der_size);
  return kelu::ops::HandOutAsText(KELU_HERE, rc, "RSA_EncryptDataToDERCMSEnvelope", der, der_size,
                                  dwBase64Flags, ppszBase64CMSEnvelope, pnBase64CMSEnvelopeLen);
}

int RSA_EncryptFileToCMSEnvelope(FILE *fpPlainFile, const unsigned char *pbyCert, int nCertSize,
                                 int nSymAlgNID, FILE *fpCMSEnvelope) {
  int rc = TraceCheck(KELU_HERE, fpPlainFile != nullptr && fpCMSEnvelope != nullptr,
                      "Check parameter(FILE)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == fpPlainFile || NULL == fpCMSEnvelope");
  if (rc != KELU_OK) return rc;
  ContentParameters parameters;
  rc = MakeContentParameters(KELU_HERE, nSymAlgNID, false, &parameters);
  if (rc != KELU_OK) return rc;
  uint64_t nPlainFileSize = 0, nContentSize = 0;
  rc = MeasureFileEnvelopeContent(KELU_HERE, fpPlainFile, nSymAlgNID == NID_rc4 ? 1 : 8,
                                  &nPlainFileSize, &nContentSize);
  if (rc != KELU_OK) return rc;
  SecretBytes key;
  rc = NewContentKey(KELU_HERE, nSymAlgNID, &key);
  if (rc != KELU_OK) return rc;
  RecipientParts recipient;
  rc = EncryptKeyToRecipient(KELU_HERE, pbyCert, nCertSize, key, &recipient);
  if (rc != KELU_OK) return rc;
  unsigned char *header = nullptr;
  int nDERCMSEnvelopeSize = 0;
  rc = EncodeEnvelope(KELU_HERE, nSymAlgNID, recipient, parameters, nullptr,
                      static_cast<int>(nContentSize), &header, &nDERCMSEnvelopeSize);
  BytesPtr envelope_header(header);
  if (rc != KELU_OK) return rc;
  const FileEnvelopeHeader written = {header, nDERCMSEnvelopeSize, nContentSize};
  return EncryptFileEnvelopeContent(KELU_HERE, nSymAlgNID, key.get(), key.size(),
                                    parameters.iv.get(), parameters.iv_size, written,
                                    fpPlainFile, nPlainFileSize, fpCMSEnvelope);
}

int RSA_DecryptDataFromDERCMSEnvelope(const unsigned char *pbyDERCMSEnvelope,
                                      int nDERCMSEnvelopeSize, FILE *fpPFX,
                                      const char *pszPFXPwd, unsigned char **ppbyPlainData,
                                      int *pnPlainDataSize) {
  int rc = TraceCheck(KELU_HERE, ppbyPlainData != nullptr && pnPlainDataSize != nullptr,
                      "Check parameter(ppbyPlainData)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == ppbyPlainData || NULL == pnPlainDataSize");
  if (rc != KELU_OK) return rc;
  kelu::EvpPkeyPtr key;
  kelu::X509Ptr cert;
  rc = OpenPfx(KELU_HERE, fpPFX, pszPFXPwd, &key, &cert);
  if (rc != KELU_OK) return rc;
  EnvelopeFields fields;
  BytesPtr content;
  int nEncryptedContentSize = 0;
  rc = kelu::ops::DecodeEnvelopeData(KELU_HERE, pbyDERCMSEnvelope, nDERCMSEnvelopeSize, &fields,
                                     &content, &nEncryptedContentSize);
  if (rc != KELU_OK) return rc;
  const SymCipher *cipher = nullptr;
  SecretBytes content_key;
  bool genuine = false;
  rc = OpenContentKey(KELU_HERE, key.get(), cert.get(), fields, &cipher, &content_key, &genuine);
  if (rc != KELU_OK) return rc;
  unsigned char *plain = nullptr;
  int nPlainDataSize = 0;
  rc = SymDecrypt(cipher->nid, fields.parameters, fields.parameters_size, content_key.get(),
                  content_key.size(), content.get(), nEncryptedContentSize, &plain,
                  &nPlainDataSize);
  SecretBytes plaintext;
  if (rc == KELU_OK) plaintext = SecretBytes(plain, static_cast<size_t>(nPlainDataSize) + 1);
  if (!genuine) return RefuseContentKey(KELU_HERE);
  rc = NamedStep(KELU_HERE, rc, "SymDecrypt");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "Decrypted data size: %d", nPlainDataSize);
  *ppbyPlainData = plaintext.release();
  *pnPlainDataSize = nPlainDataSize;
  return KELU_OK;
}

int RSA_DecryptDataFromCMSEnvelope(const char *pszBase64CMSEnvelope, FILE *fpPFX,
                                   const char *pszPFXPwd, unsigned char **ppbyPlainData,
                                   int *pnPlainDataSize) {
  int rc = TraceCheck(KELU_HERE, pszBase64CMSEnvelope != nullptr,
                      "Check parameter(pszBase64CMSEnvelope)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pszBase64CMSEnvelope");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, fpPFX != nullptr, "Check parameter(fpPFX)",
                  KELU_ERR_INVALID_PARAMETER, "NULL == fpPFX");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, pszPFXPwd != nullptr && pszPFXPwd[0] != '\0',
                  "Check parameter(pszPFXwd)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == pszPFXPwd || 0 == strlen(pszPFXPwd)");
  if (rc != KELU_OK) return rc;
  BytesPtr der;
  int der_size = 0;
  rc = kelu::ops::DecodeText(KELU_HERE, pszBase64CMSEnvelope, "Base64DecodeEx", &der, &der_size);
  if (rc != KELU_OK) return rc;
  return NamedStep(KELU_HERE,
                   RSA_DecryptDataFromDERCMSEnvelope(der.get(), der_size, fpPFX, pszPFXPwd,
                                                     ppbyPlainData, pnPlainDataSize),
                   "RSA_DecryptDataFromDERCMSEnvelope");
}

int RSA_DecryptFileFromCMSEnvelope(FILE *fpCMSEnvelope, FILE *fpPFX, const char *pszPFXPwd,
                                   FILE *fpPlainFile) {
  int rc = TraceCheck(KELU_HERE,
                      fpCMSEnvelope != nullptr && fpPFX != nullptr && fpPlainFile != nullptr,
                      "Check parameter(FILE)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == fpCMSEnvelope || NULL == fpPFX || NULL == fpPlainFile");
  if (rc != KELU_OK) return rc;
  EnvelopeFields fields;
  NodeHolder content;
  rc = kelu::ops::DecodeEnvelopeFile(KELU_HERE, fpCMSEnvelope, &fields, &content);
  if (rc != KELU_OK) return rc;
  kelu::EvpPkeyPtr key;
  kelu::X509Ptr cert;
  rc = OpenPfx(KELU_HERE, fpPFX, pszPFXPwd, &key, &cert);
  if (rc != KELU_OK) return rc;
  const SymCipher *cipher = nullptr;
  SecretBytes content_key;
  bool genuine = false;
  rc = OpenContentKey(KELU_HERE, key.get(), cert.get(), fields, &cipher, &content_key, &genuine);
  if (rc != KELU_OK) return rc;
  OutputFileGuard output(fpPlainFile);
  rc = DecryptFileEnvelopeContent(cipher->nid, content_key.get(), content_key.size(),
                                  fields.parameters, fields.parameters_size, fpCMSEnvelope,
                                  content.get(), fpPlainFile);
  if (!genuine) return RefuseContentKey(KELU_HERE);
  rc = NamedStep(KELU_HERE, rc, "DecryptFileEnvelopeContent");
  if (rc != KELU_OK) return rc;
  output.Keep();
  return KELU_OK;
}

int DecryptFileEnvelopeContent(int nSymAlgNID, const unsigned char *pbySymKey, int nSymKeySize,
                               const unsigned char *pbyIV, int nIVSize, FILE *fpCMSEnvelope,
                               const NodeEx *pEncryptedContentNode, FILE *fpPlainFile) {
  int rc = TraceCheck(KELU_HERE,
                      fpCMSEnvelope != nullptr && pEncryptedContentNode != nullptr &&
                          fpPlainFile != nullptr,
                      "Check parameter", KELU_ERR_INVALID_PARAMETER,
                      "NULL == fpCMSEnvelope || NULL == pEncryptedContentNode || "
                      "NULL == fpPlainFile");
  if (rc != KELU_OK) return rc;
  OutputFileGuard output(fpPlainFile);
  kelu::EvpCipherCtxPtr pCTX;
  rc = PrepareCipher(KELU_HERE, kEnvelopeDecrypt, nSymAlgNID, pbyIV, nIVSize, pbySymKey,
                     nSymKeySize, &pCTX);
  if (rc != KELU_OK) return rc;
  uint64_t nTotalPlainDataSize = 0;
  if (pEncryptedContentNode->vetNodes.empty()) {
    rc = DecryptFileEnvelopeContent_ProcessOneNode(pCTX.get(), fpCMSEnvelope,
                                                   pEncryptedContentNode, fpPlainFile,
                                                   &nTotalPlainDataSize);
  }
  for (const NodeEx *segment : pEncryptedContentNode->vetNodes) {
    if (rc != KELU_OK) break;
    rc = DecryptFileEnvelopeContent_ProcessOneNode(pCTX.get(), fpCMSEnvelope, segment,
                                                   fpPlainFile, &nTotalPlainDataSize);
  }
  if (rc != KELU_OK) return rc;
  rc = FinishCipherFile(KELU_HERE, kEnvelopeDecrypt, kEnvelopeContentTexts, pCTX.get(),
                        fpPlainFile, &nTotalPlainDataSize);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "nTotalPlainDataSize: %" PRIu64, nTotalPlainDataSize);
  output.Keep();
  return KELU_OK;
}

int DecryptFileEnvelopeContent_ProcessOneNode(EVP_CIPHER_CTX *pCTX, FILE *fpCMSEnvelope,
                                              const NodeEx *pNode, FILE *fpPlainFile,
                                              uint64_t *pnWrittenBytes) {
  int rc = TraceCheck(KELU_HERE,
                      pCTX != nullptr && fpCMSEnvelope != nullptr && pNode != nullptr &&
                          fpPlainFile != nullptr,
                      "Check parameter", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pCTX || NULL == fpCMSEnvelope || NULL == pNode || "
                      "NULL == fpPlainFile");
  if (rc != KELU_OK) return rc;
  // A piece is the plain value of one node: not one whose end the decoder never found, not one
  // with elements of its own, and a range that a file offset can reach.
  const uint64_t start = pNode->ValueStartPosition;
  const uint64_t length = pNode->ValueLength;
  const uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);
  rc = TraceCheck(KELU_HERE,
                  pNode->IsInfiniteLength == 0 && pNode->vetNodes.empty() && start <= kMaxOffset &&
                      length <= kMaxOffset - start,
                  "Check content node", KELU_ERR_ENVELOPE_FORMAT,
                  "pNode->IsInfiniteLength || pNode->vetNodes.size() || "
                  "ValueStartPosition + ValueLength > INT64_MAX");
  if (rc != KELU_OK || length == 0) return rc;
  rc = TraceCheck(KELU_HERE, fseeko(fpCMSEnvelope, static_cast<off_t>(start), SEEK_SET) == 0,
                  "fseek", KELU_ERR_FAILED, "0 != nResult");
  if (rc != KELU_OK) return rc;
  uint64_t written = 0;
  rc = CryptBlocks(KELU_HERE, kEnvelopeDecrypt, kEnvelopeContentTexts, pCTX, fpCMSEnvelope,
                   length, fpPlainFile, &written);
  if (pnWrittenBytes != nullptr) *pnWrittenBytes += written;
  return rc;
}
