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

// One stored certificate: what the PEM-first reading of bytes gives; from_der when the bytes
// held no PEM block, so that d2i_X509 of them gives the same certificate.
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

// The PEM-first reading of bytes read once already, without step lines or queued errors.
X509Ptr DecodeQuietly(const unsigned char *data, int size) {
  BioPtr bio(BIO_new_mem_buf(data, size));
  if (bio == nullptr) return nullptr;
  X509Ptr cert(ReadPemX509Quietly(bio.get()));
  if (cert != nullptr) return cert;
  BIO_ctrl(bio.get(), BIO_CTRL_RESET, 0, nullptr);
  ERR_set_mark();
  cert.reset(d2i_X509_bio(bio.get(), nullptr));
  ERR_pop_to_mark();
  return cert;
}

bool HasPemBlock(const unsigned char *data, int size) {
  BioPtr bio(BIO_new_mem_buf(data, size));
  return bio == nullptr || X509Ptr(ReadPemX509Quietly(bio.get())) != nullptr;
}

}  // namespace

int ReadSharedX509(const TraceSite &site, const unsigned char *pbyCertData, int nCertDataSize,
                   SharedX509 *cert) {
  int rc = TraceCheck(site, pbyCertData != nullptr && nCertDataSize > 0 && cert != nullptr,
                      "Check parameter(pbyCertData and nCertDataSize)", KELU_ERR_FAILED,
                      "NULL == pbyCertData || nCertDataSize <= 0");
  if (rc != KELU_OK) return rc;
  const size_t size = static_cast<size_t>(nCertDataSize);
  bool from_der = false;
  if (TheStore().Find(pbyCertData, size, cert, &from_der)) return KELU_OK;
  X509 *decoded = nullptr;
  rc = DecodeCertBytes(site, pbyCertData, nCertDataSize, &decoded, &from_der);
  X509Ptr fresh(decoded);
  if (rc != KELU_OK) return rc;
  if (!CacheExtensions(fresh.get())) {
    fresh = DecodeQuietly(pbyCertData, nCertDataSize);
    *cert = Own(fresh.release());
    return *cert != nullptr ? KELU_OK : KELU_ERR_FAILED;
  }
  *cert = TheStore().Add(pbyCertData, size, Own(fresh.release()), from_der);
  return KELU_OK;
}

SharedX509 FindSharedDerX509(const unsigned char *der, int der_size) {
  if (der == nullptr || der_size <= 0) return nullptr;
  SharedX509 cert;
  bool from_der = false;
  if (!TheStore().Find(der, static_cast<size_t>(der_size), &cert, &from_der)) return nullptr;
  return from_der ? cert : nullptr;
}

SharedX509 ShareDerX509(const unsigned char *der, int der_size, X509Ptr cert) {
  if (cert == nullptr || der == nullptr || der_size <= 0) return Own(cert.release());
  // d2i_X509 answers for the PEM-first reading only when there is no PEM block to find.
  if (HasPemBlock(der, der_size)) return Own(cert.release());
  if (!CacheExtensions(cert.get())) {
    const unsigned char *p = der;
    cert.reset(d2i_X509(nullptr, &p, der_size));
    return Own(cert.release());
  }
  return TheStore().Add(der, static_cast<size_t>(der_size), Own(cert.release()), true);
}

size_t SetSharedX509Capacity(size_t capacity) { return TheStore().SetCapacity(capacity); }

}  // namespace kelu
