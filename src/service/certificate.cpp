#include "service/certificate.h"

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
constexpr long kValidDays = 3650;
constexpr int kSerialBits = 127; // positive, and fits the 20 bytes a serial may have

// What the CA may sign: the loopback network, ::1 and localhost (with its subdomains), nothing
// a real site could use.
constexpr char kAuthorityConstraints[] =
    "critical,permitted;IP:127.0.0.0/255.0.0.0,"
    "permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff,permitted;DNS:localhost";
constexpr char kServerNames[] = "IP:127.0.0.1,IP:::1,DNS:localhost";

template <typename T, void (*Free)(T *)>
struct Freer {
    void operator()(T *p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Memory = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Number = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;

CertificateResult failure(std::string what)
{
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        what += std::string(": ") + text;
    }
    ERR_clear_error();
    return {CertificateResult::Outcome::Failed, std::move(what), {}, {}};
}

std::string contentOf(BIO *memory)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(memory, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

// BIO_new_file takes UTF-8 names on Windows too.
Certificate readCertificate(const std::string &path)
{
    const Memory file(BIO_new_file(path.c_str(), "rb"));
    return Certificate(file ? PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr) : nullptr);
}

Key readKey(const std::string &path, const std::string &passphrase)
{
    const Memory file(BIO_new_file(path.c_str(), "rb"));
    return Key(file ? PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr,
                                              const_cast<char *>(passphrase.c_str()))
                    : nullptr);
}

std::string pemOf(X509 *certificate)
{
    const Memory text(BIO_new(BIO_s_mem()));
    return text && PEM_write_bio_X509(text.get(), certificate) == 1 ? contentOf(text.get()) : std::string();
}

bool endsBefore(X509 *certificate, std::time_t limit)
{
    return X509_cmp_time(X509_get0_notAfter(certificate), &limit) < 0;
}

// Why the files in place cannot serve, or empty when they can.
std::string unusable(const Certificate &certificate, const Key &key, const Certificate &authority,
                     std::time_t now)
{
    if (!certificate || !key || !authority)
        return "a file is missing or unreadable";
    if (X509_check_private_key(certificate.get(), key.get()) != 1)
        return "the key does not match the certificate";
    if (X509_check_issued(certificate.get(), certificate.get()) == X509_V_OK)
        return "the certificate is self-signed";
    if (X509_check_ca(authority.get()) != 1 || X509_check_issued(authority.get(), certificate.get()) != X509_V_OK
        || X509_verify(certificate.get(), X509_get0_pubkey(authority.get())) != 1)
        return "the certificate is not signed by the CA beside it";
    const std::time_t limit = now + std::time_t(kRenewalDays) * 24 * 60 * 60;
    if (endsBefore(certificate.get(), limit) || endsBefore(authority.get(), limit))
        return "the certificate ends within " + std::to_string(kRenewalDays) + " days";
    return {};
}

bool addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool setName(X509_NAME *name, const std::string &commonName)
{
    const auto add = [name](const char *field, const std::string &text) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char *>(text.c_str()), -1, -1, 0)
               == 1;
    };
    return add("O", "Mirvale") && add("CN", commonName);
}

// A version 3 certificate for `key`, valid from `now` for kValidDays, with a random serial.
Certificate newCertificate(EVP_PKEY *key, std::time_t now)
{
    Certificate certificate(X509_new());
    const Number serial(BN_new());
    if (!certificate || !serial || X509_set_version(certificate.get(), 2) != 1
        || BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1
        || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get()))
        || !X509_time_adj_ex(X509_getm_notBefore(certificate.get()), 0, 0, &now)
        || !X509_time_adj_ex(X509_getm_notAfter(certificate.get()), kValidDays, 0, &now)
        || X509_set_pubkey(certificate.get(), key) != 1)
        return nullptr;
    return certificate;
}

// The CA's name differs on every machine and at every renewal, so that certificate stores
// (NSS keeps them by name) never mistake one for another; the serial's first bytes suffice.
std::string authorityName(X509 *authority)
{
    const Number serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(authority), nullptr));
    char *hex = serial ? BN_bn2hex(serial.get()) : nullptr;
    const std::string name = std::string("Mirvale local CA ") + (hex ? std::string(hex).substr(0, 8) : "");
    OPENSSL_free(hex);
    return name;
}

