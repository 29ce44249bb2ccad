// Opening files and making folders through no other user's symbolic link (OpenNoForeignLink,
// MakeFolders): which links are followed, for root and for an unprivileged process, and whose
// the files and folders made in another user's folder are.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ZlogTestSupport.h"
#include "zlog/zc_open.h"

namespace kelu::test {
namespace {

using zl::ForeignLink;
using zl::MakeFolders;
using zl::OpenNoForeignLink;

constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
constexpr int kRefused = 40;  // a child's exit status: refused, the link named as expected

// body() in a child process run as who; its exit status, -1 when it does not end normally.
template <class Body>
int InChild(RunAs who, Body body) {
  pid_t child = fork();
  if (child == 0) {
    if (who == RunAs::kWorkerUser && !BecomeWorkerUser()) _exit(99);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool EndsWith(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct stat StatusOf(const std::string &path) {
  struct stat st = {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

// A folder "logs" of the worker's and, beside it, a folder "target" of root's holding "t.log",
// which every user may write: only the rule on links keeps a byte out of it.
class LinkFixture {
 public:
  LinkFixture() {
    EXPECT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    EXPECT_EQ(mkdir(Logs("").c_str(), 0755), 0);
    EXPECT_EQ(chown(Logs("").c_str(), TheWorkerUser().uid, TheWorkerUser().gid), 0);
    EXPECT_EQ(mkdir(Target("").c_str(), 0755), 0);
    WriteTextFile(Target("t.log"), "");
    EXPECT_EQ(chmod(Target("t.log").c_str(), 0666), 0);
  }
  std::string Logs(const std::string &name) const { return In("logs", name); }
  std::string Target(const std::string &name) const { return In("target", name); }
  // A link at name in logs, owned by owner; "@T@" in text names the target folder.
  void Link(const std::string &name, std::string text, uid_t owner) const {
    if (text.rfind("@T@", 0) == 0) text.replace(0, 3, Target(""));
    ASSERT_EQ(symlink(text.c_str(), Logs(name).c_str()), 0);
    ASSERT_EQ(lchown(Logs(name).c_str(), owner, static_cast<gid_t>(-1)), 0);
  }

 private:
  std::string In(const std::string &folder, const std::string &name) const {
    return dir_.File(folder) + (name.empty() ? "" : "/" + name);
  }
  TempDir dir_;
};

enum class Owner { kRoot, kWorker, kThirdUser };

uid_t UidOf(Owner owner) {
  switch (owner) {
    case Owner::kRoot: return 0;
    case Owner::kWorker: return TheWorkerUser().uid;
    default: return 1;  // daemon on Debian; any user but root and the worker
  }
}

struct LinkCase {
  const char *name;
  RunAs who;
  Owner owner;       // of the link
  const char *link;  // its name in logs
  const char *text;  // its text
  const char *open;  // the path opened, in logs
  bool followed;
};

TEST(ZcOpen, OnlyLinksOfRootAndOfTheProcesssUserAreFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "links of other users need root";
  const LinkCase cases[] = {
      {"root, root's link", RunAs::kTestUser, Owner::kRoot, "l.log", "@T@/t.log", "l.log", true},
      {"root, root's folder link", RunAs::kTestUser, Owner::kRoot, "d", "../target", "d/t.log",
       true},
      {"root, the worker's link", RunAs::kTestUser, Owner::kWorker, "l.log", "@T@/t.log", "l.log",
       false},
      {"root, the worker's relative link", RunAs::kTestUser, Owner::kWorker, "l.log",
       "../target/t.log", "l.log", false},
      {"root, the worker's folder link", RunAs::kTestUser, Owner::kWorker, "d", "@T@", "d/t.log",
       false},
      {"root, the worker's link to a missing file", RunAs::kTestUser, Owner::kWorker, "l.log",
       "@T@/new.log", "l.log", false},
      {"worker, its own link", RunAs::kWorkerUser, Owner::kWorker, "l.log", "../target/t.log",
       "l.log", true},
      {"worker, root's folder link", RunAs::kWorkerUser, Owner::kRoot, "d", "@T@/", "d/t.log",
       true},
      {"worker, a third user's link", RunAs::kWorkerUser, Owner::kThirdUser, "l.log",
       "@T@/t.log", "l.log", false},
      {"worker, a third user's folder link", RunAs::kWorkerUser, Owner::kThirdUser, "d", "@T@",
       "d/t.log", false},
  };
  for (const LinkCase &c : cases) {
    SCOPED_TRACE(c.name);
    LinkFixture fixture;
    fixture.Link(c.link, c.text, UidOf(c.owner));
    const std::string path = fixture.Logs(c.open);
    int status = InChild(c.who, [&] {
      ForeignLink refused;
      int fd = OpenNoForeignLink(path.c_str(), kFlags, 0640, &refused);
      if (fd >= 0) return write(fd, "x", 1) == 1 && close(fd) == 0 ? 0 : 1;
      bool named = errno == ELOOP && EndsWith(refused.path, "/logs/" + std::string(c.link)) &&
                   refused.owner == UidOf(c.owner);
      return named ? kRefused : 2;
    });
    EXPECT_EQ(status, c.followed ? 0 : kRefused);
    EXPECT_EQ(ReadTextFile(fixture.Target("t.log")), c.followed ? "x" : "");
    EXPECT_FALSE(FileExists(fixture.Target("new.log"))) << "nothing made through a link";
  }
}

// Links of /proc name open files, pipes among them, that no path reaches; the kernel's limit
// of links in a path holds.
TEST(ZcOpen, LinksOfProcAndLoopsOfLinks) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  int fd = OpenNoForeignLink(("/dev/fd/" + std::to_string(ends[1])).c_str(), kFlags, 0600);
  ASSERT_GE(fd, 0) << errno;
  EXPECT_EQ(write(fd, "x", 1), 1);
  char byte = 0;
  EXPECT_EQ(read(ends[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  close(fd);
  close(ends[0]);
  close(ends[1]);

  TempDir dir;
  ASSERT_EQ(symlink("b", dir.File("a").c_str()), 0);
  ASSERT_EQ(symlink("a", dir.File("b").c_str()), 0);
  ForeignLink refused;
  EXPECT_EQ(OpenNoForeignLink(dir.File("a").c_str(), kFlags, 0600, &refused), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(refused.path, "") << "a loop, not a refusal";
}

// A FIFO that the folder's owner puts at a log's path holds no open: without a reader the open
// for writing fails at once, and with one the descriptor writes as a blocking one does.
TEST(ZcOpen, FifoAtThePathNeverHoldsTheOpen) {
  TempDir dir;
  const std::string fifo = dir.File("kelu.log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  alarm(10);  // a hang ends the test program rather than CI's time
  EXPECT_EQ(OpenNoForeignLink(fifo.c_str(), kFlags, 0600), -1);
  EXPECT_EQ(errno, ENXIO);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  int fd = OpenNoForeignLink(fifo.c_str(), kFlags, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_APPEND), O_APPEND);
  EXPECT_EQ(write(fd, "line\n", 5), 5);
  char text[8] = {};
  EXPECT_EQ(read(reader, text, sizeof text), 5);
  close(fd);
  // A lock file is opened for reading: it opens at once, and without the flag too.
  fd = OpenNoForeignLink(fifo.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  close(fd);
  close(reader);
  alarm(0);
}

struct OwnerCase {
  const char *name;
  RunAs who;
  Owner folder_owner;
  mode_t folder_mode;
  Owner made_owner;  // of the file and folders made there
};

// A file or folder made anew in another user's folder is that user's, so that a root job that
// comes first leaves the pool files it can write; in the process's own folder it is the
// process's. An unprivileged process cannot give its files away.
TEST(ZcOpen, FilesAndFoldersMadeInAnotherUsersFolderAreTheFolderOwners) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
  const OwnerCase cases[] = {
      {"root in the worker's folder", RunAs::kTestUser, Owner::kWorker, 0755, Owner::kWorker},
      {"root in its own folder", RunAs::kTestUser, Owner::kRoot, 0755, Owner::kRoot},
      {"the worker in its own folder", RunAs::kWorkerUser, Owner::kWorker, 0755, Owner::kWorker},
      {"the worker in root's open folder", RunAs::kWorkerUser, Owner::kRoot, 0777,
       Owner::kWorker},
  };
  for (const OwnerCase &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string folder = dir.File("f");
    const uid_t folder_uid = UidOf(c.folder_owner);
    const gid_t folder_gid = c.folder_owner == Owner::kWorker ? TheWorkerUser().gid : 0;
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(chown(folder.c_str(), folder_uid, folder_gid), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    const std::string file = folder + "/f.log";
    int status = InChild(c.who, [&] {
      int fd = OpenNoForeignLink(file.c_str(), kFlags, 0640);
      if (fd < 0) return 1;
      // Opened by its name, not as the unnamed file it was made as.
      char target[4096];
      ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target,
                           sizeof target - 1);
      if (n < 0 || std::string(target, static_cast<size_t>(n)) != file) return 2;
      close(fd);
      MakeFolders((folder + "/a/b/x.log").c_str());
      return 0;
    });
    ASSERT_EQ(status, 0);
    const uid_t uid = UidOf(c.made_owner);
    const gid_t gid = c.made_owner == Owner::kWorker ? TheWorkerUser().gid : 0;
    for (const std::string &made : {file, folder + "/a", folder + "/a/b"}) {
      struct stat st = StatusOf(made);
      EXPECT_EQ(st.st_uid, uid) << made;
      EXPECT_EQ(st.st_gid, gid) << made;
    }
    EXPECT_EQ(StatusOf(file).st_mode & 07777, 0640u);
    EXPECT_FALSE(FileExists(folder + "/a/b/x.log"));
  }
}

}  // namespace
}  // namespace kelu::test
