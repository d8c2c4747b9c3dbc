#pragma once

#include <QJsonObject>

// The service's version as Getinfo reports it.
inline constexpr const char kServiceVersion[] = "1.1.0.18025";

// Answers a Getinfo request: refreshes the player table, then reports the version, the
// installed players and the options each supported player takes. Takes "id" out of `request`.
QJsonObject handleGetinfo(QJsonObject &request);
