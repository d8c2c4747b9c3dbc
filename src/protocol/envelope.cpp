#include "envelope.h"

#include "getinfo.h"
#include "jsonnames.h"
#include "play.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QString>

QJsonObject parseJsonObject(std::string text)
{
    // fromUtf8 of a bare pointer stops at the first NUL.
    const QByteArray utf8 = QString::fromUtf8(text.c_str()).toUtf8();
    if (hasRepeatedName(utf8))
        return QJsonObject();
    const QJsonDocument document = QJsonDocument::fromJson(utf8);
    if (document.isNull() || !document.isObject())
        return QJsonObject();
    return document.object();
}

std::string jsonToString(QJsonObject reply)
{
    const QByteArray utf8 = QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)).toUtf8();
    return std::string(utf8.constData());
}

QJsonObject replyUnsupport()
{
    QJsonObject reply;
    reply.insert(QStringLiteral("return"), -5);
    reply.insert(QStringLiteral("Text"), QStringLiteral("Unsupport"));
    return reply;
}

std::string handleRequest(std::string text, const PlayContext &context)
{
    QJsonObject request = parseJsonObject(std::move(text));
    if (!request.contains(QLatin1String("action")))
        return jsonToString(replyUnsupport());

    const QString action = request.take(QStringLiteral("action")).toString();
    // Read for every request, before the action is known.
    const QString application = request.contains(QLatin1String("application"))
                                    ? request.take(QStringLiteral("application")).toString()
                                    : QString();

    if (action == QLatin1String("Getinfo"))
        return jsonToString(handleGetinfo(request));
    if (action == QLatin1String("Play") && request.contains(QLatin1String("params")))
        return jsonToString(handlePlay(request, application, context));
    return jsonToString(replyUnsupport());
}
