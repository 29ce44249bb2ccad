// Step lines as they reach a real log file through a real configuration: the OK and Failed
// formats, the crypto library's text, and which levels each file of the rules selects.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>

#include "KeluErrors.h"
#include "Misc.h"
#include "ZlogTestSupport.h"
#include "kelu_zlog.h"

namespace kelu::test {
namespace {

std::string OkLine(const TraceSite &site, const std::string &step) {
  return "[step_line_test.cpp(" + std::to_string(site.line) + ")]:(" + site.function + " -- " +
         step + ")\t\t--OK\n";
}

std::string FailedLine(const TraceSite &site, const std::string &step, const char *code,
                       const std::string &reason) {
  return "[step_line_test.cpp(" + std::to_string(site.line) + "):](" + site.function + " -- " +
         step + ")\t\t--Failed:(" + code + ") [Reason:" + reason + "]";
}

// kelu_category at INFO and above into all.log, ERROR alone into error.log; both formats end
// in %n, so each step line (which ends in a line feed) is followed by an empty line.
class StepLines : public ::testing::Test {
 protected:
  StepLines() {
    WriteTextFile(dir_.File("kelulog.conf"),
                  "[formats]\nline = \"%m%n\"\n[rules]\n"
                  "kelu_category.INFO   \"" + dir_.File("all.log") + "\"; line\n"
                  "kelu_category.=ERROR \"" + dir_.File("error.log") + "\"; line\n");
    EXPECT_EQ(kelu_log_init_ex(dir_.File("kelulog.conf").c_str()), 0);
  }
  ~StepLines() override { kelu_log_fini(); }
  std::string Log(const char *name) { return ReadTextFile(dir_.File(name)); }

  TempDir dir_;
};

TEST_F(StepLines, OkAndFailedLinesReachTheirFiles) {
  const TraceSite ok_site = KELU_HERE;
  TraceStepOK(ok_site, "Check parameter(pszAlgorithm).");
  const TraceSite failed_site = KELU_HERE;
  TraceStepFailed(failed_site, "SignData_PKCS7_BySM2PFX", KELU_ERR_FAILED, "KELU_OK != nResult");
  const TraceSite code_site = KELU_HERE;
  TraceStepFailed(code_site, "Check parameter(pszAlgorithm).", KELU_ERR_INVALID_PARAMETER,
                  "NULL == pszAlgorithm");
  TRACE(KELU_TRACE_DEBUG, "Sign algorithm:%s", "debug is below INFO");
  TRACE(KELU_TRACE_WARN, "Sign algorithm:%s", "SM2");

  std::string ok = OkLine(ok_site, "Check parameter(pszAlgorithm).");
  std::string failed =
      FailedLine(failed_site, "SignData_PKCS7_BySM2PFX", "0xffffffff", "KELU_OK != nResult") +
      "\n";
  std::string code = FailedLine(code_site, "Check parameter(pszAlgorithm).", "0x80070057",
                                "NULL == pszAlgorithm") +
                     "\n";
  EXPECT_EQ(Log("all.log"), ok + "\n" + failed + "\n" + code + "\nSign algorithm:SM2\n");
  EXPECT_EQ(Log("error.log"), failed + "\n" + code + "\n");
}

TEST_F(StepLines, FailedLineWithTheCryptoLibraryText) {
  ERR_clear_error();
  // A real failure of the library: decrypting with an unset context.
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  ASSERT_NE(ctx, nullptr);
  int out_length = 0;
  unsigned char out[32];
  EXPECT_NE(EVP_DecryptFinal_ex(ctx, out, &out_length), 1);
  EVP_CIPHER_CTX_free(ctx);
  unsigned long queued = ERR_peek_last_error();
  ASSERT_NE(queued, 0u);
  char text[256];
  ERR_error_string_n(queued, text, sizeof text);

  const TraceSite site = KELU_HERE;
  TraceStepFailedOpenssl(site, "EVP_DecryptFinal_ex", KELU_ERR_DECRYPT, "1 != nResult");
  EXPECT_EQ(ERR_peek_last_error(), queued) << "the error stays on the queue";
  EXPECT_EQ(Log("error.log"), FailedLine(site, "EVP_DecryptFinal_ex", "0x80071771",
                                         "1 != nResult") +
                                  " Openssl " + text + "\n\n");
  ERR_clear_error();
}

TEST_F(StepLines, TraceInfoAndTraceErrorWriteReadyLines) {
  TraceInfo("ready info line\n");
  TraceError("ready error line\n");
  TraceInfo(nullptr);
  EXPECT_EQ(Log("all.log"), "ready info line\n\nready error line\n\n\n");
  EXPECT_EQ(Log("error.log"), "ready error line\n\n");
}

TEST(StepLineFormat, LongStepTextIsCutInsideTheBuffer) {
  std::string step(2000, 's');
  char line[kStepLineSize];
  std::memset(line, 'x', sizeof line);
  FormatStepOK(line, TraceSite{"f.cpp", 1, "fn"}, step.c_str());
  EXPECT_EQ(std::strlen(line), kStepLineSize - 1);
  EXPECT_EQ(std::string(line, 16), "[f.cpp(1)]:(fn -");
  FormatStepFailed(line, TraceSite{"f.cpp", 2, "fn"}, "step", -1, step.c_str(), "lib text");
  EXPECT_EQ(std::strlen(line), kStepLineSize - 1);
  FormatStepFailed(line, TraceSite{"f.cpp", 3, "fn"}, "step", 0x6002, "why", nullptr);
  EXPECT_STREQ(line, "[f.cpp(3):](fn -- step)\t\t--Failed:(0x00006002) [Reason:why]\n");
}

TEST(StepLineFormat, SiteNamesTheUnitWithoutItsFolder) {
  const TraceSite site = KELU_HERE;
  EXPECT_STREQ(site.file, "step_line_test.cpp");
  EXPECT_STREQ(site.function, "TestBody");
}

TEST(StepLineFormat, NothingIsWrittenWhileLoggingIsOff) {
  ASSERT_EQ(g_ptr_kelu_category, nullptr);
  TraceStepOK(KELU_HERE, "unlogged");  // must not crash or start anything
  TraceStepFailed(KELU_HERE, "unlogged", -1, "true");
  EXPECT_EQ(g_ptr_kelu_category, nullptr);
}

}  // namespace
}  // namespace kelu::test
