#include "ASN1EngineEx.h"

#include <sys/types.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "ByteReader.h"
#include "KeluErrors.h"
#include "KeluLimits.h"
#include "Misc.h"
#include "kelu_zlog.h"

static_assert(sizeof(size_t) >= sizeof(uint64_t), "positions are held in size_t");
static_assert(sizeof(off_t) >= sizeof(int64_t), "files are addressed with 64-bit offsets");

// The encoders' walkers report under the public function they serve.
#define ENGINE_SITE(function) (TraceSite{KELU_SOURCE_FILE_NAME, __LINE__, function})
// Decoder lines: "%s(%d)" in the format is this file and line.
#define DECODE_TRACE(level, format, ...) \
  TRACE(level, format, KELU_SOURCE_FILE_NAME, __LINE__, ##__VA_ARGS__)

namespace {

constexpr char kToMemory[] = "EncodeASN1ToMemory";
constexpr char kToFile[] = "EncodeASN1ToFile";

unsigned long long Shown(uint64_t value) { return static_cast<unsigned long long>(value); }

bool AddChecked(uint64_t a, uint64_t b, uint64_t *sum) {
  if (b > UINT64_MAX - a) return false;
  *sum = a + b;
  return true;
}

// Sums that cannot be represented stay at the maximum, which every size check refuses.
uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

unsigned LengthOctetCount(uint64_t length) {
  if (length <= 127) return 1;
  unsigned count = 1;
  for (; length != 0; length >>= 8) ++count;
  return count;
}

// DER length octets of length into out (at most 9); returns their count.
unsigned WriteLengthOctets(uint64_t length, uint8_t *out) {
  unsigned count = LengthOctetCount(length);
  if (count == 1) {
    out[0] = static_cast<uint8_t>(length);
    return 1;
  }
  out[0] = static_cast<uint8_t>(0x80 | (count - 1));
  for (unsigned i = count - 1; i >= 1; --i, length >>= 8) out[i] = static_cast<uint8_t>(length);
  return count;
}

// Identifier, length octets for header_length, and contribution value bytes.
uint64_t TlvSize(uint64_t header_length, uint64_t contribution) {
  return SaturatingAdd(1 + LengthOctetCount(header_length), contribution);
}

bool IsConstructed(uint8_t tag) { return (tag & 0x20) != 0; }

bool SeekTo(FILE *file, uint64_t position) {
  if (position > static_cast<uint64_t>(INT64_MAX)) return false;
  return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

// Reads length bytes of file from start through piece (piece_size bytes) and hands each piece
// to consume; a failed seek, a short read or a refusal of consume ends it with false.
template <class Consume>
bool StreamFileRange(FILE *file, uint64_t start, uint64_t length, uint8_t *piece,
                     size_t piece_size, Consume consume) {
  if (!SeekTo(file, start)) return false;
  while (length > 0) {
    size_t n = length < piece_size ? static_cast<size_t>(length) : piece_size;
    if (std::fread(piece, 1, n, file) != n) return false;
    if (!consume(piece, n)) return false;
    length -= n;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Encoding: a checking pass over the whole tree, then a writing pass into a sink.

enum class LeafValue { kNothing, kOwnBytes, kSourceBytes, kFileBytes, kInvalid };

// Where a childless node's value comes from. A leaf contributes either its whole value
// (CurrentValueLength == ValueLength) or nothing (header-only, or empty); a node that refers to
// a source but contributes nothing is a decoded node, which cannot be encoded as it is.
LeafValue ChooseLeafValue(const NodeEx &node) {
  if (node.CurrentValueLength == 0) {
    if (node.ValueLength == 0) return LeafValue::kNothing;
    return node.pbySource != nullptr || node.fpFile != nullptr ? LeafValue::kInvalid
                                                               : LeafValue::kNothing;
  }
  if (node.CurrentValueLength != node.ValueLength) return LeafValue::kInvalid;
  if (node.pValue != nullptr) return LeafValue::kOwnBytes;
  if (node.pbySource != nullptr) return LeafValue::kSourceBytes;
  if (node.fpFile != nullptr) return LeafValue::kFileBytes;
  return LeafValue::kInvalid;
}

int CheckNode(const NodeEx &node, int *depth, const char *function);

// The lengths AddChild summed must still match the children: a child changed after it was
// attached, or lost because it could not be appended, would otherwise give wrong DER. Sums
// past 64 bits, which AddChild can only hold at the maximum, are refused here.
int CheckChildren(const NodeEx &node, int *depth, const char *function) {
  uint64_t announced = 0;
  uint64_t current = 0;
  for (const NodeEx *child : node.vetNodes) {
    if (child == nullptr) {
      TraceStepFailed(ENGINE_SITE(function), "Check child node", KELU_ERR_FAILED,
                      "NULL == pChildNode");
      return KELU_ERR_FAILED;
    }
    int nResult = CheckNode(*child, depth, function);
    if (KELU_OK != nResult) {
      TraceStepFailed(ENGINE_SITE(function), "EncodeASN1Memory", nResult, "KELU_OK != nResult");
      return nResult;
    }
    uint64_t header = 1 + LengthOctetCount(child->ValueLength);
    uint64_t child_announced = 0;
    uint64_t child_current = 0;
    if (!AddChecked(header, child->ValueLength, &child_announced) ||
        !AddChecked(header, child->CurrentValueLength, &child_current) ||
        !AddChecked(announced, child_announced, &announced) ||
        !AddChecked(current, child_current, &current)) {
      TraceStepFailed(ENGINE_SITE(function), "Check node lengths", KELU_ERR_FAILED,
                      "length sum overflow");
      return KELU_ERR_FAILED;
    }
  }
  if (announced != node.ValueLength || current != node.CurrentValueLength) {
    TraceStepFailed(ENGINE_SITE(function), "Check node lengths", KELU_ERR_FAILED,
                    "sum of child lengths != ValueLength || != CurrentValueLength");
    return KELU_ERR_FAILED;
  }
  return KELU_OK;
}

int CheckNode(const NodeEx &node, int *depth, const char *function) {
  if (depth != nullptr && ++*depth > MAX_RECURSIVE_DEEP_LEVEL) {
    TraceStepFailed(ENGINE_SITE(function), "Check recursive deep level", KELU_ERR_ASN1_TOO_DEEP,
                    "*pnCurrentDeepLevel > MAX_RECURSIVE_DEEP_LEVEL");
    --*depth;
    return KELU_ERR_ASN1_TOO_DEEP;
  }
  int nResult = KELU_OK;
  if (!node.vetNodes.empty()) {
    nResult = CheckChildren(node, depth, function);
  } else if (ChooseLeafValue(node) == LeafValue::kInvalid) {
    TraceStepFailed(ENGINE_SITE(function), "Check leaf value", KELU_ERR_FAILED,
                    "no source for CurrentValueLength bytes");
    nResult = KELU_ERR_FAILED;
  }
  if (depth != nullptr) --*depth;
  return nResult;
}

// Where the bytes of an encoding go (MemorySink or FileSink: Write, CopyFileRange). A failure
// names its step and reason for the caller's line. (No virtual functions: the library is also
// linked into C programs, which the sanitizers' C++ type checks would leave unresolved.)
class EncodeSink {
 public:
  const char *failed_step = "";
  const char *failed_reason = "";

 protected:
  bool Fail(const char *step, const char *reason) {
    failed_step = step;
    failed_reason = reason;
    return false;
  }
};

class MemorySink : public EncodeSink {
 public:
  MemorySink(uint8_t *buffer, size_t capacity) : writer_(buffer, capacity) {}
  size_t written() const { return writer_.written(); }

  bool Write(const uint8_t *bytes, size_t count) {
    return writer_.WriteBytes(bytes, count) || Fail("Write ASN.1 data", "length > capacity");
  }
  bool CopyFileRange(FILE *file, uint64_t start, uint64_t length) {
    if (length > writer_.available()) return Fail("Write ASN.1 data", "length > capacity");
    uint8_t piece[BLOCK_SIZE];
    bool copied = StreamFileRange(file, start, length, piece, sizeof piece,
                                  [this](const uint8_t *p, size_t n) {
                                    return writer_.WriteBytes(p, n);
                                  });
    return copied || Fail("fread(fpFile)", "nReadSize != ValueLength");
  }

 private:
  ByteWriter writer_;
};

class FileSink : public EncodeSink {
 public:
  explicit FileSink(FILE *out) : out_(out) {}
  uint64_t written() const { return written_; }

  bool Write(const uint8_t *bytes, size_t count) {
    size_t n = count == 0 ? 0 : std::fwrite(bytes, 1, count, out_);
    written_ += n;
    return n == count || Fail("fwrite(fpOutFile)", "nWriteSize != nSize");
  }
  bool CopyFileRange(FILE *file, uint64_t start, uint64_t length) {
    size_t size = length < ASN1_FILE_PIECE_SIZE ? static_cast<size_t>(length)
                                                : static_cast<size_t>(ASN1_FILE_PIECE_SIZE);
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[size]);
    if (!piece) return Fail("New memory", "NULL == pbyBuffer");
    bool write_failed = false;
    bool copied = StreamFileRange(file, start, length, piece.get(), size,
                                  [this, &write_failed](const uint8_t *p, size_t n) {
                                    write_failed = !Write(p, n);
                                    return !write_failed;
                                  });
    if (copied) return true;
    // A failed write has named itself already.
    return write_failed ? false : Fail("fread(fpFile)", "nReadSize != ValueLength");
  }

 private:
  FILE *out_;
  uint64_t written_ = 0;
};

template <class Sink>
bool WriteNode(const NodeEx &node, Sink *sink) {
  uint8_t header[10];
  header[0] = node.Tag;
  unsigned count = 1 + WriteLengthOctets(node.ValueLength, header + 1);
  if (!sink->Write(header, count)) return false;
  for (const NodeEx *child : node.vetNodes) {
    if (!WriteNode(*child, sink)) return false;
  }
  if (!node.vetNodes.empty()) return true;
  switch (ChooseLeafValue(node)) {
    case LeafValue::kOwnBytes:
      return sink->Write(node.pValue, node.CurrentValueLength);
    case LeafValue::kSourceBytes:
      return sink->Write(node.pbySource + node.ValueStartPosition, node.ValueLength);
    case LeafValue::kFileBytes:
      return sink->CopyFileRange(node.fpFile, node.ValueStartPosition, node.ValueLength);
    case LeafValue::kNothing:
      return true;
    case LeafValue::kInvalid:
      break;
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

NodeEx::~NodeEx() {
  delete[] pValue;
  pValue = nullptr;
  for (NodeEx *child : vetNodes) delete child;
}

void NodeEx::AddChild(NodeEx *pChildNode) {
  if (pChildNode == nullptr) return;
  // The sums go first: should the append fail, they no longer match the children and the
  // encoders refuse the tree instead of writing it without the child.
  ValueLength = SaturatingAdd(ValueLength, TlvSize(pChildNode->ValueLength,
                                                   pChildNode->ValueLength));
  CurrentValueLength = SaturatingAdd(CurrentValueLength, TlvSize(pChildNode->ValueLength,
                                                                 pChildNode->CurrentValueLength));
  try {
    vetNodes.push_back(pChildNode);
  } catch (...) {
    delete pChildNode;
    return;
  }
  pChildNode->pParentNode = this;
}

int NodeEx::GetTotalRequiredSize() const {
  uint64_t size = TlvSize(ValueLength, ValueLength);
  return size > INT_MAX ? -1 : static_cast<int>(size);
}

int NodeEx::GetCurrentRequiredLength() const {
  uint64_t size = TlvSize(ValueLength, CurrentValueLength);
  return size > INT_MAX ? -1 : static_cast<int>(size);
}

int EncodeASN1Length(int64_t nLength, unsigned char **ppbyLengthOctets) {
  if (nLength < 0) return -1;
  uint8_t octets[9];
  unsigned count = WriteLengthOctets(static_cast<uint64_t>(nLength), octets);
  if (ppbyLengthOctets != nullptr) {
    unsigned char *copy = new (std::nothrow) unsigned char[count];
    if (copy == nullptr) return -1;
    std::memcpy(copy, octets, count);
    *ppbyLengthOctets = copy;
  }
  return static_cast<int>(count);
}

int ASN1Encode(uint8_t byTag, const unsigned char *pbyValue, int nValueSize,
               unsigned char **ppbyEncodedData, int *pnEncodedDataSize) {
  if (NULL == ppbyEncodedData || NULL == pnEncodedDataSize || nValueSize < 0 ||
      (NULL == pbyValue && 0 != nValueSize)) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == ppbyEncodedData || NULL == pnEncodedDataSize || nValueSize < 0 || "
                    "(NULL == pbyValue && 0 != nValueSize)");
    return KELU_ERR_FAILED;
  }
  int nLengthOfLength = EncodeASN1Length(nValueSize);
  if (-1 == nLengthOfLength) {
    TraceStepFailed(KELU_HERE, "EncodeASN1Length", KELU_ERR_FAILED, "-1 == nLengthOfLength");
    return KELU_ERR_FAILED;
  }
  uint64_t size = 1 + static_cast<uint64_t>(nLengthOfLength) + static_cast<uint64_t>(nValueSize);
  if (size > INT_MAX) {
    TraceStepFailed(KELU_HERE, "Check ASN.1 data size", KELU_ERR_FAILED,
                    "INT_MAX < nEncodedDataSize");
    return KELU_ERR_FAILED;
  }
  unsigned char *pbyEncodedData = new (std::nothrow) unsigned char[size]();
  if (!pbyEncodedData) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbyEncodedData");
    return KELU_ERR_FAILED;
  }
  uint8_t header[10];
  header[0] = byTag;
  unsigned header_size = 1 + WriteLengthOctets(static_cast<uint64_t>(nValueSize), header + 1);
  ByteWriter writer(pbyEncodedData, size);
  writer.WriteBytes(header, header_size);
  writer.WriteBytes(pbyValue, static_cast<size_t>(nValueSize));
  *ppbyEncodedData = pbyEncodedData;
  *pnEncodedDataSize = static_cast<int>(size);
  return KELU_OK;
}

int EncodeASN1ToMemory(NodeEx *pNode, unsigned char **ppEncodedData, int *pnEncodedDataSize,
                       int *pnCurrentDeepLevel) {
  if (NULL == pNode || NULL == ppEncodedData || NULL == pnEncodedDataSize) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pNode || NULL == ppEncodedData || NULL == pnEncodedDataSize");
    return KELU_ERR_FAILED;
  }
  // The encoder makes the one buffer itself; a buffer or position handed in has no known size.
  if (NULL != *ppEncodedData || 0 != *pnEncodedDataSize) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL != *ppEncodedData || 0 != *pnEncodedDataSize");
    return KELU_ERR_FAILED;
  }
  int nResult = CheckNode(*pNode, pnCurrentDeepLevel, kToMemory);
  if (KELU_OK != nResult) return nResult;

  uint64_t nCurrentRequiredLength = TlvSize(pNode->ValueLength, pNode->CurrentValueLength);
  if (MAX_ASN1_DATA_MEMORY_SIZE < nCurrentRequiredLength) {
    TraceStepFailed(KELU_HERE, "Check ASN.1 data size", KELU_ERR_ASN1_TOO_LARGE,
                    "MAX_ASN1_DATA_MEMORY_SIZE < nCurrentRequiredLength");
    return KELU_ERR_ASN1_TOO_LARGE;
  }
  TraceStepOK(KELU_HERE, "Check ASN.1 data size");

  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow)
                                              unsigned char[nCurrentRequiredLength]());
  if (!buffer) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "NULL == *ppEncodedData");
    return KELU_ERR_FAILED;
  }
  MemorySink sink(buffer.get(), nCurrentRequiredLength);
  if (!WriteNode(*pNode, &sink)) {
    TraceStepFailed(KELU_HERE, sink.failed_step, KELU_ERR_FAILED, sink.failed_reason);
    return KELU_ERR_FAILED;
  }
  if (sink.written() != nCurrentRequiredLength) {
    TraceStepFailed(KELU_HERE, "Write ASN.1 data", KELU_ERR_FAILED,
                    "nEncodedDataSize != nCurrentRequiredLength");
    return KELU_ERR_FAILED;
  }
  *ppEncodedData = buffer.release();
  *pnEncodedDataSize = static_cast<int>(nCurrentRequiredLength);
  TraceStepOK(KELU_HERE, "EncodeASN1Memory");
  return KELU_OK;
}

