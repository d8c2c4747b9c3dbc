#pragma once

#include "play.h"

#include <QJsonObject>

#include <string>

// The request envelope: one JSON object in, exactly one JSON object out. Pure: the agent logs
// the request and sends the reply.

// The request object of a message; an empty object when the text (up to its first NUL) is not
// a JSON object, or names a member twice in one object.
QJsonObject parseJsonObject(std::string text);

// The compact UTF-8 text of a reply.
std::string jsonToString(QJsonObject reply);

// {"Text":"Unsupport","return":-5}: the answer to anything that is not a known request.
QJsonObject replyUnsupport();

// Dispatches one complete message to Getinfo or Play and returns the text of its one reply.
std::string handleRequest(std::string text, const PlayContext &context);
