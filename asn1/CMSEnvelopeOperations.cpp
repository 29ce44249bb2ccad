#include "CMSEnvelopeOperations.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <sys/types.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <vector>

#include "KeluErrors.h"
#include "Misc.h"
#include "NationalObjects.h"
#include "NodeValues.h"

namespace {

struct ObjectFree {
  void operator()(ASN1_OBJECT *object) const { ASN1_OBJECT_free(object); }
};
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, ObjectFree>;
using BytesPtr = std::unique_ptr<unsigned char[]>;

// The object a numeric identifier names; the one place where identifiers are looked up.
// 920-930 are the toolkit's own identifiers, while the crypto library gives those numbers to
// other objects (920 dhpublicnumber, 921-930 brainpool curves), so they are made from the
// dotted text of the national table.
ObjectPtr ObjectForNID(int nid) {
  if (nid >= kelu::NID_prime256v1SM2 && nid <= kelu::NID_SM_pkcs7_signed) {
    const kelu::NationalObject *row = kelu::FindNationalObject(nid);
    return ObjectPtr(row != nullptr ? OBJ_txt2obj(row->oid, 1) : nullptr);
  }
  return ObjectPtr(OBJ_nid2obj(nid));
}

}  // namespace

int GetOIDFromNID(int nNID, char **ppszOID, int *pnOIDLen) {
  if (NULL == ppszOID || NULL == pnOIDLen) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == ppszOID || NULL == pnOIDLen");
    return KELU_ERR_FAILED;
  }
  ObjectPtr pASN1Obj = ObjectForNID(nNID);
  if (NULL == pASN1Obj) {
    TraceStepFailedOpenssl(KELU_HERE, "OBJ_nid2obj", KELU_ERR_FAILED, "NULL == pASN1Obj");
    return KELU_ERR_FAILED;
  }
  int nOIDLen = OBJ_obj2txt(NULL, 0, pASN1Obj.get(), 1);
  if (nOIDLen <= 0) {
    TraceStepFailedOpenssl(KELU_HERE, "OBJ_obj2txt", KELU_ERR_FAILED, "0 == nOIDLen");
    return KELU_ERR_FAILED;
  }
  std::unique_ptr<char[]> pszOID(new (std::nothrow) char[static_cast<size_t>(nOIDLen) + 1]());
  if (!pszOID) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pszOID");
    return KELU_ERR_FAILED;
  }
  int nResult = OBJ_obj2txt(pszOID.get(), nOIDLen + 1, pASN1Obj.get(), 1);
  if (nResult != nOIDLen) {
    TraceStepFailedOpenssl(KELU_HERE, "OBJ_obj2txt", KELU_ERR_FAILED, "nResult != nOIDLen");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "OBJ_obj2txt");
  *ppszOID = pszOID.release();
  *pnOIDLen = nOIDLen;
  return KELU_OK;
}

int Encode_ObjectIdentifier(const char *pszOID, unsigned char **ppbyEncodedData,
                            int *pnEncodedDataSize, bool bWithTLV) {
  if (NULL == pszOID || NULL == ppbyEncodedData || NULL == pnEncodedDataSize) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pszOID || NULL == ppbyEncodedData || NULL == pnEncodedDataSize");
    return KELU_ERR_FAILED;
  }
  int nValueLength = a2d_ASN1_OBJECT(NULL, 0, pszOID, -1);
  if (nValueLength <= 0) {
    TraceStepFailedOpenssl(KELU_HERE, "a2d_ASN1_OBJECT(1)", KELU_ERR_FAILED, "nValueLength <= 0");
    return KELU_ERR_FAILED;
  }
  int nOctets = nValueLength;
  BytesPtr pbyValueOctets(new (std::nothrow) unsigned char[nOctets]());
  if (!pbyValueOctets) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbyValueOctets");
    return KELU_ERR_FAILED;
  }
  nValueLength = a2d_ASN1_OBJECT(pbyValueOctets.get(), nOctets, pszOID, -1);
  if (nValueLength <= 0) {
    TraceStepFailedOpenssl(KELU_HERE, "a2d_ASN1_OBJECT(2)", KELU_ERR_FAILED, "nValueLength <= 0");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "a2d_ASN1_OBJECT(2)");
  if (!bWithTLV) {
    *ppbyEncodedData = pbyValueOctets.release();
    *pnEncodedDataSize = nValueLength;
    return KELU_OK;
  }
  int nResult = ASN1Encode(ASN1_TAG_P_OBJECT_IDENTIFIER, pbyValueOctets.get(), nValueLength,
                           ppbyEncodedData, pnEncodedDataSize);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "ASN1Encode", nResult, "KELU_OK != nResult");
    return nResult;
  }
  TraceStepOK(KELU_HERE, "ASN1Encode");
  return KELU_OK;
}

