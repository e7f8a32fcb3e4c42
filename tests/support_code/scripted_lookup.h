// The socket layer's host lookup, answered by the test from a table of its
// own after a delay, through the event loop as the real one answers.
#pragma once

#include "framework/sockets.h"

#include <QHostInfo>
#include <QTimer>

#include <map>
#include <memory>
#include <string>
#include <vector>

// The host lookup of the socket layer, answered by the test after a delay
// from a table of its own: name -> address (none: the name does not
// resolve). Restores the real lookup when it goes.
class ScriptedLookup {
public:
    explicit ScriptedLookup(int DelayMs) : FDelayMs(DelayMs)
    {
        FPrevious = SetHostLookup([this](const AnsiString& Name, QObject* Context,
                                         std::function<void(const QHostInfo&)> Done) {
            Asked.push_back(Name);
            QHostInfo info;
            auto known = Addresses.find(Name);
            if (known == Addresses.end())
                info.setError(QHostInfo::HostNotFound);
            else
                info.setAddresses({QHostAddress(QString::fromStdString(known->second))});
            QTimer::singleShot(FDelayMs, Context, [answered = FAnswered, Done, info] {
                ++*answered; // counted even when this object is gone
                Done(info);
            });
        });
    }
    ~ScriptedLookup() { SetHostLookup(FPrevious); }
    std::map<AnsiString, std::string> Addresses;
    std::vector<AnsiString> Asked;
    // Answers handed to their askers.
    int Answered() const { return *FAnswered; }

private:
    int FDelayMs;
    THostLookup FPrevious;
    std::shared_ptr<int> FAnswered = std::make_shared<int>(0);
};
