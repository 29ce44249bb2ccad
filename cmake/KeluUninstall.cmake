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
# It removes the tree it stands in: the installed one, where installed-files says it was
# installed, or a staged copy of it (`DESTDIR=S cmake --install ...` put it in S/P/share/kelu),
# whose files are removed under S while PHP and ldconfig are left alone. Anywhere else (a tree
# moved after its install) it refuses and removes nothing, and so it does when DESTDIR names
# another tree than the one it stands in.
cmake_minimum_required(VERSION 3.25)
set(list_file "${CMAKE_CURRENT_LIST_DIR}/installed-files")
if(NOT EXISTS "${list_file}")
  message(STATUS "Nothing to remove: ${list_file} is missing")
  return()
endif()
file(STRINGS "${list_file}" files)

# The list names itself as it was installed: P/share/kelu/installed-files.
set(recorded "")
foreach(file IN LISTS files)
  if(file MATCHES "/share/kelu/installed-files$")
    set(recorded "${file}")
  endif()
endforeach()
if(NOT recorded)
  message(FATAL_ERROR "${list_file} does not say where it was installed: nothing removed")
endif()

# The staging folder the script stands in ("" for the installed tree itself).
function(find_staging_root out)
  if(list_file STREQUAL recorded)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  if(EXISTS "${recorded}")
    file(REAL_PATH "${list_file}" here)
    file(REAL_PATH "${recorded}" there)
    if(here STREQUAL there)
      set(${out} "" PARENT_SCOPE)
      return()
    endif()
  endif()
  string(LENGTH "${list_file}" length)
  string(LENGTH "${recorded}" recorded_length)
  math(EXPR root_length "${length} - ${recorded_length}")
  if(root_length GREATER 0)
    string(SUBSTRING "${list_file}" ${root_length} -1 tail)
    string(SUBSTRING "${list_file}" 0 ${root_length} root)
    if(tail STREQUAL recorded)
      set(${out} "${root}" PARENT_SCOPE)
      return()
    endif()
  endif()
  message(FATAL_ERROR "${list_file} was installed as ${recorded}: this script removes the tree "
          "it stands in, and this is neither that place nor a copy of it staged under a "
          "DESTDIR (moved since?): nothing removed")
endfunction()
find_staging_root(destdir)

# DESTDIR, when set, names the tree the script stands in.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  file(REAL_PATH "$ENV{DESTDIR}" wanted)
  set(standing "/")
  if(destdir)
    file(REAL_PATH "${destdir}" standing)
  endif()
  if(NOT wanted STREQUAL standing)
    if(destdir)
      set(tree "the tree staged under ${destdir}")
    else()
      set(tree "the installed tree")
    endif()
    get_filename_component(share "${recorded}" DIRECTORY)
    message(FATAL_ERROR "DESTDIR is $ENV{DESTDIR}, but ${list_file} is of ${tree}: "
            "$ENV{DESTDIR}${share}/uninstall.cmake removes the tree staged there: nothing removed")
  endif()
endif()

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
