# Test: configuring with a public key that would let anyone sign fails, naming the file.
# Run with -DSOURCE_DIR=<project> -DWORK_DIR=<scratch directory> -P.
set(cases
  "curve.pub|0000000000000000000000000000000000000000000000000000000000000000|point of order 2"
  "curve.pub|12c7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711c47|prime order"
  "eddsa.pub|c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a|small order")
foreach(entry IN LISTS cases)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 file)
  list(GET fields 1 key)
  list(GET fields 2 expected)
  set(keys "${WORK_DIR}/keys")
  # The build directory stays, so the key checker is built once for all cases.
  file(REMOVE_RECURSE "${keys}")
  file(COPY "${SOURCE_DIR}/keys/dev/" DESTINATION "${keys}")
  file(WRITE "${keys}/${file}" "${key}\n")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -DINSTALLER_TESTS=OFF
            "-DINSTALLER_KEYS=${keys}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  if(status EQUAL 0 OR NOT output MATCHES "${file}: [^;]*${expected}; such a key lets anyone sign")
    message(FATAL_ERROR "a degenerate ${file} (${key}) was not refused as '${expected}':\n${output}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
