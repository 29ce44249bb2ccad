// RSA_sign and RSA_verify (PKCS#1 v1.5 with the DigestInfo of a NID over a digest computed
// here) and EVP_PKEY_get1_RSA are deprecated in OpenSSL 3.0; the signatures are theirs.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "RSADataSigning.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "Base64Utility.h"
#include "CertificateOperations.h"
#include "KeluErrors.h"
#include "KeluLimits.h"
#include "Misc.h"
#include "NationalEvp.h"
#include "NationalObjects.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "SharedCertificates.h"
#include "kelu_zlog.h"

namespace {

using kelu::ops::BytesPtr;
using kelu::ops::CheckFile;
using kelu::ops::CheckTextOutput;
using kelu::ops::CopyBytes;
using kelu::ops::DecodeText;
using kelu::ops::EncodeDer;
using kelu::ops::HandOutAsText;
using kelu::ops::NamedStep;
using kelu::ops::Output;
using kelu::ops::Signed;
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

// ---------------------------------------------------------------------------------------------
// RSA PKCS#1 signatures

namespace {

using RsaPtr = std::unique_ptr<RSA, kelu::Deleter<RSA_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, kelu::Deleter<PKCS7_free>>;

const unsigned char kNoBytes[1] = {0};

int CheckSigned(const TraceSite &site, const Signed &source) {
  if (source.file != nullptr) return KELU_OK;
  return TraceCheck(site, source.size >= 0 && (source.data != nullptr || source.size == 0),
                    "Check parameter(pbySourceData)", KELU_ERR_INVALID_PARAMETER,
                    "NULL == pbySourceData || nSourceDataSize < 0");
}

// The digest of the bytes or of the file; its code passes on. With a library error text on
// the Failed line when the caller turns every digest failure into -1.
int DigestOf(const TraceSite &site, const Signed &source, int nid, bool own_code,
             BytesPtr *digest, int *digest_size) {
  unsigned char *value = nullptr;
  int rc = source.file != nullptr ? CalculateFileHash(source.file, nid, &value, digest_size)
                                  : CalculateDataHash(source.data, source.size, nid, &value,
                                                      digest_size);
  digest->reset(value);
  const char *step = source.file != nullptr ? "CalculateFileHash" : "CalculateDataHash";
  if (own_code) return NamedStep(site, rc, step);
  return CheckLibraryCall(site, rc == KELU_OK, step, KELU_ERR_FAILED, "KELU_OK != nResult");
}

int SignDigestOf(const TraceSite &site, const Signed &source, RSA *key, int nid,
                 BytesPtr *signature, unsigned int *signature_size) {
  int rc = CheckSigned(site, source);
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(site, key != nullptr && signature != nullptr && signature_size != nullptr,
                  "Check parameter(pRsaPrivKey)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == pRsaPrivKey || NULL == ppbySignature || NULL == pnSignatureSize");
  if (rc != KELU_OK) return rc;
  BytesPtr digest;
  int digest_size = 0;
  rc = DigestOf(site, source, nid, true, &digest, &digest_size);
  if (rc != KELU_OK) return rc;
  BytesPtr pbySignature(new (std::nothrow) unsigned char[static_cast<size_t>(RSA_size(key))]());
  rc = TraceCheck(site, pbySignature != nullptr, "New memory", KELU_ERR_FAILED, "!pbySignature");
  if (rc != KELU_OK) return rc;
  unsigned int size = 0;
  rc = CheckLibraryCall(site,
                        RSA_sign(nid, digest.get(), static_cast<unsigned int>(digest_size),
                                 pbySignature.get(), &size, key) == 1,
                        "RSA_sign", KELU_ERR_FAILED, "1 != nResult");
  if (rc != KELU_OK) return rc;
  *signature = std::move(pbySignature);
  *signature_size = size;
  return KELU_OK;
}

// Key and certificate of a PKCS#12 file whose certificate allows digitalSignature.
int OpenSigner(const TraceSite &site, FILE *pfx, const char *password, kelu::EvpPkeyPtr *key,
               kelu::X509Ptr *cert) {
  EVP_PKEY *raw_key = nullptr;
  X509 *raw_cert = nullptr;
  int rc = kelu::ParsePFXFile(pfx, password, &raw_key, &raw_cert, nullptr);
  key->reset(raw_key);
  cert->reset(raw_cert);
  rc = NamedStep(site, rc, "ParsePFXFile");
  if (rc != KELU_OK) return rc;
  return kelu::ops::RequireSigningUsage(site, cert->get());
}

int RsaKeyOf(const TraceSite &site, EVP_PKEY *key, const char *reason, RsaPtr *rsa) {
  rsa->reset(key != nullptr ? EVP_PKEY_get1_RSA(key) : nullptr);
  return CheckLibraryCall(site, *rsa != nullptr, "EVP_PKEY_get1_RSA", KELU_ERR_FAILED, reason);
}

int SignWithPfx(const TraceSite &site, const Signed &source, FILE *pfx, const char *password,
                int nid, const char *sign_step, BytesPtr *signature, unsigned int *size) {
  kelu::EvpPkeyPtr key;
  kelu::X509Ptr cert;
  int rc = OpenSigner(site, pfx, password, &key, &cert);
  if (rc != KELU_OK) return rc;
  RsaPtr rsa;
  rc = RsaKeyOf(site, key.get(), "NULL == pRsaPrivKey", &rsa);
  if (rc != KELU_OK) return rc;
  return NamedStep(site, SignDigestOf(site, source, rsa.get(), nid, signature, size), sign_step);
}

int VerifyWithX509(const TraceSite &site, const Signed &source, X509 *cert, int nid,
                   const unsigned char *signature, int signature_size) {
  int rc = CheckSigned(site, source);
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(site, signature_size >= 0 && (signature != nullptr || signature_size == 0),
                  "Check parameter(pbySignature)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == pbySignature || nSignatureSize < 0");
  if (rc != KELU_OK) return rc;
  BytesPtr digest;
  int digest_size = 0;
  rc = DigestOf(site, source, nid, source.file != nullptr, &digest, &digest_size);
  if (rc != KELU_OK) return rc;
  kelu::EvpPkeyPtr key(cert != nullptr ? X509_get_pubkey(cert) : nullptr);
  rc = CheckLibraryCall(site, key != nullptr, "X509_get_pubkey", KELU_ERR_FAILED,
                        "NULL == pEvpPubKey");
  if (rc != KELU_OK) return rc;
  RsaPtr rsa;
  rc = RsaKeyOf(site, key.get(), "NULL == pRsaPubKey", &rsa);
  if (rc != KELU_OK) return rc;
  return CheckLibraryCall(
      site,
      RSA_verify(nid, digest.get(), static_cast<unsigned int>(digest_size),
                 signature != nullptr ? signature : kNoBytes,
                 static_cast<unsigned int>(signature_size), rsa.get()) == 1,
      "RSA_verify", KELU_ERR_BAD_SIGNATURE, "1 != nResult");
}

int VerifyWithDerCert(const TraceSite &site, const Signed &source, const unsigned char *cert,
                      int cert_size, int nid, const unsigned char *signature, int signature_size,
                      const char *verify_step) {
  kelu::SharedX509 x509;
  int rc = kelu::ReadSharedDerX509(site, cert, cert_size, "NULL == pPubCert", &x509);
  if (rc != KELU_OK) return rc;
  return NamedStep(site,
                   VerifyWithX509(site, source, kelu::ForReading(x509), nid, signature,
                                  signature_size),
                   verify_step);
}

struct Pkcs1Texts {
  const char *cert_step, *signature_step, *verify_step;
};

int VerifyBase64(const TraceSite &site, const Signed &source, const char *cert_text, int nid,
                 const char *signature_text, const Pkcs1Texts &texts) {
  BytesPtr cert;
  int cert_size = 0;
  int rc = DecodeText(site, cert_text, texts.cert_step, &cert, &cert_size);
  if (rc != KELU_OK) return rc;
  BytesPtr signature;
  int signature_size = 0;
  rc = DecodeText(site, signature_text, texts.signature_step, &signature, &signature_size);
  if (rc != KELU_OK) return rc;
  const int verified = source.file != nullptr
                           ? RSA_VerifyFileSignature_PKCS1_ByDERCertContent(
                                 source.file, cert.get(), cert_size, nid, signature.get(),
                                 signature_size)
                           : RSA_VerifyDataSignature_DERPKCS1_ByDERCert(
                                 source.data, source.size, cert.get(), cert_size, nid,
                                 signature.get(), signature_size);
  return NamedStep(site, verified, texts.verify_step);
}

}  // namespace

int RSA_SignData_PKCS1_ByPrivateKey(const unsigned char *pbySourceData, int nSourceDataSize,
                                    RSA *pRsaPrivKey, int nHashNID,
                                    unsigned char **ppbySignature, int *pnSignatureSize) {
  BytesPtr signature;
  unsigned int size = 0;
  int rc = TraceCheck(KELU_HERE, pnSignatureSize != nullptr, "Check parameter(pnSignatureSize)",
                      KELU_ERR_INVALID_PARAMETER, "NULL == pnSignatureSize");
  if (rc != KELU_OK) return rc;
  rc = SignDigestOf(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr}, pRsaPrivKey,
                    nHashNID, ppbySignature != nullptr ? &signature : nullptr, &size);
  if (rc != KELU_OK) return rc;
  *ppbySignature = signature.release();
  *pnSignatureSize = static_cast<int>(size);
  return KELU_OK;
}