int Encode_AlgorithmIdentifier(const char *pszOID, const unsigned char *pbyParameters,
                               int nParametersSize, unsigned char **ppbyEncodedData,
                               int *pnEncodedDataSize, bool bWithTLV) {
  if (NULL == ppbyEncodedData || NULL == pnEncodedDataSize || nParametersSize < 0 ||
      (NULL == pbyParameters && 0 != nParametersSize)) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == ppbyEncodedData || NULL == pnEncodedDataSize || "
                    "nParametersSize < 0 || (NULL == pbyParameters && 0 != nParametersSize)");
    return KELU_ERR_FAILED;
  }
  unsigned char *pbyOID = NULL;
  int nOIDSize = 0;
  int nResult = Encode_ObjectIdentifier(pszOID, &pbyOID, &nOIDSize, true);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "Encode_ObjectIdentifier", nResult, "KELU_OK != nResult");
    return nResult;
  }
  BytesPtr oid(pbyOID);
  if (nParametersSize > INT_MAX - nOIDSize) {
    TraceStepFailed(KELU_HERE, "Check ASN.1 data size", KELU_ERR_FAILED,
                    "INT_MAX - nOIDSize < nParametersSize");
    return KELU_ERR_FAILED;
  }
  int nContentSize = nOIDSize + nParametersSize;
  BytesPtr pbyValueOctets(new (std::nothrow) unsigned char[nContentSize]());
  if (!pbyValueOctets) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbyValueOctets");
    return KELU_ERR_FAILED;
  }
  std::memcpy(pbyValueOctets.get(), oid.get(), static_cast<size_t>(nOIDSize));
  if (nParametersSize != 0) {
    std::memcpy(pbyValueOctets.get() + nOIDSize, pbyParameters,
                static_cast<size_t>(nParametersSize));
  }
  if (!bWithTLV) {
    *ppbyEncodedData = pbyValueOctets.release();
    *pnEncodedDataSize = nContentSize;
    return KELU_OK;
  }
  nResult = ASN1Encode(ASN1_TAG_C_SEQUENCE, pbyValueOctets.get(), nContentSize, ppbyEncodedData,
                       pnEncodedDataSize);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "ASN1Encode(Algorithm identifier)", nResult,
                    "KELU_OK != nResult");
    return nResult;
  }
  TraceStepOK(KELU_HERE, "ASN1Encode(Algorithm identifier)");
  return KELU_OK;
}

int ConstructNode_ObjectIdentifier(const char *pszOID, NodeEx **ppNode) {
  if (NULL == ppNode) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED, "NULL == ppNode");
    return KELU_ERR_FAILED;
  }
  unsigned char *pbyContent = NULL;
  int nContentSize = 0;
  int nResult = Encode_ObjectIdentifier(pszOID, &pbyContent, &nContentSize, false);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "Encode_ObjectIdentifier", nResult, "KELU_OK != nResult");
    return nResult;
  }
  return kelu::asn1::NewLeaf(KELU_HERE, ASN1_TAG_P_OBJECT_IDENTIFIER,
                             {BytesPtr(pbyContent), static_cast<size_t>(nContentSize)},
                             "pNode_contentType", ppNode);
}

int ConstructNode_AlgorithmIdentifier(const char *pszOID, const unsigned char *pbyParameters,
                                      int nParametersSize, NodeEx **ppNode) {
  if (NULL == ppNode) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED, "NULL == ppNode");
    return KELU_ERR_FAILED;
  }
  unsigned char *pbyContent = NULL;
  int nContentSize = 0;
  int nResult = Encode_AlgorithmIdentifier(pszOID, pbyParameters, nParametersSize, &pbyContent,
                                           &nContentSize, false);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "Encode_AlgorithmIdentifier", nResult, "KELU_OK != nResult");
    return nResult;
  }
  return kelu::asn1::NewLeaf(KELU_HERE, ASN1_TAG_C_SEQUENCE,
                             {BytesPtr(pbyContent), static_cast<size_t>(nContentSize)},
                             "pNode_contentEncryptionAlgorithm", ppNode);
}

// ---------------------------------------------------------------------------------------------
// CMS EnvelopedData

namespace {

using kelu::asn1::AttachAll;
using kelu::asn1::BytesArgument;
using kelu::asn1::CheckArguments;
using kelu::asn1::FilePositionGuard;
using kelu::asn1::HandOut;
using kelu::asn1::IsConstructed;
using kelu::asn1::Keep;
using kelu::asn1::NamedStep;
using kelu::asn1::NodePtr;
using kelu::asn1::Output;
using kelu::asn1::OidText;
using kelu::asn1::OwnedBytes;
using kelu::asn1::ReadOidText;

constexpr uint8_t kTagRecipientKeyID = 0x80;
constexpr uint8_t kTagEncryptedContent = 0x80;
constexpr uint8_t kTagContext0 = 0xA0;
constexpr unsigned char kNullParameters[] = {0x05, 0x00};

}  // namespace