int EncodeASN1ToFile(NodeEx *pNode, FILE *fpOutFile, int *pnEncodedDataSize,
                     int *pnCurrentDeepLevel) {
  if (NULL == pNode || NULL == fpOutFile || NULL == pnEncodedDataSize) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pNode || NULL == fpOutFile || NULL == pnEncodedDataSize");
    return KELU_ERR_FAILED;
  }
  if (*pnEncodedDataSize < 0) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED, "*pnEncodedDataSize < 0");
    return KELU_ERR_FAILED;
  }
  int nResult = CheckNode(*pNode, pnCurrentDeepLevel, kToFile);
  if (KELU_OK != nResult) return nResult;

  // The count crosses an int interface: a longer encoding is refused before anything is written.
  uint64_t nCurrentRequiredLength = TlvSize(pNode->ValueLength, pNode->CurrentValueLength);
  if (nCurrentRequiredLength > static_cast<uint64_t>(INT_MAX - *pnEncodedDataSize)) {
    TraceStepFailed(KELU_HERE, "Check ASN.1 data size", KELU_ERR_FAILED,
                    "INT_MAX < nCurrentRequiredLength");
    return KELU_ERR_FAILED;
  }
  FileSink sink(fpOutFile);
  bool written = WriteNode(*pNode, &sink);
  *pnEncodedDataSize += static_cast<int>(sink.written());
  if (!written) {
    TraceStepFailed(KELU_HERE, sink.failed_step, KELU_ERR_FAILED, sink.failed_reason);
    return KELU_ERR_FAILED;
  }
  // Buffered bytes that cannot be written show up only here (a full disk, /dev/full).
  if (0 != std::fflush(fpOutFile)) {
    TraceStepFailed(KELU_HERE, "fflush(fpOutFile)", KELU_ERR_FAILED, "0 != fflush(fpOutFile)");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "EncodeASN1Memory");
  return KELU_OK;
}