int RSA_SignData_PKCS1_ByPFX(const unsigned char *pbySourceData, int nSourceDataSize,
                             FILE *fpPFXFile, const char *pszPFXPwd, int nHashNID,
                             unsigned char **ppbySignature, int *pnSignatureSize) {
  int rc = TraceCheck(KELU_HERE, ppbySignature != nullptr && pnSignatureSize != nullptr,
                      "Check parameter(ppbySignature)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == ppbySignature || NULL == pnSignatureSize");
  if (rc != KELU_OK) return rc;
  BytesPtr signature;
  unsigned int size = 0;
  rc = SignWithPfx(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr}, fpPFXFile,
                   pszPFXPwd, nHashNID, "RSA_SignData_PKCS1_ByPrivateKey", &signature, &size);
  if (rc != KELU_OK) return rc;
  *ppbySignature = signature.release();
  *pnSignatureSize = static_cast<int>(size);
  return KELU_OK;
}

int RSA_SignData_PKCS1(const unsigned char *pbySourceData, int nSourceDataSize, FILE *fpPFXFile,
                       const char *pszPFXPwd, int nHashNID, unsigned long dwBase64Flags,
                       char **ppszBase64Signature, int *pnBase64SignatureLen) {
  int rc = CheckTextOutput(KELU_HERE, ppszBase64Signature);
  if (rc != KELU_OK) return rc;
  unsigned char *signature = nullptr;
  int size = 0;
  rc = RSA_SignData_PKCS1_ByPFX(pbySourceData, nSourceDataSize, fpPFXFile, pszPFXPwd, nHashNID,
                                &signature, &size);
  return HandOutAsText(KELU_HERE, rc, "RSA_SignData_PKCS1_ByPFX", signature, size, dwBase64Flags,
                       ppszBase64Signature, pnBase64SignatureLen);
}