int ConstructNode_KeyTransRecipientInfo(int nVersion, const unsigned char *pbySubjectKeyID,
                                        int nSubjectKeyIDSize, const char *pszKeyEncryptionAlgOid,
                                        const unsigned char *pbyKeyEncryptionAlgParameter,
                                        int nKeyEncryptionAlgParameterSize,
                                        const unsigned char *pbyEncryptedKey,
                                        int nEncryptedKeySize, NodeEx **ppNode) {
  int nResult = CheckArguments(
      KELU_HERE,
      NULL != ppNode && BytesArgument(pbySubjectKeyID, nSubjectKeyIDSize) &&
          BytesArgument(pbyKeyEncryptionAlgParameter, nKeyEncryptionAlgParameterSize) &&
          BytesArgument(pbyEncryptedKey, nEncryptedKeySize),
      "NULL == ppNode || a count < 0 || NULL bytes with a count");
  if (KELU_OK != nResult) return nResult;
  NodePtr version, rid, algorithm, key, recipient;
  NodeEx *node = NULL;
  nResult = Keep(kelu::asn1::NewVersionLeaf(KELU_HERE, nVersion, &node), node, &version);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewLeafCopy(KELU_HERE, kTagRecipientKeyID, pbySubjectKeyID,
                                         static_cast<size_t>(nSubjectKeyIDSize), "rid",
                                         "!pNode_rip->pValue", &node),
                 node, &rid);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewAlgorithmLeaf(
                     KELU_HERE, pszKeyEncryptionAlgOid, pbyKeyEncryptionAlgParameter,
                     nKeyEncryptionAlgParameterSize, "keyEncryptionAlgorithm",
                     "Encode_AlgorithmIdentifier", &node),
                 node, &algorithm);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewLeafCopy(KELU_HERE, 0x04, pbyEncryptedKey,
                                         static_cast<size_t>(nEncryptedKeySize), "encryptedKey",
                                         "!pNode_encryptedKey->pValue", &node),
                 node, &key);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE,
                                            "KeyTransRecipientInfo", &node),
                 node, &recipient);
  if (KELU_OK != nResult) return nResult;
  AttachAll(recipient.get(), {&version, &rid, &algorithm, &key});
  *ppNode = recipient.release();
  return KELU_OK;
}

int ConstructNode_EncryptedContentInfo(const char *pszContentTypeOid,
                                       const char *pszContentEncryptionAlgOid,
                                       const unsigned char *pbyContentEncryptionAlgParameter,
                                       int nContentEncryptionAlgParameterSize,
                                       const unsigned char *pbyEncryptedContent,
                                       int nEncryptedContentSize, NodeEx **ppNode) {
  int nResult = CheckArguments(
      KELU_HERE,
      NULL != ppNode && nEncryptedContentSize >= 0 &&
          BytesArgument(pbyContentEncryptionAlgParameter, nContentEncryptionAlgParameterSize),
      "NULL == ppNode || a count < 0 || NULL bytes with a count");
  if (KELU_OK != nResult) return nResult;
  NodePtr type, algorithm, content, info;
  NodeEx *node = NULL;
  nResult = Keep(ConstructNode_ObjectIdentifier(pszContentTypeOid, &node), node, &type);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "Encode_ObjectIdentifier", nResult, "KELU_OK != nResult");
    return nResult;
  }
  nResult = Keep(ConstructNode_AlgorithmIdentifier(pszContentEncryptionAlgOid,
                                                   pbyContentEncryptionAlgParameter,
                                                   nContentEncryptionAlgParameterSize, &node),
                 node, &algorithm);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "Encode_AlgorithmIdentifier", nResult, "KELU_OK != nResult");
    return nResult;
  }
  if (NULL != pbyEncryptedContent) {
    nResult = kelu::asn1::NewLeafCopy(KELU_HERE, kTagEncryptedContent, pbyEncryptedContent,
                                      static_cast<size_t>(nEncryptedContentSize),
                                      "pNode_encryptedContent",
                                      "!pNode_encryptedContent->pValue", &node);
  } else {
    // Header-only: the length octets announce the bytes the caller appends.
    nResult = kelu::asn1::NewConstructed(KELU_HERE, kTagEncryptedContent,
                                         "pNode_encryptedContent", &node);
    if (KELU_OK == nResult) node->ValueLength = static_cast<uint64_t>(nEncryptedContentSize);
  }
  nResult = Keep(nResult, node, &content);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE,
                                            "pNode_EncryptedContentInfo", &node),
                 node, &info);
  if (KELU_OK != nResult) return nResult;
  AttachAll(info.get(), {&type, &algorithm, &content});
  *ppNode = info.release();
  return KELU_OK;
}

int ConstructNode_EnvelopedData(int nVersion, NodeEx *pRecipientInfos,
                                NodeEx *pEncryptedContentInfo, NodeEx **ppNode) {
  int nResult = CheckArguments(
      KELU_HERE, NULL != ppNode && NULL != pRecipientInfos && NULL != pEncryptedContentInfo,
      "NULL == ppNode || NULL == pRecipientInfos || NULL == pEncryptedContentInfo");
  if (KELU_OK != nResult) return nResult;
  NodePtr version, enveloped;
  NodeEx *node = NULL;
  nResult = Keep(kelu::asn1::NewVersionLeaf(KELU_HERE, nVersion, &node), node, &version);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE, "EnvelopedData", &node),
                 node, &enveloped);
  if (KELU_OK != nResult) return nResult;
  enveloped->AddChild(version.release());
  enveloped->AddChild(pRecipientInfos);
  enveloped->AddChild(pEncryptedContentInfo);
  *ppNode = enveloped.release();
  return KELU_OK;
}

