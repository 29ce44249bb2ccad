#include "DataSigning.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <sys/types.h>

#include <cinttypes>
#include <cstring>
#include <new>

// SM2.h comes before the message header, which defines SM2_RAW_RS_SIZE as a macro.
#include "SM2.h"
#include "SM3.h"

#include "CertificateFields.h"
#include "KeluErrors.h"
#include "KeluLimits.h"
#include "Misc.h"
#include "NationalObjects.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "RSADataSigning.h"
#include "SMFileCertOperations.h"
#include "SharedCertificates.h"
#include "kelu_zlog.h"

namespace {

using kelu::SM3_CTX;
constexpr size_t kZValueSize = 32;
constexpr int kCoordinateSize = 32;

int CheckDigestArguments(const TraceSite &site, const unsigned char *digest,
                         const unsigned char *x, const unsigned char *y, bool with_z) {
  return TraceCheck(site, digest != nullptr && (!with_z || (x != nullptr && y != nullptr)),
                    "Check Parameters(pbyHashValue)", KELU_ERR_INVALID_PARAMETER,
                    "NULL == pbyHashValue || (bWithZValue && (NULL == X || NULL == Y))");
}

// SM3_Init and, with the Z value, Z of the public key for the default user ID in front.
int StartDigest(const TraceSite &site, SM3_CTX *ctx, const unsigned char *x,
                const unsigned char *y, bool with_z) {
  std::memset(ctx, 0, sizeof *ctx);
  int rc = TraceCheck(site, kelu::SM3_Init(ctx) == 1, "SM3_Init", KELU_ERR_FAILED,
                      "nResult != 1");
  if (rc != KELU_OK || !with_z) return rc;
  unsigned char z[kZValueSize] = {};
  rc = TraceCheck(site, kelu::_SM2_CalculateDefaultZValue(x, y, z) == 1,
                  "_SM2_CalculateDefaultZValue", KELU_ERR_FAILED, "nResult != 1");
  if (rc != KELU_OK) return rc;
  return TraceCheck(site, kelu::SM3_Update(ctx, z, sizeof z) == 1, "SM3_Update(Z)",
                    KELU_ERR_FAILED, "nResult != 1");
}

// Finishes into a local buffer, so that the caller's is written only on success.
int FinishDigest(const TraceSite &site, SM3_CTX *ctx, unsigned char *out) {
  unsigned char md[kelu::kSM3DigestLength];
  int rc = TraceCheck(site, kelu::SM3_Final(md, ctx) == 1, "SM3_Final", KELU_ERR_FAILED,
                      "nResult != 1");
  if (rc == KELU_OK) std::memcpy(out, md, sizeof md);
  return rc;
}

// The count of each read, logged ahead of the read's step line.
void LogBlockRead(size_t ulOnceReadSize) {
  TRACE(KELU_TRACE_INFO, "Once read file size: %zu", ulOnceReadSize);
}

kelu::BignumPtr HexNumber(const char *hex) {
  BIGNUM *bn = nullptr;
  if (BN_hex2bn(&bn, hex) == 0) return nullptr;
  return kelu::BignumPtr(bn);
}

}  // namespace

int CalculateSM3Hash(const unsigned char *pbySourceData, int nSourceDataSize,
                     const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                     unsigned char *pbyHashValue, bool bWithZValue) {
  int rc = TraceCheck(KELU_HERE,
                      nSourceDataSize >= 0 && (pbySourceData != nullptr || nSourceDataSize == 0),
                      "Check Parameters(pbySourceData)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pbySourceData || 0 > nSourceDataSize");
  if (rc != KELU_OK) return rc;
  rc = CheckDigestArguments(KELU_HERE, pbyHashValue, pbyPublicX, pbyPublicY, bWithZValue);
  if (rc != KELU_OK) return rc;
  SM3_CTX ctx;
  rc = StartDigest(KELU_HERE, &ctx, pbyPublicX, pbyPublicY, bWithZValue);
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE,
                  kelu::SM3_Update(&ctx, pbySourceData, static_cast<size_t>(nSourceDataSize)) == 1,
                  "SM3_Update(Source)", KELU_ERR_FAILED, "nResult != 1");
  if (rc != KELU_OK) return rc;
  return FinishDigest(KELU_HERE, &ctx, pbyHashValue);
}

