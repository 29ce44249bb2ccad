#include "ORVA.h"

#include <openssl/crypto.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>
#include <strings.h>

#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "Base64Utility.h"
#include "CertificateOperations.h"
#include "DataEncryption.h"
#include "DataSigning.h"
#include "HexReader.h"
#include "KeluLimits.h"
#include "Misc.h"
#include "OperationShape.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "RSADataEncryption.h"
#include "RSADataSigning.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "SecretBytes.h"
#include "kelu_zlog.h"

int Initialize(void) {
  const kelu::toolkit::CallBoundary boundary;
  kelu_log_init_ex("./kelulog.conf");  // without a configuration the toolkit runs unlogged
  return kelu::SMKernelInitialize();
}

int Uninitialize(void) {
  const kelu::toolkit::CallBoundary boundary;
  int result = kelu::SMKernelUninitialize();
  kelu_log_fini();
  return result;
}

void FreeMemory(void *p) { delete[] static_cast<unsigned char *>(p); }

// ---- Signing and verification ------------------------------------------------------------

namespace {

using kelu::toolkit::AsymAlgorithm;
using kelu::toolkit::FilePtr;
using kelu::toolkit::FinishOperation;

constexpr char kSM2SignatureOid[] = "1.2.156.10197.1.301.1";
constexpr bool kWithZValue = true;

// How a function checks and dumps pszHashAlg on its RSA path.
struct HashArgument {
  const char *step;
  const char *reason;
  const char *dump;  // the dump line before the name
};
const HashArgument kSignHash = {"Check parameter(pszHashAlg)",
                                "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))",
                                "Hash algorithm : "};
const HashArgument kSignDetachedHash = {"Check parameter(pszHashAlg)",
                                        "NULL == pszHashAlg || 0 == strlen(pszHashAlg)",
                                        "Hash algorithm : "};
const HashArgument kVerifyHash = {"Check parameter(pszHashAlg).",
                                  "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))",
                                  "Hash algorithm : "};
const HashArgument kSignFileHash = {"Check parameter(pszHashAlg).",
                                    "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))", "HashAlg: "};

// The digest identifier of the RSA path's hash name.
int ChooseRsaHash(const TraceSite &site, const char *name, const HashArgument &argument,
                  int *nid) {
  KELU_RETURN_IF_FAILED(
      kelu::toolkit::CheckTextParameter(site, name, argument.step, argument.reason));
  TRACE(KELU_TRACE_INFO, "%s%s", argument.dump, name);
  *nid = kelu::toolkit::ChooseHashAlgorithm(name);
  if (*nid == 0) return kelu::toolkit::RefuseAlgorithm(site, "Invalid hash algorithm.");
  return KELU_OK;
}

// A text's length for an operation that takes one; a longer text than an int counts is
// refused there as a negative length.
int LengthOf(const char *text) {
  const size_t length = std::strlen(text);
  return length <= static_cast<size_t>(INT_MAX) ? static_cast<int>(length) : -1;
}

// The data signers after their checks: the dumps and the key file, opened before the name is
// looked at.
int OpenSigningKeyFile(const TraceSite &site, const char *pszAlgorithm,
                       const char *pszPFXFilePath, FilePtr *fpPFX) {
  TRACE(KELU_TRACE_INFO, "Sign algorithm:%s", pszAlgorithm);
  TRACE(KELU_TRACE_INFO, "PFX file path:%s", pszPFXFilePath);
  return kelu::toolkit::OpenNamedFile(site, pszPFXFilePath, "rb", fpPFX, "Open PFX file.",
                                      "NULL == fpPFX");
}

// SignData_PKCS7Detached and SignData_PKCS7Attached after their checks.
int SignDataPkcs7(const TraceSite &site, const char *pszAlgorithm,
                  const unsigned char *pbySourceData, int nSourceSize, const char *pszPFXFilePath,
                  const char *pszPFXPwd, const char *pszHashAlg, bool attached,
                  const HashArgument &hash, char **signature) {
  *signature = nullptr;
  FilePtr fpPFX;
  KELU_RETURN_IF_FAILED(OpenSigningKeyFile(site, pszAlgorithm, pszPFXFilePath, &fpPFX));
  int nid = 0;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case AsymAlgorithm::kSM2:
      return FinishOperation(
          site, "SignData_PKCS7_BySM2PFX",
          SignData_PKCS7_BySM2PFX(pbySourceData, nSourceSize, fpPFX.get(), pszPFXPwd, attached,
                                  signature, nullptr, ATL_BASE64_FLAG_NOCRLF, kWithZValue,
                                  SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, kSM2SignatureOid),
          KELU_ERR_SIGN);
    case AsymAlgorithm::kRSA:
      KELU_RETURN_IF_FAILED(ChooseRsaHash(site, pszHashAlg, hash, &nid));
      return FinishOperation(site, "RSA_SignData_PKCS7",
                             RSA_SignData_PKCS7(pbySourceData, nSourceSize, fpPFX.get(), pszPFXPwd,
                                                nid, attached, ATL_BASE64_FLAG_NOCRLF, signature,
                                                nullptr),
                             KELU_ERR_SIGN);
    default:
      return kelu::toolkit::RefuseAlgorithm(site, "Invalid sign algorithm.");
  }
}

// A buffer a verifier hands out, released unless it is passed on.
struct Handed {
  unsigned char *data = nullptr;
  int size = 0;
  Handed() = default;
  Handed(const Handed &) = delete;
  Handed &operator=(const Handed &) = delete;
  ~Handed() { delete[] data; }
  unsigned char *release() {
    unsigned char *p = data;
    data = nullptr;
    return p;
  }
};

// The signer's certificate as one line of Base64 into *text, when text is given.
int HandOutSignerCert(const TraceSite &site, const Handed &cert, char **text) {
  if (text == nullptr) return KELU_OK;
  return kelu::toolkit::EncodeBase64Text(site, cert.data, cert.size, text);
}

}  // namespace

int SignData_PKCS1(const char *pszAlgorithm, const unsigned char *pbySourceData, int nSourceSize,
                   const char *pszPFXFilePath, const char *pszPFXPwd, const char *pszHashAlg,
                   char **ppszBase64PKCS1Signature) {
  const kelu::toolkit::CallBoundary boundary;
  using kelu::toolkit::CheckTextParameter;
  KELU_RETURN_IF_FAILED(CheckTextParameter(KELU_HERE, pszAlgorithm, "Check parameter(pszAlgorithm)",
                                           "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"));
  KELU_RETURN_IF_FAILED(kelu::toolkit::CheckDataParameter(
      KELU_HERE, pbySourceData, nSourceSize, "Check parameter(pbySourceData and nSourceSize)",
      "(NULL == pbySourceData || 0 == nSourceSize)"));
  KELU_RETURN_IF_FAILED(
      CheckTextParameter(KELU_HERE, pszPFXFilePath, "Check parameter(pszPFxFilePath)",
                         "(NULL == pszPFXFilePath || 0 == strlen(pszPFXFilePath))"));
  KELU_CHECK_OUTPUT(ppszBase64PKCS1Signature);
  *ppszBase64PKCS1Signature = nullptr;
  FilePtr fpPFX;
  KELU_RETURN_IF_FAILED(OpenSigningKeyFile(KELU_HERE, pszAlgorithm, pszPFXFilePath, &fpPFX));
  int nid = 0;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case AsymAlgorithm::kSM2:
      return FinishOperation(
          KELU_HERE, "SignData_PKCS1_BySM2PFX",
          SignData_PKCS1_BySM2PFX(pbySourceData, nSourceSize, fpPFX.get(), pszPFXPwd,
                                  ppszBase64PKCS1Signature, nullptr, ATL_BASE64_FLAG_NOCRLF,
                                  kWithZValue, PKCS1_SIGNATURE_ENCODED_SM2_Q1),
          KELU_ERR_SIGN);
    case AsymAlgorithm::kRSA:
      KELU_RETURN_IF_FAILED(ChooseRsaHash(KELU_HERE, pszHashAlg, kSignHash, &nid));
      return FinishOperation(KELU_HERE, "RSA_SignData_PKCS1",
                             RSA_SignData_PKCS1(pbySourceData, nSourceSize, fpPFX.get(), pszPFXPwd,
                                                nid, ATL_BASE64_FLAG_NOCRLF,
                                                ppszBase64PKCS1Signature, nullptr),
                             KELU_ERR_SIGN);
    default:
      return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "Invalid sign algorithm.");
  }
}

int SignData_PKCS7Detached(const char *pszAlgorithm, const unsigned char *pbySourceData,
                           int nSourceSize, const char *pszPFXFilePath, const char *pszPFXPwd,
                           const char *pszHashAlg, char **ppszBase64PKCS7DetachedSignature) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_DATA(pbySourceData, nSourceSize);
  KELU_CHECK_TEXT(pszPFXFilePath);
  KELU_CHECK_OUTPUT(ppszBase64PKCS7DetachedSignature);
  return SignDataPkcs7(KELU_HERE, pszAlgorithm, pbySourceData, nSourceSize, pszPFXFilePath,
                       pszPFXPwd, pszHashAlg, false, kSignDetachedHash,
                       ppszBase64PKCS7DetachedSignature);
}

int SignData_PKCS7Attached(const char *pszAlgorithm, const unsigned char *pbySourceData,
                           int nSourceSize, const char *pszPFXFilePath, const char *pszPFXPwd,
                           const char *pszHashAlg, char **ppszBase64PKCS7AttachedSignature) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_DATA(pbySourceData, nSourceSize);
  KELU_CHECK_TEXT(pszPFXFilePath);
  KELU_CHECK_OUTPUT(ppszBase64PKCS7AttachedSignature);
  return SignDataPkcs7(KELU_HERE, pszAlgorithm, pbySourceData, nSourceSize, pszPFXFilePath,
                       pszPFXPwd, pszHashAlg, true, kSignHash, ppszBase64PKCS7AttachedSignature);
}

