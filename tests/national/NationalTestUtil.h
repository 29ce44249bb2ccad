/* Helpers of the national-algorithm tests: random chunking and OpenSSL's own ciphers and
 * digests as the reference. */
#ifndef KELU_NATIONAL_TEST_UTIL_H
#define KELU_NATIONAL_TEST_UTIL_H

#include <openssl/evp.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace kelu::test {

// Splits n into pieces of 0..max_piece bytes (zero-length pieces included), deterministically
// for a seed.
inline std::vector<size_t> RandomPieces(size_t n, unsigned seed, size_t max_piece = 97) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> dist(0, max_piece);
  std::vector<size_t> pieces;
  size_t done = 0;
  while (done < n) {
    size_t piece = std::min(dist(rng), n - done);
    pieces.push_back(piece);
    done += piece;
  }
  return pieces;
}

// A digest through the EVP interface, fed in the given pieces (all at once when empty).
inline Bytes EvpDigest(const EVP_MD *md, const Bytes &data, const std::vector<size_t> &pieces = {}) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, md, nullptr) == 1;
  if (pieces.empty()) {
    ok = ok && EVP_DigestUpdate(ctx, data.data(), data.size()) == 1;
  } else {
    size_t at = 0;
    for (size_t piece : pieces) {
      ok = ok && EVP_DigestUpdate(ctx, data.data() + at, piece) == 1;
      at += piece;
    }
  }
  ok = ok && EVP_DigestFinal_ex(ctx, out.data(), &len) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok) return {};
  out.resize(len);
  return out;
}

// A cipher pass through the EVP interface in the given pieces (all at once when empty); empty
// result and ok false on failure.
struct CipherResult {
  bool ok;
  Bytes out;
};
inline CipherResult EvpCrypt(const EVP_CIPHER *cipher, const Bytes &key, const Bytes &iv,
                             const Bytes &in, int enc, bool padding,
                             const std::vector<size_t> &pieces = {}) {
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 32);
  int total = 0;
  bool ok = ctx != nullptr &&
            EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(),
                              enc) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0) == 1;
  std::vector<size_t> parts = pieces.empty() ? std::vector<size_t>{in.size()} : pieces;
  size_t at = 0;
  for (size_t piece : parts) {
    int n = 0;
    ok = ok && EVP_CipherUpdate(ctx, out.data() + total, &n, in.data() + at,
                                static_cast<int>(piece)) == 1;
    total += n;
    at += piece;
  }
  int n = 0;
  ok = ok && EVP_CipherFinal_ex(ctx, out.data() + total, &n) == 1;
  total += n;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return {false, {}};
  out.resize(static_cast<size_t>(total));
  return {true, out};
}

// npm's sm-crypto-v2 in the tree's .peers folder (installed by scripts/setup).
inline std::string PeerModules() { return std::string(KELU_PEERS_DIR) + "/node_modules"; }
inline bool SmCryptoV2Available() {
  return FileExists(PeerModules() + "/sm-crypto-v2/package.json") &&
         RunCommand("node --version").exit_code == 0;
}
// Runs a node script with sm-crypto-v2 bound to the name sm2 (and sm3); returns its stdout
// without the final line feed. The script's arguments are process.argv[2...].
inline std::string RunSmCryptoV2(const std::string &body, const std::vector<std::string> &args) {
  TempDir dir;
  std::string script = dir.File("peer.js");
  WriteTextFile(script, "const { sm2, sm3 } = require('sm-crypto-v2');\nconst a = process.argv.slice(2);\n" + body + "\n");
  std::string command = "NODE_PATH=" + ShellQuote(PeerModules()) + " node " + ShellQuote(script);
  for (const std::string &arg : args) command += " " + ShellQuote(arg);
  CommandResult r = RunCommand(command, false);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  std::string out = r.output;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

}  // namespace kelu::test

#endif
