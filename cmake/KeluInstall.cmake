# What `cmake --install <build> [--prefix P]` puts in place: libkelu.so with its soname version,
# the public headers under include/kelu/, a pkg-config file, a CMake package (kelu::kelu), the
# key-file tool bin/make_sm2_key_file, the PHP module with its ini file (see
# cmake/KeluInstallPhp.cmake for where those two go), and share/kelu/ with the list of what was
# installed and the script that removes it (cmake/KeluUninstall.cmake).
# The library, the module and the tool are installed stripped, each linked (gnu_debuglink) to
# its debugging symbols, which `--component debug` installs into a .debug folder beside it,
# where gdb looks.
# Every destination is relative, so that --prefix at install time is honoured.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(KELU_INSTALL_STRIPPED
       "Install the library, the PHP module and the key-file tool without debugging symbols" ON)

set_target_properties(kelu PROPERTIES
    VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0
    SOVERSION ${PROJECT_VERSION_MAJOR})

set(kelu_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kelu)
install(TARGETS kelu EXPORT kelu-targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS make_sm2_key_file RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# ORVA.h includes its two companions by quoted name, so they sit beside it.
install(FILES ${PROJECT_SOURCE_DIR}/toolkit/ORVA.h ${PROJECT_SOURCE_DIR}/logging/KeluErrors.h
              ${PROJECT_SOURCE_DIR}/logging/KeluExport.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kelu)

install(EXPORT kelu-targets NAMESPACE kelu:: FILE kelu-targets.cmake
        DESTINATION ${kelu_package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kelu-config-version.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/kelu-config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kelu-config-version.cmake
        DESTINATION ${kelu_package_dir})

# The pkg-config file names the prefix it is installed under, which is known only at install
# time. libkelu.so records its own NEEDED libcrypto and there is no static library, so no
# private requirement is listed.
set(kelu_pc ${CMAKE_CURRENT_BINARY_DIR}/kelu.pc)
install(CODE "
  set(KELU_PC_VERSION \"${PROJECT_VERSION}\")
  set(KELU_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(KELU_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/KeluPkgConfig.cmake\")
  kelu_write_pc(\"${PROJECT_SOURCE_DIR}/cmake/kelu.pc.in\" \"${kelu_pc}\")
")
install(FILES ${kelu_pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# What the install-time scripts share: cmake/KeluInstallFiles.cmake.
set(kelu_install_setup "
  set(KELU_OBJCOPY \"${CMAKE_OBJCOPY}\")
  set(KELU_INSTALL_STRIPPED ${KELU_INSTALL_STRIPPED})
  include(\"${PROJECT_SOURCE_DIR}/cmake/KeluInstallFiles.cmake\")
")
foreach(target kelu make_sm2_key_file)
  if(target STREQUAL "kelu")
    set(dir ${CMAKE_INSTALL_LIBDIR})
  else()
    set(dir ${CMAKE_INSTALL_BINDIR})
  endif()
  install(CODE "${kelu_install_setup}
    kelu_installed_path(\"${dir}\" file)
    kelu_strip_installed(\"\${file}/$<TARGET_FILE_NAME:${target}>\" \"$<TARGET_FILE:${target}>.debug\")
  ")
  install(FILES $<TARGET_FILE:${target}>.debug DESTINATION ${dir}/.debug
          COMPONENT debug EXCLUDE_FROM_ALL)
endforeach()

# The PHP module and its ini file. Empty: chosen at install time by the prefix.
set(KELU_PHP_EXTENSION_DIR "" CACHE STRING
    "Where ORVAExtension.so is installed (relative: under the install prefix)")
set(KELU_PHP_MODS_DIR "" CACHE STRING
    "Where mods-available/orvaextension.ini is installed (relative: under the install prefix)")
foreach(option prefix extension-dir ini-path)
  execute_process(COMMAND ${KELU_PHP_CONFIG} --${option}
                  OUTPUT_VARIABLE php_${option} OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# Debian's layout: /etc/php/8.2/<sapi> holds each SAPI's php.ini, /etc/php/8.2/mods-available
# the ini files that phpenmod links into each SAPI's conf.d.
get_filename_component(php_config_root ${php_ini-path} DIRECTORY)
set(kelu_php_setup "${kelu_install_setup}
  set(KELU_PHP_MODULE \"$<TARGET_FILE:kelu_php_module>\")
  set(KELU_PHP_INI \"${PROJECT_SOURCE_DIR}/extension/orvaextension.ini\")
  set(KELU_PHP_PREFIX \"${php_prefix}\")
  set(KELU_PHP_SYSTEM_EXTENSION_DIR \"${php_extension-dir}\")
  set(KELU_PHP_SYSTEM_MODS_DIR \"${php_config_root}/mods-available\")
  set(KELU_PHP_EXTENSION_DIR \"${KELU_PHP_EXTENSION_DIR}\")
  set(KELU_PHP_MODS_DIR \"${KELU_PHP_MODS_DIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/KeluInstallPhp.cmake\")
")
install(CODE "${kelu_php_setup} kelu_install_php_module()")
install(CODE "${kelu_php_setup} kelu_install_php_debug_file()" COMPONENT debug EXCLUDE_FROM_ALL)

# Last: share/kelu/ with the list of every file installed, and the script that removes them.
# Always P/share/kelu: the removal script finds P two folders up.
set(kelu_share_dir share/kelu)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/KeluUninstall.cmake DESTINATION ${kelu_share_dir}
        RENAME uninstall.cmake)
install(CODE "${kelu_install_setup} kelu_record_installed(\"${kelu_share_dir}\")")
install(CODE "${kelu_install_setup} kelu_record_installed(\"${kelu_share_dir}\")"
        COMPONENT debug EXCLUDE_FROM_ALL)
install(CODE "${kelu_install_setup} kelu_refresh_linker_cache()")

# `cmake --build <build> --target uninstall`: the removal script of the configured prefix
# (under DESTDIR when set); nothing to remove is no failure.
add_custom_target(uninstall
    COMMAND ${CMAKE_COMMAND} -DKELU_PREFIX=${CMAKE_INSTALL_PREFIX}
            -P ${PROJECT_SOURCE_DIR}/cmake/KeluUninstallTarget.cmake
    COMMENT "Removing the toolkit from ${CMAKE_INSTALL_PREFIX}"
    VERBATIM)
