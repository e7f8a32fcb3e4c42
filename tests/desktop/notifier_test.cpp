// Desktop notifications of keyword hits, on a real bus: each test starts a
// private dbus-daemon and, on it, a notification service of its own that
// records the calls it gets, answers them with ids and sends the signals a
// click sends.
#include "desktop/notifier.h"
#include "support_code/event_wait.h"
#include "support_code/recording_sink.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

// A Notify call as the service got it.
struct TNotifyCall {
    QString Signature;
    QString App;
    uint Replaces;
    QString Icon;
    QString Summary;
    QString Body;
    QStringList Actions;
    QVariantMap Hints;
    int Timeout;
    qint64 AtMs; // since the service was made
    uint Answer; // the id it answered, 0 while it holds the answer
};

// The notification service of the tests, on org.freedesktop.Notifications.
class TRecordingService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    // Ids are given from FirstId on.
    explicit TRecordingService(uint FirstId = 42) : NextId(FirstId) { Clock.start(); }

    std::vector<TNotifyCall> Calls;
    int CapabilityCalls = 0;
    QStringList Capabilities{QStringLiteral("actions"), QStringLiteral("body")};
    bool HoldAnswers = false;           // Notify answers wait for Answer()
    std::vector<QDBusMessage> Waiting;  // the held Notify calls

    // Answers the oldest held call with Id.
    void Answer(QDBusConnection& Bus, uint Id)
    {
        ASSERT_FALSE(Waiting.empty());
        Bus.send(Waiting.front().createReply(QVariant::fromValue(Id)));
        Waiting.erase(Waiting.begin());
    }

public slots:
    Q_SCRIPTABLE uint Notify(const QString& AppName, uint ReplacesId, const QString& AppIcon, const QString& Summary,
                             const QString& Body, const QStringList& Actions, const QVariantMap& Hints, int Timeout)
    {
        uint id = ReplacesId != 0 ? ReplacesId : NextId++;
        if (HoldAnswers) {
            setDelayedReply(true);
            Waiting.push_back(message());
            id = 0;
        }
        Calls.push_back({message().signature(), AppName, ReplacesId, AppIcon, Summary, Body, Actions, Hints, Timeout,
                         Clock.elapsed(), id});
        return id;
    }
    Q_SCRIPTABLE QStringList GetCapabilities()
    {
        ++CapabilityCalls;
        return Capabilities;
    }

private:
    QElapsedTimer Clock;
    uint NextId;
};

namespace {

const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

// A private session bus: dbus-daemon with a configuration of its own, so
// that no service on this machine is started on demand on it.
class TPrivateBus {
public:
    TPrivateBus()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty() || !Dir.isValid())
            return; // Address stays empty; the fixture fails on it
        QFile config(Dir.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                         .arg(Dir.path())
                         .toUtf8());
        config.close();
        Daemon.setProgram(daemon);
        Daemon.setArguments({QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--print-address"),
                             QStringLiteral("--nofork"), QStringLiteral("--nopidfile")});
        Daemon.start();
        QByteArray out;
        WaitUntil([&] {
            out += Daemon.readAllStandardOutput();
            return out.contains('\n') || Daemon.state() == QProcess::NotRunning;
        }, 10000);
        if (out.contains('\n'))
            Address = QString::fromUtf8(out.left(out.indexOf('\n')).trimmed());
        else
            ADD_FAILURE() << "dbus-daemon: " << Daemon.readAllStandardError().toStdString();
    }
    ~TPrivateBus()
    {
        if (Daemon.state() != QProcess::NotRunning) {
            Daemon.terminate();
            if (!Daemon.waitForFinished(5000)) {
                Daemon.kill();
                Daemon.waitForFinished(5000);
            }
        }
    }
    TPrivateBus(const TPrivateBus&) = delete;
    TPrivateBus& operator=(const TPrivateBus&) = delete;

    QString Address;

private:
    QTemporaryDir Dir;
    QProcess Daemon;
};

