// The application object: title, minimise and restore of the main window
// with their notifications, message pumping, the standard exception display
// and message boxes.
//
// Message boxes and the exception display go through one replaceable sink.
// The program uses real Qt message boxes; tests install a recording sink so
// that nothing ever blocks.
#pragma once

#include "framework/classes.h"
#include "winapi/windows.h"

#include <exception>
#include <iterator>
#include <memory>

#include <csignal>

class TForm;
class QSocketNotifier;

class TMessageSink {
public:
    virtual ~TMessageSink() = default;
    // Shows a message box; Flags are MB_ values. Returns an ID value.
    virtual int MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT Flags) = 0;
    // The standard exception display: the exception's message under the
    // application's title.
    virtual void ShowException(const AnsiString& Title, const AnsiString& Message) = 0;
};

// Real, modal Qt message boxes.
class TQtMessageSink : public TMessageSink {
public:
    int MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT Flags) override;
    void ShowException(const AnsiString& Title, const AnsiString& Message) override;
};

class TApplication : public TComponent {
public:
    TApplication();

    AnsiString Title;
    TForm* MainForm = nullptr;
    // Run after the main window was minimised / restored by Minimize,
    // Restore or the window system.
    TNotifyEvent OnMinimize;
    TNotifyEvent OnRestore;
    // Runs when the desktop session is about to end (logout), when the
    // program may be stopped without its normal exit: the time to save.
    TNotifyEvent OnEndSession;

    void Minimize();
    void Restore();
    // Handles every event that is waiting, then returns.
    void ProcessMessages();
    // Sleeps on the event loop until at least one event was handled or
    // `TimeoutMs` passed; it never spins.
    void WaitForMessages(int TimeoutMs);
    // Runs the event loop until Terminate or the last window closes.
    void Run();
    void Terminate();

    int MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT Flags = MB_OK);
    // The standard exception display. While it is on screen (a modal box
    // runs the event loop, so more errors can come), a further exception
    // opens no second box: it goes to OnExceptionWhileShown, or is dropped
    // when that is not set. So an error storm never stacks boxes.
    void ShowException(const std::exception& E);
    std::function<void(const std::exception& E)> OnExceptionWhileShown;

    // Replaces the sink and returns the one it replaced.
    std::unique_ptr<TMessageSink> SetMessageSink(std::unique_ptr<TMessageSink> Sink);

    // Called by the form when the window system minimises or restores it.
    void NotifyMinimized();
    void NotifyRestored();

private:
    std::unique_ptr<TMessageSink> FSink;
    bool FShowingException = false;
};

// While it lives, SIGTERM, SIGINT and SIGHUP end the application's event loop
// as Terminate does, from the event loop (never inside the signal handler),
// so the program ends as when its window is closed. A signal that comes
// before the loop runs is kept and ends the loop as soon as it starts; so
// the program creates this before its window opens to the world.
class TEndingSignals {
public:
    explicit TEndingSignals(TApplication& App);
    ~TEndingSignals();
    TEndingSignals(const TEndingSignals&) = delete;
    TEndingSignals& operator=(const TEndingSignals&) = delete;

private:
    static constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};
    struct sigaction FPrevious[std::size(Signals)] {};
    std::unique_ptr<QSocketNotifier> FNotifier;
};

// The one application object; created by the program entry (or the test
// main) after QApplication and before any form.
extern TApplication* Application;

// Runs an event handler so that no exception crosses the event loop: what
// escapes is shown with Application->ShowException and ends only this event.
template <typename Handler>
void DispatchEvent(Handler&& handler) noexcept
{
    try {
        handler();
    } catch (const std::exception& E) {
        if (Application)
            Application->ShowException(E);
    } catch (...) {
        if (Application)
            Application->ShowException(Exception("Unknown exception"));
    }
}

// Fires a notify event when it is set.
inline void FireEvent(const TNotifyEvent& Event, TObject* Sender)
{
    if (Event)
        DispatchEvent([&] { Event(Sender); });
}