int RSA_VerifyDataSignature_PKCS1_ByX509(const unsigned char *pbySourceData, int nSourceDataSize,
                                         X509 *pX509Cert, int nHashNID,
                                         const unsigned char *pbySignature, int nSignatureSize) {
  return VerifyWithX509(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr}, pX509Cert,
                        nHashNID, pbySignature, nSignatureSize);
}

int RSA_VerifyDataSignature_DERPKCS1_ByDERCert(const unsigned char *pbySourceData,
                                               int nSourceDataSize, const unsigned char *pbyCert,
                                               int nCertSize, int nHashNID,
                                               const unsigned char *pbySignature,
                                               int nSignatureSize) {
  return VerifyWithDerCert(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr}, pbyCert,
                           nCertSize, nHashNID, pbySignature, nSignatureSize,
                           "RSA_VerifyDataSignature_PKCS1_ByX509");
}

int RSA_VerifyDataSignature_PKCS1(const unsigned char *pbySourceData, int nSourceDataSize,
                                  const char *pszBase64CertContent, int nHashNID,
                                  const char *pszBase64Signature) {
  const Pkcs1Texts texts = {"Base64DecodeEx(pszBase64CertContent)",
                            "Base64DecodeEx(pszBase64Signature)",
                            "RSA_VerifyDataSignature_DERPKCS1_ByDERCert"};
  return VerifyBase64(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr},
                      pszBase64CertContent, nHashNID, pszBase64Signature, texts);
}

int RSA_SignFile_PKCS1_ByPrivateKey(FILE *fpSourceFile, RSA *pRsaPrivKey, int nHashNID,
                                    unsigned char **ppbySignature, unsigned int *pnSignatureSize) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "Check parameter(fpSourceFile)",
                     "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  BytesPtr signature;
  rc = SignDigestOf(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, pRsaPrivKey, nHashNID,
                    ppbySignature != nullptr ? &signature : nullptr, pnSignatureSize);
  if (rc == KELU_OK) *ppbySignature = signature.release();
  return rc;
}

int RSA_SignFile_PKCS1_ByPFX(FILE *fpSourceFile, FILE *fpPFXFile, const char *pszPFXPwd,
                             int nHashNID, unsigned char **ppbySignature, int *pnSignatureSize) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "Check parameter(fpSourceFile)",
                     "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, ppbySignature != nullptr && pnSignatureSize != nullptr,
                  "Check parameter(ppbySignature)", KELU_ERR_INVALID_PARAMETER,
                  "NULL == ppbySignature || NULL == pnSignatureSize");
  if (rc != KELU_OK) return rc;
  BytesPtr signature;
  unsigned int size = 0;
  rc = SignWithPfx(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, fpPFXFile, pszPFXPwd, nHashNID,
                   "RSA_SignFile_PKCS1_ByPrivateKey", &signature, &size);
  if (rc != KELU_OK) return rc;
  *ppbySignature = signature.release();
  *pnSignatureSize = static_cast<int>(size);
  return KELU_OK;
}

int RSA_SignFile_PKCS1(FILE *fpSourceFile, FILE *fpPFXFile, const char *pszPFXPwd, int nHashNID,
                       unsigned long dwBase64Flags, char **ppszBase64Signature) {
  int rc = CheckTextOutput(KELU_HERE, ppszBase64Signature);
  if (rc != KELU_OK) return rc;
  unsigned char *signature = nullptr;
  int size = 0;
  rc = RSA_SignFile_PKCS1_ByPFX(fpSourceFile, fpPFXFile, pszPFXPwd, nHashNID, &signature, &size);
  return HandOutAsText(KELU_HERE, rc, "RSA_SignFile_PKCS1_ByPFX", signature, size, dwBase64Flags,
                       ppszBase64Signature, nullptr);
}

int RSA_VerifyFileSignature_PKCS1_ByX509(FILE *fpSourceFile, X509 *pX509Cert, int nHashNID,
                                         const unsigned char *pbySignature, int nSignatureSize) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "Check parameter(fpSourceFile)",
                     "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  return VerifyWithX509(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, pX509Cert, nHashNID,
                        pbySignature, nSignatureSize);
}

