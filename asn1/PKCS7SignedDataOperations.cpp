#include "PKCS7SignedDataOperations.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "CMSEnvelopeOperations.h"
#include "CertificateFields.h"
#include "KeluErrors.h"
#include "Misc.h"
#include "NationalObjects.h"
#include "NodeValues.h"
#include "OsslPtr.h"
#include "SharedCertificates.h"
#include "kelu_zlog.h"

using kelu::asn1::AttachAll;
using kelu::asn1::BytesArgument;
using kelu::asn1::BytesPtr;
using kelu::asn1::CheckArguments;
using kelu::asn1::FilePositionGuard;
using kelu::asn1::HandOut;
using kelu::asn1::IsConstructed;
using kelu::asn1::Keep;
using kelu::asn1::NamedStep;
using kelu::asn1::NodePtr;
using kelu::asn1::Output;
using kelu::asn1::OwnedBytes;

namespace {

constexpr uint8_t kTagContext0 = 0xA0;
constexpr uint8_t kTagContext1 = 0xA1;
constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagConstructedOctetString = 0x24;
constexpr unsigned char kNullParameters[] = {0x05, 0x00};
constexpr int kRSValueSize = SM2_RAW_RS_SIZE / 2;
// An INTEGER of r or s: at most 32 value octets and a sign octet.
constexpr size_t kMaxRSOctets = 33;
// The sizes taken for an SM2Q1: 70 bytes for two INTEGERs of 32 value octets, 72 with two sign
// octets, a little less for values that start with zero octets.
constexpr uint64_t kMinSM2Q1Size = 66;
constexpr uint64_t kMaxSM2Q1Size = 72;

// Content octets of the two signedData content types.
constexpr unsigned char kPkcs7SignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                 0x0D, 0x01, 0x07, 0x02};
constexpr unsigned char kSMSignedDataOid[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55,
                                              0x06, 0x01, 0x04, 0x02, 0x02};

int NewRSIntegers(const TraceSite &site, const unsigned char *pbyR, int nRSize,
                  const unsigned char *pbyS, int nSSize, const char *r_reason,
                  const char *s_reason, NodePtr *r, NodePtr *s) {
  NodeEx *node = NULL;
  int nResult = Keep(kelu::asn1::NewUnsignedIntegerLeaf(site, pbyR, static_cast<size_t>(nRSize),
                                                        "Raw signature R", r_reason, &node),
                     node, r);
  if (KELU_OK != nResult) return nResult;
  return Keep(kelu::asn1::NewUnsignedIntegerLeaf(site, pbyS, static_cast<size_t>(nSSize),
                                                 "Raw signature S", s_reason, &node),
              node, s);
}

bool RSArguments(const unsigned char *pbyR, int nRSize, const unsigned char *pbyS, int nSSize) {
  return NULL != pbyR && NULL != pbyS && nRSize > 0 && nSSize > 0;
}

// The signature value element(s) of a SignerInfo, appended to values in order.
int NewSignatureValue(const unsigned char *pbySignature, int nSignatureSize,
                      unsigned long fSignatureEncodedType, NodePtr values[2]) {
  NodeEx *node = NULL;
  const bool sm2_form = fSignatureEncodedType == SIGNATURE_ENCODED_SM2_RS ||
                        fSignatureEncodedType == SIGNATURE_ENCODED_SM2_Q1 ||
                        fSignatureEncodedType == SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1;
  if (!sm2_form && fSignatureEncodedType != SIGNATURE_ENCODED_OCTET_STRING) {
    TRACE(KELU_TRACE_INFO, "fSignatureEncodedType = 0x%04lx", fSignatureEncodedType);
    TraceStepFailed(KELU_HERE, "Invalid signature type.", KELU_ERR_INVALID_PARAMETER, "true");
    return KELU_ERR_INVALID_PARAMETER;
  }
  if (sm2_form && SM2_RAW_RS_SIZE != nSignatureSize) {
    TraceStepFailed(KELU_HERE, "Check SM2 raw signature size", KELU_ERR_INVALID_PARAMETER,
                    "SM2_RAW_RS_SIZE != nRawSignatureSize");
    return KELU_ERR_INVALID_PARAMETER;
  }
  const unsigned char *pbyR = pbySignature;
  const unsigned char *pbyS = pbySignature + kRSValueSize;
  switch (fSignatureEncodedType) {
    case SIGNATURE_ENCODED_SM2_RS:
      return NewRSIntegers(KELU_HERE, pbyR, kRSValueSize, pbyS, kRSValueSize,
                           "!pbyRawSignatureR", "!pbyRawSignatureS", &values[0], &values[1]);
    case SIGNATURE_ENCODED_SM2_Q1:
      return Keep(ConstructNode_SM2Q1(pbyR, kRSValueSize, pbyS, kRSValueSize, &node), node,
                  &values[0]);
    case SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1: {
      unsigned char *pbySM2Q1 = NULL;
      int nSM2Q1Size = 0;
      int nResult = Encode_SM2Q1(pbyR, kRSValueSize, pbyS, kRSValueSize, &pbySM2Q1, &nSM2Q1Size);
      if (KELU_OK != NamedStep(KELU_HERE, nResult, "Encode_SM2Q1")) return nResult;
      return Keep(kelu::asn1::NewLeaf(KELU_HERE, kTagOctetString,
                                      {BytesPtr(pbySM2Q1), static_cast<size_t>(nSM2Q1Size)},
                                      "SM2 OCTET STRING Q1", &node),
                  node, &values[0]);
    }
    default:
      return Keep(kelu::asn1::NewLeafCopy(KELU_HERE, kTagOctetString, pbySignature,
                                          static_cast<size_t>(nSignatureSize), "RSA PKCS#1",
                                          "!pbyRSAP1Signature", &node),
                  node, &values[0]);
  }
}

// The OCTET STRING of an attached content: a copy of the bytes, or the whole content file
// (64-bit size; streamed by the encoders, the file left at its start).
int NewSourceDataNode(const unsigned char *pbySourceData, int nSourceDataSize, FILE *fpSourceFile,
                      NodeEx **ppNode) {
  if (NULL != pbySourceData) {
    return kelu::asn1::NewLeafCopy(KELU_HERE, kTagOctetString, pbySourceData,
                                   static_cast<size_t>(nSourceDataSize), "sourceData",
                                   "!pNode_sourceData->pValue", ppNode);
  }
  uint64_t nFileSize = 0;
  int nResult = GetFileSize_Ex(fpSourceFile, &nFileSize);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "GetFileSize_Ex")) return nResult;
  nResult = kelu::asn1::NewConstructed(KELU_HERE, kTagOctetString, "sourceData", ppNode);
  if (KELU_OK != nResult) return nResult;
  (*ppNode)->fpFile = fpSourceFile;
  (*ppNode)->ValueStartPosition = 0;
  (*ppNode)->ValueLength = nFileSize;
  (*ppNode)->CurrentValueLength = nFileSize;
  return KELU_OK;
}

int NewAttributeBlock(uint8_t tag, const char *node_name, std::vector<NodeEx *> *pvetAttributes,
                      NodeEx **ppNode) {
  int nResult = CheckArguments(KELU_HERE, NULL != pvetAttributes && NULL != ppNode,
                               "NULL == pvetAttributes || NULL == ppNode");
  if (KELU_OK != nResult) return nResult;
  NodeEx *block = NULL;
  nResult = kelu::asn1::NewConstructed(KELU_HERE, tag, node_name, &block);
  if (KELU_OK != nResult) return nResult;
  for (NodeEx *&attribute : *pvetAttributes) {
    block->AddChild(attribute);
    attribute = NULL;
  }
  *ppNode = block;
  return KELU_OK;
}

int NewSingleAttributeBlock(bool bSigned, const char *pszAttrTypeOid,
                            const unsigned char *pbyAttrValues, int nAttrValuesSize,
                            NodeEx **ppNode) {
  NodeEx *attribute = NULL;
  int nResult = ConstructNode_Attribute(pszAttrTypeOid, pbyAttrValues, nAttrValuesSize, &attribute);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_Attribute")) return nResult;
  std::vector<NodeEx *> attributes;
  try {
    attributes.push_back(attribute);
  } catch (...) {
    delete attribute;
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!vetAttributes");
    return KELU_ERR_FAILED;
  }
  nResult = bSigned ? ConstructNode_SignedAttributes(&attributes, ppNode)
                    : ConstructNode_UnsignedAttributes(&attributes, ppNode);
  delete attributes[0];  // null once the block took it
  return nResult;
}

}  // namespace

int ConstructNode_IssuerAndSerialNumber(const unsigned char *pbyIssuer, int nIssuerSize,
                                        const unsigned char *pbySerialNumber,
                                        int nSerialNumberSize, NodeEx **ppNode) {
  int nResult = CheckArguments(
      KELU_HERE,
      NULL != ppNode && NULL != pbyIssuer && NULL != pbySerialNumber && nIssuerSize > 0 &&
          nSerialNumberSize > 0 && nSerialNumberSize <= INT_MAX - nIssuerSize,
      "NULL == ppNode || NULL issuer or serial || a size <= 0 or too large");
  if (KELU_OK != nResult) return nResult;
  OwnedBytes value;
  value.size = static_cast<size_t>(nIssuerSize) + static_cast<size_t>(nSerialNumberSize);
  value.data.reset(new (std::nothrow) unsigned char[value.size]);
  if (!value.data) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED,
                    "!pbyIssuerAndSerialNumberASN1Value");
    return KELU_ERR_FAILED;
  }
  std::memcpy(value.data.get(), pbyIssuer, static_cast<size_t>(nIssuerSize));
  std::memcpy(value.data.get() + nIssuerSize, pbySerialNumber,
              static_cast<size_t>(nSerialNumberSize));
  return kelu::asn1::NewLeaf(KELU_HERE, ASN1_TAG_C_SEQUENCE, std::move(value),
                             "pNode_IssuerAndSerialNumber", ppNode);
}

