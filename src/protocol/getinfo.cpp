#include "getinfo.h"

#include "playertable.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

QJsonObject handleGetinfo(QJsonObject &request)
{
    // Rebuilt on every request, so a player installed or removed meanwhile is reported.
    refreshPlayerPaths();

    QJsonArray applications;
    if (isPlayerInstalled("vlc"))
        applications.append(QStringLiteral("vlc"));
    if (isPlayerInstalled("potplayer"))
        applications.append(QStringLiteral("potplayer"));

    QJsonObject reply;
    reply.insert(QStringLiteral("action"), QStringLiteral("Getinfo"));
    // An absent "id" takes out as undefined, and inserting undefined leaves the key out.
    reply.insert(QStringLiteral("id"), request.take(QStringLiteral("id")));
    reply.insert(QStringLiteral("version"), QLatin1String(kServiceVersion));
    reply.insert(QStringLiteral("applications"), applications);

    QJsonObject vlc;
    vlc.insert(QStringLiteral("player"), QStringLiteral("vlc"));
    vlc.insert(QStringLiteral("arguments"),
               QJsonArray{QStringLiteral("fullscreen"), QStringLiteral("video-on-top"), QStringLiteral("sub-file")});
    vlc.insert(QStringLiteral("display_name"), QStringLiteral("VLC"));
    QJsonObject potplayer;
    potplayer.insert(QStringLiteral("player"), QStringLiteral("potplayer"));
    potplayer.insert(QStringLiteral("display_name"), QStringLiteral("PotPlayer"));
    reply.insert(QStringLiteral("support"), QJsonArray{vlc, potplayer});
    return reply;
}
