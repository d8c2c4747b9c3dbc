#pragma once

#include <string>

// The TLS port's certificate and key for this machine. A Windows install makes its own at the
// service's first start (never one shared by all installs); the Debian package makes it in its
// postinst instead. Qt-free; paths are UTF-8.

struct CertificateResult {
    enum class Outcome { Present, Created, Failed };
    Outcome outcome = Outcome::Failed;
    std::string error; // why it failed
};

// When either file is missing, writes a new pair over both: an RSA 2048 key and a self-signed
// server certificate (SHA-256, ten years, O=Mirvale, CN=127.0.0.1, for 127.0.0.1, ::1 and
// localhost, no CA). The key is PKCS#8 PEM encrypted with the pass phrase (AES-256) and readable
// by administrators only (base/wholefile.h). Two files that exist are left as they are.
CertificateResult ensureCertificate(const std::string &certFile, const std::string &keyFile,
                                    const std::string &passphrase);
