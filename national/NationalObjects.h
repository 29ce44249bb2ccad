/* The toolkit's own identifiers of the national objects (920-930), their names, OIDs and DER,
 * and their translation to and from the crypto library's NIDs. The toolkit's numbers are other
 * objects in the library (920 is dhpublicnumber there), so they never reach a library call
 * untranslated. */
#ifndef KELU_NATIONAL_OBJECTS_H
#define KELU_NATIONAL_OBJECTS_H

#include <openssl/ec.h>

#include <cstddef>
#include <cstdint>

namespace kelu {

constexpr int NID_prime256v1SM2 = 920;
constexpr int NID_prime256v1SM2TEST = 921;
constexpr int NID_ChinaSM3 = 922;
constexpr int NID_ChinaSM4_CBC = 923;
constexpr int NID_ChinaSM2withSM3 = 924;
constexpr int NID_ChinaSM1_CBC = 925;
constexpr int NID_ChinaZUC = 926;
constexpr int NID_ChinaSM2withSM3PKCS7 = 927;
constexpr int NID_SM_pkcs7_data = 928;
constexpr int NID_SM_pkcs7_signed = 930;

struct NationalObject {
  int id;                  // the toolkit's identifier
  const char *short_name;
  const char *long_name;
  const char *oid;         // dotted text
  const uint8_t *der;      // content octets of the DER OBJECT IDENTIFIER
  size_t der_length;
};

// The row of a toolkit identifier; null for 929 and any number outside the table.
const NationalObject *FindNationalObject(int id);
// The rows, in identifier order.
const NationalObject *NationalObjects(size_t *count);
// Identifier of a dotted OID, short name or long name (names compared exactly); 0 when none.
int NationalIdFromText(const char *text);

// Makes sure the library has an object for every row: the library's own where it knows the OID,
// one created once for the process otherwise. 1 when every row has its library NID.
int EnsureNationalObjects();

// Toolkit identifier -> library NID: 920-930 through the table (0 where none), other numbers
// unchanged (the two numberings agree below 920).
int ToLibraryNid(int toolkit_nid);
// Library NID -> toolkit identifier: a national object gives its identifier; the library's own
// objects 920-930 have no toolkit identifier (0); other numbers unchanged.
int ToToolkitNid(int library_nid);

// Parameters of a national curve as upper-case hexadecimal text (cofactor 1).
struct NationalCurve {
  int id;
  const char *comment;
  const char *p, *a, *b, *gx, *gy, *n;
};
// 920 and 921; null for any other identifier.
const NationalCurve *FindNationalCurve(int id);

// A new group for curve 920 (the SM2 curve) or 921 (the standard's example curve), whose curve
// name is the library NID of that row; null for any other identifier or a failure.
EC_GROUP *NationalCurveGroup(int id);
// 920 or 921 for a group of those curves (by curve name), else 0.
int NationalCurveId(const EC_GROUP *group);

// The signature-algorithm row: 924 is SM3 with an EC key (408). 1 when sig_id is 924.
int NationalSignatureAlgorithms(int sig_id, int *digest_id, int *key_type);
// 924 for (922, 408), else 0.
int NationalSignatureId(int digest_id, int key_type);

}  // namespace kelu

#endif
