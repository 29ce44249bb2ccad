// make_sm2_key_file [--password-file FILE] KEY.pem CERT KEYFILE
//
// Writes the toolkit's SM2 key file KEYFILE (one line of Base64 of the password-protected key and
// the certificate) from an SM2 private key made with the openssl command line (PEM, not
// encrypted) and its certificate (PEM or DER). The password is one line of standard input, or of
// FILE: the line ends at a line feed, a CR LF or the end of the input, and its end is not part
// of it; on a terminal it is asked for twice without echo. It never comes from the command line,
// where every user of the machine would see it, and it is never empty. A key that is not the
// certificate's is refused and nothing is written. KEYFILE is replaced whole, or left as it was.
// Exit status: 0 written, 1 refused or failed, 2 usage.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Base64Utility.h"
#include "CertificateFields.h"
#include "KeluErrors.h"
#include "OsslPtr.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "zlog/zc_util.h"
#include "zlog/zlog_output.h"

namespace {

constexpr char kProgram[] = "make_sm2_key_file";
constexpr int kKeySize = 32;
// More than any password; it also stops a wrong FILE (a device, a large file) early.
constexpr size_t kMaxPasswordInput = 4096;

constexpr char kUsage[] =
    "usage: make_sm2_key_file [--password-file FILE] KEY.pem CERT KEYFILE\n"
    "Writes the SM2 key file KEYFILE from the SM2 private key KEY.pem (PEM, not encrypted) and\n"
    "its certificate CERT (PEM or DER). The password is one line of standard input, or of FILE;\n"
    "its line end (LF or CR LF) is not part of it, and it may not be empty. On a terminal it is\n"
    "asked for twice.\n";

bool Fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
bool Fail(const char *format, ...) {
  std::fprintf(stderr, "%s: ", kProgram);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  return false;
}

struct Options {
  const char *key = nullptr;
  const char *cert = nullptr;
  const char *key_file = nullptr;
  const char *password_file = nullptr;  // null: standard input
};

enum class Command { kRun, kHelp, kUsageError };

Command UsageError(const std::string &why) {
  Fail("%s", why.c_str());
  return Command::kUsageError;
}

Command ParseArguments(int argc, char **argv, Options *options) {
  const char *positional[3];
  int count = 0;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "-h" || arg == "--help")) {
      return Command::kHelp;
    } else if (!options_done && arg == "--password-file") {
      if (++i == argc) return UsageError("--password-file needs a FILE");
      options->password_file = argv[i];
    } else if (!options_done && arg.rfind("--password-file=", 0) == 0) {
      options->password_file = argv[i] + std::strlen("--password-file=");
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + arg);
    } else if (count == 3) {
      // The old form took the password as its third argument.
      return UsageError("too many arguments: the password is read from standard input or from "
                        "--password-file FILE, never from the command line");
    } else {
      positional[count++] = argv[i];
    }
  }
  if (count != 3) return UsageError("KEY.pem, CERT and KEYFILE are needed");
  if (options->password_file != nullptr && *options->password_file == '\0')
    return UsageError("--password-file needs a FILE");
  options->key = positional[0];
  options->cert = positional[1];
  options->key_file = positional[2];
  return Command::kRun;
}

// The bytes of a password as read, wiped when it goes; text() is the password once Take has
// cut its line.
class Password {
 public:
  ~Password() { OPENSSL_cleanse(bytes_, sizeof bytes_); }
  char *buffer() { return bytes_; }
  size_t capacity() const { return sizeof bytes_ - 1; }  // room for the terminating zero
  const char *text() const { return bytes_; }
  bool operator==(const Password &other) const { return std::strcmp(bytes_, other.bytes_) == 0; }

  // Cuts the first line of the size bytes read: it ends at the first LF or at the end of the
  // input, and a CR just before that end goes with it. Refuses more lines, a zero byte (the
  // password is a C text) and an input larger than the limit.
  bool Take(size_t size, const char *source) {
    if (size > kMaxPasswordInput)
      return Fail("the password in %s is longer than %zu bytes", source, kMaxPasswordInput);
    size_t line = 0;
    while (line < size && bytes_[line] != '\n') ++line;
    if (line + 1 < size) return Fail("%s holds more than one line: the password is one line", source);
    if (std::memchr(bytes_, '\0', line) != nullptr)
      return Fail("the password in %s holds a zero byte", source);
    if (line > 0 && bytes_[line - 1] == '\r') --line;
    bytes_[line] = '\0';
    return true;
  }

