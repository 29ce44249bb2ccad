// The memory decoder on arbitrary bytes: no crash, no read outside the input, a consistent tree,
// and the same answer from the file decoder.
#include <cstddef>
#include <cstdint>

#include "ASN1EngineEx.h"
#include "asn1_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  NodeEx *root = nullptr;
  int result = DecodeASN1MemoryEx(data, size, &root);
  std::vector<asn1fuzz::Flat> flat;
  if (result == 0) {
    asn1fuzz::Require(root != nullptr && root->pbySource == data, "tree refers to the input");
    flat = asn1fuzz::CheckTree(*root, data, size);
  } else {
    asn1fuzz::Require(result == -1 && root == nullptr, "failure is -1 with no node");
  }
  delete root;
  asn1fuzz::CheckFileDecoderAgrees(data, size, result, flat);
  return 0;
}