// ---------------------------------------------------------------------------------------------

namespace {

// A copy of source's fields with its own value bytes and, when deep, its own subtree; null when
// memory runs out.
NodeEx *CopyNode(const NodeEx &source, bool deep) {
  NodeEx *copy = new (std::nothrow) NodeEx;
  if (copy == nullptr) return nullptr;
  copy->fpFile = source.fpFile;
  copy->pbySource = source.pbySource;
  copy->ValueStartPosition = source.ValueStartPosition;
  copy->Tag = source.Tag;
  copy->LengthOctetsSize = source.LengthOctetsSize;
  copy->ValueLength = source.ValueLength;
  copy->CurrentValueLength = source.CurrentValueLength;
  copy->TotalLength = source.TotalLength;
  copy->FileLength = source.FileLength;
  copy->IsInfiniteLength = source.IsInfiniteLength;
  // The encoders read CurrentValueLength bytes of pValue, so that is what a node holds.
  if (source.pValue != nullptr && source.CurrentValueLength != 0) {
    copy->pValue = new (std::nothrow) unsigned char[source.CurrentValueLength];
    if (copy->pValue == nullptr) {
      delete copy;
      return nullptr;
    }
    std::memcpy(copy->pValue, source.pValue, source.CurrentValueLength);
  }
  if (!deep) return copy;
  try {
    copy->vetNodes.reserve(source.vetNodes.size());
  } catch (...) {
    delete copy;
    return nullptr;
  }
  for (const NodeEx *child : source.vetNodes) {
    NodeEx *child_copy = child != nullptr ? CopyNode(*child, true) : nullptr;
    if (child_copy == nullptr) {
      delete copy;
      return nullptr;
    }
    child_copy->pParentNode = copy;
    copy->vetNodes.push_back(child_copy);  // room reserved above
  }
  return copy;
}

}  // namespace

