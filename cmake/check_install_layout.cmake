# Installs BUILD_DIR into a scratch prefix and fails unless the programs and their manual
# pages land where packagers expect them.
set(prefix "${BUILD_DIR}/install-check")
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed with status ${status}")
endif()
foreach(path bin/installer bin/vmpkg share/man/man8/installer.8 share/man/man1/vmpkg.1)
  if(NOT EXISTS "${prefix}/${path}")
    message(SEND_ERROR "${path} was not installed")
  endif()
endforeach()
file(REMOVE_RECURSE "${prefix}")
