// How fast NimboChat answers CTCP queries on the user's behalf. Anyone on
// the network can send a hundred queries in a second, and a server
// disconnects a user whose answers flood it. The limit lets a burst of
// Burst answers go, then one each Interval; queries beyond it are left
// unanswered and counted. Only these answers are limited: the PONG to the
// server and the chat client's lines never wait for them.
#pragma once

#include <algorithm>
#include <chrono>
#include <utility>

class TAnswerLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int Burst = 5;
    static constexpr Clock::duration Interval = std::chrono::seconds(2);

    // True when an answer may go at Now, which then takes its turn; false
    // counts one query left unanswered.
    bool Take(Clock::time_point Now)
    {
        FNextFree = std::max(FNextFree, Now);
        if (FNextFree - Now > (Burst - 1) * Interval) {
            ++FUnanswered;
            return false;
        }
        FNextFree += Interval;
        return true;
    }

    // The queries left unanswered since the last call.
    int TakeUnanswered() { return std::exchange(FUnanswered, 0); }

private:
    Clock::time_point FNextFree{}; // where the turns taken so far end; at most Burst turns ahead of now
    int FUnanswered = 0;
};
