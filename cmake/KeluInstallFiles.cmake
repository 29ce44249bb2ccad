# Install-time helpers of the install rules in KeluInstall.cmake, which sets KELU_OBJCOPY and
# KELU_INSTALL_STRIPPED before including this file.

# kelu_installed_path(<dir> <out>): where a destination folder lands, DESTDIR included: <dir>
# itself when absolute, under the install prefix when relative.
function(kelu_installed_path dir out)
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  set(${out} "$ENV{DESTDIR}${dir}" PARENT_SCOPE)
endfunction()

# kelu_strip_installed(<installed object> <its debug file>): strips the installed copy as
# `strip --strip-unneeded` does and links it to the debug file by name and checksum
# (gnu_debuglink), unless KELU_INSTALL_STRIPPED is off and `cmake --install --strip` was not used.
function(kelu_strip_installed object debug_file)
  if(NOT KELU_INSTALL_STRIPPED AND NOT CMAKE_INSTALL_DO_STRIP)
    return()
  endif()
  execute_process(COMMAND "${KELU_OBJCOPY}" --strip-unneeded --remove-section=.gnu_debuglink
                          "${object}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${KELU_OBJCOPY}" "--add-gnu-debuglink=${debug_file}" "${object}"
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# kelu_record_installed(<share dir>): adds every file this run installed to
# <share dir>/installed-files, with the list itself, as they are seen once installed (the
# manifest's paths are without DESTDIR): what <share dir>/uninstall.cmake removes. Entries of
# earlier runs stay.
function(kelu_record_installed share_dir)
  set(list_file "${CMAKE_INSTALL_PREFIX}/${share_dir}/installed-files")
  set(files)
  if(EXISTS "$ENV{DESTDIR}${list_file}")
    file(STRINGS "$ENV{DESTDIR}${list_file}" files)
  endif()
  list(APPEND files ${CMAKE_INSTALL_MANIFEST_FILES} "${list_file}")
  list(REMOVE_DUPLICATES files)
  list(JOIN files "\n" text)
  file(WRITE "$ENV{DESTDIR}${list_file}" "${text}\n")
endfunction()

# kelu_refresh_linker_cache(): ldconfig after an install into the running system as root, so
# that programs find libkelu.so.3 in the linker's folders at once, as the removal script makes
# the cache forget it. A staged install (DESTDIR) and an install by another user leave it alone.
function(kelu_refresh_linker_cache)
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_program(ldconfig ldconfig PATHS /sbin /usr/sbin)
  if("$ENV{DESTDIR}" STREQUAL "" AND uid STREQUAL "0" AND ldconfig)
    message(STATUS "Running ldconfig")
    execute_process(COMMAND "${ldconfig}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endfunction()
