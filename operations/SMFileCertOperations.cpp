#include "SMFileCertOperations.h"

#include <openssl/asn1t.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "CMSEnvelopeOperations.h"
#include "CertificateFields.h"
#include "DataEncryption.h"
#include "KeluErrors.h"
#include "Misc.h"
#include "NationalObjects.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "SM2Arithmetic.h"
#include "SM2Order.h"
#include "SecretBytes.h"

using kelu::ops::NamedStep;

namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagBitString = 0x03;
constexpr uint8_t kTagContext0 = 0xA0;
constexpr uint8_t kTagContext1 = 0xA1;

using NodePtr = std::unique_ptr<NodeEx>;

void WipeValue(NodeEx *node) {
  if (node != nullptr && node->pValue != nullptr) {
    OPENSSL_cleanse(node->pValue, node->CurrentValueLength);
  }
}

// The private-key node wipes its bytes before it is deleted.
struct KeyNodeDeleter {
  void operator()(NodeEx *node) const {
    WipeValue(node);
    delete node;
  }
};
using KeyNodePtr = std::unique_ptr<NodeEx, KeyNodeDeleter>;

// A leaf with tag and an owned, zeroed value of size bytes; null when memory runs out (then
// *value_missing tells whether the node or its value could not be made).
NodeEx *NewLeaf(uint8_t tag, size_t size, bool *value_missing) {
  *value_missing = false;
  NodeEx *node = new (std::nothrow) NodeEx;
  if (node == nullptr) return nullptr;
  node->pValue = new (std::nothrow) unsigned char[size]();
  if (node->pValue == nullptr) {
    *value_missing = true;
    delete node;
    return nullptr;
  }
  node->Tag = tag;
  node->ValueLength = size;
  node->CurrentValueLength = size;
  return node;
}

// The Failed line for a leaf that could not be made: its value, or the node itself.
int ReportMissingLeaf(const TraceSite &site, bool value_missing, const char *node_step,
                      const char *value_reason) {
  if (value_missing) {
    TraceStepFailed(site, "New memory", KELU_ERR_FAILED, value_reason);
  } else {
    TraceStepFailed(site, node_step, KELU_ERR_FAILED, "NULL == pNode");
  }
  return KELU_ERR_FAILED;
}

// A constructed node that takes over child; null when memory runs out (child is then kept).
NodeEx *Wrap(uint8_t tag, NodePtr *child) {
  NodeEx *node = new (std::nothrow) NodeEx;
  if (node == nullptr) return nullptr;
  node->Tag = tag;
  node->AddChild(child->release());
  return node;
}

bool IsByteArgument(const unsigned char *bytes, int size) {
  return size >= 0 && (bytes != nullptr || size == 0);
}

}  // namespace