int ConstructNode_SM2Q1(const unsigned char *pbyR, int nRSize, const unsigned char *pbyS,
                        int nSSize, NodeEx **ppNode) {
  int nResult = CheckArguments(KELU_HERE, NULL != ppNode && RSArguments(pbyR, nRSize, pbyS, nSSize),
                               "NULL == ppNode || NULL r or s || a size <= 0");
  if (KELU_OK != nResult) return nResult;
  NodePtr r, s, sequence;
  nResult = NewRSIntegers(KELU_HERE, pbyR, nRSize, pbyS, nSSize, "!pbyBNData_R", "!pbyBNData_S",
                          &r, &s);
  if (KELU_OK != nResult) return nResult;
  NodeEx *node = NULL;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE, "SM2Q1", &node), node,
                 &sequence);
  if (KELU_OK != nResult) return nResult;
  AttachAll(sequence.get(), {&r, &s});
  *ppNode = sequence.release();
  return KELU_OK;
}

int Encode_SM2Q1(const unsigned char *pbyR, int nRSize, const unsigned char *pbyS, int nSSize,
                 unsigned char **ppbySM2Q1, int *pnSM2Q1Size) {
  int nResult = CheckArguments(KELU_HERE, NULL != ppbySM2Q1 && NULL != pnSM2Q1Size,
                               "NULL == ppbySM2Q1 || NULL == pnSM2Q1Size");
  if (KELU_OK != nResult) return nResult;
  NodeEx *node = NULL;
  nResult = ConstructNode_SM2Q1(pbyR, nRSize, pbyS, nSSize, &node);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_SM2Q1")) return nResult;
  NodePtr tree(node);
  unsigned char *pbyEncoded = NULL;
  int nEncodedSize = 0;
  int nDeepLevel = 0;
  nResult = EncodeASN1ToMemory(tree.get(), &pbyEncoded, &nEncodedSize, &nDeepLevel);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "EncodeASN1ToMemory")) {
    delete[] pbyEncoded;
    return nResult;
  }
  *ppbySM2Q1 = pbyEncoded;
  *pnSM2Q1Size = nEncodedSize;
  return KELU_OK;
}

int ConstructNode_SignerInfo(int nVersion, NodeEx *pIssuerAndSerialNumber,
                             const char *pszDigestAlgOid, NodeEx *pSignedAttributes,
                             const char *pszDigestEncryptionAlgOid,
                             const unsigned char *pbySignature, int nSignatureSize,
                             unsigned long fSignatureEncodedType, NodeEx *pUnsignedAttributes,
                             NodeEx **ppNode) {
  int nResult = CheckArguments(
      KELU_HERE,
      NULL != ppNode && NULL != pIssuerAndSerialNumber &&
          BytesArgument(pbySignature, nSignatureSize),
      "NULL == ppNode || NULL == pIssuerAndSerialNumber || NULL signature with a count");
  if (KELU_OK != nResult) return nResult;
  NodePtr version, digest_algorithm, encryption_algorithm, signer;
  NodePtr values[2];
  NodeEx *node = NULL;
  nResult = Keep(kelu::asn1::NewVersionLeaf(KELU_HERE, nVersion, &node), node, &version);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewAlgorithmLeaf(KELU_HERE, pszDigestAlgOid, kNullParameters,
                                              sizeof kNullParameters, "digestAlgorithm",
                                              "Encode_AlgorithmIdentifier(digestAlgorithm)",
                                              &node),
                 node, &digest_algorithm);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewAlgorithmLeaf(
                     KELU_HERE, pszDigestEncryptionAlgOid, kNullParameters,
                     sizeof kNullParameters, "digestEncryptionAlgorithm",
                     "Encode_AlgorithmIdentifier(digestEncryptionAlgorithm)", &node),
                 node, &encryption_algorithm);
  if (KELU_OK != nResult) return nResult;
  nResult = NewSignatureValue(pbySignature, nSignatureSize, fSignatureEncodedType, values);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE, "SM2P7SignerInfo",
                                            &node),
                 node, &signer);
  if (KELU_OK != nResult) return nResult;
  // Nothing fails from here on: the caller's nodes change owner only on success.
  signer->AddChild(version.release());
  signer->AddChild(pIssuerAndSerialNumber);
  signer->AddChild(digest_algorithm.release());
  signer->AddChild(pSignedAttributes);
  signer->AddChild(encryption_algorithm.release());
  AttachAll(signer.get(), {&values[0], &values[1]});
  signer->AddChild(pUnsignedAttributes);
  *ppNode = signer.release();
  return KELU_OK;
}

int ConstructNode_SignedData(int nVersion, const char *pszDigestAlgOid,
                             const char *pszContentTypeOid, const unsigned char *pbySourceData,
                             int nSourceDataSize, FILE *fpSourceFile, bool bAttached,
                             const unsigned char *pbyCert, int nCertSize,
                             NodeEx *pSignerInfoSet, NodeEx **ppNode) {
  int nResult = CheckArguments(
      KELU_HERE,
      NULL != ppNode && NULL != pSignerInfoSet && BytesArgument(pbyCert, nCertSize) &&
          (!bAttached || BytesArgument(pbySourceData, nSourceDataSize)),
      "NULL == ppNode || NULL == pSignerInfoSet || NULL bytes with a count");
  if (KELU_OK != nResult) return nResult;
  if (bAttached && NULL == pbySourceData && NULL == fpSourceFile) {
    TraceStepFailed(KELU_HERE, "Check source data or file is not NUL", KELU_ERR_FAILED,
                    "NULL == pbySourceData && NULL == fpSourceFile");
    return KELU_ERR_FAILED;
  }
  NodePtr version, algorithm, algorithm_set, content_type, content_info, certificate, signed_data;
  NodeEx *node = NULL;
  nResult = Keep(kelu::asn1::NewVersionLeaf(KELU_HERE, nVersion, &node), node, &version);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(ConstructNode_AlgorithmIdentifier(pszDigestAlgOid, kNullParameters,
                                                   sizeof kNullParameters, &node),
                 node, &algorithm);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_AlgorithmIdentifier")) {
    return nResult;
  }
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SET_OF, "digestAlgorithmSet",
                                            &node),
                 node, &algorithm_set);
  if (KELU_OK != nResult) return nResult;
  algorithm_set->AddChild(algorithm.release());
  nResult = Keep(ConstructNode_ObjectIdentifier(pszContentTypeOid, &node), node, &content_type);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_ObjectIdentifier")) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE, "contentInfo", &node),
                 node, &content_info);
  if (KELU_OK != nResult) return nResult;
  content_info->AddChild(content_type.release());
  if (bAttached) {
    NodePtr source, context;
    nResult = Keep(NewSourceDataNode(pbySourceData, nSourceDataSize, fpSourceFile, &node), node,
                   &source);
    if (KELU_OK != nResult) return nResult;
    nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, kTagContext0, "contentInfoContext",
                                              &node),
                   node, &context);
    if (KELU_OK != nResult) return nResult;
    context->AddChild(source.release());
    content_info->AddChild(context.release());
  }
  nResult = Keep(kelu::asn1::NewLeafCopy(KELU_HERE, kTagContext0, pbyCert,
                                         static_cast<size_t>(nCertSize), "contextCert",
                                         "!pNode_contextCert->pValue", &node),
                 node, &certificate);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE, "signedData", &node),
                 node, &signed_data);
  if (KELU_OK != nResult) return nResult;
  AttachAll(signed_data.get(), {&version, &algorithm_set, &content_info, &certificate});
  signed_data->AddChild(pSignerInfoSet);
  *ppNode = signed_data.release();
  return KELU_OK;
}

int ConstructNode_Attribute(const char *pszAttrTypeOid, const unsigned char *pbyAttrValues,
                            int nAttrValuesSize, NodeEx **ppNode) {
  int nResult = CheckArguments(KELU_HERE,
                               NULL != ppNode && BytesArgument(pbyAttrValues, nAttrValuesSize),
                               "NULL == ppNode || NULL == pbyAttrValues with a count");
  if (KELU_OK != nResult) return nResult;
  NodePtr type, values, attribute;
  NodeEx *node = NULL;
  nResult = Keep(ConstructNode_ObjectIdentifier(pszAttrTypeOid, &node), node, &type);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_ObjectIdentifier")) return nResult;
  nResult = Keep(kelu::asn1::NewLeafCopy(KELU_HERE, ASN1_TAG_C_SET_OF, pbyAttrValues,
                                         static_cast<size_t>(nAttrValuesSize), "attrValues",
                                         "!pNode_attrValues->pValue", &node),
                 node, &values);
  if (KELU_OK != nResult) return nResult;
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SEQUENCE, "Attribute", &node),
                 node, &attribute);
  if (KELU_OK != nResult) return nResult;
  AttachAll(attribute.get(), {&type, &values});
  *ppNode = attribute.release();
  return KELU_OK;
}

int ConstructNode_SignedAttributes(std::vector<NodeEx *> *pvetAttributes, NodeEx **ppNode) {
  return NewAttributeBlock(kTagContext0, "SignedAttributes", pvetAttributes, ppNode);
}

int ConstructNode_UnsignedAttributes(std::vector<NodeEx *> *pvetAttributes, NodeEx **ppNode) {
  return NewAttributeBlock(kTagContext1, "UnsignedAttributes", pvetAttributes, ppNode);
}

int ConstructNode_SignedAttributes_SingleItem(const char *pszAttrTypeOid,
                                              const unsigned char *pbyAttrValues,
                                              int nAttrValuesSize, NodeEx **ppNode) {
  return NewSingleAttributeBlock(true, pszAttrTypeOid, pbyAttrValues, nAttrValuesSize, ppNode);
}

int ConstructNode_UnsignedAttributes_SingleItem(const char *pszAttrTypeOid,
                                                const unsigned char *pbyAttrValues,
                                                int nAttrValuesSize, NodeEx **ppNode) {
  return NewSingleAttributeBlock(false, pszAttrTypeOid, pbyAttrValues, nAttrValuesSize, ppNode);
}

// ---------------------------------------------------------------------------------------------
// Parsers: one walk over the tree for both sources.

