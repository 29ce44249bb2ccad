// Reports of failed starts on the diagnostic channel. A start (zlog_init, dzlog_init,
// zlog_init_memory_log, the facade's starts) holds the warnings and errors it writes until it
// ends. A failed start is reported in full; the same failure is reported again at most once a
// period, followed by the number of starts that failed so since its last report; a start that
// fails for a reason not reported within the period is reported at once. Each of the last
// few reasons has its own period, so that reasons that alternate are not each reported every
// time. A successful start writes what it held as it is, and the number of failed starts left
// unreported. Starts nest (the facade calls zlog_init): the outermost one
// decides, so that one failed start of the facade is one failure. Each process reports for
// itself: a child of fork starts with no failure behind it.
#ifndef KELU_ZLOG_START_REPORT_H
#define KELU_ZLOG_START_REPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelu::zl {

constexpr int64_t kStartReportPeriodNs = 60'000'000'000;

// One start on the calling thread, from construction to End.
class StartReport {
 public:
  StartReport();
  ~StartReport();  // a start left without End failed
  StartReport(const StartReport &) = delete;
  StartReport &operator=(const StartReport &) = delete;

  // Ends the start with its result (0: it succeeded) and returns the result.
  int End(int result);

  // A warning or error line of the diagnostic channel: true when a start runs on the calling
  // thread and holds the line. stamp: the length of its leading time stamp, which is no part
  // of the failure's reason.
  static bool Hold(std::string_view line, size_t stamp);

 private:
  bool outermost_;
  bool ended_ = false;
  std::string held_;    // the lines as they are written
  std::string reason_;  // the same without their time stamps
};

// The clock the period is measured on (CoarseNow, nanoseconds); returns the one it replaces.
using StartReportClock = int64_t (*)();
StartReportClock SetStartReportClock(StartReportClock clock);

}  // namespace kelu::zl

#endif