int ConstructNode_ECPrivateKey(int nVersion, const char *pszCurveOID,
                               const unsigned char *pbyPrivateKey, int nPrivateKeySize,
                               const unsigned char *pbyPublicX, int nPublicXSize,
                               const unsigned char *pbyPublicY, int nPublicYSize,
                               NodeEx **ppNode) {
  if (NULL == ppNode || NULL == pbyPrivateKey || nPrivateKeySize <= 0 ||
      !IsByteArgument(pbyPublicX, nPublicXSize) || !IsByteArgument(pbyPublicY, nPublicYSize)) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == ppNode || NULL == pbyPrivateKey || nPrivateKeySize <= 0 || "
                    "invalid public key bytes");
    return KELU_ERR_FAILED;
  }
  bool value_missing = false;

  NodePtr pNode_version(NewLeaf(kTagInteger, 1, &value_missing));
  if (!pNode_version) {
    return ReportMissingLeaf(KELU_HERE, value_missing, "new NodeEx(version)",
                             "!pNode_version->pValue");
  }
  pNode_version->pValue[0] = static_cast<unsigned char>(nVersion & 0xFF);
  TraceStepOK(KELU_HERE, "new NodeEx(version)");

  // Leading zero bytes stay; a 0x00 in front keeps a key with its top bit set positive.
  size_t prefix = (pbyPrivateKey[0] & 0x80) != 0 ? 1 : 0;
  KeyNodePtr pNode_privateKey(
      NewLeaf(kTagInteger, prefix + static_cast<size_t>(nPrivateKeySize), &value_missing));
  if (!pNode_privateKey) {
    return ReportMissingLeaf(KELU_HERE, value_missing, "new NodeEx(privateKey)",
                             "!pbyPrivateKeyBNData");
  }
  std::memcpy(pNode_privateKey->pValue + prefix, pbyPrivateKey,
              static_cast<size_t>(nPrivateKeySize));
  TraceStepOK(KELU_HERE, "new NodeEx(privateKey)");

  NodeEx *pNode_curve = NULL;
  int nResult = ConstructNode_ObjectIdentifier(pszCurveOID, &pNode_curve);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "ConstructNode_ObjectIdentifier", nResult, "KELU_OK != nResult");
    return nResult;
  }
  NodePtr curve(pNode_curve);
  NodePtr pNode_contex0(Wrap(kTagContext0, &curve));
  if (!pNode_contex0) {
    TraceStepFailed(KELU_HERE, "new NodeEx(contex0)", KELU_ERR_FAILED, "NULL == pNode_contex0");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "new NodeEx(contex0)");

  // BIT STRING content: no unused bits, the uncompressed point marker, X, Y.
  size_t point_size = 2 + static_cast<size_t>(nPublicXSize) + static_cast<size_t>(nPublicYSize);
  if (point_size > INT32_MAX) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "INT_MAX < nPublicXSize + nPublicYSize + 2");
    return KELU_ERR_FAILED;
  }
  NodePtr pNode_publicKey(NewLeaf(kTagBitString, point_size, &value_missing));
  if (!pNode_publicKey) {
    return ReportMissingLeaf(KELU_HERE, value_missing, "new NodeEx(publicKey)",
                             "!pbyBitStringValue");
  }
  unsigned char *point = pNode_publicKey->pValue;
  point[0] = 0x00;
  point[1] = 0x04;
  if (nPublicXSize != 0) std::memcpy(point + 2, pbyPublicX, static_cast<size_t>(nPublicXSize));
  if (nPublicYSize != 0) {
    std::memcpy(point + 2 + nPublicXSize, pbyPublicY, static_cast<size_t>(nPublicYSize));
  }
  TraceStepOK(KELU_HERE, "new NodeEx(publicKey)");
  NodePtr pNode_contex1(Wrap(kTagContext1, &pNode_publicKey));
  if (!pNode_contex1) {
    TraceStepFailed(KELU_HERE, "new NodeEx(contex1)", KELU_ERR_FAILED, "NULL == pNode_contex1");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "new NodeEx(contex1)");

  NodeEx *pNode_ECPrivateKey = new (std::nothrow) NodeEx;
  if (NULL == pNode_ECPrivateKey) {
    TraceStepFailed(KELU_HERE, "new NodeEx(ECPrivateKey)", KELU_ERR_FAILED,
                    "NULL == pNode_ECPrivateKey");
    return KELU_ERR_FAILED;
  }
  pNode_ECPrivateKey->Tag = ASN1_TAG_C_SEQUENCE;
  pNode_ECPrivateKey->AddChild(pNode_version.release());
  pNode_ECPrivateKey->AddChild(pNode_privateKey.release());
  pNode_ECPrivateKey->AddChild(pNode_contex0.release());
  pNode_ECPrivateKey->AddChild(pNode_contex1.release());
  TraceStepOK(KELU_HERE, "new NodeEx(ECPrivateKey)");
  *ppNode = pNode_ECPrivateKey;
  return KELU_OK;
}