namespace {

using kelu::asn1::OidText;

struct SignedDataNodes {
  const NodeEx *root = nullptr;
  const NodeEx *signed_data = nullptr;
  const NodeEx *content_info = nullptr;
  const NodeEx *outer_type = nullptr;
  const NodeEx *content = nullptr;  // the element inside the contentInfo's [0]; null detached
  const NodeEx *certificates = nullptr;
  const NodeEx *signer = nullptr;
  const NodeEx *digest_algorithm = nullptr;
  const NodeEx *encryption_algorithm = nullptr;
  const NodeEx *digest_oid = nullptr;
  const NodeEx *encryption_oid = nullptr;
  const NodeEx *signed_attributes = nullptr;
  const NodeEx *unsigned_attributes = nullptr;
  const NodeEx *signature = nullptr;
  const NodeEx *signature_s = nullptr;  // the two-INTEGER form
};

const NodeEx *Child(const NodeEx *node, size_t index) {
  return node != nullptr && index < node->vetNodes.size() ? node->vetNodes[index] : nullptr;
}

size_t Count(const NodeEx *node) { return node != nullptr ? node->vetNodes.size() : 0; }

int FormatFailure(const TraceSite &site, const char *step) {
  TraceStepFailed(site, step, KELU_ERR_PKCS7_FORMAT, "true");
  return KELU_ERR_PKCS7_FORMAT;
}

// The signature value by its tag: OCTET STRING, SM2Q1 SEQUENCE of two, or INTEGER r and s as
// the last two elements.
int FindSignatureValue(size_t index, SignedDataNodes *nodes) {
  const NodeEx *signer = nodes->signer;
  const NodeEx *value = Child(signer, index);
  nodes->signature = value;
  if (value->Tag == kTagOctetString || value->Tag == ASN1_TAG_C_SEQUENCE) {
    if (value->Tag == ASN1_TAG_C_SEQUENCE && Count(value) != 2) {
      return FormatFailure(KELU_HERE, "Check PKCS#7 'signature' nodes");
    }
    const NodeEx *after = Child(signer, index + 1);
    if (after != nullptr && Count(signer) == index + 2 && after->Tag == kTagContext1) {
      nodes->unsigned_attributes = after;
    }
    return KELU_OK;
  }
  const NodeEx *s = Child(signer, index + 1);
  if (Count(signer) != index + 2 || value->Tag != kTagInteger || s->Tag != kTagInteger) {
    return FormatFailure(KELU_HERE, "Check PKCS#7 'signature' nodes");
  }
  nodes->signature_s = s;
  return KELU_OK;
}

int FindSignedDataNodes(const NodeEx &root, SignedDataNodes *out) {
  SignedDataNodes nodes;
  if (Count(&root) < 2) return FormatFailure(KELU_HERE, "Check PKCS#7 nodes");
  nodes.root = &root;
  nodes.outer_type = Child(&root, 0);
  if (Count(Child(&root, 1)) < 1) return FormatFailure(KELU_HERE, "Check PKCS#7 'content [0]' nodes");
  const NodeEx *signed_data = Child(Child(&root, 1), 0);
  if (Count(signed_data) < 5) return FormatFailure(KELU_HERE, "Check PKCS#7 'signedData' nodes");
  nodes.signed_data = signed_data;
  const NodeEx *content_info = Child(signed_data, 2);
  nodes.content_info = content_info;
  if (Count(content_info) < 2) {
    TRACE(KELU_TRACE_INFO, "It's a PKCS#7 detached signature");
  } else {
    TRACE(KELU_TRACE_INFO, "It's a PKCS#7 attached signature");
    nodes.content = Child(Child(content_info, 1), 0);
    if (nodes.content == nullptr) return FormatFailure(KELU_HERE, "Check PKCS#7 nodes");
    if (nodes.content->Tag == kTagConstructedOctetString &&
        !kelu::asn1::IsOctetStringSegments(*nodes.content)) {
      return FormatFailure(KELU_HERE, "Check PKCS#7 nodes");
    }
  }
  const NodeEx *signer_infos = signed_data->vetNodes.back();
  if (signer_infos->Tag != ASN1_TAG_C_SET_OF || Count(signer_infos) < 1) {
    return FormatFailure(KELU_HERE, "Check PKCS#7 'signerInfos' nodes");
  }
  nodes.signer = Child(signer_infos, 0);
  const NodeEx *fourth = Child(nodes.signer, 3);
  if (Count(nodes.signer) < 5) return FormatFailure(KELU_HERE, "Check PKCS#7 'signerInfo' nodes");
  if (Child(signed_data, 3)->Tag == kTagContext0) nodes.certificates = Child(signed_data, 3);

  const bool with_signed_attributes = Count(nodes.signer) > 5 && fourth->Tag == kTagContext0;
  const size_t encryption_index = with_signed_attributes ? 4 : 3;
  if (with_signed_attributes) nodes.signed_attributes = fourth;
  nodes.digest_algorithm = Child(nodes.signer, 2);
  nodes.encryption_algorithm = Child(nodes.signer, encryption_index);
  nodes.digest_oid = Child(nodes.digest_algorithm, 0);
  nodes.encryption_oid = Child(nodes.encryption_algorithm, 0);
  if (nodes.digest_oid == nullptr || nodes.encryption_oid == nullptr) {
    return FormatFailure(KELU_HERE, "Check PKCS#7 'signerInfo' nodes");
  }
  int nResult = FindSignatureValue(encryption_index + 1, &nodes);
  if (KELU_OK != nResult) return nResult;
  *out = nodes;
  return KELU_OK;
}

bool SameValue(const NodeEx &a, const NodeEx &b) {
  return a.ValueLength == b.ValueLength &&
         kelu::asn1::SameSourceBytes(a, a.ValueStartPosition, b, b.ValueStartPosition,
                                     a.ValueLength);
}

bool SameElement(const NodeEx &a, const NodeEx &b) {
  return a.TotalLength == b.TotalLength &&
         kelu::asn1::SameSourceBytes(a, kelu::asn1::HeaderStart(a), b, kelu::asn1::HeaderStart(b),
                                     a.TotalLength);
}

// The element as a certificate: a SEQUENCE in the definite form whose bytes are one DER
// certificate, copied whole into out. Anything else (text that may hold PEM, a certificate in
// the indefinite form) is no certificate: out stays empty.
int CopyIfCertificate(const NodeEx &element, OwnedBytes *out) {
  if (element.Tag != ASN1_TAG_C_SEQUENCE) return KELU_OK;
  OwnedBytes bytes;
  int nResult = kelu::asn1::CopyElement(KELU_HERE, element, "!pbyCertData", &bytes);
  if (KELU_OK != nResult) return nResult;
  // An indefinite element's length octet is 0x80; the decoder has measured it since.
  if (bytes.size < 2 || bytes.data[1] == 0x80 || bytes.size > static_cast<size_t>(INT_MAX) ||
      !kelu::IsDerX509(bytes.data.get(), static_cast<int>(bytes.size))) {
    TRACE(KELU_TRACE_INFO, "An element of the certificates field is no DER certificate");
    return KELU_OK;
  }
  *out = std::move(bytes);
  return KELU_OK;
}

// Among several certificates, the signer's: the first with the signer's issuer and serial, else
// the first with its serial. A tbsCertificate without the [0] version (version 1) has its
// serial first; elements of another shape, or that are no DER certificate, match nothing.
int CopySignerCertificate(const SignedDataNodes &nodes, OwnedBytes *out) {
  const NodeEx *version = Child(nodes.signer, 0);
  unsigned char octet = 0;
  if (version->Tag != kTagInteger || version->LengthOctetsSize != 1 || version->ValueLength < 1 ||
      !kelu::asn1::ReadSourceRange(*version, version->ValueStartPosition, 1, &octet) ||
      octet != 1) {
    return FormatFailure(KELU_HERE, "Check PKCS#7 'signerInfo/version' node");
  }
  const NodeEx *issuer_and_serial = Child(nodes.signer, 1);
  const NodeEx *signer_issuer = Child(issuer_and_serial, 0);
  const NodeEx *signer_serial = Child(issuer_and_serial, 1);
  if (signer_serial == nullptr) return FormatFailure(KELU_HERE, "Check PKCS#7 'signerInfo' nodes");
  OwnedBytes serial_match;
  for (const NodeEx *candidate : nodes.certificates->vetNodes) {
    const NodeEx *tbs = Child(candidate, 0);
    const NodeEx *first = Child(tbs, 0);
    const size_t serial_index = first != nullptr && first->Tag == kTagContext0 ? 1 : 0;
    const NodeEx *serial = Child(tbs, serial_index);
    const NodeEx *issuer = Child(tbs, serial_index + 2);
    if (serial == nullptr || serial->Tag != kTagInteger || !SameValue(*serial, *signer_serial)) {
      continue;
    }
    const bool same_issuer = issuer != nullptr && SameElement(*issuer, *signer_issuer);
    if (!same_issuer && serial_match.data != nullptr) continue;
    OwnedBytes certificate;
    int nResult = CopyIfCertificate(*candidate, &certificate);
    if (KELU_OK != nResult) return nResult;
    if (certificate.data == nullptr) continue;
    if (same_issuer) {
      *out = std::move(certificate);
      return KELU_OK;
    }
    serial_match = std::move(certificate);
  }
  *out = std::move(serial_match);
  return KELU_OK;
}

// The signer's certificate, exactly the DER of one element of the certificates field; none
// when the field is absent, or when no element is a DER certificate (of the signer, among
// several).
int CopyCertificate(const SignedDataNodes &nodes, OwnedBytes *out) {
  if (nodes.certificates == nullptr) return KELU_OK;
  if (Count(nodes.certificates) == 1) return CopyIfCertificate(*Child(nodes.certificates, 0), out);
  return CopySignerCertificate(nodes, out);
}

// How an OCTET STRING signature value is read.
enum class OctetStringSignature {
  kAsIs,              // its bytes unchanged
  kSM2Q1UnderSMType,  // an SM2Q1 under the SM signedData type; under pkcs7-signedData as kSM2
                      // for a signer of an SM2 algorithm, else unchanged (an RSA signature)
  kSM2,               // an SM2 signature value: an SM2Q1 under the SM signedData type; under
                      // pkcs7-signedData r || s or an SM2Q1 by its size (peers write either)
};

bool IsSM2SignatureAlgorithm(const NodeEx *node);

enum class OctetStringAction { kCopy, kDecodeSM2Q1, kRefuse };

// The one rule for an OCTET STRING signature value of size octets, for every reader.
OctetStringAction OctetStringActionFor(OctetStringSignature reading, bool sm_type,
                                       uint64_t size) {
  if (reading == OctetStringSignature::kAsIs) return OctetStringAction::kCopy;
  if (sm_type) return OctetStringAction::kDecodeSM2Q1;
  if (reading == OctetStringSignature::kSM2Q1UnderSMType) return OctetStringAction::kCopy;
  switch (SM2SignatureFormOfSize(size)) {
    case SM2SignatureForm::kRawRS:
      return OctetStringAction::kCopy;
    case SM2SignatureForm::kSM2Q1:
      return OctetStringAction::kDecodeSM2Q1;
    case SM2SignatureForm::kNone:
      break;
  }
  return OctetStringAction::kRefuse;
}

int CopySignatureValue(const SignedDataNodes &nodes, OctetStringSignature reading,
                       OwnedBytes *out) {
  const NodeEx &value = *nodes.signature;
  if (value.Tag == kTagOctetString && value.vetNodes.empty()) {
    const bool rsa = kelu::asn1::OidNodeEquals(*nodes.outer_type, kPkcs7SignedDataOid,
                                               sizeof kPkcs7SignedDataOid);
    const bool sm = !rsa && kelu::asn1::OidNodeEquals(*nodes.outer_type, kSMSignedDataOid,
                                                      sizeof kSMSignedDataOid);
    if (!rsa && !sm) return FormatFailure(KELU_HERE, "Check PKCS#7 'contentType' nodes");
    if (reading == OctetStringSignature::kSM2Q1UnderSMType &&
        IsSM2SignatureAlgorithm(nodes.encryption_algorithm)) {
      reading = OctetStringSignature::kSM2;
    }
    const OctetStringAction action = OctetStringActionFor(reading, sm, value.ValueLength);
    if (action == OctetStringAction::kRefuse) {
      // A signature that does not verify, as SM2 verifiers report it.
      TraceStepFailed(KELU_HERE, "Check SM2 signature value size", KELU_ERR_FAILED,
                      "neither 64 bytes r || s nor an SM2Q1 of 66 to 72 bytes");
      return KELU_ERR_FAILED;
    }
    OwnedBytes bytes;
    int nResult = kelu::asn1::CopyValue(KELU_HERE, value, false, "!pbyRawSignature", &bytes);
    if (KELU_OK != nResult) return nResult;
    if (action == OctetStringAction::kCopy) {
      *out = std::move(bytes);
      return KELU_OK;
    }
    unsigned char *pbyRS = NULL;
    int nRSSize = 0;
    nResult = Decode_SM2Q1(bytes.data.get(), static_cast<int>(bytes.size), &pbyRS, &nRSSize);
    if (KELU_OK != NamedStep(KELU_HERE, nResult, "Decode_SM2Q1")) return nResult;
    out->data.reset(pbyRS);
    out->size = static_cast<size_t>(nRSSize);
    return KELU_OK;
  }
  const NodeEx *r = nodes.signature_s != nullptr ? &value : Child(&value, 0);
  const NodeEx *s = nodes.signature_s != nullptr ? nodes.signature_s : Child(&value, 1);
  if (r == nullptr || s == nullptr) return FormatFailure(KELU_HERE, "Check PKCS#7 'signature' nodes");
  BytesPtr rs(new (std::nothrow) unsigned char[SM2_RAW_RS_SIZE]());
  if (!rs) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbyRawSignature");
    return KELU_ERR_FAILED;
  }
  if (!kelu::asn1::ReadIntegerPair(*r, *s, kMaxRSOctets, rs.get())) {
    TraceStepFailed(KELU_HERE, "Check R/S INTEGERs", KELU_ERR_PKCS7_FORMAT,
                    "r or s is no INTEGER of at most 32 value octets");
    return KELU_ERR_PKCS7_FORMAT;
  }
  out->data = std::move(rs);
  out->size = SM2_RAW_RS_SIZE;
  return KELU_OK;
}

