#include "expected.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace testsupport {

bool isGetinfoReply(const std::optional<QByteArray> &reply, const QByteArray &id)
{
    if (!reply)
        return false;
    const QJsonObject object = QJsonDocument::fromJson(*reply).object();
    const QJsonObject expectedId = QJsonDocument::fromJson("{\"id\":" + id + "}").object();
    return object.value(QLatin1String("action")) == QLatin1String("Getinfo")
           && object.value(QLatin1String("id")) == expectedId.value(QLatin1String("id"));
}

QByteArray shown(const std::optional<QByteArray> &reply)
{
    if (!reply)
        return "<no reply>";
    return reply->size() > 300 ? reply->left(300) + "...(" + QByteArray::number(reply->size()) + " bytes)" : *reply;
}

} // namespace testsupport