int EncodeECPrivateKey(int nVersion, const char *pszCurveOID, const unsigned char *pbyPrivateKey,
                       int nPrivateKeySize, const unsigned char *pbyPublicX, int nPublicXSize,
                       const unsigned char *pbyPublicY, int nPublicYSize,
                       unsigned char **ppbyDER, int *pnDERSize) {
  if (NULL == ppbyDER || NULL == pnDERSize) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == ppbyDER || NULL == pnDERSize");
    return KELU_ERR_FAILED;
  }
  NodeEx *pNode_ECPrivateKey = NULL;
  int nResult = ConstructNode_ECPrivateKey(nVersion, pszCurveOID, pbyPrivateKey, nPrivateKeySize,
                                           pbyPublicX, nPublicXSize, pbyPublicY, nPublicYSize,
                                           &pNode_ECPrivateKey);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "ConstructNode_ECPrivateKey", nResult, "KELU_OK != nResult");
    return nResult;
  }
  NodePtr tree(pNode_ECPrivateKey);
  unsigned char *pbyDER = NULL;
  int nDERSize = 0;
  nResult = EncodeASN1ToMemory(tree.get(), &pbyDER, &nDERSize, NULL);
  // The private key is the second child; its bytes are wiped before the tree goes.
  WipeValue(tree->vetNodes.size() > 1 ? tree->vetNodes[1] : nullptr);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "EncodeASN1ToMemory", nResult, "KELU_OK != nResult");
    return nResult;
  }
  TraceStepOK(KELU_HERE, "EncodeASN1ToMemory");
  *ppbyDER = pbyDER;
  *pnDERSize = nDERSize;
  return KELU_OK;
}

// ---- SM2 key file -------------------------------------------------------------------------

IMPLEMENT_ASN1_FUNCTIONS_fname(SM2_PRIVATE_DATA, PFX_SM2_PRIVATE_DATA, SM2_PRIVATE_DATA)
IMPLEMENT_ASN1_FUNCTIONS_fname(SM2_PUBLIC_DATA, PFX_SM2_PUBLIC_DATA, SM2_PUBLIC_DATA)
IMPLEMENT_ASN1_FUNCTIONS_fname(SM2_PFX, PFX_SM2, SM2_PFX)

namespace {

constexpr char kSMDataOID[] = "1.2.156.10197.6.1.4.2.1";
constexpr char kSM4OID[] = "1.2.156.10197.1.104";
constexpr int kSM2ValueSize = 32;

using kelu::Deleter;
using Sm2PfxPtr = std::unique_ptr<SM2_PFX, Deleter<SM2_PFX_free>>;
using Sm2PrivateDataPtr = std::unique_ptr<SM2_PRIVATE_DATA, Deleter<SM2_PRIVATE_DATA_free>>;
using Sm2PublicDataPtr = std::unique_ptr<SM2_PUBLIC_DATA, Deleter<SM2_PUBLIC_DATA_free>>;
using AsnObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using OctetStringPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;
using IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER_free>>;
using BytesPtr = std::unique_ptr<unsigned char[]>;

// The step lines of a shared helper name the public function it works for.
#define KELU_SITE(function) (TraceSite{KELU_SOURCE_FILE_NAME, __LINE__, function})

int FailedStep(const TraceSite &site, const char *step, int code, const char *reason) {
  TraceStepFailed(site, step, code, reason);
  return code;
}

int CheckLibraryStep(const TraceSite &site, bool passed, const char *step, const char *reason) {
  return TraceCheckOpenssl(site, passed, step, KELU_ERR_FAILED, reason);
}

// A new[] copy of an OCTET STRING's octets (an empty one gives an empty buffer).
int CopyOctets(const TraceSite &site, const ASN1_OCTET_STRING *octets, const char *reason,
               BytesPtr *copy, int *size) {
  int length = ASN1_STRING_length(octets);
  const unsigned char *data = ASN1_STRING_get0_data(octets);
  if (length < 0 || (data == nullptr && length != 0)) {
    return FailedStep(site, "d2i_SM2_PFX", KELU_ERR_KEY_FILE_FORMAT, "NULL == pstSM2PFX");
  }
  copy->reset(new (std::nothrow) unsigned char[static_cast<size_t>(length)]);
  if (!*copy) return FailedStep(site, "New memory", KELU_ERR_FAILED, reason);
  if (length != 0) std::memcpy(copy->get(), data, static_cast<size_t>(length));
  TraceStepOK(site, "New memory");
  *size = length;
  return KELU_OK;
}

// An OID from dotted text only (names are not looked up).
int NewObject(const TraceSite &site, const char *oid, const char *reason, AsnObjectPtr *object) {
  object->reset(oid != nullptr ? OBJ_txt2obj(oid, 1) : nullptr);
  return CheckLibraryStep(site, *object != nullptr, "OBJ_txt2obj", reason);
}

int NewOctetString(const TraceSite &site, const unsigned char *bytes, unsigned int size,
                   const char *new_reason, OctetStringPtr *octets) {
  if (size > INT_MAX || (bytes == nullptr && size != 0)) {
    return FailedStep(site, "Check parameter", KELU_ERR_FAILED,
                      "INT_MAX < nSize || (NULL == pbyData && 0 != nSize)");
  }
  octets->reset(ASN1_OCTET_STRING_new());
  int result = CheckLibraryStep(site, *octets != nullptr, "ASN1_OCTET_STRING_new", new_reason);
  if (result != KELU_OK) return result;
  return CheckLibraryStep(site,
                          ASN1_OCTET_STRING_set(octets->get(), bytes, static_cast<int>(size)) == 1,
                          "ASN1_OCTET_STRING_set", "1 != nResult");
}

// Replaces the member a record's allocator made with a value of the caller's.
template <class T, class Ptr>
void Replace(T **member, Ptr *value, void (*free_member)(T *)) {
  free_member(*member);
  *member = value->release();
}

// X and Y of the certificate's SM2 key, 32 bytes each.
int ReadCertificatePoint(const TraceSite &site, const unsigned char *cert, int cert_size,
                         BytesPtr *x, BytesPtr *y) {
  unsigned char *x_raw = NULL, *y_raw = NULL;
  int x_size = 0, y_size = 0;
  int rc = NamedStep(site,
                     kelu::GetPublicKeyXYFromSM2Cert(cert, cert_size, &x_raw, &x_size, &y_raw,
                                                     &y_size),
                     "GetPublicKeyXYFromSM2Cert");
  x->reset(x_raw);
  y->reset(y_raw);
  return rc;
}

// The Failed line of a key that is not the key of the certificate: code is the reader's or the
// writer's.
int CheckKeyMatchesCertificate(const TraceSite &site, const unsigned char *d,
                               const unsigned char *x, const unsigned char *y, int code) {
  return TraceCheck(site, SM2PrivateKeyMatchesPublicKey(d, x, y),
                    "Check private key matches certificate", code,
                    "the private key is not the key of the certificate");
}

}  // namespace

