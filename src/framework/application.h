// The application object: title, minimise and restore of the main window
// with their notifications, the standard exception display and message
// boxes.
//
// Message boxes and the exception display go through one replaceable sink.
// The program uses real Qt message boxes; tests install a recording sink so
// that nothing ever blocks.
#pragma once

#include "framework/classes.h"
#include "winapi/windows.h"

#include <exception>
#include <functional>
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
    // Runs the event loop until Terminate or the last window closes. After a
    // Terminate that came before it (an ending signal while a start-up box
    // was open, say) it returns at once.
    void Run();
    // Ends every running event loop, nested ones (a box on screen) too, and
    // the next Run when the main loop has not started yet.
    void Terminate();

    int MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT Flags = MB_OK);
    // The same box, shown from the event loop once the running event has
    // returned, for a report whose answer nobody waits for.
    void MessageBoxLater(const AnsiString& Text, const AnsiString& Caption, UINT Flags = MB_OK);
    // The standard exception display. While it is on screen (a modal box
    // runs the event loop, so more errors can come), a further exception
    // opens no second box: it goes to OnExceptionWhileShown, or is dropped
    // when that is not set. So an error storm never stacks boxes.
    void ShowException(const std::exception& E);
    std::function<void(const std::exception& E)> OnExceptionWhileShown;
    // The standard exception display, from the event loop once the running
    // event has returned: an event handler never waits in a box, and no
    // later event acts on state the handler still trusts. Only the message
    // is kept.
    void ShowExceptionLater(const std::exception& E);

    // Replaces the sink and returns the one it replaced.
    std::unique_ptr<TMessageSink> SetMessageSink(std::unique_ptr<TMessageSink> Sink);

    // Called by the form when the window system minimises or restores it.
    void NotifyMinimized();
    void NotifyRestored();

private:
    std::unique_ptr<TMessageSink> FSink;
    bool FShowingException = false;
    bool FTerminated = false;
};

// While it lives, SIGTERM, SIGINT and SIGHUP end the application's event loop
// as Terminate does, from the event loop (never inside the signal handler),
// so the program ends as when its window is closed. A signal that comes
// before the loop runs is kept and ends the loop as soon as it starts; so
// the program creates this before its window opens to the world.
// Loads Qt's own Japanese texts (qtbase_ja from Qt's translations folder)
// into the running Qt application, so that standard dialogs and context
// menus speak the window's language. False, and English texts, when the
// file is missing or unreadable.
bool InstallQtJapanese();

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

// Runs Action once the event being handled is over: when the outermost
// DispatchEvent running now returns, or, when none runs, from the event loop
// right after the running code has returned. While an event waits in a
// nested event loop (a modal dialog), the actions its later events leave
// run before that loop next sleeps. Actions run in the order they were
// left, each once; those left while they run follow them. They must not
// throw.
void AtEventEnd(std::function<void()> Action);

// Marks an event handler as running, for AtEventEnd.
class TEventScope {
public:
    TEventScope();
    ~TEventScope();
    TEventScope(const TEventScope&) = delete;
    TEventScope& operator=(const TEventScope&) = delete;
};

// Runs an event handler so that no exception crosses the event loop: what
// escapes ends only this event and is shown with
// Application->ShowExceptionLater, after the event. What the handler left
// for AtEventEnd runs once the outermost handler returns.
template <typename Handler>
void DispatchEvent(Handler&& handler) noexcept
{
    TEventScope scope;
    try {
        handler();
    } catch (const std::exception& E) {
        if (Application)
            Application->ShowExceptionLater(E);
    } catch (...) {
        if (Application)
            Application->ShowExceptionLater(Exception("Unknown exception"));
    }
}

// Fires a notify event when it is set.
inline void FireEvent(const TNotifyEvent& Event, TObject* Sender)
{
    if (Event)
        DispatchEvent([&] { Event(Sender); });
}
