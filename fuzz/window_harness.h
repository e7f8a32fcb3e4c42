// One NimboChat window for a whole fuzz run, headless, with message boxes
// recorded, settings in a private folder, and recording connections in
// place of the network on both sides.
#pragma once

#include "relay/probe.h"
#include "support_code/recording_sink.h"
#include "support_code/recording_socket.h"

#include <QApplication>
#include <QHostInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

// Aborts with the input in hex when a property does not hold.
inline void Require(bool Condition, const char* What, const std::string& Input)
{
    if (Condition)
        return;
    std::fprintf(stderr, "property failed: %s\ninput:", What);
    for (unsigned char c : Input)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// The complete lines of a text as the relay cuts them: at LF, less one CR
// before it; what follows the last LF is no line yet.
inline std::vector<std::string> CompleteLines(const std::string& Text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t lf = Text.find('\n'); lf != std::string::npos; lf = Text.find('\n', start)) {
        size_t end = lf > start && Text[lf - 1] == '\r' ? lf - 1 : lf;
        lines.push_back(Text.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

struct WindowHarness {
    WindowHarness()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_CONFIG_HOME", Config.path().toUtf8());
        App = new QApplication(Argc, Argv);
        Application = new TApplication;
        Application->SetMessageSink(std::make_unique<RecordingSink>());
        SetHostLookup([this](const AnsiString& Host, QObject*, std::function<void(const QHostInfo&)> Done) {
            Lookups.push_back([Host, Done] {
                QHostInfo info; // names that begin with an even byte resolve
                if (!Host.empty() && Host[0] % 2 == 0)
                    info.setAddresses({QHostAddress("203.0.113.5")});
                else
                    info.setError(QHostInfo::HostNotFound);
                Done(info);
            });
        });
        Window = new TNimboChat(nullptr);
        auto upstream = std::make_unique<RecordingSocket>();
        Upstream = upstream.get();
        Window->ClientSocket->ReplaceConnection(std::move(upstream));
    }
    // A fresh relay session: empty buffers, both connections open and empty.
    void StartSession(TSessionState State, RecordingSocket* Client)
    {
        NimboChatProbe::SessionState(*Window) = State;
        NimboChatProbe::ClientConnection(*Window) = Client;
        NimboChatProbe::ServerBuffer(*Window).clear();
        NimboChatProbe::ClientBuffer(*Window).clear();
        Upstream->Reopen();
        Upstream->Sent.clear();
    }
    // Answers the name lookups asked so far, and those they lead to.
    void AnswerLookups()
    {
        while (!Lookups.empty()) {
            std::vector<std::function<void()>> asked;
            std::swap(asked, Lookups);
            for (const auto& answer : asked)
                answer();
        }
    }
    void EndSession()
    {
        NimboChatProbe::ClientConnection(*Window) = nullptr;
        NimboChatProbe::SessionState(*Window) = ssIdle;
    }

    QTemporaryDir Config;
    int Argc = 1;
    char Name[8] = "fuzz";
    char* Argv[2] = {Name, nullptr};
    QApplication* App;
    TNimboChat* Window;
    RecordingSocket* Upstream;
    // Name lookups wait here for AnswerLookups: nothing reaches the network.
    std::vector<std::function<void()>> Lookups;
};

// Created on the first input and kept for the run.
inline WindowHarness& Harness()
{
    static WindowHarness* harness = new WindowHarness;
    return *harness;
}
