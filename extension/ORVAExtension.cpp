// The module entry and the script functions of the extension "ORVAExtension".
#include <openssl/obj_mac.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "HashBridge.h"
#include "KeluErrors.h"
#include "Misc.h"
#include "ORVA.h"
#include "OperationShape.h"
#include "PhpBinding.h"
#include "SMKernel.h"
#include "ScriptArguments.h"
#include "ScriptFunction.h"
#include "kelu_zlog.h"

namespace {

using kelu::extension::CheckDataSize;
using kelu::extension::CheckNoZeroByte;
using kelu::extension::CheckScriptArguments;
using kelu::extension::CountStep;
using kelu::extension::HandedOut;
using kelu::extension::InputLog;
using kelu::extension::OutputKind;
using kelu::extension::RunScriptFunction;
using kelu::extension::ScriptFunction;
using kelu::extension::ScriptInputs;
using Php::ByRef;
using Php::ByVal;

constexpr Php::Type kString = Php::Type::String;
constexpr Php::Type kNumeric = Php::Type::Numeric;

// The binding interface the extension is written for.
constexpr int kBindingApiVersion = 20150126;

// 1 after a successful kelu_initialize, 0 again after a successful kelu_uninitialize. The
// module serves the non-thread-safe engine, so a plain int does.
int g_nORVAExtIsInit = 0;

// ---- Argument lists, in registration order ----

const Php::Arguments kInitializeArgs = {ByVal("strConfigFilePath", kString)};

Php::Arguments SignDataArgs(const char *signature) {
  return {ByVal("strSignAlg", kString),     ByVal("strSourceData", kString),
          ByVal("strPfxFilePath", kString), ByVal("strPfxPassWord", kString),
          ByVal("strHashAlg", kString),     ByRef(signature, kString)};
}
const Php::Arguments kSignDataPKCS1Args = SignDataArgs("strBase64PKCS1Signature");
const Php::Arguments kSignDataPKCS7DetachedArgs = SignDataArgs("strBase64PKCS7DetachedSignature");
const Php::Arguments kSignDataPKCS7AttachedArgs = SignDataArgs("strBase64PKCS7AttachedSignature");
const Php::Arguments kVerifyDataSignaturePKCS1Args = {
    ByVal("strSignAlg", kString), ByVal("strSourceData", kString),
    ByVal("strBase64CertContent", kString), ByVal("strHashAlg", kString),
    ByVal("strBase64PKCS1Signature", kString)};
const Php::Arguments kVerifyDataSignaturePKCS7DetachedArgs = {
    ByVal("strSignAlg", kString), ByVal("strSourceData", kString),
    ByVal("strBase64PKCS7DetachedSignature", kString),
    ByRef("strBase64SignCertContent", kString)};
const Php::Arguments kVerifyDataSignaturePKCS7AttachedArgs = {
    ByVal("strSignAlg", kString), ByVal("strBase64PKCS7AttachedSignature", kString),
    ByRef("strBase64SignCertContent", kString), ByRef("strSourceData", kString)};
const Php::Arguments kSignFilePKCS7DetachedArgs = {
    ByVal("strSignAlg", kString),     ByVal("strSourceFilePath", kString),
    ByVal("strPfxFilePath", kString), ByVal("strPfxPassWord", kString),
    ByVal("strHashAlg", kString),     ByRef("strBase64PKCS7DetachedSignature", kString)};
const Php::Arguments kVerifyFileSignaturePKCS7DetachedArgs = {
    ByVal("strSignAlg", kString), ByVal("strSourceFilePath", kString),
    ByVal("strBase64PKCS7DetachedSignature", kString),
    ByRef("strBase64SignCertContent", kString)};
const Php::Arguments kEncryptDataToCMSEnvelopeArgs = {
    ByVal("strAlgorithm", kString), ByVal("strPlainData", kString),
    ByVal("strBase64EncryptCert", kString), ByVal("strSymEncAlg", kString),
    ByRef("strBase64CMSEnvelope", kString)};
const Php::Arguments kDecryptDataFromCMSEnvelopeArgs = {
    ByVal("strAlgorithm", kString), ByVal("strBase64CMSEnvelope", kString),
    ByVal("strPfxFilePath", kString), ByVal("strPfxPassWord", kString),
    ByRef("strPlainData", kString)};
const Php::Arguments kGenSymKeyArgs = {ByVal("strSymEncAlgorithm", kString),
                                       ByRef("strSymKey", kString)};
const Php::Arguments kSymEncryptDataArgs = {
    ByVal("strPlainData", kString), ByVal("strSymEncAlgorithm", kString),
    ByVal("strSymKey", kString), ByRef("strBase64EncryptedData", kString)};
const Php::Arguments kSymDecryptDataArgs = {
    ByVal("strBase64EncryptedData", kString), ByVal("strSymEncAlgorithm", kString),
    ByVal("strSymKey", kString), ByRef("strPlainData", kString)};
const Php::Arguments kSymEncryptFileArgs = {
    ByVal("strSymEncAlgorithm", kString), ByVal("strPlainFilePath", kString),
    ByVal("strEncryptFilePath", kString), ByRef("strSymKey", kString)};
const Php::Arguments kSymDecryptFileArgs = {
    ByVal("strSymEncAlgorithm", kString), ByVal("strEncryptFilePath", kString),
    ByVal("strSymKey", kString), ByVal("strPlainFilePath", kString)};
const Php::Arguments kVerifyCertificateArgs = {
    ByVal("strBase64CertContent", kString), ByVal("nCertVerifyFlag", kNumeric),
    ByVal("strTrustedCACertFilePath", kString), ByVal("strCRLFilePath", kString)};
const Php::Arguments kGetCertificateInfoArgs = {ByVal("strBase64CertContent", kString),
                                                ByVal("strInfoType", kString),
                                                ByRef("strInfoContent", kString)};
const Php::Arguments kGetPublicCertFromPFXArgs = {
    ByVal("strAlgorithm", kString), ByVal("strPfxFilePath", kString),
    ByVal("strPfxPassWord", kString), ByRef("strBase64CertContent", kString)};
const Php::Arguments kCalculateDataHashArgs = {ByVal("strSourceData", kString),
                                               ByVal("strHashAlg", kString),
                                               ByRef("strHexHashData", kString)};
const Php::Arguments kCalculateFileHashArgs = {ByVal("strSourceFilePath", kString),
                                               ByVal("strHashAlg", kString),
                                               ByRef("strHexHashData", kString)};

constexpr char kZeroByteReason[] = "strlen(path.c_str()) != path.size()";

// ---- Start-up and shut-down ----

Php::Value kelu_initialize(Php::Parameters &params) {
  int nResult = CheckScriptArguments(KELU_HERE, params, kInitializeArgs, CountStep::kPlain);
  if (nResult != KELU_OK) return nResult;
  if (g_nORVAExtIsInit == 1) {
    TRACE(KELU_TRACE_INFO, "kelu_initialize called.");
    return KELU_OK;
  }
  const std::string strConfigFilePath = params[0].stringValue();
  TRACE(KELU_TRACE_INFO, "strConfigFilePath:[%s]", strConfigFilePath.c_str());
  nResult = CheckNoZeroByte(KELU_HERE, strConfigFilePath, "strConfigFilePath", kZeroByteReason);
  if (nResult != KELU_OK) return nResult;

  nResult = kelu_log_init_ex(strConfigFilePath.c_str());
  nResult = TraceCheck(KELU_HERE, nResult == KELU_OK, "kelu_log_init_ex", nResult,
                       "KELU_OK != nResult");
  if (nResult != KELU_OK) return nResult;
  nResult = kelu::SMKernelInitialize();
  nResult = TraceCheck(KELU_HERE, nResult == KELU_OK, "SMKernelInitialize", nResult,
                       "KELU_OK != nResult");
  if (nResult != KELU_OK) return nResult;
  g_nORVAExtIsInit = 1;
  return KELU_OK;
}

// Shuts down also when the module was never initialised; the step lines fall after logging
// was closed and are dropped.
Php::Value kelu_uninitialize() {
  int nResult = Uninitialize();
  nResult = TraceCheck(KELU_HERE, nResult == KELU_OK, "Uninitialize", nResult,
                       "KELU_OK != nResult");
  if (nResult == KELU_OK) g_nORVAExtIsInit = 0;
  return nResult;
}

// ---- Hashing ----

enum class DigestRoad { kSM3, kByNid };

struct DigestName {
  const char *name;
  DigestRoad road;
  int nid;
};

// Compared without regard to case, in this order; the whole argument must match.
constexpr DigestName kDigestNames[] = {{"SM3", DigestRoad::kSM3, 0},
                                       {"MD5", DigestRoad::kByNid, NID_md5},
                                       {"SHA-1", DigestRoad::kByNid, NID_sha1},
                                       {"SHA-256", DigestRoad::kByNid, NID_sha256}};
static_assert(NID_md5 == 4 && NID_sha1 == 64 && NID_sha256 == 672);

constexpr size_t kSM3DigestSize = 32;

// A name with a zero byte inside is no name of the table: strcasecmp alone would take
// "SM3\0..." for "SM3".
const DigestName *FindDigest(const std::string &name) {
  if (std::memchr(name.data(), '\0', name.size()) != nullptr) return nullptr;
  for (const DigestName &d : kDigestNames)
    if (strcasecmp(name.c_str(), d.name) == 0) return &d;
  return nullptr;
}

const DigestName *ChooseDigest(const TraceSite &site, const std::string &strHashAlg) {
  const DigestName *digest = FindDigest(strHashAlg);
  TraceCheck(site, digest != nullptr, "strHashAlg", KELU_ERR_INVALID_PARAMETER, "true");
  return digest;
}

// Step lines of one call into the digest operations.
int ReportStep(const TraceSite &site, const char *step, int nResult) {
  return TraceCheck(site, nResult == KELU_OK, step, nResult, "KELU_OK != nResult");
}

// Where the digested bytes come from: a byte string or an open file.
class DigestSource {
 public:
  virtual ~DigestSource() = default;
  virtual const char *sm3Step() const = 0;
  virtual const char *byNidStep() const = 0;
  virtual int hashSM3(unsigned char *digest) const = 0;
  virtual int hashByNid(int nid, unsigned char **digest, int *digestSize) const = 0;
};

class DataSource : public DigestSource {
 public:
  explicit DataSource(const std::string &data)
      : data_(reinterpret_cast<const unsigned char *>(data.data())),
        size_(static_cast<int>(data.size())) {}
  const char *sm3Step() const override { return "CalculateSM3Hash"; }
  const char *byNidStep() const override { return "CalculateDataHash"; }
  int hashSM3(unsigned char *digest) const override {
    return kelu::extension::HashSM3Data(data_, size_, digest);
  }
  int hashByNid(int nid, unsigned char **digest, int *digestSize) const override {
    return kelu::extension::HashDataByNid(data_, size_, nid, digest, digestSize);
  }