int DuplicateNodeEx(const NodeEx *pExistingNode, NodeEx **ppNewNode, bool bDeep) {
  if (NULL == pExistingNode || NULL == ppNewNode) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pExistingNode || NULL == ppNewNode");
    return KELU_ERR_FAILED;
  }
  NodeEx *copy = CopyNode(*pExistingNode, bDeep);
  if (copy == nullptr) {
    TraceStepFailed(KELU_HERE, "DuplicateNodeEx", KELU_ERR_FAILED, "KELU_OK != nResult");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "new NodeEx()");
  *ppNewNode = copy;
  return KELU_OK;
}

// ---------------------------------------------------------------------------------------------
// Decoding. Positions are unsigned 64-bit offsets into the source and every end is exclusive;
// a length is checked as length > end - position, which cannot wrap.

namespace {

// The bytes being decoded (MemorySource or FileSource): size(), and Read, which copies count
// bytes at position and fails when they do not lie inside the source or cannot be read.
class MemorySource {
 public:
  MemorySource(const unsigned char *data, uint64_t size) : data_(data), size_(size) {}
  uint64_t size() const { return size_; }
  bool Read(uint64_t position, size_t count, uint8_t *out) {
    ByteReader reader(data_, size_);
    return reader.Skip(position) && reader.CopyBytes(count, out);
  }

