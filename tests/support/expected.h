#pragma once

// What the service is and says, as the tests expect it: the replies it must write, text for
// text, each written once here, beside its ports, pass phrase and version.

#include "base/constants.h"
#include "base/version.h"

#include <QByteArray>

#include <optional>

namespace testsupport {

// The product's own constants (generated from constants.env), so tests and service never differ.
using ::kKeyPassphrase;
using ::kPlainPort;
using ::kServiceVersion;
using ::kTlsPort;

inline const QByteArray kUnsupport = R"({"Text":"Unsupport","return":-5})";
inline const QByteArray kBothPlayers = R"("vlc","potplayer")";

// Everything of a Getinfo reply after its "applications" and "id".
inline const QByteArray kGetinfoSupport =
    R"("support":[{"arguments":["fullscreen","video-on-top","sub-file"],"display_name":"VLC","player":"vlc"},)"
    R"({"display_name":"PotPlayer","player":"potplayer"}],"version":")" + QByteArray(kServiceVersion) + R"("})";

// applications: the inside of the "applications" array; id: JSON text, empty for none.
inline QByteArray getinfoReply(const QByteArray &applications, const QByteArray &id = {})
{
    return R"({"action":"Getinfo","applications":[)" + applications + "],"
           + (id.isEmpty() ? QByteArray() : R"("id":)" + id + ",") + kGetinfoSupport;
}

inline QByteArray getinfoRequest(const QByteArray &id = {})
{
    return id.isEmpty() ? QByteArray(R"({"action":"Getinfo"})") : R"({"action":"Getinfo","id":)" + id + "}";
}

// True when the reply is Getinfo's answer to the request with that "id" (JSON text).
bool isGetinfoReply(const std::optional<QByteArray> &reply, const QByteArray &id);

// subtitleResult: "download_subfile_result", absent when nullopt.
inline QByteArray playReply(const QByteArray &id, int result, std::optional<bool> subtitleResult = {})
{
    QByteArray reply = R"({"action":"Play",)";
    if (subtitleResult)
        reply += QByteArray(R"("download_subfile_result":)") + (*subtitleResult ? "true" : "false") + ",";
    return reply + R"("id":)" + id + R"(,"return":)" + QByteArray::number(result) + "}";
}

// A reply, or a text that names its absence (compared like any other reply).
inline QByteArray orNone(const std::optional<QByteArray> &reply)
{
    return reply ? *reply : QByteArray("<no reply within the time-out>");
}

// A reply for a failure message: requests here run to MiBs.
QByteArray shown(const std::optional<QByteArray> &reply);

} // namespace testsupport
