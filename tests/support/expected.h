#pragma once

// What the service is and says, as the tests expect it: its ports, pass phrase and version, and
// the replies it must write, text for text. Each is written once, here.

#include <QByteArray>

#include <optional>

namespace testsupport {

constexpr quint16 kPlainPort = 8142;
constexpr quint16 kTlsPort = 8143;
constexpr char kPassPhrase[] = "KWZT";
constexpr char kVersion[] = "1.1.0.18025";

inline const QByteArray kUnsupport = R"({"Text":"Unsupport","return":-5})";
inline const QByteArray kBothPlayers = R"("vlc","potplayer")";

// Everything of a Getinfo reply after its "applications" and "id".
inline const QByteArray kGetinfoSupport =
    R"("support":[{"arguments":["fullscreen","video-on-top","sub-file"],"display_name":"VLC","player":"vlc"},)"
    R"({"display_name":"PotPlayer","player":"potplayer"}],"version":")" + QByteArray(kVersion) + R"("})";

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