int VerifyDataSignature_PKCS1(const char *pszAlgorithm, const unsigned char *pbySourceData,
                              int nSourceSize, const char *pszBase64CertContent,
                              const char *pszHashAlg, const char *pszBase64PKCS1Signature) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_DATA(pbySourceData, nSourceSize);
  KELU_CHECK_TEXT(pszBase64CertContent);
  KELU_CHECK_TEXT(pszBase64PKCS1Signature);
  TRACE(KELU_TRACE_INFO, "Sign algorithm:%s", pszAlgorithm);
  int nid = 0;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case AsymAlgorithm::kSM2:
      return FinishOperation(
          KELU_HERE, "VerifySignature_PKCS1_ByCert",
          VerifySignature_PKCS1_ByCert(pbySourceData, nSourceSize, pszBase64CertContent,
                                       LengthOf(pszBase64CertContent), pszBase64PKCS1Signature,
                                       LengthOf(pszBase64PKCS1Signature), kWithZValue),
          KELU_ERR_BAD_SIGNATURE);
    case AsymAlgorithm::kRSA:
      KELU_RETURN_IF_FAILED(ChooseRsaHash(KELU_HERE, pszHashAlg, kVerifyHash, &nid));
      return FinishOperation(KELU_HERE, "RSA_VerifyDataSignature_PKCS1",
                             RSA_VerifyDataSignature_PKCS1(pbySourceData, nSourceSize,
                                                           pszBase64CertContent, nid,
                                                           pszBase64PKCS1Signature),
                             KELU_ERR_BAD_SIGNATURE);
    default:
      return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "Invalid sign algorithm.");
  }
}

int VerifyDataSignature_PKCS7Detached(const char *pszAlgorithm,
                                      const unsigned char *pbySourceData, int nSourceSize,
                                      const char *pszBase64PKCS7DetachedSignature,
                                      char **ppszBase64SignCert) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_DATA(pbySourceData, nSourceSize);
  KELU_CHECK_TEXT(pszBase64PKCS7DetachedSignature);
  if (ppszBase64SignCert != nullptr) *ppszBase64SignCert = nullptr;
  TRACE(KELU_TRACE_INFO, "Sign algorithm:%s", pszAlgorithm);
  Handed cert;
  int rc;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case AsymAlgorithm::kSM2:
      rc = FinishOperation(KELU_HERE, "VerifySignature_PKCS7Detached",
                           VerifySignature_PKCS7Detached(
                               pszBase64PKCS7DetachedSignature,
                               LengthOf(pszBase64PKCS7DetachedSignature), pbySourceData,
                               nSourceSize, &cert.data, &cert.size, kWithZValue),
                           KELU_ERR_BAD_SIGNATURE);
      break;
    case AsymAlgorithm::kRSA:
      rc = FinishOperation(KELU_HERE, "RSA_VerifyDataSignature_PKCS7Detached",
                           RSA_VerifyDataSignature_PKCS7Detached(pszBase64PKCS7DetachedSignature,
                                                                 pbySourceData, nSourceSize,
                                                                 &cert.data, &cert.size),
                           KELU_ERR_BAD_SIGNATURE);
      break;
    default:
      return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "Invalid sign algorithm.");
  }
  KELU_RETURN_IF_FAILED(rc);
  return HandOutSignerCert(KELU_HERE, cert, ppszBase64SignCert);
}

int VerifyDataSignature_PKCS7Attached(const char *pszAlgorithm,
                                      const char *pszBase64PKCS7AttachedSignature,
                                      char **ppszBase64SignCert, unsigned char **ppbySourceData,
                                      int *pnSourceDataLen) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_TEXT(pszBase64PKCS7AttachedSignature);
  if (ppszBase64SignCert != nullptr) *ppszBase64SignCert = nullptr;
  if (ppbySourceData != nullptr) *ppbySourceData = nullptr;
  if (pnSourceDataLen != nullptr) *pnSourceDataLen = 0;
  TRACE(KELU_TRACE_INFO, "Sign algorithm:%s", pszAlgorithm);
  Handed content, cert;
  // Every name but "SM2" takes the RSA path: this function refuses no name.
  if (kelu::toolkit::ChooseAlgorithm(pszAlgorithm) == AsymAlgorithm::kSM2) {
    KELU_RETURN_IF_FAILED(FinishOperation(
        KELU_HERE, "VerifySignature_PKCS7Attached",
        VerifySignature_PKCS7Attached(pszBase64PKCS7AttachedSignature,
                                      LengthOf(pszBase64PKCS7AttachedSignature), &content.data,
                                      &content.size, &cert.data, &cert.size, kWithZValue),
        KELU_ERR_BAD_SIGNATURE));
  } else {
    KELU_RETURN_IF_FAILED(FinishOperation(
        KELU_HERE, "RSA_VerifyDataSignature_PKCS7Attached",
        RSA_VerifyDataSignature_PKCS7Attached(pszBase64PKCS7AttachedSignature, &content.data,
                                              &content.size, &cert.data, &cert.size),
        KELU_ERR_BAD_SIGNATURE));
  }
  KELU_RETURN_IF_FAILED(HandOutSignerCert(KELU_HERE, cert, ppszBase64SignCert));
  if (ppbySourceData != nullptr) *ppbySourceData = content.release();
  if (pnSourceDataLen != nullptr) *pnSourceDataLen = content.size;
  return KELU_OK;
}

int SignFile_PKCS7Detached(const char *pszAlgorithm, const char *pszSourceFilePath,
                           const char *pszPFXFilePath, const char *pszPFXPwd,
                           const char *pszHashAlg, char **ppszBase64PKCS7DetachedSignature) {
  const kelu::toolkit::CallBoundary boundary;
  using kelu::toolkit::OpenNamedFile;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_TEXT(pszSourceFilePath);
  KELU_CHECK_TEXT(pszPFXFilePath);
  KELU_CHECK_OUTPUT(ppszBase64PKCS7DetachedSignature);
  FilePtr fpSource, fpPFX;
  KELU_RETURN_IF_FAILED(OpenNamedFile(KELU_HERE, pszSourceFilePath, "rb", &fpSource,
                                      "fopen(pszSourceFile)", "NULL == fpSource"));
  KELU_RETURN_IF_FAILED(OpenNamedFile(KELU_HERE, pszPFXFilePath, "rb", &fpPFX,
                                      "fopen(pszPFXFilePath)", "NULL == fpPFX"));
  // The output stays as it was until the operation hands its text over.
  int nid = 0;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case AsymAlgorithm::kSM2:
      return FinishOperation(
          KELU_HERE, "SignFile_PKCS7Detached_BySM2PFX",
          SignFile_PKCS7Detached_BySM2PFX(fpSource.get(), fpPFX.get(), pszPFXPwd,
                                          ppszBase64PKCS7DetachedSignature, nullptr,
                                          ATL_BASE64_FLAG_NOCRLF, kWithZValue,
                                          SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, kSM2SignatureOid),
          KELU_ERR_FAILED);
    case AsymAlgorithm::kRSA:
      KELU_RETURN_IF_FAILED(ChooseRsaHash(KELU_HERE, pszHashAlg, kSignFileHash, &nid));
      // false: rsaEncryption as the digest-encryption algorithm.
      return FinishOperation(
          KELU_HERE, "RSA_SignFile_PKCS7Detached",
          RSA_SignFile_PKCS7Detached(fpSource.get(), fpPFX.get(), pszPFXPwd, nid, false,
                                     ATL_BASE64_FLAG_NOCRLF, ppszBase64PKCS7DetachedSignature),
          KELU_ERR_FAILED);
    default:
      TRACE(KELU_TRACE_INFO, "Algorithm: %s", pszAlgorithm);
      return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "pszAlgorithm Error");
  }
}

int VerifyFileSignature_PKCS7Detached(const char *pszAlgorithm, const char *pszSourceFilePath,
                                      const char *pszBase64PKCS7DetachedSignature,
                                      char **ppszBase64SignCert) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_TEXT(pszSourceFilePath);
  KELU_CHECK_TEXT(pszBase64PKCS7DetachedSignature);
  if (ppszBase64SignCert != nullptr) *ppszBase64SignCert = nullptr;
  FilePtr fpSource;
  KELU_RETURN_IF_FAILED(kelu::toolkit::OpenNamedFile(KELU_HERE, pszSourceFilePath, "rb", &fpSource,
                                                     "fopen(pszSourceFile)", "NULL == fpSource"));
  Handed cert;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case AsymAlgorithm::kSM2:
      KELU_RETURN_IF_FAILED(FinishOperation(
          KELU_HERE, "SM2_VerifyFileSignature_PKCS7Detached",
          SM2_VerifyFileSignature_PKCS7Detached(pszBase64PKCS7DetachedSignature,
                                                LengthOf(pszBase64PKCS7DetachedSignature),
                                                fpSource.get(), &cert.data, &cert.size,
                                                kWithZValue),
          KELU_ERR_FAILED));
      break;
    case AsymAlgorithm::kRSA:
      KELU_RETURN_IF_FAILED(FinishOperation(
          KELU_HERE, "RSA_VerifyFileSignature_PKCS7Detached",
          RSA_VerifyFileSignature_PKCS7Detached(pszBase64PKCS7DetachedSignature, fpSource.get(),
                                                &cert.data, &cert.size),
          KELU_ERR_FAILED));
      break;
    default:
      TRACE(KELU_TRACE_INFO, "Algorithm: %s", pszAlgorithm);
      return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "pszAlgorithm Error");
  }
  // The certificate is encoded even when it is not wanted; a failed encoding fails the call.
  char *text = nullptr;
  KELU_RETURN_IF_FAILED(kelu::toolkit::EncodeBase64Text(KELU_HERE, cert.data, cert.size, &text));
  if (ppszBase64SignCert != nullptr) {
    *ppszBase64SignCert = text;
  } else {
    FreeMemory(text);
  }
  return KELU_OK;
}

// ---- Certificates ------------------------------------------------------------------------