int ConstructNode_ContentInfo(const char *pszContentTypeOid, NodeEx *pContent, NodeEx **ppNode) {
  int nResult = CheckArguments(KELU_HERE, NULL != ppNode, "NULL == ppNode");
  if (KELU_OK != nResult) return nResult;
  NodePtr type, explicit_content, info;
  NodeEx *node = NULL;
  nResult = Keep(ConstructNode_ObjectIdentifier(pszContentTypeOid, &node), node, &type);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "ConstructNode_ObjectIdentifier", nResult, "KELU_OK != nResult");
    return nResult;
  }
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, kTagContext0, "content", &node), node,
                 &explicit_content);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE, "CMSContentInfo",
                                            &node),
                 node, &info);
  if (KELU_OK != nResult) return nResult;
  explicit_content->AddChild(pContent);
  AttachAll(info.get(), {&type, &explicit_content});
  *ppNode = info.release();
  return KELU_OK;
}

int Encode_CMSEnvelope(const char *pszContentInfoOid, const unsigned char *pbySubjectKeyID,
                       int nSubjectKeyIDSize, const char *pszKeyEncryptionAlgOid,
                       const unsigned char *pbyEncryptedKey, int nEncryptedKeySize,
                       const char *pszEncryptedContentInfoOid,
                       const char *pszContentEncryptionAlgOid,
                       const unsigned char *pbyContentEncryptionAlgParameter,
                       int nContentEncryptionAlgParameterSize,
                       const unsigned char *pbyEncryptedContent, int nEncryptedContentSize,
                       unsigned char **ppbyCMSEnvelope, int *pnCMSEnvelopeSize) {
  int nResult = CheckArguments(KELU_HERE, NULL != ppbyCMSEnvelope && NULL != pnCMSEnvelopeSize,
                               "NULL == ppbyCMSEnvelope || NULL == pnCMSEnvelopeSize");
  if (KELU_OK != nResult) return nResult;
  NodePtr recipient, recipients, content_info, enveloped, root;
  NodeEx *node = NULL;
  nResult = Keep(ConstructNode_KeyTransRecipientInfo(
                     2, pbySubjectKeyID, nSubjectKeyIDSize, pszKeyEncryptionAlgOid,
                     kNullParameters, sizeof kNullParameters, pbyEncryptedKey, nEncryptedKeySize,
                     &node),
                 node, &recipient);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_KeyTransRecipientInfo")) {
    return nResult;
  }
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SET_OF, "RecipientInfos", &node),
                 node, &recipients);
  if (KELU_OK != nResult) return nResult;
  recipients->AddChild(recipient.release());
  nResult = Keep(ConstructNode_EncryptedContentInfo(
                     pszEncryptedContentInfoOid, pszContentEncryptionAlgOid,
                     pbyContentEncryptionAlgParameter, nContentEncryptionAlgParameterSize,
                     pbyEncryptedContent, nEncryptedContentSize, &node),
                 node, &content_info);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_EncryptedContentInfo")) {
    return nResult;
  }
  nResult = Keep(ConstructNode_EnvelopedData(2, recipients.get(), content_info.get(), &node), node,
                 &enveloped);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_EnvelopedData")) return nResult;
  recipients.release();
  content_info.release();
  nResult = Keep(ConstructNode_ContentInfo(pszContentInfoOid, enveloped.get(), &node), node, &root);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_ContentInfo")) return nResult;
  enveloped.release();
  unsigned char *pbyEncoded = NULL;
  int nEncodedSize = 0;
  int nDeepLevel = 0;
  nResult = EncodeASN1ToMemory(root.get(), &pbyEncoded, &nEncodedSize, &nDeepLevel);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "EncodeASN1ToMemory")) {
    delete[] pbyEncoded;
    return nResult;
  }
  *ppbyCMSEnvelope = pbyEncoded;
  *pnCMSEnvelopeSize = nEncodedSize;
  return KELU_OK;
}

// ---------------------------------------------------------------------------------------------
// Envelope parsers: one walk over the tree for both sources.

