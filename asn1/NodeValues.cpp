#include "NodeValues.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <sys/types.h>

#include <climits>
#include <cstring>
#include <new>

#include "CMSEnvelopeOperations.h"
#include "KeluErrors.h"
#include "KeluLimits.h"

namespace kelu::asn1 {

namespace {

struct ObjectFree {
  void operator()(ASN1_OBJECT *object) const { ASN1_OBJECT_free(object); }
};
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, ObjectFree>;

// OBJECT IDENTIFIER content longer than this is no identifier any peer uses.
constexpr uint64_t kMaxOidContent = 1024;

bool ReadFileRange(FILE *file, uint64_t start, uint64_t length, unsigned char *out) {
  if (start > static_cast<uint64_t>(INT64_MAX)) return false;
  if (fseeko(file, static_cast<off_t>(start), SEEK_SET) != 0) return false;
  while (length > 0) {
    size_t n = length < BLOCK_SIZE ? static_cast<size_t>(length) : BLOCK_SIZE;
    if (std::fread(out, 1, n, file) != n) return false;
    out += n;
    length -= n;
  }
  return true;
}

bool IsFileNode(const NodeEx &node) { return node.pbySource == nullptr && node.fpFile != nullptr; }

// The sum of the segment lengths, or false when it passes limit.
bool SegmentsSize(const NodeEx &node, uint64_t limit, uint64_t *total) {
  if (!IsConstructed(node)) {
    if (node.ValueLength > limit - *total) return false;
    *total += node.ValueLength;
    return true;
  }
  for (const NodeEx *segment : node.vetNodes) {
    if (!SegmentsSize(*segment, limit, total)) return false;
  }
  return true;
}

bool ReadSegments(const NodeEx &node, unsigned char *out, uint64_t *written) {
  if (!IsConstructed(node)) {
    if (!ReadSourceRange(node, node.ValueStartPosition, node.ValueLength, out + *written)) {
      return false;
    }
    *written += node.ValueLength;
    return true;
  }
  for (const NodeEx *segment : node.vetNodes) {
    if (!ReadSegments(*segment, out, written)) return false;
  }
  return true;
}

// The largest value a copy may have: what an int length can hand out, and for a file what
// a field may reasonably take in memory.
uint64_t CopyLimit(const NodeEx &node, bool nul_terminated) {
  uint64_t limit = static_cast<uint64_t>(INT_MAX) - (nul_terminated ? 1 : 0);
  return IsFileNode(node) && limit > kMaxFileFieldSize ? kMaxFileFieldSize : limit;
}

int AllocateCopy(const TraceSite &site, uint64_t size, bool nul_terminated, const char *reason,
                 OwnedBytes *out) {
  size_t count = static_cast<size_t>(size) + (nul_terminated ? 1 : 0);
  out->data.reset(new (std::nothrow) unsigned char[count == 0 ? 1 : count]());
  if (!out->data) {
    TraceStepFailed(site, "New memory", KELU_ERR_FAILED, reason);
    return KELU_ERR_FAILED;
  }
  out->size = static_cast<size_t>(size);
  return KELU_OK;
}

int CopyRange(const TraceSite &site, const NodeEx &node, uint64_t start, uint64_t length,
              bool nul_terminated, const char *reason, OwnedBytes *out) {
  if (length > CopyLimit(node, nul_terminated)) {
    TraceStepFailed(site, "Check ASN.1 value size", KELU_ERR_FAILED, "ValueLength too large");
    return KELU_ERR_FAILED;
  }
  OwnedBytes copy;
  int nResult = AllocateCopy(site, length, nul_terminated, reason, &copy);
  if (KELU_OK != nResult) return nResult;
  if (!ReadSourceRange(node, start, length, copy.data.get())) {
    TraceStepFailed(site, "Read ASN.1 value", KELU_ERR_FAILED, "range outside the source");
    return KELU_ERR_FAILED;
  }
  *out = std::move(copy);
  return KELU_OK;
}

}  // namespace

uint64_t HeaderStart(const NodeEx &node) {
  return node.ValueStartPosition - node.LengthOctetsSize - 1;
}

bool ReadSourceRange(const NodeEx &node, uint64_t start, uint64_t length, unsigned char *out) {
  // FileLength is the size of the decoded source (an exclusive end).
  if (start > node.FileLength || length > node.FileLength - start) return false;
  if (length == 0) return true;
  if (node.pbySource != nullptr) {
    std::memcpy(out, node.pbySource + start, static_cast<size_t>(length));
    return true;
  }
  return node.fpFile != nullptr && ReadFileRange(node.fpFile, start, length, out);
}

int CopyValue(const TraceSite &site, const NodeEx &node, bool nul_terminated, const char *reason,
              OwnedBytes *out) {
  return CopyRange(site, node, node.ValueStartPosition, node.ValueLength, nul_terminated, reason,
                   out);
}

int CopyElement(const TraceSite &site, const NodeEx &node, const char *reason, OwnedBytes *out) {
  return CopyRange(site, node, HeaderStart(node), node.TotalLength, false, reason, out);
}

bool IsOctetStringSegments(const NodeEx &node) {
  for (const NodeEx *segment : node.vetNodes) {
    if (segment->Tag == 0x04 && segment->vetNodes.empty()) continue;
    if (segment->Tag == 0x24 && IsOctetStringSegments(*segment)) continue;
    return false;
  }
  return true;
}

int CopyOctetStringContent(const TraceSite &site, const NodeEx &node, bool nul_terminated,
                           const char *reason, OwnedBytes *out) {
  if (!IsConstructed(node)) return CopyValue(site, node, nul_terminated, reason, out);
  uint64_t total = 0;
  if (!SegmentsSize(node, CopyLimit(node, nul_terminated), &total)) {
    TraceStepFailed(site, "Check ASN.1 value size", KELU_ERR_FAILED, "ValueLength too large");
    return KELU_ERR_FAILED;
  }
  OwnedBytes copy;
  int nResult = AllocateCopy(site, total, nul_terminated, reason, &copy);
  if (KELU_OK != nResult) return nResult;
  uint64_t written = 0;
  if (!ReadSegments(node, copy.data.get(), &written)) {
    TraceStepFailed(site, "Read ASN.1 value", KELU_ERR_FAILED, "range outside the source");
    return KELU_ERR_FAILED;
  }
  *out = std::move(copy);
  return KELU_OK;
}

int OidTextFromNode(const TraceSite &site, const NodeEx &node, const OidSteps &steps,
                    char **ppszText, int *pnLength) {
  // The TLV is rebuilt from the content octets in the short DER form d2i_ASN1_OBJECT reads.
  unsigned char tlv[4 + kMaxOidContent];
  bool is_oid = node.Tag == ASN1_TAG_P_OBJECT_IDENTIFIER && node.vetNodes.empty() &&
                node.ValueLength > 0 && node.ValueLength <= kMaxOidContent;
  // 128 to 1024 octets take the length octets 82 hh ll.
  size_t header = node.ValueLength < 128 ? 2 : 4;
  if (is_oid) {
    tlv[0] = ASN1_TAG_P_OBJECT_IDENTIFIER;
    if (header == 2) {
      tlv[1] = static_cast<unsigned char>(node.ValueLength);
    } else {
      tlv[1] = 0x82;
      tlv[2] = static_cast<unsigned char>(node.ValueLength >> 8);
      tlv[3] = static_cast<unsigned char>(node.ValueLength);
    }
    is_oid = ReadSourceRange(node, node.ValueStartPosition, node.ValueLength, tlv + header);
  }
  const unsigned char *cursor = tlv;
  ObjectPtr object(is_oid ? d2i_ASN1_OBJECT(nullptr, &cursor,
                                            static_cast<long>(header + node.ValueLength))
                          : nullptr);
  if (!object) {
    TraceStepFailedOpenssl(site, steps.d2i_step, KELU_ERR_FAILED, steps.d2i_reason);
    return KELU_ERR_FAILED;
  }
  int nLength = OBJ_obj2txt(nullptr, 0, object.get(), 1);
  if (nLength <= 0) {
    TraceStepFailedOpenssl(site, steps.length_step, KELU_ERR_FAILED, steps.text_reason);
    return KELU_ERR_FAILED;
  }
  std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(nLength) + 1]());
  if (!text) {
    TraceStepFailed(site, "New memory", KELU_ERR_FAILED, "!pszOid");
    return KELU_ERR_FAILED;
  }
  if (OBJ_obj2txt(text.get(), nLength + 1, object.get(), 1) != nLength) {
    TraceStepFailedOpenssl(site, steps.text_step, KELU_ERR_FAILED, steps.text_reason);
    return KELU_ERR_FAILED;
  }
  TraceStepOK(site, steps.text_step);
  *ppszText = text.release();
  *pnLength = nLength;
  return KELU_OK;
}