 private:
  const unsigned char *data_;
  uint64_t size_;
};

// Reads the file in aligned blocks and keeps the last one, so that headers cost no seek each.
class FileSource {
 public:
  explicit FileSource(FILE *file) : file_(file) {}
  uint64_t size() const { return size_; }

  bool Open() {
    if (fseeko(file_, 0, SEEK_END) != 0) {
      TRACE(KELU_TRACE_ERROR, "fseeko to the end of the file failed");
      return false;
    }
    off_t end = ftello(file_);
    if (end < 0 || fseeko(file_, 0, SEEK_SET) != 0) {
      TRACE(KELU_TRACE_ERROR, "ftello or fseeko to the start of the file failed");
      return false;
    }
    size_ = static_cast<uint64_t>(end);
    return true;
  }

  bool Read(uint64_t position, size_t count, uint8_t *out) {
    if (position > size_ || count > size_ - position) return false;
    while (count > 0) {
      if (!Load(position)) return false;
      size_t offset = static_cast<size_t>(position - block_start_);
      size_t n = block_size_ - offset < count ? block_size_ - offset : count;
      std::memcpy(out, block_ + offset, n);
      out += n;
      position += n;
      count -= n;
    }
    return true;
  }

 private:
  bool Load(uint64_t position) {
    uint64_t start = position - position % BLOCK_SIZE;
    if (block_size_ != 0 && start == block_start_) return true;
    block_size_ = 0;
    size_t want = size_ - start < BLOCK_SIZE ? static_cast<size_t>(size_ - start) : BLOCK_SIZE;
    if (!SeekTo(file_, start)) {
      TRACE(KELU_TRACE_ERROR, "fsetpos failed:0x%llx", Shown(start));
      return false;
    }
    if (std::fread(block_, 1, want, file_) != want) {
      TRACE(KELU_TRACE_ERROR, "fread %zu bytes failed", want);
      return false;
    }
    block_start_ = start;
    block_size_ = want;
    return true;
  }

