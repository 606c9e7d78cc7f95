#include "authoring/key_files.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "testing/root_fixture.h"

namespace {

class KeyFilesTest : public RootFixture {};

TEST_F(KeyFilesTest, WrittenKeysReadBackAndMalformedFilesAreNamed) {
  SigningKeys keys;
  ASSERT_TRUE(generate_signing_keys(keys));
  std::string error;
  const std::string dir = host_path("/keys");
  ASSERT_TRUE(write_signing_keys(dir, keys, error)) << error;

  SigningKeys back;
  ASSERT_TRUE(read_signing_keys(dir, back, error)) << error;
  EXPECT_EQ(std::memcmp(&back.public_keys.constants, &keys.public_keys.constants,
                        sizeof keys.public_keys.constants),
            0);

  // White space anywhere is ignored; upper case is read too.
  std::string spread = "\n";
  for (char c : read_file("/keys/hash.constants")) spread += {char(std::toupper(c)), '\t'};
  write_file("/keys/hash.constants", spread + "\r\n");
  SignatureKeys public_keys;
  ASSERT_TRUE(read_public_keys(dir, public_keys, error)) << error;
  EXPECT_EQ(public_keys.constants.initial[7], keys.public_keys.constants.initial[7]);

  // Sound public keys that do not belong to the private ones, then degenerate ones.
  SigningKeys other;
  ASSERT_TRUE(generate_signing_keys(other));
  ASSERT_TRUE(write_signing_keys(host_path("/other"), other, error)) << error;
  for (const char* name : {"/eddsa.pub", "/curve.pub"}) {
    const std::string kept = read_file(std::string("/keys") + name);
    write_file(std::string("/keys") + name, read_file(std::string("/other") + name));
    EXPECT_FALSE(read_signing_keys(dir, back, error)) << name;
    EXPECT_NE(error.find("do not belong"), std::string::npos) << error;
    write_file(std::string("/keys") + name, "01" + std::string(62, '0'));
    EXPECT_FALSE(read_public_keys(dir, public_keys, error)) << name;
    EXPECT_NE(error.find(std::string(name + 1) + ": a point of small order; such a key lets"),
              std::string::npos)
        << error;
    write_file(std::string("/keys") + name, kept);
  }

  const std::pair<const char*, const char*> broken[] = {
      {"00", "holds 1 bytes, expected 32"}, {"zz", "not hexadecimal"}, {"abc", "not hexadecimal"}};
  for (const auto& [contents, message] : broken) {
    write_file("/keys/curve.pub", contents);
    EXPECT_FALSE(read_public_keys(dir, public_keys, error));
    EXPECT_NE(error.find("curve.pub: "), std::string::npos) << error;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  EXPECT_FALSE(read_public_keys(host_path("/none"), public_keys, error));
}

}  // namespace
