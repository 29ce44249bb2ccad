# Install-time script: puts ORVAExtension.so and mods-available/orvaextension.ini in place.
# A destination given at configure time (KELU_PHP_EXTENSION_DIR, KELU_PHP_MODS_DIR) is used as
# it is when absolute, under the install prefix when relative. Otherwise, when the prefix is
# CMake's default /usr/local or PHP's own prefix, they go where this PHP reads them (the
# extension dir of php-config, /etc/php/<version>/mods-available); under any other prefix P,
# to P followed by that same path (made relative to PHP's prefix when it lies inside it):
# P/lib/php/<api> and P/etc/php/<version>/mods-available.
function(kelu_php_destination chosen system_dir out)
  if(chosen)
    if(IS_ABSOLUTE "${chosen}")
      set(dir "${chosen}")
    else()
      set(dir "${CMAKE_INSTALL_PREFIX}/${chosen}")
    endif()
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr/local" OR CMAKE_INSTALL_PREFIX STREQUAL KELU_PHP_PREFIX)
    set(dir "${system_dir}")
  else()
    cmake_path(IS_PREFIX KELU_PHP_PREFIX "${system_dir}" NORMALIZE inside_php)
    if(inside_php)
      cmake_path(RELATIVE_PATH system_dir BASE_DIRECTORY "${KELU_PHP_PREFIX}" OUTPUT_VARIABLE rel)
    else()
      cmake_path(RELATIVE_PATH system_dir BASE_DIRECTORY "/" OUTPUT_VARIABLE rel)
    endif()
    set(dir "${CMAKE_INSTALL_PREFIX}/${rel}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

kelu_php_destination("${KELU_PHP_EXTENSION_DIR}" "${KELU_PHP_SYSTEM_EXTENSION_DIR}" extension_dir)
kelu_php_destination("${KELU_PHP_MODS_DIR}" "${KELU_PHP_SYSTEM_MODS_DIR}" mods_dir)
get_filename_component(module_name "${KELU_PHP_MODULE}" NAME)

# Macros, so that file(INSTALL) lists what it installs in the install's own scope (the manifest).
macro(kelu_install_php_module)
  file(INSTALL DESTINATION "${extension_dir}" TYPE MODULE FILES "${KELU_PHP_MODULE}")
  kelu_installed_path("${extension_dir}" installed_extension_dir)
  kelu_strip_installed("${installed_extension_dir}/${module_name}" "${KELU_PHP_MODULE}.debug")
  file(INSTALL DESTINATION "${mods_dir}" TYPE FILE FILES "${KELU_PHP_INI}")
endmacro()

# The module's debugging symbols, in a .debug folder beside it (where gdb looks).
macro(kelu_install_php_debug_file)
  file(INSTALL DESTINATION "${extension_dir}/.debug" TYPE FILE FILES "${KELU_PHP_MODULE}.debug")
endmacro()
