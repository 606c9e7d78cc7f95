# Compiles the public half of a key set into the installer. The set is a directory of
# hexadecimal text files (white space ignored): eddsa.pub (32 bytes), curve.pub (32 bytes)
# and hash.constants (72 words of 8 digits: 64 step constants, then 8 initial words).
# The private files eddsa.key and curve.key are never read here.

set(SIGNATURE_KEYS_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/signature_keys.cpp.in")
get_filename_component(SIGNATURE_KEYS_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# Sets out_var to the digits of `file` in `dir`, failing the configure unless they are
# exactly `digit_count` hexadecimal digits.
function(read_key_digits dir file digit_count out_var)
  set(path "${dir}/${file}")
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "INSTALLER_KEYS: ${path} is missing; a key set needs eddsa.pub, "
                        "curve.pub and hash.constants (vmpkg keygen makes one)")
  endif()
  file(READ "${path}" text)
  string(REGEX REPLACE "[ \t\r\n]+" "" digits "${text}")
  if(NOT digits MATCHES "^[0-9a-fA-F]*$")
    message(FATAL_ERROR "INSTALLER_KEYS: ${path} holds something other than hexadecimal "
                        "digits and white space")
  endif()
  string(LENGTH "${digits}" length)
  if(NOT length EQUAL digit_count)
    message(FATAL_ERROR "INSTALLER_KEYS: ${path} holds ${length} hexadecimal digits, "
                        "expected ${digit_count}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
  set(${out_var} "${digits}" PARENT_SCOPE)
endfunction()

# Fails the configure when a public key is not a point of prime order on its curve: such a
# key may let anyone sign. The check is a small program of the library's own curve
# arithmetic, built by a nested project for the machine that configures (so it also runs
# when the installer is cross compiled).
function(check_public_keys dir eddsa curve)
  set(checker_dir "${CMAKE_BINARY_DIR}/check_keys")
  foreach(step configure build)
    if(step STREQUAL configure)
      set(command ${CMAKE_COMMAND} -E env --unset=CC --unset=CXX --unset=CXXFLAGS
                  ${CMAKE_COMMAND} -S "${SIGNATURE_KEYS_SOURCE_DIR}/cmake/check_keys"
                  -B "${checker_dir}" -DCMAKE_BUILD_TYPE=Release)
    else()
      set(command ${CMAKE_COMMAND} --build "${checker_dir}")
    endif()
    execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE output
                    ERROR_VARIABLE output)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "INSTALLER_KEYS: the key checker did not ${step}:\n${output}")
    endif()
  endforeach()
  execute_process(COMMAND "${checker_dir}/check_keys" "${eddsa}" "${curve}"
    RESULT_VARIABLE status OUTPUT_VARIABLE problem ERROR_VARIABLE problem
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 1)
    message(FATAL_ERROR "INSTALLER_KEYS: ${dir}/${problem}; such a key lets anyone sign "
                        "packages (vmpkg keygen makes sound ones)")
  elseif(NOT status EQUAL 0)
    message(FATAL_ERROR "INSTALLER_KEYS: the key checker could not run (${status}): ${problem}")
  endif()
endfunction()

# Writes the public key material of `dir` as a source file at `output`.
function(generate_signature_keys dir output)
  set(hex "[0-9a-fA-F]")
  read_key_digits("${dir}" eddsa.pub 64 eddsa)
  read_key_digits("${dir}" curve.pub 64 curve)
  read_key_digits("${dir}" hash.constants 576 constants)
  check_public_keys("${dir}" "${eddsa}" "${curve}")
  string(REGEX REPLACE "(${hex}${hex})" "0x\\1, " EDDSA_PUBLIC_BYTES "${eddsa}")
  string(REGEX REPLACE "(${hex}${hex})" "0x\\1, " CURVE_PUBLIC_BYTES "${curve}")
  string(SUBSTRING "${constants}" 0 512 step)
  string(SUBSTRING "${constants}" 512 64 initial)
  set(word "${hex}${hex}${hex}${hex}${hex}${hex}${hex}${hex}")
  string(REGEX REPLACE "(${word})" "0x\\1, " HASH_STEP_WORDS "${step}")
  string(REGEX REPLACE "(${word})" "0x\\1, " HASH_INITIAL_WORDS "${initial}")
  set(KEY_DIRECTORY "${dir}")
  configure_file("${SIGNATURE_KEYS_TEMPLATE}" "${output}" @ONLY)
endfunction()
