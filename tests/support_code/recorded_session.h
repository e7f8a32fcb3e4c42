// A relay session whose two connections are recording sockets: the test
// queues what the server or the chat client sends and drives the window's
// read handlers itself, then knows exactly what each side was sent.
#pragma once

#include "relay/probe.h"
#include "support_code/recording_socket.h"
#include "support_code/test_window.h"

#include <gtest/gtest.h>

class RecordedSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto recorder = std::make_unique<RecordingSocket>();
        upstream = recorder.get();
        w.ClientSocket->ReplaceConnection(std::move(recorder));
        NimboChatProbe::SessionState(w) = ssRelay;
        NimboChatProbe::ClientConnection(w) = &client;
    }
    void TearDown() override { NimboChatProbe::ClientConnection(w) = nullptr; }
    void FromServer(const AnsiString& bytes)
    {
        upstream->Input = bytes;
        w.ClientSocketRead(w.ClientSocket, upstream);
    }
    void FromClient(const AnsiString& bytes)
    {
        client.Input = bytes;
        w.ServerSocketClientRead(w.ServerSocket, &client);
    }

    std::unique_ptr<TNimboChat> window = StartTestWindow();
    TNimboChat& w = *window;
    RecordingSocket* upstream = nullptr; // owned by the window's ClientSocket
    RecordingSocket client;
};
