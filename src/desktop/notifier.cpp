// Desktop notifications of keyword hits (see notifier.h).
#include "desktop/notifier.h"

#include "framework/application.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

QString ServiceName()
{
    return QStringLiteral("org.freedesktop.Notifications");
}
QString ServicePath()
{
    return QStringLiteral("/org/freedesktop/Notifications");
}
QString ServiceInterface()
{
    return QStringLiteral("org.freedesktop.Notifications");
}
// The bus itself, which tells when the service's name changes hands.
QString BusName()
{
    return QStringLiteral("org.freedesktop.DBus");
}
QString BusPath()
{
    return QStringLiteral("/org/freedesktop/DBus");
}
QString BusInterface()
{
    return QStringLiteral("org.freedesktop.DBus");
}

// How long a call may wait for its answer. A notification service started
// on demand by the bus answers well within it.
constexpr int CallTimeoutMs = 10000;
// The hits a folded notification lists.
constexpr size_t ListedHits = 3;
// Ids kept for clicks on notifications still on screen; a service that never
// says a notification closed cannot make the list grow.
constexpr size_t KeptIds = 32;

bool IsHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Skips up to Most characters that Accept takes, from At; returns the new
// position.
template <typename Accept>
qsizetype SkipRun(const QString& Text, qsizetype At, qsizetype Most, Accept accept)
{
    while (Most-- > 0 && At < Text.size() && accept(Text[At]))
        ++At;
    return At;
}

// The text without IRC formatting and control characters: a colour code
// (0x03) goes with its "fg[,bg]" digits, a hex colour (0x04) with its
// "RRGGBB[,RRGGBB]", tabs become blanks, every other C0 and C1 control
// character (bold, underline, reset, CTCP's 0x01, line ends) is dropped.
QString Displayable(const QString& Text)
{
    auto digit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    QString out;
    out.reserve(Text.size());
    for (qsizetype i = 0; i < Text.size();) {
        const char16_t c = Text[i].unicode();
        ++i;
        if (c == 0x03 || c == 0x04) {
            const bool hex = c == 0x04;
            const qsizetype most = hex ? 6 : 2;
            const auto accept = [&](QChar ch) { return hex ? IsHexDigit(ch) : digit(ch); };
            const qsizetype after = SkipRun(Text, i, most, accept);
            if (after > i && after + 1 < Text.size() && Text[after] == u',' && accept(Text[after + 1]))
                i = SkipRun(Text, after + 1, most, accept);
            else
                i = after;
        } else if (c == u'\t') {
            out += u' ';
        } else if (c >= 0x20 && !(c >= 0x7f && c <= 0x9f)) {
            out += QChar(c);
        }
    }
    return out;
}

// "hana: text", or "* hana waves" for a CTCP ACTION.
QString HitLine(const QString& Sender, const QString& Text)
{
    const QString action = QStringLiteral("\x01" "ACTION");
    const QChar after = Text.size() > action.size() ? Text[action.size()] : QChar(u'\x01');
    if (Text.startsWith(action) && (after == u' ' || after == u'\x01')) {
        const QString rest = Displayable(Text.mid(action.size())).trimmed();
        return QStringLiteral("* ") + Displayable(Sender) + (rest.isEmpty() ? QString() : QStringLiteral(" ") + rest);
    }
    return Displayable(Sender) + QStringLiteral(": ") + Displayable(Text);
}

// A value in a D-Bus address: bytes other than [-0-9A-Za-z_/.\\*] as %XX.
QString BusAddressValue(const QString& Value)
{
    QString out;
    for (const char byte : Value.toLocal8Bit()) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (std::isalnum(c) || std::strchr("-_/.\\*", c))
            out += QChar(c);
        else
            out += u'%' + QString::number(c, 16).rightJustified(2, u'0');
    }
    return out;
}

} // namespace

