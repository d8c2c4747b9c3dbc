#include "service/tessorservice.h"

#ifdef Q_OS_WIN
#include <openssl/crypto.h>
#endif

int main(int argc, char **argv)
{
#ifdef Q_OS_WIN
    // OpenSSL would read openssl.cnf from the folder compiled into it the first time TLS starts,
    // and such a file can load a DLL. On Windows that folder may be one that any user can create
    // (a drive-relative path, say), so this service never reads one: the first initialisation
    // decides, and later ones that ask for the configuration (libwebsockets', libcurl's) find it
    // done.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1)
        return 1;
#endif
    Q_INIT_RESOURCE(mirvale);
    TessorService service(argc, argv);
    return service.exec();
}
