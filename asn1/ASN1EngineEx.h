/* The ASN.1 node engine: NodeEx trees built bottom-up and encoded as DER into memory or onto a
 * FILE, and the BER/DER decoder that builds trees referring to their source without copying. */
#ifndef KELU_ASN1_ENGINE_EX_H
#define KELU_ASN1_ENGINE_EX_H

#include <cstdint>
#include <cstdio>
#include <vector>

#define ASN1_TAG_P_OBJECT_IDENTIFIER 0x06
#define ASN1_TAG_C_SEQUENCE 0x30
#define ASN1_TAG_C_SET_OF 0x31

// The largest encoding EncodeASN1ToMemory makes; exactly this size is allowed.
#define MAX_ASN1_DATA_MEMORY_SIZE 0x3200000
// The deepest nesting the encoders accept when given a counter; the root is level 1.
#define MAX_RECURSIVE_DEEP_LEVEL 128
// The deepest nesting the decoder accepts; the root is level 1.
#define MAX_ASN1_DECODE_DEEP_LEVEL 127
// Nodes one decode may create, so that a source of tiny TLVs fails instead of eating memory.
#define MAX_ASN1_DECODE_NODES 1000000
// File-backed values are streamed onto a FILE in pieces of at most this many bytes.
#define ASN1_FILE_PIECE_SIZE 0x300000

// One TLV of a tree. A node owns pValue and its children: one delete of the root frees a tree.
//
// Built leaves take their value from pValue (CurrentValueLength bytes), from fpFile (ValueLength
// bytes at ValueStartPosition), or announce ValueLength bytes without holding them
// (header-only: CurrentValueLength 0, the caller appends the bytes after the encoding).
// Decoded nodes refer to pbySource or fpFile by ValueStartPosition and ValueLength; their
// FileLength is the size of the source (an exclusive end) and CurrentValueLength is 0.
class NodeEx {
 public:
  NodeEx() = default;
  ~NodeEx();
  NodeEx(const NodeEx &) = delete;
  NodeEx &operator=(const NodeEx &) = delete;

  // Appends a finished child (null is ignored) and adds its encoded sizes to this node's
  // lengths. A child attached here belongs to this node and must not change any more.
  void AddChild(NodeEx *pChildNode);
  // 1 + length octets + ValueLength (or CurrentValueLength); -1 when it does not fit an int.
  int GetTotalRequiredSize() const;
  int GetCurrentRequiredLength() const;

  FILE *fpFile = nullptr;
  const unsigned char *pbySource = nullptr;
  uint64_t ValueStartPosition = 0;
  uint8_t Tag = 0;
  uint64_t LengthOctetsSize = 0;
  uint64_t ValueLength = 0;
  uint64_t CurrentValueLength = 0;
  unsigned char *pValue = nullptr;
  uint64_t TotalLength = 0;
  uint64_t FileLength = 0;
  uint16_t IsInfiniteLength = 0;
  NodeEx *pParentNode = nullptr;
  std::vector<NodeEx *> vetNodes;
};

// Number of DER length octets for nLength (1 to 9); with ppbyLengthOctets, also a new[] copy of
// them. -1 for a negative length or when the copy cannot be allocated.
int EncodeASN1Length(int64_t nLength, unsigned char **ppbyLengthOctets = nullptr);

// One TLV into a new[] buffer. 0 or -1.
int ASN1Encode(uint8_t byTag, const unsigned char *pbyValue, int nValueSize,
               unsigned char **ppbyEncodedData, int *pnEncodedDataSize);

// DER of the tree below pNode into one new[] buffer. *ppEncodedData must be null and
// *pnEncodedDataSize 0 on entry; on success they hold the buffer and its size, on failure null
// and 0. pnCurrentDeepLevel is optional (no depth limit without it) and is back at its value on
// return. 0, -1, KELU_ERR_ASN1_TOO_LARGE or KELU_ERR_ASN1_TOO_DEEP.
int EncodeASN1ToMemory(NodeEx *pNode, unsigned char **ppEncodedData, int *pnEncodedDataSize,
                       int *pnCurrentDeepLevel);

// The same bytes written at the current position of fpOutFile (flushed at the end); the count
// at *pnEncodedDataSize grows by the bytes written. 0, -1 or KELU_ERR_ASN1_TOO_DEEP.
int EncodeASN1ToFile(NodeEx *pNode, FILE *fpOutFile, int *pnEncodedDataSize,
                     int *pnCurrentDeepLevel);

// A copy of pExistingNode with its own value bytes; with bDeep its subtree too, each copy's
// pParentNode pointing at its copied parent. The top copy is a root (no parent). 0 or -1.
int DuplicateNodeEx(const NodeEx *pExistingNode, NodeEx **ppNewNode, bool bDeep);

// BER or DER from memory into a tree that refers to pbyData. On success *ppNode is the root (the
// caller deletes it, and keeps pbyData alive while it is used); on failure null. 0 or -1.
int DecodeASN1MemoryEx(const unsigned char *pbyData, unsigned long ulDataLength, NodeEx **ppNode);

// The same for the whole of fpFile from offset 0; the file must stay open and unchanged while
// the tree is used, and its position is left where the decode stopped. 0 or -1.
int DecodeASN1FileEx(FILE *fpFile, NodeEx **ppNode);

// Traces one node at INFO.
void PrintNodeEx(const NodeEx *pNode);

#endif
