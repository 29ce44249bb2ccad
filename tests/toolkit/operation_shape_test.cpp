// The shape shared by the exported functions: parameter checks, named files, the algorithm
// choice and the replacement of the generic failure, with the step lines each writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LogCapture.h"
#include "OperationShape.h"
#include "TestSupport.h"

namespace kelu::toolkit {
namespace {

using test::LogCapture;

// Stand-ins for exported functions, each reading as the list of its steps.
int TakesText(const char *pszAlgorithm) {
  KELU_CHECK_TEXT(pszAlgorithm);
  return KELU_OK;
}

int TakesData(const unsigned char *pbySourceData, int nSourceSize) {
  KELU_CHECK_DATA(pbySourceData, nSourceSize);
  return KELU_OK;
}

int TakesOutputs(char **ppszOut, unsigned char **ppbyPlainData, int *pnPlainDataSize) {
  KELU_CHECK_OUTPUT(ppszOut);
  KELU_CHECK_OUTPUT_PAIR(ppbyPlainData, pnPlainDataSize);
  return KELU_OK;
}

int OpensFile(const char *pszEncryptFilePath) {
  FilePtr fpEncryptFile;
  KELU_OPEN_FILE(pszEncryptFilePath, "rb", fpEncryptFile);
  return std::fgetc(fpEncryptFile.get()) == EOF ? KELU_OK : KELU_ERR_READ_FILE;
}

class OperationShape : public ::testing::Test {
 protected:
  LogCapture log_;
};

struct TextCase {
  const char *value;
  int want;
};

TEST_F(OperationShape, TextParameterMustBeNonEmpty) {
  const TextCase cases[] = {{"SM2", KELU_OK}, {"", KELU_ERR_INVALID_PARAMETER},
                            {nullptr, KELU_ERR_INVALID_PARAMETER}};
  for (const TextCase &c : cases) {
    log_.Take();
    EXPECT_EQ(TakesText(c.value), c.want) << (c.value ? c.value : "null");
    std::string text = log_.Text();
    if (c.want == KELU_OK) {
      EXPECT_NE(text.find("(TakesText -- Check parameter(pszAlgorithm).)\t\t--OK\n"), std::string::npos)
          << text;
    } else {
      EXPECT_NE(text.find("(TakesText -- Check parameter(pszAlgorithm).)\t\t--Failed:(0x80070057) "
                          "[Reason:(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))]\n"),
                std::string::npos)
          << text;
    }
  }
}

TEST_F(OperationShape, StepLinesNameTheUnitByItsBaseName) {
  TakesText("x");
  std::vector<std::string> lines = log_.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[operation_shape_test.cpp(", 0), 0u) << lines[0];
}

TEST_F(OperationShape, DataParameterNeedsPointerAndSize) {
  const unsigned char byte = 0;
  EXPECT_EQ(TakesData(&byte, 1), KELU_OK);
  EXPECT_EQ(TakesData(&byte, 0), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(TakesData(nullptr, 1), KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains("(TakesData -- Check parameter(pbySourceData and nSourceSize).)\t\t"
                            "--Failed:(0x80070057) [Reason:(NULL == pbySourceData || 0 == nSourceSize)]"));
}

TEST_F(OperationShape, OutputsAreCheckedInOrder) {
  char *text = nullptr;
  unsigned char *data = nullptr;
  int size = 0;
  EXPECT_EQ(TakesOutputs(&text, &data, &size), KELU_OK);
  log_.Take();
  EXPECT_EQ(TakesOutputs(nullptr, &data, &size), KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains("(TakesOutputs -- Check output parameter(ppszOut))\t\t--Failed:"
                            "(0x80070057) [Reason:NULL == ppszOut]"));
  EXPECT_FALSE(log_.Contains("ppbyPlainData")) << "the first failure ends the call";
  EXPECT_EQ(TakesOutputs(&text, &data, nullptr), KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains("Check output parameter(ppbyPlainData and pnPlainDataSize).)\t\t"
                            "--Failed:(0x80070057) [Reason:(NULL == ppbyPlainData || NULL == "
                            "pnPlainDataSize)]"));
}

TEST_F(OperationShape, NamedFileOpensOrFailsWithOpenFile) {
  test::TempDir dir;
  test::WriteTextFile(dir.File("empty"), "");
  EXPECT_EQ(OpensFile(dir.File("empty").c_str()), KELU_OK);
  EXPECT_TRUE(log_.Contains("(OpensFile -- fopen(pszEncryptFilePath))\t\t--OK\n"));
  EXPECT_EQ(OpensFile(dir.File("missing").c_str()), KELU_ERR_OPEN_FILE);
  EXPECT_EQ(OpensFile(nullptr), KELU_ERR_OPEN_FILE);
  EXPECT_TRUE(log_.Contains("(OpensFile -- fopen(pszEncryptFilePath))\t\t--Failed:(0x8007006e) "
                            "[Reason:NULL == fpEncryptFile]"));
}

struct NameCase {
  const char *name;
  AsymAlgorithm want;
};

TEST(ChooseAlgorithm, NamesAreCaseInsensitiveAndExact) {
  const NameCase cases[] = {
      {"SM2", AsymAlgorithm::kSM2},     {"sm2", AsymAlgorithm::kSM2},
      {"RSA", AsymAlgorithm::kRSA},     {"Rsa", AsymAlgorithm::kRSA},
      {"SM2 ", AsymAlgorithm::kUnknown}, {"SM", AsymAlgorithm::kUnknown},
      {"XYZ", AsymAlgorithm::kUnknown}, {"", AsymAlgorithm::kUnknown},
      {nullptr, AsymAlgorithm::kUnknown}};
  for (const NameCase &c : cases)
    EXPECT_EQ(ChooseAlgorithm(c.name), c.want) << (c.name ? c.name : "null");
}

TEST_F(OperationShape, UnknownAlgorithmIsAnInvalidParameter) {
  EXPECT_EQ(RefuseAlgorithm(KELU_HERE, "Invalid sign algorithm."), KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains("Invalid sign algorithm.)\t\t--Failed:(0x80070057) [Reason:true]"));
}

struct FinishCase {
  int result;
  int replacement;
  int want;
};

TEST_F(OperationShape, OnlyTheGenericFailureIsReplaced) {
  const FinishCase cases[] = {
      {KELU_OK, KELU_ERR_SIGN, KELU_OK},
      {KELU_ERR_FAILED, KELU_ERR_SIGN, KELU_ERR_SIGN},
      {KELU_ERR_FAILED, KELU_ERR_FAILED, KELU_ERR_FAILED},  // "unchanged" functions
      {KELU_ERR_KEY_USAGE, KELU_ERR_SIGN, KELU_ERR_KEY_USAGE},
      {KELU_ERR_OPEN_FILE, KELU_ERR_DECRYPT, KELU_ERR_OPEN_FILE},
  };
  for (const FinishCase &c : cases)
    EXPECT_EQ(FinishOperation(KELU_HERE, "SignData_PKCS7_BySM2PFX", c.result, c.replacement), c.want);
  EXPECT_TRUE(log_.Contains("SignData_PKCS7_BySM2PFX)\t\t--OK\n"));
  EXPECT_TRUE(log_.Contains("SignData_PKCS7_BySM2PFX)\t\t--Failed:(0xa0071107) [Reason:KELU_OK != nResult]"));
  EXPECT_TRUE(log_.Contains("SignData_PKCS7_BySM2PFX)\t\t--Failed:(0xffffffff) [Reason:KELU_OK != nResult]"));
  EXPECT_TRUE(log_.Contains("SignData_PKCS7_BySM2PFX)\t\t--Failed:(0xa0072021) [Reason:KELU_OK != nResult]"));
}

}  // namespace
}  // namespace kelu::toolkit
