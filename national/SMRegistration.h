/* Registration of the national algorithms with the crypto library. */
#ifndef KELU_SM_REGISTRATION_H
#define KELU_SM_REGISTRATION_H

namespace kelu {

// Makes the national objects, digest and ciphers known to the crypto library. Runs its work
// once per process (what it registers lives as long as the process); 1 on success.
int RegisterNationalAlgorithms();

}  // namespace kelu

#endif
