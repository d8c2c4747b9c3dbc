#include "service/certificatetrust.h"

#include "base/uniquehandle_win.h"
#include "base/widestring_win.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>

namespace {

// Firefox imports the Root store's CAs when this policy is 1.
constexpr wchar_t kFirefoxKey[] = L"SOFTWARE\\Policies\\Mozilla\\Firefox\\Certificates";
constexpr wchar_t kFirefoxValue[] = L"ImportEnterpriseRoots";
// The keys below SOFTWARE\Policies that trust may have to create, outermost first.
const wchar_t *const kFirefoxKeys[] = {L"SOFTWARE\\Policies\\Mozilla", L"SOFTWARE\\Policies\\Mozilla\\Firefox",
                                       kFirefoxKey};
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using Store = UniqueHandle<HCERTSTORE>;
using Key = UniqueHandle<HKEY>;

std::string systemError(const std::string &what, DWORD code = GetLastError())
{
    return what + " (error " + std::to_string(code) + ")";
}

Store rootStore(std::string *error)
{
    Store store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"),
                [](HCERTSTORE s) { CertCloseStore(s, 0); });
    if (!store)
        *error = systemError("cannot open the LocalMachine Root store");
    return store;
}

// Takes the certificate with these DER bytes out of the store; none there is no failure.
bool removeFromStore(const std::string &der, std::string *error)
{
    const Store store = rootStore(error);
    if (!store)
        return false;
    BYTE hash[20];
    DWORD hashSize = sizeof hash;
    if (!CryptHashCertificate(0, CALG_SHA1, 0, reinterpret_cast<const BYTE *>(der.data()), DWORD(der.size()), hash,
                              &hashSize)) {
        *error = systemError("cannot hash the CA certificate");
        return false;
    }
    CRYPT_HASH_BLOB blob{hashSize, hash};
    while (PCCERT_CONTEXT found = CertFindCertificateInStore(store.get(), kEncoding, 0, CERT_FIND_SHA1_HASH, &blob,
                                                             nullptr)) {
        // Frees the context whether it succeeds or not.
        if (!CertDeleteCertificateFromStore(found)) {
            *error = systemError("cannot remove the CA from the Root store");
            return false;
        }
    }
    return true;
}

bool recorded(const std::vector<TrustRecord> &records, const TrustRecord &entry)
{
    return std::find(records.begin(), records.end(), entry) != records.end();
}

std::string valuePath()
{
    return toUtf8(kFirefoxKey) + '\\' + toUtf8(kFirefoxValue);
}

} // namespace

TrustResult trustAuthority(const std::string &authorityFile, const std::string &root)
{
    TrustResult result;
    if (!root.empty()) {
        result.error = "Windows has no other root";
        return result;
    }
    const std::string der = derOfPem(readTextFile(authorityFile));
    if (der.empty()) {
        result.error = "no certificate in " + authorityFile;
        return result;
    }
    {
        const Store store = rootStore(&result.error);
        if (!store)
            return result;
        if (!CertAddEncodedCertificateToStore(store.get(), kEncoding, reinterpret_cast<const BYTE *>(der.data()),
                                              DWORD(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            result.error = systemError("cannot add the CA to the Root store");
            return result;
        }
    }

    std::vector<TrustRecord> records = readTrustRecord(authorityFile);
    const std::vector<TrustRecord> before = records;
    Key key;
    for (const wchar_t *path : kFirefoxKeys) {
        HKEY opened = nullptr;
        DWORD disposition = 0;
        const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                            nullptr, &opened, &disposition);
        if (status != ERROR_SUCCESS) {
            result.error = systemError("cannot create HKLM\\" + toUtf8(path), DWORD(status));
            return result;
        }
        key = Key(opened, [](HKEY k) { RegCloseKey(k); });
        if (disposition == REG_CREATED_NEW_KEY && !recorded(records, {"key", toUtf8(path)}))
            records.push_back({"key", toUtf8(path)});
    }
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    const LONG present = RegQueryValueExW(key.get(), kFirefoxValue, nullptr, &type, reinterpret_cast<BYTE *>(&value),
                                          &size);
    if (present == ERROR_FILE_NOT_FOUND) {
        // Recorded first: a record naming a value that was never set costs nothing.
        records.push_back({"value", valuePath()});
        if (!writeTrustRecord(authorityFile, records, &result.error))
            return result;
        value = 1;
        const LONG status = RegSetValueExW(key.get(), kFirefoxValue, 0, REG_DWORD,
                                           reinterpret_cast<const BYTE *>(&value), sizeof value);
        if (status != ERROR_SUCCESS) {
            result.error = systemError("cannot set " + valuePath(), DWORD(status));
            return result;
        }
    } else if (!recorded(records, {"value", valuePath()}) && (type != REG_DWORD || value != 1)) {
        result.warnings.push_back(valuePath() + " is set otherwise by an administrator: left as it is");
    }
    result.ok = records == before || writeTrustRecord(authorityFile, records, &result.error);
    return result;
}

TrustResult untrustAuthority(const std::string &authorityFile, const std::string &root)
{
    TrustResult result;
    if (!root.empty()) {
        result.error = "Windows has no other root";
        return result;
    }
    const std::string der = derOfPem(readTextFile(authorityFile));
    if (der.empty())
        result.warnings.push_back("no certificate in " + authorityFile + ": the Root store is left as it is");
    else if (!removeFromStore(der, &result.error))
        return result;

    const std::vector<TrustRecord> records = readTrustRecord(authorityFile);
    if (recorded(records, {"value", valuePath()})) {
        const LONG status = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFirefoxKey, kFirefoxValue);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            result.error = systemError("cannot remove " + valuePath(), DWORD(status));
            return result;
        }
    }
    // Innermost first, and only while empty: what an administrator put there since stays.
    for (auto entry = records.rbegin(); entry != records.rend(); ++entry) {
        if (entry->kind != "key")
            continue;
        const std::wstring path = toWide(entry->path);
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
            continue;
        DWORD subkeys = 0;
        DWORD values = 0;
        const bool empty = RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr)
                               == ERROR_SUCCESS
                           && subkeys == 0 && values == 0;
        RegCloseKey(opened);
        if (empty)
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
        else
            result.warnings.push_back("HKLM\\" + entry->path + " is not empty: left as it is");
    }
    result.ok = writeTrustRecord(authorityFile, {}, &result.error);
    return result;
}

TrustResult forgetAuthority(const std::string &authorityPem)
{
    TrustResult result;
    const std::string der = derOfPem(authorityPem);
    result.ok = der.empty() || removeFromStore(der, &result.error);
    return result;
}