int CalculateSM3FileHash(FILE *fpSourceFile, uint64_t ulBytesToRead,
                         const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                         unsigned char *pbyHashValue, bool bWithZValue) {
  int rc = TraceCheck(KELU_HERE, fpSourceFile != nullptr, "Check Parameters(fpSourceFile)",
                      KELU_ERR_INVALID_PARAMETER, "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = CheckDigestArguments(KELU_HERE, pbyHashValue, pbyPublicX, pbyPublicY, bWithZValue);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "Bytes to read from file: %" PRIu64 "\n", ulBytesToRead);
  SM3_CTX ctx;
  rc = StartDigest(KELU_HERE, &ctx, pbyPublicX, pbyPublicY, bWithZValue);
  if (rc != KELU_OK) return rc;
  unsigned char block[BLOCK_SIZE];
  uint64_t total = 0;
  while (total < ulBytesToRead) {
    const bool full = ulBytesToRead - total >= BLOCK_SIZE;
    const size_t want = full ? BLOCK_SIZE : static_cast<size_t>(ulBytesToRead - total);
    rc = ReadFileBlock(KELU_HERE, fpSourceFile, block, want, "fread(fpSourceFile)",
                       full ? "ulOnceReadSize != BLOCK_SIZE || ferror(fpSourceFile) != 0"
                            : "ulOnceReadSize != ulBytesToRead || ferror(fpSourceFile) != 0",
                       LogBlockRead);
    if (rc != KELU_OK) return rc;
    rc = TraceCheck(KELU_HERE, kelu::SM3_Update(&ctx, block, want) == 1,
                    full ? "SM3_Update(file block)" : "SM3_Update(final block)", KELU_ERR_FAILED,
                    "nResult != 1");
    if (rc != KELU_OK) return rc;
    total += want;
  }
  TRACE(KELU_TRACE_INFO, "Total read file size: %" PRIu64, total);
  return FinishDigest(KELU_HERE, &ctx, pbyHashValue);
}

int CalculateSM3FileHashEx(FILE *fpSourceFile, const unsigned char *pbyPublicX,
                           const unsigned char *pbyPublicY, unsigned char *pbyHashValue,
                           bool bWithZValue) {
  uint64_t size = 0;
  int rc = MeasureFile(KELU_HERE, fpSourceFile, "GetFileSize", &size);
  if (rc != KELU_OK) return rc;
  rc = CalculateSM3FileHash(fpSourceFile, size, pbyPublicX, pbyPublicY, pbyHashValue,
                            bWithZValue);
  return TraceCheck(KELU_HERE, rc == KELU_OK, "CalculateSM3FileHash", rc, "KELU_OK != nResult");
}

int SM2_CalculateZValue(const unsigned char *pbyUserID, int nUserIDSize,
                        const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                        unsigned char *pbyZValue) {
  // ENTL, the ID's length in bits, has 16 bits.
  if (nUserIDSize < 0 || nUserIDSize > kelu::SM2_MAX_ID_LENGTH) return 0;
  if ((pbyUserID == nullptr && nUserIDSize != 0) || pbyPublicX == nullptr ||
      pbyPublicY == nullptr || pbyZValue == nullptr) {
    return 0;
  }
  const kelu::NationalCurve *curve = kelu::FindNationalCurve(kelu::NID_prime256v1SM2);
  if (curve == nullptr) return 0;
  kelu::BignumPtr a = HexNumber(curve->a), b = HexNumber(curve->b);
  kelu::BignumPtr gx = HexNumber(curve->gx), gy = HexNumber(curve->gy);
  kelu::BignumPtr x(BN_new()), y(BN_new());
  if (!a || !b || !gx || !gy || !x || !y) return 0;
  if (kelu::_SM2_Bytes2BN(pbyPublicX, kCoordinateSize, x.get()) != 1 ||
      kelu::_SM2_Bytes2BN(pbyPublicY, kCoordinateSize, y.get()) != 1) {
    return 0;
  }
  static const unsigned char kNoId[1] = {0};
  unsigned char z[kZValueSize];
  if (kelu::_SM2_CalculateZValue(pbyUserID != nullptr ? pbyUserID : kNoId, nUserIDSize, a.get(),
                                 b.get(), gx.get(), gy.get(), x.get(), y.get(), z) != 1) {
    return 0;
  }
  std::memcpy(pbyZValue, z, sizeof z);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// SM2 signatures

namespace {

using kelu::ops::BytesPtr;
using kelu::ops::CheckFile;
using kelu::ops::CheckTextOutput;
using kelu::ops::DecodeText;
using kelu::ops::HandOutAsText;
using kelu::ops::NamedStep;
using kelu::ops::Output;
using kelu::ops::Signed;
using kelu::ops::WholeFileTexts;

constexpr int kRSValueSize = SM2_RAW_RS_SIZE / 2;
constexpr char kSMSignedDataOid[] = "1.2.156.10197.6.1.4.2.2";
constexpr char kSMDataOid[] = "1.2.156.10197.6.1.4.2.1";
constexpr char kSM3Oid[] = "1.2.156.10197.1.401";
constexpr char kMessageDigestOid[] = "1.2.840.113549.1.9.4";
constexpr char kNationalOidPrefix[] = "1.2.156.10197";

// How each signer reads its key file.
const WholeFileTexts kDataKeyFile = {"!pbyBase64SM2PFXData", "ferror(fpSM2PFXFile)", false};
const WholeFileTexts kFileKeyFile = {
    "!pbyBase64PFXData", "nBase64PFXDataSize != nBase64PFXDataSizeRead || ferror(pfSM2PFXFile)",
    true};
const WholeFileTexts kPkcs7DataKeyFile = {"!pszBase64SM2PFXData", "ferror(fpSM2PFXFile)", false};
const WholeFileTexts kPkcs7FileKeyFile = {
    "!pbyBase64PFXData", "nBase64PFXDataSize != nBase64PFXDataSizeRead || ferror(fpSM2PFXFile)",
    true};

// A key pair released, its private key wiped, on every path.
class KeyPairHolder {
 public:
  KeyPairHolder() = default;
  ~KeyPairHolder() { CleanupSM2KeyPair(&pair_); }
  KeyPairHolder(const KeyPairHolder &) = delete;
  KeyPairHolder &operator=(const KeyPairHolder &) = delete;
  SM2_KEY_PAIR *get() { return &pair_; }

 private:
  SM2_KEY_PAIR pair_ = {};
};

// The signers read exactly 32 bytes of each field.
int CheckKeyPair(const TraceSite &site, const SM2_KEY_PAIR *pair) {
  const bool usable = pair != nullptr && pair->pbyPrivateKey != nullptr &&
                      pair->nPrivateKeySize == kRSValueSize && pair->pbyPubKeyX != nullptr &&
                      pair->nPubKeyXSize == kCoordinateSize && pair->pbyPubKeyY != nullptr &&
                      pair->nPubKeyYSize == kCoordinateSize;
  return TraceCheck(site, usable, "Check parameter(pstSM2KeyPair)", KELU_ERR_INVALID_PARAMETER,
                    "NULL == pstSM2KeyPair || 32 != nPrivateKeySize || 32 != nPubKeyXSize || "
                    "32 != nPubKeyYSize");
}

int CheckRawOutput(const TraceSite &site, unsigned char **rs, int *rs_size) {
  return TraceCheck(site, rs != nullptr && rs_size != nullptr,
                    "Check parameter(ppbySM2RawSignatureRS)", KELU_ERR_INVALID_PARAMETER,
                    "NULL == ppbySM2RawSignatureRS || NULL == pnSM2RawSignatureRSSize");
}

// The SM3 digest of the bytes (CalculateSM3Hash) or of the whole file (CalculateSM3FileHashEx).
int DigestOf(const TraceSite &site, const Signed &source, const unsigned char *x,
             const unsigned char *y, bool with_z, unsigned char *e) {
  if (source.file != nullptr) {
    return NamedStep(site, CalculateSM3FileHashEx(source.file, x, y, e, with_z),
                     "CalculateSM3FileHashEx");
  }
  return NamedStep(site, CalculateSM3Hash(source.data, source.size, x, y, e, with_z),
                   "CalculateSM3Hash");
}

// r || s into the caller's output pair (SM2_RAW_RS_SIZE bytes), written on success only.
int SignRaw(const TraceSite &site, const Signed &source, const SM2_KEY_PAIR *pair, bool with_z,
            const char *sign_reason, unsigned char **out, int *out_size) {
  int rc = CheckRawOutput(site, out, out_size);
  if (rc != KELU_OK) return rc;
  rc = CheckKeyPair(site, pair);
  if (rc != KELU_OK) return rc;
  unsigned char e[kelu::kSM3DigestLength];
  rc = DigestOf(site, source, pair->pbyPubKeyX, pair->pbyPubKeyY, with_z, e);
  if (rc != KELU_OK) return rc;
  unsigned char r[kRSValueSize], s[kRSValueSize];
  rc = TraceCheck(site, kelu::_SM2_sign_ex(e, pair->pbyPrivateKey, r, s) == 1, "_SM2_sign_ex",
                  KELU_ERR_FAILED, sign_reason);
  if (rc != KELU_OK) return rc;
  BytesPtr rs(new (std::nothrow) unsigned char[SM2_RAW_RS_SIZE]());
  rc = TraceCheck(site, rs != nullptr, "New memory", KELU_ERR_FAILED, "!pbySM2RawSignatureRS");
  if (rc != KELU_OK) return rc;
  std::memcpy(rs.get(), r, sizeof r);
  std::memcpy(rs.get() + kRSValueSize, s, sizeof s);
  *out = rs.release();
  *out_size = SM2_RAW_RS_SIZE;
  return KELU_OK;
}

// A signing key out of an SM2 key file: the certificate inside (which must allow
// digitalSignature when usage is checked) and the key pair decrypted with the password.
struct SigningKey {
  KeyPairHolder pair;
  BytesPtr cert;
  int cert_size = 0;
};

int OpenSigningKey(const TraceSite &site, FILE *key_file, const char *password,
                   const WholeFileTexts &texts, bool check_usage, SigningKey *key) {
  // A null password is no wrong password: refused before the key file is read.
  int rc = TraceCheck(site, password != nullptr, "Check parameter(pszPFXPwd)",
                      KELU_ERR_INVALID_PARAMETER, "NULL == pszPFXPwd");
  if (rc != KELU_OK) return rc;
  BytesPtr der;
  int der_size = 0;
  rc = ReadSM2PFXFile(site, key_file, texts, &der, &der_size);
  if (rc != KELU_OK) return rc;
  unsigned char *cert = nullptr;
  rc = ParseSM2PFX(der.get(), der_size, nullptr, nullptr, &cert, &key->cert_size);
  key->cert.reset(cert);
  rc = NamedStep(site, rc, "ParseSM2PFX");
  if (rc != KELU_OK) return rc;
  if (check_usage) {
    rc = kelu::ops::RequireSigningUsage(site, key->cert.get(), key->cert_size);
    if (rc != KELU_OK) return rc;
  }
  rc = DecryptKeyPairFromSM2PFX(der.get(), der_size, password, key->pair.get());
  return TraceCheck(site, rc == KELU_OK, "DecryptKeyPairFromSM2PFX", KELU_ERR_KEY_FILE_PASSWORD,
                    "KELU_OK != nResult");
}

// The raw signature made with the key of a key file, by the raw signer of the key pair.
int SignWithKeyFile(const TraceSite &site, const Signed &source, FILE *key_file,
                    const char *password, const WholeFileTexts &texts, bool check_usage,
                    bool with_z, SigningKey *key, BytesPtr *rs) {
  int rc = OpenSigningKey(site, key_file, password, texts, check_usage, key);
  if (rc != KELU_OK) return rc;
  unsigned char *raw = nullptr;
  int raw_size = 0;
  if (source.file != nullptr) {
    rc = SignFile_Raw_ByKeyPair(source.file, key->pair.get(), &raw, &raw_size, with_z);
  } else {
    rc = SignData_Raw_ByKeyPair(source.data, source.size, key->pair.get(), &raw, &raw_size,
                                with_z);
  }
  rs->reset(raw);
  return NamedStep(site, rc,
                   source.file != nullptr ? "SignFile_Raw_ByKeyPair" : "SignData_Raw_ByKeyPair");
}

// SignData_Raw_BySM2PFX and SignFile_Raw_BySM2PFX after their file checks.
int SignRawWithKeyFile(const TraceSite &site, const Signed &source, FILE *key_file,
                       const char *password, const WholeFileTexts &texts, bool with_z,
                       unsigned char **out, int *out_size) {
  int rc = CheckRawOutput(site, out, out_size);
  if (rc != KELU_OK) return rc;
  SigningKey key;
  BytesPtr rs;
  rc = SignWithKeyFile(site, source, key_file, password, texts, true, with_z, &key, &rs);
  if (rc != KELU_OK) return rc;
  *out = rs.release();
  *out_size = SM2_RAW_RS_SIZE;
  return KELU_OK;
}

// The PKCS#1-style text of what a raw signer handed out: the 64 bytes, or their SM2Q1.
int HandOutPkcs1(const TraceSite &site, int rc, const char *raw_step, unsigned char *raw,
                 unsigned long selector, unsigned long flags, char **text, int *length) {
  BytesPtr rs(raw);
  rc = NamedStep(site, rc, raw_step);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "fSignatureEncodedType = 0x%04lx", selector);
  if (selector == PKCS1_SIGNATURE_ENCODED_RAW_RS)
    return kelu::ops::EncodeText(site, rs.get(), SM2_RAW_RS_SIZE, flags, text, length);
  if (selector != PKCS1_SIGNATURE_ENCODED_SM2_Q1) {
    return TraceCheck(site, false, "Invalid SM2 signature encoded type",
                      KELU_ERR_INVALID_PARAMETER, "true");
  }
  unsigned char *q1 = nullptr;
  int q1_size = 0;
  rc = Encode_SM2Q1(rs.get(), kRSValueSize, rs.get() + kRSValueSize, kRSValueSize, &q1, &q1_size);
  return HandOutAsText(site, rc, "Encode_SM2Q1", q1, q1_size, flags, text, length);
}

int CheckRawSignature(const TraceSite &site, const unsigned char *rs, int rs_size) {
  return TraceCheck(site, rs != nullptr && rs_size == SM2_RAW_RS_SIZE,
                    "Check SM2 raw signature size", KELU_ERR_INVALID_PARAMETER,
                    "(NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize)");
}

// _SM2_verify_ex of r || s over the digest: 1 is a valid signature, anything else -1.
int VerifyDigest(const TraceSite &site, const unsigned char *e, const unsigned char *x,
                 const unsigned char *y, const unsigned char *rs, const char *step,
                 const char *reason) {
  return TraceCheck(site, kelu::_SM2_verify_ex(rs, rs + kRSValueSize, x, y, e) == 1, step,
                    KELU_ERR_FAILED, reason);
}

int VerifyRaw(const TraceSite &site, const Signed &source, const unsigned char *x,
              const unsigned char *y, const unsigned char *rs, int rs_size, bool with_z,
              const char *verify_step, const char *verify_reason) {
  int rc = CheckRawSignature(site, rs, rs_size);
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(site, x != nullptr && y != nullptr, "Check parameter(pbyPubKeyX and pbyPubKeyY)",
                  KELU_ERR_INVALID_PARAMETER, "NULL == pbyPubKeyX || NULL == pbyPubKeyY");
  if (rc != KELU_OK) return rc;
  unsigned char e[kelu::kSM3DigestLength];
  rc = DigestOf(site, source, x, y, with_z, e);
  if (rc != KELU_OK) return rc;
  return VerifyDigest(site, e, x, y, rs, verify_step, verify_reason);
}

struct PublicKey {
  BytesPtr x, y;
};

int PublicKeyOf(const TraceSite &site, const unsigned char *cert, int cert_size, PublicKey *key) {
  unsigned char *x = nullptr, *y = nullptr;
  int x_size = 0, y_size = 0;
  const int rc = kelu::GetPublicKeyXYFromSM2Cert(cert, cert_size, &x, &x_size, &y, &y_size);
  key->x.reset(x);
  key->y.reset(y);
  return NamedStep(site, rc, "GetPublicKeyXYFromSM2Cert");
}

// r || s against the public key of a certificate, by the raw verifier of the bytes or the file.
int VerifyRawWithCert(const TraceSite &site, const Signed &source, const unsigned char *cert,
                      int cert_size, const unsigned char *rs, int rs_size, bool with_z) {
  PublicKey key;
  int rc = PublicKeyOf(site, cert, cert_size, &key);
  if (rc != KELU_OK) return rc;
  if (source.file != nullptr) {
    rc = VerifyFileSignature_Raw(source.file, key.x.get(), key.y.get(), rs, rs_size, with_z);
    return NamedStep(site, rc, "VerifyFileSignature_Raw");
  }
  rc = VerifySignature_Raw(source.data, source.size, key.x.get(), key.y.get(), rs, rs_size,
                           with_z);
  return NamedStep(site, rc, "VerifySignature_Raw");
}

// r || s of a PKCS#1-style signature: 64 bytes as they are, 66 to 72 bytes an SM2Q1.
int RawOfPkcs1Signature(const TraceSite &site, const unsigned char *signature, int size,
                        BytesPtr *rs) {
  TRACE(KELU_TRACE_INFO, "SM2 PKCS#1 signature size:%d", size);
  const SM2SignatureForm form = signature != nullptr && size > 0
                                    ? SM2SignatureFormOfSize(static_cast<uint64_t>(size))
                                    : SM2SignatureForm::kNone;
  if (form == SM2SignatureForm::kRawRS) {
    TRACE(KELU_TRACE_INFO, "It's SM2 raw RS signature.");
    rs->reset(new (std::nothrow) unsigned char[SM2_RAW_RS_SIZE]);
    int rc = TraceCheck(site, *rs != nullptr, "New memory", KELU_ERR_FAILED, "!pbyRawSignatureRS");
    if (rc == KELU_OK) std::memcpy(rs->get(), signature, SM2_RAW_RS_SIZE);
    return rc;
  }
  if (form == SM2SignatureForm::kSM2Q1) {
    TRACE(KELU_TRACE_INFO, "It's SM2 ASN.1 encoded Q1 signature.");
    unsigned char *raw = nullptr;
    int raw_size = 0;
    const int rc = Decode_SM2Q1(signature, size, &raw, &raw_size);
    rs->reset(raw);
    return NamedStep(site, rc, "Decode_SM2Q1");
  }
  return TraceCheck(site, false, "Invalid SM2 PKCS#1 signature size.", KELU_ERR_BAD_SIGNATURE,
                    "true");
}

int VerifyPkcs1WithCert(const TraceSite &site, const Signed &source, const unsigned char *cert,
                        int cert_size, const unsigned char *signature, int size, bool with_z) {
  BytesPtr rs;
  int rc = RawOfPkcs1Signature(site, signature, size, &rs);
  if (rc != KELU_OK) return rc;
  return VerifyRawWithCert(site, source, cert, cert_size, rs.get(), SM2_RAW_RS_SIZE, with_z);
}

// The DER of a certificate that a key file holds as PEM text.
int DerOfPem(const TraceSite &site, const SigningKey &key, BytesPtr *der, int *der_size) {
  kelu::SharedX509 cert;
  int rc = kelu::ReadSharedX509(site, key.cert.get(), key.cert_size, &cert);
  if (rc != KELU_OK) return rc;
  return kelu::ops::EncodeDer(site, i2d_X509, static_cast<const X509 *>(cert.get()), "i2d_X509",
                              "nDERCertSize <= 0", der, der_size);
}

// The SignedData of r || s under the national content types; the DER in memory when der is
// given, else onto out.
int EncodeSignedData(const TraceSite &site, const SigningKey &key, const Signed &source,
                     bool attached, const BytesPtr &rs, unsigned long selector, const char *oid,
                     unsigned char **der, int *der_size, FILE *out) {
  // PEM text has no place in a DER SignedData; DER goes in as it is.
  const unsigned char *cert = key.cert.get();
  int cert_size = key.cert_size;
  BytesPtr converted;
  if (!kelu::IsDerX509(cert, cert_size)) {
    int rc = DerOfPem(site, key, &converted, &cert_size);
    if (rc != KELU_OK) return rc;
    cert = converted.get();
  }
  const int rc = Encode_PKCS7Signature(
      cert, cert_size, source.data, source.size,
      source.data == nullptr ? source.file : nullptr, attached, kSMSignedDataOid, kSMDataOid,
      kSM3Oid, nullptr, oid, rs.get(), SM2_RAW_RS_SIZE, selector, nullptr, der, der_size, out,
      nullptr);
  return NamedStep(site, rc, "Encode_PKCS7Signature", "nResult != KELU_OK");
}

// SignData_PKCS7_BySM2PFX and SignFile_PKCS7Detached_BySM2PFX after their checks.
int SignPkcs7ToText(const TraceSite &site, const Signed &source, FILE *key_file,
                    const char *password, const WholeFileTexts &texts, bool attached,
                    unsigned long flags, bool with_z, unsigned long selector, const char *oid,
                    char **text, int *length) {
  SigningKey key;
  BytesPtr rs;
  int rc = SignWithKeyFile(site, source, key_file, password, texts, true, with_z, &key, &rs);
  if (rc != KELU_OK) return rc;
  unsigned char *der = nullptr;
  int der_size = 0;
  rc = EncodeSignedData(site, key, Signed{source.data, source.size, nullptr}, attached, rs,
                        selector, oid, &der, &der_size, nullptr);
  BytesPtr holder(der);
  if (rc != KELU_OK) return rc;
  return kelu::ops::EncodeText(site, der, der_size, flags, text, length);
}

// What the parser hands out of a SignedData: the signature value as r || s, and the signed
// attributes when the signer has them.
struct ParsedSignedData {
  BytesPtr cert, signature, content, attributes;
  int cert_size = 0, signature_size = 0, content_size = 0, attributes_size = 0;
};

int ParseSignedData(const TraceSite &site, const unsigned char *der, int der_size,
                    const char *step, ParsedSignedData *p) {
  unsigned char *cert = nullptr, *signature = nullptr, *content = nullptr, *attributes = nullptr;
  const int rc = ParseSM2PKCS7Signature(der, der_size, &cert, &p->cert_size, &signature,
                                        &p->signature_size, &content, &p->content_size,
                                        &attributes, &p->attributes_size);
  p->cert.reset(cert);
  p->signature.reset(signature);
  p->content.reset(content);
  p->attributes.reset(attributes);
  return NamedStep(site, rc, step);
}

int RequireAttachedContent(const TraceSite &site, const ParsedSignedData &p) {
  return TraceCheck(site, p.content != nullptr && p.content_size != 0,
                    "Check P7 is source attached?", KELU_ERR_PKCS7_FORMAT,
                    "NULL == pbySourceData || 0 == nSourceDataSize");
}

int RequireNoContent(const TraceSite &site, const ParsedSignedData &p, const char *reason) {
  return TraceCheck(site, p.content == nullptr && p.content_size == 0,
                    "Check P7 is source detached?", KELU_ERR_PKCS7_FORMAT, reason);
}

// The messageDigest attribute must hold the digest: one OCTET STRING of its size.
int CompareMessageDigest(const TraceSite &site, const unsigned char *attributes, int size,
                         const unsigned char *digest, int digest_size) {
  unsigned char *value = nullptr;
  int value_size = 0;
  int rc = ParseSignedUnsignedAttributes(attributes, size, kMessageDigestOid, &value, &value_size);
  BytesPtr holder(value);
  rc = NamedStep(site, rc, "ParseSignedUnsignedAttributes");
  if (rc != KELU_OK) return rc;
  const bool same = value_size == digest_size + 2 && value[0] == 0x04 &&
                    value[1] == digest_size &&
                    CRYPTO_memcmp(value + 2, digest, static_cast<size_t>(digest_size)) == 0;
  return TraceCheck(site, same, "Compare signed attributes message digest",
                    KELU_ERR_DIGEST_MISMATCH, "true");
}

// The DER SET OF attributes that a signer with signed attributes signs: the [0] block with its
// tag replaced by the SET tag.
int SignedAttributesSet(const TraceSite &site, const unsigned char *attributes, int size,
                        BytesPtr *set) {
  set->reset(size > 0 ? new (std::nothrow) unsigned char[static_cast<size_t>(size)] : nullptr);
  int rc = TraceCheck(site, *set != nullptr, "New memory", KELU_ERR_FAILED, "!pbySignedAttrsDup");
  if (rc != KELU_OK) return rc;
  std::memcpy(set->get(), attributes, static_cast<size_t>(size));
  rc = TraceCheck(site, (*set)[0] == 0xA0, "Check signed attributes tag", KELU_ERR_PKCS7_FORMAT,
                  "0xA0 != pbySignedAttrsDup[0]");
  if (rc == KELU_OK) (*set)[0] = 0x31;
  return rc;
}

// With signed attributes a signer signs them, not the content (as CMS has it): their
// messageDigest must be e, the SM3 digest of the content, and r || s is checked over their
// DER SET. Any mismatch is -1, as a signature that does not verify.
int VerifySignedAttributes(const TraceSite &site, const ParsedSignedData &p,
                           const unsigned char *e, bool with_z) {
  int rc = CompareMessageDigest(site, p.attributes.get(), p.attributes_size, e,
                                kelu::kSM3DigestLength);
  if (rc != KELU_OK) {
    return TraceCheck(site, false, "Check signed attributes messageDigest", KELU_ERR_FAILED,
                      "messageDigest is not the SM3 digest of the content");
  }
  BytesPtr set;
  rc = SignedAttributesSet(site, p.attributes.get(), p.attributes_size, &set);
  if (rc != KELU_OK) return KELU_ERR_FAILED;
  return VerifyRawWithCert(site, Signed{set.get(), p.attributes_size, nullptr}, p.cert.get(),
                           p.cert_size, p.signature.get(), p.signature_size, with_z);
}

// The signature of a parsed SignedData against the certificate it carries: over the content,
// or over the signed attributes that hold its digest.
int VerifyParsed(const TraceSite &site, const ParsedSignedData &p, const Signed &source,
                 bool with_z) {
  if (p.attributes == nullptr) {
    return VerifyRawWithCert(site, source, p.cert.get(), p.cert_size, p.signature.get(),
                             p.signature_size, with_z);
  }
  unsigned char e[kelu::kSM3DigestLength];
  int rc = DigestOf(site, source, nullptr, nullptr, false, e);
  if (rc != KELU_OK) return rc;
  return VerifySignedAttributes(site, p, e, with_z);
}

}  // namespace

int SignData_Raw_ByKeyPair(const unsigned char *pbySourceData, int nSourceDataSize,
                           const SM2_KEY_PAIR_st *pstSM2KeyPair,
                           unsigned char **ppbySM2RawSignatureRS, int *pnSM2RawSignatureRSSize,
                           bool bWithZValue) {
  return SignRaw(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr}, pstSM2KeyPair,
                 bWithZValue, "nResult != 1", ppbySM2RawSignatureRS, pnSM2RawSignatureRSSize);
}

