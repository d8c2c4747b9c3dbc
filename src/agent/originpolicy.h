#pragma once

#include <QStringList>

// Which pages may open a connection. A browser names the page's origin in the handshake's Origin
// header; other clients send none and are not a page's doing.

// allowed: origins as normalisedOrigin() gives them (network/allowed_origins), empty for any.
// origin: the header's text, null when the handshake has none. An origin not understood is not
// on any list.
bool originAllowed(const QStringList &allowed, const char *origin);
