// The program entry: the application object, the main window, the message loop.
#include "framework/application.h"
#include "desktop/Eform.h"
#include "kanji/kanji_convert.h"
#include "relay/main_window.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication qtApp(argc, argv);
    InstallQtJapanese(); // without it the dialogs speak English
    TApplication app;
    Application = &app;
    // From here on an ending signal saves the settings as closing does.
    TEndingSignals endingSignals(app);
    SetKanjiErrorHandler([](const std::exception& E) { Application->ShowExceptionLater(E); });
    try {
        Application->Title = "NimboChat";
        NimboChat = new TNimboChat(Application);
        Application->MainForm = NimboChat;
        KeyEditForm = new TKeyEditForm(Application);
        NimboChat->Show();
        Application->Run();
    } catch (const std::exception& E) {
        Application->ShowException(E);
    }
    // The windows go before the application object they report to.
    delete KeyEditForm;
    KeyEditForm = nullptr;
    delete NimboChat;
    NimboChat = nullptr;
    Application->MainForm = nullptr;
    return 0;
}