int SignFile_Raw_ByKeyPair(FILE *fpSourceFile, const SM2_KEY_PAIR_st *pstSM2KeyPair,
                           unsigned char **ppbySM2RawSignatureRS, int *pnSM2RawSignatureRSSize,
                           bool bWithZValue) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters.", "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  return SignRaw(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, pstSM2KeyPair, bWithZValue,
                 "1 != nResult", ppbySM2RawSignatureRS, pnSM2RawSignatureRSSize);
}

int SignData_Raw_BySM2PFX(const unsigned char *pbySourceData, int nSourceDataSize,
                          FILE *fpSM2PFXFile, const char *pszPFXPwd,
                          unsigned char **ppbySM2RawSignatureRS, int *pnSM2RawSignatureRSSize,
                          bool bWithZValue) {
  int rc = CheckFile(KELU_HERE, fpSM2PFXFile, "check parameters.", "NULL == fpSM2PFXFile");
  if (rc != KELU_OK) return rc;
  return SignRawWithKeyFile(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr},
                            fpSM2PFXFile, pszPFXPwd, kDataKeyFile, bWithZValue,
                            ppbySM2RawSignatureRS, pnSM2RawSignatureRSSize);
}

int SignFile_Raw_BySM2PFX(FILE *fpSourceFile, FILE *pfSM2PFXFile, const char *pszPFXPwd,
                          unsigned char **ppbySM2RawSignatureRS, int *pnSM2RawSignatureRSSize,
                          bool bWithZValue) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters.", "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = CheckFile(KELU_HERE, pfSM2PFXFile, "check parameters.", "NULL == pfSM2PFXFile");
  if (rc != KELU_OK) return rc;
  return SignRawWithKeyFile(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, pfSM2PFXFile,
                            pszPFXPwd, kFileKeyFile, bWithZValue, ppbySM2RawSignatureRS,
                            pnSM2RawSignatureRSSize);
}

