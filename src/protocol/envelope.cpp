#include "protocol/envelope.h"

#include "protocol/getinfo.h"
#include "protocol/play.h"
#include "protocol/unsupport.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QString>

std::string jsonToString(QJsonObject reply)
{
    const QByteArray utf8 = QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)).toUtf8();
    return std::string(utf8.constData());
}

std::string handleRequest(QJsonObject request, const PlayContext &context)
{
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