namespace {

struct EnvelopeNodes {
  const NodeEx *rid = nullptr;
  const NodeEx *encrypted_key = nullptr;
  const NodeEx *key_algorithm_oid = nullptr;
  const NodeEx *content_algorithm_oid = nullptr;
  const NodeEx *parameters = nullptr;
  const NodeEx *encrypted_content = nullptr;
};

const NodeEx *Element(const NodeEx *node, size_t count, size_t index) {
  if (node == nullptr || node->vetNodes.size() != count) return nullptr;
  return node->vetNodes[index];
}

bool IsLeaf(const NodeEx *node) { return node != nullptr && node->vetNodes.empty(); }

// The shape: element counts along the path to every field (identifiers are not examined; the
// encrypted content, when constructed, must be OCTET STRING segments).
int FindEnvelopeNodes(const NodeEx &root, EnvelopeNodes *out) {
  const NodeEx *enveloped = Element(Element(&root, 2, 1), 1, 0);
  const NodeEx *recipient = Element(Element(enveloped, 3, 1), 1, 0);
  const NodeEx *key_algorithm = Element(recipient, 4, 2);
  const NodeEx *content_info = Element(enveloped, 3, 2);
  const NodeEx *content_algorithm = Element(content_info, 3, 1);
  EnvelopeNodes nodes;
  nodes.rid = Element(recipient, 4, 1);
  nodes.encrypted_key = Element(recipient, 4, 3);
  nodes.key_algorithm_oid = Element(key_algorithm, 2, 0);
  nodes.content_algorithm_oid = Element(content_algorithm, 2, 0);
  nodes.parameters = Element(content_algorithm, 2, 1);
  nodes.encrypted_content = Element(content_info, 3, 2);
  bool shape = IsLeaf(nodes.rid) && IsLeaf(nodes.encrypted_key) &&
               IsLeaf(nodes.key_algorithm_oid) && IsLeaf(nodes.content_algorithm_oid) &&
               IsLeaf(nodes.parameters) && nodes.encrypted_content != nullptr &&
               (!IsConstructed(*nodes.encrypted_content) ||
                kelu::asn1::IsOctetStringSegments(*nodes.encrypted_content));
  if (!shape) {
    TraceStepFailed(KELU_HERE, "Check CMS envelope nodes", KELU_ERR_ENVELOPE_FORMAT, "true");
    return KELU_ERR_ENVELOPE_FORMAT;
  }
  TraceStepOK(KELU_HERE, "Check CMS envelope nodes");
  *out = nodes;
  return KELU_OK;
}


struct EnvelopeOutputs {
  Output<unsigned char> key_id, encrypted_key, parameters;
  Output<char> key_algorithm, content_algorithm;
};

struct EnvelopeFields {
  OwnedBytes key_id, encrypted_key, parameters;
  OidText key_algorithm, content_algorithm;
};

const kelu::asn1::OidSteps kKeyAlgorithmSteps = {
    "d2i_ASN1_OBJECT(KeyEncryptionAlg)", "NULL == pstKeyEncryptionAlgOid", "OBJ_obj2txt(1)",
    "OBJ_obj2txt(2)", "0 == nKeyEncryptionAlgOidLength"};
const kelu::asn1::OidSteps kContentAlgorithmSteps = {
    "d2i_ASN1_OBJECT(ContentEncryptionAlg)", "NULL == pstContentEncryptionAlgOid",
    "OBJ_obj2txt(1)", "OBJ_obj2txt(2)", "0 == nContentEncryptionAlgOidLength"};

// Reads the requested small fields; the content is left to each parser.
int ReadEnvelopeFields(const EnvelopeNodes &nodes, const EnvelopeOutputs &wanted,
                       EnvelopeFields *fields) {
  int nResult = KELU_OK;
  if (wanted.key_id.wanted()) {
    nResult = kelu::asn1::CopyValue(KELU_HERE, *nodes.rid, false, "!pbyRecipientSubjectKeyID",
                                    &fields->key_id);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.encrypted_key.wanted()) {
    nResult = kelu::asn1::CopyValue(KELU_HERE, *nodes.encrypted_key, false, "!pbyEncryptedKey",
                                    &fields->encrypted_key);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.key_algorithm.wanted()) {
    nResult = ReadOidText(KELU_HERE, *nodes.key_algorithm_oid, kKeyAlgorithmSteps,
                      &fields->key_algorithm);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.content_algorithm.wanted()) {
    nResult = ReadOidText(KELU_HERE, *nodes.content_algorithm_oid, kContentAlgorithmSteps,
                      &fields->content_algorithm);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.parameters.wanted()) {
    nResult = kelu::asn1::CopyValue(KELU_HERE, *nodes.parameters, false,
                                    "!pbyContentEncryptionAlgParameter", &fields->parameters);
  }
  return nResult;
}

void HandOutFields(const EnvelopeOutputs &outputs, EnvelopeFields *fields) {
  HandOut(outputs.key_id, &fields->key_id.data, fields->key_id.size);
  HandOut(outputs.encrypted_key, &fields->encrypted_key.data, fields->encrypted_key.size);
  HandOut(outputs.key_algorithm, &fields->key_algorithm.text, fields->key_algorithm.length);
  HandOut(outputs.content_algorithm, &fields->content_algorithm.text,
          fields->content_algorithm.length);
  HandOut(outputs.parameters, &fields->parameters.data, fields->parameters.size);
}

bool OutputsValid(const EnvelopeOutputs &o) {
  return o.key_id.valid() && o.encrypted_key.valid() && o.parameters.valid() &&
         o.key_algorithm.valid() && o.content_algorithm.valid();
}

void CollectSegments(const NodeEx &node, std::vector<const NodeEx *> *segments) {
  for (const NodeEx *segment : node.vetNodes) {
    if (IsConstructed(*segment)) {
      CollectSegments(*segment, segments);
    } else {
      segments->push_back(segment);
    }
  }
}

// A copy of the encrypted-content element that outlives the tree. A constructed element is
// handed out with its primitive segments as its direct elements (nested constructed segments
// flattened, and an empty segment for no content), so that the content is always the node's own
// value or the join of its elements' values.
int CopyContentNode(const NodeEx &content, NodeEx **ppNode) {
  NodeEx *copy = NULL;
  int nResult = DuplicateNodeEx(&content, &copy, false);
  if (KELU_OK != nResult) {
    TraceStepFailed(KELU_HERE, "DuplicateNodeEx", nResult, "KELU_OK != nResult");
    return nResult;
  }
  NodePtr top(copy);
  if (IsConstructed(content)) {
    std::vector<const NodeEx *> segments;
    NodeEx empty;
    try {
      CollectSegments(content, &segments);
      if (segments.empty()) {
        empty.Tag = 0x04;
        empty.fpFile = content.fpFile;
        empty.pbySource = content.pbySource;
        empty.ValueStartPosition = content.ValueStartPosition;
        empty.FileLength = content.FileLength;
        segments.push_back(&empty);
      }
      top->vetNodes.reserve(segments.size());
    } catch (...) {
      TraceStepFailed(KELU_HERE, "DuplicateNodeEx", KELU_ERR_FAILED, "no memory for segments");
      return KELU_ERR_FAILED;
    }
    for (const NodeEx *segment : segments) {
      nResult = DuplicateNodeEx(segment, &copy, false);
      if (KELU_OK != nResult) {
        TraceStepFailed(KELU_HERE, "DuplicateNodeEx", nResult, "KELU_OK != nResult");
        return nResult;
      }
      copy->pParentNode = top.get();
      top->vetNodes.push_back(copy);  // room reserved above
    }
  }
  *ppNode = top.release();
  return KELU_OK;
}

}  // namespace