namespace {

using kelu::toolkit::FilePtr;
using kelu::toolkit::FinishOperation;
using kelu::toolkit::OwnedBytes;

// A field of the certificate for GetCertificateInfo as a new[] text. Each reader writes
// its step lines at the exported function's site.
using InfoReader = int (*)(const TraceSite &site, X509 *cert, char **text);

// "SM2" or "RSA" into a zeroed 4-byte text (empty for any other type value).
int ReadCertType(const TraceSite &site, X509 *cert, char **text) {
  int type = 0;
  int rc = FinishOperation(site, "GetX509CertType", kelu::GetX509CertType(cert, &type),
                           KELU_ERR_CERT_INFO);
  if (rc != KELU_OK) return rc;
  std::unique_ptr<char[]> out(new (std::nothrow) char[4]());
  if (out == nullptr)
    return kelu::toolkit::ReportNoMemory(site, "!pszInfoContent", KELU_ERR_CERT_INFO);
  if (type == CERT_TYPE_SM2) std::memcpy(out.get(), "SM2", 3);
  if (type == CERT_TYPE_RSA) std::memcpy(out.get(), "RSA", 3);
  *text = out.release();
  return KELU_OK;
}

// The text readers allocate their own buffer.
template <int (*Read)(X509 *, char **, int *)>
int ReadText(const TraceSite &site, const char *reader, X509 *cert, char **text) {
  char *out = nullptr;
  int length = 0;
  int rc = FinishOperation(site, reader, Read(cert, &out, &length), KELU_ERR_CERT_INFO);
  if (rc == KELU_OK) *text = out;
  return rc;
}

int ReadSubjectDN(const TraceSite &site, X509 *cert, char **text) {
  return ReadText<kelu::GetX509SubjectDN>(site, "GetX509SubjectDN", cert, text);
}
int ReadSubjectCN(const TraceSite &site, X509 *cert, char **text) {
  return ReadText<kelu::GetX509SubjectCN>(site, "GetX509SubjectCN", cert, text);
}
int ReadIssuerDN(const TraceSite &site, X509 *cert, char **text) {
  return ReadText<kelu::GetX509IssuerDN>(site, "GetX509IssuerDN", cert, text);
}
int ReadSerialNumber(const TraceSite &site, X509 *cert, char **text) {
  return ReadText<kelu::GetX509SerialNumber>(site, "GetX509SerialNumber", cert, text);
}

// The seconds as ctime_r writes them in the local time zone, without the line feed.
int FormatLocalTime(const TraceSite &site, time_t seconds, char **text) {
  std::unique_ptr<char[]> out(new (std::nothrow) char[32]());
  if (out == nullptr)
    return kelu::toolkit::ReportNoMemory(site, "!pszInfoContent", KELU_ERR_CERT_INFO);
  // ctime_r fails for a year it cannot print in its 26 bytes.
  int rc = TraceCheck(site, ctime_r(&seconds, out.get()) != nullptr && out[0] != '\0', "ctime_r",
                      KELU_ERR_CERT_INFO, "NULL == ctime_r(&tTime, pszInfoContent)");
  if (rc != KELU_OK) return rc;
  char *feed = std::strchr(out.get(), '\n');
  if (feed != nullptr) *feed = '\0';
  *text = out.release();
  return KELU_OK;
}

template <int (*Read)(X509 *, time_t *)>
int ReadTime(const TraceSite &site, const char *reader, X509 *cert, char **text) {
  time_t seconds = 0;
  int rc = FinishOperation(site, reader, Read(cert, &seconds), KELU_ERR_CERT_INFO);
  if (rc != KELU_OK) return rc;
  return FormatLocalTime(site, seconds, text);
}

int ReadNotBefore(const TraceSite &site, X509 *cert, char **text) {
  return ReadTime<kelu::GetX509NotBefore>(site, "GetX509NotBefore", cert, text);
}
int ReadNotAfter(const TraceSite &site, X509 *cert, char **text) {
  return ReadTime<kelu::GetX509NotAfter>(site, "GetX509NotAfter", cert, text);
}

struct InfoType {
  const char *name;
  InfoReader read;
};

const InfoType kInfoTypes[] = {
    {"CertType", ReadCertType}, {"SubjectDN", ReadSubjectDN},       {"SubjectCN", ReadSubjectCN},
    {"IssuerDN", ReadIssuerDN}, {"SerialNumber", ReadSerialNumber}, {"ValidFrom", ReadNotBefore},
    {"ValidTo", ReadNotAfter},
};

InfoReader FindInfoReader(const char *name) {
  for (const InfoType &row : kInfoTypes)
    if (strcasecmp(name, row.name) == 0) return row.read;
  return nullptr;
}

// The open CA certificate files of a "|"-joined list of paths, in their order.
int OpenTrustedCAFiles(const TraceSite &site, const char *paths, std::vector<FilePtr> *files) {
  std::vector<char *> pieces;
  int rc = SplitString(paths, "|", pieces);
  rc = TraceCheck(site, rc == KELU_OK, "SplitString", rc, "KELU_OK != nResult");
  for (size_t i = 0; rc == KELU_OK && i < pieces.size(); ++i) {
    FilePtr file;
    rc = kelu::toolkit::OpenNamedFile(site, pieces[i], "rb", &file,
                                      "Open trusted CA certificate file.", "NULL == fpTrustCA");
    if (rc == KELU_OK) files->push_back(std::move(file));
  }
  CleanupStringVector(pieces);
  return rc;
}

struct OpensslFree {
  void operator()(unsigned char *p) const { OPENSSL_free(p); }
};

// The certificate of a PKCS#12 file as DER (the RSA path of GetPublicCertFromPFX).
int ReadPKCS12Certificate(const TraceSite &site, FILE *file, const char *password,
                          OwnedBytes *der) {
  X509 *parsed = nullptr;
  int rc = FinishOperation(site, "ParsePFXFile",
                           kelu::ParsePFXFile(file, password, nullptr, &parsed, nullptr),
                           KELU_ERR_FAILED);
  if (rc != KELU_OK) return rc;
  kelu::X509Ptr cert(parsed);
  unsigned char *encoded = nullptr;
  const int size = cert != nullptr ? i2d_X509(cert.get(), &encoded) : 0;
  std::unique_ptr<unsigned char, OpensslFree> owner(encoded);
  rc = TraceCheckOpenssl(site, size > 0, "i2d_X509", KELU_ERR_FAILED, "nDERCertDataSize <= 0");
  if (rc != KELU_OK) return rc;
  der->data.reset(new (std::nothrow) unsigned char[static_cast<size_t>(size)]);
  if (der->data == nullptr) return kelu::toolkit::ReportNoMemory(site, "!pbyDERCertData");
  std::memcpy(der->data.get(), encoded, static_cast<size_t>(size));
  der->size = size;
  return KELU_OK;
}

// The certificate bytes of an SM2 key file (the SM2 path of GetPublicCertFromPFX).
int ReadSM2PFXCertificate(const TraceSite &site, FILE *file, OwnedBytes *cert) {
  static const kelu::ops::WholeFileTexts kTexts = {"!pszBase64SM2PFX", "ferror(fpPFXFile)", false};
  OwnedBytes der;
  int rc = ReadSM2PFXFile(site, file, kTexts, &der.data, &der.size);
  if (rc != KELU_OK) return rc;
  unsigned char *bytes = nullptr;
  int size = 0;
  rc = ParseSM2PFX(der.data.get(), der.size, nullptr, nullptr, &bytes, &size);
  rc = TraceCheck(site, rc == KELU_OK, "ParseSM2PFX", rc, "nResult != KELU_OK");
  if (rc != KELU_OK) return rc;
  cert->data.reset(bytes);
  cert->size = size;
  return KELU_OK;
}

}  // namespace

namespace {

// VerifyCertificate after its checks: the files the flag asks for, then the verification.
int VerifyWithNamedFiles(const TraceSite &site, const OwnedBytes &cert, unsigned int flag,
                         const char *pszTrustedCACertFilePath, const char *pszCRLFilePath) {
  FilePtr fpCRL;
  if (flag & CERT_VERIFY_CRL) {
    KELU_RETURN_IF_FAILED(kelu::toolkit::CheckTextParameter(
        site, pszCRLFilePath, "Check parameter(pszCRLFilePath).",
        "(NULL == pszCRLFilePath || 0 == strlen(pszCRLFilePath))"));
    TRACE(KELU_TRACE_INFO, "CRL file path:%s", pszCRLFilePath);
    KELU_RETURN_IF_FAILED(kelu::toolkit::OpenNamedFile(site, pszCRLFilePath, "rb", &fpCRL,
                                                       "Open CRL file.", "NULL == fpCRL"));
  }
  std::vector<FilePtr> caFiles;
  if (flag & CERT_VERIFY_CHAIN) {
    KELU_RETURN_IF_FAILED(kelu::toolkit::CheckTextParameter(
        site, pszTrustedCACertFilePath, "Check parameter(pszTrustedCACertFilePath).",
        "(NULL == pszTrustedCACertFilePath || 0 == strlen(pszTrustedCACertFilePath))"));
    TRACE(KELU_TRACE_INFO, "Trusted CA certificate file path:%s", pszTrustedCACertFilePath);
    KELU_RETURN_IF_FAILED(OpenTrustedCAFiles(site, pszTrustedCACertFilePath, &caFiles));
  }
  std::vector<FILE *> caStreams;
  for (const FilePtr &file : caFiles) caStreams.push_back(file.get());
  int rc = kelu::VerifyCertificate(cert.data.get(), cert.size, flag, fpCRL.get(), caStreams);
  return FinishOperation(site, "VerifyCertificate", rc, KELU_ERR_VERIFY_CERT);
}

}  // namespace

int VerifyCertificate(const char *pszBase64CertContent, unsigned int nCertVerifyFlag,
                      const char *pszTrustedCACertFilePath, const char *pszCRLFilePath) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszBase64CertContent);
  OwnedBytes cert;
  KELU_RETURN_IF_FAILED(kelu::toolkit::DecodeBase64Text(KELU_HERE, pszBase64CertContent, &cert));
  TRACE(KELU_TRACE_INFO, "Certificate verify flag:%d", static_cast<int>(nCertVerifyFlag));
  // The lists of open files grow: no exception may leave this C function.
  try {
    return VerifyWithNamedFiles(KELU_HERE, cert, nCertVerifyFlag, pszTrustedCACertFilePath,
                                pszCRLFilePath);
  } catch (const std::bad_alloc &) {
    return kelu::toolkit::ReportNoMemory(KELU_HERE, "!vecTrustedCAFiles", KELU_ERR_VERIFY_CERT);
  }
}

int GetCertificateInfo(const char *pszBase64CertContent, const char *pszInfoType,
                       char **ppszInfoContent) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszBase64CertContent);
  KELU_CHECK_TEXT(pszInfoType);
  KELU_CHECK_OUTPUT(ppszInfoContent);
  *ppszInfoContent = nullptr;
  TRACE(KELU_TRACE_INFO, "Certificate info:%s", pszInfoType);

  OwnedBytes der;
  KELU_RETURN_IF_FAILED(
      kelu::toolkit::DecodeBase64Text(KELU_HERE, pszBase64CertContent, &der, KELU_ERR_CERT_INFO));
  X509 *parsed = nullptr;
  int rc = FinishOperation(KELU_HERE, "ConvertCertDataToX509",
                           kelu::ConvertCertDataToX509(der.data.get(), der.size, &parsed),
                           KELU_ERR_CERT_INFO);
  if (rc != KELU_OK) return rc;
  kelu::X509Ptr cert(parsed);

  InfoReader read = FindInfoReader(pszInfoType);
  if (read == nullptr) return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "Unsupported pszInfoType");
  return read(KELU_HERE, cert.get(), ppszInfoContent);
}

