#include "framework/application.h"

#include "framework/forms.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>

TApplication* Application = nullptr;

TApplication::TApplication() : TComponent(nullptr), FSink(std::make_unique<TQtMessageSink>()) {}

void TApplication::Minimize()
{
    if (MainForm)
        MainForm->SetWindowState(wsMinimized);
}

void TApplication::Restore()
{
    if (MainForm)
        MainForm->SetWindowState(wsNormal);
}

void TApplication::NotifyMinimized()
{
    FireEvent(OnMinimize, this);
}

void TApplication::NotifyRestored()
{
    FireEvent(OnRestore, this);
}

void TApplication::ProcessMessages()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::WaitForMessages(int TimeoutMs)
{
    // A single-shot timer bounds the wait; processEvents with
    // WaitForMoreEvents sleeps in the event dispatcher until something comes.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(TimeoutMs);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TApplication::Run()
{
    QApplication::exec();
}

void TApplication::Terminate()
{
    QCoreApplication::exit(0); // every running event loop returns, nested ones too
}

int TApplication::MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT Flags)
{
    return FSink->MessageBox(Text, Caption, Flags);
}

void TApplication::ShowException(const std::exception& E)
{
    if (FShowingException) {
        if (OnExceptionWhileShown)
            OnExceptionWhileShown(E);
        return;
    }
    FShowingException = true;
    struct Reset {
        bool& Flag;
        ~Reset() { Flag = false; }
    } reset{FShowingException};
    FSink->ShowException(Title, E.what());
}

std::unique_ptr<TMessageSink> TApplication::SetMessageSink(std::unique_ptr<TMessageSink> Sink)
{
    std::swap(FSink, Sink);
    return Sink;
}

int TQtMessageSink::MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT Flags)
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (Flags & MB_ICONMASK) {
    case MB_ICONERROR: icon = QMessageBox::Critical; break;
    case MB_ICONQUESTION: icon = QMessageBox::Question; break;
    case MB_ICONWARNING: icon = QMessageBox::Warning; break;
    case MB_ICONINFORMATION: icon = QMessageBox::Information; break;
    default: break;
    }
    QMessageBox box(icon, ToQString(Caption), ToQString(Text));
    switch (Flags & MB_TYPEMASK) {
    case MB_OKCANCEL: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MB_YESNO: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
    }
    switch (box.exec()) {
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return IDOK;
    }
}

void TQtMessageSink::ShowException(const AnsiString& Title, const AnsiString& Message)
{
    QMessageBox box(QMessageBox::Critical, ToQString(Title), ToQString(Message), QMessageBox::Ok);
    box.exec();
}
