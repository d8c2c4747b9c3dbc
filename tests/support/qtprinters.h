#pragma once

// Qt values in GoogleTest's messages: readable, and cut short when long.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ostream>
#include <string>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QByteArray &bytes, std::ostream *os)
{
    *os << '"' << bytes.left(600).toStdString()
        << (bytes.size() > 600 ? "...(" + std::to_string(bytes.size()) + " bytes)" : std::string()) << '"';
}
inline void PrintTo(const QString &text, std::ostream *os)
{
    PrintTo(text.toUtf8(), os);
}
inline void PrintTo(const QStringList &list, std::ostream *os)
{
    *os << '[';
    for (int i = 0; i < list.size(); ++i)
        *os << (i ? ", " : "") << '"' << list.at(i).toStdString() << '"';
    *os << ']';
}
inline std::ostream &operator<<(std::ostream &os, const QString &text)
{
    return os << text.toStdString();
}
inline std::ostream &operator<<(std::ostream &os, const QByteArray &bytes)
{
    return os << bytes.toStdString();
}
QT_END_NAMESPACE
