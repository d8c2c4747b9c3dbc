#include "service/certificatetrust.h"

#include "base/wholefile.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

std::string trustRecordFile(const std::string &authorityFile)
{
    const std::string suffix = ".crt";
    const bool named = authorityFile.size() > suffix.size()
                       && authorityFile.compare(authorityFile.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (named ? authorityFile.substr(0, authorityFile.size() - suffix.size()) : authorityFile) + ".trusted";
}

std::vector<TrustRecord> readTrustRecord(const std::string &authorityFile)
{
    std::vector<TrustRecord> records;
    const std::string text = readTextFile(trustRecordFile(authorityFile));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t space = line.find(' ');
        if (space != std::string::npos && space > 0 && space + 1 < line.size())
            records.push_back({line.substr(0, space), line.substr(space + 1)});
        start = end + 1;
    }
    return records;
}

bool writeTrustRecord(const std::string &authorityFile, const std::vector<TrustRecord> &records,
                      std::string *error)
{
    const std::string file = trustRecordFile(authorityFile);
    if (records.empty()) {
        if (!removeFile(file)) {
            *error = "cannot remove " + file;
            return false;
        }
        return true;
    }
    std::string text;
    for (const TrustRecord &record : records)
        text += record.kind + ' ' + record.path + '\n';
    return writeWholeFile(file, text, FileReaders::Everyone, error);
}

std::string readTextFile(const std::string &path)
{
    // BIO_new_file takes UTF-8 names on Windows too.
    const std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "rb"), &BIO_free);
    std::string text;
    char buffer[4096];
    int n = 0;
    while (file && (n = BIO_read(file.get(), buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

std::string derOfPem(const std::string &pem)
{
    const std::unique_ptr<BIO, decltype(&BIO_free)> memory(BIO_new_mem_buf(pem.data(), int(pem.size())), &BIO_free);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        memory ? PEM_read_bio_X509(memory.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    unsigned char *der = nullptr;
    const int length = certificate ? i2d_X509(certificate.get(), &der) : -1;
    std::string bytes = length > 0 ? std::string(reinterpret_cast<char *>(der), size_t(length)) : std::string();
    OPENSSL_free(der);
    return bytes;
}