bool SM2PrivateKeyMatchesPublicKey(const unsigned char d[32], const unsigned char x[32],
                                   const unsigned char y[32]) {
  const kelu::CurveArithmetic *curve = kelu::CurveArithmeticFor(kelu::NID_prime256v1SM2);
  if (curve == nullptr) return false;
  // Out of the range a d of 1 takes its place, so that the same multiplication runs for every
  // d (MulBase refuses 0 and n or more at once); the range joins the result without a branch.
  const uint64_t in_range = kelu::SM2PrivateKeyRangeMask(d);
  const unsigned char keep = static_cast<unsigned char>(in_range);
  unsigned char scalar[kSM2ValueSize];
  for (int i = 0; i < kSM2ValueSize; ++i) scalar[i] = d[i] & keep;
  scalar[kSM2ValueSize - 1] |= static_cast<unsigned char>(~keep & 1);
  unsigned char computed[2 * kSM2ValueSize] = {0}, expected[2 * kSM2ValueSize];
  std::memcpy(expected, x, kSM2ValueSize);
  std::memcpy(expected + kSM2ValueSize, y, kSM2ValueSize);
  const bool multiplied = curve->MulBase(scalar, computed, computed + kSM2ValueSize);
  const bool same_point = CRYPTO_memcmp(computed, expected, sizeof computed) == 0;
  OPENSSL_cleanse(scalar, sizeof scalar);
  OPENSSL_cleanse(computed, sizeof computed);
  return (in_range != 0) & multiplied & same_point;
}

int ReadSM2PFXFile(const TraceSite &site, FILE *fpSM2PFXFile,
                   const kelu::ops::WholeFileTexts &texts,
                   kelu::ops::BytesPtr *der, int *der_size) {
  kelu::ops::BytesPtr text;
  int text_size = 0;
  int nResult = kelu::ops::ReadWholeFile(site, fpSM2PFXFile, texts, &text, &text_size);
  if (nResult != KELU_OK) return nResult;
  return kelu::ops::DecodeText(site, reinterpret_cast<const char *>(text.get()), text_size,
                               "Base64DecodeEx", der, der_size);
}

