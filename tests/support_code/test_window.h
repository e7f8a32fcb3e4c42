// Main windows for tests, and what their logs hold.
//
// A window opens its listener while it is created, on the stored port or,
// with nothing stored, on 6667. So a test window's settings are stored
// first, with a listener port the kernel has free below 10000 (the port
// box's range): no test needs 6667, and a NimboChat or an ircd the user runs
// there breaks none.
#pragma once

#include "desktop/registry_values.h"
#include "relay/main_window.h"
#include "support_code/irc_peers.h"

#include <memory>
#include <optional>

// What a test chooses of its window's stored settings. The upstream host is
// 127.0.0.1 and the rest are a fresh window's (nick "Nick", the flash on).
// A port left 0 is one that was free: the upstream's is then a port nobody
// listens on, so a test never reaches a server on 6667 by chance.
struct TestSettings {
    quint16 UpstreamPort = 0; // on 127.0.0.1
    quint16 ListenPort = 0;
    AnsiString ClientPath = {};
    bool AutoCheck = false, MinCheck = false, TaskCheck = false;
};

// Stores all eleven settings, the optional switches off and no StayPassword.
inline void StoreTestSettings(TestSettings s = {})
{
    const quint16 listenPort = s.ListenPort ? s.ListenPort : FreeLowPort();
    quint16 upstreamPort = s.UpstreamPort;
    while (upstreamPort == 0 || upstreamPort == listenPort) // never the window's own listener
        upstreamPort = FreeLowPort();
    TRegistryKey key;
    key.Open("\\SOFTWARE\\Orvane\\NimboChat", true);
    key.WriteText("ClientHost", "127.0.0.1");
    key.WriteNumber("ClientPort", upstreamPort);
    key.WriteText("ClientNick", "Nick");
    key.WriteNumber("ServerPort", listenPort);
    key.WriteNumber("ConvertCheck", 0);
    key.WriteText("ClientPath", s.ClientPath);
    key.WriteNumber("AutoCheck", s.AutoCheck);
    key.WriteNumber("MinCheck", s.MinCheck);
    key.WriteNumber("TaskCheck", s.TaskCheck);
    key.WriteNumber("KeywordCheck", 0);
    key.WriteNumber("FlashCheck", 1);
    // The switches stored only while on are off, and the texts stored only
    // while set are empty: a window of an earlier test must not hand them on.
    for (const char* optional : {"Utf8Check", "SSL", "AllowUntrustedCert", "StayCheck", "LogCheck", "NotifyCheck", "StayPassword"})
        if (key.Exists(optional))
            key.Delete(optional);
}

// A shown window started from test settings; its listener's port is
// ServerSocket->Port.
inline std::unique_ptr<TNimboChat> StartTestWindow(TestSettings s = {})
{
    StoreTestSettings(s);
    auto w = std::make_unique<TNimboChat>(nullptr);
    w->Show();
    return w;
}

// Whether the log holds a line that is exactly `line`, in `colour`.
inline bool LogHasLine(TNimboChat& w, const AnsiString& line, TColor colour)
{
    for (int i = 0; i < w.LogRichEdit->LineTextCount(); ++i)
        if (w.LogRichEdit->LineText(i) == line && w.LogRichEdit->LineColor(i) == colour)
            return true;
    return false;
}

// Whether a line of the log contains `part`, in `colour` when one is given.
inline bool LogContains(TNimboChat& w, const AnsiString& part, std::optional<TColor> colour = {})
{
    for (int i = 0; i < w.LogRichEdit->LineTextCount(); ++i)
        if (w.LogRichEdit->LineText(i).find(part) != AnsiString::npos &&
            (!colour || w.LogRichEdit->LineColor(i) == *colour))
            return true;
    return false;
}
