# The uninstall target: `cmake -DKELU_PREFIX=P -P KeluUninstallTarget.cmake` runs the removal
# script installed in P/share/kelu (under DESTDIR when set), and says there is nothing to remove
# when it is not there: never installed, or removed already.
cmake_minimum_required(VERSION 3.25)
set(script "$ENV{DESTDIR}${KELU_PREFIX}/share/kelu/uninstall.cmake")
if(NOT EXISTS "${script}")
  message(STATUS "Nothing to remove: ${script} is not there (not installed, or removed already)")
  return()
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -P "${script}" COMMAND_ERROR_IS_FATAL ANY)