int SignData_PKCS1_ByKeyPair(const unsigned char *pbySourceData, int nSourceDataSize,
                             const SM2_KEY_PAIR_st *pstSM2KeyPair, char **ppszBase64Signature,
                             int *pnBase64SignatureLen, unsigned long dwBase64Flags,
                             bool bWithZValue, unsigned long fSignatureEncodedType) {
  int rc = CheckTextOutput(KELU_HERE, ppszBase64Signature);
  if (rc != KELU_OK) return rc;
  unsigned char *rs = nullptr;
  int rs_size = 0;
  rc = SignData_Raw_ByKeyPair(pbySourceData, nSourceDataSize, pstSM2KeyPair, &rs, &rs_size,
                              bWithZValue);
  return HandOutPkcs1(KELU_HERE, rc, "SignData_Raw_ByKeyPair", rs, fSignatureEncodedType,
                      dwBase64Flags, ppszBase64Signature, pnBase64SignatureLen);
}

int SignFile_PKCS1_ByKeyPair(FILE *fpSourceFile, const SM2_KEY_PAIR_st *pstSM2KeyPair,
                             char **ppszBase64Signature, int *pnBase64SignatureLen,
                             unsigned long dwBase64Flags, bool bWithZValue,
                             unsigned long fSignatureEncodedType) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters.", "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = CheckTextOutput(KELU_HERE, ppszBase64Signature);
  if (rc != KELU_OK) return rc;
  unsigned char *rs = nullptr;
  int rs_size = 0;
  rc = SignFile_Raw_ByKeyPair(fpSourceFile, pstSM2KeyPair, &rs, &rs_size, bWithZValue);
  return HandOutPkcs1(KELU_HERE, rc, "SignFile_Raw_ByKeyPair", rs, fSignatureEncodedType,
                      dwBase64Flags, ppszBase64Signature, pnBase64SignatureLen);
}