TNotifier::TNotifier(std::function<void()> OnActivate_, QDBusConnection Bus_)
    : OnActivate(std::move(OnActivate_)), Bus(std::move(Bus_))
{
    FoldTimer.setSingleShot(true);
    FoldTimer.setTimerType(Qt::PreciseTimer);
    connect(&FoldTimer, &QTimer::timeout, this, [this] { Schedule(); });
    if (!Bus.isConnected())
        return;
    // The signals are taken from any sender and their sender is checked
    // here, against the service that answered the Notify calls (or the bus
    // itself): that needs no look-up of who owns the name.
    Bus.connect(QString(), ServicePath(), ServiceInterface(), QStringLiteral("ActionInvoked"), this,
                SLOT(ActionInvoked(uint, QString, QDBusMessage)));
    Bus.connect(QString(), ServicePath(), ServiceInterface(), QStringLiteral("NotificationClosed"), this,
                SLOT(NotificationClosed(uint, uint, QDBusMessage)));
    // A new service (one started on demand, restarted or replaced) has
    // capabilities and ids of its own.
    Bus.connect(QString(), BusPath(), BusInterface(), QStringLiteral("NameOwnerChanged"), {ServiceName()}, QString(),
                this, SLOT(OwnerChanged(QString, QString, QString, QDBusMessage)));
    // Asked now, so that the first hit goes out without waiting for it.
    Calling = true;
    AskCapabilities();
}

TNotifier::~TNotifier()
{
    if (Bus.isConnected()) {
        Bus.disconnect(QString(), ServicePath(), ServiceInterface(), QStringLiteral("ActionInvoked"), this,
                       SLOT(ActionInvoked(uint, QString, QDBusMessage)));
        Bus.disconnect(QString(), ServicePath(), ServiceInterface(), QStringLiteral("NotificationClosed"), this,
                       SLOT(NotificationClosed(uint, uint, QDBusMessage)));
        Bus.disconnect(QString(), BusPath(), BusInterface(), QStringLiteral("NameOwnerChanged"), {ServiceName()},
                       QString(), this, SLOT(OwnerChanged(QString, QString, QString, QDBusMessage)));
    }
    // Calls still awaiting their answer are dropped with their watchers.
    qDeleteAll(findChildren<QDBusPendingCallWatcher*>(Qt::FindDirectChildrenOnly));
}

QDBusConnection TNotifier::DesktopBus()
{
    // Where libdbus looks for the session bus, short of "autolaunching" a
    // bus of its own for this process, which no notification service would
    // listen on. Connected by address, so that the address is read now
    // (libdbus reads it once a process).
    QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty() && !qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString socket = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/bus");
        if (QFileInfo::exists(socket))
            address = QStringLiteral("unix:path=") + BusAddressValue(socket);
    }
    if (address.isEmpty())
        return QDBusConnection(QStringLiteral("nimbochat-no-session-bus"));
    return QDBusConnection::connectToBus(address, QStringLiteral("nimbochat-session-bus"));
}

bool TNotifier::Folding() const
{
    return Busy() || (SinceSent.isValid() && SinceSent.elapsed() < FoldMs);
}

void TNotifier::Hit(const QString& Sender, const QString& Where, const QString& Text)
{
    if (!Bus.isConnected())
        return;
    if (!Folding()) {
        Count = 0;
        Id = 0;
        Latest.clear();
    }
    Latest.push_back({Displayable(Where), HitLine(Sender, Text)});
    if (Latest.size() > ListedHits)
        Latest.pop_front();
    ++Count;
    ++Held;
    Schedule();
}

// Sends what is held once nothing holds it back: no call awaiting its
// answer, and a second over since the last Notify call.
void TNotifier::Schedule()
{
    if (Held == 0 || Calling || FoldTimer.isActive())
        return;
    const qint64 wait = SinceSent.isValid() ? FoldMs - SinceSent.elapsed() : 0;
    if (wait > 0)
        FoldTimer.start(int(wait));
    else
        Send();
}

void TNotifier::Send()
{
    Calling = true;
    if (Markup == TMarkup::Unknown)
        AskCapabilities(); // Notify follows its answer
    else
        Notify();
}

