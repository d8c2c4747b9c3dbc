#pragma once

#include <QByteArray>

#include <cstddef>
#include <string>

// Requests and replies in the debug records: a client may send megabytes, and urls carry tokens.

// How much of a text a record shows.
constexpr std::size_t kLoggedTextBytes = 4096;

// The text whole when it fits; otherwise its first kLoggedTextBytes bytes, less a UTF-8 sequence
// that would be cut, followed by "...". The text up to its first NUL either way, as the records
// always showed it, and escaped as escapedLogText() does.
QByteArray logExcerpt(const std::string &text);

// A client's text fit for one record: control characters written as \n, \r or \u00XX, so that
// no text starts a line of its own in the log.
QByteArray escapedLogText(const QByteArray &text);

// True when logExcerpt leaves part of the text out.
bool excerptIsCut(const std::string &text);
