#pragma once

#include <QJsonObject>

// {"Text":"Unsupport","return":-5}: the answer to anything that is not a known request.
QJsonObject replyUnsupport();
