// Icons live as children of their owner's window widget, named after their
// id, so that they need no table of their own and die with the window.
#include "framework/tray.h"

#include "framework/application.h"

#include <QSystemTrayIcon>
#include <QTimer>

namespace {

constexpr std::size_t TipLimit = 63;

TTrayProbe& Probe()
{
    static TTrayProbe probe;
    return probe;
}

QString IconName(UINT ID)
{
    return QStringLiteral("nimbo-tray-icon-%1").arg(ID);
}

UINT MouseMessage(QSystemTrayIcon::ActivationReason Reason)
{
    switch (Reason) {
    case QSystemTrayIcon::Trigger: return WM_LBUTTONDOWN;
    case QSystemTrayIcon::DoubleClick: return WM_LBUTTONDBLCLK;
    case QSystemTrayIcon::Context: return WM_RBUTTONDOWN;
    case QSystemTrayIcon::MiddleClick: return WM_MBUTTONDOWN;
    default: return 0;
    }
}

bool AddIcon(const TNotifyIconData& Data)
{
    if (TrayIcon(*Data.Wnd, Data.ID) || !TrayAvailable())
        return false;
    auto* icon = new QSystemTrayIcon(Data.Wnd->Widget());
    icon->setObjectName(IconName(Data.ID));
    if (Data.Flags & NIF_ICON)
        icon->setIcon(Data.Icon);
    if (Data.Flags & NIF_TIP)
        icon->setToolTip(ToQString(Data.Tip.substr(0, TipLimit)));
    if (Data.Flags & NIF_MESSAGE) {
        QObject::connect(icon, &QSystemTrayIcon::activated, icon,
            [Owner = Data.Wnd, ID = Data.ID, Callback = Data.CallbackMessage](
                QSystemTrayIcon::ActivationReason Reason) {
                TMessage message;
                message.Msg = Callback;
                message.WParam = ID;
                message.LParam = MouseMessage(Reason);
                DispatchEvent([&] { Owner->WMUser(message); });
            });
    }
    icon->show();
    return true;
}

bool DeleteIcon(const TNotifyIconData& Data)
{
    QSystemTrayIcon* icon = TrayIcon(*Data.Wnd, Data.ID);
    if (!icon)
        return false;
    // It may be deleted from inside its own press, so it goes later.
    icon->hide();
    icon->setObjectName(QString());
    icon->deleteLater();
    return true;
}

bool IsToolWindow(const QWidget* Widget)
{
    return (Widget->windowFlags() & Qt::WindowType_Mask) == Qt::Tool;
}

} // namespace

bool Shell_NotifyIcon(DWORD Message, const TNotifyIconData& Data)
{
    if (!Data.Wnd)
        return false;
    switch (Message) {
    case NIM_ADD: return AddIcon(Data);
    case NIM_DELETE: return DeleteIcon(Data);
    default: return false;
    }
}

QSystemTrayIcon* TrayIcon(const TForm& Wnd, UINT ID)
{
    return Wnd.Widget()->findChild<QSystemTrayIcon*>(IconName(ID), Qt::FindDirectChildrenOnly);
}

bool TrayAvailable()
{
    return Probe() ? Probe()() : QSystemTrayIcon::isSystemTrayAvailable();
}

TTrayProbe SetTrayProbe(TTrayProbe NewProbe)
{
    std::swap(Probe(), NewProbe);
    return NewProbe;
}

void HideTaskbarEntry(TForm& Form)
{
    QWidget* widget = Form.Widget();
    if (!IsToolWindow(widget)) {
        bool visible = widget->isVisible();
        widget->setWindowFlags((widget->windowFlags() & ~Qt::WindowType_Mask) | Qt::Tool);
        // Tool windows do not end the program when they close; this one must.
        widget->setAttribute(Qt::WA_QuitOnClose, true);
        if (visible)
            widget->show(); // changing the flags hid it; its state is kept
    }
    if (Form.WindowState() == wsMinimized)
        QTimer::singleShot(0, widget, [&Form, widget] {
            if (Form.WindowState() == wsMinimized)
                widget->hide();
        });
}

bool TaskbarEntryHidden(const TForm& Form)
{
    return IsToolWindow(Form.Widget());
}
