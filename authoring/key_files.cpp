#include "authoring/key_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "crypto/hex_text.h"
#include "crypto/key_check.h"

namespace {

constexpr int CONSTANT_WORDS = 72;
const char* const KEY_FILES[] = {"eddsa.pub", "curve.pub", "hash.constants", "eddsa.key",
                                 "curve.key"};

bool read_hex_file(const std::string& path, size_t size, std::vector<unsigned char>& bytes,
                   std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    error = path + ": cannot be read";
    return false;
  }
  if (!parse_hex(text.str(), bytes)) {
    error = path + ": not hexadecimal text";
    return false;
  }
  if (bytes.size() != size) {
    error = path + ": holds " + std::to_string(bytes.size()) + " bytes, expected " +
            std::to_string(size);
    return false;
  }
  return true;
}

bool read_key(const std::string& dir, const char* name, unsigned char* key, std::string& error) {
  std::vector<unsigned char> bytes;
  if (!read_hex_file(dir + "/" + name, 32, bytes, error)) return false;
  std::memcpy(key, bytes.data(), 32);
  return true;
}

// Words are written as 8 digits, most significant first.
uint32_t word_at(const unsigned char* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
         uint32_t(bytes[3]);
}

std::string word_text(uint32_t word) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(word >> 24), static_cast<unsigned char>(word >> 16),
      static_cast<unsigned char>(word >> 8), static_cast<unsigned char>(word)};
  return to_hex(bytes, 4);
}

bool write_file(const std::string& path, const std::string& text, mode_t mode, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written <= 0) break;
    done += size_t(written);
  }
  if (close(fd) != 0 || done != text.size()) {
    error = path + ": cannot be written";
    return false;
  }
  return true;
}

}  // namespace

bool read_public_keys(const std::string& dir, SignatureKeys& keys, std::string& error) {
  std::vector<unsigned char> words;
  if (!read_key(dir, "eddsa.pub", keys.eddsa_public, error) ||
      !read_key(dir, "curve.pub", keys.curve_public, error) ||
      !read_hex_file(dir + "/hash.constants", 4 * CONSTANT_WORDS, words, error)) {
    return false;
  }
  for (int i = 0; i < 64; ++i) keys.constants.k[i] = word_at(&words[4 * i]);
  for (int i = 0; i < 8; ++i) keys.constants.initial[i] = word_at(&words[4 * (64 + i)]);
  std::string problem;
  if (!check_public_keys(keys, problem)) {
    error = dir + "/" + problem + "; such a key lets anyone sign";
    return false;
  }
  return true;
}

bool read_signing_keys(const std::string& dir, SigningKeys& keys, std::string& error) {
  if (!read_public_keys(dir, keys.public_keys, error) ||
      !read_key(dir, "eddsa.key", keys.eddsa_seed, error) ||
      !read_key(dir, "curve.key", keys.curve_scalar, error)) {
    return false;
  }
  if (!keys_match(keys)) {
    error = dir + ": the private keys do not belong to the public ones";
    return false;
  }
  return true;
}

bool write_signing_keys(const std::string& dir, const SigningKeys& keys, std::string& error) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    error = dir + ": " + std::strerror(errno);
    return false;
  }
  for (const char* name : KEY_FILES) {
    if (access((dir + "/" + name).c_str(), F_OK) == 0) {
      error = dir + "/" + name + ": already exists; key files are never replaced";
      return false;
    }
  }
  std::string constants;
  for (int i = 0; i < CONSTANT_WORDS; ++i) {
    const uint32_t word =
        i < 64 ? keys.public_keys.constants.k[i] : keys.public_keys.constants.initial[i - 64];
    constants += word_text(word) + (i % 8 == 7 ? "\n" : " ");
  }
  const auto line = [](const unsigned char* key) { return to_hex(key, 32) + "\n"; };
  return write_file(dir + "/eddsa.pub", line(keys.public_keys.eddsa_public), 0644, error) &&
         write_file(dir + "/curve.pub", line(keys.public_keys.curve_public), 0644, error) &&
         write_file(dir + "/hash.constants", constants, 0644, error) &&
         write_file(dir + "/eddsa.key", line(keys.eddsa_seed), 0600, error) &&
         write_file(dir + "/curve.key", line(keys.curve_scalar), 0600, error);
}