// Collects what Qt would print (warnings and worse) while it lives.
class TQtOutput {
public:
    TQtOutput() { Previous = qInstallMessageHandler(&TQtOutput::Record); }
    ~TQtOutput()
    {
        qInstallMessageHandler(Previous);
        Lines().clear();
    }
    static QStringList& Lines()
    {
        static QStringList lines;
        return lines;
    }

private:
    static void Record(QtMsgType Type, const QMessageLogContext&, const QString& Text)
    {
        if (Type != QtDebugMsg && Type != QtInfoMsg)
            Lines() << Text;
    }
    QtMessageHandler Previous;
};

class Notifier : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(Bus.Address.isEmpty()) << "dbus-daemon did not start (Debian package dbus-daemon)";
        static int serial = 0;
        ++serial;
        ClientName = QStringLiteral("notifier-client-%1").arg(serial);
        ServiceName = QStringLiteral("notifier-service-%1").arg(serial);
        Client = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(Bus.Address, ClientName));
        ServiceBus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(Bus.Address, ServiceName));
        ASSERT_TRUE(Client->isConnected()) << Client->lastError().message().toStdString();
        ASSERT_TRUE(ServiceBus->isConnected()) << ServiceBus->lastError().message().toStdString();
    }
    void TearDown() override
    {
        Notify.reset();
        Service.reset();
        Client.reset();
        ServiceBus.reset();
        for (const QString& name : Others)
            QDBusConnection::disconnectFromBus(name);
        QDBusConnection::disconnectFromBus(ClientName);
        QDBusConnection::disconnectFromBus(ServiceName);
    }

    // The recording service, on the bus under its name.
    void StartService()
    {
        Service = std::make_unique<TRecordingService>();
        ASSERT_TRUE(ServiceBus->registerObject(Path, Service.get(), QDBusConnection::ExportScriptableSlots));
        ASSERT_TRUE(ServiceBus->registerService(Interface));
    }
    // The notifier on the test's client connection, once its first question
    // (the capabilities) is answered.
    void StartNotifier()
    {
        Notify = std::make_unique<TNotifier>([this] { ++Activated; }, *Client);
        ASSERT_TRUE(WaitUntil([&] { return !Notify->Busy(); }));
    }
    // A connection of another program on the same bus.
    QDBusConnection Other()
    {
        const QString name = QStringLiteral("notifier-other-%1").arg(Others.size());
        Others << ClientName + name;
        return QDBusConnection::connectToBus(Bus.Address, ClientName + name);
    }
    static void SendSignal(QDBusConnection& From, const QString& Name, const QVariantList& Arguments)
    {
        QDBusMessage signal = QDBusMessage::createSignal(Path, Interface, Name);
        signal.setArguments(Arguments);
        ASSERT_TRUE(From.send(signal));
    }
    // Returns once the notifier's connection has taken in every message
    // From sent before: the ping is answered after them, and what they
    // deliver is then waiting in the event queue.
    void Drain(QDBusConnection& From)
    {
        QDBusMessage ping = QDBusMessage::createMethodCall(Client->baseService(), QStringLiteral("/"),
                                                          QStringLiteral("org.freedesktop.DBus.Peer"),
                                                          QStringLiteral("Ping"));
        ASSERT_EQ(From.call(ping, QDBus::Block, 5000).type(), QDBusMessage::ReplyMessage);
    }
    void Click(uint Id, const QString& Key = QStringLiteral("default"))
    {
        SendSignal(*ServiceBus, QStringLiteral("ActionInvoked"), {QVariant::fromValue(Id), Key});
    }
    // Waits until the notifier has sent and seen answered everything, and
    // no later hit would be folded into what it sent.
    bool Settled() { return WaitUntil([&] { return !Notify->Folding(); }, 10000); }

    TPrivateBus Bus;
    QString ClientName, ServiceName;
    QStringList Others;
    std::unique_ptr<QDBusConnection> Client, ServiceBus;
    std::unique_ptr<TRecordingService> Service;
    std::unique_ptr<TNotifier> Notify;
    int Activated = 0;
};