const kelu::asn1::OidSteps kDigestSteps = {"d2i_ASN1_OBJECT(DigestAlgOid)",
                                           "NULL == pstDigestAlgOid", "OBJ_obj2txt(1)",
                                           "OBJ_obj2txt(2)", "0 == nDigestAlgOidLength"};
const kelu::asn1::OidSteps kEncryptionSteps = {
    "d2i_ASN1_OBJECT(DigestEncryptionAlgOid)", "NULL == pstDigestEncryptionAlgOid",
    "OBJ_obj2txt(3)", "OBJ_obj2txt(4)", "0 == nDigestEncryptionAlgOidLength"};

struct SignedDataOutputs {
  Output<unsigned char> certificate, signature, signed_attributes, unsigned_attributes;
  Output<char> digest, encryption;
  bool valid() const {
    return certificate.valid() && signature.valid() && signed_attributes.valid() &&
           unsigned_attributes.valid() && digest.valid() && encryption.valid();
  }
};

struct SignedDataFields {
  OwnedBytes certificate, signature, signed_attributes, unsigned_attributes;
  OidText digest, encryption;
};

// Everything but the content, in the order the checks of the format come.
int ReadSignedDataFields(const SignedDataNodes &nodes, const SignedDataOutputs &wanted,
                         OctetStringSignature reading, SignedDataFields *fields) {
  int nResult = KELU_OK;
  if (wanted.certificate.wanted()) {
    nResult = CopyCertificate(nodes, &fields->certificate);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.signed_attributes.wanted() && nodes.signed_attributes != nullptr) {
    nResult = kelu::asn1::CopyElement(KELU_HERE, *nodes.signed_attributes, "!pbySignedAttrs",
                                      &fields->signed_attributes);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.unsigned_attributes.wanted() && nodes.unsigned_attributes != nullptr) {
    nResult = kelu::asn1::CopyElement(KELU_HERE, *nodes.unsigned_attributes, "!pbyUnsignedAttrs",
                                      &fields->unsigned_attributes);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.digest.wanted()) {
    nResult = kelu::asn1::ReadOidText(KELU_HERE, *nodes.digest_oid, kDigestSteps, &fields->digest);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.encryption.wanted()) {
    nResult = kelu::asn1::ReadOidText(KELU_HERE, *nodes.encryption_oid, kEncryptionSteps,
                                      &fields->encryption);
    if (KELU_OK != nResult) return nResult;
  }
  if (wanted.signature.wanted()) {
    nResult = CopySignatureValue(nodes, reading, &fields->signature);
  }
  return nResult;
}

void HandOutFields(const SignedDataOutputs &outputs, SignedDataFields *fields) {
  HandOut(outputs.certificate, &fields->certificate.data, fields->certificate.size);
  HandOut(outputs.signature, &fields->signature.data, fields->signature.size);
  HandOut(outputs.signed_attributes, &fields->signed_attributes.data,
          fields->signed_attributes.size);
  HandOut(outputs.unsigned_attributes, &fields->unsigned_attributes.data,
          fields->unsigned_attributes.size);
  HandOut(outputs.digest, &fields->digest.text, fields->digest.length);
  HandOut(outputs.encryption, &fields->encryption.text, fields->encryption.length);
}

// ---- What the SM2 verifiers require of a SignedData besides its signature value. Without
// signed attributes the signature covers the content alone: the structure, the algorithms and
// the signer that the message names are taken as they stand, so they must be the format's and
// the signer must be the certificate whose key verifies the signature.

constexpr uint8_t kTagNull = 0x05;
constexpr unsigned char kPkcs7DataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                           0x0D, 0x01, 0x07, 0x01};

struct OidOctets {
  const unsigned char *der;
  size_t length;
};

OidOctets NationalOid(int id) {
  const kelu::NationalObject *object = kelu::FindNationalObject(id);
  return object != nullptr ? OidOctets{object->der, object->der_length} : OidOctets{nullptr, 0};
}

bool IsOneOf(const NodeEx *node, std::initializer_list<OidOctets> oids) {
  if (node == nullptr) return false;
  for (const OidOctets &oid : oids) {
    if (oid.der != nullptr && kelu::asn1::OidNodeEquals(*node, oid.der, oid.length)) return true;
  }
  return false;
}

// An AlgorithmIdentifier of one of the OIDs whose parameters are absent or NULL.
bool IsAlgorithm(const NodeEx *node, std::initializer_list<OidOctets> oids) {
  if (node == nullptr || node->Tag != ASN1_TAG_C_SEQUENCE || Count(node) < 1 || Count(node) > 2 ||
      !IsOneOf(Child(node, 0), oids)) {
    return false;
  }
  const NodeEx *parameters = Child(node, 1);
  return parameters == nullptr ||
         (parameters->Tag == kTagNull && parameters->ValueLength == 0 && Count(parameters) == 0);
}

// An SM2 signature algorithm, named as this toolkit writes it (1.2.156.10197.1.301.1), as the
// crypto library's signers do (SM2-with-SM3, 1.2.156.10197.1.501) or by the key's algorithm as
// PKCS#7 names RSA ones (1.2.156.10197.1.301).
bool IsSM2SignatureAlgorithm(const NodeEx *node) {
  return IsAlgorithm(node, {NationalOid(kelu::NID_ChinaSM2withSM3PKCS7),
                            NationalOid(kelu::NID_ChinaSM2withSM3),
                            NationalOid(kelu::NID_prime256v1SM2)});
}

// An INTEGER of one content octet that is one of the versions.
bool IsVersion(const NodeEx *node, std::initializer_list<unsigned char> versions) {
  unsigned char octet = 0;
  if (node == nullptr || node->Tag != kTagInteger || node->ValueLength != 1 ||
      !kelu::asn1::ReadSourceRange(*node, node->ValueStartPosition, 1, &octet)) {
    return false;
  }
  for (unsigned char version : versions) {
    if (octet == version) return true;
  }
  return false;
}