int GetPublicCertFromPFX(const char *pszAlgorithm, const char *pszPFXFilePath,
                         const char *pszPFXPwd, char **ppszBase64CertContent) {
  const kelu::toolkit::CallBoundary boundary;
  using kelu::toolkit::CheckTextParameter;
  KELU_RETURN_IF_FAILED(CheckTextParameter(KELU_HERE, pszAlgorithm, "Check parameter(pszAlgorithm)",
                                           "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"));
  KELU_RETURN_IF_FAILED(
      CheckTextParameter(KELU_HERE, pszPFXFilePath, "Check parameter(pszPFxFilePath)",
                         "(NULL == pszPFXFilePath || 0 == strlen(pszPFXFilePath))"));
  KELU_RETURN_IF_FAILED(kelu::toolkit::CheckOutputParameter(
      KELU_HERE, ppszBase64CertContent != nullptr, "check parameter(ppszBase64CertContent)",
      "NULL == ppszBase64CertContent"));
  TRACE(KELU_TRACE_INFO, "Algorithm:%s", pszAlgorithm);
  TRACE(KELU_TRACE_INFO, "PFX file path:%s", pszPFXFilePath);
  FilePtr fpPFXFile;
  KELU_OPEN_FILE(pszPFXFilePath, "rb", fpPFXFile);

  OwnedBytes cert;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case kelu::toolkit::AsymAlgorithm::kSM2:
      KELU_RETURN_IF_FAILED(ReadSM2PFXCertificate(KELU_HERE, fpPFXFile.get(), &cert));
      break;
    case kelu::toolkit::AsymAlgorithm::kRSA:
      KELU_RETURN_IF_FAILED(ReadPKCS12Certificate(KELU_HERE, fpPFXFile.get(), pszPFXPwd, &cert));
      break;
    default:
      return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "Invalid algorithm.");
  }
  return kelu::toolkit::EncodeBase64Text(KELU_HERE, cert.data.get(), cert.size,
                                         ppszBase64CertContent);
}

// ---- Envelopes ---------------------------------------------------------------------------

namespace {

using kelu::ops::SecretBytes;

// The SM4-ECB envelope: the SM2 envelope whose content is SM4-ECB with PKCS#7 padding under a
// fresh 16-byte key, without IV ("1.2.156.10197.1.104.1" with NULL parameters).

constexpr int SM4_KEY_LEN = 16;
constexpr int kSM4Block = 16;

int CheckEcbParameter(const TraceSite &site, bool passed, const char *step, const char *reason) {
  return TraceCheck(site, passed, step, KELU_ERR_INVALID_PARAMETER, reason);
}

int SM4_Encrypt_ECB(const unsigned char *pbyPlainData, int nPlainData,
                    const unsigned char *pbySymKey, int nSymKey,
                    unsigned char **ppbySM4EncryptedData, int *pnSM4EncryptedData) {
  KELU_RETURN_IF_FAILED(CheckEcbParameter(KELU_HERE, pbyPlainData != nullptr, "Check pbyPlainData",
                                          "NULL == pbyPlainData"));
  // The padded size must still be an int.
  KELU_RETURN_IF_FAILED(
      CheckEcbParameter(KELU_HERE, nPlainData >= 1 && nPlainData <= INT_MAX - kSM4Block,
                        "Check nPlainData", "nPlainData < 1 || nPlainData > INT_MAX - 16"));
  KELU_RETURN_IF_FAILED(CheckEcbParameter(KELU_HERE, pbySymKey != nullptr, "Check pbySymKey",
                                          "NULL == pbySymKey"));
  KELU_RETURN_IF_FAILED(CheckEcbParameter(KELU_HERE, nSymKey == SM4_KEY_LEN, "Check nSymKey",
                                          "SM4_KEY_LEN != nSymKey"));
  KELU_RETURN_IF_FAILED(CheckEcbParameter(
      KELU_HERE, ppbySM4EncryptedData != nullptr && pnSM4EncryptedData != nullptr,
      "Check ppbySM4EncryptedData", "NULL == ppbySM4EncryptedData"));
  const int padded_size = nPlainData / kSM4Block * kSM4Block + kSM4Block;
  SecretBytes padded(static_cast<size_t>(padded_size));
  if (!padded.valid()) return kelu::toolkit::ReportNoMemory(KELU_HERE, "!pbyPlainDataInput");
  const int n = padded_size - nPlainData;
  std::memcpy(padded.get(), pbyPlainData, static_cast<size_t>(nPlainData));
  std::memset(padded.get() + nPlainData, n, static_cast<size_t>(n));
  const int rc = SM4_Encrypt_Nopadding(padded.get(), padded_size, nullptr, 0, pbySymKey,
                                       SM4_KEY_LEN, SM4_ECB, ppbySM4EncryptedData,
                                       pnSM4EncryptedData);
  return TraceCheck(KELU_HERE, rc == KELU_OK, "SM4_Encrypt_Nopadding(ECB)", rc,
                    "KELU_OK != nResult");
}

int SM4_Decrypt_ECB(const unsigned char *pbySM4EncryptedData, int nSM4EncryptedData,
                    const unsigned char *pbySymKey, int nSymKey, unsigned char **ppbyPlainData,
                    int *pnPlainData) {
  KELU_RETURN_IF_FAILED(CheckEcbParameter(KELU_HERE, pbySM4EncryptedData != nullptr,
                                          "Check pbySM4EncryptedData",
                                          "NULL == pbySM4EncryptedData"));
  KELU_RETURN_IF_FAILED(CheckEcbParameter(KELU_HERE, pbySymKey != nullptr, "Check pbySymKey",
                                          "NULL == pbySymKey"));
  KELU_RETURN_IF_FAILED(CheckEcbParameter(KELU_HERE, nSymKey == SM4_KEY_LEN, "Check nSymKey",
                                          "SM4_KEY_LEN != nSymKey"));
  KELU_RETURN_IF_FAILED(CheckEcbParameter(KELU_HERE,
                                          ppbyPlainData != nullptr && pnPlainData != nullptr,
                                          "Check ppbyPlainData", "NULL == ppbyPlainData"));
  unsigned char *decrypted = nullptr;
  int nPlainData = 0;
  int rc = SM4_Decrypt_Nopadding(pbySM4EncryptedData, nSM4EncryptedData, nullptr, 0, pbySymKey,
                                 SM4_KEY_LEN, SM4_ECB, &decrypted, &nPlainData);
  SecretBytes plain(decrypted, static_cast<size_t>(nPlainData));
  KELU_RETURN_IF_FAILED(TraceCheck(KELU_HERE, rc == KELU_OK, "SM4_Decrypt_Nopadding(ECB)", rc,
                                   "KELU_OK != nResult"));
  KELU_RETURN_IF_FAILED(TraceCheck(KELU_HERE, nPlainData > 0, "nPlainData <= 0", KELU_ERR_FAILED,
                                   "0 >= nPlainData"));
  // The padding length is the last byte's value (0 removes nothing); a value beyond the
  // decrypted bytes cannot be padding.
  const int n = plain.get()[nPlainData - 1];
  KELU_RETURN_IF_FAILED(TraceCheck(KELU_HERE, n <= nPlainData, "Check padding", KELU_ERR_FAILED,
                                   "nPadding > nPlainData"));
  std::memset(plain.get() + nPlainData - n, 0, static_cast<size_t>(n));
  *pnPlainData = nPlainData - n;
  *ppbyPlainData = plain.release();
  return KELU_OK;
}

int EncryptEcbContent(const unsigned char *in, int in_size, const unsigned char * /*iv*/,
                      const unsigned char *key, unsigned char **out, int *out_size) {
  return SM4_Encrypt_ECB(in, in_size, key, SM4_KEY_LEN, out, out_size);
}

int DecryptEcbContent(const unsigned char *in, int in_size, const unsigned char * /*iv*/,
                      const unsigned char *key, unsigned char **out, int *out_size) {
  return SM4_Decrypt_ECB(in, in_size, key, SM4_KEY_LEN, out, out_size);
}

const kelu::ops::SM2EnvelopeContent kSM4ECBContent = {
    "1.2.156.10197.1.104.1",
    0,
    EncryptEcbContent,
    "SM4_Encrypt_ECB",
    DecryptEcbContent,
    "SM4_Decrypt_ECB",
    "Check Key and IV size",
    "16 != nKeyLength || 0 != nContentEncryptionAlgParameter",
    "nPlainDataLength <= 0",
    "0 >= nPlainDataLength",
};

int EncryptDataToDerCMSEnvelopeEx(const unsigned char *pbyPlainData, int nPlainDataSize,
                                  const unsigned char *pbyCert, int nCertSize,
                                  unsigned long fSM2EncEncodedType,
                                  unsigned char **ppbyDerCMSEnvelope, int *pnDerCMSEnvelopeSize) {
  return kelu::ops::MakeSM2Envelope(KELU_HERE, kSM4ECBContent, pbyPlainData, nPlainDataSize,
                                    pbyCert, nCertSize, fSM2EncEncodedType, ppbyDerCMSEnvelope,
                                    pnDerCMSEnvelopeSize);
}

int EncryptDataToBase64CMSEnvelopeEx(const unsigned char *pbyPlainData, int nPlainDataSize,
                                     const unsigned char *pbyCert, int nCertSize,
                                     unsigned long fSM2EncEncodedType,
                                     char **ppszBase64CMSEnvelope, int *pnBase64CMSEnvelopeSize,
                                     unsigned long dwBase64Flags) {
  return kelu::ops::MakeSM2EnvelopeText(
      KELU_HERE, EncryptDataToDerCMSEnvelopeEx, "EncryptDataToDerCMSEnvelopeEx", pbyPlainData,
      nPlainDataSize, pbyCert, nCertSize, fSM2EncEncodedType, ppszBase64CMSEnvelope,
      pnBase64CMSEnvelopeSize, dwBase64Flags);
}

int DecryptDerCMSEnvelopeDataEx(const unsigned char *pbyDerCMSEnvelope, int nDerCMSEnvelopeSize,
                                FILE *fpSM2PFXFile, const char *pszPFXPwd,
                                unsigned long fSM2EncEncodedType, unsigned char **ppbyPlainData,
                                int *pnPlainDataSize) {
  return kelu::ops::OpenSM2Envelope(KELU_HERE, kSM4ECBContent, pbyDerCMSEnvelope,
                                    nDerCMSEnvelopeSize, fpSM2PFXFile, pszPFXPwd,
                                    fSM2EncEncodedType, ppbyPlainData, pnPlainDataSize);
}

int DecryptBase64CMSEnvelopeDataEx(const char *pszBase64CMSEnvelope, int nBase64CMSEnvelopeSize,
                                   FILE *fpSM2PFXFile, const char *pszPFXPwd,
                                   unsigned long fSM2EncEncodedType,
                                   unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  return kelu::ops::OpenSM2EnvelopeText(
      KELU_HERE, DecryptDerCMSEnvelopeDataEx, "DecryptDerCMSEnvelopeDataEx(pbyPlainData)",
      pszBase64CMSEnvelope, nBase64CMSEnvelopeSize, fpSM2PFXFile, pszPFXPwd, fSM2EncEncodedType,
      ppbyPlainData, pnPlainDataSize);
}

// The symmetric names of the SM2 path and the envelope each makes.
using SM2TextMaker = int (*)(const unsigned char *, int, const unsigned char *, int, unsigned long,
                             char **, int *, unsigned long);
struct SM2ContentName {
  const char *name;
  SM2TextMaker make;
  const char *step;
};
const SM2ContentName kSM2ContentNames[] = {
    {"SM4_ECB", EncryptDataToBase64CMSEnvelopeEx, "EncryptDataToBase64CMSEnvelopeEx"},
    {"SM4_CBC", EncryptDataToBase64CMSEnvelope, "EncryptDataToBase64CMSEnvelope"},
};

// The symmetric names of the RSA path and their content ciphers.
struct RSAContentName {
  const char *name;
  int nid;
};
const RSAContentName kRSAContentNames[] = {{"3DES", NID_des_ede3_cbc}, {"RC4", NID_rc4}};

// The row of table whose name matches name without regard to case; null for none.
template <class Row, size_t N>
const Row *FindName(const Row (&table)[N], const char *name) {
  if (name == nullptr) return nullptr;
  for (const Row &row : table)
    if (strcasecmp(name, row.name) == 0) return &row;
  return nullptr;
}

// The SM2 envelope of the data under the content row's cipher.
int MakeSM2Envelope(const TraceSite &site, const SM2ContentName &content,
                    unsigned long key_encoding, const unsigned char *data, int size,
                    const OwnedBytes &cert, char **envelope) {
  char *text = nullptr;
  const int rc = content.make(data, size, cert.data.get(), cert.size, key_encoding, &text,
                              nullptr, ATL_BASE64_FLAG_NOCRLF);
  KELU_RETURN_IF_FAILED(FinishOperation(site, content.step, rc, KELU_ERR_ENCRYPT));
  *envelope = text;
  return KELU_OK;
}

int EncryptToSM2Envelope(const TraceSite &site, unsigned long key_encoding,
                         const char *pszSymEncAlg, const unsigned char *data, int size,
                         const OwnedBytes &cert, char **envelope) {
  const SM2ContentName *content = FindName(kSM2ContentNames, pszSymEncAlg);
  if (content == nullptr)
    return kelu::toolkit::RefuseAlgorithm(site, "Invalid symmetric encrypt algorithm.");
  return MakeSM2Envelope(site, *content, key_encoding, data, size, cert, envelope);
}

// The content cipher of the RSA path's symmetric name.
int ChooseRSAContent(const TraceSite &site, const char *pszSymEncAlg, int *nid) {
  const RSAContentName *content = FindName(kRSAContentNames, pszSymEncAlg);
  if (content == nullptr)
    return kelu::toolkit::RefuseAlgorithm(site, "Invalid symmetric encrypt algorithm.");
  *nid = content->nid;
  return KELU_OK;
}

// The RSA envelope of the data under the content cipher nid.
int MakeRSAEnvelope(const TraceSite &site, int nid, const unsigned char *data, int size,
                    const OwnedBytes &cert, char **envelope) {
  char *text = nullptr;
  const int rc = RSA_EncryptDataToCMSEnvelope(data, size, cert.data.get(), cert.size, nid,
                                              ATL_BASE64_FLAG_NOCRLF, &text, nullptr);
  KELU_RETURN_IF_FAILED(
      FinishOperation(site, "RSA_EncryptDataToCMSEnvelope", rc, KELU_ERR_ENCRYPT));
  *envelope = text;
  return KELU_OK;
}

int EncryptToRSAEnvelope(const TraceSite &site, const char *pszSymEncAlg,
                         const unsigned char *data, int size, const OwnedBytes &cert,
                         char **envelope) {
  KELU_CHECK_TEXT_AT(site, pszSymEncAlg);
  TRACE(KELU_TRACE_INFO, "Symmetric encrypt algorithm:%s", pszSymEncAlg);
  int nid = 0;
  KELU_RETURN_IF_FAILED(ChooseRSAContent(site, pszSymEncAlg, &nid));
  return MakeRSAEnvelope(site, nid, data, size, cert, envelope);
}

// EncryptDataToCMSEnvelope and EncryptDataToCMSEnvelopeEx, which differ in the encoding of the
// SM2-encrypted content key only.
int EncryptDataToEnvelope(const TraceSite &site, unsigned long key_encoding,
                          const char *pszAlgorithm, const unsigned char *pbyPlainData,
                          int nPlainDataSize, const char *pszBase64CertContent,
                          const char *pszSymEncAlg, char **ppszBase64CMSEnvelope) {
  KELU_CHECK_TEXT_AT(site, pszAlgorithm);
  KELU_CHECK_DATA_AT(site, pbyPlainData, nPlainDataSize);
  KELU_CHECK_TEXT_AT(site, pszBase64CertContent);
  KELU_CHECK_OUTPUT_AT(site, ppszBase64CMSEnvelope);
  *ppszBase64CMSEnvelope = nullptr;
  TRACE(KELU_TRACE_INFO, "Asymmetric encrypt algorithm:%s", pszAlgorithm);
  OwnedBytes cert;
  KELU_RETURN_IF_FAILED(kelu::toolkit::DecodeBase64Text(site, pszBase64CertContent, &cert));
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case kelu::toolkit::AsymAlgorithm::kSM2:
      return EncryptToSM2Envelope(site, key_encoding, pszSymEncAlg, pbyPlainData, nPlainDataSize,
                                  cert, ppszBase64CMSEnvelope);
    case kelu::toolkit::AsymAlgorithm::kRSA:
      return EncryptToRSAEnvelope(site, pszSymEncAlg, pbyPlainData, nPlainDataSize, cert,
                                  ppszBase64CMSEnvelope);
    default:
      return kelu::toolkit::RefuseAlgorithm(site, "Invalid asymmetric encrypt algorithm.");
  }
}