int ParseSM2PFX(const unsigned char *pbySM2PFXData, int nSM2PFXDataSize,
                unsigned char **ppbyEncryptedPrivateKey, int *pnEncryptedPrivateKeySize,
                unsigned char **ppbyPublicCertData, int *pnPublicCertDataSize) {
  Sm2PfxPtr pstSM2PFX;
  if (pbySM2PFXData != NULL && nSM2PFXDataSize > 0) {
    const unsigned char *p = pbySM2PFXData;
    pstSM2PFX.reset(d2i_SM2_PFX(NULL, &p, nSM2PFXDataSize));
  }
  int nResult = TraceCheckOpenssl(KELU_HERE, pstSM2PFX != nullptr, "d2i_SM2_PFX",
                                  KELU_ERR_KEY_FILE_FORMAT, "NULL == pstSM2PFX");
  if (nResult != KELU_OK) return nResult;

  BytesPtr key, cert;
  int key_size = 0, cert_size = 0;
  bool want_key = ppbyEncryptedPrivateKey != NULL && pnEncryptedPrivateKeySize != NULL;
  bool want_cert = ppbyPublicCertData != NULL && pnPublicCertDataSize != NULL;
  if (want_key) {
    nResult = CopyOctets(KELU_HERE, pstSM2PFX->privateData->encryptedSM2PrivateKey,
                         "!pbyEncryptedPrivateKey", &key, &key_size);
    if (nResult != KELU_OK) return nResult;
  }
  if (want_cert) {
    nResult = CopyOctets(KELU_HERE, pstSM2PFX->publicData->SM2Certificate, "!pbyPublicCertData",
                         &cert, &cert_size);
    if (nResult != KELU_OK) return nResult;
  }
  if (want_key) {
    *ppbyEncryptedPrivateKey = key.release();
    *pnEncryptedPrivateKeySize = key_size;
  }
  if (want_cert) {
    *ppbyPublicCertData = cert.release();
    *pnPublicCertDataSize = cert_size;
  }
  return KELU_OK;
}

namespace {

// The steps of DecryptSM2PFX and DecryptKeyPairFromSM2PFX, reported for function. The pair and
// the certificate copy are written only once every step has passed.
int OpenSM2PFX(const char *function, const unsigned char *pbySM2PFXData, int nSM2PFXDataSize,
               const char *pszPassword, SM2_KEY_PAIR *pstSM2KeyPair,
               unsigned char **ppbyPublicCertData, int *pnPublicCertDataSize) {
  int nResult = TraceCheck(KELU_SITE(function), pszPassword != NULL,
                           "Check Parameters(pszPassword)", KELU_ERR_INVALID_PARAMETER,
                           "NULL == pszPassword");
  if (nResult != KELU_OK) return nResult;

  unsigned char *key_raw = NULL, *cert_raw = NULL;
  int key_size = 0, cert_size = 0;
  nResult = NamedStep(KELU_SITE(function),
                   ParseSM2PFX(pbySM2PFXData, nSM2PFXDataSize, &key_raw, &key_size, &cert_raw,
                               &cert_size),
                   "ParseSM2PFX");
  BytesPtr encrypted_key(key_raw), cert(cert_raw);
  if (nResult != KELU_OK) return nResult;

  unsigned char *d_raw = NULL;
  int d_size = 0;
  nResult = SM4DecryptByPin(encrypted_key.get(), key_size, pszPassword, &d_raw, &d_size);
  kelu::ops::SecretBytes d(d_raw, static_cast<size_t>(d_size));
  nResult = TraceCheck(KELU_SITE(function), nResult == KELU_OK, "SM4DecryptByPin",
                       KELU_ERR_KEY_FILE_PASSWORD, "KELU_OK != nResult");
  if (nResult != KELU_OK) return nResult;
  // Only a 32-byte key is a key of the toolkit's writer; the signers read exactly 32 bytes.
  // For the 48 bytes of such a key a wrong password must also leave a whole block of padding.
  nResult = TraceCheck(KELU_SITE(function), d_size == kSM2ValueSize, "Check private key size",
                       KELU_ERR_KEY_FILE_PASSWORD, "32 != nPrivateKeySize");
  if (nResult != KELU_OK) return nResult;

  BytesPtr x, y;
  nResult = ReadCertificatePoint(KELU_SITE(function), cert.get(), cert_size, &x, &y);
  if (nResult != KELU_OK) return nResult;
  // The format has no check value: a wrong key, or a wrong password that left valid padding,
  // shows only here.
  nResult = CheckKeyMatchesCertificate(KELU_SITE(function), d.get(), x.get(), y.get(),
                                       KELU_ERR_KEY_FILE_PASSWORD);
  if (nResult != KELU_OK) return nResult;

  if (pstSM2KeyPair != NULL) {
    pstSM2KeyPair->pbyPrivateKey = d.release();
    pstSM2KeyPair->nPrivateKeySize = d_size;
    pstSM2KeyPair->pbyPubKeyX = x.release();
    pstSM2KeyPair->nPubKeyXSize = kSM2ValueSize;
    pstSM2KeyPair->pbyPubKeyY = y.release();
    pstSM2KeyPair->nPubKeyYSize = kSM2ValueSize;
  }
  if (ppbyPublicCertData != NULL && pnPublicCertDataSize != NULL) {
    *ppbyPublicCertData = cert.release();
    *pnPublicCertDataSize = cert_size;
  }
  return KELU_OK;
}

}  // namespace

