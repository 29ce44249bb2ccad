// A logged INFO line of 100 bytes to a file: without rotation, with size rotation (the file is
// looked at every 4 ms of the coarse clock, and after 1/32 of its size written by the process),
// to a dynamic file (opened and closed for each line), and the stat + fstat that looking at the
// file on every line would cost. And how far the archives of processes logging together, at a
// steady pace or as fast as they can, pass their size: each process counts the others' lines
// only when it looks at the file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "zlog/zlog.h"

namespace {

using kelu::bench::BenchDir;

// file: a static name, or a dynamic one ("%c.log"), which is opened and closed for each line.
void LineToFile(benchmark::State &state, const std::string &file, const std::string &rotation) {
  BenchDir dir;
  std::string conf = dir.File("zlog.conf");
  std::string text = "[global]\nrotate lock file = " + dir.File("zlog.lock") +
                     "\n[formats]\nm = \"%m%n\"\n[rules]\n*.* \"" + dir.File(file) + "\"" +
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

bool WriteConf(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  return fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
         close(fd) == 0;
}

// One writer: lines of 100 bytes at bytes_per_ms for milliseconds, in a burst each
// millisecond of the clock; bytes_per_ms 0: as fast as it can, for as long.
void WriteAtPace(const std::string &conf, int bytes_per_ms, int milliseconds) {
  if (zlog_init(conf.c_str()) != 0) _exit(1);
  zlog_category_t *category = zlog_get_category("bench");
  const std::string line(99, 'x');
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int ms = 0; ms < milliseconds; ++ms) {
    next.tv_nsec += 1'000'000;
    if (next.tv_nsec >= 1'000'000'000) {
      next.tv_nsec -= 1'000'000'000;
      ++next.tv_sec;
    }
    if (bytes_per_ms == 0) {
      struct timespec now;
      do {
        for (int i = 0; i < 100; ++i) zlog_info(category, "%s", line.c_str());
        clock_gettime(CLOCK_MONOTONIC, &now);
      } while (now.tv_sec < next.tv_sec ||
               (now.tv_sec == next.tv_sec && now.tv_nsec < next.tv_nsec));
      continue;
    }
    for (int sent = 0; sent < bytes_per_ms; sent += 100) zlog_info(category, "%s", line.c_str());
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  zlog_fini();
  _exit(0);
}

// state.range(0) processes at state.range(1) MB/s each (0: as fast as they can) for two
// seconds on a "1MB" file: the median and largest archive size above the limit, in percent.
void ArchiveExcessAtPace(benchmark::State &state) {
  const int writers = static_cast<int>(state.range(0));
  const int bytes_per_ms = static_cast<int>(state.range(1)) * 1000;
  constexpr int kMilliseconds = 2000;
  constexpr double kLimit = 1024 * 1024;
  std::vector<double> excess;
  double seconds = 0, written = 0;
  for (auto _ : state) {
    BenchDir dir;
    std::string conf = dir.File("zlog.conf");
    if (!WriteConf(conf, "[formats]\nm = \"%m%n\"\n[rules]\n*.* \"" + dir.File("p.log") +
                             "\", 1MB * 0 ~ \"" + dir.File("p.log.#s") + "\"; m\n")) {
      state.SkipWithError("configuration not written");
      return;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
      pid_t child = fork();
      if (child == 0) WriteAtPace(conf, bytes_per_ms, kMilliseconds);
      children.push_back(child);
    }
    for (pid_t child : children) waitpid(child, nullptr, 0);
    clock_gettime(CLOCK_MONOTONIC, &end);
    seconds += static_cast<double>(end.tv_sec - start.tv_sec) +
               static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    struct stat st;
    if (stat(dir.File("p.log").c_str(), &st) == 0) written += static_cast<double>(st.st_size);
    for (int i = 0; stat(dir.File("p.log." + std::to_string(i)).c_str(), &st) == 0; ++i) {
      written += static_cast<double>(st.st_size);
      excess.push_back((static_cast<double>(st.st_size) - kLimit) / kLimit * 100);
    }
  }
  if (excess.empty()) {
    state.SkipWithError("no archive");
    return;
  }
  std::sort(excess.begin(), excess.end());
  state.counters["archives"] = static_cast<double>(excess.size());
  state.counters["median_excess_pct"] = excess[excess.size() / 2];
  state.counters["largest_excess_pct"] = excess.back();
  // The pace the writers kept: below the one asked for when the machine could not keep up.
  state.counters["MB_per_s_per_process"] = written / writers / seconds / 1e6;
}

BENCHMARK_CAPTURE(LineToFile, plain, std::string("b.log"), std::string());
BENCHMARK_CAPTURE(LineToFile, rotated_10MB_x2, std::string("b.log"), std::string(", 10MB * 2"));
BENCHMARK_CAPTURE(LineToFile, dynamic, std::string("%c.log"), std::string());
BENCHMARK(PathAndDescriptorLook);
BENCHMARK(ArchiveExcessAtPace)
    ->ArgNames({"processes", "MB_per_s"})
    ->Args({1, 30})
    ->Args({3, 30})
    ->Args({4, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
