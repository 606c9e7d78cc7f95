// Starts OpenSSL's libcrypto as the installer wants it: without reading the machine's
// OpenSSL configuration, which would only change how the few algorithms used here are
// provided, and costs memory on a small router. Called before any other use; idempotent.
#pragma once

void openssl_setup();