int DecryptSM2PFX(const unsigned char *pbySM2PFXData, int nSM2PFXDataSize,
                  const char *pszPassword, SM2_KEY_PAIR *pstSM2KeyPair,
                  unsigned char **ppbyPublicCertData, int *pnPublicCertDataSize) {
  return OpenSM2PFX(__func__, pbySM2PFXData, nSM2PFXDataSize, pszPassword, pstSM2KeyPair,
                    ppbyPublicCertData, pnPublicCertDataSize);
}

int DecryptKeyPairFromSM2PFX(const unsigned char *pbySM2PFXData, int nSM2PFXDataSize,
                             const char *pszPassword, SM2_KEY_PAIR *pstSM2KeyPair) {
  int nResult = TraceCheck(KELU_HERE, pstSM2KeyPair != NULL, "Check Parameters(pstSM2KeyPair)",
                           KELU_ERR_INVALID_PARAMETER, "NULL == pstSM2KeyPair");
  if (nResult != KELU_OK) return nResult;
  return OpenSM2PFX(__func__, pbySM2PFXData, nSM2PFXDataSize, pszPassword, pstSM2KeyPair, NULL,
                    NULL);
}

int CleanupSM2KeyPair(SM2_KEY_PAIR *pstSM2KeyPair) {
  if (pstSM2KeyPair == NULL) return KELU_OK;
  if (pstSM2KeyPair->pbyPrivateKey != NULL && pstSM2KeyPair->nPrivateKeySize > 0) {
    OPENSSL_cleanse(pstSM2KeyPair->pbyPrivateKey,
                    static_cast<size_t>(pstSM2KeyPair->nPrivateKeySize));
  }
  delete[] pstSM2KeyPair->pbyPrivateKey;
  delete[] pstSM2KeyPair->pbyPubKeyX;
  delete[] pstSM2KeyPair->pbyPubKeyY;
  pstSM2KeyPair->pbyPrivateKey = NULL;
  pstSM2KeyPair->pbyPubKeyX = NULL;
  pstSM2KeyPair->pbyPubKeyY = NULL;
  return KELU_OK;
}

int CreateSM2PublicData(const char *pszDataID, const unsigned char *pbyPublicCertData,
                        unsigned int nPublicCertDataSize, SM2_PUBLIC_DATA **ppstSM2PublicData) {
  if (ppstSM2PublicData == NULL) {
    return FailedStep(KELU_HERE, "Check parameter", KELU_ERR_FAILED, "NULL == ppstSM2PublicData");
  }
  AsnObjectPtr pstDataID;
  int nResult = NewObject(KELU_HERE, pszDataID, "NULL == pstDataID", &pstDataID);
  if (nResult != KELU_OK) return nResult;
  OctetStringPtr pstSM2Certificate;
  nResult = NewOctetString(KELU_HERE, pbyPublicCertData, nPublicCertDataSize,
                           "NULL == pstSM2Certificate", &pstSM2Certificate);
  if (nResult != KELU_OK) return nResult;
  Sm2PublicDataPtr record(SM2_PUBLIC_DATA_new());
  nResult = CheckLibraryStep(KELU_HERE, record != nullptr, "SM2_PUBLIC_DATA_new",
                             "NULL == pstSM2PublicData");
  if (nResult != KELU_OK) return nResult;
  Replace(&record->dataID, &pstDataID, ASN1_OBJECT_free);
  Replace(&record->SM2Certificate, &pstSM2Certificate, ASN1_OCTET_STRING_free);
  *ppstSM2PublicData = record.release();
  return KELU_OK;
}