TEST_F(Notifier, OneHitShowsOneNotificationWithSenderChannelAndLine)
{
    StartService();
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("こんにちは nimbo"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1 && !Notify->Busy(); }));
    const TNotifyCall& call = Service->Calls[0];
    EXPECT_EQ(call.Signature, QStringLiteral("susssasa{sv}i"));
    EXPECT_EQ(call.App, QStringLiteral("NimboChat"));
    EXPECT_EQ(call.Replaces, 0u);
    EXPECT_EQ(call.Icon, QStringLiteral("nimbochat"));
    EXPECT_EQ(call.Summary, QStringLiteral("キーワード: #日本"));
    EXPECT_EQ(call.Body, QStringLiteral("hana: こんにちは nimbo"));
    EXPECT_EQ(call.Actions, (QStringList{QStringLiteral("default"), QStringLiteral("開く")}));
    EXPECT_EQ(call.Hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("nimbochat"));
    EXPECT_EQ(call.Timeout, -1);
    EXPECT_EQ(Notify->ShownId(), call.Answer);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Service->Calls.size(), 1u);
    EXPECT_EQ(Activated, 0);
}

TEST_F(Notifier, AFloodWithinASecondIsFoldedIntoOneNotificationThatSaysHowMany)
{
    StartService();
    StartNotifier();
    for (int i = 1; i <= 20; ++i)
        Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo %1").arg(i));
    ASSERT_TRUE(Settled());
    ASSERT_EQ(Service->Calls.size(), 2u);
    const TNotifyCall& first = Service->Calls[0];
    const TNotifyCall& second = Service->Calls[1];
    EXPECT_EQ(first.Summary, QStringLiteral("キーワード: #日本"));
    EXPECT_EQ(first.Body, QStringLiteral("hana: nimbo 1"));
    // The second replaces the first, a second later, with all twenty counted
    // and the newest three listed.
    EXPECT_EQ(second.Replaces, first.Answer);
    EXPECT_GE(second.AtMs - first.AtMs, TNotifier::FoldMs - 50);
    EXPECT_EQ(second.Summary, QStringLiteral("20 件のキーワード"));
    EXPECT_EQ(second.Body, QStringLiteral("#日本 hana: nimbo 18\n#日本 hana: nimbo 19\n#日本 hana: nimbo 20"));
    EXPECT_EQ(second.Actions, (QStringList{QStringLiteral("default"), QStringLiteral("開く")}));
    EXPECT_EQ(Notify->ShownId(), first.Answer);
}

TEST_F(Notifier, AHitAfterAQuietSecondIsANewNotification)
{
    StartService();
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo one"));
    Notify->Hit(QStringLiteral("jiro"), QStringLiteral("#leaf"), QStringLiteral("nimbo two"));
    ASSERT_TRUE(Settled());
    ASSERT_EQ(Service->Calls.size(), 2u);
    EXPECT_EQ(Service->Calls[1].Summary, QStringLiteral("2 件のキーワード"));
    EXPECT_EQ(Service->Calls[1].Body, QStringLiteral("#日本 hana: nimbo one\n#leaf jiro: nimbo two"));
    Notify->Hit(QStringLiteral("saburo"), QString(), QStringLiteral("nimbo three"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 3 && !Notify->Busy(); }));
    const TNotifyCall& third = Service->Calls[2];
    EXPECT_EQ(third.Replaces, 0u);
    EXPECT_NE(third.Answer, Service->Calls[0].Answer);
    EXPECT_EQ(third.Summary, QStringLiteral("キーワード")); // a private message has no channel
    EXPECT_EQ(third.Body, QStringLiteral("saburo: nimbo three"));
    EXPECT_EQ(Notify->ShownId(), third.Answer);
}

