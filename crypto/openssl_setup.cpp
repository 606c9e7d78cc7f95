#include "crypto/openssl_setup.h"

#include <openssl/crypto.h>

void openssl_setup() {
  static const bool started =
      OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)started;
}