int RSA_VerifyFileSignature_PKCS1_ByDERCertContent(FILE *fpSourceFile,
                                                   const unsigned char *pbyCert, int nCertSize,
                                                   int nHashNID,
                                                   const unsigned char *pbySignature,
                                                   int nSignatureSize) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "Check parameter(fpSourceFile)",
                     "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  return VerifyWithDerCert(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, pbyCert, nCertSize,
                           nHashNID, pbySignature, nSignatureSize,
                           "RSA_VerifyFileSignature_PKCS1_ByX509");
}

int RSA_VerifyFileSignature_PKCS1(FILE *fpSourceFile, const char *pszBase64CertContent,
                                  int nHashNID, const char *pszBase64Signature) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "Check parameter(fpSourceFile)",
                     "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  const Pkcs1Texts texts = {"Base64DecodeEx(CertContent)", "Base64DecodeEx(Signature)",
                            "RSA_VerifyFileSignature_PKCS1_ByCertContent"};
  return VerifyBase64(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, pszBase64CertContent,
                      nHashNID, pszBase64Signature, texts);
}

// ---------------------------------------------------------------------------------------------
// RSA PKCS#7 signatures

namespace {

constexpr int kSignAttachedFlags = PKCS7_BINARY | PKCS7_NOATTR;
constexpr int kSignDetachedFlags = kSignAttachedFlags | PKCS7_DETACHED;
constexpr int kVerifyDetachedFlags = PKCS7_NOATTR | PKCS7_DETACHED | PKCS7_NOVERIFY;
constexpr int kVerifyAttachedFlags = PKCS7_NOATTR | PKCS7_NOVERIFY;
constexpr char kSignedDataOid[] = "1.2.840.113549.1.7.2";
constexpr char kDataOid[] = "1.2.840.113549.1.7.1";

void FreeCertList(STACK_OF(X509) * list) { sk_X509_free(list); }
using CertListPtr = std::unique_ptr<STACK_OF(X509), kelu::Deleter<FreeCertList>>;

// A read-only memory stream over the bytes (none for an empty buffer).
kelu::BioPtr ReadOnlyStream(const unsigned char *data, int size) {
  return kelu::BioPtr(BIO_new_mem_buf(data != nullptr ? data : kNoBytes, size));
}

// Every digest of the SignedData's list is one the library has. PKCS7_verify does not release
// its copy of a memory stream when it cannot start a digest, so it is not called without them.
bool ListedDigestsAvailable(PKCS7 *p7) {
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr) return true;  // refused by the library
  STACK_OF(X509_ALGOR) *digests = p7->d.sign->md_algs;
  for (int i = 0; i < sk_X509_ALGOR_num(digests); ++i) {
    const X509_ALGOR *digest = sk_X509_ALGOR_value(digests, i);
    if (digest == nullptr || EVP_get_digestbyobj(digest->algorithm) == nullptr) return false;
  }
  return true;
}

// The DER of the first signer's certificate.
int SignerCertOf(const TraceSite &site, PKCS7 *p7, int flags, BytesPtr *cert, int *cert_size) {
  CertListPtr signers(PKCS7_get0_signers(p7, nullptr, flags));
  int rc = CheckLibraryCall(site, signers != nullptr, "PKCS7_get0_signers", KELU_ERR_FAILED,
                            "NULL == pSigners");
  if (rc != KELU_OK) return rc;
  X509 *first = sk_X509_value(signers.get(), 0);
  rc = CheckLibraryCall(site, first != nullptr, "sk_X509_value", KELU_ERR_FAILED,
                        "NULL == pSignerCert");
  if (rc != KELU_OK) return rc;
  return EncodeDer(site, i2d_X509, first, "i2d_X509", "nDERSignCertSize <= 0", cert, cert_size);
}