 private:
  char bytes_[kMaxPasswordInput + 2] = {};
};

// Reads fd to its end, or to the first line feed when one_line, up to the buffer's capacity
// (one byte more than the limit, so that a longer input shows). The size read in *size.
bool ReadInto(int fd, bool one_line, Password *password, size_t *size, const char *source) {
  *size = 0;
  while (*size < password->capacity()) {
    const ssize_t got = read(fd, password->buffer() + *size, password->capacity() - *size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail("cannot read %s: %s", source, std::strerror(errno));
    if (got == 0) break;
    *size += static_cast<size_t>(got);
    if (one_line && std::memchr(password->buffer(), '\n', *size) != nullptr) break;
  }
  return true;
}

// The terminal's settings while echo is off, for the signal handler to put back.
struct termios g_saved_terminal;

void RestoreTerminalAndDie(int signal_number) {
  tcsetattr(STDIN_FILENO, TCSADRAIN, &g_saved_terminal);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Echo off on standard input (a terminal) for its lifetime; an interrupt puts it back too.
class EchoOff {
 public:
  EchoOff() {
    if (tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) return;
    struct termios quiet = g_saved_terminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    for (int s : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) std::signal(s, RestoreTerminalAndDie);
    active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) tcsetattr(STDIN_FILENO, TCSADRAIN, &g_saved_terminal);
    for (int s : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) std::signal(s, SIG_DFL);
  }
  EchoOff(const EchoOff &) = delete;
  EchoOff &operator=(const EchoOff &) = delete;

 private:
  bool active_ = false;
};

// Echo goes off before the prompt shows, so that nothing typed after it is echoed.
bool PromptOnTerminal(const char *prompt, Password *password) {
  size_t size = 0;
  bool ok;
  {
    EchoOff quiet;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    ok = ReadInto(STDIN_FILENO, true, password, &size, "the terminal");
  }
  std::fputc('\n', stderr);
  return ok && password->Take(size, "the terminal");
}

bool ReadPasswordText(const Options &options, Password *password) {
  if (options.password_file == nullptr && isatty(STDIN_FILENO)) {
    Password again;
    if (!PromptOnTerminal("Password for the key file: ", password) ||
        !PromptOnTerminal("The same password again: ", &again))
      return false;
    return *password == again || Fail("the two passwords differ; no key file written");
  }
  const char *source = options.password_file ? options.password_file : "standard input";
  int fd = STDIN_FILENO;
  if (options.password_file != nullptr) {
    fd = open(options.password_file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail("cannot open %s: %s", source, std::strerror(errno));
  }
  size_t size = 0;
  const bool read = ReadInto(fd, false, password, &size, source);
  if (fd != STDIN_FILENO) close(fd);
  return read && password->Take(size, source);
}

// An empty password is what a script whose variable is missing, or nothing on standard input,
// gives: refused, as such a key file opens for anyone.
bool ReadPassword(const Options &options, Password *password) {
  if (!ReadPasswordText(options, password)) return false;
  if (*password->text() != '\0') return true;
  const bool terminal = options.password_file == nullptr && isatty(STDIN_FILENO);
  return Fail("the password from %s is empty: no key file written",
              options.password_file ? options.password_file
                                    : terminal ? "the terminal" : "standard input");
}

// Counts the library's calls of the PEM password callback: an encrypted key asks for one.
int NotePasswordAsked(char *, int, int, void *asked) {
  *static_cast<bool *>(asked) = true;
  return -1;
}

// A file opened for reading, or null after saying why.
std::unique_ptr<FILE, kelu::Deleter<std::fclose>> OpenForReading(const char *path) {
  std::unique_ptr<FILE, kelu::Deleter<std::fclose>> file(std::fopen(path, "rb"));
  if (file == nullptr) Fail("cannot open %s: %s", path, std::strerror(errno));
  return file;
}

// The private scalar d of an SM2 key in PEM, 32 bytes big-endian.
bool ReadPrivateKey(const char *path, unsigned char (&d)[kKeySize]) {
  auto file = OpenForReading(path);
  if (file == nullptr) return false;
  bool asked = false;
  kelu::EvpPkeyPtr key(PEM_read_PrivateKey(file.get(), nullptr, NotePasswordAsked, &asked));
  ERR_clear_error();
  if (key == nullptr && asked)
    return Fail("%s is encrypted: write it unencrypted first (openssl pkey -in %s -out plain.pem)",
                path, path);
  if (key == nullptr) return Fail("%s holds no PEM private key", path);
  if (!EVP_PKEY_is_a(key.get(), "SM2")) return Fail("%s is not an SM2 key", path);
  BIGNUM *raw = nullptr;
  const bool got = EVP_PKEY_get_bn_param(key.get(), "priv", &raw) == 1;
  kelu::SecretBignumPtr scalar(raw);
  if (!got || BN_bn2binpad(scalar.get(), d, kKeySize) != kKeySize)
    return Fail("%s holds no SM2 private value", path);
  return true;
}

bool ReadCertificate(const char *path, std::string *bytes) {
  auto file = OpenForReading(path);
  if (file == nullptr) return false;
  char block[16384];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) bytes->append(block, got);
  if (std::ferror(file.get())) return Fail("cannot read %s: %s", path, std::strerror(errno));
  if (bytes->empty()) return Fail("%s is empty", path);
  // The writer's check of the key needs the certificate's SM2 public key: say so first.
  unsigned char *x = nullptr, *y = nullptr;
  int x_size = 0, y_size = 0;
  const int rc = kelu::GetPublicKeyXYFromSM2Cert(reinterpret_cast<const unsigned char *>(bytes->data()),
                                           static_cast<int>(bytes->size()), &x, &x_size, &y,
                                           &y_size);
  delete[] x;
  delete[] y;
  return rc == KELU_OK || Fail("%s holds no certificate with an SM2 key (PEM or DER)", path);
}

// The key file's text: the DER of the structure as one line of Base64.
bool KeyFileText(const Options &options, const std::string &cert,
                 const unsigned char (&d)[kKeySize], const Password &password, std::string *text) {
  unsigned char *der = nullptr;
  int der_size = 0;
  const int rc =
      EncapsulateSM2PFX(reinterpret_cast<const unsigned char *>(cert.data()),
                        static_cast<int>(cert.size()), d, kKeySize, password.text(), &der, &der_size);
  std::unique_ptr<unsigned char[]> owned_der(der);
  // The arguments are checked above: the writer's parameter code is then its key check.
  if (rc == KELU_ERR_INVALID_PARAMETER)
    return Fail("the key in %s is not the key of the certificate in %s; no key file written",
                options.key, options.cert);
  if (rc != KELU_OK) return Fail("the key file was not made (0x%08x)", static_cast<unsigned>(rc));
  char *base64 = nullptr;
  int length = 0;
  const int encoded = Base64EncodeEx(der, der_size, &base64, &length, ATL_BASE64_FLAG_NOCRLF);
  std::unique_ptr<char[]> owned_text(base64);
  if (encoded != KELU_OK) return Fail("the key file was not made (0x%08x)", static_cast<unsigned>(encoded));
  text->assign(base64, static_cast<size_t>(length));
  return true;
}

bool SameFile(const char *a, const char *b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The inputs are read before KEYFILE is opened: naming one of them as KEYFILE would destroy it.
bool KeyFileIsNoInput(const Options &options) {
  for (const char *input : {options.key, options.cert, options.password_file}) {
    if (input != nullptr && SameFile(options.key_file, input))
      return Fail("%s is also an input: no key file written over it", options.key_file);
  }
  return true;
}

// Where the key file goes: KEYFILE itself, or the file that a symbolic link KEYFILE names, so
// that the link stays; with the owner and mode of the file that is there.
struct Destination {
  std::string path;
  bool exists = false;
  struct stat existing = {};
};

// Anything but a regular file (a device, a folder, a link to nothing) is refused.
bool FindDestination(const char *key_file, Destination *destination) {
  destination->path.assign(key_file);
  destination->exists = false;
  struct stat link;
  if (lstat(key_file, &link) != 0) {
    if (errno == ENOENT) return true;
    return Fail("cannot look at %s: %s", key_file, std::strerror(errno));
  }
  if (stat(key_file, &destination->existing) != 0)
    return Fail("%s is a symbolic link to nothing: no key file written", key_file);
  if (!S_ISREG(destination->existing.st_mode))
    return Fail("%s exists and is not a regular file: no key file written", key_file);
  if (S_ISLNK(link.st_mode)) {
    std::unique_ptr<char, kelu::Deleter<free>> target(realpath(key_file, nullptr));
    if (target == nullptr) return Fail("cannot follow %s: %s", key_file, std::strerror(errno));
    destination->path.assign(target.get());
  }
  destination->exists = true;
  return true;
}

// A temporary file beside the destination, removed when it goes unless Keep was called.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string &destination) {
    const size_t slash = destination.rfind('/');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    path_ = destination.substr(0, name) + "." + destination.substr(name) + ".XXXXXX";
    fd_ = mkostemp(&path_[0], O_CLOEXEC);  // mode 0600
    made_ = fd_ >= 0;
  }
  ~TemporaryFile() {
    if (fd_ >= 0) close(fd_);
    if (made_ && !kept_) unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile &) = delete;
  TemporaryFile &operator=(const TemporaryFile &) = delete;

  bool opened() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string &path() const { return path_; }
  // Closes the file; false with errno when the close reports a failed write.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  int fd_ = -1;
  bool made_ = false;
  bool kept_ = false;
};

