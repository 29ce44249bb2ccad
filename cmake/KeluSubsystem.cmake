# kelu_subsystem(<name> DEPENDS <libs...>)
# Makes the static library kelu_<name> from every .cpp/.c file of the calling folder
# (and its sub-folders), so that units can be added without editing CMake files.
function(kelu_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  set(target kelu_${name})
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_DEPENDS})
    if(KELU_FUZZ)
      # Coverage for the fuzz targets, which reach the units through these libraries.
      target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_DEPENDS})
  endif()
endfunction()

# kelu_test_folder(<subsystem> LIBS <libs...>)
# One GoogleTest program per test folder tests/<subsystem>/, made of every *_test.cpp in it.
function(kelu_test_folder name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  set(source_dir ${CMAKE_CURRENT_SOURCE_DIR}/${name})
  set(binary_dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
  file(MAKE_DIRECTORY ${binary_dir})
  file(GLOB sources CONFIGURE_DEPENDS ${source_dir}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  set(target ${name}_tests)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} kelu_test_support GTest::gtest_main)
  target_compile_definitions(${target} PRIVATE
      KELU_TEST_SOURCE_DIR="${source_dir}"
      KELU_TEST_BINARY_DIR="${binary_dir}"
      KELU_PEERS_DIR="${PROJECT_SOURCE_DIR}/.peers")
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${binary_dir})
  gtest_discover_tests(${target}
      WORKING_DIRECTORY ${binary_dir}
      DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS ${name})
endfunction()

# kelu_shared_object(<target> SHARED|MODULE SUBSYSTEMS <names...> [SOURCES <files...>])
# A shared object holding every unit of the named subsystems. -z nodelete keeps it mapped
# after dlclose, so that no thread-exit destructor of the logging engine can run in unloaded code;
# exports.map keeps C++ symbols out of its dynamic symbols.
function(kelu_shared_object target kind)
  cmake_parse_arguments(ARG "" "" "SUBSYSTEMS;SOURCES" ${ARGN})
  set(objects)
  foreach(name ${ARG_SUBSYSTEMS})
    get_target_property(type kelu_${name} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      list(APPEND objects $<TARGET_OBJECTS:kelu_${name}>)
    endif()
  endforeach()
  add_library(${target} ${kind} ${PROJECT_SOURCE_DIR}/cmake/empty.cpp ${ARG_SOURCES} ${objects})
  target_link_libraries(${target} PRIVATE OpenSSL::Crypto Threads::Threads)
  # -Bsymbolic-functions binds the object's calls of its own exported names (TRACE,
  # Initialize, zlog_*) to its own definitions: a program's function of the same name would
  # otherwise receive them.
  target_link_options(${target} PRIVATE -Wl,-z,nodelete -Wl,-Bsymbolic-functions
                      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/exports.map)
  # (Under clang's sanitizers the runtime comes with the executable, so shared objects
  # cannot be complete on their own.)
  if(kind STREQUAL "SHARED" AND NOT KELU_SANITIZE)
    # A native library must be complete; a PHP module takes the engine's symbols from php.
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  kelu_debug_file(${target})
endfunction()

# kelu_debug_file(<target>)
# Copies the debugging symbols of an installed object into <its file>.debug beside it at each
# link: the install strips the object and links it to that file (see KeluInstall.cmake).
function(kelu_debug_file target)
  add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
      VERBATIM)
endfunction()
