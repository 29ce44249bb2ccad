/* Values of decoded trees and of the message builders, shared by the message formats: bounded
 * copies of what a decoded node refers to (in memory or in a file), dotted text of an OBJECT
 * IDENTIFIER node, the INTEGERs of SM2 coordinates and signature values, and leaves that take
 * over their bytes. Failures are reported with the caller's site and step texts. */
#ifndef KELU_NODE_VALUES_H
#define KELU_NODE_VALUES_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>

#include "ASN1EngineEx.h"
#include "Misc.h"

namespace kelu::asn1 {

using BytesPtr = std::unique_ptr<unsigned char[]>;

// Bytes copied out of a source, with one spare zero byte after them when asked for.
struct OwnedBytes {
  BytesPtr data;
  size_t size = 0;
};

// True when the length bytes at a_start of a's source equal those at b_start of b's source.
bool SameSourceBytes(const NodeEx &a, uint64_t a_start, const NodeEx &b, uint64_t b_start,
                     uint64_t length);

// A value copied out of a file is at most this large (the small fields of a message: the
// content itself stays in the file).
constexpr uint64_t kMaxFileFieldSize = MAX_ASN1_DATA_MEMORY_SIZE;

// Offset of the node's identifier octet in its source.
uint64_t HeaderStart(const NodeEx &node);

// Copies length bytes at start of the node's source (its memory buffer, or its file in
// BLOCK_SIZE pieces) into out. False when the range is not inside the source or a read fails.
bool ReadSourceRange(const NodeEx &node, uint64_t start, uint64_t length, unsigned char *out);

// The node's value bytes; with nul_terminated, one zero byte follows them. -1 (with a Failed
// line "New memory" and reason for site) when memory runs out, -1 with "Read ASN.1 value"
// when the value cannot be read or is too large for its source.
int CopyValue(const TraceSite &site, const NodeEx &node, bool nul_terminated,
              const char *reason, OwnedBytes *out);
// The whole element (identifier, length octets and value: TotalLength bytes).
int CopyElement(const TraceSite &site, const NodeEx &node, const char *reason, OwnedBytes *out);

// True when every element of the node is an OCTET STRING segment: primitive (0x04), or
// constructed (0x24) of segments itself (the BER constructed form).
bool IsOctetStringSegments(const NodeEx &node);
// The bytes of an OCTET STRING in primitive or constructed form: the node's own value when it
// is primitive, else the values of its segments joined in order (check the segments with
// IsOctetStringSegments first).
int CopyOctetStringContent(const TraceSite &site, const NodeEx &node, bool nul_terminated,
                           const char *reason, OwnedBytes *out);

// Step texts of the conversion of one OBJECT IDENTIFIER node to dotted text.
struct OidSteps {
  const char *d2i_step;
  const char *d2i_reason;
  const char *length_step;
  const char *text_step;
  const char *text_reason;
};

// The dotted text (numeric form) of an OBJECT IDENTIFIER element, read from its content
// octets, so any length form of its header is read. An element that is no primitive OBJECT
// IDENTIFIER fails at d2i_step. New[] NUL-terminated text; the length excludes the NUL. 0 or -1.
int OidTextFromNode(const TraceSite &site, const NodeEx &node, const OidSteps &steps,
                    char **ppszText, int *pnLength);

// The same into an owner.
struct OidText {
  std::unique_ptr<char[]> text;
  int length = 0;
};
int ReadOidText(const TraceSite &site, const NodeEx &node, const OidSteps &steps, OidText *out);

// True when the element is a primitive OBJECT IDENTIFIER whose content octets are der.
bool OidNodeEquals(const NodeEx &node, const unsigned char *der, size_t der_length);
// True when the content octets are those of an OBJECT IDENTIFIER that any BER reader takes for
// one: 1 to 1024 octets, every arc in its fewest octets (none begins with 0x80) and the last
// octet ending an arc. A lax reader may take a padded arc for the plain one.
bool IsObjectIdentifierContent(const unsigned char *content, uint64_t length);

// The content of a minimal DER INTEGER for the unsigned big-endian value: leading zero bytes
// dropped (one kept for zero), one 0x00 in front when the top bit is then set. Peers (OpenSSL's
// SM2 verification, strict DER readers) refuse a leading zero that is not needed.
int MinimalUnsignedIntegerContent(const unsigned char *value, size_t length, OwnedBytes *out);

// A new childless leaf that takes over the bytes; the OK line "new NodeEx(<name>)" is written.
int NewLeaf(const TraceSite &site, uint8_t tag, OwnedBytes bytes, const char *node_name,
            NodeEx **ppNode);
// A new leaf holding a copy of count bytes (count 0 gives an empty value).
int NewLeafCopy(const TraceSite &site, uint8_t tag, const unsigned char *bytes, size_t count,
                const char *node_name, const char *reason, NodeEx **ppNode);
// A new INTEGER leaf of the minimal form of the unsigned value.
int NewUnsignedIntegerLeaf(const TraceSite &site, const unsigned char *value, size_t length,
                           const char *node_name, const char *reason, NodeEx **ppNode);
// A new INTEGER leaf "version" of one content octet, the low byte of nVersion.
int NewVersionLeaf(const TraceSite &site, int nVersion, NodeEx **ppNode);
// A new AlgorithmIdentifier leaf (0x30 holding the OID TLV and the parameter bytes); a failure
// of Encode_AlgorithmIdentifier is reported as failed_step.
int NewAlgorithmLeaf(const TraceSite &site, const char *pszOid, const unsigned char *pbyParameters,
                     int nParametersSize, const char *node_name, const char *failed_step,
                     NodeEx **ppNode);
// A new constructed node with nothing attached yet.
int NewConstructed(const TraceSite &site, uint8_t tag, const char *node_name, NodeEx **ppNode);

// The unsigned value of an INTEGER element right-aligned into out (width bytes, zeros in
// front). Accepted: a primitive INTEGER (0x02) of 1 to max_octets content octets whose value,
// its leading zero octets left out, fits width bytes; so the minimal form, the form padded
// with zeros and the 32-byte form without the sign octet all read the same.
bool ReadUnsignedInteger(const NodeEx &node, size_t max_octets, unsigned char *out, size_t width);

// Fills 2 * 32 bytes with two INTEGER elements (r then s, or x then y).
bool ReadIntegerPair(const NodeEx &first, const NodeEx &second, size_t max_octets,
                     unsigned char out[64]);

// ---------------------------------------------------------------------------------------------
// The shape the builders and parsers share.

using NodePtr = std::unique_ptr<NodeEx>;

inline bool IsConstructed(const NodeEx &node) { return (node.Tag & 0x20) != 0; }

// A count that may go with its pointer: not negative, and 0 when the pointer is null.
inline bool BytesArgument(const void *bytes, int count) {
  return count >= 0 && (bytes != nullptr || count == 0);
}

// The Failed line "Check parameter" with reason and -1 unless passed.
int CheckArguments(const TraceSite &site, bool passed, const char *reason);

// Takes over a node made by a builder, so that it is deleted on every path until attached.
// node is taken by reference: it is read only after the builder in the first argument ran.
inline int Keep(int nResult, NodeEx *const &node, NodePtr *holder) {
  if (nResult == 0) holder->reset(node);
  return nResult;
}

// Attaches the held nodes in order.
inline void AttachAll(NodeEx *parent, std::initializer_list<NodePtr *> children) {
  for (NodePtr *child : children) parent->AddChild(child->release());
}

// The OK line of a called routine, or its Failed line with "KELU_OK != nResult".
int NamedStep(const TraceSite &site, int nResult, const char *step);

// One requested output: both pointers given, or the first null to skip it.
template <class T>
struct Output {
  T **data;
  int *size;
  bool wanted() const { return data != nullptr; }
  bool valid() const { return data == nullptr || size != nullptr; }
};

// Hands a held buffer to a requested output (sizes are within int, see CopyValue).
template <class T, class Owner>
void HandOut(const Output<T> &output, Owner *data, size_t size) {
  if (!output.wanted()) return;
  *output.data = data->release();
  *output.size = static_cast<int>(size);
}

// Puts a file back where it was on every path.
class FilePositionGuard {
 public:
  explicit FilePositionGuard(FILE *file) : file_(file), position_(ftello(file)) {}
  ~FilePositionGuard() {
    if (position_ >= 0) fseeko(file_, position_, SEEK_SET);
  }
  FilePositionGuard(const FilePositionGuard &) = delete;
  FilePositionGuard &operator=(const FilePositionGuard &) = delete;
  bool valid() const { return position_ >= 0; }

 private:
  FILE *file_;
  off_t position_;
};

}  // namespace kelu::asn1

#endif