// The library's verification of a SignedData: detached over content, attached into a memory
// stream whose bytes become *content.
int VerifyPkcs7(const TraceSite &site, const unsigned char *der, int der_size,
                const unsigned char *detached, int detached_size, bool attached,
                const Output &content_out, const Output &cert_out) {
  int rc = TraceCheck(site, der_size > 0 && der != nullptr, "Check parameter(pbyDERSignature)",
                      KELU_ERR_INVALID_PARAMETER, "NULL == pbyDERSignature || nDERSignatureSize <= 0");
  if (rc != KELU_OK) return rc;
  if (!attached) {
    rc = TraceCheck(site, detached_size >= 0 && (detached != nullptr || detached_size == 0),
                    "Check parameter(pbySourceData)", KELU_ERR_INVALID_PARAMETER,
                    "NULL == pbySourceData || nSourceDataSize < 0");
    if (rc != KELU_OK) return rc;
  }
  const unsigned char *p = der;
  Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, der_size));
  rc = CheckLibraryCall(site, p7 != nullptr, "d2i_PKCS7", KELU_ERR_FAILED, "NULL == p7");
  if (rc != KELU_OK) return rc;
  kelu::BioPtr stream;
  if (attached) {
    stream.reset(BIO_new(BIO_s_mem()));
    rc = TraceCheck(site, stream != nullptr, "BIO_new", KELU_ERR_FAILED, "NULL == pBioSourceData");
  } else {
    stream = ReadOnlyStream(detached, detached_size);
    rc = CheckLibraryCall(site, stream != nullptr, "BIO_new_mem_buf", KELU_ERR_FAILED,
                          "NULL == pBioSourceData");
  }
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(site, ListedDigestsAvailable(p7.get()), "Check digest algorithms",
                  KELU_ERR_BAD_SIGNATURE, "unknown digest algorithm in the SignedData");
  if (rc != KELU_OK) return rc;
  const int flags = attached ? kVerifyAttachedFlags : kVerifyDetachedFlags;
  const int verified = attached ? PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, stream.get(), flags)
                                : PKCS7_verify(p7.get(), nullptr, nullptr, stream.get(), nullptr, flags);
  rc = CheckLibraryCall(site, verified == 1, "PKCS7_verify", KELU_ERR_BAD_SIGNATURE,
                        "1 != nResult");
  if (rc != KELU_OK) return rc;
  BytesPtr content;
  int content_size = 0;
  if (attached && content_out.wanted()) {
    char *bytes = nullptr;
    const long size = BIO_get_mem_data(stream.get(), &bytes);
    rc = TraceCheck(site, size >= 0 && size <= INT_MAX, "BIO_get_mem_data", KELU_ERR_FAILED,
                    "nSourceDataSize < 0 || nSourceDataSize > INT_MAX");
    if (rc != KELU_OK) return rc;
    content = CopyBytes(bytes, static_cast<size_t>(size));
    rc = TraceCheck(site, content != nullptr, "New memory", KELU_ERR_FAILED, "!pbySourceData");
    if (rc != KELU_OK) return rc;
    content_size = static_cast<int>(size);
  }
  BytesPtr cert;
  int cert_size = 0;
  if (cert_out.wanted()) {
    rc = SignerCertOf(site, p7.get(), flags, &cert, &cert_size);
    if (rc != KELU_OK) return rc;
  }
  content_out.Give(&content, content_size);
  cert_out.Give(&cert, cert_size);
  return KELU_OK;
}

// The Base64 forms: the DER form always asked for everything, the caller given what it asked.
int VerifyPkcs7Text(const TraceSite &site, const char *text, const unsigned char *detached,
                    int detached_size, bool attached, const Output &content_out,
                    const Output &cert_out, const char *der_step) {
  BytesPtr der;
  int der_size = 0;
  int rc = DecodeText(site, text, "Base64DecodeEx", &der, &der_size);
  if (rc != KELU_OK) return rc;
  unsigned char *content = nullptr, *cert = nullptr;
  int content_size = 0, cert_size = 0;
  rc = attached ? RSA_VerifyDataSignature_DERPKCS7Attached(der.get(), der_size, &content,
                                                           &content_size, &cert, &cert_size)
                : RSA_VerifyDataSignature_DERPKCS7Detached(der.get(), der_size, detached,
                                                           detached_size, &cert, &cert_size);
  BytesPtr content_holder(content), cert_holder(cert);
  rc = NamedStep(site, rc, der_step);
  if (rc != KELU_OK) return rc;
  if (attached) content_out.Give(&content_holder, content_size);
  cert_out.Give(&cert_holder, cert_size);
  return KELU_OK;
}

int CheckDerOutput(const TraceSite &site, unsigned char **der, int *size) {
  return TraceCheck(site, der != nullptr && size != nullptr, "Check parameter(ppbyDERSignature)",
                    KELU_ERR_INVALID_PARAMETER,
                    "NULL == ppbyDERSignature || NULL == pnDERSignatureSize");
}

}  // namespace

namespace kelu {

PKCS7 *PKCS7_sign_ex(X509 *pSignCert, EVP_PKEY *pPrivateKey, STACK_OF(X509) *pCerts,
                     BIO *pBioData, int nHashNID, int nFlags) {
  Pkcs7Ptr p7(PKCS7_new());
  if (p7 == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  if (PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 ||
      PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1) {
    return nullptr;
  }
  const EVP_MD *md = ChooseDigest(nHashNID);
  if (md == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNKNOWN_DIGEST_TYPE);
    return nullptr;
  }
  if (pPrivateKey != nullptr &&
      PKCS7_sign_add_signer(p7.get(), pSignCert, pPrivateKey, md, nFlags) == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_PKCS7_ADD_SIGNER_ERROR);
    return nullptr;
  }
  if ((nFlags & PKCS7_NOCERTS) == 0) {
    for (int i = 0; i < sk_X509_num(pCerts); ++i) {
      if (PKCS7_add_certificate(p7.get(), sk_X509_value(pCerts, i)) != 1) return nullptr;
    }
  }
  if ((nFlags & PKCS7_DETACHED) != 0 && PKCS7_set_detached(p7.get(), 1) != 1) return nullptr;
  if ((nFlags & (PKCS7_STREAM | PKCS7_PARTIAL)) != 0) return p7.release();
  if (PKCS7_final(p7.get(), pBioData, nFlags) != 1) return nullptr;
  return p7.release();
}

