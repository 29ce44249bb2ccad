#include "SMFileCertOperations.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "CMSEnvelopeOperations.h"
#include "KeluErrors.h"
#include "Misc.h"

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