// The existing file's owner and mode on the new one, before anything is written into it.
bool TakeOverOwnerAndMode(int fd, const struct stat &existing) {
  struct stat now;
  if (fstat(fd, &now) != 0) return false;
  if ((now.st_uid != existing.st_uid || now.st_gid != existing.st_gid) &&
      fchown(fd, existing.st_uid, existing.st_gid) != 0)
    return false;
  return fchmod(fd, existing.st_mode & 07777) == 0;
}

// The key file is written whole into a temporary file in KEYFILE's folder, synced, and renamed
// over KEYFILE: a reader sees the old file or the new one, and a failure (a full disk, a quota)
// removes only the temporary file. A new file is readable by its owner only, as openssl writes
// private keys; an existing one keeps its owner and mode.
bool WriteKeyFile(const char *key_file, const std::string &text) {
  // Looked at again: it may have changed while the password was typed.
  Destination destination;
  if (!FindDestination(key_file, &destination)) return false;
  // Past a file-size limit write() then fails with EFBIG instead of the process being killed.
  std::signal(SIGXFSZ, SIG_IGN);
  const char *outcome = destination.exists ? "it is left as it was" : "no key file written";
  TemporaryFile temporary(destination.path);
  if (!temporary.opened() ||
      (destination.exists && !TakeOverOwnerAndMode(temporary.fd(), destination.existing)) ||
      !kelu::zl::WriteAll(temporary.fd(), text) || fsync(temporary.fd()) != 0 || !temporary.Close() ||
      rename(temporary.path().c_str(), destination.path.c_str()) != 0)
    return Fail("cannot write %s: %s; %s", key_file, std::strerror(errno), outcome);
  temporary.Keep();
  // The rename reaches the disk with the folder.
  const int folder =
      open(kelu::zl::FolderOf(destination.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = folder >= 0 && fsync(folder) == 0;
  const int error = errno;
  if (folder >= 0) close(folder);
  return synced || Fail("%s is written, but its folder was not synced: %s", key_file,
                        std::strerror(error));
}

bool Run(const Options &options) {
  // KEYFILE is looked at first: nothing is asked for when it cannot be written.
  Destination destination;
  if (!KeyFileIsNoInput(options) || !FindDestination(options.key_file, &destination)) return false;
  unsigned char d[kKeySize] = {0};
  Password password;
  std::string cert, text;
  bool ok = ReadPrivateKey(options.key, d);
  if (ok) {
    ok = kelu::SMKernelInitialize() == KELU_OK || Fail("the crypto library did not start");
    ok = ok && ReadCertificate(options.cert, &cert) && ReadPassword(options, &password) &&
         KeyFileText(options, cert, d, password, &text);
    kelu::SMKernelUninitialize();
  }
  OPENSSL_cleanse(d, sizeof d);
  return ok && WriteKeyFile(options.key_file, text);
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  switch (ParseArguments(argc, argv, &options)) {
    case Command::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case Command::kUsageError:
      std::fputs(kUsage, stderr);
      return 2;
    case Command::kRun:
      break;
  }
  return Run(options) ? 0 : 1;
}
