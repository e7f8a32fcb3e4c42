#include "framework/application.h"

#include "framework/forms.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEventLoop>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <utility>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

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

namespace {

int eventDepth = 0;
bool runningEndActions = false;
bool endActionsPosted = false;

std::vector<std::function<void()>>& endActions()
{
    static std::vector<std::function<void()>> actions;
    return actions;
}

// Runs the actions left so far and those they leave, oldest first; a call
// made while they run (from an event one of them dispatches) leaves the
// work to the loop already running.
void runEndActions()
{
    if (runningEndActions)
        return;
    runningEndActions = true;
    while (!endActions().empty()) {
        std::vector<std::function<void()>> actions = std::exchange(endActions(), {});
        for (auto& action : actions)
            action();
    }
    runningEndActions = false;
}

// A nested event loop (a modal dialog opened by a handler) never brings the
// depth back to zero: its events' actions run before it sleeps.
void hookNestedLoops()
{
    static QPointer<QAbstractEventDispatcher> hooked;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr || dispatcher == hooked)
        return;
    hooked = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, runEndActions);
}

int signalPipe[2] = {-1, -1};

void writeSignal(int number)
{
    const char byte = static_cast<char>(number);
    [[maybe_unused]] ssize_t written = write(signalPipe[1], &byte, 1); // async-signal-safe
}

} // namespace

TEventScope::TEventScope()
{
    ++eventDepth;
}

TEventScope::~TEventScope()
{
    if (--eventDepth == 0)
        runEndActions();
}

void AtEventEnd(std::function<void()> Action)
{
    endActions().push_back(std::move(Action));
    hookNestedLoops();
    if (eventDepth > 0 || endActionsPosted || QCoreApplication::instance() == nullptr)
        return;
    endActionsPosted = true;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            endActionsPosted = false;
            runEndActions();
        },
        Qt::QueuedConnection);
}

TEndingSignals::TEndingSignals(TApplication& App)
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    FNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [&App] {
        char byte;
        while (read(signalPipe[0], &byte, 1) > 0) {
        }
        App.Terminate();
    });
    struct sigaction action {};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(Signals); ++i)
        sigaction(Signals[i], &action, &FPrevious[i]);
}

TEndingSignals::~TEndingSignals()
{
    if (!FNotifier)
        return;
    for (size_t i = 0; i < std::size(Signals); ++i)
        sigaction(Signals[i], &FPrevious[i], nullptr);
    FNotifier.reset();
    close(signalPipe[0]);
    close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void TApplication::Run()
{
    if (std::exchange(FTerminated, false))
        return; // QApplication::exec would forget an exit asked for before it
    QMetaObject::Connection endSession = QObject::connect(
        qApp, &QGuiApplication::commitDataRequest, [this](QSessionManager&) { FireEvent(OnEndSession, this); });
    QApplication::exec();
    QObject::disconnect(endSession);
    FTerminated = false;
}

void TApplication::Terminate()
{
    FTerminated = true;
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

void TApplication::MessageBoxLater(const AnsiString& Text, const AnsiString& Caption, UINT Flags)
{
    QTimer::singleShot(0, qApp, [Text, Caption, Flags] {
        if (Application)
            Application->MessageBox(Text, Caption, Flags);
    });
}

void TApplication::ShowExceptionLater(const std::exception& E)
{
    QTimer::singleShot(0, qApp, [message = AnsiString(E.what())] {
        if (Application)
            Application->ShowException(Exception(message));
    });
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

bool InstallQtJapanese()
{
    auto* translator = new QTranslator(qApp);
    if (translator->load("qtbase_ja", QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        && QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}