int ReadOidText(const TraceSite &site, const NodeEx &node, const OidSteps &steps, OidText *out) {
  char *text = nullptr;
  int nResult = OidTextFromNode(site, node, steps, &text, &out->length);
  out->text.reset(text);
  return nResult;
}

bool SameSourceBytes(const NodeEx &a, uint64_t a_start, const NodeEx &b, uint64_t b_start,
                     uint64_t length) {
  unsigned char a_piece[256];
  unsigned char b_piece[256];
  while (length > 0) {
    uint64_t n = length < sizeof a_piece ? length : sizeof a_piece;
    if (!ReadSourceRange(a, a_start, n, a_piece) || !ReadSourceRange(b, b_start, n, b_piece) ||
        std::memcmp(a_piece, b_piece, static_cast<size_t>(n)) != 0) {
      return false;
    }
    a_start += n;
    b_start += n;
    length -= n;
  }
  return true;
}

bool OidNodeEquals(const NodeEx &node, const unsigned char *der, size_t der_length) {
  unsigned char content[64];
  if (node.Tag != ASN1_TAG_P_OBJECT_IDENTIFIER || !node.vetNodes.empty() ||
      node.ValueLength != der_length || der_length > sizeof content) {
    return false;
  }
  return ReadSourceRange(node, node.ValueStartPosition, der_length, content) &&
         std::memcmp(content, der, der_length) == 0;
}

