// Initialises OpenSSL the way the service's libraries do: libcurl and libwebsockets ask for the
// configuration file, then a TLS context is made. With --no-config-first it begins as the
// service's main() does. With --dir it only prints the folder compiled into the library.

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    const bool noConfigFirst = argc > 1 && std::strcmp(argv[1], "--no-config-first") == 0;
    if (argc > 1 && std::strcmp(argv[1], "--dir") == 0) {
        std::printf("%s\n", OpenSSL_version(OPENSSL_DIR));
        return 0;
    }
    if (noConfigFirst && OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1)
        return 2;
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    // Whether the context comes about does not matter here, only what was loaded on the way.
    SSL_CTX_free(SSL_CTX_new(TLS_server_method()));
    return 0;
}
