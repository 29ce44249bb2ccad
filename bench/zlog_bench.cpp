// A logged INFO line of 100 bytes to a file: without rotation, with size rotation (whose look at
// the file the other processes may have rotated happens at most once per 4 ms of the coarse
// clock), and the stat + fstat that looking at the file on every line would cost.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "zlog/zlog.h"

namespace {

// A fresh folder under /tmp, removed with the files in it.
class BenchDir {
 public:
  BenchDir() {
    char name[] = "/tmp/kelu-bench-XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
  }
  ~BenchDir() {
    if (DIR *dir = opendir(path_.c_str())) {
      while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") unlink((path_ + "/" + name).c_str());
      }
      closedir(dir);
    }
    rmdir(path_.c_str());
  }
  BenchDir(const BenchDir &) = delete;
  BenchDir &operator=(const BenchDir &) = delete;
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void LineToFile(benchmark::State &state, const std::string &rotation) {
  BenchDir dir;
  std::string conf = dir.File("zlog.conf");
  std::string text = "[global]\nrotate lock file = " + dir.File("zlog.lock") +
                     "\n[formats]\nm = \"%m%n\"\n[rules]\n*.* \"" + dir.File("b.log") + "\"" +
                     rotation + "; m\n";
  int fd = open(conf.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      close(fd) != 0 || zlog_init(conf.c_str()) != 0) {
    state.SkipWithError("zlog_init failed");
    return;
  }
  zlog_category_t *category = zlog_get_category("bench");
  const std::string line(99, 'x');
  for (auto _ : state) zlog_info(category, "%s", line.c_str());
  zlog_fini();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 100);
}

void PathAndDescriptorLook(benchmark::State &state) {
  BenchDir dir;
  std::string path = dir.File("b.log");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  struct stat by_fd, by_path;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fstat(fd, &by_fd));
    benchmark::DoNotOptimize(stat(path.c_str(), &by_path));
  }
  close(fd);
}

BENCHMARK_CAPTURE(LineToFile, plain, std::string());
BENCHMARK_CAPTURE(LineToFile, rotated_10MB_x2, std::string(", 10MB * 2"));
BENCHMARK(PathAndDescriptorLook);

}  // namespace

BENCHMARK_MAIN();