TEST_F(Notifier, ClickingTheNotificationBringsTheWindowUp)
{
    StartService();
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("こんにちは nimbo"));
    ASSERT_TRUE(WaitUntil([&] { return Notify->ShownId() != 0; }));
    Click(Notify->ShownId());
    ASSERT_TRUE(WaitUntil([&] { return Activated == 1; }));
    // A folded notification keeps its id, and a click on it works the same.
    ASSERT_TRUE(Settled());
    for (int i = 0; i < 3; ++i)
        Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo"));
    ASSERT_TRUE(Settled());
    ASSERT_EQ(Service->Calls.size(), 3u);
    EXPECT_EQ(Service->Calls[2].Summary, QStringLiteral("3 件のキーワード"));
    EXPECT_EQ(Service->Calls[2].Replaces, Service->Calls[1].Answer);
    Click(Service->Calls[2].Answer);
    ASSERT_TRUE(WaitUntil([&] { return Activated == 2; }));
    EXPECT_TRUE(Recorded().Exceptions.empty());
}

TEST_F(Notifier, OnlyTheDefaultActionOfItsOwnNotificationBringsTheWindowUp)
{
    StartService();
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo"));
    ASSERT_TRUE(WaitUntil([&] { return Notify->ShownId() != 0; }));
    const uint id = Notify->ShownId();
    // Another program's signal claiming the id, the service's own for
    // another action and for another notification, then the real click.
    QDBusConnection stranger = Other();
    ASSERT_TRUE(stranger.isConnected());
    SendSignal(stranger, QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("default")});
    // Nor does it make the notifier forget its notifications by claiming,
    // in the bus's place, that the service changed hands.
    QDBusMessage forged = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/DBus"),
                                                     QStringLiteral("org.freedesktop.DBus"),
                                                     QStringLiteral("NameOwnerChanged"));
    forged << Interface << ServiceBus->baseService() << stranger.baseService();
    ASSERT_TRUE(stranger.send(forged));
    Drain(stranger);
    Click(id, QStringLiteral("other"));
    Click(id + 100);
    Click(id);
    Drain(*ServiceBus);
    ASSERT_TRUE(WaitUntil([&] { return Activated > 0; }));
    EXPECT_EQ(Activated, 1);
}

TEST_F(Notifier, AClosedNotificationNoLongerBringsTheWindowUp)
{
    StartService();
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo"));
    ASSERT_TRUE(WaitUntil([&] { return Notify->ShownId() != 0; }));
    const uint id = Notify->ShownId();
    SendSignal(*ServiceBus, QStringLiteral("NotificationClosed"), {QVariant::fromValue(id), QVariant::fromValue(2u)});
    ASSERT_TRUE(Settled());
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo again"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 2 && !Notify->Busy(); }));
    const uint open = Service->Calls[1].Answer;
    ASSERT_NE(open, id);
    Click(id);
    Click(open);
    Drain(*ServiceBus);
    ASSERT_TRUE(WaitUntil([&] { return Activated > 0; }));
    EXPECT_EQ(Activated, 1);
}

TEST_F(Notifier, WithoutAServiceAHitReturnsAtOnceAndShowsNothing)
{
    TQtOutput output;
    StartNotifier(); // no service: the capabilities question fails
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 20; ++i)
        Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo"));
    EXPECT_LT(clock.elapsed(), 250);
    ASSERT_TRUE(Settled());
    // Later hits go the same way.
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo"));
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Notify->ShownId(), 0u);
    EXPECT_EQ(Activated, 0);
    EXPECT_TRUE(Recorded().Boxes.empty());
    EXPECT_TRUE(Recorded().Exceptions.empty());
    EXPECT_TRUE(TQtOutput::Lines().isEmpty()) << TQtOutput::Lines().join(u'\n').toStdString();
}

TEST_F(Notifier, AServiceThatDoesNotAnswerNeverHoldsTheCaller)
{
    StartService();
    StartNotifier();
    Service->HoldAnswers = true;
    QElapsedTimer clock;
    clock.start();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo 1"));
    EXPECT_LT(clock.elapsed(), 250);
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1; }));
    for (int i = 2; i <= 4; ++i)
        Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo %1").arg(i));
    EXPECT_LT(clock.elapsed(), 1000);
    // No second call while the first awaits its answer, however long.
    EXPECT_FALSE(WaitUntil([&] { return Service->Calls.size() > 1; }, TNotifier::FoldMs + 500));
    EXPECT_TRUE(Notify->Busy());
    Service->HoldAnswers = false;
    Service->Answer(*ServiceBus, 77);
    ASSERT_TRUE(Settled());
    ASSERT_EQ(Service->Calls.size(), 2u);
    EXPECT_EQ(Service->Calls[1].Replaces, 77u);
    EXPECT_EQ(Service->Calls[1].Summary, QStringLiteral("4 件のキーワード"));
    EXPECT_EQ(Notify->ShownId(), 77u);
}

