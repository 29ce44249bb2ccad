// RAND_set_rand_method is deprecated in OpenSSL 3.0; it is the one way to make the random
// source fail.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "Base64Utility.h"
#include "KeluErrors.h"

namespace kelu::test {

TempDir::TempDir() {
  std::string pattern = ::testing::TempDir() + "kelu-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  char *made = mkdtemp(buf.data());
  if (made == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = "/tmp";
  } else {
    path_ = made;
  }
}

TempDir::~TempDir() {
  if (path_ != "/tmp") RunCommand("rm -rf " + ShellQuote(path_));
}

std::string ShellQuote(const std::string &text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

CommandResult RunCommand(const std::string &command, bool merge_stderr) {
  std::string full = command + (merge_stderr ? " 2>&1" : "");
  FILE *pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string output;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
  int status = pclose(pipe);
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return {code, output};
}

std::string ReadTextFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Bytes ReadBinaryFile(const std::string &path) {
  std::string text = ReadTextFile(path);
  return Bytes(text.begin(), text.end());
}

void WriteTextFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void WriteBinaryFile(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string ToHex(const uint8_t *p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

std::string ToHex(const Bytes &bytes) { return ToHex(bytes.data(), bytes.size()); }

Bytes FromHex(const std::string &hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c == ' ' || c == '\n' || c == '\t' || c == '\r')
      continue;
    else {
      ADD_FAILURE() << "bad hex digit in test data: " << c;
      return {};
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  EXPECT_LT(high, 0) << "odd number of hex digits in test data";
  return out;
}

Bytes RandomBytes(size_t n) {
  Bytes out(n);
  if (n != 0) {
    EXPECT_EQ(RAND_bytes(out.data(), static_cast<int>(n)), 1);
  }
  return out;
}

namespace {
int FailingBytes(unsigned char *, int) { return 0; }
int FailingStatus() { return 0; }
const RAND_METHOD kFailingRandom = {nullptr, FailingBytes, nullptr,
                                    nullptr, FailingBytes, FailingStatus};
}  // namespace

FailingRandomSource::FailingRandomSource() {
  EXPECT_EQ(RAND_set_rand_method(&kFailingRandom), 1);
}
FailingRandomSource::~FailingRandomSource() { RAND_set_rand_method(nullptr); }

TimeZoneScope::TimeZoneScope(const char *zone) {
  const char *old = std::getenv("TZ");
  had_ = old != nullptr;
  if (had_) old_ = old;
  setenv("TZ", zone, 1);
  tzset();
}

TimeZoneScope::~TimeZoneScope() {
  if (had_)
    setenv("TZ", old_.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string ToBase64(const Bytes &bytes, unsigned long flags) {
  char *text = nullptr;
  EXPECT_EQ(Base64EncodeEx(bytes.data(), static_cast<int>(bytes.size()), &text, nullptr, flags),
            KELU_OK);
  std::string out = text != nullptr ? text : "";
  delete[] text;
  return out;
}

Bytes FromBase64(const std::string &text) {
  unsigned char *bytes = nullptr;
  int size = 0;
  EXPECT_EQ(Base64DecodeEx(text.c_str(), static_cast<int>(text.size()), &bytes, &size), KELU_OK);
  Bytes out(bytes, bytes + size);
  delete[] bytes;
  return out;
}

long StatusKb(const std::string &field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

bool ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.close();
  return clear.good();
}

}  // namespace kelu::test
