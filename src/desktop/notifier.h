// Desktop notifications of keyword hits, through the freedesktop
// notification service (org.freedesktop.Notifications on the session bus).
//
// One hit shows one notification: the summary "キーワード: #日本" (the
// channel), the body "hana: こんにちは nimbo" (the sender and the line), and
// a click on it brings the window up.
//
// Folding: at most one Notify call goes out a second. A hit that comes when
// the last notification went out a second or more ago is shown at once, as a
// new notification. Hits that come within that second are held; when the
// second is over they are shown together by one call that replaces the
// notification before them (its replaces_id), with the summary "20 件のキー
// ワード" (every hit this notification has carried, the first one included)
// and a body of the newest three hits, one a line, "#日本 hana: ...". A
// steady stream of hits thus keeps one notification up to date, once a
// second, and a quiet second ends it: the next hit is a new notification.
//
// The body is escaped (&lt; for <, ...) for a service that shows markup in
// it, so that a chat line never reads as markup or links; which a service
// does is asked of it (GetCapabilities) once, and again when another
// service takes the name.
//
// Nothing here waits on the bus or on the service: every call is
// asynchronous and its answer comes through the event loop. While one call
// awaits its answer no other goes out; the hits meanwhile are held and go
// with the next call. A missing service, an error or a service that never
// answers (the call gives up after 10 seconds) is not reported anywhere: no
// box, no exception, no log output; the hits it carried are not shown. The
// caller's own alert (the window flash) is untouched by all of this.
#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

class QDBusMessage;

class TNotifier : public QObject {
    Q_OBJECT

public:
    // The least time between two Notify calls, in milliseconds.
    static constexpr int FoldMs = 1000;

    // OnActivate brings the window up; it runs, through DispatchEvent, when
    // the user clicks (the "default" action of) one of the notifications
    // this notifier showed: an ActionInvoked signal with the key "default",
    // an id the service gave this notifier, sent by the service that gave it.
    // Bus is the bus to show notifications on; when it is not connected,
    // Hit does nothing. Constructing subscribes to the service's signals and
    // sends one asynchronous call (the service's capabilities); it waits for
    // nothing on the bus.
    explicit TNotifier(std::function<void()> OnActivate, QDBusConnection Bus = DesktopBus());
    ~TNotifier() override;
    TNotifier(const TNotifier&) = delete;
    TNotifier& operator=(const TNotifier&) = delete;

    // A keyword hit: who said it, where (a channel, or empty for a private
    // message: the summary is then "キーワード" alone), and the line, all
    // decoded for display. IRC formatting codes (bold, colour, ...) and other
    // control characters are left out; a CTCP ACTION shows as
    // "* hana waves". Returns at once; never throws on its own account.
    void Hit(const QString& Sender, const QString& Where, const QString& Text);

    // The session bus when the environment announces one
    // (DBUS_SESSION_BUS_ADDRESS, or a socket at $XDG_RUNTIME_DIR/bus), else a
    // connection that is not connected. It never starts a bus of its own.
    // Connecting is Qt's connect to the local bus socket and the bus's
    // greeting. The process keeps the connection, under the name
    // "nimbochat-session-bus", and later calls return it.
    static QDBusConnection DesktopBus();

    // The id the service gave the current notification; 0 while it has none
    // (before its first answer, or when that failed, and after another
    // service took the name).
    unsigned ShownId() const { return Id; }
    // True while a hit would be folded into the current notification rather
    // than shown at once: within FoldMs of the last Notify call, while hits
    // are held, or while a call awaits its answer.
    bool Folding() const;
    // True while hits are held or a call awaits its answer; false means
    // every hit so far has gone out and been answered (or failed).
    bool Busy() const { return Calling || Held > 0; }

private slots:
    void ActionInvoked(uint NotificationId, const QString& ActionKey, const QDBusMessage& Message);
    void NotificationClosed(uint NotificationId, uint Reason, const QDBusMessage& Message);
    void OwnerChanged(const QString& Name, const QString& OldOwner, const QString& NewOwner,
                      const QDBusMessage& Message);

private:
    struct THit {
        QString Where;
        QString Line; // "hana: text" or "* hana waves"
    };
    enum class TMarkup { Unknown, Plain, Markup };

    void Schedule();
    void Send();
    void AskCapabilities();
    void Notify();
    QString Summary() const;
    QString Body() const;
    void Remember(unsigned NotificationId);

    std::function<void()> OnActivate;
    QDBusConnection Bus;
    QTimer FoldTimer;        // runs while held hits wait for the second to end
    QElapsedTimer SinceSent; // since the last Notify call; invalid before it
    std::deque<THit> Latest; // the newest hits of the current notification
    int Count = 0;           // hits the current notification has carried
    int Held = 0;            // hits not yet sent
    unsigned Id = 0;         // the current notification's id; 0: a new one
    bool Calling = false;    // a call awaits its answer
    TMarkup Markup = TMarkup::Unknown;
    QString Owner;                // the service that answered the last Notify
    std::deque<unsigned> ShownIds; // ids of ours that may still be on screen
};