  FILE *file_;
  uint64_t size_ = 0;
  uint8_t block_[BLOCK_SIZE];
  uint64_t block_start_ = 0;
  size_t block_size_ = 0;
};

struct Header {
  uint8_t tag = 0;
  uint64_t length_octets = 0;
  uint64_t value_length = 0;
  uint64_t value_start = 0;
  bool indefinite = false;
  // The value runs past the end given, though not past the source: an element longer than
  // the room its parent has left.
  bool past_end = false;
};

template <class Source>
struct Decoder {
  Source *source;
  FILE *file;
  const unsigned char *memory;
  unsigned depth = 0;
  uint64_t nodes = 0;
};

// The length octets starting at position, which must lie before end; the value must lie
// inside the source, and is marked past_end when it passes end.
template <class Source>
int GetASN1ValueLengthEx(Decoder<Source> *decoder, uint64_t position, uint64_t end, Header *header) {
  uint8_t first = 0;
  if (position >= end || !decoder->source->Read(position, 1, &first)) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: start position is great than end position");
    return -1;
  }
  TRACE(KELU_TRACE_INFO, "Value length start position:0x%llx", Shown(position));
  TRACE(KELU_TRACE_INFO, "Value length first byte value:0x%x", first);
  uint64_t after = position + 1;
  header->length_octets = 1;
  header->value_start = after;
  header->value_length = 0;
  header->indefinite = false;
  header->past_end = false;
  if (first == 0x80) {
    header->indefinite = true;
    return 0;
  }
  if (first < 0x80) {
    header->value_length = first;
  } else {
    unsigned count = first & 0x7F;
    if (count > 8) {
      DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: length octets count(%u) is greater than 8",
                   count);
      return -1;
    }
    uint8_t octets[8];
    if (count > end - after || !decoder->source->Read(after, count, octets)) {
      DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: value length is great than total length");
      return -1;
    }
    for (unsigned i = 0; i < count; ++i) header->value_length = header->value_length << 8 | octets[i];
    header->length_octets = 1 + count;
    header->value_start = after + count;
  }
  if (header->value_length > end - header->value_start) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: value end position is greater than end position");
    // end <= size, so the subtraction cannot wrap.
    if (header->value_length > decoder->source->size() - header->value_start) return -1;
    header->past_end = true;
  }
  TRACE(KELU_TRACE_INFO, "Value Length:0x%llx ", Shown(header->value_length));
  return 0;
}