int Decode_CMSEnvelopeData(const unsigned char *pbyCMSEnvelope, int nCMSEnvelopeSize,
                           unsigned char **ppbyRecipientSubjectKeyID,
                           int *pnRecipientSubjectKeyIDSize, unsigned char **ppbyEncryptedKey,
                           int *pnEncryptedKeySize, unsigned char **ppbyEncryptedContent,
                           int *pnEncryptedContentSize, char **ppszKeyEncryptionAlgOid,
                           int *pnKeyEncryptionAlgOidLength, char **ppszContentEncryptionAlgOid,
                           int *pnContentEncryptionAlgOidLength,
                           unsigned char **ppbyContentEncryptionAlgParameter,
                           int *pnContentEncryptionAlgParameterSize) {
  const EnvelopeOutputs outputs = {
      {ppbyRecipientSubjectKeyID, pnRecipientSubjectKeyIDSize},
      {ppbyEncryptedKey, pnEncryptedKeySize},
      {ppbyContentEncryptionAlgParameter, pnContentEncryptionAlgParameterSize},
      {ppszKeyEncryptionAlgOid, pnKeyEncryptionAlgOidLength},
      {ppszContentEncryptionAlgOid, pnContentEncryptionAlgOidLength}};
  const Output<unsigned char> content_output = {ppbyEncryptedContent, pnEncryptedContentSize};
  int nResult = CheckArguments(KELU_HERE, OutputsValid(outputs) && content_output.valid(),
                               "an output without its size pointer");
  if (KELU_OK != nResult) return nResult;

  NodeEx *pCMSEnvelope = NULL;
  nResult = nCMSEnvelopeSize > 0
                ? DecodeASN1MemoryEx(pbyCMSEnvelope, static_cast<unsigned long>(nCMSEnvelopeSize),
                                     &pCMSEnvelope)
                : KELU_ERR_FAILED;
  NodePtr tree(pCMSEnvelope);
  if (KELU_OK != nResult || NULL == pCMSEnvelope) {
    TraceStepFailed(KELU_HERE, "DecodeASN1MemoryEx", KELU_ERR_FAILED,
                    "KELU_OK != nResult || NULL == pCMSEnvelope");
    return KELU_ERR_FAILED;
  }
  EnvelopeNodes nodes;
  nResult = FindEnvelopeNodes(*tree, &nodes);
  if (KELU_OK != nResult) return nResult;
  EnvelopeFields fields;
  nResult = ReadEnvelopeFields(nodes, outputs, &fields);
  if (KELU_OK != nResult) return nResult;
  OwnedBytes content;
  if (content_output.wanted()) {
    nResult = kelu::asn1::CopyOctetStringContent(KELU_HERE, *nodes.encrypted_content, true,
                                                 "!pbyEncryptedContent", &content);
    if (KELU_OK != nResult) return nResult;
  }
  // Empty parameters (NULL) are handed out as no buffer at all.
  if (fields.parameters.size == 0) fields.parameters.data.reset();
  HandOutFields(outputs, &fields);
  HandOut(content_output, &content.data, content.size);
  return KELU_OK;
}

