/* Small helpers shared by the test programs: temporary folders, files and shell commands
 * (the openssl command line makes the fixtures at test time). */
#ifndef KELU_TEST_SUPPORT_H
#define KELU_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace kelu::test {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the build tree, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct CommandResult {
  int exit_code;
  std::string output;  // stdout (stderr too when merged)
};
// Runs a command through /bin/sh; merge_stderr adds 2>&1.
CommandResult RunCommand(const std::string &command, bool merge_stderr = true);
// Quotes one argument for the shell.
std::string ShellQuote(const std::string &text);

std::string ReadTextFile(const std::string &path);
Bytes ReadBinaryFile(const std::string &path);
void WriteTextFile(const std::string &path, const std::string &text);
void WriteBinaryFile(const std::string &path, const Bytes &bytes);
bool FileExists(const std::string &path);

std::string ToHex(const Bytes &bytes);  // upper case
std::string ToHex(const uint8_t *p, size_t n);
Bytes FromHex(const std::string &hex);  // ignores blanks; aborts the test on a bad digit
Bytes RandomBytes(size_t n);            // from the crypto library's generator
// The toolkit's Base64 codec (flags as Base64EncodeEx takes them; 2: one line), and back.
std::string ToBase64(const Bytes &bytes, unsigned long flags = 2);
Bytes FromBase64(const std::string &text);

// The crypto library's random source fails for the life of the object (process-wide).
class FailingRandomSource {
 public:
  FailingRandomSource();
  ~FailingRandomSource();
  FailingRandomSource(const FailingRandomSource &) = delete;
  FailingRandomSource &operator=(const FailingRandomSource &) = delete;
};

// The process's time zone (TZ) set for the life of the object, then restored.
class TimeZoneScope {
 public:
  explicit TimeZoneScope(const char *zone);
  ~TimeZoneScope();
  TimeZoneScope(const TimeZoneScope &) = delete;
  TimeZoneScope &operator=(const TimeZoneScope &) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

// Lines of a text, without their line feeds.
std::vector<std::string> SplitLines(const std::string &text);

// A memory figure of /proc/self/status in kB: "VmHWM" the peak since the last reset, "VmRSS"
// the resident size now; -1 when it is missing.
long StatusKb(const std::string &field);
// Sets the peak back to the resident size (Linux 4.0 and later); false where it cannot.
bool ResetPeak();

}  // namespace kelu::test

#endif
