// mirvale-certificate: this machine's certificate and the browsers' trust in its CA, for the
// build and the package scripts (service/certificate.h, service/certificatetrust.h).

#include "base/constants.h"
#include "service/certificate.h"
#include "service/certificatetrust.h"

#include <QCoreApplication>
#include <QStringList>

#include <openssl/crypto.h>

#include <cstdio>
#include <string>

namespace {

constexpr char kUsage[] =
    "Usage: mirvale-certificate make DIR\n"
    "       mirvale-certificate trust CAFILE [--root DIR]\n"
    "       mirvale-certificate untrust CAFILE [--root DIR]\n"
    "make writes DIR/server.crt, DIR/server.key and DIR/mirvale-ca.crt unless they are a usable set.\n"
    "trust makes the browsers trust the CA in CAFILE; untrust removes exactly that again.\n"
    "--root DIR stands in for / (Linux).\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

int report(const TrustResult &result)
{
    for (const std::string &warning : result.warnings)
        std::fprintf(stderr, "mirvale-certificate: warning: %s\n", warning.c_str());
    if (!result.ok)
        std::fprintf(stderr, "mirvale-certificate: %s\n", result.error.c_str());
    return result.ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    // As the service: no OpenSSL configuration file is read (see main.cpp).
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1)
        return 1;
    // Qt's arguments are the wide command line on Windows: paths keep every character.
    const QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    std::string root;
    const int rootAt = arguments.indexOf(QStringLiteral("--root"));
    if (rootAt >= 0) {
        if (rootAt + 1 >= arguments.size())
            return usage();
        root = arguments.at(rootAt + 1).toStdString();
        arguments.erase(arguments.begin() + rootAt, arguments.begin() + rootAt + 2);
    }
    if (arguments.size() != 2)
        return usage();
    const QString command = arguments.at(0);
    const std::string path = arguments.at(1).toStdString();

    if (command == QLatin1String("make") && rootAt < 0) {
        const CertificateFiles files = certificateFilesIn(path);
        const CertificateResult result = ensureCertificate(files, kKeyPassphrase);
        switch (result.outcome) {
        case CertificateResult::Outcome::Present:
            std::printf("mirvale-certificate: %s is usable: kept\n", files.certificate.c_str());
            return 0;
        case CertificateResult::Outcome::Created:
            std::printf("mirvale-certificate: made %s, %s and %s anew (%s)\n", files.authority.c_str(),
                        files.certificate.c_str(), files.key.c_str(), result.reason.c_str());
            return 0;
        case CertificateResult::Outcome::Failed:
            std::fprintf(stderr, "mirvale-certificate: %s\n", result.error.c_str());
            return 1;
        }
    }
    if (command == QLatin1String("trust"))
        return report(trustAuthority(path, root));
    if (command == QLatin1String("untrust"))
        return report(untrustAuthority(path, root));
    return usage();
}
