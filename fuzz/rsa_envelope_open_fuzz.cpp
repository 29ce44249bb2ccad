// Opening untrusted RSA envelopes from memory and from a file with a PKCS#12 file made at
// start-up: no crash, no leak, nothing handed out and nothing left in the plain file on
// failure, and both forms agree.
//
// The start-up key is new at every run, but its certificate has a fixed subject key
// identifier, so that envelopes made for another key (the seeds) still pass the recipient check
// and reach the key and content decryption. An input that starts with 0xE1 is an edit of an
// envelope made at start-up for this key: E1, the envelope (0 3DES, 1 RC4), a 16-bit length to
// cut it to, then (16-bit position, XOR byte) triples; it reaches the paths behind a genuine
// content key.
#include <openssl/err.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KeluErrors.h"
#include "RSADataEncryption.h"
#include "SMKernel.h"
#include "envelope_fuzz_files.h"

namespace {

using envelopefuzz::ReadAll;
using envelopefuzz::Require;
using envelopefuzz::Reset;

constexpr char kPassword[] = "fuzz";
constexpr char kKeyId[] = "4B454C5546555A5A52534145564C4F5045464958";

struct State {
  FILE *pfx = nullptr;
  FILE *envelope = nullptr;  // the input as a file
  FILE *plain = nullptr;     // the file form's output
  std::vector<std::vector<uint8_t>> made;
};
State *g_state = nullptr;

// A 1024-bit key (the smallest the envelopes take, for speed), its certificate and a PKCS#12
// file without iterations, in a fresh folder.
std::string MakeKeyFiles() {
  return envelopefuzz::RunOpensslInNewFolder(
      "kelu-rsa-envelope-fuzz",
      {"genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out k.pem",
       "req -x509 -new -key k.pem -subj /CN=fuzz -days 2 -addext keyUsage=keyEncipherment "
       "-addext subjectKeyIdentifier=" + std::string(kKeyId) + " -out c.pem",
       "x509 -in c.pem -outform DER -out c.der",
       "pkcs12 -export -noiter -nomaciter -inkey k.pem -in c.pem -passout pass:" +
           std::string(kPassword) + " -out k.p12"});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Require(kelu::SMKernelInitialize() == 0, "crypto start-up");
  // The operations run where an exported function runs them: in the toolkit's context.
  OSSL_LIB_CTX_set0_default(kelu::ToolkitLibraryContext());
  g_state = new State();
  const std::string dir = MakeKeyFiles();
  g_state->pfx = std::fopen((dir + "/k.p12").c_str(), "rb");
  Require(g_state->pfx != nullptr, "key file");
  const std::vector<uint8_t> cert = envelopefuzz::ReadPath(dir + "/c.der");
  Require(std::system(("rm -rf '" + dir + "'").c_str()) == 0, "rm");
  const std::string content = "content of the envelopes made at start-up, two blocks or more";
  for (int nid : {44, 5}) {
    unsigned char *der = nullptr;
    int size = 0;
    Require(RSA_EncryptDataToDERCMSEnvelope(
                reinterpret_cast<const unsigned char *>(content.data()),
                static_cast<int>(content.size()), cert.data(), static_cast<int>(cert.size()),
                nid, &der, &size) == KELU_OK,
            "start-up envelope");
    g_state->made.emplace_back(der, der + size);
    delete[] der;
  }
  g_state->envelope = tmpfile();
  g_state->plain = tmpfile();
  Require(g_state->envelope != nullptr && g_state->plain != nullptr, "tmpfile");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 16)) return 0;
  std::vector<uint8_t> envelope(data, data + size);
  if (size >= 4 && data[0] == 0xE1) {
    envelope = g_state->made[data[1] % g_state->made.size()];
    const size_t cut = static_cast<size_t>(data[2]) << 8 | data[3];
    if (cut < envelope.size()) envelope.resize(cut);
    for (size_t i = 4; i + 3 <= size && !envelope.empty(); i += 3) {
      envelope[(static_cast<size_t>(data[i]) << 8 | data[i + 1]) % envelope.size()] ^= data[i + 2];
    }
  }

  Require(fseeko(g_state->pfx, 0, SEEK_SET) == 0, "rewind PKCS#12");
  unsigned char *plain = nullptr;
  int plain_size = -7;
  const int memory = RSA_DecryptDataFromDERCMSEnvelope(
      envelope.data(), static_cast<int>(envelope.size()), g_state->pfx, kPassword, &plain,
      &plain_size);
  if (memory == KELU_OK) {
    Require(plain != nullptr && plain_size >= 0 && plain[plain_size] == 0, "NUL-terminated");
  } else {
    Require(plain == nullptr && plain_size == -7, "nothing handed out on failure");
  }

  Reset(g_state->envelope, envelope.data(), envelope.size());
  Reset(g_state->plain, nullptr, 0);
  Require(fseeko(g_state->pfx, 0, SEEK_SET) == 0, "rewind PKCS#12");
  const int from_file =
      RSA_DecryptFileFromCMSEnvelope(g_state->envelope, g_state->pfx, kPassword, g_state->plain);
  Require(std::fflush(g_state->plain) == 0, "flush");
  const std::vector<uint8_t> written = ReadAll(g_state->plain);
  Require((memory == KELU_OK) == (from_file == KELU_OK), "both forms agree");
  if (from_file == KELU_OK) {
    Require(written.size() == static_cast<size_t>(plain_size) &&
                (written.empty() || std::memcmp(written.data(), plain, written.size()) == 0),
            "the same plaintext from both forms");
  } else {
    Require(written.empty(), "nothing left in the plain file on failure");
  }
  delete[] plain;
  // The library's error records are freed here, so that allocations balance and the leak
  // check does not scan the heap after every input.
  ERR_clear_error();
  return 0;
}
