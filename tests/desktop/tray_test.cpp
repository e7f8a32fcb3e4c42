// The tray icon and its menu, start-up minimised, and the window staying
// reachable when the desktop has no tray. The offscreen platform has no tray
// of its own, so each test decides whether there is one.
#include "desktop/store_fixture.h"
#include "framework/tray.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

#include <QCursor>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>

namespace {

// The main window as the program entry holds it: the application's main form.
struct WindowDeleter {
    void operator()(TNimboChat* w) const
    {
        delete w;
        Application->MainForm = nullptr;
    }
};
using Window = std::unique_ptr<TNimboChat, WindowDeleter>;

class Tray : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        previous = SetTrayProbe([this] { return trayAvailable; });
    }
    void TearDown() override { SetTrayProbe(previous); }

    Window Open()
    {
        Window w(new TNimboChat(nullptr));
        Application->MainForm = w.get();
        w->Show();
        return w;
    }
    static QSystemTrayIcon* Icon(TNimboChat& w) { return TrayIcon(w, 0); }
    static void Press(TNimboChat& w, QSystemTrayIcon::ActivationReason how) { emit Icon(w)->activated(how); }
    static bool Minimised(TNimboChat& w) { return w.WindowState() == wsMinimized; }
    // A left press as the icon's callback message brings it.
    static void LeftPress(TNimboChat& w)
    {
        TMessage message{WM_USER, 0, WM_LBUTTONDOWN, 0};
        w.WMUser(message);
    }
    // What X11 reports once a window is hidden: withdrawn, it is no longer
    // iconic, and Qt hands that on as the window's state.
    static bool DesktopCallsTheHiddenWindowNormal(TNimboChat& w)
    {
        w.Widget()->windowHandle()->setWindowStates(Qt::WindowNoState);
        return WaitUntil([&] { return !w.Widget()->isMinimized(); });
    }
    static bool Shown(TNimboChat& w) { return w.Widget()->isVisible(); }
    // Runs the message loop as the program does, with `action` as its first
    // event; false when the loop had to be stopped from outside.
    static bool LoopEndsAfter(const std::function<void()>& action)
    {
        bool stopped = false;
        QTimer::singleShot(0, action);
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            stopped = true;
            Application->Terminate();
        });
        guard.start(5000);
        Application->Run();
        return !stopped;
    }

    bool trayAvailable = true;
    TTrayProbe previous;
};

TEST_F(Tray, IconWithTipAndLeftPressTogglesTheWindow)
{
    StoreTestSettings({.TaskCheck = true});
    auto w = Open();
    ASSERT_NE(Icon(*w), nullptr);
    EXPECT_TRUE(Icon(*w)->isVisible());
    EXPECT_EQ(Icon(*w)->toolTip(), "NimboChat");
    EXPECT_FALSE(Icon(*w)->icon().isNull());
    EXPECT_FALSE(w->Widget()->windowIcon().isNull()); // the same icon marks the window
    EXPECT_TRUE(NimboChatProbe::TrayIconShown(*w));
    EXPECT_TRUE(TaskbarEntryHidden(*w));
    EXPECT_TRUE(Shown(*w));

    Press(*w, QSystemTrayIcon::Trigger);
    EXPECT_TRUE(Minimised(*w));
    EXPECT_TRUE(WaitUntil([&] { return !Shown(*w); })); // into the tray: nothing left but the icon
    Press(*w, QSystemTrayIcon::Trigger);
    EXPECT_FALSE(Minimised(*w));
    EXPECT_TRUE(Shown(*w));
    EXPECT_TRUE(TaskbarEntryHidden(*w)); // back in front, still off the taskbar

    // A double click has toggled once with its first press; the second
    // press, the middle button and releases change nothing.
    Press(*w, QSystemTrayIcon::DoubleClick);
    Press(*w, QSystemTrayIcon::MiddleClick);
    Press(*w, QSystemTrayIcon::Unknown);
    Application->ProcessMessages();
    EXPECT_FALSE(Minimised(*w));
    EXPECT_TRUE(Shown(*w));
}