int CreateSM2PrivateData(const char *pszDataID, const char *pszDataEncryptedAlg,
                         const unsigned char *pbyEncryptedPrivateKey,
                         unsigned int nEncryptedPrivateKeySize,
                         SM2_PRIVATE_DATA **ppstSM2PrivateData) {
  if (ppstSM2PrivateData == NULL) {
    return FailedStep(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                      "NULL == ppstSM2PrivateData");
  }
  AsnObjectPtr pstDataID, pstDataEncryptedAlg;
  int nResult = NewObject(KELU_HERE, pszDataID, "NULL == pstDataID", &pstDataID);
  if (nResult != KELU_OK) return nResult;
  nResult = NewObject(KELU_HERE, pszDataEncryptedAlg, "NULL == pstDataEncryptedAlg",
                      &pstDataEncryptedAlg);
  if (nResult != KELU_OK) return nResult;
  OctetStringPtr pstEncryptedSM2PrivateKey;
  nResult = NewOctetString(KELU_HERE, pbyEncryptedPrivateKey, nEncryptedPrivateKeySize,
                           "NULL == pstEncryptedSM2PrivateKey", &pstEncryptedSM2PrivateKey);
  if (nResult != KELU_OK) return nResult;
  Sm2PrivateDataPtr record(SM2_PRIVATE_DATA_new());
  nResult = CheckLibraryStep(KELU_HERE, record != nullptr, "SM2_PRIVATE_DATA_new",
                             "NULL == pstSM2PrivateData");
  if (nResult != KELU_OK) return nResult;
  Replace(&record->dataID, &pstDataID, ASN1_OBJECT_free);
  Replace(&record->dataEncryptedAlg, &pstDataEncryptedAlg, ASN1_OBJECT_free);
  Replace(&record->encryptedSM2PrivateKey, &pstEncryptedSM2PrivateKey, ASN1_OCTET_STRING_free);
  *ppstSM2PrivateData = record.release();
  return KELU_OK;
}

int CreateSM2PFX(long nVersion, SM2_PRIVATE_DATA **ppstSM2PrivateData,
                 SM2_PUBLIC_DATA **ppstSM2PublicData, SM2_PFX **ppstSM2PFX) {
  if (ppstSM2PrivateData == NULL || *ppstSM2PrivateData == NULL || ppstSM2PublicData == NULL ||
      *ppstSM2PublicData == NULL || ppstSM2PFX == NULL) {
    return FailedStep(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                      "NULL == ppstSM2PrivateData || NULL == ppstSM2PublicData || "
                      "NULL == ppstSM2PFX");
  }
  IntegerPtr pstVersion(ASN1_INTEGER_new());
  int nResult =
      CheckLibraryStep(KELU_HERE, pstVersion != nullptr, "ASN1_INTEGER_new", "NULL == pstVersion");
  if (nResult != KELU_OK) return nResult;
  nResult = CheckLibraryStep(KELU_HERE, ASN1_INTEGER_set(pstVersion.get(), nVersion) == 1,
                             "ASN1_INTEGER_set", "1 != nResult");
  if (nResult != KELU_OK) return nResult;
  Sm2PfxPtr record(SM2_PFX_new());
  nResult = CheckLibraryStep(KELU_HERE, record != nullptr, "SM2_PFX_new", "NULL == pstSM2PFX");
  if (nResult != KELU_OK) return nResult;
  Replace(&record->version, &pstVersion, ASN1_INTEGER_free);
  SM2_PRIVATE_DATA_free(record->privateData);
  record->privateData = *ppstSM2PrivateData;
  *ppstSM2PrivateData = NULL;
  SM2_PUBLIC_DATA_free(record->publicData);
  record->publicData = *ppstSM2PublicData;
  *ppstSM2PublicData = NULL;
  *ppstSM2PFX = record.release();
  return KELU_OK;
}