Certificate makeAuthority(EVP_PKEY *key, std::time_t now)
{
    Certificate authority = newCertificate(key, now);
    if (!authority || !setName(X509_get_subject_name(authority.get()), authorityName(authority.get()))
        || X509_set_issuer_name(authority.get(), X509_get_subject_name(authority.get())) != 1)
        return nullptr;
    X509 *self = authority.get();
    // pathlen 0: it signs end-entity certificates only; serverAuth: and for TLS servers only.
    if (!addExtension(self, self, NID_basic_constraints, "critical,CA:TRUE,pathlen:0")
        || !addExtension(self, self, NID_key_usage, "critical,keyCertSign,cRLSign")
        || !addExtension(self, self, NID_ext_key_usage, "serverAuth")
        || !addExtension(self, self, NID_name_constraints, kAuthorityConstraints)
        || !addExtension(self, self, NID_subject_key_identifier, "hash")
        || X509_sign(self, key, EVP_sha256()) <= 0)
        return nullptr;
    return authority;
}

Certificate makeServer(EVP_PKEY *key, X509 *authority, EVP_PKEY *authorityKey, std::time_t now)
{
    Certificate certificate = newCertificate(key, now);
    if (!certificate || !setName(X509_get_subject_name(certificate.get()), "127.0.0.1")
        || X509_set_issuer_name(certificate.get(), X509_get_subject_name(authority)) != 1)
        return nullptr;
    X509 *self = certificate.get();
    // A browser refuses a CA certificate used as a server's own.
    if (!addExtension(self, authority, NID_basic_constraints, "critical,CA:FALSE")
        || !addExtension(self, authority, NID_key_usage, "critical,digitalSignature,keyEncipherment")
        || !addExtension(self, authority, NID_ext_key_usage, "serverAuth")
        || !addExtension(self, authority, NID_subject_alt_name, kServerNames)
        || !addExtension(self, authority, NID_subject_key_identifier, "hash")
        || !addExtension(self, authority, NID_authority_key_identifier, "keyid:always")
        || X509_sign(self, authorityKey, EVP_sha256()) <= 0)
        return nullptr;
    return certificate;
}

} // namespace

CertificateFiles certificateFilesIn(const std::string &folder)
{
    return {folder + "/server.crt", folder + "/server.key", folder + "/mirvale-ca.crt"};
}

CertificateResult ensureCertificate(const CertificateFiles &files, const std::string &passphrase,
                                    std::time_t now)
{
    ERR_clear_error();
    const Certificate oldAuthority = readCertificate(files.authority);
    std::string reason = unusable(readCertificate(files.certificate), readKey(files.key, passphrase),
                                  oldAuthority, now);
    ERR_clear_error();
    if (reason.empty())
        return {CertificateResult::Outcome::Present, {}, {}, {}};

    const Key key(EVP_RSA_gen(kKeyBits));
    if (!key)
        return failure("cannot generate an RSA key");
    Certificate authority;
    Certificate certificate;
    {
        // The CA's key exists only in this block: freed (and cleared by OpenSSL) once it has
        // signed the two certificates, never written anywhere.
        const Key authorityKey(EVP_RSA_gen(kKeyBits));
        if (!authorityKey)
            return failure("cannot generate an RSA key");
        authority = makeAuthority(authorityKey.get(), now);
        if (!authority)
            return failure("cannot make the CA certificate");
        certificate = makeServer(key.get(), authority.get(), authorityKey.get(), now);
        if (!certificate)
            return failure("cannot make the server certificate");
    }

    const Memory keyText(BIO_new(BIO_s_mem()));
    if (!keyText
        || PEM_write_bio_PKCS8PrivateKey(keyText.get(), key.get(), EVP_aes_256_cbc(), passphrase.data(),
                                         static_cast<int>(passphrase.size()), nullptr, nullptr) != 1)
        return failure("cannot write the key as PEM");
    const std::string authorityText = pemOf(authority.get());
    const std::string certificateText = pemOf(certificate.get());
    if (authorityText.empty() || certificateText.empty())
        return failure("cannot write the certificates as PEM");

    // A failure part-way leaves a set that the next run finds unusable and makes anew; what
    // this run wrote goes again, so that no key is left without its certificate.
    std::string error;
    if (!writeWholeFile(files.authority, authorityText, FileReaders::Everyone, &error))
        return {CertificateResult::Outcome::Failed, error, {}, {}};
    if (!writeWholeFile(files.key, contentOf(keyText.get()), FileReaders::Administrators, &error)) {
        removeFile(files.authority);
        return {CertificateResult::Outcome::Failed, error, {}, {}};
    }
    if (!writeWholeFile(files.certificate, certificateText, FileReaders::Everyone, &error)) {
        removeFile(files.key);
        removeFile(files.authority);
        return {CertificateResult::Outcome::Failed, error, {}, {}};
    }
    return {CertificateResult::Outcome::Created, {}, std::move(reason),
            oldAuthority ? pemOf(oldAuthority.get()) : std::string()};
}