// The SM2 opening of one of the four decryption functions.
using SM2TextOpener = int (*)(const char *, int, FILE *, const char *, unsigned long,
                              unsigned char **, int *);
struct SM2Opening {
  SM2TextOpener open;
  const char *step;
  unsigned long key_encoding;
};
const SM2Opening kOpenCBC = {DecryptBase64CMSEnvelopeData, "DecryptBase64CMSEnvelopeData",
                             SM2_ENC_ENCODED_C1C2C3};
const SM2Opening kOpenCBCEx = {DecryptBase64CMSEnvelopeData, "DecryptBase64CMSEnvelopeData",
                               SM2_ENC_ENCODED_SM2CIPHER};
const SM2Opening kOpenECB = {DecryptBase64CMSEnvelopeDataEx, "DecryptBase64CMSEnvelopeDataEx",
                             SM2_ENC_ENCODED_C1C2C3};
const SM2Opening kOpenECBEx = {DecryptBase64CMSEnvelopeDataEx, "DecryptBase64CMSEnvelopeDataEx",
                               SM2_ENC_ENCODED_SM2CIPHER};

// A plaintext handed out by an opening.
struct Plaintext {
  unsigned char *data = nullptr;
  int size = 0;
};

int DecryptWithSM2KeyFile(const TraceSite &site, const SM2Opening &opening,
                          const char *pszBase64CMSEnvelope, FILE *key_file, const char *password,
                          Plaintext *plain) {
  const size_t length = std::strlen(pszBase64CMSEnvelope);
  KELU_RETURN_IF_FAILED(TraceCheck(site, length <= INT_MAX,
                                   "Check parameter(pszBase64CMSEnvelope).",
                                   KELU_ERR_INVALID_PARAMETER,
                                   "strlen(pszBase64CMSEnvelope) > INT_MAX"));
  const int rc = opening.open(pszBase64CMSEnvelope, static_cast<int>(length), key_file, password,
                              opening.key_encoding, &plain->data, &plain->size);
  return FinishOperation(site, opening.step, rc, KELU_ERR_DECRYPT);
}

int DecryptWithPKCS12File(const TraceSite &site, const char *pszBase64CMSEnvelope, FILE *pfx,
                          const char *password, Plaintext *plain) {
  const int rc = RSA_DecryptDataFromCMSEnvelope(pszBase64CMSEnvelope, pfx, password,
                                                &plain->data, &plain->size);
  return FinishOperation(site, "RSA_DecryptDataFromCMSEnvelope", rc, KELU_ERR_DECRYPT);
}

