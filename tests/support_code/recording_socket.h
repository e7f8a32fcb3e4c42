// A connection that is not on the network: what the relay reads from it is
// what the test queued, and what the relay writes to it is recorded. Lets
// the relay's handlers be driven directly, and "nothing more was sent" be
// asserted exactly.
#pragma once

#include "framework/sockets.h"

class RecordingSocket : public TCustomWinSocket {
public:
    RecordingSocket() : TCustomWinSocket(true) {}

    AnsiString ReceiveText() override { return std::exchange(Input, {}); }
    int SendText(const AnsiString& Text) override
    {
        if (!FConnected)
            return 0;
        Sent += Text;
        return static_cast<int>(Text.size());
    }
    qint64 PendingOutput() const override { return Pending; }
    void Close() override { FConnected = false; }
    void Reopen() { FConnected = true; }

    AnsiString Input;  // returned (and emptied) by the next ReceiveText
    AnsiString Sent;   // everything written while connected
    qint64 Pending = 0; // what PendingOutput reports
};