int Decode_CMSEnvelopeFile(FILE *fpFile, unsigned char **ppbyRecipientSubjectKeyID,
                           int *pnRecipientSubjectKeyIDSize, unsigned char **ppbyEncryptedKey,
                           int *pnEncryptedKeySize, NodeEx **ppEncryptedContentNode,
                           char **ppszKeyEncryptionAlgOid, int *pnKeyEncryptionAlgOidLength,
                           char **ppszContentEncryptionAlgOid,
                           int *pnContentEncryptionAlgOidLength,
                           unsigned char **ppbyContentEncryptionAlgParameter,
                           int *pnContentEncryptionAlgParameterSize) {
  const EnvelopeOutputs outputs = {
      {ppbyRecipientSubjectKeyID, pnRecipientSubjectKeyIDSize},
      {ppbyEncryptedKey, pnEncryptedKeySize},
      {ppbyContentEncryptionAlgParameter, pnContentEncryptionAlgParameterSize},
      {ppszKeyEncryptionAlgOid, pnKeyEncryptionAlgOidLength},
      {ppszContentEncryptionAlgOid, pnContentEncryptionAlgOidLength}};
  int nResult = CheckArguments(KELU_HERE, NULL != fpFile && OutputsValid(outputs),
                               "NULL == fpFile || an output without its size pointer");
  if (KELU_OK != nResult) return nResult;
  FilePositionGuard position(fpFile);
  nResult = CheckArguments(KELU_HERE, position.valid(), "-1 == ftello(fpFile)");
  if (KELU_OK != nResult) return nResult;

  NodeEx *pCMSEnvelope = NULL;
  nResult = DecodeASN1FileEx(fpFile, &pCMSEnvelope);
  NodePtr tree(pCMSEnvelope);
  if (KELU_OK != nResult || NULL == pCMSEnvelope) {
    TraceStepFailed(KELU_HERE, "DecodeASN1FileEx", KELU_ERR_FAILED,
                    "KELU_OK != nResult || NULL == pCMSEnvelope");
    return KELU_ERR_FAILED;
  }
  EnvelopeNodes nodes;
  nResult = FindEnvelopeNodes(*tree, &nodes);
  if (KELU_OK != nResult) return nResult;
  EnvelopeFields fields;
  nResult = ReadEnvelopeFields(nodes, outputs, &fields);
  if (KELU_OK != nResult) return nResult;
  NodePtr content;
  if (NULL != ppEncryptedContentNode) {
    NodeEx *node = NULL;
    nResult = Keep(CopyContentNode(*nodes.encrypted_content, &node), node, &content);
    if (KELU_OK != nResult) return nResult;
  }
  HandOutFields(outputs, &fields);
  if (NULL != ppEncryptedContentNode) *ppEncryptedContentNode = content.release();
  return KELU_OK;
}

// ---------------------------------------------------------------------------------------------
// SM2Cipher

namespace {

constexpr int kSM2CoordinateSize = 32;
constexpr int kSM3HashSize = 32;
constexpr int kRawOverhead = 2 * kSM2CoordinateSize + kSM3HashSize;
// An INTEGER of a coordinate has at most 32 value octets and a sign octet.
constexpr size_t kMaxCoordinateOctets = 33;

}  // namespace

int ConstructNode_SM2Cipher(const unsigned char *pbyXCoordinate,
                            const unsigned char *pbyYCoordinate, const unsigned char *pbyHASH,
                            const unsigned char *pbyCipherText, int nC2Size, NodeEx **ppNode) {
  int nResult = CheckArguments(
      KELU_HERE,
      NULL != ppNode && NULL != pbyXCoordinate && NULL != pbyYCoordinate && NULL != pbyHASH &&
          BytesArgument(pbyCipherText, nC2Size),
      "NULL == ppNode || NULL coordinate or hash || NULL == pbyCipherText with a count");
  if (KELU_OK != nResult) return nResult;
  NodePtr x, y, hash, cipher_text, sequence;
  NodeEx *node = NULL;
  nResult = Keep(kelu::asn1::NewUnsignedIntegerLeaf(KELU_HERE, pbyXCoordinate, kSM2CoordinateSize,
                                                    "XCoordinate", "!pbyXCoordinate", &node),
                 node, &x);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewUnsignedIntegerLeaf(KELU_HERE, pbyYCoordinate, kSM2CoordinateSize,
                                                    "YCoordinate", "!pbyYCoordinate", &node),
                 node, &y);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewLeafCopy(KELU_HERE, 0x04, pbyHASH, kSM3HashSize, "HASH",
                                         "!pNode_HASH->pValue", &node),
                 node, &hash);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewLeafCopy(KELU_HERE, 0x04, pbyCipherText,
                                         static_cast<size_t>(nC2Size), "CipherText",
                                         "!pNode_CipherText->pValue", &node),
                 node, &cipher_text);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE, "SM2Cipher", &node),
                 node, &sequence);
  if (KELU_OK != nResult) return nResult;
  AttachAll(sequence.get(), {&x, &y, &hash, &cipher_text});
  *ppNode = sequence.release();
  return KELU_OK;
}

int Encode_SM2Cipher(const unsigned char *pbyC1C2C3, int nC1C2C3Size, unsigned char **ppbySM2Cipher,
                     int *pnSM2CipherSize) {
  if (NULL == pbyC1C2C3 || NULL == ppbySM2Cipher || NULL == pnSM2CipherSize) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_INVALID_PARAMETER,
                    "NULL == pbyC1C2C3 || NULL == ppbySM2Cipher || NULL == pnSM2CipherSize");
    return KELU_ERR_INVALID_PARAMETER;
  }
  int nC2Size = nC1C2C3Size - kRawOverhead;
  if (nC1C2C3Size <= kRawOverhead) {
    TraceStepFailed(KELU_HERE, "Check C2 byte size.", KELU_ERR_INVALID_PARAMETER, "nC2Size <= 0");
    return KELU_ERR_INVALID_PARAMETER;
  }
  NodeEx *pNode = NULL;
  int nResult = ConstructNode_SM2Cipher(pbyC1C2C3, pbyC1C2C3 + kSM2CoordinateSize,
                                        pbyC1C2C3 + nC1C2C3Size - kSM3HashSize,
                                        pbyC1C2C3 + 2 * kSM2CoordinateSize, nC2Size, &pNode);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_SM2Cipher")) return nResult;
  NodePtr tree(pNode);
  unsigned char *pbyEncoded = NULL;
  int nEncodedSize = 0;
  int nDeepLevel = 0;
  nResult = EncodeASN1ToMemory(tree.get(), &pbyEncoded, &nEncodedSize, &nDeepLevel);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "EncodeASN1ToMemory")) {
    delete[] pbyEncoded;
    return nResult;
  }
  *ppbySM2Cipher = pbyEncoded;
  *pnSM2CipherSize = nEncodedSize;
  return KELU_OK;
}