// The four decryption functions, which differ in their SM2 opening only.
int DecryptDataFromEnvelope(const TraceSite &site, const SM2Opening &opening,
                            const char *pszAlgorithm, const char *pszBase64CMSEnvelope,
                            const char *pszPFXFilePath, const char *pszPFXPwd,
                            unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  KELU_CHECK_TEXT_AT(site, pszAlgorithm);
  KELU_CHECK_TEXT_AT(site, pszBase64CMSEnvelope);
  KELU_CHECK_TEXT_AT(site, pszPFXFilePath);
  KELU_CHECK_OUTPUT_PAIR_AT(site, ppbyPlainData, pnPlainDataSize);
  *ppbyPlainData = nullptr;
  *pnPlainDataSize = 0;
  TRACE(KELU_TRACE_INFO, "Asymmetric encrypt algorithm:%s", pszAlgorithm);
  TRACE(KELU_TRACE_INFO, "PFX file path:%s", pszPFXFilePath);
  FilePtr fpPFX;
  KELU_RETURN_IF_FAILED(kelu::toolkit::OpenNamedFile(site, pszPFXFilePath, "rb", &fpPFX,
                                                     "Open PFX file.", "NULL == fpPFX"));
  Plaintext plain;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case kelu::toolkit::AsymAlgorithm::kSM2:
      KELU_RETURN_IF_FAILED(DecryptWithSM2KeyFile(site, opening, pszBase64CMSEnvelope,
                                                  fpPFX.get(), pszPFXPwd, &plain));
      break;
    case kelu::toolkit::AsymAlgorithm::kRSA:
      KELU_RETURN_IF_FAILED(
          DecryptWithPKCS12File(site, pszBase64CMSEnvelope, fpPFX.get(), pszPFXPwd, &plain));
      break;
    default:
      return kelu::toolkit::RefuseAlgorithm(site, "Invalid asymmetric decrypt algorithm.");
  }
  *ppbyPlainData = plain.data;
  *pnPlainDataSize = plain.size;
  return KELU_OK;
}

}  // namespace

int EncryptDataToCMSEnvelope(const char *pszAlgorithm, const unsigned char *pbyPlainData,
                             int nPlainDataSize, const char *pszBase64CertContent,
                             const char *pszSymEncAlg, char **ppszBase64CMSEnvelope) {
  const kelu::toolkit::CallBoundary boundary;
  return EncryptDataToEnvelope(KELU_HERE, SM2_ENC_ENCODED_C1C2C3, pszAlgorithm, pbyPlainData,
                               nPlainDataSize, pszBase64CertContent, pszSymEncAlg,
                               ppszBase64CMSEnvelope);
}

int EncryptDataToCMSEnvelopeEx(const char *pszAlgorithm, const unsigned char *pbyPlainData,
                               int nPlainDataSize, const char *pszBase64CertContent,
                               const char *pszSymEncAlg, char **ppszBase64CMSEnvelope) {
  const kelu::toolkit::CallBoundary boundary;
  return EncryptDataToEnvelope(KELU_HERE, SM2_ENC_ENCODED_SM2CIPHER, pszAlgorithm, pbyPlainData,
                               nPlainDataSize, pszBase64CertContent, pszSymEncAlg,
                               ppszBase64CMSEnvelope);
}

int DecryptDataFromCMSEnvelope(const char *pszAlgorithm, const char *pszBase64CMSEnvelope,
                               const char *pszPFXFilePath, const char *pszPFXPwd,
                               unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  const kelu::toolkit::CallBoundary boundary;
  return DecryptDataFromEnvelope(KELU_HERE, kOpenCBC, pszAlgorithm, pszBase64CMSEnvelope,
                                 pszPFXFilePath, pszPFXPwd, ppbyPlainData, pnPlainDataSize);
}

int DecryptDataFromCMSEnvelopeEx(const char *pszAlgorithm, const char *pszBase64CMSEnvelope,
                                 const char *pszPFXFilePath, const char *pszPFXPwd,
                                 unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  const kelu::toolkit::CallBoundary boundary;
  return DecryptDataFromEnvelope(KELU_HERE, kOpenCBCEx, pszAlgorithm, pszBase64CMSEnvelope,
                                 pszPFXFilePath, pszPFXPwd, ppbyPlainData, pnPlainDataSize);
}

int DecryptDataFromCMSEnvelope_ECB(const char *pszAlgorithm, const char *pszBase64CMSEnvelope,
                                   const char *pszPFXFilePath, const char *pszPFXPwd,
                                   unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  const kelu::toolkit::CallBoundary boundary;
  return DecryptDataFromEnvelope(KELU_HERE, kOpenECB, pszAlgorithm, pszBase64CMSEnvelope,
                                 pszPFXFilePath, pszPFXPwd, ppbyPlainData, pnPlainDataSize);
}

int DecryptDataFromCMSEnvelopeEx_ECB(const char *pszAlgorithm, const char *pszBase64CMSEnvelope,
                                     const char *pszPFXFilePath, const char *pszPFXPwd,
                                     unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  const kelu::toolkit::CallBoundary boundary;
  return DecryptDataFromEnvelope(KELU_HERE, kOpenECBEx, pszAlgorithm, pszBase64CMSEnvelope,
                                 pszPFXFilePath, pszPFXPwd, ppbyPlainData, pnPlainDataSize);
}

// ---- Signing and enveloping in one call ------------------------------------------------

namespace {

const SM2ContentName &kSM4CBCContent = *FindName(kSM2ContentNames, "SM4_CBC");

// SignAndEncryptData on the SM2 path: the attached SignedData of the data, enveloped with
// SM4-CBC content and the content key as the raw SM2 cipher text. The names are not used.
int SignAndEnvelopeSM2(const TraceSite &site, const unsigned char *data, int size, FILE *pfx,
                       const char *password, const OwnedBytes &cert, char **envelope) {
  char *signature = nullptr;
  int rc = SignData_PKCS7_BySM2PFX(data, size, pfx, password, true, &signature, nullptr,
                                   ATL_BASE64_FLAG_NOCRLF, kWithZValue,
                                   SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, kSM2SignatureOid);
  const std::unique_ptr<char[]> signatureText(signature);
  KELU_RETURN_IF_FAILED(FinishOperation(site, "SignData_PKCS7_BySM2PFX", rc, KELU_ERR_SIGN));
  OwnedBytes signedData;
  KELU_RETURN_IF_FAILED(kelu::toolkit::DecodeBase64Text(site, signature, &signedData));
  return MakeSM2Envelope(site, kSM4CBCContent, SM2_ENC_ENCODED_C1C2C3, signedData.data.get(),
                         signedData.size, cert, envelope);
}

// SignAndEncryptData on the RSA path: both names are checked first, the symmetric name is
// looked up only after the signature was made.
int SignAndEnvelopeRSA(const TraceSite &site, const unsigned char *data, int size, FILE *pfx,
                       const char *password, const char *pszHashAlg, const char *pszSymEncAlg,
                       const OwnedBytes &cert, char **envelope) {
  KELU_CHECK_TEXT_AT(site, pszHashAlg);
  KELU_CHECK_TEXT_AT(site, pszSymEncAlg);
  TRACE(KELU_TRACE_INFO, "Hash algorithm:%s", pszHashAlg);
  TRACE(KELU_TRACE_INFO, "Encrypt algorithm:%s", pszSymEncAlg);
  const int hash = kelu::toolkit::ChooseHashAlgorithm(pszHashAlg);
  if (hash == 0) return kelu::toolkit::RefuseAlgorithm(site, "Invalid hash algorithm.");
  Handed signedData;
  int rc = RSA_SignData_PKCS7_ByPFX(data, size, pfx, password, hash, true, &signedData.data,
                                    &signedData.size);
  KELU_RETURN_IF_FAILED(FinishOperation(site, "RSA_SignData_PKCS7_ByPFX", rc, KELU_ERR_SIGN));
  int cipher = 0;
  KELU_RETURN_IF_FAILED(ChooseRSAContent(site, pszSymEncAlg, &cipher));
  return MakeRSAEnvelope(site, cipher, signedData.data, signedData.size, cert, envelope);
}

// DecryptAndVerifyDataSignature on the SM2 path: the SignedData goes to the verifier as Base64
// text with line breaks, which its decoder skips.
int OpenAndVerifySM2(const TraceSite &site, const char *envelope, FILE *pfx,
                     const char *password, Handed *content) {
  Plaintext inner;
  KELU_RETURN_IF_FAILED(DecryptWithSM2KeyFile(site, kOpenCBC, envelope, pfx, password, &inner));
  const SecretBytes signedData(inner.data, static_cast<size_t>(inner.size));
  char *text = nullptr;
  int length = 0;
  int rc = Base64EncodeEx(signedData.get(), inner.size, &text, &length, ATL_BASE64_FLAG_NONE);
  const std::unique_ptr<char[]> signedText(text);
  KELU_RETURN_IF_FAILED(TraceCheck(site, rc == KELU_OK, "Base64EncodeEx", rc, "KELU_OK != nResult"));
  rc = VerifySignature_PKCS7Attached(text, length, &content->data, &content->size, nullptr,
                                     nullptr, kWithZValue);
  return FinishOperation(site, "VerifySignature_PKCS7Attached", rc, KELU_ERR_BAD_SIGNATURE);
}

int OpenAndVerifyRSA(const TraceSite &site, const char *envelope, FILE *pfx,
                     const char *password, Handed *content) {
  Plaintext inner;
  KELU_RETURN_IF_FAILED(DecryptWithPKCS12File(site, envelope, pfx, password, &inner));
  const SecretBytes signedData(inner.data, static_cast<size_t>(inner.size));
  const int rc = RSA_VerifyDataSignature_DERPKCS7Attached(
      signedData.get(), inner.size, &content->data, &content->size, nullptr, nullptr);
  return FinishOperation(site, "RSA_VerifyDataSignature_DERPKCS7Attached", rc,
                         KELU_ERR_BAD_SIGNATURE);
}

}  // namespace

int SignAndEncryptData(const char *pszAlgorithm, const unsigned char *pbyPlainData,
                       int nPlainDataSize, const char *pszSignPFXFilePath, const char *pszPFXPwd,
                       const char *pszHashAlg, const char *pszBase64EncryptCertContent,
                       const char *pszSymEncAlg, char **ppszBase64SignedAndEncryptedResult) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_DATA(pbyPlainData, nPlainDataSize);
  KELU_CHECK_TEXT(pszSignPFXFilePath);
  KELU_CHECK_TEXT(pszBase64EncryptCertContent);
  KELU_CHECK_OUTPUT(ppszBase64SignedAndEncryptedResult);
  *ppszBase64SignedAndEncryptedResult = nullptr;
  TRACE(KELU_TRACE_INFO, "Sign algorithm:%s", pszAlgorithm);
  TRACE(KELU_TRACE_INFO, "PFX file path:%s", pszSignPFXFilePath);
  TRACE(KELU_TRACE_INFO, "Encrypt public certificate content:%s", pszBase64EncryptCertContent);
  OwnedBytes cert;
  KELU_RETURN_IF_FAILED(
      kelu::toolkit::DecodeBase64Text(KELU_HERE, pszBase64EncryptCertContent, &cert));
  FilePtr fpPFX;
  KELU_RETURN_IF_FAILED(kelu::toolkit::OpenNamedFile(KELU_HERE, pszSignPFXFilePath, "rb", &fpPFX,
                                                     "Open PFX file.", "NULL == fpPFX"));
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case AsymAlgorithm::kSM2:
      return SignAndEnvelopeSM2(KELU_HERE, pbyPlainData, nPlainDataSize, fpPFX.get(), pszPFXPwd,
                                cert, ppszBase64SignedAndEncryptedResult);
    case AsymAlgorithm::kRSA:
      return SignAndEnvelopeRSA(KELU_HERE, pbyPlainData, nPlainDataSize, fpPFX.get(), pszPFXPwd,
                                pszHashAlg, pszSymEncAlg, cert,
                                ppszBase64SignedAndEncryptedResult);
    default:
      return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "Invalid sign algorithm.");
  }
}