// One header at position; its octets must lie before end and its value inside the source. A
// value that passes end is marked past_end for the caller (an indefinite one is checked when
// its end-of-contents octets are found).
template <class Source>
int ParseASN1TLVEx(Decoder<Source> *decoder, uint64_t position, uint64_t end, Header *header) {
  if (position >= end || !decoder->source->Read(position, 1, &header->tag)) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: start position is great than end position");
    return -1;
  }
  TRACE(KELU_TRACE_INFO, "Tag value:0x%x", header->tag);
  // Identifiers of more than one octet are not supported; reading the next octet as a length
  // would misparse everything after it.
  if ((header->tag & 0x1F) == 0x1F) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: identifier of more than one octet(0x%x)",
                 header->tag);
    return -1;
  }
  if (0 != GetASN1ValueLengthEx(decoder, position + 1, end, header)) {
    TRACE(KELU_TRACE_ERROR, "GetASN1ValueLengthEx Failed");
    return -1;
  }
  if (header->indefinite && !IsConstructed(header->tag)) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: primitive value with indefinite length");
    return -1;
  }
  return 0;
}

template <class Source>
NodeEx *NewDecodedNode(Decoder<Source> *decoder, const Header &header, NodeEx *parent) {
  if (++decoder->nodes > MAX_ASN1_DECODE_NODES) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: more than %u nodes", MAX_ASN1_DECODE_NODES);
    return nullptr;
  }
  NodeEx *node = new (std::nothrow) NodeEx;
  if (node == nullptr) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: new NodeEx failed");
    return nullptr;
  }
  node->fpFile = decoder->file;
  node->pbySource = decoder->memory;
  node->ValueStartPosition = header.value_start;
  node->Tag = header.tag;
  node->LengthOctetsSize = header.length_octets;
  node->IsInfiniteLength = header.indefinite ? 1 : 0;
  if (!header.indefinite) {
    node->ValueLength = header.value_length;
    node->TotalLength = 1 + header.length_octets + header.value_length;
  }
  node->FileLength = decoder->source->size();
  node->pParentNode = parent;
  return node;
}

template <class Source>
int ParseNodeEx(Decoder<Source> *decoder, NodeEx *node, uint64_t end);

// The element at position, attached to parent before it is parsed so that a failure deletes
// it with the tree.
template <class Source>
NodeEx *ParseElement(Decoder<Source> *decoder, NodeEx *parent, uint64_t position, uint64_t end) {
  Header header;
  if (0 != ParseASN1TLVEx(decoder, position, end, &header)) {
    TRACE(KELU_TRACE_ERROR, "ParseASN1TLVEx failed");
    return nullptr;
  }
  if (header.past_end) {
    // Refused before it is parsed: nothing past the parent's value is looked at.
    uint64_t room = end - parent->ValueStartPosition;
    uint64_t consumed = header.value_start + header.value_length - parent->ValueStartPosition;
    DECODE_TRACE(KELU_TRACE_ERROR,
                 "[%s(%d): child nodes length(0x%08llx) is larger than parent node "
                 "length(0x%08llx)]",
                 Shown(consumed), Shown(room));
    return nullptr;
  }
  NodeEx *element = NewDecodedNode(decoder, header, parent);
  if (element == nullptr) return nullptr;
  try {
    parent->vetNodes.push_back(element);
  } catch (...) {
    delete element;
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: no memory for the element list");
    return nullptr;
  }
  if (0 != ParseNodeEx(decoder, element, end)) {
    TRACE(KELU_TRACE_ERROR, "ParseNodeEx failed");
    return nullptr;
  }
  return element;
}