int Decode_SM2Cipher(const unsigned char *pbySM2Cipher, int nSM2CipherSize,
                     unsigned char **ppbyC1C2C3, int *pnC1C2C3Size) {
  int nResult = CheckArguments(KELU_HERE, NULL != ppbyC1C2C3 && NULL != pnC1C2C3Size,
                               "NULL == ppbyC1C2C3 || NULL == pnC1C2C3Size");
  if (KELU_OK != nResult) return nResult;
  NodeEx *pNode_SM2Cipher = NULL;
  nResult = nSM2CipherSize > 0
                ? DecodeASN1MemoryEx(pbySM2Cipher, static_cast<unsigned long>(nSM2CipherSize),
                                     &pNode_SM2Cipher)
                : KELU_ERR_FAILED;
  NodePtr tree(pNode_SM2Cipher);
  if (KELU_OK != nResult || NULL == pNode_SM2Cipher) {
    TraceStepFailed(KELU_HERE, "DecodeASN1MemoryEx", KELU_ERR_FAILED,
                    "KELU_OK != nResult || NULL == pNode_SM2Cipher");
    return KELU_ERR_FAILED;
  }
  // Exactly one SEQUENCE of four elements and nothing after it.
  if (tree->Tag != ASN1_TAG_C_SEQUENCE || tree->TotalLength != static_cast<uint64_t>(nSM2CipherSize)) {
    TraceStepFailed(KELU_HERE, "Check SM2Cipher SEQUENCE.", KELU_ERR_PARSE,
                    "Tag != SEQUENCE || TotalLength != nSM2CipherSize");
    return KELU_ERR_PARSE;
  }
  if (tree->vetNodes.size() != 4) {
    TraceStepFailed(KELU_HERE, "Invalid SM2Cipher nodes number.", KELU_ERR_PARSE, "true");
    return KELU_ERR_PARSE;
  }
  const NodeEx &x = *tree->vetNodes[0];
  const NodeEx &y = *tree->vetNodes[1];
  const NodeEx &hash = *tree->vetNodes[2];
  const NodeEx &cipher_text = *tree->vetNodes[3];
  unsigned char coordinates[2 * kSM2CoordinateSize];
  if (!kelu::asn1::ReadUnsignedInteger(x, kMaxCoordinateOctets, coordinates, kSM2CoordinateSize)) {
    TraceStepFailed(KELU_HERE, "Check XCoordinate size in SM2Cipher.", KELU_ERR_PARSE,
                    "nXCoordinateSize > 33");
    return KELU_ERR_PARSE;
  }
  if (!kelu::asn1::ReadUnsignedInteger(y, kMaxCoordinateOctets, coordinates + kSM2CoordinateSize,
                                       kSM2CoordinateSize)) {
    TraceStepFailed(KELU_HERE, "Check YCoordinate size in SM2Cipher.", KELU_ERR_PARSE,
                    "nYCoordinateSize > 33");
    return KELU_ERR_PARSE;
  }
  if (hash.Tag != 0x04 || !hash.vetNodes.empty() || hash.ValueLength != kSM3HashSize) {
    TraceStepFailed(KELU_HERE, "Check SM3 hash size in SM2Cipher.", KELU_ERR_PARSE,
                    "SM3_HASH_SIZE != nHASH");
    return KELU_ERR_PARSE;
  }
  if (cipher_text.Tag != 0x04 || !cipher_text.vetNodes.empty()) {
    TraceStepFailed(KELU_HERE, "Check CipherText in SM2Cipher.", KELU_ERR_PARSE,
                    "CipherText is no primitive OCTET STRING");
    return KELU_ERR_PARSE;
  }
  // C2 lies inside the int-sized input, so n + 96 fits an int.
  const size_t nC2Size = static_cast<size_t>(cipher_text.ValueLength);
  const size_t nRawSize = nC2Size + kRawOverhead;
  BytesPtr raw(new (std::nothrow) unsigned char[nRawSize]());
  if (!raw) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbyC1C2C3");
    return KELU_ERR_FAILED;
  }
  std::memcpy(raw.get(), coordinates, sizeof coordinates);
  if (!kelu::asn1::ReadSourceRange(cipher_text, cipher_text.ValueStartPosition, nC2Size,
                                   raw.get() + 2 * kSM2CoordinateSize) ||
      !kelu::asn1::ReadSourceRange(hash, hash.ValueStartPosition, kSM3HashSize,
                                   raw.get() + 2 * kSM2CoordinateSize + nC2Size)) {
    TraceStepFailed(KELU_HERE, "Read ASN.1 value", KELU_ERR_FAILED, "range outside the source");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "Decode_SM2Cipher");
  *ppbyC1C2C3 = raw.release();
  *pnC1C2C3Size = static_cast<int>(nRawSize);
  return KELU_OK;
}
