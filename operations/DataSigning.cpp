#include "DataSigning.h"

#include <openssl/bn.h>

#include <cinttypes>
#include <cstring>

#include "KeluErrors.h"
#include "Misc.h"
#include "NationalObjects.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM3.h"
#include "kelu_zlog.h"

namespace {

using kelu::SM3_CTX;
constexpr size_t kZValueSize = 32;
constexpr int kCoordinateSize = 32;

int CheckDigestArguments(const TraceSite &site, const unsigned char *digest,
                         const unsigned char *x, const unsigned char *y, bool with_z) {
  return TraceCheck(site, digest != nullptr && (!with_z || (x != nullptr && y != nullptr)),
                    "Check Parameters(pbyHashValue)", KELU_ERR_INVALID_PARAMETER,
                    "NULL == pbyHashValue || (bWithZValue && (NULL == X || NULL == Y))");
}

// SM3_Init and, with the Z value, Z of the public key for the default user ID in front.
int StartDigest(const TraceSite &site, SM3_CTX *ctx, const unsigned char *x,
                const unsigned char *y, bool with_z) {
  std::memset(ctx, 0, sizeof *ctx);
  int rc = TraceCheck(site, kelu::SM3_Init(ctx) == 1, "SM3_Init", KELU_ERR_FAILED,
                      "nResult != 1");
  if (rc != KELU_OK || !with_z) return rc;
  unsigned char z[kZValueSize] = {};
  rc = TraceCheck(site, kelu::_SM2_CalculateDefaultZValue(x, y, z) == 1,
                  "_SM2_CalculateDefaultZValue", KELU_ERR_FAILED, "nResult != 1");
  if (rc != KELU_OK) return rc;
  return TraceCheck(site, kelu::SM3_Update(ctx, z, sizeof z) == 1, "SM3_Update(Z)",
                    KELU_ERR_FAILED, "nResult != 1");
}

// Finishes into a local buffer, so that the caller's is written only on success.
int FinishDigest(const TraceSite &site, SM3_CTX *ctx, unsigned char *out) {
  unsigned char md[kelu::kSM3DigestLength];
  int rc = TraceCheck(site, kelu::SM3_Final(md, ctx) == 1, "SM3_Final", KELU_ERR_FAILED,
                      "nResult != 1");
  if (rc == KELU_OK) std::memcpy(out, md, sizeof md);
  return rc;
}

// The count of each read, logged ahead of the read's step line.
void LogBlockRead(size_t ulOnceReadSize) {
  TRACE(KELU_TRACE_INFO, "Once read file size: %zu", ulOnceReadSize);
}

kelu::BignumPtr HexNumber(const char *hex) {
  BIGNUM *bn = nullptr;
  if (BN_hex2bn(&bn, hex) == 0) return nullptr;
  return kelu::BignumPtr(bn);
}

}  // namespace

int CalculateSM3Hash(const unsigned char *pbySourceData, int nSourceDataSize,
                     const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                     unsigned char *pbyHashValue, bool bWithZValue) {
  int rc = TraceCheck(KELU_HERE,
                      nSourceDataSize >= 0 && (pbySourceData != nullptr || nSourceDataSize == 0),
                      "Check Parameters(pbySourceData)", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pbySourceData || 0 > nSourceDataSize");
  if (rc != KELU_OK) return rc;
  rc = CheckDigestArguments(KELU_HERE, pbyHashValue, pbyPublicX, pbyPublicY, bWithZValue);
  if (rc != KELU_OK) return rc;
  SM3_CTX ctx;
  rc = StartDigest(KELU_HERE, &ctx, pbyPublicX, pbyPublicY, bWithZValue);
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE,
                  kelu::SM3_Update(&ctx, pbySourceData, static_cast<size_t>(nSourceDataSize)) == 1,
                  "SM3_Update(Source)", KELU_ERR_FAILED, "nResult != 1");
  if (rc != KELU_OK) return rc;
  return FinishDigest(KELU_HERE, &ctx, pbyHashValue);
}