TEST_F(Tray, BothOptionsStartInTheTray)
{
    StoreTestSettings({.MinCheck = true, .TaskCheck = true});
    auto w = Open();
    EXPECT_TRUE(Minimised(*w));
    EXPECT_TRUE(WaitUntil([&] { return !Shown(*w); }));
    ASSERT_NE(Icon(*w), nullptr);
    Press(*w, QSystemTrayIcon::Trigger);
    EXPECT_TRUE(Shown(*w));
    EXPECT_FALSE(Minimised(*w));
}

// Started in the tray, the window is minimised whatever the desktop says of
// the hidden window: the menu offers to restore it, and so does the first
// press on the icon.
TEST_F(Tray, StartedInTheTrayTheMenuAndTheFirstPressRestore)
{
    StoreTestSettings({.MinCheck = true, .TaskCheck = true});
    auto w = Open();
    ASSERT_TRUE(WaitUntil([&] { return !Shown(*w); }));
    ASSERT_TRUE(DesktopCallsTheHiddenWindowNormal(*w));
    Press(*w, QSystemTrayIcon::Context);
    EXPECT_TRUE(w->RestoreItem->Enabled());
    EXPECT_FALSE(w->MinItem->Enabled());
    w->RMenu->Menu()->hide();
    LeftPress(*w);
    EXPECT_TRUE(Shown(*w));
    EXPECT_FALSE(Minimised(*w));
    EXPECT_FALSE(w->Widget()->isMinimized());
}

TEST_F(Tray, MenuItemsFollowTheWindowState)
{
    StoreTestSettings({.TaskCheck = true});
    auto w = Open();
    QMenu* menu = w->RMenu->Menu();
    QCursor::setPos(120, 90);
    Press(*w, QSystemTrayIcon::Context);
    EXPECT_TRUE(menu->isVisible());
    EXPECT_EQ(menu->pos(), QCursor::pos()); // at the cursor
    EXPECT_TRUE(w->MinItem->Enabled());
    EXPECT_FALSE(w->RestoreItem->Enabled());
    EXPECT_TRUE(w->ExeItem->Enabled());
    EXPECT_TRUE(w->QuitItem->Enabled());
    menu->hide();

    w->SetWindowState(wsMinimized); // as the title bar's button does: into the tray
    EXPECT_TRUE(WaitUntil([&] { return !Shown(*w); }));
    Press(*w, QSystemTrayIcon::Context);
    EXPECT_TRUE(menu->isVisible());
    EXPECT_FALSE(w->MinItem->Enabled());
    EXPECT_TRUE(w->RestoreItem->Enabled());
    w->RestoreItem->Click();
    menu->hide();
    EXPECT_TRUE(Shown(*w));
    EXPECT_FALSE(Minimised(*w));
}

TEST_F(Tray, QuitSavesEverythingAndEndsTheProgram)
{
    StoreTestSettings({.TaskCheck = true});
    auto w = Open();
    QPointer<QSystemTrayIcon> icon = Icon(*w);
    w->NickEdit->SetText("Quitter");
    w->SetKeywords({Sjis("呼び出し")});
    Press(*w, QSystemTrayIcon::Trigger);
    ASSERT_TRUE(WaitUntil([&] { return !Shown(*w); }));
    // Hidden in the tray, the window's closing alone would not end the loop.
    EXPECT_TRUE(LoopEndsAfter([&] { w->QuitItem->Click(); }));
    w.reset(); // the program entry destroys the window once the loop is over
    EXPECT_TRUE(icon.isNull());
    QByteArray hive = HiveText();
    EXPECT_TRUE(hive.contains("\"ClientNick\"=\"Quitter\"")) << hive.constData();
    EXPECT_TRUE(hive.contains("\"TaskCheck\"=dword:00000001"));
    EXPECT_TRUE(hive.contains(QByteArray("\"0\"=\"") + Sjis("呼び出し").c_str() + "\""));
}

