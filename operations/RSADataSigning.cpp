#include "RSADataSigning.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstring>
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
using TextPtr = std::unique_ptr<char[]>;

struct DigestOids {
  int nid;
  const char *digest;
  const char *digest_encryption;  // with bAccurate true
};

const DigestOids kDigestOids[] = {
    {NID_md5, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4"},
    {NID_sha1, "1.3.14.3.2.26", "1.2.840.113549.1.1.5"},
    {NID_sha256, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
    {NID_sha384, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12"},
    {NID_sha512, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13"},
};
constexpr char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";

const DigestOids *FindDigestOids(int nid) {
  for (const DigestOids &row : kDigestOids)
    if (row.nid == nid) return &row;
  return nullptr;
}

TextPtr CopyText(const char *text) {
  const size_t size = std::strlen(text) + 1;
  TextPtr copy(new (std::nothrow) char[size]);
  if (copy != nullptr) std::memcpy(copy.get(), text, size);
  return copy;
}

// The toolkit's identifiers 920-930 are other objects in the library, so they go to the
// system's own digests; every other identifier is looked up by its library name.
const EVP_MD *ChooseDigest(int nid) {
  if (nid >= kelu::NID_prime256v1SM2 && nid <= kelu::NID_SM_pkcs7_signed)
    return kelu::NationalDigest(nid);
  const char *name = OBJ_nid2sn(nid);
  return name != nullptr ? EVP_get_digestbyname(name) : nullptr;
}

int ChooseDigestStep(const TraceSite &site, int nid, const EVP_MD **md) {
  *md = ChooseDigest(nid);
  return CheckLibraryCall(site, *md != nullptr, "EVP_get_digestbynid", KELU_ERR_UNKNOWN_HASH,
                          "NULL == pMD");
}

// A zeroed output of the digest's size.
int NewHashValue(const TraceSite &site, const EVP_MD *md, BytesPtr *value, int *size) {
  *size = EVP_MD_get_size(md);
  int rc = CheckLibraryCall(site, *size > 0, "EVP_MD_size", KELU_ERR_FAILED, "nHashSize <= 0");
  if (rc != KELU_OK) return rc;
  value->reset(new (std::nothrow) unsigned char[static_cast<size_t>(*size)]());
  return TraceCheck(site, *value != nullptr, "New memory", KELU_ERR_FAILED, "!pbyHashValue");
}

int CheckHashOutputs(const TraceSite &site, unsigned char **value, int *size) {
  return TraceCheck(site, value != nullptr && size != nullptr, "Check Parameters(ppbyHashValue)",
                    KELU_ERR_INVALID_PARAMETER, "NULL == ppbyHashValue || NULL == pnHashValueSize");
}

}  // namespace

int GetAlgOIDbyHashNID(int nHashNID, char **pszDigestAlg, char **pszDigestEncryptionAlg,
                       bool bAccurate) {
  int rc = TraceCheck(KELU_HERE, pszDigestAlg != nullptr && pszDigestEncryptionAlg != nullptr,
                      "Check Parameters(pszDigestAlg)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pszDigestAlg || NULL == pszDigestEncryptionAlg");
  if (rc != KELU_OK) return rc;
  const DigestOids *row = FindDigestOids(nHashNID);
  rc = TraceCheck(KELU_HERE, row != nullptr, "The algorithm is not supported", KELU_ERR_FAILED,
                  "1");
  if (rc != KELU_OK) return rc;
  const char *encryption = row->digest_encryption;
  if (!bAccurate) {
    TRACE(KELU_TRACE_INFO, "User defines unaccurate digest encryption algorithm");
    encryption = kRsaEncryptionOid;
  }
  TextPtr digest = CopyText(row->digest);
  rc = TraceCheck(KELU_HERE, digest != nullptr, "New memory", KELU_ERR_FAILED, "!pszDigestAlg");
  if (rc != KELU_OK) return rc;
  TextPtr digest_encryption = CopyText(encryption);
  rc = TraceCheck(KELU_HERE, digest_encryption != nullptr, "New memory", KELU_ERR_FAILED,
                  "!pszDigestEncryptionAlg");
  if (rc != KELU_OK) return rc;
  *pszDigestAlg = digest.release();
  *pszDigestEncryptionAlg = digest_encryption.release();
  return KELU_OK;
}

int CalculateDataHash(const unsigned char *pbySourceData, int nSourceDataSize, int nHashNID,
                      unsigned char **ppbyHashValue, int *pnHashValueSize) {
  int rc = TraceCheck(KELU_HERE,
                      nSourceDataSize >= 0 && (pbySourceData != nullptr || nSourceDataSize == 0),
                      "Check Parameters(pbySourceData)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pbySourceData || 0 > nSourceDataSize");
  if (rc != KELU_OK) return rc;
  rc = CheckHashOutputs(KELU_HERE, ppbyHashValue, pnHashValueSize);
  if (rc != KELU_OK) return rc;
  const EVP_MD *pMD = nullptr;
  rc = ChooseDigestStep(KELU_HERE, nHashNID, &pMD);
  if (rc != KELU_OK) return rc;
  int nHashSize = 0;
  BytesPtr pbyHashValue;
  rc = NewHashValue(KELU_HERE, pMD, &pbyHashValue, &nHashSize);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "Source data size : %d", nSourceDataSize);
  static const unsigned char kNoBytes[1] = {0};
  const unsigned char *data = pbySourceData != nullptr ? pbySourceData : kNoBytes;
  unsigned int nDigestSize = 0;
  rc = CheckLibraryCall(KELU_HERE,
                        EVP_Digest(data, static_cast<size_t>(nSourceDataSize), pbyHashValue.get(),
                                   &nDigestSize, pMD, nullptr) == 1,
                        "EVP_Digest", KELU_ERR_FAILED, "1 != nResult");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "Hash value size : %d", nHashSize);
  *ppbyHashValue = pbyHashValue.release();
  *pnHashValueSize = nHashSize;
  return KELU_OK;
}

int CalculateFileHash(FILE *fpSourceFile, int nHashNID, unsigned char **ppbyHashValue,
                      int *pnHashValueSize) {
  int rc = CheckHashOutputs(KELU_HERE, ppbyHashValue, pnHashValueSize);
  if (rc != KELU_OK) return rc;
  const EVP_MD *pMD = nullptr;
  rc = ChooseDigestStep(KELU_HERE, nHashNID, &pMD);
  if (rc != KELU_OK) return rc;
  kelu::EvpMdCtxPtr pMDCtx(EVP_MD_CTX_new());
  rc = CheckLibraryCall(KELU_HERE, pMDCtx != nullptr, "EVP_MD_CTX_create", KELU_ERR_FAILED,
                        "NULL == pMDCtx");
  if (rc != KELU_OK) return rc;
  rc = CheckLibraryCall(KELU_HERE, EVP_DigestInit_ex(pMDCtx.get(), pMD, nullptr) == 1,
                        "EVP_DigestInit_ex", KELU_ERR_FAILED, "1 != nResult");
  if (rc != KELU_OK) return rc;
  uint64_t nFileSize = 0;
  rc = MeasureFile(KELU_HERE, fpSourceFile, "GetFileSize_Ex", &nFileSize);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "SourceFile size: %" PRIu64, nFileSize);
  unsigned char pbyDataBuffer[BLOCK_SIZE];
  for (uint64_t remaining = nFileSize; remaining > 0;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(remaining, BLOCK_SIZE));
    rc = ReadFileBlock(KELU_HERE, fpSourceFile, pbyDataBuffer, piece, "fread",
                       "nBytesOfRead <= 0 || ferror(fpSourceFile)");
    if (rc != KELU_OK) return rc;
    rc = CheckLibraryCall(KELU_HERE, EVP_DigestUpdate(pMDCtx.get(), pbyDataBuffer, piece) == 1,
                          "EVP_DigestUpdate", KELU_ERR_FAILED, "1!= nResult");
    if (rc != KELU_OK) return rc;
    remaining -= piece;
  }
  int nHashSize = 0;
  BytesPtr pbyHashValue;
  rc = NewHashValue(KELU_HERE, pMD, &pbyHashValue, &nHashSize);
  if (rc != KELU_OK) return rc;
  unsigned int nDigestSize = 0;
  rc = CheckLibraryCall(KELU_HERE,
                        EVP_DigestFinal_ex(pMDCtx.get(), pbyHashValue.get(), &nDigestSize) == 1,
                        "EVP_DigestFinal_ex", KELU_ERR_FAILED, "1 != nResult");
  if (rc != KELU_OK) return rc;
  *ppbyHashValue = pbyHashValue.release();
  *pnHashValueSize = nHashSize;
  return KELU_OK;
}