bool IsObjectIdentifierContent(const unsigned char *content, uint64_t length) {
  if (length == 0 || length > kMaxOidContent) return false;
  bool arc_starts = true;
  for (uint64_t i = 0; i < length; ++i) {
    if (arc_starts && content[i] == 0x80) return false;
    arc_starts = (content[i] & 0x80) == 0;
  }
  return arc_starts;
}

int MinimalUnsignedIntegerContent(const unsigned char *value, size_t length, OwnedBytes *out) {
  size_t skip = 0;
  while (length - skip > 1 && value[skip] == 0) ++skip;
  size_t significant = length - skip;
  bool sign_octet = significant == 0 || (value[skip] & 0x80) != 0;
  size_t size = significant + (sign_octet ? 1 : 0);
  BytesPtr content(new (std::nothrow) unsigned char[size]());
  if (!content) return KELU_ERR_FAILED;
  if (significant != 0) std::memcpy(content.get() + (sign_octet ? 1 : 0), value + skip, significant);
  out->data = std::move(content);
  out->size = size;
  return KELU_OK;
}

int NewLeaf(const TraceSite &site, uint8_t tag, OwnedBytes bytes, const char *node_name,
            NodeEx **ppNode) {
  char step[128];
  std::snprintf(step, sizeof step, "new NodeEx(%s)", node_name);
  NodeEx *node = new (std::nothrow) NodeEx;
  if (node == nullptr) {
    TraceStepFailed(site, step, KELU_ERR_FAILED, "NULL == pNode");
    return KELU_ERR_FAILED;
  }
  node->Tag = tag;
  node->ValueLength = bytes.size;
  node->CurrentValueLength = bytes.size;
  // An empty value is held as no value at all.
  node->pValue = bytes.size != 0 ? bytes.data.release() : nullptr;
  TraceStepOK(site, step);
  *ppNode = node;
  return KELU_OK;
}