int DecryptAndVerifyDataSignature(const char *pszAlgorithm,
                                  const char *pszBase64SignedAndEncryptedResult,
                                  const char *pszDecryptPFXFilePath, const char *pszPFXPwd,
                                  unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszAlgorithm);
  KELU_CHECK_TEXT(pszBase64SignedAndEncryptedResult);
  KELU_CHECK_TEXT(pszDecryptPFXFilePath);
  KELU_RETURN_IF_FAILED(kelu::toolkit::CheckOutputParameter(
      KELU_HERE, ppbyPlainData != nullptr && pnPlainDataSize != nullptr,
      "Check output parameter(ppbyPlainData)", "(NULL == ppbyPlainData || NULL == pnPlainDataSize)"));
  *ppbyPlainData = nullptr;
  *pnPlainDataSize = 0;
  TRACE(KELU_TRACE_INFO, "Sign algorithm:%s", pszAlgorithm);
  FilePtr fpPFX;
  KELU_RETURN_IF_FAILED(kelu::toolkit::OpenNamedFile(KELU_HERE, pszDecryptPFXFilePath, "rb", &fpPFX,
                                                     "Open PFX file.", "NULL == fpPFX"));
  Handed content;
  switch (kelu::toolkit::ChooseAlgorithm(pszAlgorithm)) {
    case AsymAlgorithm::kSM2:
      KELU_RETURN_IF_FAILED(OpenAndVerifySM2(KELU_HERE, pszBase64SignedAndEncryptedResult,
                                             fpPFX.get(), pszPFXPwd, &content));
      break;
    case AsymAlgorithm::kRSA:
      KELU_RETURN_IF_FAILED(OpenAndVerifyRSA(KELU_HERE, pszBase64SignedAndEncryptedResult,
                                             fpPFX.get(), pszPFXPwd, &content));
      break;
    default:
      return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "Invalid sign algorithm.");
  }
  *pnPlainDataSize = content.size;
  *ppbyPlainData = content.release();
  return KELU_OK;
}

// ---- Symmetric keys and ciphers ----------------------------------------------------------

namespace {

using kelu::ops::SecretArray;
using kelu::ops::SecretBytes;
using kelu::toolkit::SymAlgorithm;
using kelu::toolkit::SymKeyLayout;

// IV and key of every key text fit here.
constexpr int kMaxKeyTextBytes = 32;
using KeyBuffer = SecretArray<kMaxKeyTextBytes>;

int FillRandom(const TraceSite &site, unsigned char *bytes, int size, const char *step) {
  return TraceCheck(site, RAND_bytes(bytes, size) == 1, step, KELU_ERR_FAILED, "1 != nResult");
}

// GenerateSymKey's key of the cipher copied to key (size bytes).
int GenerateKeyInto(const TraceSite &site, int nid, unsigned char *key, int size) {
  unsigned char *generated = nullptr;
  int generated_size = 0;
  int rc = GenerateSymKey(nid, &generated, &generated_size);
  SecretBytes owner(generated, static_cast<size_t>(generated_size));
  rc = TraceCheck(site, rc == KELU_OK, "GenerateSymKey", rc, "KELU_OK != nResult");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(site, generated_size == size, "GenerateSymKey", KELU_ERR_FAILED,
                  "nSymKeySize != nKeySize");
  if (rc == KELU_OK) std::memcpy(key, generated, static_cast<size_t>(size));
  return rc;
}

// The key text of size bytes into *text.
int WriteKeyText(const TraceSite &site, const unsigned char *bytes, int size, char **text) {
  char *hex = nullptr;
  int rc = ConvertBinaryDataToString(bytes, size, &hex, false);
  rc = TraceCheck(site, rc == KELU_OK, "ConvertBinaryDataToString", rc, "KELU_OK != nResult");
  if (rc == KELU_OK) *text = hex;
  return rc;
}

// The bytes of a key text, wiped when they are released.
struct KeyText {
  std::optional<SecretBytes> owner;
  const unsigned char *bytes = nullptr;
  int size = 0;
};

int ReadKeyText(const TraceSite &site, const char *text, const char *reason, KeyText *key) {
  unsigned char *bytes = nullptr;
  unsigned int size = 0;
  int rc = ConvertStringToBinaryData(text, &bytes, &size, false);
  rc = TraceCheck(site, rc == KELU_OK, "ConvertStringToBinaryData", rc, reason);
  if (rc != KELU_OK) return rc;
  // The reader adds four zero bytes after the decoded ones; it keeps the count within an int.
  key->owner.emplace(bytes, size + 4);
  key->bytes = bytes;
  key->size = static_cast<int>(size);
  return KELU_OK;
}

// Where IV and key lie in the key text of a data function.
struct KeyParts {
  const unsigned char *iv;
  int iv_size;
  const unsigned char *key;
  int key_size;
};

// SM4_CBC: IV bytes 0..15, key 16..31 (bytes after them are not used); 3DES_CBC: IV 0..7, the
// key from byte 8 on; RC4: the whole text as key (and, not read, as IV). The ciphers check the
// key sizes of the last two; a text too short for the layout is refused here, before any part
// of it is read.
int SplitKeyText(const TraceSite &site, SymAlgorithm algorithm, const KeyText &text,
                 KeyParts *parts) {
  const SymKeyLayout layout = kelu::toolkit::SymLayout(algorithm);
  const int needed = layout.iv_size + layout.key_size;
  char reason[48];
  std::snprintf(reason, sizeof reason, "%d > nSymKeySize", needed);
  int rc = TraceCheck(site, text.size >= needed, "Check szHexSymKey length",
                      KELU_ERR_INVALID_PARAMETER, reason);
  if (rc != KELU_OK) return rc;
  const int key_size =
      algorithm == SymAlgorithm::kSM4CBC ? layout.key_size : text.size - layout.iv_size;
  const unsigned char *key = text.bytes + layout.iv_size;
  *parts = {algorithm == SymAlgorithm::kRC4 ? key : text.bytes,
            algorithm == SymAlgorithm::kRC4 ? key_size : layout.iv_size, key, key_size};
  return KELU_OK;
}

int EncryptWithKeyText(const TraceSite &site, SymAlgorithm algorithm, const KeyParts &k,
                       const unsigned char *data, int size, OwnedBytes *cipher) {
  unsigned char *out = nullptr;
  int rc;
  if (algorithm == SymAlgorithm::kSM4CBC) {
    rc = SM4_Encrypt_CBC(data, size, k.iv, k.iv_size, k.key, k.key_size, &out, &cipher->size);
    rc = FinishOperation(site, "SM4_Encrypt_CBC", rc, KELU_ERR_ENCRYPT, "KELU_OK!= nResult");
  } else {
    rc = SymEncrypt(kelu::toolkit::SymLayout(algorithm).nid, k.iv, k.iv_size, k.key, k.key_size,
                    data, size, &out, &cipher->size);
    rc = FinishOperation(site, "SymEncrypt", rc, KELU_ERR_FAILED, "KELU_OK!=nResult");
  }
  if (rc == KELU_OK) cipher->data.reset(out);
  return rc;
}

int DecryptWithKeyText(const TraceSite &site, SymAlgorithm algorithm, const KeyParts &k,
                       const OwnedBytes &cipher, unsigned char **plain, int *plain_size) {
  int rc;
  if (algorithm == SymAlgorithm::kSM4CBC) {
    rc = SM4_Decrypt_CBC(cipher.data.get(), cipher.size, k.iv, k.iv_size, k.key, k.key_size, plain,
                         plain_size);
    return FinishOperation(site, "SM4_Decrypt_CBC", rc, KELU_ERR_DECRYPT, "KELU_OK!=nResult");
  }
  rc = SymDecrypt(kelu::toolkit::SymLayout(algorithm).nid, k.iv, k.iv_size, k.key, k.key_size,
                  cipher.data.get(), cipher.size, plain, plain_size);
  return FinishOperation(site, "SymDecrypt", rc, KELU_ERR_DECRYPT, "KELU_OK!=nResult");
}

// The names of the file functions: RC4 is not among them.
int ChooseFileAlgorithm(const TraceSite &site, const char *name, SymAlgorithm *algorithm) {
  *algorithm = kelu::toolkit::ChooseSymAlgorithm(name);
  if (*algorithm != SymAlgorithm::kUnknown && *algorithm != SymAlgorithm::kRC4) return KELU_OK;
  return kelu::toolkit::RefuseAlgorithm(site, "Invalid symmetrical encrypt algorithm.");
}

// The key of the data functions: the key text is read before the name is looked at,
// then split as the name's cipher lays it out.
int ReadKeyTextFor(const TraceSite &site, const char *name, const char *key_text, KeyText *key,
                   SymAlgorithm *algorithm, KeyParts *parts) {
  KELU_RETURN_IF_FAILED(ReadKeyText(site, key_text, "KELU_OK!=nResult", key));
  *algorithm = kelu::toolkit::ChooseSymAlgorithm(name);
  if (*algorithm == SymAlgorithm::kUnknown)
    return kelu::toolkit::RefuseAlgorithm(site, "szEncAlgorithm");
  return SplitKeyText(site, *algorithm, *key, parts);
}

// SymEncryptFile on its open files: the size limit, a fresh IV and key, the encryption and the
// key text.
int EncryptFileUnderNewKey(const TraceSite &site, const char *name, FILE *plain, FILE *encrypted,
                           char **key_text) {
  uint64_t nPlainFileSize = 0;
  KELU_RETURN_IF_FAILED(MeasureFile(site, plain, "GetFileSize_Ex", &nPlainFileSize));
  TRACE(KELU_TRACE_INFO, "Plain file size:%" PRIu64, nPlainFileSize);
  KELU_RETURN_IF_FAILED(TraceCheck(site, nPlainFileSize <= FILE_SIZE_LIMIT,
                                   "Plain file size exceed limit!", KELU_ERR_FILE_TOO_LARGE,
                                   "FILE_SIZE_LIMIT < nPlainFileSize"));
  SymAlgorithm algorithm;
  KELU_RETURN_IF_FAILED(ChooseFileAlgorithm(site, name, &algorithm));
  const SymKeyLayout layout = kelu::toolkit::SymLayout(algorithm);
  KeyBuffer ivAndKey;
  unsigned char *key = ivAndKey.bytes + layout.iv_size;
  if (algorithm == SymAlgorithm::kSM4CBC) {
    KELU_RETURN_IF_FAILED(FillRandom(site, ivAndKey.bytes, kMaxKeyTextBytes, "RAND_bytes"));
  } else {
    KELU_RETURN_IF_FAILED(FillRandom(site, ivAndKey.bytes, layout.iv_size, "RAND_bytes"));
    KELU_RETURN_IF_FAILED(GenerateKeyInto(site, layout.nid, key, layout.key_size));
  }
  int rc = SymFileEncrypt(layout.nid, ivAndKey.bytes, layout.iv_size, key, layout.key_size, plain,
                          encrypted);
  KELU_RETURN_IF_FAILED(FinishOperation(site, "SymFileEncrypt", rc, KELU_ERR_FAILED));
  return WriteKeyText(site, ivAndKey.bytes, kMaxKeyTextBytes, key_text);
}

// SymDecryptFile on its open files: the key text, the name and the decryption.
int DecryptFileWithKeyText(const TraceSite &site, const char *name, const char *key_text,
                           FILE *encrypted, FILE *plain) {
  KeyText key;
  KELU_RETURN_IF_FAILED(ReadKeyText(site, key_text, "KELU_OK != nResult", &key));
  TRACE(KELU_TRACE_INFO, "nSymKeySize:%d", key.size);
  KELU_RETURN_IF_FAILED(TraceCheck(site, key.size == kMaxKeyTextBytes, "ConvertStringToBinaryData",
                                   KELU_ERR_FAILED, "32 != nSymKeySize"));
  SymAlgorithm algorithm;
  KELU_RETURN_IF_FAILED(ChooseFileAlgorithm(site, name, &algorithm));
  const SymKeyLayout layout = kelu::toolkit::SymLayout(algorithm);
  int rc = SymFileDecrypt(layout.nid, key.bytes, layout.iv_size, key.bytes + layout.iv_size,
                          layout.key_size, encrypted, plain);
  return FinishOperation(site, "SymFileDecrypt", rc, KELU_ERR_FAILED);
}

}  // namespace

