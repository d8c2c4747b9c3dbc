#pragma once

#include <string>
#include <vector>

// Trust in this machine's local CA (service/certificate.h) where the browsers look, and exactly
// that undone again. Linux: a managed-policy file of our own for Chromium and for Chrome
// (CACertificates), and the CA's path merged into Firefox's policies.json
// (Certificates.Install). Windows: the CA in the LocalMachine Root store, and Firefox's
// ImportEnterpriseRoots policy. What trust had to create besides our own files (folders, a
// policies.json, registry keys and values) is listed in a record beside the CA, so that untrust
// removes that and nothing an administrator made. Both are idempotent. Paths are UTF-8.

struct TrustResult {
    bool ok = false;
    std::string error;                 // !ok: why
    std::vector<std::string> warnings; // what was left alone, and why
};

// `root` stands in for "/" on Linux (tests); Windows has no such root and takes it empty.
TrustResult trustAuthority(const std::string &authorityFile, const std::string &root = {});
TrustResult untrustAuthority(const std::string &authorityFile, const std::string &root = {});

#ifdef _WIN32
// Takes a CA that renewal replaced out of the Root store (PEM text).
TrustResult forgetAuthority(const std::string &authorityPem);
#endif

// The record of what trust created, beside the CA: "mirvale-ca.crt" -> "mirvale-ca.trusted".
// Lines of "<kind> <path>", oldest first.
struct TrustRecord {
    std::string kind;
    std::string path;
    bool operator==(const TrustRecord &other) const { return kind == other.kind && path == other.path; }
};
std::string trustRecordFile(const std::string &authorityFile);
std::vector<TrustRecord> readTrustRecord(const std::string &authorityFile);
// An empty record removes the file.
bool writeTrustRecord(const std::string &authorityFile, const std::vector<TrustRecord> &records,
                      std::string *error);

// The DER bytes of the first certificate in PEM text; empty when there is none.
std::string derOfPem(const std::string &pem);
// The whole file; empty when it cannot be read.
std::string readTextFile(const std::string &path);
