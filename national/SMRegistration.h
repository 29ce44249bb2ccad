/* Registration of the national algorithms with the crypto library. */
#ifndef KELU_SM_REGISTRATION_H
#define KELU_SM_REGISTRATION_H

namespace kelu {

// Makes the national objects, digest and ciphers known to the crypto library: objects for the
// OIDs it lacks, and the method objects under names it does not use itself. Does its work once
// per process (what it registers lives as long as the process, since other users of the
// library may hold what they found); 1 on success.
int RegisterNationalAlgorithms();

}  // namespace kelu

#endif