bool ListsAlgorithm(const NodeEx *set, std::initializer_list<OidOctets> oids) {
  if (set == nullptr || set->Tag != ASN1_TAG_C_SET_OF) return false;
  for (const NodeEx *algorithm : set->vetNodes) {
    if (IsAlgorithm(algorithm, oids)) return true;
  }
  return false;
}

// contentType pkcs7-data or SM data, and an attached content as [0] { OCTET STRING }, in the
// primitive or the constructed form.
bool IsInnerContentInfo(const NodeEx *content_info) {
  if (content_info == nullptr || content_info->Tag != ASN1_TAG_C_SEQUENCE ||
      Count(content_info) > 2 ||
      !IsOneOf(Child(content_info, 0), {{kPkcs7DataOid, sizeof kPkcs7DataOid},
                                         NationalOid(kelu::NID_SM_pkcs7_data)})) {
    return false;
  }
  const NodeEx *explicit_content = Child(content_info, 1);
  if (explicit_content == nullptr) return true;
  const NodeEx *content = Child(explicit_content, 0);
  return explicit_content->Tag == kTagContext0 && Count(explicit_content) == 1 &&
         (content->Tag == kTagOctetString || content->Tag == kTagConstructedOctetString);
}

// The bytes of an element, read at once: read one by one from a file, its parts would cost a
// seek each.
class ElementBytes {
 public:
  bool Load(const NodeEx &element) {
    start_ = kelu::asn1::HeaderStart(element);
    return KELU_OK == kelu::asn1::CopyElement(KELU_HERE, element, "!pbySignedAttrs", &bytes_);
  }
  // The value octets of an element inside it, or null when they are not all inside.
  const unsigned char *Value(const NodeEx &inner) const {
    const uint64_t size = bytes_.size;
    if (inner.ValueStartPosition < start_ || inner.ValueLength > size ||
        inner.ValueStartPosition - start_ > size - inner.ValueLength) {
      return nullptr;
    }
    return bytes_.data.get() + (inner.ValueStartPosition - start_);
  }

 private:
  uint64_t start_ = 0;
  OwnedBytes bytes_;
};

// An Attribute { attrType OBJECT IDENTIFIER, attrValues SET OF AttributeValue }.
bool IsAttribute(const NodeEx &attribute, const ElementBytes &block) {
  const NodeEx *type = Child(&attribute, 0);
  const NodeEx *values = Child(&attribute, 1);
  if (attribute.Tag != ASN1_TAG_C_SEQUENCE || Count(&attribute) != 2 ||
      type->Tag != ASN1_TAG_P_OBJECT_IDENTIFIER || Count(type) != 0 ||
      values->Tag != ASN1_TAG_C_SET_OF) {
    return false;
  }
  const unsigned char *oid = block.Value(*type);
  return oid != nullptr && kelu::asn1::IsObjectIdentifierContent(oid, type->ValueLength);
}

// A contentType value: the OID of the eContentType (one of the data types, checked before),
// whatever the length form of either header.
bool IsEContentType(const NodeEx &value, const SignedDataNodes &nodes) {
  return value.Tag == ASN1_TAG_P_OBJECT_IDENTIFIER && Count(&value) == 0 &&
         SameValue(value, *Child(nodes.content_info, 0));
}

// The signed attributes RFC 5652 (section 11) restricts: contentType at most once (some
// signers leave it out), messageDigest exactly once, signingTime at most once, each of a single
// value; countersignature is an unsigned attribute only. Otherwise the verifier would take one
// of several digests, or a type the signer did not sign the content as, where other verifiers
// refuse the message.
struct SignedAttributeRule {
  unsigned char oid[9];
  size_t min_instances, max_instances;
  bool (*value_ok)(const NodeEx &value, const SignedDataNodes &nodes);
  const char *fault;
};
const SignedAttributeRule kSignedAttributeRules[] = {
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03}, 0, 1, IsEContentType,
     "signed attributes: a contentType that is not the eContentType, or several"},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04}, 1, 1, nullptr,
     "signed attributes: not one messageDigest of one value"},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05}, 0, 1, nullptr,
     "signed attributes: not one signingTime of one value"},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x06}, 0, 0, nullptr,
     "signed attributes: a countersignature"},
};
constexpr size_t kSignedAttributeRuleCount =
    sizeof kSignedAttributeRules / sizeof kSignedAttributeRules[0];

// The rule for the attribute's type, or kSignedAttributeRuleCount for a type without one.
size_t RuleOf(const NodeEx &attribute, const ElementBytes &block) {
  const NodeEx *type = Child(&attribute, 0);
  for (size_t i = 0; i < kSignedAttributeRuleCount; ++i) {
    const unsigned char(&oid)[9] = kSignedAttributeRules[i].oid;
    if (type->ValueLength == sizeof oid && std::memcmp(block.Value(*type), oid, sizeof oid) == 0) {
      return i;
    }
  }
  return kSignedAttributeRuleCount;
}

const char *SignedAttributesFault(const SignedDataNodes &nodes) {
  ElementBytes block;
  if (!block.Load(*nodes.signed_attributes)) return "signed attributes: unreadable";
  size_t instances[kSignedAttributeRuleCount] = {};
  for (const NodeEx *attribute : nodes.signed_attributes->vetNodes) {
    if (!IsAttribute(*attribute, block)) {
      return "signed attributes: an element that is no Attribute";
    }
    const size_t i = RuleOf(*attribute, block);
    if (i == kSignedAttributeRuleCount) continue;
    const SignedAttributeRule &rule = kSignedAttributeRules[i];
    const NodeEx *values = Child(attribute, 1);
    if (++instances[i] > rule.max_instances || Count(values) != 1 ||
        (rule.value_ok != nullptr && !rule.value_ok(*Child(values, 0), nodes))) {
      return rule.fault;
    }
  }
  for (size_t i = 0; i < kSignedAttributeRuleCount; ++i) {
    if (instances[i] < kSignedAttributeRules[i].min_instances) {
      return kSignedAttributeRules[i].fault;
    }
  }
  return nullptr;
}

// The first element of the SignedData that is not as the format has it, or null: ContentInfo
// { pkcs7-signedData or SM signedData, [0] { SignedData } }, SignedData { version 1 (PKCS#7,
// CMS with data) or 3 (CMS with another content type), SET of digests with SM3, contentInfo,
// [0] certificates, [1] CRLs when present, signerInfos }, SignerInfo { version 1,
// issuerAndSerialNumber { Name, INTEGER }, SM3, [0] attributes when present, an SM2
// signature algorithm, ... }.
const char *SignedDataFault(const SignedDataNodes &nodes) {
  const OidOctets sm3 = NationalOid(kelu::NID_ChinaSM3);
  const NodeEx *explicit_content = Child(nodes.root, 1);
  if (nodes.root->Tag != ASN1_TAG_C_SEQUENCE || Count(nodes.root) != 2 ||
      explicit_content->Tag != kTagContext0 || Count(explicit_content) != 1) {
    return "ContentInfo { contentType, [0] { SignedData } }";
  }
  if (!IsOneOf(nodes.outer_type, {{kPkcs7SignedDataOid, sizeof kPkcs7SignedDataOid},
                                  NationalOid(kelu::NID_SM_pkcs7_signed)})) {
    return "contentType";
  }
  const NodeEx *signed_data = nodes.signed_data;
  const size_t count = Count(signed_data);
  if (signed_data->Tag != ASN1_TAG_C_SEQUENCE || count > 6 ||
      Child(signed_data, 3)->Tag != kTagContext0 ||
      (count == 6 && Child(signed_data, 4)->Tag != kTagContext1)) {
    return "SignedData";
  }
  if (!IsVersion(Child(signed_data, 0), {1, 3})) return "SignedData version";
  if (!ListsAlgorithm(Child(signed_data, 1), {sm3})) return "digestAlgorithms";
  if (!IsInnerContentInfo(nodes.content_info)) return "contentInfo";
  if (nodes.signer->Tag != ASN1_TAG_C_SEQUENCE) return "SignerInfo";
  if (!IsVersion(Child(nodes.signer, 0), {1})) return "SignerInfo version";
  const NodeEx *issuer_and_serial = Child(nodes.signer, 1);
  if (issuer_and_serial->Tag != ASN1_TAG_C_SEQUENCE || Count(issuer_and_serial) != 2 ||
      Child(issuer_and_serial, 0)->Tag != ASN1_TAG_C_SEQUENCE ||
      Child(issuer_and_serial, 1)->Tag != kTagInteger) {
    return "issuerAndSerialNumber";
  }
  if (!IsAlgorithm(nodes.digest_algorithm, {sm3})) return "digestAlgorithm";
  if (!IsSM2SignatureAlgorithm(nodes.encryption_algorithm)) return "digestEncryptionAlgorithm";
  return nodes.signed_attributes != nullptr ? SignedAttributesFault(nodes) : nullptr;
}

// Whether the issuerAndSerialNumber holds the issuer Name and the serialNumber that the field
// readers give of the certificate: the DER the encoder writes there.
bool NamesCertificate(const NodeEx &issuer_and_serial, const OwnedBytes &certificate) {
  const int cert_size = static_cast<int>(certificate.size);
  unsigned char *issuer = NULL, *serial = NULL;
  int issuer_size = 0, serial_size = 0;
  const int issuer_rc =
      kelu::GetIssuerFromCert(certificate.data.get(), cert_size, &issuer, &issuer_size);
  BytesPtr issuer_holder(issuer);
  if (KELU_OK != issuer_rc) return false;
  const int serial_rc =
      kelu::GetSerialNumberFromCert(certificate.data.get(), cert_size, &serial, &serial_size);
  BytesPtr serial_holder(serial);
  if (KELU_OK != serial_rc) return false;
  const uint64_t expected = static_cast<uint64_t>(issuer_size) + static_cast<uint64_t>(serial_size);
  OwnedBytes named;
  if (issuer_and_serial.ValueLength != expected ||
      KELU_OK != kelu::asn1::CopyValue(KELU_HERE, issuer_and_serial, false,
                                       "!pbyIssuerAndSerialNumber", &named)) {
    return false;
  }
  return std::memcmp(named.data.get(), issuer, static_cast<size_t>(issuer_size)) == 0 &&
         std::memcmp(named.data.get() + issuer_size, serial, static_cast<size_t>(serial_size)) == 0;
}