int PKCS7_verify_signature(PKCS7 *p7, BIO *pBioData) {
  if (p7 == nullptr || !PKCS7_type_is_signed(p7) || p7->d.sign == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_WRONG_CONTENT_TYPE);
    return -1;
  }
  const bool detached = PKCS7_get_detached(p7) != 0;
  if (detached && pBioData == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
    return -1;
  }
  if (!detached && pBioData != nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_CONTENT_AND_DATA_PRESENT);
    return -1;
  }
  STACK_OF(PKCS7_SIGNER_INFO) *signers = PKCS7_get_signer_info(p7);
  if (sk_PKCS7_SIGNER_INFO_num(signers) <= 0) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_SIGNERS);
    return -1;
  }
  BIO *chain = PKCS7_dataInit(p7, pBioData);
  if (chain == nullptr) return -1;
  // The caller's stream belongs to the caller: it leaves the chain before the chain is freed.
  auto release = [&] {
    if (pBioData != nullptr) BIO_pop(pBioData);
    BIO_free_all(chain);
  };
  unsigned char piece[4096];
  while (BIO_read(chain, piece, sizeof piece) > 0) {
  }
  for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(signers); ++i) {
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(signers, i);
    X509 *cert = si->issuer_and_serial == nullptr
                     ? nullptr
                     : X509_find_by_issuer_and_serial(p7->d.sign->cert,
                                                      si->issuer_and_serial->issuer,
                                                      si->issuer_and_serial->serial);
    if (cert == nullptr) {
      ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNABLE_TO_FIND_CERTIFICATE);
      release();
      return -1;
    }
    if (PKCS7_signatureVerify(chain, p7, si, cert) <= 0) {
      ERR_raise(ERR_LIB_PKCS7, PKCS7_R_SIGNATURE_FAILURE);
      release();
      return -1;
    }
  }
  release();
  return 0;
}

}  // namespace kelu

int RSA_SignData_PKCS7_ByKeyPair(const unsigned char *pbySourceData, int nSourceDataSize,
                                 X509 *pX509Cert, EVP_PKEY *pPrivateKey, int nHashNID,
                                 bool bAttached, unsigned char **ppbyDERSignature,
                                 int *pnDERSignatureSize) {
  int rc = CheckDerOutput(KELU_HERE, ppbyDERSignature, pnDERSignatureSize);
  if (rc != KELU_OK) return rc;
  rc = CheckSigned(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr});
  if (rc != KELU_OK) return rc;
  rc = kelu::ops::RequireSigningUsage(KELU_HERE, pX509Cert);
  if (rc != KELU_OK) return rc;
  // Without a key the library makes a SignedData of no signer, which is no signature.
  rc = TraceCheck(KELU_HERE, pPrivateKey != nullptr, "Check parameter(pPrivateKey)",
                  KELU_ERR_FAILED, "NULL == pPrivateKey");
  if (rc != KELU_OK) return rc;
  kelu::BioPtr pBioSourceData = ReadOnlyStream(pbySourceData, nSourceDataSize);
  rc = CheckLibraryCall(KELU_HERE, pBioSourceData != nullptr, "BIO_new_mem_buf", KELU_ERR_FAILED,
                        "NULL == pBioSourceData");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "%s",
        bAttached ? "It's PKCS7 attached signature." : "It's PKCS7 detached signature.");
  Pkcs7Ptr p7(kelu::PKCS7_sign_ex(pX509Cert, pPrivateKey, nullptr, pBioSourceData.get(),
                                  nHashNID, bAttached ? kSignAttachedFlags : kSignDetachedFlags));
  rc = CheckLibraryCall(KELU_HERE, p7 != nullptr, "PKCS7_sign_ex", KELU_ERR_FAILED, "NULL == p7");
  if (rc != KELU_OK) return rc;
  BytesPtr der;
  int nDERSignatureSize = 0;
  rc = EncodeDer(KELU_HERE, i2d_PKCS7, p7.get(), "i2d_PKCS7", "0 == nDERSignatureSize", &der,
                 &nDERSignatureSize);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "DER encoded PKCS7 signature data size : %d", nDERSignatureSize);
  *ppbyDERSignature = der.release();
  *pnDERSignatureSize = nDERSignatureSize;
  return KELU_OK;
}

int RSA_SignData_PKCS7_ByPFX(const unsigned char *pbySourceData, int nSourceDataSize,
                             FILE *fpPFXFile, const char *pszPFXPwd, int nHashNID, bool bAttached,
                             unsigned char **ppbyDERSignature, int *pnDERSignatureSize) {
  int rc = CheckDerOutput(KELU_HERE, ppbyDERSignature, pnDERSignatureSize);
  if (rc != KELU_OK) return rc;
  EVP_PKEY *raw_key = nullptr;
  X509 *raw_cert = nullptr;
  rc = kelu::ParsePFXFile(fpPFXFile, pszPFXPwd, &raw_key, &raw_cert, nullptr);
  kelu::EvpPkeyPtr key(raw_key);
  kelu::X509Ptr cert(raw_cert);
  rc = NamedStep(KELU_HERE, rc, "ParsePFXFile");
  if (rc != KELU_OK) return rc;
  return NamedStep(KELU_HERE,
                   RSA_SignData_PKCS7_ByKeyPair(pbySourceData, nSourceDataSize, cert.get(),
                                                key.get(), nHashNID, bAttached, ppbyDERSignature,
                                                pnDERSignatureSize),
                   "RSA_SignData_PKCS7_ByKeyPair");
}

