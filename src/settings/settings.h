#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The service's settings: an INI file on Linux (/etc/mirvale/mirvale.conf, or the file named
// by MIRVALE_CONFIG), the registry key HKLM\SOFTWARE\Tessor\Mirvale on Windows. Every default
// is the behaviour without a store; a setting only narrows or speeds up.

// What the agents are given: how they listen, whom they serve, how their loop waits.
struct NetworkSettings {
    // network/allowed_origins: the origins whose pages may connect, each as "scheme://host[:port]"
    // in lower case; empty: any page.
    QStringList allowedOrigins;
    // network/listen: "loopback" listens on 127.0.0.1 and ::1 only; "any" (the default) on every
    // interface.
    bool listenLoopbackOnly = false;
    // service/responsive: the service loop waits for socket activity instead of sleeping a second
    // between passes.
    bool responsive = false;
};

// Every value read from the store. Each key is one member here and one row in settings.cpp.
struct Settings {
    // players/vlc, players/potplayer, players/mpv: the program a player runs as; empty when unset.
    QString vlcProgram;
    QString potplayerProgram;
    QString mpvProgram;
    NetworkSettings network;
};

// A start-up read takes every group; the player table re-reads only "players" at each refresh.
enum class SettingsScope { All, Players };

// An origin ("scheme://host[:port]") in the form a browser sends it in its Origin header and in
// which network/allowed_origins is kept: lower case, without a trailing slash or the scheme's
// own port. Nothing when the text is no origin (a path, a user, spaces, "null").
std::optional<QString> normalisedOrigin(const QString &text);

// Where the store is read from now: the MIRVALE_CONFIG file when that is set, else the
// platform's store.
QString settingsLocation();

// Reads the store afresh. A missing or unreadable store gives the defaults; an unknown key or a
// bad value is skipped. Each such problem is written to the service log once per process, however
// often the store is re-read. Safe from any thread at the same time.
Settings readSettings(SettingsScope scope = SettingsScope::All);
