#include "tools/key_files.h"

#include <gtest/gtest.h>

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
  EXPECT_FALSE(write_signing_keys(dir, keys, error));

  SigningKeys back;
  ASSERT_TRUE(read_signing_keys(dir, back, error)) << error;
  EXPECT_EQ(std::memcmp(&back.public_keys.constants, &keys.public_keys.constants,
                        sizeof keys.public_keys.constants),
            0);
  EXPECT_EQ(std::memcmp(back.curve_scalar, keys.curve_scalar, 32), 0);

  // White space anywhere is ignored; upper case is read too.
  const std::string constants = read_file("/keys/hash.constants");
  std::string spread;
  for (size_t i = 0; i < constants.size(); ++i) {
    spread += char(std::toupper(constants[i]));
    if (i % 3 == 0) spread += "\t";
  }
  write_file("/keys/hash.constants", "\n" + spread + "\r\n");
  SignatureKeys public_keys;
  ASSERT_TRUE(read_public_keys(dir, public_keys, error)) << error;
  EXPECT_EQ(public_keys.constants.initial[7], keys.public_keys.constants.initial[7]);

  const struct {
    const char* contents;
    const char* message;
  } broken[] = {
      {"00", "holds 1 bytes, expected 32"},
      {"zz", "not hexadecimal"},
      {"abc", "not hexadecimal"},
  };
  for (const auto& test : broken) {
    write_file("/keys/curve.pub", test.contents);
    EXPECT_FALSE(read_public_keys(dir, public_keys, error));
    EXPECT_NE(error.find("curve.pub: "), std::string::npos) << error;
    EXPECT_NE(error.find(test.message), std::string::npos) << error;
  }

  // A public key that does not belong to the private one.
  SigningKeys other;
  ASSERT_TRUE(generate_signing_keys(other));
  ASSERT_TRUE(write_signing_keys(host_path("/other"), other, error));
  write_file("/keys/curve.pub", read_file("/other/curve.pub"));
  EXPECT_FALSE(read_signing_keys(dir, back, error));
  EXPECT_NE(error.find("do not belong"), std::string::npos) << error;
  EXPECT_FALSE(read_public_keys(host_path("/none"), public_keys, error));
}

}  // namespace
