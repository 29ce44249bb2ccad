#include "zlog_start_report.h"

#include <pthread.h>

#include <functional>
#include <mutex>

#include "zc_profile.h"
#include "zc_util.h"

namespace kelu::zl {

namespace {

thread_local StartReport *running_start = nullptr;

// The failed starts of this process since its last successful one, by reason: a few reasons
// that alternate (a configuration edited back and forth) are each reported once a period.
struct Failure {
  size_t reason = 0;    // hash of the lines of the failure
  int64_t next_at = 0;  // when it is reported again
  uint64_t unreported = 0;
};
constexpr size_t kReasonsKept = 8;
struct Failures {
  Failure recent[kReasonsKept];
  size_t kept = 0;
};

// Guards failures and report_clock. Nothing else is taken or written while it is held.
pthread_mutex_t failures_mutex = PTHREAD_MUTEX_INITIALIZER;
Failures failures;
StartReportClock report_clock = CoarseNow;

void LockFailures() { pthread_mutex_lock(&failures_mutex); }
void UnlockFailures() { pthread_mutex_unlock(&failures_mutex); }
void ForgetFailuresInChild() {
  failures = Failures{};
  UnlockFailures();
}

void RegisterForkHandlersOnce() {
  static std::once_flag once;
  std::call_once(once,
                 [] { RegisterForkLocks(LockFailures, UnlockFailures, ForgetFailuresInChild); });
}

// What an ending start writes: the lines it held or none, and the number of starts that
// failed since the last report (0: no such line).
struct Verdict {
  bool write_held = true;
  uint64_t failed_since = 0;
};

// The entry of reason, or a new one in place of the one due soonest when all are taken.
Failure &EntryFor(size_t reason, bool *found) {
  Failure *soonest = nullptr;
  for (size_t i = 0; i < failures.kept; ++i) {
    Failure &entry = failures.recent[i];
    if (entry.reason == reason) {
      *found = true;
      return entry;
    }
    if (soonest == nullptr || entry.next_at < soonest->next_at) soonest = &entry;
  }
  *found = false;
  Failure &fresh = failures.kept < kReasonsKept ? failures.recent[failures.kept++] : *soonest;
  fresh = Failure{reason, 0, 0};
  return fresh;
}

Verdict Judge(bool failed, size_t reason) {
  Verdict verdict;
  LockFailures();
  if (!failed) {
    for (size_t i = 0; i < failures.kept; ++i) {
      verdict.failed_since += failures.recent[i].unreported;
    }
    failures = Failures{};
  } else {
    int64_t now = report_clock();
    bool found;
    Failure &entry = EntryFor(reason, &found);
    if (found && now < entry.next_at) {
      ++entry.unreported;
      verdict.write_held = false;
    } else {
      if (entry.unreported > 0) verdict.failed_since = entry.unreported + 1;
      entry.next_at = now + kStartReportPeriodNs;
      entry.unreported = 0;
    }
  }
  UnlockFailures();
  return verdict;
}

}  // namespace

StartReport::StartReport() : outermost_(running_start == nullptr) {
  RegisterForkHandlersOnce();
  if (outermost_) running_start = this;
}

StartReport::~StartReport() {
  if (!ended_) End(-1);
}

int StartReport::End(int result) {
  if (!outermost_ || ended_) return result;
  ended_ = true;
  running_start = nullptr;  // the lines below are written at once
  Verdict verdict = Judge(result != 0, std::hash<std::string_view>{}(reason_));
  if (verdict.write_held) AppendErrorLines(held_);
  if (verdict.failed_since > 0) {
    zc_error("%llu starts failed since the last report",
             static_cast<unsigned long long>(verdict.failed_since));
  }
  return result;
}

bool StartReport::Hold(std::string_view line, size_t stamp) {
  StartReport *start = running_start;
  if (start == nullptr) return false;
  size_t before = start->held_.size();
  try {
    start->held_.append(line);
    start->reason_.append(line.substr(stamp < line.size() ? stamp : line.size()));
  } catch (...) {
    start->held_.resize(before);  // out of memory: the line is written at once
    return false;
  }
  return true;
}

StartReportClock SetStartReportClock(StartReportClock replacement) {
  LockFailures();
  StartReportClock old = report_clock;
  report_clock = replacement;
  UnlockFailures();
  return old;
}

}  // namespace kelu::zl
