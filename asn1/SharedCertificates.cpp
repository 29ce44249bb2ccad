#include "SharedCertificates.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "CertificateFields.h"
#include "KeluErrors.h"

namespace kelu {

namespace {

// One stored certificate: what the reading of bytes gives; from_der when they began with its
// DER, so that a reader of DER alone takes it too.
struct Entry {
  std::string bytes;
  SharedX509 cert;
  bool from_der;
};

class Store {
 public:
  // The certificate of the bytes, made the most recently used one; false when there is none.
  bool Find(const unsigned char *data, size_t size, SharedX509 *cert, bool *from_der) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry &e) { return Holds(e, data, size); });
    if (it == entries_.end()) return false;
    std::rotate(entries_.begin(), it, it + 1);
    *cert = entries_.front().cert;
    *from_der = entries_.front().from_der;
    return true;
  }

  // Stores the certificate unless the same bytes were stored meanwhile (by a concurrent call);
  // the stored one is handed back either way.
  SharedX509 Add(const unsigned char *data, size_t size, SharedX509 cert, bool from_der) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (capacity_ == 0 || size > kMaxSharedX509Size) return cert;
    for (const Entry &e : entries_) {
      if (Holds(e, data, size)) return e.cert;
    }
    entries_.insert(entries_.begin(),
                    Entry{std::string(reinterpret_cast<const char *>(data), size), cert, from_der});
    if (entries_.size() > capacity_) entries_.resize(capacity_);
    return cert;
  }

  size_t SetCapacity(size_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t previous = capacity_;
    capacity_ = capacity;
    if (entries_.size() > capacity_) entries_.resize(capacity_);
    return previous;
  }

 private:
  static bool Holds(const Entry &e, const unsigned char *data, size_t size) {
    return e.bytes.size() == size && std::memcmp(e.bytes.data(), data, size) == 0;
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;  // the most recently used first
  size_t capacity_ = kSharedX509Capacity;
};

Store &TheStore() {
  static Store *store = new Store;  // never destroyed: calls may run while the process exits
  return *store;
}

// The library caches the extensions on first use and raises its error only then; a
// certificate whose extensions it refuses would report that error on its first use alone, so
// it is not shared (each use decodes it afresh).
bool CacheExtensions(X509 *cert) {
  ERR_set_mark();
  const bool valid = X509_check_purpose(cert, -1, 0) == 1;
  ERR_pop_to_mark();
  return valid;
}

SharedX509 Own(X509 *cert) {
  return SharedX509(cert, [](const X509 *x) { X509_free(const_cast<X509 *>(x)); });
}

// The reading of bytes read once already, without step lines or queued errors.
X509Ptr DecodeQuietly(const unsigned char *data, int size, CertForms forms) {
  BioPtr bio(BIO_new_mem_buf(data, size));
  if (bio == nullptr) return nullptr;
  ERR_set_mark();
  X509Ptr cert(DecodeX509FromBio(bio.get(), forms));
  ERR_pop_to_mark();
  return cert;
}

// The stored certificate of the bytes, for a reader of forms.
bool FindStored(const unsigned char *data, int size, CertForms forms, SharedX509 *cert) {
  SharedX509 found;
  bool der = false;
  if (!TheStore().Find(data, static_cast<size_t>(size), &found, &der)) return false;
  if (forms == CertForms::kDer && !der) return false;
  *cert = std::move(found);
  return true;
}

// A certificate just decoded from the bytes, stored for the calls that follow.
SharedX509 Keep(const unsigned char *data, int size, CertForms forms, X509Ptr fresh,
                bool from_der) {
  if (!CacheExtensions(fresh.get())) return Own(DecodeQuietly(data, size, forms).release());
  return TheStore().Add(data, static_cast<size_t>(size), Own(fresh.release()), from_der);
}

}  // namespace

int ReadSharedX509(const TraceSite &site, const unsigned char *pbyCertData, int nCertDataSize,
                   SharedX509 *cert) {
  int rc = TraceCheck(site, pbyCertData != nullptr && nCertDataSize > 0 && cert != nullptr,
                      "Check parameter(pbyCertData and nCertDataSize)", KELU_ERR_FAILED,
                      "NULL == pbyCertData || nCertDataSize <= 0");
  if (rc != KELU_OK) return rc;
  if (FindStored(pbyCertData, nCertDataSize, CertForms::kDerOrPem, cert)) return KELU_OK;
  X509 *decoded = nullptr;
  bool der = false;
  rc = DecodeCertBytes(site, pbyCertData, nCertDataSize, &decoded, &der);
  X509Ptr fresh(decoded);
  if (rc != KELU_OK) return rc;
  *cert = Keep(pbyCertData, nCertDataSize, CertForms::kDerOrPem, std::move(fresh), der);
  return *cert != nullptr ? KELU_OK : KELU_ERR_FAILED;
}

int ReadSharedDerX509(const TraceSite &site, const unsigned char *der, int der_size,
                      const char *failed_reason, SharedX509 *cert) {
  const bool given = der != nullptr && der_size > 0;
  if (given && FindStored(der, der_size, CertForms::kDer, cert)) return KELU_OK;
  BioPtr bio(given ? BIO_new_mem_buf(der, der_size) : nullptr);
  X509Ptr fresh(bio != nullptr ? DecodeX509FromBio(bio.get(), CertForms::kDer) : nullptr);
  const int rc = TraceCheckOpenssl(site, fresh != nullptr, "d2i_X509", KELU_ERR_FAILED,
                                   failed_reason);
  if (rc != KELU_OK) return rc;
  *cert = Keep(der, der_size, CertForms::kDer, std::move(fresh), true);
  return *cert != nullptr ? KELU_OK : KELU_ERR_FAILED;
}

bool IsDerX509(const unsigned char *data, int size) {
  if (data == nullptr || size <= 0) return false;
  SharedX509 cert;
  return FindStored(data, size, CertForms::kDer, &cert) ||
         DecodeQuietly(data, size, CertForms::kDer) != nullptr;
}

size_t SetSharedX509Capacity(size_t capacity) { return TheStore().SetCapacity(capacity); }

}  // namespace kelu