// The elements of a constructed node. A definite node's elements must fill its value exactly;
// an indefinite node's run until its end-of-contents octets, which must come before end.
template <class Source>
int ParseElements(Decoder<Source> *decoder, NodeEx *node, uint64_t end) {
  bool indefinite = node->IsInfiniteLength != 0;
  uint64_t limit = indefinite ? end : node->ValueStartPosition + node->ValueLength;
  uint64_t position = node->ValueStartPosition;
  for (;;) {
    if (indefinite) {
      uint8_t octets[2];
      if (limit - position < 2 || !decoder->source->Read(position, 2, octets)) {
        DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: position is not in file size range");
        return -1;
      }
      if (octets[0] == 0 && octets[1] == 0) {
        node->ValueLength = position + 2 - node->ValueStartPosition;
        node->TotalLength = 1 + node->LengthOctetsSize + node->ValueLength;
        node->IsInfiniteLength = 0;
        return 0;
      }
    } else if (position == limit) {
      return 0;
    }
    NodeEx *element = ParseElement(decoder, node, position, limit);
    if (element == nullptr) return -1;
    position += element->TotalLength;  // the element ended at or before limit
  }
}

template <class Source>
int ParseNodeEx(Decoder<Source> *decoder, NodeEx *node, uint64_t end) {
  if (++decoder->depth > MAX_ASN1_DECODE_DEEP_LEVEL) {
    TRACE(KELU_TRACE_ERROR, "Too deeply recursive calling(count):%u", decoder->depth);
    return -1;
  }
  DECODE_TRACE(KELU_TRACE_INFO, "[%s(%d)]: CurrentDeepLevel =%u", decoder->depth);
  if (IsConstructed(node->Tag) && 0 != ParseElements(decoder, node, end)) return -1;
  --decoder->depth;
  return 0;
}

template <class Source>
int DecodeRoot(Decoder<Source> *decoder, NodeEx **ppNode, const char *root_failure) {
  uint64_t end = decoder->source->size();
  Header header;
  if (0 != ParseASN1TLVEx(decoder, 0, end, &header)) {
    TRACE(KELU_TRACE_ERROR, "%s", root_failure);
    return -1;
  }
  std::unique_ptr<NodeEx> root(NewDecodedNode(decoder, header, nullptr));
  if (!root) return -1;
  int nResult = ParseNodeEx(decoder, root.get(), end);
  TRACE(KELU_TRACE_INFO, "Current recursive deep level:%u", decoder->depth);
  if (0 != nResult) return -1;
  *ppNode = root.release();
  return 0;
}

}  // namespace

int DecodeASN1MemoryEx(const unsigned char *pbyData, unsigned long ulDataLength, NodeEx **ppNode) {
  if (ppNode == nullptr) return -1;
  *ppNode = nullptr;
  if (pbyData == nullptr || ulDataLength == 0) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: empty ASN.1 source");
    return -1;
  }
  MemorySource source(pbyData, ulDataLength);
  Decoder<MemorySource> decoder{&source, nullptr, pbyData};
  return DecodeRoot(&decoder, ppNode, "Parse ASN.1 root node failed");
}

int DecodeASN1FileEx(FILE *fpFile, NodeEx **ppNode) {
  if (ppNode == nullptr) return -1;
  *ppNode = nullptr;
  if (fpFile == nullptr) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: empty ASN.1 source");
    return -1;
  }
  std::unique_ptr<FileSource> source(new (std::nothrow) FileSource(fpFile));
  if (!source || !source->Open()) return -1;
  if (source->size() == 0) {
    DECODE_TRACE(KELU_TRACE_ERROR, "[%s(%d)]: empty ASN.1 source");
    return -1;
  }
  Decoder<FileSource> decoder{source.get(), fpFile, nullptr};
  return DecodeRoot(&decoder, ppNode, "Parse ASN1 root node failed");
}

void PrintNodeEx(const NodeEx *pNode) {
  if (pNode == nullptr) return;
  if (!IsConstructed(pNode->Tag)) TRACE(KELU_TRACE_INFO, "Primitive ASN.1 value");
  TRACE(KELU_TRACE_INFO, "Tag:0x%x  ;Value Length:0x%llx   ;Value Start Position:0x%llx",
        pNode->Tag, Shown(pNode->ValueLength), Shown(pNode->ValueStartPosition));
}
