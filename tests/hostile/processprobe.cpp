#include "processprobe.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QString>

#include <unistd.h>

namespace hostile {

std::optional<qint64> residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return std::nullopt;
}

int openDescriptors(qint64 pid)
{
    QDir folder(QStringLiteral("/proc/%1/fd").arg(pid));
    if (!folder.exists())
        return -1;
    return int(folder.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

bool listensOn(qint64 pid, quint16 port)
{
    // Listening sockets of the port, by inode, from the process's view of the network.
    QSet<QByteArray> inodes;
    for (const char *table : {"net/tcp", "net/tcp6"}) {
        QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(table)));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (fields.size() < 10 || fields.at(3) != "0A") // TCP_LISTEN
                continue;
            const QByteArray local = fields.at(1);
            bool ok = false;
            const uint localPort = local.mid(local.lastIndexOf(':') + 1).toUInt(&ok, 16);
            if (ok && localPort == port)
                inodes.insert(fields.at(9));
        }
    }
    if (inodes.isEmpty())
        return false;
    QDir folder(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &entry : folder.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[128] = {};
        // The link text is "socket:[inode]", no path: readlink, not a path resolution.
        const ssize_t length = ::readlink(QFile::encodeName(folder.filePath(entry)).constData(), target, sizeof target - 1);
        const QByteArray text(target, length > 0 ? int(length) : 0);
        if (text.startsWith("socket:[") && inodes.contains(text.mid(8, text.size() - 9)))
            return true;
    }
    return false;
}

} // namespace hostile