int GenSymKey(const char *szEncAlgorithm, char **ppszHexSymKey) {
  const kelu::toolkit::CallBoundary boundary;
  TRACE(KELU_TRACE_INFO, "szEncAlgorithm:[%s]", kelu::toolkit::DumpText(szEncAlgorithm));
  KELU_CHECK_PRESENT(szEncAlgorithm);
  KELU_CHECK_PRESENT(ppszHexSymKey);
  const SymAlgorithm algorithm = kelu::toolkit::ChooseSymAlgorithm(szEncAlgorithm);
  if (algorithm == SymAlgorithm::kUnknown)
    return kelu::toolkit::RefuseAlgorithm(KELU_HERE, "szEncAlgorithm");

  const SymKeyLayout layout = kelu::toolkit::SymLayout(algorithm);
  KeyBuffer ivAndKey;
  unsigned char *key = ivAndKey.bytes + layout.iv_size;
  if (algorithm == SymAlgorithm::kSM4CBC) {
    KELU_RETURN_IF_FAILED(FillRandom(KELU_HERE, key, layout.key_size, "RAND_bytes"));
  } else {
    KELU_RETURN_IF_FAILED(GenerateKeyInto(KELU_HERE, layout.nid, key, layout.key_size));
  }
  if (layout.iv_size > 0) {
    KELU_RETURN_IF_FAILED(FillRandom(KELU_HERE, ivAndKey.bytes, layout.iv_size, "RAND_bytes-iv"));
  }
  return WriteKeyText(KELU_HERE, ivAndKey.bytes, layout.iv_size + layout.key_size, ppszHexSymKey);
}

int SymEncryptData(const unsigned char *pbyPlainData, int nPlainData, const char *szEncAlgorithm,
                   const char *szHexSymKey, char **ppszBase64EncryptedData) {
  const kelu::toolkit::CallBoundary boundary;
  using kelu::toolkit::CheckOutputParameter;
  TRACE(KELU_TRACE_INFO, "szEncAlgorithm:[%s]", kelu::toolkit::DumpText(szEncAlgorithm));
  KELU_CHECK_PRESENT(pbyPlainData);
  KELU_RETURN_IF_FAILED(
      CheckOutputParameter(KELU_HERE, nPlainData >= 1, "Check nPlainData", "nPlainData<1"));
  KELU_CHECK_PRESENT(szEncAlgorithm);
  KELU_CHECK_PRESENT(szHexSymKey);
  KELU_RETURN_IF_FAILED(CheckOutputParameter(KELU_HERE, ppszBase64EncryptedData != nullptr,
                                             "Check ppszBase64EncryptedMessage",
                                             "NULL==ppszBase64EncryptedData"));
  KeyText key;
  SymAlgorithm algorithm;
  KeyParts parts;
  KELU_RETURN_IF_FAILED(
      ReadKeyTextFor(KELU_HERE, szEncAlgorithm, szHexSymKey, &key, &algorithm, &parts));
  OwnedBytes cipher;
  KELU_RETURN_IF_FAILED(
      EncryptWithKeyText(KELU_HERE, algorithm, parts, pbyPlainData, nPlainData, &cipher));
  return kelu::toolkit::EncodeBase64Text(KELU_HERE, cipher.data.get(), cipher.size,
                                         ppszBase64EncryptedData);
}

int SymDecryptData(const char *szBase64EncryptedData, const char *szEncAlgorithm,
                   const char *szHexSymKey, unsigned char **ppbyPlainData, int *pnPlainData) {
  const kelu::toolkit::CallBoundary boundary;
  TRACE(KELU_TRACE_INFO, "szEncAlgorithm:[%s]", kelu::toolkit::DumpText(szEncAlgorithm));
  KELU_CHECK_PRESENT(szBase64EncryptedData);
  KELU_CHECK_PRESENT(szEncAlgorithm);
  KELU_CHECK_PRESENT(szHexSymKey);
  KELU_CHECK_PRESENT(ppbyPlainData);
  KELU_CHECK_PRESENT(pnPlainData);
  OwnedBytes cipher;
  KELU_RETURN_IF_FAILED(kelu::toolkit::DecodeBase64Text(KELU_HERE, szBase64EncryptedData, &cipher,
                                                        KELU_ERR_FAILED, "KELU_OK!=nResult"));
  KeyText key;
  SymAlgorithm algorithm;
  KeyParts parts;
  KELU_RETURN_IF_FAILED(
      ReadKeyTextFor(KELU_HERE, szEncAlgorithm, szHexSymKey, &key, &algorithm, &parts));
  return DecryptWithKeyText(KELU_HERE, algorithm, parts, cipher, ppbyPlainData, pnPlainData);
}

int SymEncryptFile(const char *pszEncAlgorithm, const char *pszPlainFilePath,
                   const char *pszEncryptFilePath, char **ppszSymKey) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszEncAlgorithm);
  KELU_CHECK_TEXT(pszPlainFilePath);
  KELU_CHECK_TEXT(pszEncryptFilePath);
  KELU_RETURN_IF_FAILED(kelu::toolkit::CheckOutputParameter(KELU_HERE, ppszSymKey != nullptr,
                                                            "Check output parameter(ppszSymKey).",
                                                            "(NULL == ppszSymKey)"));
  TRACE(KELU_TRACE_INFO, "Symmetric encrypt algorithm:%s", pszEncAlgorithm);
  TRACE(KELU_TRACE_INFO, "Plain file path:%s", pszPlainFilePath);
  TRACE(KELU_TRACE_INFO, "Encrypt file path:%s", pszEncryptFilePath);
  FilePtr fpPlainFile;
  KELU_OPEN_FILE(pszPlainFilePath, "rb", fpPlainFile);
  FilePtr fpEncryptFile;
  KELU_OPEN_OUTPUT_FILE(pszEncryptFilePath, fpPlainFile, fpEncryptFile);
  const int rc = EncryptFileUnderNewKey(KELU_HERE, pszEncAlgorithm, fpPlainFile.get(),
                                        fpEncryptFile.get(), ppszSymKey);
  if (rc != KELU_OK) kelu::toolkit::DiscardOutputFile(fpEncryptFile.get());
  return rc;
}

int SymDecryptFile(const char *pszEncAlgorithm, const char *pszEncryptFilePath,
                   const char *pszSymKey, const char *pszPlainFilePath) {
  const kelu::toolkit::CallBoundary boundary;
  KELU_CHECK_TEXT(pszEncAlgorithm);
  KELU_CHECK_TEXT(pszEncryptFilePath);
  KELU_CHECK_TEXT(pszSymKey);
  KELU_CHECK_TEXT(pszPlainFilePath);
  TRACE(KELU_TRACE_INFO, "Symmetric encrypt algorithm:%s", pszEncAlgorithm);
  TRACE(KELU_TRACE_INFO, "Encrypt file path:%s", pszEncryptFilePath);
  TRACE(KELU_TRACE_INFO, "Plain file path:%s", pszPlainFilePath);
  FilePtr fpEncryptFile;
  KELU_OPEN_FILE(pszEncryptFilePath, "rb", fpEncryptFile);
  FilePtr fpPlainFile;
  KELU_OPEN_OUTPUT_FILE(pszPlainFilePath, fpEncryptFile, fpPlainFile);
  const int rc = DecryptFileWithKeyText(KELU_HERE, pszEncAlgorithm, pszSymKey, fpEncryptFile.get(),
                                        fpPlainFile.get());
  // Part of a plaintext under a wrong key or of a damaged file is no result.
  if (rc != KELU_OK) kelu::toolkit::DiscardOutputFile(fpPlainFile.get());
  return rc;
}