int SignData_PKCS1_BySM2PFX(const unsigned char *pbySourceData, int nSourceDataSize,
                            FILE *fpSM2PFXFile, const char *pszPFXPwd, char **ppszBase64Signature,
                            int *pnBase64SignatureLen, unsigned long dwBase64Flags,
                            bool bWithZValue, unsigned long fSignatureEncodedType) {
  int rc = CheckTextOutput(KELU_HERE, ppszBase64Signature);
  if (rc != KELU_OK) return rc;
  unsigned char *rs = nullptr;
  int rs_size = 0;
  rc = SignData_Raw_BySM2PFX(pbySourceData, nSourceDataSize, fpSM2PFXFile, pszPFXPwd, &rs,
                             &rs_size, bWithZValue);
  return HandOutPkcs1(KELU_HERE, rc, "SignData_Raw_BySM2PFX", rs, fSignatureEncodedType,
                      dwBase64Flags, ppszBase64Signature, pnBase64SignatureLen);
}

int SignFile_PKCS1_BySM2PFX(FILE *fpSourceFile, FILE *fpSM2PFXFile, const char *pszPFXPwd,
                            char **ppszBase64Signature, int *pnBase64SignatureLen,
                            unsigned long dwBase64Flags, bool bWithZValue,
                            unsigned long fSignatureEncodedType) {
  int rc = CheckTextOutput(KELU_HERE, ppszBase64Signature);
  if (rc != KELU_OK) return rc;
  unsigned char *rs = nullptr;
  int rs_size = 0;
  rc = SignFile_Raw_BySM2PFX(fpSourceFile, fpSM2PFXFile, pszPFXPwd, &rs, &rs_size, bWithZValue);
  return HandOutPkcs1(KELU_HERE, rc, "SignFile_Raw_BySM2PFX", rs, fSignatureEncodedType,
                      dwBase64Flags, ppszBase64Signature, pnBase64SignatureLen);
}