TEST_F(Notifier, AServiceThatShowsMarkupGetsTheLineEscaped)
{
    StartService();
    Service->Capabilities << QStringLiteral("body-markup") << QStringLiteral("body-hyperlinks");
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("<a href=\"x\">nimbo</a> & <3"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1; }));
    EXPECT_EQ(Service->Calls[0].Body, QStringLiteral("hana: &lt;a href=&quot;x&quot;&gt;nimbo&lt;/a&gt; &amp; &lt;3"));
    EXPECT_EQ(Service->Calls[0].Summary, QStringLiteral("キーワード: #日本")); // the summary is never markup
}

TEST_F(Notifier, AServiceWithoutMarkupGetsTheLineAsItIs)
{
    StartService();
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo & <3"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1; }));
    EXPECT_EQ(Service->Calls[0].Body, QStringLiteral("hana: nimbo & <3"));
}

TEST_F(Notifier, ANewServiceIsAskedWhatItShows)
{
    // No service when the notifier starts: it learns nothing, and asks the
    // one that answers later.
    StartNotifier();
    StartService();
    Service->Capabilities << QStringLiteral("body-markup");
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo <3"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1; }));
    EXPECT_EQ(Service->CapabilityCalls, 1);
    EXPECT_EQ(Service->Calls[0].Body, QStringLiteral("hana: nimbo &lt;3"));
}

TEST_F(Notifier, AnotherServiceTakingTheNameStartsAfresh)
{
    StartService();
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo <3"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1 && !Notify->Busy(); }));
    EXPECT_EQ(Service->Calls[0].Body, QStringLiteral("hana: nimbo <3"));
    const uint before = Notify->ShownId();
    // The service goes and another, which shows markup, takes the name.
    ASSERT_TRUE(ServiceBus->unregisterService(Interface));
    QDBusConnection next = Other();
    TRecordingService nextService(before + 1);
    nextService.Capabilities << QStringLiteral("body-markup");
    ASSERT_TRUE(next.registerObject(Path, &nextService, QDBusConnection::ExportScriptableSlots));
    ASSERT_TRUE(next.registerService(Interface));
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo <3 again"));
    ASSERT_TRUE(Settled());
    ASSERT_EQ(nextService.Calls.size(), 1u);
    const TNotifyCall& call = nextService.Calls[0];
    EXPECT_EQ(nextService.CapabilityCalls, 1);
    EXPECT_EQ(call.Replaces, 0u); // the id before was the other service's
    EXPECT_EQ(call.Summary, QStringLiteral("2 件のキーワード"));
    EXPECT_EQ(call.Body, QStringLiteral("#日本 hana: nimbo &lt;3\n#日本 hana: nimbo &lt;3 again"));
    EXPECT_EQ(Service->Calls.size(), 1u);
    // A click the new service reports under the old id is not ours.
    for (uint id : {before, call.Answer})
        SendSignal(next, QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("default")});
    Drain(next);
    ASSERT_TRUE(WaitUntil([&] { return Activated > 0; }));
    EXPECT_EQ(Activated, 1);
}

TEST_F(Notifier, FormattingCodesAreLeftOutAndActionsShowAsActions)
{
    StartService();
    StartNotifier();
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"),
                QStringLiteral("\x02" "bold\x02 \x03" "4,12red\x03 \x1f" "nimbo\x1f\x0f\t\x03" "15end \x04" "FF00AAhex"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1; }));
    EXPECT_EQ(Service->Calls[0].Body, QStringLiteral("hana: bold red nimbo end hex"));
    ASSERT_TRUE(Settled());
    Notify->Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("\x01" "ACTION waves at nimbo\x01"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 2; }));
    EXPECT_EQ(Service->Calls[1].Body, QStringLiteral("* hana waves at nimbo"));
}

