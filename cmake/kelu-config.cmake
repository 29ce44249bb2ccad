# find_package(kelu): the imported target kelu::kelu (libkelu.so; #include <kelu/ORVA.h>).
include("${CMAKE_CURRENT_LIST_DIR}/kelu-targets.cmake")