int VerifySignature_Raw(const unsigned char *pbySourceData, int nSourceDataSize,
                        const unsigned char *pbyPubKeyX, const unsigned char *pbyPubKeyY,
                        const unsigned char *pbyRawSignatureRS, int nRawSignatureRSSize,
                        bool bWithZValue) {
  return VerifyRaw(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr}, pbyPubKeyX,
                   pbyPubKeyY, pbyRawSignatureRS, nRawSignatureRSSize, bWithZValue,
                   "SM2_verify_ex", "nResult != 1");
}

int VerifyFileSignature_Raw(FILE *fpSourceFile, const unsigned char *pbyPubKeyX,
                            const unsigned char *pbyPubKeyY,
                            const unsigned char *pbyRawSignatureRS, int nRawSignatureRSSize,
                            bool bWithZValue) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "Check file handle", "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  return VerifyRaw(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, pbyPubKeyX, pbyPubKeyY,
                   pbyRawSignatureRS, nRawSignatureRSSize, bWithZValue, "_SM2_verify_ex",
                   "1 != nResult");
}

int VerifySignature_DERPKCS1_ByCert(const unsigned char *pbySourceData, int nSourceDataSize,
                                    const unsigned char *pbyCert, int nCertSize,
                                    const unsigned char *pbySignature, int nSignatureSize,
                                    bool bWithZValue) {
  return VerifyPkcs1WithCert(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr}, pbyCert,
                             nCertSize, pbySignature, nSignatureSize, bWithZValue);
}

int VerifySignature_PKCS1_ByCert(const unsigned char *pbySourceData, int nSourceDataSize,
                                 const char *pszBase64Cert, int nBase64CertLen,
                                 const char *pszBase64PKCS1Signature,
                                 int nBase64PKCS1SignatureLen, bool bWithZValue) {
  BytesPtr cert, signature;
  int cert_size = 0, signature_size = 0;
  int rc = DecodeText(KELU_HERE, pszBase64Cert, nBase64CertLen, "Base64DecodeEx(pszBase64Cert)",
                      &cert, &cert_size);
  if (rc != KELU_OK) return rc;
  rc = DecodeText(KELU_HERE, pszBase64PKCS1Signature, nBase64PKCS1SignatureLen,
                  "Base64DecodeEx(pszBase64PKCS1Signature)", &signature, &signature_size);
  if (rc != KELU_OK) return rc;
  rc = VerifySignature_DERPKCS1_ByCert(pbySourceData, nSourceDataSize, cert.get(), cert_size,
                                       signature.get(), signature_size, bWithZValue);
  return NamedStep(KELU_HERE, rc, "VerifySignature_DERPKCS1_ByCert");
}

int VerifyFileSignature_PKCS1_ByCert(FILE *fpSourceFile, const char *pszBase64Cert,
                                     int nBase64CertLen, const char *pszBase64PKCS1Signature,
                                     int nBase64PKCS1SignatureLen, bool bWithZValue) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters.", "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  BytesPtr cert, signature;
  int cert_size = 0, signature_size = 0;
  rc = DecodeText(KELU_HERE, pszBase64Cert, nBase64CertLen, "Base64DecodeEx", &cert, &cert_size);
  if (rc != KELU_OK) return rc;
  rc = DecodeText(KELU_HERE, pszBase64PKCS1Signature, nBase64PKCS1SignatureLen, "Base64DecodeEx",
                  &signature, &signature_size);
  if (rc != KELU_OK) return rc;
  return VerifyPkcs1WithCert(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, cert.get(), cert_size,
                             signature.get(), signature_size, bWithZValue);
}

int SignData_PKCS7_BySM2PFX(const unsigned char *pbySourceData, int nSourceDataSize,
                            FILE *fpSM2PFXFile, const char *pszPFXPwd, bool bAttached,
                            char **ppszBase64PKCS7Signature, int *pnBase64PKCS7SignatureLen,
                            unsigned long dwBase64Flags, bool bWithZValue,
                            unsigned long fSignatureEncodedType, const char *pszSignatureAlgOid) {
  int rc = CheckFile(KELU_HERE, fpSM2PFXFile, "check parameter.", "NULL == fpSM2PFXFile");
  if (rc != KELU_OK) return rc;
  rc = CheckTextOutput(KELU_HERE, ppszBase64PKCS7Signature);
  if (rc != KELU_OK) return rc;
  return SignPkcs7ToText(KELU_HERE, Signed{pbySourceData, nSourceDataSize, nullptr}, fpSM2PFXFile,
                         pszPFXPwd, kPkcs7DataKeyFile, bAttached, dwBase64Flags, bWithZValue,
                         fSignatureEncodedType, pszSignatureAlgOid, ppszBase64PKCS7Signature,
                         pnBase64PKCS7SignatureLen);
}

