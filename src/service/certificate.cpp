#include "service/certificate.h"

#include "base/released.h"
#include "base/wholefile.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <utility>

namespace {

constexpr int kKeyBits = 2048;
constexpr long kValidSeconds = 3650L * 24 * 60 * 60;
constexpr int kSerialBits = 127; // positive, and fits the 20 bytes a serial may have

using Key = Released<EVP_PKEY, EVP_PKEY_free>;
using Certificate = Released<X509, X509_free>;
using Memory = Released<BIO, BIO_free_all>;
using Number = Released<BIGNUM, BN_free>;
using Extension = Released<X509_EXTENSION, X509_EXTENSION_free>;

CertificateResult failure(std::string what)
{
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        what += std::string(": ") + text;
    }
    ERR_clear_error();
    return {CertificateResult::Outcome::Failed, std::move(what)};
}

bool addExtension(X509 *certificate, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool setSubject(X509 *certificate)
{
    X509_NAME *name = X509_get_subject_name(certificate);
    const auto add = [name](const char *field, const char *text) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char *>(text), -1, -1, 0)
               == 1;
    };
    return add("O", "Mirvale") && add("CN", "127.0.0.1")
           && X509_set_issuer_name(certificate, name) == 1;
}

bool setSerial(X509 *certificate)
{
    const Number serial(BN_new());
    return serial && BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1
           && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
}

std::string contentOf(BIO *memory)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(memory, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

} // namespace

CertificateResult ensureCertificate(const std::string &certFile, const std::string &keyFile,
                                    const std::string &passphrase)
{
    if (pathExists(certFile) && pathExists(keyFile))
        return {CertificateResult::Outcome::Present, {}};
    ERR_clear_error();

    const Key key(EVP_RSA_gen(kKeyBits));
    if (!key)
        return failure("cannot generate an RSA key");

    const Certificate certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), 2) != 1 || !setSerial(certificate.get())
        || !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0)
        || !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValidSeconds)
        || X509_set_pubkey(certificate.get(), key.get()) != 1 || !setSubject(certificate.get()))
        return failure("cannot fill the certificate");
    // A browser refuses a CA certificate used as a server's own.
    if (!addExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE")
        || !addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment")
        || !addExtension(certificate.get(), NID_ext_key_usage, "serverAuth")
        || !addExtension(certificate.get(), NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost")
        || !addExtension(certificate.get(), NID_subject_key_identifier, "hash"))
        return failure("cannot add the certificate's extensions");
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0)
        return failure("cannot sign the certificate");

    const Memory keyText(BIO_new(BIO_s_mem()));
    const Memory certificateText(BIO_new(BIO_s_mem()));
    if (!keyText || !certificateText
        || PEM_write_bio_PKCS8PrivateKey(keyText.get(), key.get(), EVP_aes_256_cbc(),
                                         passphrase.data(), static_cast<int>(passphrase.size()),
                                         nullptr, nullptr) != 1
        || PEM_write_bio_X509(certificateText.get(), certificate.get()) != 1)
        return failure("cannot write the key and certificate as PEM");

    // Both or neither: a key left without its certificate is removed again, so that the next
    // start finds a file missing and tries afresh instead of serving a pair that does not match.
    std::string error;
    if (!writeWholeFile(keyFile, contentOf(keyText.get()), FileReaders::Administrators, &error))
        return {CertificateResult::Outcome::Failed, error};
    if (!writeWholeFile(certFile, contentOf(certificateText.get()), FileReaders::Everyone, &error)) {
        removeFile(keyFile);
        return {CertificateResult::Outcome::Failed, error};
    }
    return {CertificateResult::Outcome::Created, {}};
}