// A service that shows markup in the body would read "<" and "&" of a chat
// line as markup (and could be handed links), so the body is escaped for
// it; a service without markup shows the body as it comes.
void TNotifier::AskCapabilities()
{
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName(), ServicePath(), ServiceInterface(),
                                                       QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(Bus.asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QStringList> reply = *w;
        Calling = false;
        if (reply.isError()) {
            // The body goes as plain text, and the next notification asks
            // again: a service may have started meanwhile.
            Markup = TMarkup::Unknown;
        } else {
            Markup = reply.value().contains(QStringLiteral("body-markup")) ? TMarkup::Markup : TMarkup::Plain;
        }
        // Asked from Send, when the hits were due; or at construction, when
        // hits held meanwhile are due as well.
        if (Held > 0) {
            Calling = true;
            Notify();
        }
    });
}

void TNotifier::Notify()
{
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("nimbochat"));
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(1))); // normal
    QDBusMessage call =
        QDBusMessage::createMethodCall(ServiceName(), ServicePath(), ServiceInterface(), QStringLiteral("Notify"));
    call << QStringLiteral("NimboChat") << uint(Id) << QStringLiteral("nimbochat") << Summary() << Body()
         << QStringList{QStringLiteral("default"), QStringLiteral("開く")} << hints << int(-1);
    Held = 0;
    SinceSent.start();
    auto* watcher = new QDBusPendingCallWatcher(Bus.asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        Calling = false;
        QDBusPendingReply<uint> reply = *w;
        if (!reply.isError()) {
            Owner = reply.reply().service();
            Id = reply.value();
            Remember(Id);
        }
        Schedule();
    });
}

QString TNotifier::Summary() const
{
    if (Count > 1)
        return QStringLiteral("%1 件のキーワード").arg(Count);
    const QString where = Latest.empty() ? QString() : Latest.back().Where;
    return where.isEmpty() ? QStringLiteral("キーワード") : QStringLiteral("キーワード: ") + where;
}

QString TNotifier::Body() const
{
    auto shown = [this](const QString& Text) { return Markup == TMarkup::Markup ? Text.toHtmlEscaped() : Text; };
    if (Count == 1 && !Latest.empty())
        return shown(Latest.back().Line);
    QStringList lines;
    for (const THit& hit : Latest)
        lines << shown(hit.Where.isEmpty() ? hit.Line : hit.Where + QStringLiteral(" ") + hit.Line);
    return lines.join(u'\n');
}

void TNotifier::Remember(unsigned NotificationId)
{
    if (std::find(ShownIds.begin(), ShownIds.end(), NotificationId) != ShownIds.end())
        return;
    ShownIds.push_back(NotificationId);
    if (ShownIds.size() > KeptIds)
        ShownIds.pop_front();
}

void TNotifier::ActionInvoked(uint NotificationId, const QString& ActionKey, const QDBusMessage& Message)
{
    if (ActionKey != QStringLiteral("default") || Owner.isEmpty() || Message.service() != Owner ||
        std::find(ShownIds.begin(), ShownIds.end(), NotificationId) == ShownIds.end())
        return;
    if (OnActivate)
        DispatchEvent([this] { OnActivate(); });
}

void TNotifier::NotificationClosed(uint NotificationId, uint, const QDBusMessage& Message)
{
    if (Message.service() != Owner)
        return;
    ShownIds.erase(std::remove(ShownIds.begin(), ShownIds.end(), NotificationId), ShownIds.end());
}

void TNotifier::OwnerChanged(const QString& Name, const QString&, const QString&, const QDBusMessage& Message)
{
    if (Message.service() != BusName() || Name != ServiceName())
        return;
    // The ids of the service before are nothing to this one: a click on one
    // of them is someone else's, and replacing one could replace another
    // program's notification. The current notification goes on as a new one.
    Markup = TMarkup::Unknown;
    Owner.clear();
    ShownIds.clear();
    Id = 0;
}
