#pragma once

#include "protocol/play.h"

#include <QJsonObject>

#include <string>

// The request envelope: one JSON object in, exactly one JSON object out. Pure: the agent parses
// and logs the request and sends the reply.

// The compact UTF-8 text of a reply.
std::string jsonToString(QJsonObject reply);

// Dispatches one request, parsed from a complete message (an empty object when the message
// held no JSON object), to Getinfo or Play and returns the text of its one reply.
std::string handleRequest(QJsonObject request, const PlayContext &context);