// -1, as for a signature that does not verify, when the SignedData is not one that an SM2
// signature of the certificate may verify.
int CheckSM2Signer(const SignedDataNodes &nodes, const OwnedBytes &certificate) {
  const char *fault = SignedDataFault(nodes);
  if (fault == nullptr && certificate.data == nullptr) {
    fault = "no DER certificate of the signer";
  } else if (fault == nullptr && !NamesCertificate(*Child(nodes.signer, 1), certificate)) {
    fault = "issuerAndSerialNumber of another certificate";
  }
  return TraceCheck(KELU_HERE, fault == nullptr, "Check SM2 SignedData signer", KELU_ERR_FAILED,
                    fault != nullptr ? fault : "");
}

// The attached content in memory: the joined segments of a constructed OCTET STRING, else (as
// the format was always read) the value of its single element or its own value.
int CopyContent(const NodeEx &content, OwnedBytes *out) {
  if (content.Tag == kTagConstructedOctetString) {
    return kelu::asn1::CopyOctetStringContent(KELU_HERE, content, true, "!pbySourceData", out);
  }
  const NodeEx &source = Count(&content) == 1 ? *content.vetNodes[0] : content;
  return kelu::asn1::CopyValue(KELU_HERE, source, true, "!pbySourceData", out);
}

// Where the attached content lies in the file; a content in several segments has no one range.
int ContentRange(const NodeEx &content, uint64_t *offset, uint64_t *length) {
  const NodeEx *source = &content;
  if (content.Tag == kTagConstructedOctetString) {
    const NodeEx *node = &content;
    while (Count(node) == 1 && IsConstructed(*node->vetNodes[0])) node = node->vetNodes[0];
    if (Count(node) > 1 || (Count(node) == 1 && IsConstructed(*node->vetNodes[0]))) {
      return FormatFailure(KELU_HERE, "Check PKCS#7 signature attached source data");
    }
    if (Count(node) == 0) {
      *offset = node->ValueStartPosition;
      *length = 0;
      return KELU_OK;
    }
    source = node->vetNodes[0];
  } else if (Count(&content) == 1) {
    source = content.vetNodes[0];
  }
  if (source->ValueLength > static_cast<uint64_t>(INT_MAX)) {
    return FormatFailure(KELU_HERE, "Check PKCS#7 signature attached source data");
  }
  *offset = source->ValueStartPosition;
  *length = source->ValueLength;
  return KELU_OK;
}

// ParsePKCS7Signature for site; with sm2_signer, CheckSM2Signer before anything is handed out.
int ParseSignedDataInMemory(const TraceSite &site, const unsigned char *der, int der_size,
                            const SignedDataOutputs &outputs,
                            const Output<unsigned char> &content_output,
                            OctetStringSignature reading, bool sm2_signer) {
  int nResult = CheckArguments(site, outputs.valid() && content_output.valid(),
                               "an output without its size pointer");
  if (KELU_OK != nResult) return nResult;
  NodeEx *pPKCS7 = NULL;
  nResult = der_size > 0
                ? DecodeASN1MemoryEx(der, static_cast<unsigned long>(der_size), &pPKCS7)
                : KELU_ERR_FAILED;
  NodePtr tree(pPKCS7);
  if (KELU_OK != nResult || NULL == pPKCS7) {
    TraceStepFailed(site, "DecodeASN1MemoryEx", KELU_ERR_FAILED,
                    "KELU_OK != nResult || NULL == pPKCS7");
    return KELU_ERR_FAILED;
  }
  SignedDataNodes nodes;
  nResult = FindSignedDataNodes(*tree, &nodes);
  if (KELU_OK != nResult) return nResult;
  OwnedBytes content;
  if (content_output.wanted() && nodes.content != nullptr) {
    nResult = CopyContent(*nodes.content, &content);
    if (KELU_OK != nResult) return nResult;
  }
  SignedDataFields fields;
  nResult = ReadSignedDataFields(nodes, outputs, reading, &fields);
  if (KELU_OK != nResult) return nResult;
  if (sm2_signer) {
    nResult = CheckSM2Signer(nodes, fields.certificate);
    if (KELU_OK != nResult) return nResult;
  }
  HandOutFields(outputs, &fields);
  HandOut(content_output, &content.data, content.size);
  return KELU_OK;
}

// ParsePKCS7AttachedSignatureFile for site; with sm2_signer, as above.
int ParseSignedDataFile(const TraceSite &site, FILE *fpFile, const SignedDataOutputs &outputs,
                        long long *pllSourceDataOffset, int *pnSourceDataSize, bool sm2_signer) {
  int nResult = CheckArguments(
      site,
      NULL != fpFile && outputs.valid() && (NULL == pllSourceDataOffset) == (NULL == pnSourceDataSize),
      "NULL == fpFile || an output without its size pointer");
  if (KELU_OK != nResult) return nResult;
  FilePositionGuard position(fpFile);
  nResult = CheckArguments(site, position.valid(), "-1 == ftello(fpFile)");
  if (KELU_OK != nResult) return nResult;
  NodeEx *pPKCS7 = NULL;
  nResult = DecodeASN1FileEx(fpFile, &pPKCS7);
  NodePtr tree(pPKCS7);
  if (KELU_OK != nResult || NULL == pPKCS7) {
    TraceStepFailed(site, "DecodeASN1FileEx", KELU_ERR_FAILED,
                    "KELU_OK != nResult || NULL == pPKCS7");
    return KELU_ERR_FAILED;
  }
  SignedDataNodes nodes;
  nResult = FindSignedDataNodes(*tree, &nodes);
  if (KELU_OK != nResult) return nResult;
  if (nodes.content == nullptr) {
    return FormatFailure(site, "Check PKCS#7 signature attached source data");
  }
  uint64_t offset = 0;
  uint64_t length = 0;
  nResult = ContentRange(*nodes.content, &offset, &length);
  if (KELU_OK != nResult) return nResult;
  // Under the SM signedData type an OCTET STRING signature value is always an SM2Q1.
  SignedDataFields fields;
  nResult = ReadSignedDataFields(nodes, outputs,
                                 sm2_signer ? OctetStringSignature::kSM2
                                            : OctetStringSignature::kSM2Q1UnderSMType,
                                 &fields);
  if (KELU_OK != nResult) return nResult;
  if (sm2_signer) {
    nResult = CheckSM2Signer(nodes, fields.certificate);
    if (KELU_OK != nResult) return nResult;
  }
  HandOutFields(outputs, &fields);
  if (NULL != pllSourceDataOffset) {
    *pllSourceDataOffset = static_cast<long long>(offset);
    *pnSourceDataSize = static_cast<int>(length);
  }
  return KELU_OK;
}

// The certificate and the signature value, required of the SM2 verifiers' readings, and the
// signed attributes when asked for.
SignedDataOutputs SM2VerifierOutputs(unsigned char **ppbyCert, int *pnCertSize,
                                     unsigned char **ppbySignature, int *pnSignatureSize,
                                     unsigned char **ppbySignedAttrs, int *pnSignedAttrsSize) {
  return {{ppbyCert, pnCertSize}, {ppbySignature, pnSignatureSize},
          {ppbySignedAttrs, pnSignedAttrsSize}, {}, {}, {}};
}

}  // namespace

int ParsePKCS7Signature(const unsigned char *pbyPKCS7, int nPKCS7Size, unsigned char **ppbyCert,
                        int *pnCertSize, unsigned char **ppbySignature, int *pnSignatureSize,
                        unsigned char **ppbySourceData, int *pnSourceDataSize,
                        char **ppszDigestAlgOid, int *pnDigestAlgOidLength,
                        char **ppszDigestEncryptionAlgOid, int *pnDigestEncryptionAlgOidLength,
                        unsigned char **ppbySignedAttrs, int *pnSignedAttrsSize,
                        unsigned char **ppbyUnsignedAttrs, int *pnUnsignedAttrsSize,
                        int bDecodeSM2Q1) {
  const SignedDataOutputs outputs = {{ppbyCert, pnCertSize},
                                     {ppbySignature, pnSignatureSize},
                                     {ppbySignedAttrs, pnSignedAttrsSize},
                                     {ppbyUnsignedAttrs, pnUnsignedAttrsSize},
                                     {ppszDigestAlgOid, pnDigestAlgOidLength},
                                     {ppszDigestEncryptionAlgOid, pnDigestEncryptionAlgOidLength}};
  return ParseSignedDataInMemory(KELU_HERE, pbyPKCS7, nPKCS7Size, outputs,
                                 {ppbySourceData, pnSourceDataSize},
                                 bDecodeSM2Q1 != 0 ? OctetStringSignature::kSM2Q1UnderSMType
                                                   : OctetStringSignature::kAsIs,
                                 false);
}

int ParsePKCS7AttachedSignatureFile(FILE *fpFile, unsigned char **ppbyCert, int *pnCertSize,
                                    unsigned char **ppbySignature, int *pnSignatureSize,
                                    long long *pllSourceDataOffset, int *pnSourceDataSize,
                                    char **ppszDigestAlgOid, int *pnDigestAlgOidLength,
                                    char **ppszDigestEncryptionAlgOid,
                                    int *pnDigestEncryptionAlgOidLength,
                                    unsigned char **ppbySignedAttrs, int *pnSignedAttrsSize,
                                    unsigned char **ppbyUnsignedAttrs, int *pnUnsignedAttrsSize) {
  const SignedDataOutputs outputs = {{ppbyCert, pnCertSize},
                                     {ppbySignature, pnSignatureSize},
                                     {ppbySignedAttrs, pnSignedAttrsSize},
                                     {ppbyUnsignedAttrs, pnUnsignedAttrsSize},
                                     {ppszDigestAlgOid, pnDigestAlgOidLength},
                                     {ppszDigestEncryptionAlgOid, pnDigestEncryptionAlgOidLength}};
  return ParseSignedDataFile(KELU_HERE, fpFile, outputs, pllSourceDataOffset, pnSourceDataSize,
                             false);
}