int RSA_SignData_PKCS7(const unsigned char *pbySourceData, int nSourceDataSize, FILE *fpPFXFile,
                       const char *pszPFXPwd, int nHashNID, bool bAttached,
                       unsigned long dwBase64Flags, char **ppszBase64Signature,
                       int *pnBase64SignatureLen) {
  int rc = CheckTextOutput(KELU_HERE, ppszBase64Signature);
  if (rc != KELU_OK) return rc;
  unsigned char *der = nullptr;
  int der_size = 0;
  rc = RSA_SignData_PKCS7_ByPFX(pbySourceData, nSourceDataSize, fpPFXFile, pszPFXPwd, nHashNID,
                                bAttached, &der, &der_size);
  return HandOutAsText(KELU_HERE, rc, "RSA_SignData_PKCS7_ByPFX", der, der_size, dwBase64Flags,
                       ppszBase64Signature, pnBase64SignatureLen);
}

int RSA_VerifyDataSignature_DERPKCS7Detached(const unsigned char *pbyDERSignature,
                                             int nDERSignatureSize,
                                             const unsigned char *pbySourceData,
                                             int nSourceDataSize, unsigned char **ppbySignCert,
                                             int *pnSignCertSize) {
  return VerifyPkcs7(KELU_HERE, pbyDERSignature, nDERSignatureSize, pbySourceData,
                     nSourceDataSize, false, Output{nullptr, nullptr},
                     Output{ppbySignCert, pnSignCertSize});
}

int RSA_VerifyDataSignature_PKCS7Detached(const char *pszBase64Signature,
                                          const unsigned char *pbySourceData,
                                          int nSourceDataSize, unsigned char **ppbySignCert,
                                          int *pnSignCertSize) {
  return VerifyPkcs7Text(KELU_HERE, pszBase64Signature, pbySourceData, nSourceDataSize, false,
                         Output{nullptr, nullptr}, Output{ppbySignCert, pnSignCertSize},
                         "RSA_VerifyDataSignature_DERPKCS7Detached");
}

int RSA_VerifyDataSignature_DERPKCS7Attached(const unsigned char *pbyDERSignature,
                                             int nDERSignatureSize,
                                             unsigned char **ppbySourceData,
                                             int *pnSourceDataSize, unsigned char **ppbySignCert,
                                             int *pnSignCertSize) {
  return VerifyPkcs7(KELU_HERE, pbyDERSignature, nDERSignatureSize, nullptr, 0, true,
                     Output{ppbySourceData, pnSourceDataSize},
                     Output{ppbySignCert, pnSignCertSize});
}

int RSA_VerifyDataSignature_PKCS7Attached(const char *pszBase64Signature,
                                          unsigned char **ppbySourceData, int *pnSourceDataSize,
                                          unsigned char **ppbySignCert, int *pnSignCertSize) {
  return VerifyPkcs7Text(KELU_HERE, pszBase64Signature, nullptr, 0, true,
                         Output{ppbySourceData, pnSourceDataSize},
                         Output{ppbySignCert, pnSignCertSize},
                         "RSA_VerifyDataSignature_DERPKCS7Attached");
}

int RSA_SignFile_PKCS7Detached_ByPFX(FILE *fpSourceFile, FILE *fpPFXFile, const char *pszPFXPwd,
                                     int nHashNID, bool bAccurate,
                                     unsigned char **ppbyDERSignature, int *pnDERSignatureSize) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters(SourceFile).",
                     "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = CheckFile(KELU_HERE, fpPFXFile, "check parameters(PFXFile).", "NULL == fpPFXFile");
  if (rc != KELU_OK) return rc;
  rc = CheckDerOutput(KELU_HERE, ppbyDERSignature, pnDERSignatureSize);
  if (rc != KELU_OK) return rc;
  char *digest_oid = nullptr, *encryption_oid = nullptr;
  rc = NamedStep(KELU_HERE, GetAlgOIDbyHashNID(nHashNID, &digest_oid, &encryption_oid, bAccurate),
                 "GetAlgOIDbyHashNID");
  TextPtr digest_holder(digest_oid), encryption_holder(encryption_oid);
  if (rc != KELU_OK) return rc;
  kelu::EvpPkeyPtr key;
  kelu::X509Ptr cert;
  rc = OpenSigner(KELU_HERE, fpPFXFile, pszPFXPwd, &key, &cert);
  if (rc != KELU_OK) return rc;
  RsaPtr rsa;
  rc = RsaKeyOf(KELU_HERE, key.get(), "NULL == pRsaPrivKey", &rsa);
  if (rc != KELU_OK) return rc;
  unsigned char *signature = nullptr;
  unsigned int signature_size = 0;
  rc = NamedStep(KELU_HERE,
                 RSA_SignFile_PKCS1_ByPrivateKey(fpSourceFile, rsa.get(), nHashNID, &signature,
                                                 &signature_size),
                 "RSA_SignFile_PKCS1_ByPrivateKey");
  BytesPtr signature_holder(signature);
  if (rc != KELU_OK) return rc;
  BytesPtr cert_der;
  int nDERPubCertSize = 0;
  rc = EncodeDer(KELU_HERE, i2d_X509, static_cast<const X509 *>(cert.get()), "i2d_X509",
                 "nDERPubCertSize <= 0", &cert_der, &nDERPubCertSize);
  if (rc != KELU_OK) return rc;
  rc = Encode_PKCS7Signature(cert_der.get(), nDERPubCertSize, nullptr, 0, nullptr, false,
                             kSignedDataOid, kDataOid, digest_oid, nullptr, encryption_oid,
                             signature, static_cast<int>(signature_size),
                             SIGNATURE_ENCODED_OCTET_STRING, nullptr, ppbyDERSignature,
                             pnDERSignatureSize, nullptr, nullptr);
  return TraceCheck(KELU_HERE, rc == KELU_OK, "Encode_PKCS7Signature", rc, "nResult != KELU_OK");
}