int CalculateSM3FileHash(FILE *fpSourceFile, uint64_t ulBytesToRead,
                         const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                         unsigned char *pbyHashValue, bool bWithZValue) {
  int rc = TraceCheck(KELU_HERE, fpSourceFile != nullptr, "Check Parameters(fpSourceFile)",
                      KELU_ERR_INVALID_PARAMETER, "NULL == fpSourceFile");
  if (rc != KELU_OK) return rc;
  rc = CheckDigestArguments(KELU_HERE, pbyHashValue, pbyPublicX, pbyPublicY, bWithZValue);
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "Bytes to read from file: %" PRIu64 "\n", ulBytesToRead);
  SM3_CTX ctx;
  rc = StartDigest(KELU_HERE, &ctx, pbyPublicX, pbyPublicY, bWithZValue);
  if (rc != KELU_OK) return rc;
  unsigned char block[BLOCK_SIZE];
  uint64_t total = 0;
  while (total < ulBytesToRead) {
    const bool full = ulBytesToRead - total >= BLOCK_SIZE;
    const size_t want = full ? BLOCK_SIZE : static_cast<size_t>(ulBytesToRead - total);
    rc = ReadFileBlock(KELU_HERE, fpSourceFile, block, want, "fread(fpSourceFile)",
                       full ? "ulOnceReadSize != BLOCK_SIZE || ferror(fpSourceFile) != 0"
                            : "ulOnceReadSize != ulBytesToRead || ferror(fpSourceFile) != 0",
                       LogBlockRead);
    if (rc != KELU_OK) return rc;
    rc = TraceCheck(KELU_HERE, kelu::SM3_Update(&ctx, block, want) == 1,
                    full ? "SM3_Update(file block)" : "SM3_Update(final block)", KELU_ERR_FAILED,
                    "nResult != 1");
    if (rc != KELU_OK) return rc;
    total += want;
  }
  TRACE(KELU_TRACE_INFO, "Total read file size: %" PRIu64, total);
  return FinishDigest(KELU_HERE, &ctx, pbyHashValue);
}

int CalculateSM3FileHashEx(FILE *fpSourceFile, const unsigned char *pbyPublicX,
                           const unsigned char *pbyPublicY, unsigned char *pbyHashValue,
                           bool bWithZValue) {
  uint64_t size = 0;
  int rc = MeasureFile(KELU_HERE, fpSourceFile, "GetFileSize", &size);
  if (rc != KELU_OK) return rc;
  rc = CalculateSM3FileHash(fpSourceFile, size, pbyPublicX, pbyPublicY, pbyHashValue,
                            bWithZValue);
  return TraceCheck(KELU_HERE, rc == KELU_OK, "CalculateSM3FileHash", rc, "KELU_OK != nResult");
}

int SM2_CalculateZValue(const unsigned char *pbyUserID, int nUserIDSize,
                        const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                        unsigned char *pbyZValue) {
  // ENTL, the ID's length in bits, has 16 bits.
  if (nUserIDSize < 0 || nUserIDSize > kelu::SM2_MAX_ID_LENGTH) return 0;
  if ((pbyUserID == nullptr && nUserIDSize != 0) || pbyPublicX == nullptr ||
      pbyPublicY == nullptr || pbyZValue == nullptr) {
    return 0;
  }
  const kelu::NationalCurve *curve = kelu::FindNationalCurve(kelu::NID_prime256v1SM2);
  if (curve == nullptr) return 0;
  kelu::BignumPtr a = HexNumber(curve->a), b = HexNumber(curve->b);
  kelu::BignumPtr gx = HexNumber(curve->gx), gy = HexNumber(curve->gy);
  kelu::BignumPtr x(BN_new()), y(BN_new());
  if (!a || !b || !gx || !gy || !x || !y) return 0;
  if (kelu::_SM2_Bytes2BN(pbyPublicX, kCoordinateSize, x.get()) != 1 ||
      kelu::_SM2_Bytes2BN(pbyPublicY, kCoordinateSize, y.get()) != 1) {
    return 0;
  }
  static const unsigned char kNoId[1] = {0};
  unsigned char z[kZValueSize];
  if (kelu::_SM2_CalculateZValue(pbyUserID != nullptr ? pbyUserID : kNoId, nUserIDSize, a.get(),
                                 b.get(), gx.get(), gy.get(), x.get(), y.get(), z) != 1) {
    return 0;
  }
  std::memcpy(pbyZValue, z, sizeof z);
  return 1;
}