int ParseSM2PKCS7Signature(const unsigned char *pbyPKCS7, int nPKCS7Size,
                           unsigned char **ppbyCert, int *pnCertSize,
                           unsigned char **ppbySignature, int *pnSignatureSize,
                           unsigned char **ppbySourceData, int *pnSourceDataSize,
                           unsigned char **ppbySignedAttrs, int *pnSignedAttrsSize) {
  int nResult = CheckArguments(KELU_HERE, NULL != ppbyCert && NULL != ppbySignature,
                               "NULL == ppbyCert || NULL == ppbySignature");
  if (KELU_OK != nResult) return nResult;
  return ParseSignedDataInMemory(KELU_HERE, pbyPKCS7, nPKCS7Size,
                                 SM2VerifierOutputs(ppbyCert, pnCertSize, ppbySignature,
                                                    pnSignatureSize, ppbySignedAttrs,
                                                    pnSignedAttrsSize),
                                 {ppbySourceData, pnSourceDataSize}, OctetStringSignature::kSM2,
                                 true);
}

int ParseSM2PKCS7AttachedSignatureFile(FILE *fpFile, unsigned char **ppbyCert, int *pnCertSize,
                                       unsigned char **ppbySignature, int *pnSignatureSize,
                                       long long *pllSourceDataOffset, int *pnSourceDataSize,
                                       unsigned char **ppbySignedAttrs, int *pnSignedAttrsSize) {
  int nResult = CheckArguments(KELU_HERE, NULL != ppbyCert && NULL != ppbySignature,
                               "NULL == ppbyCert || NULL == ppbySignature");
  if (KELU_OK != nResult) return nResult;
  return ParseSignedDataFile(KELU_HERE, fpFile,
                             SM2VerifierOutputs(ppbyCert, pnCertSize, ppbySignature,
                                                pnSignatureSize, ppbySignedAttrs,
                                                pnSignedAttrsSize),
                             pllSourceDataOffset, pnSourceDataSize, true);
}

SM2SignatureForm SM2SignatureFormOfSize(uint64_t nSize) {
  if (nSize == SM2_RAW_RS_SIZE) return SM2SignatureForm::kRawRS;
  if (nSize >= kMinSM2Q1Size && nSize <= kMaxSM2Q1Size) return SM2SignatureForm::kSM2Q1;
  return SM2SignatureForm::kNone;
}

int Decode_SM2Q1(const unsigned char *pbySM2Q1, int nSM2Q1Size, unsigned char **ppbyRawRS,
                 int *pnRawRSSize) {
  int nResult = CheckArguments(KELU_HERE, NULL != ppbyRawRS && NULL != pnRawRSSize,
                               "NULL == ppbyRawRS || NULL == pnRawRSSize");
  if (KELU_OK != nResult) return nResult;
  // The largest: 30 46 and two INTEGERs of a sign octet and 32 value octets.
  if (NULL == pbySM2Q1 || nSM2Q1Size < 8 || nSM2Q1Size > 72) {
    TraceStepFailed(KELU_HERE, "Invalid SM2 Q1 signature size.", KELU_ERR_FAILED, "true");
    return KELU_ERR_FAILED;
  }
  NodeEx *pNodeSM2Q1 = NULL;
  nResult = DecodeASN1MemoryEx(pbySM2Q1, static_cast<unsigned long>(nSM2Q1Size), &pNodeSM2Q1);
  NodePtr tree(pNodeSM2Q1);
  if (KELU_OK != nResult || NULL == pNodeSM2Q1) {
    TraceStepFailed(KELU_HERE, "DecodeASN1MemoryEx", KELU_ERR_FAILED,
                    "KELU_OK != nResult || NULL == pNodeSM2Q1");
    return KELU_ERR_FAILED;
  }
  if (tree->Tag != ASN1_TAG_C_SEQUENCE || tree->TotalLength != static_cast<uint64_t>(nSM2Q1Size) ||
      Count(tree.get()) != 2) {
    TraceStepFailed(KELU_HERE, "Invalid SM2 Q1 signature nodes number.", KELU_ERR_FAILED, "true");
    return KELU_ERR_FAILED;
  }
  BytesPtr rs(new (std::nothrow) unsigned char[SM2_RAW_RS_SIZE]());
  if (!rs) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbySM2RawSignatureRS");
    return KELU_ERR_FAILED;
  }
  if (!kelu::asn1::ReadIntegerPair(*tree->vetNodes[0], *tree->vetNodes[1], kMaxRSOctets,
                                   rs.get())) {
    TraceStepFailed(KELU_HERE, "Check SM2 Q1 INTEGERs", KELU_ERR_FAILED,
                    "r or s is no INTEGER of at most 32 value octets");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "Decode_SM2Q1");
  *ppbyRawRS = rs.release();
  *pnRawRSSize = SM2_RAW_RS_SIZE;
  return KELU_OK;
}

int ParseSignedUnsignedAttributes(const unsigned char *pbyAttributes, int nAttributesSize,
                                  const char *pszAttrTypeOid, unsigned char **ppbyAttrValue,
                                  int *pnAttrValueSize) {
  NodeEx *pNodeAttributes = NULL;
  int nResult = nAttributesSize > 0
                    ? DecodeASN1MemoryEx(pbyAttributes, static_cast<unsigned long>(nAttributesSize),
                                         &pNodeAttributes)
                    : KELU_ERR_FAILED;
  NodePtr tree(pNodeAttributes);
  if (KELU_OK != nResult || NULL == pNodeAttributes) {
    TraceStepFailed(KELU_HERE, "DecodeASN1MemoryEx", KELU_ERR_PARSE, "KELU_OK != nResult");
    return KELU_ERR_PARSE;
  }
  if (Count(tree.get()) < 1) {
    TraceStepFailed(KELU_HERE, "Check child nodes number", KELU_ERR_PARSE,
                    "pNodeAttributes->vetNodes.size() < 1");
    return KELU_ERR_PARSE;
  }
  unsigned char *pbyOid = NULL;
  int nOidSize = 0;
  nResult = Encode_ObjectIdentifier(pszAttrTypeOid, &pbyOid, &nOidSize, false);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "Encode_ObjectIdentifier")) return nResult;
  BytesPtr oid(pbyOid);
  const NodeEx *match = nullptr;
  for (const NodeEx *attribute : tree->vetNodes) {
    if (Count(attribute) != 2 || attribute->Tag != ASN1_TAG_C_SEQUENCE) {
      TraceStepFailed(KELU_HERE, "Check attribute node", KELU_ERR_PARSE,
                      "(pNodeCursor->vetNodes.size() != 2 || pNodeCursor->Tag != "
                      "ASN1_TAG_C_SEQUENCE)");
      return KELU_ERR_PARSE;
    }
    const NodeEx *type = attribute->vetNodes[0];
    if (Count(type) != 0 || type->Tag != ASN1_TAG_P_OBJECT_IDENTIFIER) {
      TraceStepFailed(KELU_HERE, "Check attrType node", KELU_ERR_PARSE,
                      "(pNodeCursor->vetNodes.size() != 0 || pNodeCursor->Tag != "
                      "ASN1_TAG_P_OBJECT_IDENTIFIER)");
      return KELU_ERR_PARSE;
    }
    if (kelu::asn1::OidNodeEquals(*type, oid.get(), static_cast<size_t>(nOidSize))) {
      match = attribute->vetNodes[1];
      break;
    }
  }
  if (match == nullptr) {
    TraceStepFailed(KELU_HERE, "Have found the target attribute?", KELU_ERR_PARSE,
                    "!bFoundAttribute");
    return KELU_ERR_PARSE;
  }
  TraceStepOK(KELU_HERE, "Have found the target attribute?");
  if (Count(match) < 1 || match->Tag != ASN1_TAG_C_SET_OF) {
    TraceStepFailed(KELU_HERE, "Check attrValues node", KELU_ERR_PARSE,
                    "(pNodeCursor->vetNodes.size() < 1 || pNodeCursor->Tag != ASN1_TAG_C_SET_OF)");
    return KELU_ERR_PARSE;
  }
  if (NULL == ppbyAttrValue || NULL == pnAttrValueSize) return KELU_OK;
  OwnedBytes value;
  nResult = kelu::asn1::CopyValue(KELU_HERE, *match, false, "!pbyAttributeValue", &value);
  if (KELU_OK != nResult) return nResult;
  *ppbyAttrValue = value.data.release();
  *pnAttrValueSize = static_cast<int>(value.size);
  return KELU_OK;
}

// ---------------------------------------------------------------------------------------------
// The crypto library's reading of a SignedData.

namespace {

using Pkcs7Ptr = std::unique_ptr<PKCS7, kelu::Deleter<PKCS7_free>>;

// The library knows no SM signedData type and keeps its content as an opaque value: that value
// is read as the SignedData it is.
PKCS7 *AsSignedData(Pkcs7Ptr *pkcs7) {
  PKCS7 *p7 = pkcs7->get();
  if (PKCS7_type_is_signed(p7)) return p7;
  const unsigned char *oid = NULL;
  if (p7->type == NULL || OBJ_length(p7->type) != sizeof kSMSignedDataOid ||
      (oid = OBJ_get0_data(p7->type)) == NULL ||
      std::memcmp(oid, kSMSignedDataOid, sizeof kSMSignedDataOid) != 0 || p7->d.other == NULL ||
      p7->d.other->type != V_ASN1_SEQUENCE) {
    return NULL;
  }
  const ASN1_STRING *value = p7->d.other->value.sequence;
  const unsigned char *cursor = ASN1_STRING_get0_data(value);
  PKCS7_SIGNED *signed_data = d2i_PKCS7_SIGNED(NULL, &cursor, ASN1_STRING_length(value));
  Pkcs7Ptr wrapper(PKCS7_new());
  if (signed_data == NULL || !wrapper || !PKCS7_set_type(wrapper.get(), NID_pkcs7_signed)) {
    PKCS7_SIGNED_free(signed_data);
    return NULL;
  }
  PKCS7_SIGNED_free(wrapper->d.sign);
  wrapper->d.sign = signed_data;
  *pkcs7 = std::move(wrapper);
  return pkcs7->get();
}

int CopyString(const ASN1_STRING *string, const char *reason, OwnedBytes *out) {
  if (string == NULL) return KELU_OK;
  size_t size = static_cast<size_t>(ASN1_STRING_length(string));
  out->data.reset(new (std::nothrow) unsigned char[size + 1]());
  if (!out->data) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, reason);
    return KELU_ERR_FAILED;
  }
  if (size != 0) std::memcpy(out->data.get(), ASN1_STRING_get0_data(string), size);
  out->size = size;
  return KELU_OK;
}