int RSA_SignFile_PKCS7Detached(FILE *fpSourceFile, FILE *fpPFXFile, const char *pszPFXPwd,
                               int nHashNID, bool bAccurate, unsigned long dwBase64Flags,
                               char **ppszBase64Signature) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters(SourceFile).",
                     "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = CheckFile(KELU_HERE, fpPFXFile, "check parameters(PFXFile).", "NULL == fpPFXFile");
  if (rc != KELU_OK) return rc;
  rc = CheckTextOutput(KELU_HERE, ppszBase64Signature);
  if (rc != KELU_OK) return rc;
  unsigned char *der = nullptr;
  int der_size = 0;
  rc = RSA_SignFile_PKCS7Detached_ByPFX(fpSourceFile, fpPFXFile, pszPFXPwd, nHashNID, bAccurate,
                                        &der, &der_size);
  return HandOutAsText(KELU_HERE, rc, "RSA_SignFile_PKCS7Detached_ByPFX", der, der_size,
                       dwBase64Flags, ppszBase64Signature, nullptr, "nResult != KELU_OK");
}

int RSA_VerifyFileSignature_DERPKCS7Detached(const unsigned char *pbyDERSignature,
                                             int nDERSignatureSize, FILE *fpSourceFile,
                                             unsigned char **ppbySignCert, int *pnSignCertSize) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "Check parameter(fpSourceFile)",
                     "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  unsigned char *cert = nullptr, *signature = nullptr, *source = nullptr, *attributes = nullptr;
  int cert_size = 0, signature_size = 0, nSourceSize = 0, attributes_size = 0;
  char *digest_oid = nullptr;
  int digest_oid_length = 0;
  rc = ParsePKCS7Signature(pbyDERSignature, nDERSignatureSize, &cert, &cert_size, &signature,
                           &signature_size, &source, &nSourceSize, &digest_oid,
                           &digest_oid_length, nullptr, nullptr, &attributes, &attributes_size,
                           nullptr, nullptr, 1);
  BytesPtr cert_holder(cert), signature_holder(signature), source_holder(source),
      attributes_holder(attributes);
  TextPtr digest_holder(digest_oid);
  rc = NamedStep(KELU_HERE, rc, "ParsePKCS7Signature");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, source == nullptr && nSourceSize == 0,
                  "Check PKCS7 attached signature", KELU_ERR_PKCS7_FORMAT,
                  "NULL != pbySource || 0 != nSourceSize");
  if (rc != KELU_OK) return rc;
  // The file's digest is what the key signed only without signed attributes; with them the
  // signature is over the attributes, which this verification does not read.
  rc = TraceCheck(KELU_HERE, attributes == nullptr && attributes_size == 0,
                  "Check PKCS7 signed attributes", KELU_ERR_PKCS7_FORMAT,
                  "NULL != pbySignedAttrs || 0 != nSignedAttrsSize");
  if (rc != KELU_OK) return rc;
  const int nHashID = OBJ_txt2nid(digest_oid);
  rc = CheckLibraryCall(KELU_HERE, nHashID != NID_undef, "OBJ_txt2nid", KELU_ERR_PKCS7_FORMAT,
                        "NID_undef == nHashID");
  if (rc != KELU_OK) return rc;
  rc = NamedStep(KELU_HERE,
                 RSA_VerifyFileSignature_PKCS1_ByDERCertContent(fpSourceFile, cert, cert_size,
                                                                nHashID, signature,
                                                                signature_size),
                 "RSA_VerifyFileSignature_PKCS1_ByCertContent");
  if (rc != KELU_OK) return rc;
  Output{ppbySignCert, pnSignCertSize}.Give(&cert_holder, cert_size);
  return KELU_OK;
}

int RSA_VerifyFileSignature_PKCS7Detached(const char *pszBase64PKCS7DetachedSignature,
                                          FILE *fpSourceFile, unsigned char **ppbySignCert,
                                          int *pnSignCertSize) {
  BytesPtr der;
  int der_size = 0;
  int rc = DecodeText(KELU_HERE, pszBase64PKCS7DetachedSignature,
                      "Base64DecodeEx(pszBase64PKCS7DetachedSignature)", &der, &der_size);
  if (rc != KELU_OK) return rc;
  unsigned char *cert = nullptr;
  int cert_size = 0;
  rc = RSA_VerifyFileSignature_DERPKCS7Detached(der.get(), der_size, fpSourceFile, &cert,
                                                &cert_size);
  BytesPtr cert_holder(cert);
  rc = NamedStep(KELU_HERE, rc, "RSA_VerifyFileSignature_DERPKCS7Detached");
  if (rc != KELU_OK) return rc;
  Output{ppbySignCert, pnSignCertSize}.Give(&cert_holder, cert_size);
  return KELU_OK;
}
