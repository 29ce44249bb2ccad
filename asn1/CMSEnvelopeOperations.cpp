#include "CMSEnvelopeOperations.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "KeluErrors.h"
#include "Misc.h"
#include "NationalObjects.h"

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

// Hands out a new childless leaf that takes over content; the step names the new node.
int HandOutLeaf(const TraceSite &site, uint8_t tag, unsigned char *content, int size,
                const char *step, NodeEx **ppNode) {
  BytesPtr owned(content);
  NodeEx *node = new (std::nothrow) NodeEx;
  if (node == nullptr) {
    TraceStepFailed(site, step, KELU_ERR_FAILED, "NULL == pNode");
    return KELU_ERR_FAILED;
  }
  node->Tag = tag;
  node->ValueLength = static_cast<uint64_t>(size);
  node->CurrentValueLength = static_cast<uint64_t>(size);
  node->pValue = owned.release();
  TraceStepOK(site, step);
  *ppNode = node;
  return KELU_OK;
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
  return HandOutLeaf(KELU_HERE, ASN1_TAG_P_OBJECT_IDENTIFIER, pbyContent, nContentSize,
                     "new NodeEx(pNode_contentType)", ppNode);
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
  return HandOutLeaf(KELU_HERE, ASN1_TAG_C_SEQUENCE, pbyContent, nContentSize,
                     "new NodeEx(pNode_contentEncryptionAlgorithm)", ppNode);
}
