// A flood toward a peer that stops reading, and how to watch the relay
// hold it back.
#pragma once

#include "relay/main_window.h"
#include "support_code/event_wait.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <utility>

// Lines of 16 KiB, 48 MiB in all: more than every socket buffer on the way
// between the peers holds, so a relay that read on regardless would have to
// keep most of them itself.
inline QByteArray Flood(const QByteArray& command)
{
    QByteArray flood;
    for (int i = 0; i < 3072; ++i)
        flood += command + QByteArray::number(i).rightJustified(5, '0') + QByteArray(16 * 1024, 'q') + "\r\n";
    return flood;
}

// Runs the event loop until the relay's waiting output, sampled every
// millisecond into `most`, has reached the high-water mark, and then the
// sender's unsent bytes and that output have both stood still for 300 ms.
inline bool Settle(const std::function<qint64()>& unsent, const std::function<qint64()>& pending, qint64& most)
{
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { most = std::max(most, pending()); });
    sampler.start(1);
    std::pair<qint64, qint64> last{-1, -1};
    QElapsedTimer still;
    still.start();
    return WaitUntil([&] {
        std::pair<qint64, qint64> now{unsent(), pending()};
        if (now != last || most < HighWaterBytes) {
            last = now;
            still.restart();
        }
        return still.elapsed() >= 300;
    }, 30000);
}
