// Access to the main window's private fields for tests.
#pragma once

#include "relay/main_window.h"

#include <ostream>

// A session state shows in a test failure as its number (ssIdle 0, ssRelay 2).
inline void PrintTo(TSessionState State, std::ostream* Out) { *Out << static_cast<int>(State); }

struct NimboChatProbe {
    static TSessionState& SessionState(TNimboChat& w) { return w.SessionState; }
    static AnsiString& ServerBuffer(TNimboChat& w) { return w.ServerBuffer; }
    static AnsiString& ClientBuffer(TNimboChat& w) { return w.ClientBuffer; }
    static AnsiString& LocalAddress(TNimboChat& w) { return w.LocalAddress; }
    static AnsiString& GlobalAddress(TNimboChat& w) { return w.GlobalAddress; }
    static TCustomWinSocket*& ClientConnection(TNimboChat& w) { return w.ClientConnection; }
    static bool& Flashing(TNimboChat& w) { return w.Flashing; }
    static bool& TrayIconShown(TNimboChat& w) { return w.TrayIconShown; }
    static TStringList* KeywordList(TNimboChat& w) { return w.KeywordList; }
    static AnsiString& StayPassword(TNimboChat& w) { return w.StayPassword; }
    static void ContinueServerLines(TNimboChat& w) { w.ContinueServerLines(); }
    static TStaySession& Stay(TNimboChat& w) { return w.Stay; }
    static size_t KeptLines(TNimboChat& w) { return w.Stay.KeptLines(); }
    static bool Detached(TNimboChat& w) { return w.Stay.Attach() == TStaySession::atDetached; }
    static bool ServerLinesWaiting(TNimboChat& w) { return w.ServerLinesWaiting(); }
    static bool SaveSettings(TNimboChat& w) { return w.SaveSettings(); }
    static bool SaveKeywords(TNimboChat& w) { return w.SaveKeywords(); }
};
