// The SignedData parsers and the attribute search on arbitrary bytes: no crash, no read outside
// the input, nothing handed out on failure; the file parser agrees with the memory parser on
// every attached SignedData whose content lies in one range; the SM2 verifiers' readings accept
// only what the plain parsers read, with the same certificate.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KeluErrors.h"
#include "PKCS7SignedDataOperations.h"

namespace {

void Require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

struct Outputs {
  unsigned char *cert = nullptr, *sig = nullptr, *signed_attrs = nullptr, *unsigned_attrs = nullptr;
  char *digest = nullptr, *encryption = nullptr;
  int cert_size = 0, sig_size = 0, signed_size = 0, unsigned_size = 0, digest_size = 0,
      encryption_size = 0;
  ~Outputs() {
    delete[] cert;
    delete[] sig;
    delete[] signed_attrs;
    delete[] unsigned_attrs;
    delete[] digest;
    delete[] encryption;
  }
  bool empty() const {
    return !cert && !sig && !signed_attrs && !unsigned_attrs && !digest && !encryption;
  }
};

bool Same(const unsigned char *a, int a_size, const unsigned char *b, int b_size) {
  return a_size == b_size && (a_size == 0 || std::memcmp(a, b, static_cast<size_t>(a_size)) == 0);
}

// The SM2 reading's r || s is the plain reading's value, or its SM2Q1 decoded (an OCTET STRING
// under pkcs7-signedData, which the plain reading hands out unchanged).
bool SameSignature(const unsigned char *sm2, int sm2_size, const unsigned char *plain,
                   int plain_size) {
  if (Same(sm2, sm2_size, plain, plain_size)) return true;
  unsigned char *rs = nullptr;
  int rs_size = 0;
  const bool same = Decode_SM2Q1(plain, plain_size, &rs, &rs_size) == KELU_OK &&
                    Same(sm2, sm2_size, rs, rs_size);
  delete[] rs;
  return same;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  const int n = static_cast<int>(size);
  Outputs memory;
  unsigned char *content = nullptr;
  int content_size = 0;
  int result = ParsePKCS7Signature(
      data, n, &memory.cert, &memory.cert_size, &memory.sig, &memory.sig_size, &content,
      &content_size, &memory.digest, &memory.digest_size, &memory.encryption,
      &memory.encryption_size, &memory.signed_attrs, &memory.signed_size, &memory.unsigned_attrs,
      &memory.unsigned_size, 1);
  if (result != KELU_OK) {
    Require(memory.empty() && content == nullptr, "nothing handed out on failure");
  }
  {
    Outputs sm2;
    unsigned char *sm2_content = nullptr;
    int sm2_content_size = 0;
    const int sm2_result = ParseSM2PKCS7Signature(data, n, &sm2.cert, &sm2.cert_size, &sm2.sig,
                                                  &sm2.sig_size, &sm2_content, &sm2_content_size,
                                                  &sm2.signed_attrs, &sm2.signed_size);
    if (sm2_result != KELU_OK) {
      Require(sm2.empty() && sm2_content == nullptr, "nothing handed out on failure");
    } else {
      Require(result == KELU_OK && Same(sm2.cert, sm2.cert_size, memory.cert, memory.cert_size) &&
                  Same(sm2.signed_attrs, sm2.signed_size, memory.signed_attrs,
                       memory.signed_size) &&
                  SameSignature(sm2.sig, sm2.sig_size, memory.sig, memory.sig_size),
              "the SM2 reading is the plain one");
      Require(sm2.cert != nullptr && sm2.sig_size == 64, "a certificate and r || s");
    }
    delete[] sm2_content;
  }
  if (result == KELU_OK && memory.signed_attrs != nullptr) {
    unsigned char *value = nullptr;
    int value_size = 0;
    ParseSignedUnsignedAttributes(memory.signed_attrs, memory.signed_size, "1.2.840.113549.1.9.4",
                                  &value, &value_size);
    delete[] value;
  }
  unsigned char *value = nullptr;
  int value_size = 0;
  ParseSignedUnsignedAttributes(data, n, "1.2.840.113549.1.9.3", &value, &value_size);
  delete[] value;

  FILE *file = tmpfile();
  Require(file != nullptr, "tmpfile");
  if (size != 0) Require(std::fwrite(data, 1, size, file) == size, "write");
  Require(fseeko(file, 2, SEEK_SET) == 0, "seek");
  Outputs from_file;
  long long offset = -1;
  int length = -1;
  int file_result = ParsePKCS7AttachedSignatureFile(
      file, &from_file.cert, &from_file.cert_size, &from_file.sig, &from_file.sig_size, &offset,
      &length, &from_file.digest, &from_file.digest_size, &from_file.encryption,
      &from_file.encryption_size, &from_file.signed_attrs, &from_file.signed_size,
      &from_file.unsigned_attrs, &from_file.unsigned_size);
  Require(ftello(file) == 2, "file position put back");
  if (file_result != KELU_OK) {
    Require(from_file.empty(), "nothing handed out on failure");
  } else {
    Require(offset >= 0 && length >= 0 && static_cast<uint64_t>(offset) + length <= size,
            "content range inside the file");
    Require(result == KELU_OK && content != nullptr, "memory parser reads it too");
    Require(Same(from_file.cert, from_file.cert_size, memory.cert, memory.cert_size) &&
                Same(from_file.signed_attrs, from_file.signed_size, memory.signed_attrs,
                     memory.signed_size),
            "same fields from the file");
  }
  Outputs sm2_file;
  const int sm2_file_result = ParseSM2PKCS7AttachedSignatureFile(
      file, &sm2_file.cert, &sm2_file.cert_size, &sm2_file.sig, &sm2_file.sig_size, &offset,
      &length, &sm2_file.signed_attrs, &sm2_file.signed_size);
  Require(ftello(file) == 2, "file position put back");
  if (sm2_file_result != KELU_OK) {
    Require(sm2_file.empty(), "nothing handed out on failure");
  } else {
    Require(file_result == KELU_OK &&
                Same(sm2_file.cert, sm2_file.cert_size, from_file.cert, from_file.cert_size) &&
                Same(sm2_file.signed_attrs, sm2_file.signed_size, from_file.signed_attrs,
                     from_file.signed_size) &&
                SameSignature(sm2_file.sig, sm2_file.sig_size, from_file.sig, from_file.sig_size),
            "the SM2 reading of the file is the plain one");
  }
  std::fclose(file);
  delete[] content;

  X509 *cert = nullptr;
  int nid = 0;
  unsigned char *digest = nullptr, *source = nullptr;
  int digest_size = 0, source_size = 0;
  if (DecodeRSAPKCS7Signature(data, n, &cert, &nid, &digest, &digest_size, &source,
                              &source_size) == KELU_OK) {
    X509_free(cert);
  }
  delete[] digest;
  delete[] source;
  return 0;
}
