// Takes the pictures of docs/: the main window on each of its four pages and
// the keyword editor, as the X server shows them, with a little traffic in
// the log. scripts/screenshots runs it under Xvfb with settings of its own.
//   desktop_screenshots OUTPUT_FOLDER
#include "desktop/Eform.h"
#include "relay/main_window.h"

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QWindow>
#include <cstdio>

namespace {

// Boxes go to the terminal: nothing may wait for a click here.
class PrintingSink : public TMessageSink {
public:
    int MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT) override
    {
        std::fprintf(stderr, "box: %s: %s\n", ToQString(Caption).toUtf8().constData(), ToQString(Text).toUtf8().constData());
        return IDOK;
    }
    void ShowException(const AnsiString&, const AnsiString& Message) override
    {
        std::fprintf(stderr, "exception: %s\n", ToQString(Message).toUtf8().constData());
    }
};

void FillIn(TNimboChat& w)
{
    w.NickEdit->SetText("Taro");
    w.LocalEdit->SetText("192.168.1.20");
    w.GlobalEdit->SetText("203.0.113.7");
    w.ClientPathEdit->SetText("/usr/bin/hexchat");
    w.AutoCheckBox->SetChecked(true);
    w.TaskCheckBox->SetChecked(true);
    w.KeywordCheckBox->SetChecked(true);
    w.SetKeywords({"Taro", Sjis("たろう"), Sjis("緊急")});
    w.MessageEdit->SetText(Sjis("こんばんは"));
    w.LogRichEdit->Clear();
    w.AddLog(":irc.ircnet.ne.jp 001 Taro :Welcome to IRCnet, Taro", clGreen, false);
    w.AddLog(":irc.ircnet.ne.jp 376 Taro :End of MOTD command.", clGreen, false);
    w.AddLog("JOIN #leaf", clGreen, false);
    w.AddLog(Sjis(":Hanako!hana@example.jp PRIVMSG #leaf :こんばんは"), clBlack, false);
    w.AddLog(Sjis(":Jiro!jiro@example.jp PRIVMSG #leaf :たろうさん、何時から？"), clBlack, true);
    w.AddLog("CTCP VERSION from Hanako", clBlue, false);
    w.AddLog(Sjis("PRIVMSG #leaf :9時からです。"), clBlack, false);
    w.LogRichEdit->UpdateView();
}

bool Grab(const TForm& form, const QString& path)
{
    QApplication::processEvents();
    QWidget* widget = form.Widget();
    QPixmap shot = widget->screen()->grabWindow(0, widget->x(), widget->y(), widget->width(), widget->height());
    bool saved = shot.save(path);
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", path.toUtf8().constData());
    return saved;
}

// Shows a window where the screen's top-left corner can hold it.
void Place(TForm& form)
{
    form.Widget()->move(0, 0);
    form.Show();
    form.Widget()->windowHandle()->requestActivate();
    QApplication::processEvents();
}

} // namespace

int main(int argc, char** argv)
{
    QApplication qtApp(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    QDir out(QString::fromLocal8Bit(argv[1]));
    TApplication app;
    Application = &app;
    app.Title = "NimboChat";
    app.SetMessageSink(std::make_unique<PrintingSink>());

    auto* window = new TNimboChat(Application);
    Application->MainForm = window;
    KeyEditForm = new TKeyEditForm(Application);
    FillIn(*window);
    Place(*window);
    bool ok = true;
    const std::pair<TTabSheet*, const char*> pages[] = {{window->TabSheet1, "page-toserver.png"},
        {window->TabSheet2, "page-toclient.png"}, {window->TabSheet3, "page-chatclient.png"},
        {window->TabSheet4, "page-other.png"}};
    for (const auto& [page, name] : pages) {
        window->PageControl1->SetActivePage(page);
        ok = Grab(*window, out.filePath(name)) && ok;
    }
    window->KeyEditButton->Click();
    Place(*KeyEditForm);
    ok = Grab(*KeyEditForm, out.filePath("keyword-editor.png")) && ok;

    delete KeyEditForm;
    KeyEditForm = nullptr;
    delete window;
    Application->MainForm = nullptr;
    Application = nullptr;
    return ok ? 0 : 1;
}
