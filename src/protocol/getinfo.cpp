#include "protocol/getinfo.h"

#include "base/version.h"
#include "players/playertable.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

QJsonObject handleGetinfo(QJsonObject &request)
{
    // Rebuilt on every request, so a player installed or removed meanwhile is reported.
    refreshPlayerPaths();

    QJsonArray applications;
    QJsonArray support;
    for (const PlayerKind &kind : playerKinds()) {
        if (!kind.discovery)
            continue; // never installed, so not offered either
        const bool installed = isPlayerInstalled(kind.key);
        if (installed)
            applications.append(QLatin1String(kind.key));
        else if (kind.offeredWhenInstalled)
            continue; // so a machine without it gets the reply it always had
        QJsonObject player;
        player.insert(QStringLiteral("player"), QLatin1String(kind.key));
        if (!kind.options.isEmpty())
            player.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(kind.options));
        player.insert(QStringLiteral("display_name"), QLatin1String(kind.displayName));
        support.append(player);
    }

    QJsonObject reply;
    reply.insert(QStringLiteral("action"), QStringLiteral("Getinfo"));
    // An absent "id" takes out as undefined, and inserting undefined leaves the key out.
    reply.insert(QStringLiteral("id"), request.take(QStringLiteral("id")));
    reply.insert(QStringLiteral("version"), QLatin1String(kServiceVersion));
    reply.insert(QStringLiteral("applications"), applications);
    reply.insert(QStringLiteral("support"), support);
    return reply;
}