 private:
  const unsigned char *data_;
  int size_;
};

class FileSource : public DigestSource {
 public:
  explicit FileSource(FILE *file) : file_(file) {}
  const char *sm3Step() const override { return "CalculateSM3FileHashEx"; }
  const char *byNidStep() const override { return "CalculateFileHash"; }
  int hashSM3(unsigned char *digest) const override {
    return kelu::extension::HashSM3File(file_, digest);
  }
  int hashByNid(int nid, unsigned char **digest, int *digestSize) const override {
    return kelu::extension::HashFileByNid(file_, nid, digest, digestSize);
  }

 private:
  FILE *file_;
};

using OwnedBytes = std::unique_ptr<unsigned char[]>;
using OwnedText = std::unique_ptr<char[]>;

// The digest of the source as upper-case hexadecimal text.
int DigestAsHex(const TraceSite &site, const DigestName &digest, const DigestSource &source,
                OwnedText *hex) {
  OwnedBytes digestBytes;
  int digestSize = 0;
  int nResult;
  if (digest.road == DigestRoad::kSM3) {
    // One spare byte, as the SM3 operations are given it.
    digestBytes.reset(new (std::nothrow) unsigned char[kSM3DigestSize + 1]());
    if (!digestBytes) {
      TraceStepFailed(site, "New memory", KELU_ERR_FAILED, "!pbyHashData");
      return KELU_ERR_FAILED;
    }
    TraceStepOK(site, "New memory");
    digestSize = static_cast<int>(kSM3DigestSize);
    nResult = ReportStep(site, source.sm3Step(), source.hashSM3(digestBytes.get()));
  } else {
    unsigned char *handed = nullptr;
    nResult = source.hashByNid(digest.nid, &handed, &digestSize);
    digestBytes.reset(handed);
    nResult = ReportStep(site, source.byNidStep(), nResult);
  }
  if (nResult != KELU_OK) return nResult;

  char *text = nullptr;
  nResult = kelu::extension::HexText(digestBytes.get(), digestSize, &text);
  hex->reset(text);
  return ReportStep(site, "ConvertBinaryDataToString", nResult);
}

Php::Value kelu_calculateDataHash(Php::Parameters &params) {
  int nResult =
      CheckScriptArguments(KELU_HERE, params, kCalculateDataHashArgs, CountStep::kPlain);
  if (nResult == KELU_OK)
    nResult = CheckDataSize(KELU_HERE, params[0], "strSourceData",
                            "INT_MAX < strSourceData.size()");
  if (nResult != KELU_OK) return nResult;
  const std::string strSourceData = params[0].stringValue();
  const std::string strHashAlg = params[1].stringValue();
  TRACE(KELU_TRACE_INFO, "strSourceData:[%s]", strSourceData.c_str());
  TRACE(KELU_TRACE_INFO, "strHashAlg:[%s]", strHashAlg.c_str());

  const DigestName *digest = ChooseDigest(KELU_HERE, strHashAlg);
  if (digest == nullptr) return KELU_ERR_INVALID_PARAMETER;
  OwnedText pszHexHashData;
  nResult = DigestAsHex(KELU_HERE, *digest, DataSource(strSourceData), &pszHexHashData);
  if (nResult != KELU_OK) return nResult;
  TRACE(KELU_TRACE_INFO, "pszHexHashData:[%s]", pszHexHashData.get());
  params[2] = pszHexHashData.get();
  return KELU_OK;
}

// The file is opened before the hash name is looked at. A directory opens for reading on
// Linux but has no bytes to digest: it is refused like a file that does not open.
int OpenSourceFile(const TraceSite &site, const std::string &path,
                   kelu::toolkit::FilePtr *file) {
  int nResult = CheckNoZeroByte(site, path, "strSourceFilePath", kZeroByteReason);
  if (nResult != KELU_OK) return nResult;
  file->reset(std::fopen(path.c_str(), "rb"));
  if (!*file) {
    TraceStepFailed(site, "strSourceFilePath", KELU_ERR_INVALID_PARAMETER,
                    "NULL == fpSourceFile");
    return KELU_ERR_INVALID_PARAMETER;
  }
  struct stat st;
  if (fstat(fileno(file->get()), &st) != 0 || S_ISDIR(st.st_mode)) {
    TraceStepFailed(site, "strSourceFilePath", KELU_ERR_INVALID_PARAMETER,
                    "S_ISDIR(fpSourceFile)");
    file->reset();
    return KELU_ERR_INVALID_PARAMETER;
  }
  TraceStepOK(site, "strSourceFilePath");
  return KELU_OK;
}

Php::Value kelu_calculateFileHash(Php::Parameters &params) {
  int nResult =
      CheckScriptArguments(KELU_HERE, params, kCalculateFileHashArgs, CountStep::kPlain);
  if (nResult != KELU_OK) return nResult;
  const std::string strSourceFilePath = params[0].stringValue();
  const std::string strHashAlg = params[1].stringValue();
  TRACE(KELU_TRACE_INFO, "strSourceFilePath:[%s]", strSourceFilePath.c_str());
  TRACE(KELU_TRACE_INFO, "strHashAlg:[%s]", strHashAlg.c_str());

  kelu::toolkit::FilePtr fpSourceFile;
  nResult = OpenSourceFile(KELU_HERE, strSourceFilePath, &fpSourceFile);
  if (nResult != KELU_OK) return nResult;
  const DigestName *digest = ChooseDigest(KELU_HERE, strHashAlg);
  if (digest == nullptr) return KELU_ERR_INVALID_PARAMETER;
  OwnedText pszHexHashData;
  nResult = DigestAsHex(KELU_HERE, *digest, FileSource(fpSourceFile.get()), &pszHexHashData);
  if (nResult != KELU_OK) return nResult;
  TRACE(KELU_TRACE_INFO, "pszHexHashData:[%s]", pszHexHashData.get());
  params[2] = pszHexHashData.get();
  return KELU_OK;
}

// ---- Script functions over the exported functions: one record each ----

#define KELU_SCRIPT_FUNCTION(function, record)                            \
  Php::Value function(Php::Parameters &params) {                          \
    return RunScriptFunction(KELU_HERE, params, record);                  \
  }

constexpr InputLog kText = InputLog::kText;

// Signatures. The password is never logged; the data is logged with its length.

const std::vector<kelu::extension::InputSpec> kSignDataInputs = {
    {"strAlgorithm", kText}, {"strSourceData", InputLog::kData}, {"strPfxFilePath", kText},
    {"strPfxPassWord", InputLog::kPassword}, {"strHashAlg", kText}};

using SignData = int (*)(const char *, const unsigned char *, int, const char *, const char *,
                         const char *, char **);
template <SignData Sign>
int CallSignData(const ScriptInputs &in, HandedOut &out) {
  return Sign(in.text(0), in.data(1), in.size(1), in.text(2), in.text(3), in.text(4),
              out.text(0));
}

const ScriptFunction kSignDataPKCS1 = {
    kSignDataPKCS1Args, CountStep::kPlain, kSignDataInputs, "SignData_PKCS1",
    CallSignData<SignData_PKCS1>, {{5, OutputKind::kText, "pszBase64PKCS1Signature"}}};
KELU_SCRIPT_FUNCTION(kelu_signData_PKCS1, kSignDataPKCS1)

const ScriptFunction kSignDataPKCS7Detached = {
    kSignDataPKCS7DetachedArgs, CountStep::kPlain, kSignDataInputs, "SignData_PKCS7Detached",
    CallSignData<SignData_PKCS7Detached>,
    {{5, OutputKind::kText, "pszBase64PKCS7DetachedSignature"}}};
KELU_SCRIPT_FUNCTION(kelu_signData_PKCS7Detached, kSignDataPKCS7Detached)

const ScriptFunction kSignDataPKCS7Attached = {
    kSignDataPKCS7AttachedArgs, CountStep::kFullStop, kSignDataInputs, "SignData_PKCS7Attached",
    CallSignData<SignData_PKCS7Attached>,
    {{5, OutputKind::kText, "pszBase64PKCS7AttachedSignature"}}};
KELU_SCRIPT_FUNCTION(kelu_signData_PKCS7Attached, kSignDataPKCS7Attached)

const ScriptFunction kVerifyDataSignaturePKCS1 = {
    kVerifyDataSignaturePKCS1Args, CountStep::kPlain,
    {{"strAlgorithm", kText}, {"strSourceData", InputLog::kData}, {"strBase64SignCert", kText},
     {"strHashAlg", kText}, {"strBase64Signature", kText}},
    "VerifyDataSignature_PKCS1",
    [](const ScriptInputs &in, HandedOut &) {
      return VerifyDataSignature_PKCS1(in.text(0), in.data(1), in.size(1), in.text(2),
                                       in.text(3), in.text(4));
    },
    {}};
KELU_SCRIPT_FUNCTION(kelu_verifyDataSignature_PKCS1, kVerifyDataSignaturePKCS1)

const ScriptFunction kVerifyDataSignaturePKCS7Detached = {
    kVerifyDataSignaturePKCS7DetachedArgs, CountStep::kPlain,
    {{"strAlgorithm", kText}, {"strSourceData", InputLog::kData}, {"strBase64Signature", kText}},
    "VerifyDataSignature_PKCS7Detached",
    [](const ScriptInputs &in, HandedOut &out) {
      return VerifyDataSignature_PKCS7Detached(in.text(0), in.data(1), in.size(1), in.text(2),
                                               out.text(0));
    },
    {{3, OutputKind::kText, "pszBase64SignCert"}}};
KELU_SCRIPT_FUNCTION(kelu_verifyDataSignature_PKCS7Detached, kVerifyDataSignaturePKCS7Detached)

// The signed content is not a secret of the signer: it is logged as the text it starts with.
const ScriptFunction kVerifyDataSignaturePKCS7Attached = {
    kVerifyDataSignaturePKCS7AttachedArgs, CountStep::kPlain,
    {{"strAlgorithm", kText}, {"strBase64Signature", kText}},
    "VerifyDataSignature_PKCS7Attached",
    [](const ScriptInputs &in, HandedOut &out) {
      return VerifyDataSignature_PKCS7Attached(in.text(0), in.text(1), out.text(0), out.bytes(1),
                                               out.size(1));
    },
    {{2, OutputKind::kText, "pszBase64SignCert"},
     {3, OutputKind::kBytes, "pbySourceData", "nSourceDataLen", "!pszSourceData"}}};
KELU_SCRIPT_FUNCTION(kelu_verifyDataSignature_PKCS7Attached, kVerifyDataSignaturePKCS7Attached)

const ScriptFunction kSignFilePKCS7Detached = {
    kSignFilePKCS7DetachedArgs, CountStep::kPlain,
    {{"strAlgorithm", kText}, {"strSourceFilePath", kText}, {"strPfxFilePath", kText},
     {"strPfxPassWord", InputLog::kPassword}, {"strHashAlg", kText}},
    "SignFile_PKCS7Detached",
    [](const ScriptInputs &in, HandedOut &out) {
      return SignFile_PKCS7Detached(in.text(0), in.text(1), in.text(2), in.text(3), in.text(4),
                                    out.text(0));
    },
    {{5, OutputKind::kText, "pszBase64PKCS7DetachedSignature"}}};
KELU_SCRIPT_FUNCTION(kelu_signFile_PKCS7Detached, kSignFilePKCS7Detached)

const ScriptFunction kVerifyFileSignaturePKCS7Detached = {
    kVerifyFileSignaturePKCS7DetachedArgs, CountStep::kPlain,
    {{"strAlgorithm", kText}, {"strSourceFilePath", kText}, {"strBase64Signature", kText}},
    "VerifyFileSignature_PKCS7Detached",
    [](const ScriptInputs &in, HandedOut &out) {
      return VerifyFileSignature_PKCS7Detached(in.text(0), in.text(1), in.text(2), out.text(0));
    },
    {{3, OutputKind::kText, "pszBase64SignCert"}}};
KELU_SCRIPT_FUNCTION(kelu_verifyFileSignature_PKCS7Detached, kVerifyFileSignaturePKCS7Detached)

// Digital envelopes. The plaintexts, given and opened, are logged by their lengths only.

const std::vector<kelu::extension::InputSpec> kEncryptDataInputs = {
    {"strAlgorithm", kText}, {"strPlainData", InputLog::kSecretData}, {"strBase64Cert", kText},
    {"strSymEncAlg", kText}};
const std::vector<kelu::extension::OutputSpec> kEnvelopeOutput = {
    {4, OutputKind::kText, "pszBase64CMSEnvelope"}};

using EncryptData = int (*)(const char *, const unsigned char *, int, const char *, const char *,
                            char **);
template <EncryptData Encrypt>
int CallEncryptData(const ScriptInputs &in, HandedOut &out) {
  return Encrypt(in.text(0), in.data(1), in.size(1), in.text(2), in.text(3), out.text(0));
}

const ScriptFunction kEncryptDataToCMSEnvelope = {
    kEncryptDataToCMSEnvelopeArgs, CountStep::kPlain, kEncryptDataInputs,
    "EncryptDataToCMSEnvelope", CallEncryptData<EncryptDataToCMSEnvelope>, kEnvelopeOutput};
KELU_SCRIPT_FUNCTION(kelu_encryptDataToCMSEnvelope, kEncryptDataToCMSEnvelope)

const ScriptFunction kEncryptDataToCMSEnvelopeEx = {
    kEncryptDataToCMSEnvelopeArgs, CountStep::kPlain, kEncryptDataInputs,
    "EncryptDataToCMSEnvelopeEx", CallEncryptData<EncryptDataToCMSEnvelopeEx>, kEnvelopeOutput};
KELU_SCRIPT_FUNCTION(kelu_encryptDataToCMSEnvelopeEx, kEncryptDataToCMSEnvelopeEx)

const std::vector<kelu::extension::InputSpec> kDecryptDataInputs = {
    {"strAlgorithm", kText}, {"strBase64CMSEnvelope", kText}, {"strPfxFilePath", kText},
    {"strPfxPassWord", InputLog::kPassword}};
const std::vector<kelu::extension::OutputSpec> kPlainDataOutput = {
    {4, OutputKind::kSecretBytes, "pbyPlainData", "nPlainDataLen", "!pszPlainData"}};

using DecryptData = int (*)(const char *, const char *, const char *, const char *,
                            unsigned char **, int *);
template <DecryptData Decrypt>
int CallDecryptData(const ScriptInputs &in, HandedOut &out) {
  return Decrypt(in.text(0), in.text(1), in.text(2), in.text(3), out.bytes(0), out.size(0));
}

const ScriptFunction kDecryptDataFromCMSEnvelope = {
    kDecryptDataFromCMSEnvelopeArgs, CountStep::kPlain, kDecryptDataInputs,
    "DecryptDataFromCMSEnvelope", CallDecryptData<DecryptDataFromCMSEnvelope>, kPlainDataOutput};
KELU_SCRIPT_FUNCTION(kelu_decryptDataFromCMSEnvelope, kDecryptDataFromCMSEnvelope)

const ScriptFunction kDecryptDataFromCMSEnvelopeEx = {
    kDecryptDataFromCMSEnvelopeArgs, CountStep::kPlain, kDecryptDataInputs,
    "DecryptDataFromCMSEnvelopeEx", CallDecryptData<DecryptDataFromCMSEnvelopeEx>,
    kPlainDataOutput};
KELU_SCRIPT_FUNCTION(kelu_decryptDataFromCMSEnvelopeEx, kDecryptDataFromCMSEnvelopeEx)

const ScriptFunction kDecryptDataFromCMSEnvelopeECB = {
    kDecryptDataFromCMSEnvelopeArgs, CountStep::kPlain, kDecryptDataInputs,
    "DecryptDataFromCMSEnvelope_ECB", CallDecryptData<DecryptDataFromCMSEnvelope_ECB>,
    kPlainDataOutput};
KELU_SCRIPT_FUNCTION(kelu_decryptDataFromCMSEnvelope_ECB, kDecryptDataFromCMSEnvelopeECB)

const ScriptFunction kDecryptDataFromCMSEnvelopeExECB = {
    kDecryptDataFromCMSEnvelopeArgs, CountStep::kPlain, kDecryptDataInputs,
    "DecryptDataFromCMSEnvelopeEx_ECB", CallDecryptData<DecryptDataFromCMSEnvelopeEx_ECB>,
    kPlainDataOutput};
KELU_SCRIPT_FUNCTION(kelu_decryptDataFromCMSEnvelopeEx_ECB, kDecryptDataFromCMSEnvelopeExECB)

// Symmetric keys and ciphers. The key texts given and the plaintexts, given or decrypted, are
// secrets: the log shows their lengths only, and a generated key not at all.

const ScriptFunction kGenSymKey = {
    kGenSymKeyArgs, CountStep::kPlain, {{"strSymEncAlgorithm", kText}}, "GenSymKey",
    [](const ScriptInputs &in, HandedOut &out) { return GenSymKey(in.text(0), out.text(0)); },
    {{1, OutputKind::kSecretText}}};
KELU_SCRIPT_FUNCTION(kelu_genSymKey, kGenSymKey)

const ScriptFunction kSymEncryptData = {
    kSymEncryptDataArgs, CountStep::kPlain,
    {{"strPlainData", InputLog::kSecretData}, {"strSymEncAlgorithm", kText},
     {"strSymKey", InputLog::kSecretText}},
    "SymEncryptData",
    [](const ScriptInputs &in, HandedOut &out) {
      return SymEncryptData(in.data(0), in.size(0), in.text(1), in.text(2), out.text(0));
    },
    {{3, OutputKind::kText, "pszBase64EncryptedData"}}};
KELU_SCRIPT_FUNCTION(kelu_symEncryptData, kSymEncryptData)

const ScriptFunction kSymDecryptData = {
    kSymDecryptDataArgs, CountStep::kPlain,
    {{"strBase64EncryptedMessage", kText}, {"strSymEncAlgorithm", kText},
     {"strSymKey", InputLog::kSecretText}},
    "SymDecryptData",
    [](const ScriptInputs &in, HandedOut &out) {
      return SymDecryptData(in.text(0), in.text(1), in.text(2), out.bytes(0), out.size(0));
    },
    {{3, OutputKind::kSecretBytes, "pszPlainData", "nPlainDataLen", "!pszPlainData"}}};
KELU_SCRIPT_FUNCTION(kelu_symDecryptData, kSymDecryptData)

const ScriptFunction kSymEncryptFile = {
    kSymEncryptFileArgs, CountStep::kPlain,
    {{"strSymEncAlgorithm", kText}, {"strPlainFilePath", kText}, {"strEncryptFilePath", kText}},
    "SymEncryptFile",
    [](const ScriptInputs &in, HandedOut &out) {
      return SymEncryptFile(in.text(0), in.text(1), in.text(2), out.text(0));
    },
    {{3, OutputKind::kSecretText}}};
KELU_SCRIPT_FUNCTION(kelu_symEncryptFile, kSymEncryptFile)

const ScriptFunction kSymDecryptFile = {
    kSymDecryptFileArgs, CountStep::kPlain,
    {{"strSymEncAlgorithm", kText}, {"strEncryptFilePath", kText},
     {"strSymKey", InputLog::kSecretText}, {"strPlainFilePath", kText}},
    "SymDecryptFile",
    [](const ScriptInputs &in, HandedOut &) {
      return SymDecryptFile(in.text(0), in.text(1), in.text(2), in.text(3));
    },
    {}};
KELU_SCRIPT_FUNCTION(kelu_symDecryptFile, kSymDecryptFile)

// Certificates.

const ScriptFunction kVerifyCertificate = {
    kVerifyCertificateArgs, CountStep::kFullStop,
    {{"strBase64CertContent", kText}, {"nCertVerifyFlag", InputLog::kNumber},
     {"strTrustedCACertFilePath", kText}, {"strCRLFilePath", kText}},
    "VerifyCertificate",
    [](const ScriptInputs &in, HandedOut &) {
      return VerifyCertificate(in.text(0), in.number(1), in.text(2), in.text(3));
    },
    {}};
KELU_SCRIPT_FUNCTION(kelu_verifyCertificate, kVerifyCertificate)

const ScriptFunction kGetCertificateInfo = {
    kGetCertificateInfoArgs, CountStep::kFullStop,
    {{"strBase64CertContent", kText}, {"strInfoType", kText}}, "GetCertificateInfo",
    [](const ScriptInputs &in, HandedOut &out) {
      return GetCertificateInfo(in.text(0), in.text(1), out.text(0));
    },
    {{2, OutputKind::kText, "pszInfoContent"}}};
KELU_SCRIPT_FUNCTION(kelu_getCertificateInfo, kGetCertificateInfo)

const ScriptFunction kGetPublicCertFromPFX = {
    kGetPublicCertFromPFXArgs, CountStep::kFullStop,
    {{"strAlgorithm", kText}, {"strPfxFilePath", kText}, {"strPfxPassWord", InputLog::kPassword}},
    "GetPublicCertFromPFX",
    [](const ScriptInputs &in, HandedOut &out) {
      return GetPublicCertFromPFX(in.text(0), in.text(1), in.text(2), out.text(0));
    },
    {{3, OutputKind::kText, "strBase64CertContent"}}};
KELU_SCRIPT_FUNCTION(kelu_getPublicCertFromPFX, kGetPublicCertFromPFX)

// ---- Registration ----

// Every script function runs inside the toolkit's call boundary, so that PHP's own openssl
// functions see neither the toolkit's library context nor its errors.
template <Php::NativeCallback F>
Php::Value AtCallBoundary(Php::Parameters &params) {
  const kelu::toolkit::CallBoundary boundary;
  return F(params);
}
template <Php::NativeCallbackNoArguments F>
Php::Value AtCallBoundary() {
  const kelu::toolkit::CallBoundary boundary;
  return F();
}

// The function's own name is the name scripts call it by.
#define KELU_REGISTER(function, arguments) \
  extension->add<AtCallBoundary<function>>(#function, arguments)

std::unique_ptr<Php::Extension> BuildExtension() {
  auto extension = std::make_unique<Php::Extension>("ORVAExtension", "3.0", kBindingApiVersion);
  KELU_REGISTER(kelu_initialize, kInitializeArgs);
  KELU_REGISTER(kelu_uninitialize, {});
  KELU_REGISTER(kelu_signData_PKCS1, kSignDataPKCS1Args);
  KELU_REGISTER(kelu_signData_PKCS7Detached, kSignDataPKCS7DetachedArgs);
  KELU_REGISTER(kelu_signData_PKCS7Attached, kSignDataPKCS7AttachedArgs);
  KELU_REGISTER(kelu_verifyDataSignature_PKCS1, kVerifyDataSignaturePKCS1Args);
  KELU_REGISTER(kelu_verifyDataSignature_PKCS7Detached, kVerifyDataSignaturePKCS7DetachedArgs);
  KELU_REGISTER(kelu_verifyDataSignature_PKCS7Attached, kVerifyDataSignaturePKCS7AttachedArgs);
  KELU_REGISTER(kelu_signFile_PKCS7Detached, kSignFilePKCS7DetachedArgs);
  KELU_REGISTER(kelu_verifyFileSignature_PKCS7Detached, kVerifyFileSignaturePKCS7DetachedArgs);
  KELU_REGISTER(kelu_encryptDataToCMSEnvelope, kEncryptDataToCMSEnvelopeArgs);
  KELU_REGISTER(kelu_decryptDataFromCMSEnvelope, kDecryptDataFromCMSEnvelopeArgs);
  KELU_REGISTER(kelu_encryptDataToCMSEnvelopeEx, kEncryptDataToCMSEnvelopeArgs);
  KELU_REGISTER(kelu_decryptDataFromCMSEnvelopeEx, kDecryptDataFromCMSEnvelopeArgs);
  KELU_REGISTER(kelu_decryptDataFromCMSEnvelope_ECB, kDecryptDataFromCMSEnvelopeArgs);
  KELU_REGISTER(kelu_decryptDataFromCMSEnvelopeEx_ECB, kDecryptDataFromCMSEnvelopeArgs);
  KELU_REGISTER(kelu_genSymKey, kGenSymKeyArgs);
  KELU_REGISTER(kelu_symEncryptData, kSymEncryptDataArgs);
  KELU_REGISTER(kelu_symDecryptData, kSymDecryptDataArgs);
  KELU_REGISTER(kelu_symEncryptFile, kSymEncryptFileArgs);
  KELU_REGISTER(kelu_symDecryptFile, kSymDecryptFileArgs);
  KELU_REGISTER(kelu_verifyCertificate, kVerifyCertificateArgs);
  KELU_REGISTER(kelu_getCertificateInfo, kGetCertificateInfoArgs);
  KELU_REGISTER(kelu_getPublicCertFromPFX, kGetPublicCertFromPFXArgs);
  KELU_REGISTER(kelu_calculateDataHash, kCalculateDataHashArgs);
  KELU_REGISTER(kelu_calculateFileHash, kCalculateFileHashArgs);
  return extension;
}

}  // namespace

// The one symbol the engine looks for. The extension is built and registered once, however
// often the engine asks; nothing is thrown back into the engine.
extern "C" ZEND_DLEXPORT zend_module_entry *get_module(void) {
  try {
    static const std::unique_ptr<Php::Extension> extension = BuildExtension();
    return extension->module();
  } catch (...) {
    return nullptr;
  }
}
