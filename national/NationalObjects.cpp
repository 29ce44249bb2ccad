#include "NationalObjects.h"

#include <openssl/bn.h>
#include <openssl/objects.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "OsslPtr.h"

namespace kelu {
namespace {

constexpr uint8_t kDerSM2Curve[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
constexpr uint8_t kDerSM2TestCurve[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x86, 0x78};
constexpr uint8_t kDerSM3[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11};
constexpr uint8_t kDerSM4[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x68};
constexpr uint8_t kDerSM2WithSM3[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75};
constexpr uint8_t kDerSM1[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x66};
constexpr uint8_t kDerZUC[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x69};
constexpr uint8_t kDerSM2Pkcs7[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x01};
constexpr uint8_t kDerSMData[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x01};
constexpr uint8_t kDerSMSigned[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02};

#define KELU_DER(octets) octets, sizeof octets
const NationalObject kObjects[] = {
    {NID_prime256v1SM2, "ChinaSM2256", "prime256v1SM2", "1.2.156.10197.1.301",
     KELU_DER(kDerSM2Curve)},
    {NID_prime256v1SM2TEST, "ChinaSM2TEST256", "prime256v1SM2TEST", "1.2.156.10197.1.888",
     KELU_DER(kDerSM2TestCurve)},
    {NID_ChinaSM3, "sm3", "ChinaSM3", "1.2.156.10197.1.401", KELU_DER(kDerSM3)},
    {NID_ChinaSM4_CBC, "sm4-cbc", "ChinaSM4-CBC", "1.2.156.10197.1.104", KELU_DER(kDerSM4)},
    {NID_ChinaSM2withSM3, "sm2-sm3", "ChinaSM2withSM3", "1.2.156.10197.1.501",
     KELU_DER(kDerSM2WithSM3)},
    {NID_ChinaSM1_CBC, "sm1-cbc", "ChinaSM1-CBC", "1.2.156.10197.1.102", KELU_DER(kDerSM1)},
    {NID_ChinaZUC, "zuc", "ChinaZUC", "1.2.156.10197.1.105", KELU_DER(kDerZUC)},
    {NID_ChinaSM2withSM3PKCS7, "sm2-sm3-pkcs7", "ChinaSM2withSM3PKCS7", "1.2.156.10197.1.301.1",
     KELU_DER(kDerSM2Pkcs7)},
    {NID_SM_pkcs7_data, "sm-pkcs7-data", "SM-pkcs7-data", "1.2.156.10197.6.1.4.2.1",
     KELU_DER(kDerSMData)},
    {NID_SM_pkcs7_signed, "sm-pkcs7-signedData", "SM-pkcs7-signed", "1.2.156.10197.6.1.4.2.2",
     KELU_DER(kDerSMSigned)},
};
#undef KELU_DER
constexpr size_t kObjectCount = sizeof kObjects / sizeof kObjects[0];

const NationalCurve kCurves[] = {
    {NID_prime256v1SM2, "China SM2 curve over a 256 bit prime field",
     "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF",
     "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
     "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
     "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
     "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0",
     "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123"},
    {NID_prime256v1SM2TEST, "China SM2 Test curve over a 256 bit prime field",
     "8542D69E4C044F18E8B92435BF6FF7DE457283915C45517D722EDB8B08F1DFC3",
     "787968B4FA32C3FD2417842E73BBFEFF2F3C848B6831D7E0EC65228B3937E498",
     "63E4C6D3B23B0C849CF84241484BFE48F61D59A5B16BA06E6E12D1DA27C5249A",
     "421DEBD61B62EAB6746434EBC3CC315E32220B3BADD50BDC4C4E6C147FEDD43D",
     "0680512BCBB42C07D47349D2153B70C4E5D7FDFCBFA36EA1A85841B9E46E09A2",
     "8542D69E4C044F18E8B92435BF6FF7DD297720630485628D5AE74EE7C32E79B7"},
};

// Library NID of each row of kObjects, 0 until resolved.
std::atomic<int> g_library_nids[kObjectCount];
std::mutex g_resolve_mutex;

size_t RowIndex(int id) {
  for (size_t i = 0; i < kObjectCount; ++i)
    if (kObjects[i].id == id) return i;
  return kObjectCount;
}

int LibraryNidOfOid(const char *oid) {
  ASN1_OBJECT *obj = OBJ_txt2obj(oid, 1);
  if (obj == nullptr) return NID_undef;
  int nid = OBJ_obj2nid(obj);
  ASN1_OBJECT_free(obj);
  return nid;
}

// A name the library's object table does not hold yet, as a short or as a long name; the
// library's lookups by its own names must keep finding its own objects.
bool NameIsFree(const char *name) {
  return OBJ_sn2nid(name) == NID_undef && OBJ_ln2nid(name) == NID_undef;
}

// The object for an OID the library lacks, under the row's names where they are free ("sm4-cbc"
// is the library's long name of SM4 in CBC mode, so that row keeps only its long name).
int CreateLibraryObject(const NationalObject &row) {
  const char *sn = NameIsFree(row.short_name) ? row.short_name : nullptr;
  const char *ln = NameIsFree(row.long_name) ? row.long_name : nullptr;
  if (sn == nullptr) sn = ln;
  if (ln == nullptr) ln = sn;
  return OBJ_create(row.oid, sn, ln);
}

int ResolvedLibraryNid(size_t index) {
  int nid = g_library_nids[index].load(std::memory_order_acquire);
  if (nid != NID_undef) return nid;
  EnsureNationalObjects();
  return g_library_nids[index].load(std::memory_order_acquire);
}

}  // namespace

const NationalObject *FindNationalObject(int id) {
  size_t i = RowIndex(id);
  return i < kObjectCount ? &kObjects[i] : nullptr;
}

const NationalObject *NationalObjects(size_t *count) {
  if (count != nullptr) *count = kObjectCount;
  return kObjects;
}

int NationalIdFromText(const char *text) {
  if (text == nullptr) return 0;
  for (const NationalObject &row : kObjects) {
    if (std::strcmp(text, row.oid) == 0 || std::strcmp(text, row.short_name) == 0 ||
        std::strcmp(text, row.long_name) == 0)
      return row.id;
  }
  return 0;
}

int EnsureNationalObjects() {
  std::lock_guard<std::mutex> lock(g_resolve_mutex);
  int all = 1;
  for (size_t i = 0; i < kObjectCount; ++i) {
    if (g_library_nids[i].load(std::memory_order_relaxed) != NID_undef) continue;
    int nid = LibraryNidOfOid(kObjects[i].oid);
    if (nid == NID_undef) nid = CreateLibraryObject(kObjects[i]);
    if (nid == NID_undef) {
      all = 0;
      continue;
    }
    g_library_nids[i].store(nid, std::memory_order_release);
  }
  return all;
}

int ToLibraryNid(int toolkit_nid) {
  if (toolkit_nid < NID_prime256v1SM2 || toolkit_nid > NID_SM_pkcs7_signed) return toolkit_nid;
  size_t i = RowIndex(toolkit_nid);
  return i < kObjectCount ? ResolvedLibraryNid(i) : NID_undef;
}

int ToToolkitNid(int library_nid) {
  if (library_nid == NID_undef) return 0;
  for (size_t i = 0; i < kObjectCount; ++i)
    if (ResolvedLibraryNid(i) == library_nid) return kObjects[i].id;
  if (library_nid >= NID_prime256v1SM2 && library_nid <= NID_SM_pkcs7_signed) return 0;
  return library_nid;
}

const NationalCurve *FindNationalCurve(int id) {
  for (const NationalCurve &curve : kCurves)
    if (curve.id == id) return &curve;
  return nullptr;
}

namespace {

BignumPtr HexToBn(const char *hex) {
  BIGNUM *bn = nullptr;
  if (BN_hex2bn(&bn, hex) == 0) return nullptr;
  return BignumPtr(bn);
}

// The example curve is no built-in curve of the library: it is made from its parameters.
EC_GROUP *BuildCurveGroup(const NationalCurve &curve, int library_nid) {
  BignumPtr p = HexToBn(curve.p), a = HexToBn(curve.a), b = HexToBn(curve.b);
  BignumPtr gx = HexToBn(curve.gx), gy = HexToBn(curve.gy), n = HexToBn(curve.n);
  BnCtxPtr ctx(BN_CTX_new());
  if (!p || !a || !b || !gx || !gy || !n || !ctx) return nullptr;
  EcGroupPtr group(EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), ctx.get()));
  if (!group) return nullptr;
  EcPointPtr g(EC_POINT_new(group.get()));
  if (!g || EC_POINT_set_affine_coordinates(group.get(), g.get(), gx.get(), gy.get(),
                                            ctx.get()) != 1)
    return nullptr;
  if (EC_GROUP_set_generator(group.get(), g.get(), n.get(), BN_value_one()) != 1) return nullptr;
  EC_GROUP_set_curve_name(group.get(), library_nid);
  return group.release();
}

}  // namespace

EC_GROUP *NationalCurveGroup(int id) {
  const NationalCurve *curve = FindNationalCurve(id);
  if (curve == nullptr) return nullptr;
  int library_nid = ToLibraryNid(id);
  if (library_nid == NID_undef) return nullptr;
  if (id == NID_prime256v1SM2) return EC_GROUP_new_by_curve_name(library_nid);
  return BuildCurveGroup(*curve, library_nid);
}

int NationalCurveId(const EC_GROUP *group) {
  if (group == nullptr) return 0;
  int id = ToToolkitNid(EC_GROUP_get_curve_name(group));
  return FindNationalCurve(id) != nullptr ? id : 0;
}

int NationalSignatureAlgorithms(int sig_id, int *digest_id, int *key_type) {
  if (sig_id != NID_ChinaSM2withSM3) return 0;
  if (digest_id != nullptr) *digest_id = NID_ChinaSM3;
  if (key_type != nullptr) *key_type = NID_X9_62_id_ecPublicKey;
  return 1;
}

int NationalSignatureId(int digest_id, int key_type) {
  return digest_id == NID_ChinaSM3 && key_type == NID_X9_62_id_ecPublicKey ? NID_ChinaSM2withSM3
                                                                           : 0;
}

}  // namespace kelu
