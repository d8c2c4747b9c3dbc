#pragma once

#include <QJsonObject>

// Answers a Getinfo request: refreshes the player table, then reports the version, the
// installed players and the options each supported player takes. Takes "id" out of `request`.
QJsonObject handleGetinfo(QJsonObject &request);