// The data content of the inner contentInfo, when there is one.
const ASN1_OCTET_STRING *InnerData(PKCS7 *p7) {
  PKCS7 *contents = p7->d.sign->contents;
  if (contents == NULL) return NULL;
  if (PKCS7_type_is_data(contents)) return contents->d.data;
  if (PKCS7_type_is_other(contents) && contents->d.other != NULL &&
      contents->d.other->type == V_ASN1_OCTET_STRING) {
    return contents->d.other->value.octet_string;
  }
  return NULL;
}

}  // namespace

int DecodeRSAPKCS7Signature(const unsigned char *pbyPKCS7, int nPKCS7Size, X509 **ppX509Cert,
                            int *pnDigestNID, unsigned char **ppbyEncryptedDigest,
                            int *pnEncryptedDigestSize, unsigned char **ppbySourceData,
                            int *pnSourceDataSize) {
  const Output<unsigned char> digest_output = {ppbyEncryptedDigest, pnEncryptedDigestSize};
  const Output<unsigned char> content_output = {ppbySourceData, pnSourceDataSize};
  int nResult = CheckArguments(KELU_HERE, NULL != pbyPKCS7 && nPKCS7Size > 0 &&
                                              digest_output.valid() && content_output.valid(),
                               "NULL == pbyPKCS7 || nPKCS7Size <= 0 || an output without its size");
  if (KELU_OK != nResult) return nResult;
  const unsigned char *cursor = pbyPKCS7;
  Pkcs7Ptr pkcs7(d2i_PKCS7(NULL, &cursor, nPKCS7Size));
  if (!pkcs7) {
    TraceStepFailedOpenssl(KELU_HERE, "d2i_PKCS7", KELU_ERR_PKCS7_FORMAT, "NULL == pPKCS7");
    return KELU_ERR_PKCS7_FORMAT;
  }
  PKCS7 *p7 = AsSignedData(&pkcs7);
  if (p7 == NULL || p7->d.sign == NULL) {
    TraceStepFailed(KELU_HERE, "PKCS7_type_is_signed", KELU_ERR_PKCS7_FORMAT,
                    "!PKCS7_type_is_signed(pPKCS7)");
    return KELU_ERR_PKCS7_FORMAT;
  }
  STACK_OF(PKCS7_SIGNER_INFO) *pskSignerInfo = PKCS7_get_signer_info(p7);
  if (NULL == pskSignerInfo) {
    TraceStepFailedOpenssl(KELU_HERE, "PKCS7_get_signer_info", KELU_ERR_PKCS7_FORMAT,
                           "NULL == pskSignerInfo");
    return KELU_ERR_PKCS7_FORMAT;
  }
  PKCS7_SIGNER_INFO *pSignerInfo = sk_PKCS7_SIGNER_INFO_value(pskSignerInfo, 0);
  if (NULL == pSignerInfo) {
    TraceStepFailedOpenssl(KELU_HERE, "sk_PKCS7_SIGNER_INFO_value", KELU_ERR_PKCS7_FORMAT,
                           "NULL == pSignerInfo");
    return KELU_ERR_PKCS7_FORMAT;
  }
  X509 *pX509Cert = PKCS7_cert_from_signer_info(p7, pSignerInfo);
  if (NULL == pX509Cert) {
    TraceStepFailedOpenssl(KELU_HERE, "PKCS7_cert_from_signer_info", KELU_ERR_PKCS7_FORMAT,
                           "NULL == pX509Cert");
    return KELU_ERR_PKCS7_FORMAT;
  }
  const int nDigestAlgNID = pSignerInfo->digest_alg != NULL
                                ? OBJ_obj2nid(pSignerInfo->digest_alg->algorithm)
                                : NID_undef;
  if (NID_undef == nDigestAlgNID) {
    TraceStepFailedOpenssl(KELU_HERE, "OBJ_obj2nid", KELU_ERR_PKCS7_FORMAT,
                           "NID_undef == nDigestAlgNID");
    return KELU_ERR_PKCS7_FORMAT;
  }
  OwnedBytes encrypted_digest, content;
  if (digest_output.wanted()) {
    nResult = CopyString(pSignerInfo->enc_digest, "!pbyEncryptedDigest", &encrypted_digest);
    if (KELU_OK != nResult) return nResult;
  }
  if (content_output.wanted()) {
    nResult = CopyString(InnerData(p7), "!pbySourceData", &content);
    if (KELU_OK != nResult) return nResult;
  }
  kelu::X509Ptr certificate;
  if (NULL != ppX509Cert) {
    certificate.reset(X509_dup(pX509Cert));
    if (!certificate) {
      TraceStepFailedOpenssl(KELU_HERE, "X509_dup", KELU_ERR_PKCS7_FORMAT, "NULL == *ppX509Cert");
      return KELU_ERR_PKCS7_FORMAT;
    }
    *ppX509Cert = certificate.release();
  }
  if (NULL != pnDigestNID) *pnDigestNID = kelu::ToToolkitNid(nDigestAlgNID);
  HandOut(digest_output, &encrypted_digest.data, encrypted_digest.size);
  HandOut(content_output, &content.data, content.size);
  return KELU_OK;
}

// ---------------------------------------------------------------------------------------------
// The encoder.

int Encode_PKCS7Signature(const unsigned char *pbyCert, int nCertSize,
                          const unsigned char *pbySourceData, int nSourceDataSize,
                          FILE *fpSourceFile, bool bAttached, const char *pszContentInfoOid,
                          const char *pszSignedDataContentInfoOid, const char *pszDigestAlgOid,
                          NodeEx *pSignedAttributes, const char *pszDigestEncryptionAlgOid,
                          const unsigned char *pbySignature, int nSignatureSize,
                          unsigned long fSignatureEncodedType, NodeEx *pUnsignedAttributes,
                          unsigned char **ppbyPKCS7, int *pnPKCS7Size, FILE *fpOutFile,
                          int *pnOutFileSize) {
  // The attribute nodes are the encoder's on every path.
  NodePtr signed_attributes(pSignedAttributes), unsigned_attributes(pUnsignedAttributes);
  int nResult = CheckArguments(
      KELU_HERE,
      NULL != pbyCert && nCertSize > 0 && (NULL == ppbyPKCS7 || NULL != pnPKCS7Size),
      "NULL == pbyCert || nCertSize <= 0 || NULL == pnPKCS7Size with ppbyPKCS7");
  if (KELU_OK != nResult) return nResult;
  unsigned char *pbyIssuer = NULL, *pbySerialNumber = NULL;
  int nIssuerSize = 0, nSerialNumberSize = 0;
  nResult = kelu::GetIssuerFromCert(pbyCert, nCertSize, &pbyIssuer, &nIssuerSize);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "GetIssuerFromCert")) return nResult;
  BytesPtr issuer(pbyIssuer);
  nResult = kelu::GetSerialNumberFromCert(pbyCert, nCertSize, &pbySerialNumber,
                                          &nSerialNumberSize);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "GetSerialNumberFromCert")) return nResult;
  BytesPtr serial(pbySerialNumber);

  NodePtr ias, signer, signer_set, signed_data, root;
  NodeEx *node = NULL;
  nResult = Keep(ConstructNode_IssuerAndSerialNumber(issuer.get(), nIssuerSize, serial.get(),
                                                     nSerialNumberSize, &node),
                 node, &ias);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_IssuerAndSerialNumber")) {
    return nResult;
  }
  nResult = Keep(ConstructNode_SignerInfo(1, ias.get(), pszDigestAlgOid, signed_attributes.get(),
                                          pszDigestEncryptionAlgOid, pbySignature, nSignatureSize,
                                          fSignatureEncodedType, unsigned_attributes.get(), &node),
                 node, &signer);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_SignerInfo")) return nResult;
  ias.release();
  signed_attributes.release();
  unsigned_attributes.release();
  nResult = Keep(kelu::asn1::NewConstructed(KELU_HERE, ASN1_TAG_C_SET_OF, "SignerInfoSet", &node),
                 node, &signer_set);
  if (KELU_OK != nResult) return nResult;
  signer_set->AddChild(signer.release());
  nResult = Keep(ConstructNode_SignedData(1, pszDigestAlgOid, pszSignedDataContentInfoOid,
                                          pbySourceData, nSourceDataSize, fpSourceFile, bAttached,
                                          pbyCert, nCertSize, signer_set.get(), &node),
                 node, &signed_data);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_SignedData")) return nResult;
  signer_set.release();
  nResult = Keep(ConstructNode_ContentInfo(pszContentInfoOid, signed_data.get(), &node), node,
                 &root);
  if (KELU_OK != NamedStep(KELU_HERE, nResult, "ConstructNode_ContentInfo")) return nResult;
  signed_data.release();

  int nDeepLevel = 0;
  if (NULL != ppbyPKCS7) {
    unsigned char *pbyEncoded = NULL;
    int nEncodedSize = 0;
    nResult = EncodeASN1ToMemory(root.get(), &pbyEncoded, &nEncodedSize, &nDeepLevel);
    if (KELU_OK != NamedStep(KELU_HERE, nResult, "EncodeASN1ToMemory")) {
      delete[] pbyEncoded;
      return nResult;
    }
    *ppbyPKCS7 = pbyEncoded;
    *pnPKCS7Size = nEncodedSize;
  } else if (NULL != fpOutFile) {
    int nWritten = 0;
    nResult = EncodeASN1ToFile(root.get(), fpOutFile, &nWritten, &nDeepLevel);
    if (KELU_OK != NamedStep(KELU_HERE, nResult, "EncodeASN1ToFile")) return nResult;
    if (NULL != pnOutFileSize) *pnOutFileSize = nWritten;
  }
  return KELU_OK;
}