int NewLeafCopy(const TraceSite &site, uint8_t tag, const unsigned char *bytes, size_t count,
                const char *node_name, const char *reason, NodeEx **ppNode) {
  OwnedBytes copy;
  if (count != 0) {
    copy.data.reset(new (std::nothrow) unsigned char[count]);
    if (!copy.data) {
      TraceStepFailed(site, "New memory", KELU_ERR_FAILED, reason);
      return KELU_ERR_FAILED;
    }
    std::memcpy(copy.data.get(), bytes, count);
    copy.size = count;
  }
  return NewLeaf(site, tag, std::move(copy), node_name, ppNode);
}

int NewUnsignedIntegerLeaf(const TraceSite &site, const unsigned char *value, size_t length,
                           const char *node_name, const char *reason, NodeEx **ppNode) {
  OwnedBytes content;
  if (KELU_OK != MinimalUnsignedIntegerContent(value, length, &content)) {
    TraceStepFailed(site, "New memory", KELU_ERR_FAILED, reason);
    return KELU_ERR_FAILED;
  }
  return NewLeaf(site, 0x02, std::move(content), node_name, ppNode);
}

int NewVersionLeaf(const TraceSite &site, int nVersion, NodeEx **ppNode) {
  const unsigned char octet = static_cast<unsigned char>(nVersion & 0xFF);
  return NewLeafCopy(site, 0x02, &octet, 1, "version", "!pNode_version->pValue", ppNode);
}

int NewAlgorithmLeaf(const TraceSite &site, const char *pszOid, const unsigned char *pbyParameters,
                     int nParametersSize, const char *node_name, const char *failed_step,
                     NodeEx **ppNode) {
  unsigned char *pbyContent = nullptr;
  int nContentSize = 0;
  int nResult = Encode_AlgorithmIdentifier(pszOid, pbyParameters, nParametersSize, &pbyContent,
                                           &nContentSize, false);
  if (KELU_OK != nResult) {
    TraceStepFailed(site, failed_step, nResult, "KELU_OK != nResult");
    return nResult;
  }
  return NewLeaf(site, ASN1_TAG_C_SEQUENCE,
                 {BytesPtr(pbyContent), static_cast<size_t>(nContentSize)}, node_name, ppNode);
}

int NewConstructed(const TraceSite &site, uint8_t tag, const char *node_name, NodeEx **ppNode) {
  return NewLeaf(site, tag, OwnedBytes{}, node_name, ppNode);
}

bool ReadUnsignedInteger(const NodeEx &node, size_t max_octets, unsigned char *out,
                         size_t width) {
  unsigned char content[64];
  if (node.Tag != 0x02 || !node.vetNodes.empty() || node.ValueLength == 0 ||
      node.ValueLength > max_octets || max_octets > sizeof content) {
    return false;
  }
  size_t length = static_cast<size_t>(node.ValueLength);
  if (!ReadSourceRange(node, node.ValueStartPosition, length, content)) return false;
  size_t skip = 0;
  while (skip < length && content[skip] == 0) ++skip;
  if (length - skip > width) return false;
  std::memset(out, 0, width);
  std::memcpy(out + width - (length - skip), content + skip, length - skip);
  return true;
}

bool ReadIntegerPair(const NodeEx &first, const NodeEx &second, size_t max_octets,
                     unsigned char out[64]) {
  return ReadUnsignedInteger(first, max_octets, out, 32) &&
         ReadUnsignedInteger(second, max_octets, out + 32, 32);
}

int CheckArguments(const TraceSite &site, bool passed, const char *reason) {
  if (passed) return KELU_OK;
  TraceStepFailed(site, "Check parameter", KELU_ERR_FAILED, reason);
  return KELU_ERR_FAILED;
}

int NamedStep(const TraceSite &site, int nResult, const char *step) {
  if (KELU_OK != nResult) {
    TraceStepFailed(site, step, nResult, "KELU_OK != nResult");
  } else {
    TraceStepOK(site, step);
  }
  return nResult;
}

}  // namespace kelu::asn1
