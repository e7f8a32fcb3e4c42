// A relay session on 127.0.0.1 for each test: a scripted chat client on a
// test window's listener, and the upstream connection the window opened for
// it, accepted by a server of the test's own.
#pragma once

#include "support_code/test_window.h"

#include <gtest/gtest.h>

class RelaySession : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ListenOnLowPort(upstream));
        w = StartTestWindow({.UpstreamPort = upstream.serverPort()});
        listenPort = w->ServerSocket->Port;
        ASSERT_TRUE(client.Connect(listenPort));
        ASSERT_TRUE(WaitUntil([&] { return upstream.hasPendingConnections(); }));
        server.reset(upstream.nextPendingConnection());
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
    }
    void FromServer(const QByteArray& bytes)
    {
        server->write(bytes);
        server->flush();
    }
    // Waits until what the server received, kept in atServer, holds `needle`.
    bool ServerGot(const QByteArray& needle, int timeoutMs = 5000)
    {
        return WaitUntil([&] {
            atServer += server->readAll();
            return atServer.contains(needle);
        }, timeoutMs);
    }

    QTcpServer upstream;
    quint16 listenPort = 0;
    std::unique_ptr<TNimboChat> w;
    IrcClient client;
    std::unique_ptr<QTcpSocket> server;
    QByteArray atServer;
};
