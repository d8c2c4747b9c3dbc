#include "protocol/unsupport.h"

#include "protocol/returncode.h"

#include <QString>

QJsonObject replyUnsupport()
{
    QJsonObject reply;
    reply.insert(QStringLiteral("return"), static_cast<int>(ReturnCode::Unsupported));
    reply.insert(QStringLiteral("Text"), QStringLiteral("Unsupport"));
    return reply;
}
