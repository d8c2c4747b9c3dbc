#pragma once

#include <QByteArray>

// Qt 5.15's QJsonDocument::fromJson leaks the earlier value of a member name that an object
// repeats when that value is an array or object (with all it holds). Request texts come from
// any client, so they are checked with this before they reach the parser.

// True when some object in the UTF-8 text names a member twice, compared as the parser
// compares names (escapes decoded). Lenient: it follows only strings and nesting, so that it
// sees every object the parser could complete, whether or not the whole text is valid.
bool hasRepeatedName(const QByteArray &utf8);