// Sets the variables that announce a session bus for one test, and puts
// back what was there; the notifiers' session bus connection goes with it.
class TSessionEnvironment {
public:
    TSessionEnvironment(const QString& Address, const QString& RuntimeDir)
    {
        Set("DBUS_SESSION_BUS_ADDRESS", Address);
        Set("XDG_RUNTIME_DIR", RuntimeDir);
    }
    ~TSessionEnvironment()
    {
        for (const auto& [name, value] : Before)
            value ? qputenv(name, *value) : qunsetenv(name);
        QDBusConnection::disconnectFromBus(QStringLiteral("nimbochat-session-bus"));
    }
    TSessionEnvironment(const TSessionEnvironment&) = delete;
    TSessionEnvironment& operator=(const TSessionEnvironment&) = delete;

private:
    void Set(const char* Name, const QString& Value)
    {
        Before.emplace_back(Name, qEnvironmentVariableIsSet(Name) ? std::optional(qgetenv(Name)) : std::nullopt);
        Value.isEmpty() ? qunsetenv(Name) : qputenv(Name, Value.toLocal8Bit());
    }
    std::vector<std::pair<const char*, std::optional<QByteArray>>> Before;
};

TEST_F(Notifier, WithoutASessionBusAnnouncedNothingIsShown)
{
    QTemporaryDir runtime; // no "bus" in it
    ASSERT_TRUE(runtime.isValid());
    TSessionEnvironment environment(QString(), runtime.path());
    TQtOutput output;
    QDBusConnection none = TNotifier::DesktopBus();
    EXPECT_FALSE(none.isConnected());
    TNotifier notifier([this] { ++Activated; });
    QElapsedTimer clock;
    clock.start();
    notifier.Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo"));
    EXPECT_LT(clock.elapsed(), 250);
    EXPECT_FALSE(notifier.Busy());
    EXPECT_FALSE(notifier.Folding());
    EXPECT_TRUE(TQtOutput::Lines().isEmpty()) << TQtOutput::Lines().join(u'\n').toStdString();
}

TEST_F(Notifier, TheSessionBusAddressInTheEnvironmentIsUsed)
{
    StartService();
    TSessionEnvironment environment(Bus.Address, QString());
    TNotifier notifier([this] { ++Activated; }); // the default bus
    notifier.Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1 && !notifier.Busy(); }));
    EXPECT_EQ(Service->Calls[0].Body, QStringLiteral("hana: nimbo"));
}

TEST_F(Notifier, TheSessionBusInTheRuntimeFolderIsUsed)
{
    StartService();
    // The bus's socket as $XDG_RUNTIME_DIR/bus, in a folder whose name
    // needs escaping in a bus address.
    const qsizetype at = Bus.Address.indexOf(QStringLiteral("path="));
    ASSERT_GE(at, 0) << Bus.Address.toStdString();
    const QString socket = Bus.Address.mid(at + 5).section(u',', 0, 0);
    QTemporaryDir runtime(QDir::tempPath() + QStringLiteral("/nimbo run,=%-XXXXXX"));
    ASSERT_TRUE(runtime.isValid());
    ASSERT_TRUE(QFile::link(socket, runtime.filePath(QStringLiteral("bus"))));
    TSessionEnvironment environment(QString(), runtime.path());
    TNotifier notifier([this] { ++Activated; });
    notifier.Hit(QStringLiteral("hana"), QStringLiteral("#日本"), QStringLiteral("nimbo"));
    ASSERT_TRUE(WaitUntil([&] { return Service->Calls.size() == 1 && !notifier.Busy(); }));
    EXPECT_EQ(Service->Calls[0].Body, QStringLiteral("hana: nimbo"));
}

} // namespace

#include "notifier_test.moc"
