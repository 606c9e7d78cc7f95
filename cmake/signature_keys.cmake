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
# key lets anyone sign. The check is a small program of the library's own curve arithmetic,
# built with the project's compiler and run here (through the emulator when cross compiling).
function(check_public_keys dir eddsa curve)
  set(source_dir "${SIGNATURE_KEYS_SOURCE_DIR}")
  set(checker "${CMAKE_BINARY_DIR}/check_keys/check_keys${CMAKE_EXECUTABLE_SUFFIX}")
  try_compile(built "${CMAKE_BINARY_DIR}/check_keys/build"
    SOURCES "${source_dir}/tools/check_keys_main.cpp" "${source_dir}/format/key_check.cpp"
            "${source_dir}/format/ladder.cpp" "${source_dir}/format/field25519.cpp"
            "${source_dir}/tools/hex_text.cpp"
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${source_dir}"
    CXX_STANDARD 17
    OUTPUT_VARIABLE build_output
    COPY_FILE "${checker}")
  if(NOT built)
    message(FATAL_ERROR "INSTALLER_KEYS: the key checker did not build:\n${build_output}")
  endif()
  if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(WARNING "INSTALLER_KEYS: cross compiling without an emulator; the keys of ${dir} "
                    "are not checked")
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} "${checker}" "${eddsa}" "${curve}"
    RESULT_VARIABLE status OUTPUT_VARIABLE problem ERROR_VARIABLE problem
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "INSTALLER_KEYS: ${dir}/${problem}; such a key lets anyone sign "
                        "packages (vmpkg keygen makes sound ones)")
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
