/* Certificates decoded once for every call that passes the same bytes. Decoding a certificate
 * costs the crypto library about 100 us (it builds a decoder for the public key each time),
 * more than an SM2 signature; a service passes the same few certificates again and again.
 *
 * The store keeps the last kSharedX509Capacity certificates (up to kMaxSharedX509Size bytes
 * each) keyed on their exact bytes, the least recently used one going first, and is safe for
 * concurrent calls. A stored certificate is never changed: the library caches its extensions
 * before it is shared, so the library's getters, which take a non-const certificate, only read
 * it afterwards. Certificates whose extensions the library refuses are not stored. */
#ifndef KELU_SHARED_CERTIFICATES_H
#define KELU_SHARED_CERTIFICATES_H

#include <openssl/x509.h>

#include <cstddef>
#include <memory>

#include "Misc.h"
#include "OsslPtr.h"

namespace kelu {

using SharedX509 = std::shared_ptr<const X509>;

constexpr size_t kSharedX509Capacity = 32;
constexpr size_t kMaxSharedX509Size = 16384;

// A shared certificate for the library's getters that read it (see above); never for a call
// that changes it.
inline X509 *ForReading(const SharedX509 &cert) { return const_cast<X509 *>(cert.get()); }

// The certificate of PEM or DER bytes as ReadX509FromCertBytes reads it, with the same step
// lines for site, except that "BIO_new_mem_buf" and "d2i_X509_bio" are written only when the
// bytes are decoded (not found in the store). KELU_OK or -1.
int ReadSharedX509(const TraceSite &site, const unsigned char *pbyCertData, int nCertDataSize,
                   SharedX509 *cert);

// The certificate of DER bytes as ReadSharedX509 reads DER; PEM text is refused. The step
// "d2i_X509" (Failed with failed_reason) is written only when the bytes are decoded.
// KELU_OK or -1.
int ReadSharedDerX509(const TraceSite &site, const unsigned char *der, int der_size,
                      const char *failed_reason, SharedX509 *cert);

// Whether the bytes begin with a DER certificate, the one the readers above take from them; no
// step line, no queued error, and no decode when they were read before.
bool IsDerX509(const unsigned char *data, int size);

// The bound of the store (0 stores nothing), for the tests of the store and of its users'
// first calls; the previous bound is returned. Shrinking drops the oldest certificates.
size_t SetSharedX509Capacity(size_t capacity);

}  // namespace kelu

#endif