int EncapsulateSM2PFX(const unsigned char *pbyPublicCertData, int nPublicCertDataSize,
                      const unsigned char *pbyPrivateKey, int nPrivateKeySize,
                      const char *pszPassword, unsigned char **ppbySM2PFXData,
                      int *pnSM2PFXDataSize) {
  // The readers open only 32-byte keys, so no other size is written.
  int nResult = TraceCheck(
      KELU_HERE,
      pbyPublicCertData != NULL && nPublicCertDataSize > 0 && pbyPrivateKey != NULL &&
          nPrivateKeySize == kSM2ValueSize && ppbySM2PFXData != NULL && pnSM2PFXDataSize != NULL,
      "Check parameter", KELU_ERR_INVALID_PARAMETER,
      "NULL == pbyPublicCertData || nPublicCertDataSize <= 0 || NULL == pbyPrivateKey || "
      "32 != nPrivateKeySize || NULL == ppbySM2PFXData || NULL == pnSM2PFXDataSize");
  if (nResult != KELU_OK) return nResult;
  // A file whose key is not its certificate's could not sign anything anyone verifies.
  BytesPtr x, y;
  nResult = ReadCertificatePoint(KELU_HERE, pbyPublicCertData, nPublicCertDataSize, &x, &y);
  if (nResult != KELU_OK) return nResult;
  nResult = CheckKeyMatchesCertificate(KELU_HERE, pbyPrivateKey, x.get(), y.get(),
                                       KELU_ERR_INVALID_PARAMETER);
  if (nResult != KELU_OK) return nResult;

  SM2_PUBLIC_DATA *public_raw = NULL;
  nResult = NamedStep(KELU_HERE,
                   CreateSM2PublicData(kSMDataOID, pbyPublicCertData,
                                       static_cast<unsigned int>(nPublicCertDataSize),
                                       &public_raw),
                   "CreateSM2PublicData");
  Sm2PublicDataPtr public_data(public_raw);
  if (nResult != KELU_OK) return nResult;

  unsigned char *encrypted_raw = NULL;
  int encrypted_size = 0;
  nResult = NamedStep(KELU_HERE,
                   SM4EncryptByPin(pbyPrivateKey, nPrivateKeySize, pszPassword, &encrypted_raw,
                                   &encrypted_size),
                   "SM4EncryptByPin");
  BytesPtr encrypted(encrypted_raw);
  if (nResult != KELU_OK) return nResult;

  SM2_PRIVATE_DATA *private_raw = NULL;
  nResult = NamedStep(KELU_HERE,
                   CreateSM2PrivateData(kSMDataOID, kSM4OID, encrypted.get(),
                                        static_cast<unsigned int>(encrypted_size), &private_raw),
                   "CreateSM2PrivateData");
  Sm2PrivateDataPtr private_data(private_raw);
  if (nResult != KELU_OK) return nResult;

  SM2_PRIVATE_DATA *private_handed = private_data.release();
  SM2_PUBLIC_DATA *public_handed = public_data.release();
  SM2_PFX *pfx_raw = NULL;
  nResult = NamedStep(KELU_HERE, CreateSM2PFX(1, &private_handed, &public_handed, &pfx_raw),
                   "CreateSM2PFX");
  // On failure the records are still the caller's, that is, ours.
  private_data.reset(private_handed);
  public_data.reset(public_handed);
  Sm2PfxPtr pfx(pfx_raw);
  if (nResult != KELU_OK) return nResult;

  // The DER is written straight into the new[] buffer handed out: the size first, then the bytes.
  int nSM2PFXDataSize = i2d_SM2_PFX(pfx.get(), NULL);
  BytesPtr der(nSM2PFXDataSize > 0
                   ? new (std::nothrow) unsigned char[static_cast<size_t>(nSM2PFXDataSize)]
                   : nullptr);
  if (nSM2PFXDataSize > 0 && !der) {
    return FailedStep(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbySM2PFXData");
  }
  unsigned char *p = der.get();
  nResult = CheckLibraryStep(KELU_HERE,
                             nSM2PFXDataSize > 0 && i2d_SM2_PFX(pfx.get(), &p) == nSM2PFXDataSize,
                             "i2d_SM2_PFX", "nSM2PFXDataSize <= 0");
  if (nResult != KELU_OK) return nResult;
  *ppbySM2PFXData = der.release();
  *pnSM2PFXDataSize = nSM2PFXDataSize;
  return KELU_OK;
}
