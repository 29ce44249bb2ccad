# Installed as P/share/kelu/uninstall.cmake: `cmake -P P/share/kelu/uninstall.cmake` (as root for
# a system prefix) removes the toolkit that `cmake --install` put under P and into PHP's folders,
# in the order that leaves nothing behind:
#   1. the module is disabled in every PHP SAPI (phpdismod -p, which also drops the state that
#      phpenmod recorded), while its ini file is still there: without it phpdismod refuses and
#      leaves the conf.d links;
#   2. every file listed in installed-files, beside this script, goes;
#   3. the folders it leaves empty go, up to P (not the standard folders right under /usr and
#      /usr/local, bin, lib, share, ..., nor PHP's folders);
#   4. ldconfig, so that the dynamic linker's cache forgets libkelu.so.3.
# With DESTDIR set, the files are removed under it and PHP and ldconfig are left alone.
cmake_minimum_required(VERSION 3.25)
set(list_file "${CMAKE_CURRENT_LIST_DIR}/installed-files")
if(NOT EXISTS "${list_file}")
  message(FATAL_ERROR "${list_file} is missing: nothing to remove")
endif()
file(STRINGS "${list_file}" files)
set(destdir "$ENV{DESTDIR}")

# phpdismod -p with -v and -s: given several SAPIs at once it drops the recorded state of the
# last one only.
function(disable_php_module ini)
  if(NOT ini MATCHES "^/etc/php/([^/]+)/mods-available/([^/]+)\\.ini$" OR destdir)
    return()
  endif()
  set(version "${CMAKE_MATCH_1}")
  set(module "${CMAKE_MATCH_2}")
  find_program(phpdismod phpdismod PATHS /usr/sbin)
  find_program(phpquery phpquery PATHS /usr/sbin)
  if(NOT phpdismod OR NOT phpquery OR NOT EXISTS "${ini}")
    return()
  endif()
  execute_process(COMMAND "${phpquery}" -S -v "${version}" OUTPUT_VARIABLE sapis
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[^\n]+" sapis "${sapis}")
  foreach(sapi IN LISTS sapis)
    message(STATUS "phpdismod -p -v ${version} -s ${sapi} ${module}")
    execute_process(COMMAND "${phpdismod}" -p -v "${version}" -s "${sapi}" "${module}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endfunction()

foreach(file IN LISTS files)
  if(file MATCHES "\\.ini$")
    disable_php_module("${file}")
  endif()
endforeach()

# P, as this script lies in P/share/kelu (DESTDIR included when it runs from a staged tree).
get_filename_component(top "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(folders)
foreach(file IN LISTS files)
  set(path "${destdir}${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
    if(EXISTS "${path}" OR IS_SYMLINK "${path}")
      message(FATAL_ERROR "cannot remove ${path}")
    endif()
  endif()
  get_filename_component(folder "${path}" DIRECTORY)
  list(APPEND folders "${folder}")
endforeach()

# Folders left empty go, from the deepest up to P. PHP's folders lie outside P (only the .debug
# folder made there goes); the standard folders right under /usr and /usr/local (bin, lib,
# share, ...) stay.
function(remove_if_empty folder)
  cmake_path(IS_PREFIX top "${folder}" NORMALIZE inside)
  get_filename_component(name "${folder}" NAME)
  if(name STREQUAL ".debug")
    set(inside TRUE)
  endif()
  string(LENGTH "${destdir}" destdir_length)
  string(SUBSTRING "${folder}" ${destdir_length} -1 installed)
  if(NOT inside OR folder STREQUAL top OR installed MATCHES "^/usr(/local)?/[^/]+$" OR
     NOT IS_DIRECTORY "${folder}" OR IS_SYMLINK "${folder}")
    return()
  endif()
  file(GLOB left "${folder}/*" "${folder}/.*")
  if(NOT left)
    file(REMOVE_RECURSE "${folder}")
    get_filename_component(parent "${folder}" DIRECTORY)
    remove_if_empty("${parent}")
  endif()
endfunction()
list(REMOVE_DUPLICATES folders)
foreach(folder IN LISTS folders)
  remove_if_empty("${folder}")
endforeach()

execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(ldconfig ldconfig PATHS /sbin /usr/sbin)
if(NOT destdir AND uid STREQUAL "0" AND ldconfig)
  execute_process(COMMAND "${ldconfig}" COMMAND_ERROR_IS_FATAL ANY)
endif()
