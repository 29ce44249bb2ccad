// The store of decoded certificates: the same bytes give the same certificate without a new
// decode, other bytes never do, it keeps at most its bound, serves the readers of DER alone
// and those of both forms alike, and concurrent calls read the right fields.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CertificateFields.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OsslPtr.h"
#include "SharedCertificates.h"
#include "TestPki.h"

namespace kelu {
namespace {

using test::Bytes;
using test::SharedPki;

// Restores the store's bound after a test that changes it.
class CapacityGuard {
 public:
  explicit CapacityGuard(size_t capacity) : previous_(SetSharedX509Capacity(capacity)) {}
  ~CapacityGuard() { SetSharedX509Capacity(previous_); }

 private:
  size_t previous_;
};

SharedX509 Read(const Bytes &bytes) {
  SharedX509 cert;
  EXPECT_EQ(ReadSharedX509(KELU_HERE, bytes.data(), static_cast<int>(bytes.size()), &cert),
            KELU_OK);
  return cert;
}

X509Ptr Decode(const Bytes &der) {
  const unsigned char *p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::string SubjectOf(const X509 *cert) {
  char text[256] = {};
  X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof text);
  return text;
}

// The fields the readers hand out, read by the crypto library's own getters from a fresh
// decode: the reference for what the readers give through the store.
struct Fields {
  Bytes issuer, serial, key_id;
};

Bytes DerOf(const X509_NAME *name) {
  unsigned char *der = nullptr;
  const int n = i2d_X509_NAME(name, &der);
  Bytes out(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  return out;
}

Fields LibraryFields(const Bytes &der) {
  X509Ptr x = Decode(der);
  Fields f;
  if (x == nullptr) return f;
  f.issuer = DerOf(X509_get_issuer_name(x.get()));
  unsigned char *serial = nullptr;
  const int n = i2d_ASN1_INTEGER(X509_get0_serialNumber(x.get()), &serial);
  f.serial.assign(serial, serial + (n > 0 ? n : 0));
  OPENSSL_free(serial);
  if (const ASN1_OCTET_STRING *id = X509_get0_subject_key_id(x.get()))
    f.key_id.assign(id->data, id->data + id->length);
  return f;
}

using Reader = int (*)(const unsigned char *, int, unsigned char **, int *);

Bytes ReadField(Reader reader, const Bytes &cert) {
  unsigned char *out = nullptr;
  int len = 0;
  Bytes bytes;
  if (reader(cert.data(), static_cast<int>(cert.size()), &out, &len) == KELU_OK)
    bytes.assign(out, out + len);
  delete[] out;
  return bytes;
}

Fields ReaderFields(const Bytes &cert) {
  return {ReadField(GetIssuerFromCert, cert), ReadField(GetSerialNumberFromCert, cert),
          ReadField(GetSubjectKeyIDFromCert, cert)};
}

const char *const kNames[] = {"sm2-leaf", "sm2-int", "rsa-leaf", "rsa-v1", "ku-enc", "ku-none"};

TEST(SharedCertificates, SameBytesSameCertificateOtherBytesAnother) {
  const Bytes der = SharedPki().DerBytes("sm2-leaf");
  const Bytes pem = SharedPki().PemBytes("sm2-leaf");
  const SharedX509 first = Read(der);
  EXPECT_EQ(Read(der).get(), first.get());
  // The PEM text is other bytes: a certificate of its own, equal in content.
  const SharedX509 from_pem = Read(pem);
  EXPECT_NE(from_pem.get(), first.get());
  EXPECT_EQ(X509_cmp(from_pem.get(), first.get()), 0);
  // One byte more or one byte changed is another certificate, or none.
  Bytes longer = der;
  longer.push_back(0);
  EXPECT_NE(Read(longer).get(), first.get());
  Bytes changed = der;
  changed[changed.size() - 1] ^= 1;  // inside the signature: still decodes
  const SharedX509 other = Read(changed);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other.get(), first.get());
  EXPECT_NE(X509_cmp(other.get(), first.get()), 0);
}

// Through the store or decoded each time, the readers give what the library's getters give.
TEST(SharedCertificates, ReadersGiveTheLibraryFieldsFirstAndAgain) {
  for (size_t capacity : {kSharedX509Capacity, size_t{0}}) {
    CapacityGuard guard(capacity);
    for (const char *name : kNames) {
      SCOPED_TRACE(std::string(name) + (capacity == 0 ? " without the store" : ""));
      for (const Bytes &cert : {SharedPki().DerBytes(name), SharedPki().PemBytes(name)}) {
        const Fields want = LibraryFields(SharedPki().DerBytes(name));
        for (int round = 0; round < 2; ++round) {
          const Fields got = ReaderFields(cert);
          EXPECT_EQ(test::ToHex(got.issuer), test::ToHex(want.issuer));
          EXPECT_EQ(test::ToHex(got.serial), test::ToHex(want.serial));
          EXPECT_EQ(test::ToHex(got.key_id), test::ToHex(want.key_id));
        }
      }
    }
  }
  ERR_clear_error();
}

// The decode's own lines are written when the bytes are decoded, not when they are found;
// bytes that do not decode are not kept and fail alike each time.
TEST(SharedCertificates, DecodeLinesOnlyForADecode) {
  CapacityGuard guard(kSharedX509Capacity);
  Bytes pem = SharedPki().PemBytes("rsa-leaf");
  pem.push_back('\n');  // bytes no other test reads
  test::LogCapture log;
  Read(pem);
  EXPECT_TRUE(log.Contains("BIO_new_mem_buf)\t\t--OK")) << log.Text();
  log.Take();
  Read(pem);
  EXPECT_TRUE(log.Contains("Check parameter(pbyCertData and nCertDataSize))\t\t--OK"))
      << log.Text();
  EXPECT_FALSE(log.Contains("BIO_new_mem_buf")) << log.Text();
  for (int round = 0; round < 2; ++round) {
    log.Take();
    SharedX509 none;
    const Bytes junk = {'x'};
    EXPECT_EQ(ReadSharedX509(KELU_HERE, junk.data(), 1, &none), KELU_ERR_FAILED);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(log.Contains("d2i_X509_bio)\t\t--Failed:(0xffffffff) [Reason:NULL == pX509Cert]"))
        << log.Text();
  }
  SharedX509 none;
  EXPECT_EQ(ReadSharedX509(KELU_HERE, nullptr, 10, &none), KELU_ERR_FAILED);
  EXPECT_EQ(ReadSharedX509(KELU_HERE, pem.data(), 0, &none), KELU_ERR_FAILED);
  ERR_clear_error();
}

// At most the bound is kept, the least recently used certificate going first.
TEST(SharedCertificates, KeepsAtMostItsBound) {
  CapacityGuard guard(2);
  const Bytes a = SharedPki().DerBytes("ku-sign"), b = SharedPki().DerBytes("ku-both"),
              c = SharedPki().DerBytes("rsa-int");
  const SharedX509 first_a = Read(a), first_b = Read(b);
  EXPECT_EQ(Read(a).get(), first_a.get());  // a is now the most recently used
  Read(c);                                  // b goes
  EXPECT_EQ(Read(a).get(), first_a.get());
  EXPECT_NE(Read(b).get(), first_b.get());
  SetSharedX509Capacity(0);
  EXPECT_NE(Read(a).get(), Read(a).get());
}

// A certificate whose extensions the library refuses is decoded afresh each time: its first
// use reports the library's error, each time.
TEST(SharedCertificates, RefusedExtensionsAreNotKept) {
  const Bytes bad_usage = {0x05, 0x00};  // NULL where a BIT STRING belongs
  const Bytes cert = test::WithExtension(SharedPki().DerBytes("ku-both"), NID_key_usage,
                                         &bad_usage);
  const SharedX509 first = Read(cert), second = Read(cert);
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first.get(), second.get());
  ERR_clear_error();
  EXPECT_NE(X509_check_purpose(ForReading(second), -1, 0), 1);
  EXPECT_NE(ERR_peek_last_error(), 0u);
  ERR_clear_error();
}

// Bytes that begin with a DER certificate are that certificate for both readings, also when it
// carries another certificate's PEM text (in a comment here), and one stored object serves
// both; PEM text is a certificate for the reading of both forms only, from the store too.
TEST(SharedCertificates, DerIsItselfForBothReadingsPemForOne) {
  // An IA5String of a line break and the PEM text.
  const Bytes inner = SharedPki().PemBytes("rsa-leaf");
  const size_t length = inner.size() + 1;
  Bytes comment(4 + length);
  comment[0] = 0x16;
  comment[1] = 0x82;
  comment[2] = static_cast<uint8_t>(length >> 8);
  comment[3] = static_cast<uint8_t>(length);
  comment[4] = '\n';
  std::copy(inner.begin(), inner.end(), comment.begin() + 5);
  const Bytes outer =
      test::WithExtension(SharedPki().DerBytes("sm2-leaf"), NID_netscape_comment, &comment);
  const std::string outer_subject = SubjectOf(Decode(SharedPki().DerBytes("sm2-leaf")).get());
  const int size = static_cast<int>(outer.size());
  for (int round = 0; round < 2; ++round) {
    SharedX509 der_read;
    ASSERT_EQ(ReadSharedDerX509(KELU_HERE, outer.data(), size, "NULL == pX509Cert", &der_read),
              KELU_OK);
    EXPECT_EQ(SubjectOf(der_read.get()), outer_subject);
    EXPECT_EQ(Read(outer).get(), der_read.get());
  }

  const Bytes pem = SharedPki().PemBytes("rsa-root");
  const SharedX509 from_pem = Read(pem);
  ASSERT_NE(from_pem, nullptr);
  test::LogCapture log;
  for (int round = 0; round < 2; ++round) {
    SharedX509 none;
    EXPECT_EQ(ReadSharedDerX509(KELU_HERE, pem.data(), static_cast<int>(pem.size()),
                                "NULL == pPubCert", &none),
              KELU_ERR_FAILED);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(log.Contains("d2i_X509)\t\t--Failed:(0xffffffff) [Reason:NULL == pPubCert]"))
        << log.Text();
    log.Take();
  }
  SharedX509 none;
  EXPECT_EQ(ReadSharedDerX509(KELU_HERE, nullptr, 10, "NULL == pPubCert", &none), KELU_ERR_FAILED);
  ERR_clear_error();
}

// Calls on many threads, with a bound small enough that certificates come and go meanwhile.
TEST(SharedCertificates, ConcurrentReadersGetTheirOwnFields) {
  CapacityGuard guard(2);
  std::vector<Bytes> certs;
  std::vector<Fields> want;
  for (const char *name : kNames) {
    certs.push_back(SharedPki().DerBytes(name));
    want.push_back(LibraryFields(certs.back()));
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 60; ++i) {
        const size_t k = static_cast<size_t>(t + i) % certs.size();
        const Fields got = ReaderFields(certs[k]);
        if (got.issuer != want[k].issuer || got.serial != want[k].serial ||
            got.key_id != want[k].key_id)
          ++wrong;
      }
      ERR_clear_error();
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace kelu