int SignFile_PKCS7Detached_BySM2PFX(FILE *fpSourceFile, FILE *fpSM2PFXFile, const char *pszPFXPwd,
                                    char **ppszBase64PKCS7Signature,
                                    int *pnBase64PKCS7SignatureLen, unsigned long dwBase64Flags,
                                    bool bWithZValue, unsigned long fSignatureEncodedType,
                                    const char *pszSignatureAlgOid) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters.", "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = CheckFile(KELU_HERE, fpSM2PFXFile, "check parameters.", "NULL == fpSM2PFXFile");
  if (rc != KELU_OK) return rc;
  rc = CheckTextOutput(KELU_HERE, ppszBase64PKCS7Signature);
  if (rc != KELU_OK) return rc;
  return SignPkcs7ToText(KELU_HERE, Signed{nullptr, 0, fpSourceFile}, fpSM2PFXFile, pszPFXPwd,
                         kPkcs7FileKeyFile, false, dwBase64Flags, bWithZValue,
                         fSignatureEncodedType, pszSignatureAlgOid, ppszBase64PKCS7Signature,
                         pnBase64PKCS7SignatureLen);
}

int SignFile_PKCS7Attached_BySM2PFX(FILE *fpSourceFile, FILE *fpSM2PFXFile, const char *pszPFXPwd,
                                    FILE *fpOutASN1PKCS7SignatureFile, bool bWithZValue,
                                    unsigned long fSignatureEncodedType,
                                    const char *pszSignatureAlgOid) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters.", "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = CheckFile(KELU_HERE, fpSM2PFXFile, "check parameters.", "NULL == fpSM2PFXFile");
  if (rc != KELU_OK) return rc;
  rc = CheckFile(KELU_HERE, fpOutASN1PKCS7SignatureFile, "check parameters.",
                 "NULL == fpOutASN1PKCS7SignatureFile");
  if (rc != KELU_OK) return rc;
  const Signed source{nullptr, 0, fpSourceFile};
  SigningKey key;
  BytesPtr rs;
  rc = SignWithKeyFile(KELU_HERE, source, fpSM2PFXFile, pszPFXPwd, kPkcs7FileKeyFile, false,
                       bWithZValue, &key, &rs);
  if (rc != KELU_OK) return rc;
  rc = EncodeSignedData(KELU_HERE, key, source, true, rs, fSignatureEncodedType,
                        pszSignatureAlgOid, nullptr, nullptr, fpOutASN1PKCS7SignatureFile);
  if (rc != KELU_OK) return rc;
  // A full disk shows here rather than at the caller's fclose.
  return FlushFileBlocks(KELU_HERE, fpOutASN1PKCS7SignatureFile);
}

int VerifySignature_DERPKCS7Attached(const unsigned char *pbyDERPKCS7Signature,
                                     int nDERPKCS7SignatureSize, unsigned char **ppbySourceData,
                                     int *pnSourceDataSize, unsigned char **ppbySignCert,
                                     int *pnSignCertSize, bool bWithZValue) {
  ParsedSignedData p;
  int rc = ParseSignedData(KELU_HERE, pbyDERPKCS7Signature, nDERPKCS7SignatureSize,
                           "ParsePKCS7Signature", &p);
  if (rc != KELU_OK) return rc;
  rc = RequireAttachedContent(KELU_HERE, p);
  if (rc != KELU_OK) return rc;
  rc = VerifyParsed(KELU_HERE, p, Signed{p.content.get(), p.content_size, nullptr}, bWithZValue);
  if (rc != KELU_OK) return rc;
  Output{ppbySourceData, pnSourceDataSize}.Give(&p.content, p.content_size);
  Output{ppbySignCert, pnSignCertSize}.Give(&p.cert, p.cert_size);
  return KELU_OK;
}

int VerifySignature_PKCS7Attached(const char *pszBase64PKCS7Signature,
                                  int nBase64PKCS7SignatureLen, unsigned char **ppbySourceData,
                                  int *pnSourceDataSize, unsigned char **ppbySignCert,
                                  int *pnSignCertSize, bool bWithZValue) {
  BytesPtr der;
  int der_size = 0;
  int rc = DecodeText(KELU_HERE, pszBase64PKCS7Signature, nBase64PKCS7SignatureLen,
                      "Base64DecodeEx", &der, &der_size);
  if (rc != KELU_OK) return rc;
  unsigned char *content = nullptr, *cert = nullptr;
  int content_size = 0, cert_size = 0;
  rc = VerifySignature_DERPKCS7Attached(der.get(), der_size, &content, &content_size, &cert,
                                        &cert_size, bWithZValue);
  BytesPtr content_holder(content), cert_holder(cert);
  rc = NamedStep(KELU_HERE, rc, "VerifySignature_DERPKCS7Attached");
  if (rc != KELU_OK) return rc;
  Output{ppbySourceData, pnSourceDataSize}.Give(&content_holder, content_size);
  Output{ppbySignCert, pnSignCertSize}.Give(&cert_holder, cert_size);
  return KELU_OK;
}

int VerifySignature_DERPKCS7Detached(const unsigned char *pbyDERPKCS7Signature,
                                     int nDERPKCS7SignatureSize,
                                     const unsigned char *pbySourceData, int nSourceDataSize,
                                     unsigned char **ppbySignCert, int *pnSignCertSize,
                                     bool bWithZValue) {
  ParsedSignedData p;
  int rc = ParseSignedData(KELU_HERE, pbyDERPKCS7Signature, nDERPKCS7SignatureSize,
                           "ParsePKCS7Signature", &p);
  if (rc != KELU_OK) return rc;
  rc = RequireNoContent(KELU_HERE, p, "NULL != pbyP7SourceData||0 != nP7SourceDataSize");
  if (rc != KELU_OK) return rc;
  rc = VerifyParsed(KELU_HERE, p, Signed{pbySourceData, nSourceDataSize, nullptr}, bWithZValue);
  if (rc != KELU_OK) return rc;
  Output{ppbySignCert, pnSignCertSize}.Give(&p.cert, p.cert_size);
  return KELU_OK;
}

int VerifySignature_PKCS7Detached(const char *pszBase64PKCS7Signature,
                                  int nBase64PKCS7SignatureLen,
                                  const unsigned char *pbySourceData, int nSourceDataSize,
                                  unsigned char **ppbySignCert, int *pnSignCertSize,
                                  bool bWithZValue) {
  BytesPtr der;
  int der_size = 0;
  int rc = DecodeText(KELU_HERE, pszBase64PKCS7Signature, nBase64PKCS7SignatureLen,
                      "Base64DecodeEx", &der, &der_size);
  if (rc != KELU_OK) return rc;
  unsigned char *cert = nullptr;
  int cert_size = 0;
  rc = VerifySignature_DERPKCS7Detached(der.get(), der_size, pbySourceData, nSourceDataSize, &cert,
                                        &cert_size, bWithZValue);
  BytesPtr cert_holder(cert);
  rc = NamedStep(KELU_HERE, rc, "VerifySignature_DERPKCS7Detached");
  if (rc != KELU_OK) return rc;
  Output{ppbySignCert, pnSignCertSize}.Give(&cert_holder, cert_size);
  return KELU_OK;
}

