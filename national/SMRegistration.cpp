#include "SMRegistration.h"

namespace kelu {

int RegisterNationalAlgorithms() { return 1; }

}  // namespace kelu