TEST_F(Tray, ClosingTheWindowStillEndsTheProgram)
{
    StoreTestSettings({.TaskCheck = true});
    auto w = Open();
    ASSERT_TRUE(TaskbarEntryHidden(*w));
    EXPECT_TRUE(LoopEndsAfter([&] { w->Widget()->close(); }));
}

TEST_F(Tray, OptionCheckedWhileRunningActsAtTheNextStart)
{
    StoreTestSettings();
    {
        auto w = Open();
        w->TaskCheckBox->SetChecked(true);
        w->MinCheckBox->SetChecked(true);
        Application->ProcessMessages();
        EXPECT_EQ(Icon(*w), nullptr);
        EXPECT_FALSE(NimboChatProbe::TrayIconShown(*w));
        EXPECT_FALSE(TaskbarEntryHidden(*w));
        EXPECT_FALSE(Minimised(*w));
    }
    auto w = Open();
    EXPECT_NE(Icon(*w), nullptr);
    EXPECT_TRUE(NimboChatProbe::TrayIconShown(*w));
    EXPECT_TRUE(Minimised(*w));
}

TEST_F(Tray, WithoutTheTrayOptionMinimisingKeepsTheTaskbarEntry)
{
    StoreTestSettings({.MinCheck = true});
    auto w = Open();
    EXPECT_TRUE(Minimised(*w));
    Application->ProcessMessages();
    EXPECT_TRUE(Shown(*w)); // minimised on the taskbar, as any window
    EXPECT_FALSE(TaskbarEntryHidden(*w));
    Application->Restore();
    Application->Minimize();
    Application->ProcessMessages();
    EXPECT_TRUE(Shown(*w));
    EXPECT_FALSE(TaskbarEntryHidden(*w));
}

// With no tray the icon cannot be added; the window must not vanish into a
// tray that is not there.
TEST_F(Tray, WithoutATrayTheWindowStaysReachable)
{
    trayAvailable = false;
    StoreTestSettings({.MinCheck = true, .TaskCheck = true});
    auto w = Open();
    EXPECT_EQ(Icon(*w), nullptr);
    EXPECT_FALSE(NimboChatProbe::TrayIconShown(*w));
    EXPECT_FALSE(TaskbarEntryHidden(*w));
    Application->ProcessMessages();
    EXPECT_TRUE(Minimised(*w));
    EXPECT_TRUE(Shown(*w));
    for (int round = 0; round < 2; ++round) {
        Application->Restore();
        EXPECT_FALSE(Minimised(*w));
        EXPECT_TRUE(Shown(*w));
        Application->Minimize();
        Application->ProcessMessages();
        EXPECT_TRUE(Shown(*w));
        EXPECT_FALSE(TaskbarEntryHidden(*w));
    }
}

TEST(TrayLayer, IconsByOwnerAndId)
{
    TTrayProbe previous = SetTrayProbe([] { return true; });
    TForm form(nullptr);
    TNotifyIconData data;
    data.Wnd = &form;
    data.ID = 3;
    data.Flags = NIF_TIP | NIF_ICON;
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::blue);
    data.Icon = QIcon(pixmap);
    data.Tip = std::string(70, 'x');
    EXPECT_TRUE(Shell_NotifyIcon(NIM_ADD, data));
    EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, data)); // the pair has its icon
    ASSERT_NE(TrayIcon(form, 3), nullptr);
    EXPECT_EQ(TrayIcon(form, 3)->toolTip().size(), 63);
    EXPECT_EQ(TrayIcon(form, 0), nullptr);
    EXPECT_TRUE(Shell_NotifyIcon(NIM_DELETE, data));
    EXPECT_EQ(TrayIcon(form, 3), nullptr);
    EXPECT_FALSE(Shell_NotifyIcon(NIM_DELETE, data));
    EXPECT_FALSE(Shell_NotifyIcon(1, data)); // NIM_MODIFY is not offered
    data.Wnd = nullptr;
    EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, data));
    SetTrayProbe([] { return false; });
    data.Wnd = &form;
    EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, data));
    SetTrayProbe(previous);
}

} // namespace