int SM2_VerifyFileSignature_PKCS7Detached(const char *pszBase64PKCS7Signature,
                                          int nBase64PKCS7SignatureLen, FILE *fpSourceFile,
                                          unsigned char **ppbySignCert, int *pnSignCertSize,
                                          bool bWithZValue) {
  int rc = CheckFile(KELU_HERE, fpSourceFile, "check parameters.", "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  BytesPtr der;
  int der_size = 0;
  rc = DecodeText(KELU_HERE, pszBase64PKCS7Signature, nBase64PKCS7SignatureLen, "Base64DecodeEx",
                  &der, &der_size);
  if (rc != KELU_OK) return rc;
  ParsedSignedData p;
  rc = ParseSignedData(KELU_HERE, der.get(), der_size, "ParseSM2PKCS7Signature", &p);
  if (rc != KELU_OK) return rc;
  rc = RequireNoContent(KELU_HERE, p, "NULL != pbySourceData||0 != nSourceDataSize");
  if (rc != KELU_OK) return rc;
  rc = VerifyParsed(KELU_HERE, p, Signed{nullptr, 0, fpSourceFile}, bWithZValue);
  if (rc != KELU_OK) return rc;
  Output{ppbySignCert, pnSignCertSize}.Give(&p.cert, p.cert_size);
  return KELU_OK;
}

int VerifyFileSignature_PKCS7Attached(FILE *fpASN1PKCS7SignatureFile,
                                      long long *pllSourceDataOffset, int *pnSourceDataSize,
                                      unsigned char **ppbySignCert, int *pnSignCertSize,
                                      bool bWithZValue) {
  FILE *file = fpASN1PKCS7SignatureFile;
  int rc = CheckFile(KELU_HERE, file, "check parameters.", "NULL == fpASN1PKCS7SignatureFile");
  if (rc != KELU_OK) return rc;
  ParsedSignedData p;
  unsigned char *cert = nullptr, *signature = nullptr, *attributes = nullptr;
  long long offset = 0;
  rc = ParseSM2PKCS7AttachedSignatureFile(file, &cert, &p.cert_size, &signature,
                                          &p.signature_size, &offset, &p.content_size,
                                          &attributes, &p.attributes_size);
  p.cert.reset(cert);
  p.signature.reset(signature);
  p.attributes.reset(attributes);
  rc = NamedStep(KELU_HERE, rc, "ParsePKCS7AttachedSignatureFile");
  if (rc != KELU_OK) return rc;
  rc = CheckRawSignature(KELU_HERE, signature, p.signature_size);
  if (rc != KELU_OK) return rc;
  PublicKey key;
  rc = PublicKeyOf(KELU_HERE, cert, p.cert_size, &key);
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0, "fseek",
                  KELU_ERR_FAILED, "0 != nResult");
  if (rc != KELU_OK) return rc;
  // The content is digested where it lies: with the Z value for the signature itself, plain
  // for the messageDigest of signed attributes.
  const bool signed_content = p.attributes == nullptr;
  unsigned char e[kelu::kSM3DigestLength];
  rc = CalculateSM3FileHash(file, static_cast<uint64_t>(p.content_size),
                            signed_content ? key.x.get() : nullptr,
                            signed_content ? key.y.get() : nullptr, e,
                            signed_content && bWithZValue);
  rc = NamedStep(KELU_HERE, rc, "CalculateSM3FileHash");
  if (rc != KELU_OK) return rc;
  rc = signed_content ? VerifyDigest(KELU_HERE, e, key.x.get(), key.y.get(), signature,
                                     "_SM2_verify_ex", "1 != nResult")
                      : VerifySignedAttributes(KELU_HERE, p, e, bWithZValue);
  if (rc != KELU_OK) return rc;
  if (pllSourceDataOffset != nullptr) *pllSourceDataOffset = offset;
  if (pnSourceDataSize != nullptr) *pnSourceDataSize = p.content_size;
  Output{ppbySignCert, pnSignCertSize}.Give(&p.cert, p.cert_size);
  return KELU_OK;
}

int VerifySignature_PKCS7WithSignedAttributes(
    const unsigned char *pbyCert, int nCertSize, const unsigned char *pbySignature,
    int nSignatureSize, const unsigned char *pbySourceData, int nSourceDataSize,
    const char *pszDigestAlgOid, int /*nDigestAlgOidLength*/,
    const char *pszDigestEncryptionAlgOid, int /*nDigestEncryptionAlgOidLength*/,
    const unsigned char *pbySignedAttrs, int nSignedAttrsSize) {
  const int nHashNID = pszDigestAlgOid != nullptr ? OBJ_txt2nid(pszDigestAlgOid) : NID_undef;
  int rc = CheckLibraryCall(KELU_HERE, nHashNID != NID_undef, "OBJ_txt2nid",
                            KELU_ERR_UNKNOWN_HASH, "NID_undef == nHashNID");
  if (rc != KELU_OK) return rc;
  unsigned char *digest = nullptr;
  int digest_size = 0;
  rc = CalculateDataHash(pbySourceData, nSourceDataSize, nHashNID, &digest, &digest_size);
  BytesPtr digest_holder(digest);
  rc = NamedStep(KELU_HERE, rc, "CalculateDataHash");
  if (rc != KELU_OK) return rc;
  rc = CompareMessageDigest(KELU_HERE, pbySignedAttrs, nSignedAttrsSize, digest_holder.get(),
                            digest_size);
  if (rc != KELU_OK) return rc;
  BytesPtr set;
  rc = SignedAttributesSet(KELU_HERE, pbySignedAttrs, nSignedAttrsSize, &set);
  if (rc != KELU_OK) return rc;
  if (pszDigestEncryptionAlgOid != nullptr &&
      std::strncmp(pszDigestEncryptionAlgOid, kNationalOidPrefix,
                   sizeof kNationalOidPrefix - 1) == 0) {
    rc = VerifySignature_DERPKCS1_ByCert(set.get(), nSignedAttrsSize, pbyCert, nCertSize,
                                         pbySignature, nSignatureSize, true);
    return NamedStep(KELU_HERE, rc, "VerifySignature_DERPKCS1_ByCert");
  }
  rc = RSA_VerifyDataSignature_DERPKCS1_ByDERCert(set.get(), nSignedAttrsSize, pbyCert, nCertSize,
                                                  nHashNID, pbySignature, nSignatureSize);
  return NamedStep(KELU_HERE, rc, "RSA_VerifyDataSignature_DERPKCS1_ByDERCert");
}
