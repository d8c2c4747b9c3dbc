#pragma once

#include <ctime>
#include <string>

// The TLS port's certificate for this machine, signed by a local CA of this machine's own. The
// CA may sign only for the loopback addresses and localhost, and its private key lives only in
// memory while ensureCertificate runs: once the server certificate is signed, nothing can ever
// be signed with it again, so trusting the CA trusts this one certificate and nothing else.
// One recipe for the build's development files, the Debian package (mirvale-certificate) and
// the Windows service's first start. Qt-free; paths are UTF-8.

// The three files, all in one folder (beside the executable).
struct CertificateFiles {
    std::string certificate; // server.crt: the server certificate, PEM
    std::string key;         // server.key: its key, PKCS#8 PEM under the pass phrase
    std::string authority;   // mirvale-ca.crt: the CA's certificate, PEM, public
};
CertificateFiles certificateFilesIn(const std::string &folder);

struct CertificateResult {
    enum class Outcome { Present, Created, Failed };
    Outcome outcome = Outcome::Failed;
    std::string error;             // Failed: why
    std::string reason;            // Created: why the files were made anew
    std::string previousAuthority; // Created: the CA certificate (PEM) that was replaced, if any
};

// Days before the end of its validity that a certificate is renewed. The Debian package renews
// at install and upgrade, the Windows service at each start: a month leaves room for both.
inline constexpr int kRenewalDays = 30;

// Leaves a usable set as it is: the key opens with the pass phrase and matches the server
// certificate, the CA signed it and is itself a CA, and neither ends within kRenewalDays of
// `now`. Anything else (a file missing, a self-signed certificate of an earlier install, a
// mismatch, near expiry) makes all three anew: an RSA 2048 CA key and CA certificate (CA:TRUE,
// pathlen 0, name constraints 127.0.0.0/8, ::1, localhost), an RSA 2048 server key and its
// certificate (O=Mirvale, CN=127.0.0.1, for 127.0.0.1, ::1 and localhost; serverAuth),
// SHA-256, ten years. The key is readable by administrators only (base/wholefile.h).
CertificateResult ensureCertificate(const CertificateFiles &files, const std::string &passphrase,
                                    std::time_t now = std::time(nullptr));
