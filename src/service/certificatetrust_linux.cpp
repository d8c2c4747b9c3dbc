#include "service/certificatetrust.h"

#include "base/wholefile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

// Chromium and Chrome read every file in these folders; the file named here is ours alone.
const char *const kChromiumFolders[] = {"/etc/chromium/policies/managed", "/etc/opt/chrome/policies/managed"};
constexpr char kChromiumFile[] = "mirvale.json";
constexpr char kFirefoxFolder[] = "/etc/firefox/policies";
constexpr char kFirefoxFile[] = "/etc/firefox/policies/policies.json";

QString local(const std::string &path)
{
    return QString::fromStdString(path);
}

bool record(std::vector<TrustRecord> &records, const TrustRecord &entry)
{
    if (std::find(records.begin(), records.end(), entry) != records.end())
        return false;
    records.push_back(entry);
    return true;
}

// Creates the folders of `path` that are missing below `root`, each listed as ours.
bool makeFolders(const std::string &root, const std::string &path, std::vector<TrustRecord> &records,
                 std::string *error)
{
    std::string folder = root;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        folder += path.substr(start - 1, end - start + 1);
        start = end + 1;
        if (QFileInfo(local(folder)).isDir())
            continue;
        if (!QDir().mkdir(local(folder))) {
            *error = "cannot create " + folder;
            return false;
        }
        QFile::setPermissions(local(folder), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                 | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                                 | QFileDevice::ReadOther | QFileDevice::ExeOther);
        record(records, {"folder", folder});
    }
    return true;
}

// Writes the file unless it already holds exactly that.
bool writeIfChanged(const std::string &path, const QByteArray &content, std::string *error)
{
    QFile existing(local(path));
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == content)
        return true;
    return writeWholeFile(path, std::string_view(content.constData(), size_t(content.size())),
                          FileReaders::Everyone, error);
}

// Firefox's policies as an object, or a warning why the file is left alone.
bool readPolicies(const std::string &path, QJsonObject *document, std::string *warning)
{
    QFile file(local(path));
    if (!file.open(QIODevice::ReadOnly)) {
        *warning = path + " cannot be read: left as it is";
        return false;
    }
    QJsonParseError parsed{};
    const QJsonDocument json = QJsonDocument::fromJson(file.readAll(), &parsed);
    const QJsonObject top = json.object();
    const QJsonValue policies = top.value(QLatin1String("policies"));
    const QJsonValue certificates = policies.toObject().value(QLatin1String("Certificates"));
    const QJsonValue install = certificates.toObject().value(QLatin1String("Install"));
    if (parsed.error != QJsonParseError::NoError || !json.isObject()
        || !(policies.isUndefined() || policies.isObject()) || !(certificates.isUndefined() || certificates.isObject())
        || !(install.isUndefined() || install.isArray())) {
        *warning = path + " is not the policies file Firefox reads (" + parsed.errorString().toStdString()
                   + "): left as it is";
        return false;
    }
    *document = top;
    return true;
}

// The CA's path added to (or taken out of) Certificates.Install; empty objects pruned.
QJsonObject withAuthority(QJsonObject top, const QString &authority, bool add)
{
    QJsonObject policies = top.value(QLatin1String("policies")).toObject();
    QJsonObject certificates = policies.value(QLatin1String("Certificates")).toObject();
    QJsonArray install = certificates.value(QLatin1String("Install")).toArray();
    if (add && !install.contains(authority))
        install.append(authority);
    for (int i = install.size() - 1; !add && i >= 0; --i) {
        if (install.at(i).toString() == authority)
            install.removeAt(i);
    }
    if (install.isEmpty())
        certificates.remove(QLatin1String("Install"));
    else
        certificates.insert(QLatin1String("Install"), install);
    if (certificates.isEmpty())
        policies.remove(QLatin1String("Certificates"));
    else
        policies.insert(QLatin1String("Certificates"), certificates);
    top.insert(QLatin1String("policies"), policies);
    return top;
}

QByteArray jsonText(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

} // namespace

TrustResult trustAuthority(const std::string &authorityFile, const std::string &root)
{
    TrustResult result;
    const std::string der = derOfPem(readTextFile(authorityFile));
    if (der.empty()) {
        result.error = "no certificate in " + authorityFile;
        return result;
    }
    const QString authority = QFileInfo(local(authorityFile)).absoluteFilePath();
    std::vector<TrustRecord> records = readTrustRecord(authorityFile);
    const std::vector<TrustRecord> before = records;
    const auto done = [&]() {
        if (records != before && !writeTrustRecord(authorityFile, records, &result.error))
            result.ok = false;
        return result;
    };

    QJsonObject chromium;
    chromium.insert(QLatin1String("CACertificates"),
                    QJsonArray{QString::fromLatin1(QByteArray(der.data(), int(der.size())).toBase64())});
    for (const char *folder : kChromiumFolders) {
        if (!makeFolders(root, folder, records, &result.error)
            || !writeIfChanged(root + folder + '/' + kChromiumFile, jsonText(chromium), &result.error))
            return done();
    }

    const std::string firefox = root + kFirefoxFile;
    QJsonObject policies;
    std::string warning;
    if (!QFileInfo::exists(local(firefox))) {
        if (!makeFolders(root, kFirefoxFolder, records, &result.error))
            return done();
        record(records, {"file", firefox});
    } else if (!readPolicies(firefox, &policies, &warning)) {
        result.warnings.push_back(warning);
        result.ok = true;
        return done();
    }
    // Recorded before it is written: a record naming a file that was never made costs nothing.
    if (records != before && !writeTrustRecord(authorityFile, records, &result.error))
        return result;
    result.ok = writeIfChanged(firefox, jsonText(withAuthority(policies, authority, true)), &result.error);
    return result;
}

TrustResult untrustAuthority(const std::string &authorityFile, const std::string &root)
{
    TrustResult result;
    const QString authority = QFileInfo(local(authorityFile)).absoluteFilePath();
    const std::vector<TrustRecord> records = readTrustRecord(authorityFile);
    const auto ours = [&records](const std::string &kind, const std::string &path) {
        return std::find(records.begin(), records.end(), TrustRecord{kind, path}) != records.end();
    };

    for (const char *folder : kChromiumFolders) {
        const std::string file = root + folder + '/' + kChromiumFile;
        if (!removeFile(file)) {
            result.error = "cannot remove " + file;
            return result;
        }
    }

    const std::string firefox = root + kFirefoxFile;
    QJsonObject policies;
    std::string warning;
    if (QFileInfo::exists(local(firefox))) {
        if (!readPolicies(firefox, &policies, &warning)) {
            result.warnings.push_back(warning);
        } else {
            const QJsonObject left = withAuthority(policies, authority, false);
            const bool empty = left.size() == 1 && left.value(QLatin1String("policies")).toObject().isEmpty();
            if (empty && ours("file", firefox)) {
                if (!removeFile(firefox)) {
                    result.error = "cannot remove " + firefox;
                    return result;
                }
            } else if (left != policies && !writeIfChanged(firefox, jsonText(left), &result.error)) {
                return result;
            }
        }
    }

    // Newest first; a folder someone has put something into since stays.
    for (auto entry = records.rbegin(); entry != records.rend(); ++entry) {
        if (entry->kind == "folder" && !QDir().rmdir(local(entry->path)) && QFileInfo(local(entry->path)).isDir())
            result.warnings.push_back(entry->path + " is not empty: left as it is");
    }
    result.ok = writeTrustRecord(authorityFile, {}, &result.error);
    return result;
}
