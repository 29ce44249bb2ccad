#include "LogCapture.h"

#include <gtest/gtest.h>

#include <mutex>

#include "TestSupport.h"
#include "kelu_zlog.h"

namespace kelu::test {
namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;

int Record(zlog_msg_t *msg) {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_lines.emplace_back(msg->buf, msg->len);
  return 0;
}

}  // namespace

LogCapture::LogCapture() {
  static TempDir *dir = new TempDir();  // one configuration for the test program
  std::string conf = dir->File("capture.conf");
  WriteTextFile(conf, "[formats]\nline = \"%m\"\n[rules]\nkelu_category.*  $capture; line\n");
  Take();
  EXPECT_EQ(kelu_log_init_ex(conf.c_str()), 0);
  EXPECT_EQ(zlog_set_record("capture", Record), 0);
}

LogCapture::~LogCapture() { kelu_log_fini(); }

std::vector<std::string> LogCapture::Take() {
  std::lock_guard<std::mutex> hold(g_mutex);
  std::vector<std::string> out;
  out.swap(g_lines);
  return out;
}

std::string LogCapture::Text() const {
  std::lock_guard<std::mutex> hold(g_mutex);
  std::string all;
  for (const std::string &line : g_lines) all += line;
  return all;
}

bool LogCapture::Contains(const std::string &text) const {
  return Text().find(text) != std::string::npos;
}

}  // namespace kelu::test
