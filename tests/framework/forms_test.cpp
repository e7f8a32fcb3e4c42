// The control semantics the program relies on, and the end of the program
// when its main window closes.
#include "framework/controls.h"
#include "support_code/event_wait.h"
#include "support_code/recording_sink.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

TEST(Controls, EditChangeOnlyOnRealChange)
{
    TForm form(nullptr);
    TEdit edit(nullptr, &form);
    int changes = 0;
    edit.OnChange = [&](TObject*) { ++changes; };
    edit.SetText("abc");
    edit.SetText("abc");
    edit.SetText(Sjis("日本"));
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(edit.Text(), Sjis("日本"));
}

TEST(Controls, CheckBoxClickAlsoFromCode)
{
    TForm form(nullptr);
    TCheckBox box(nullptr, &form, "x");
    int clicks = 0;
    box.OnClick = [&](TObject*) { ++clicks; };
    box.SetChecked(true);
    box.SetChecked(true);
    box.SetChecked(false);
    EXPECT_EQ(clicks, 2);
}

// The display comes after the handler's event, from the event loop: no box
// is ever open inside an event.
TEST(Controls, HandlerExceptionGoesToTheDisplayOnlyAfterTheEvent)
{
    TForm form(nullptr);
    TButton button(nullptr, &form, "b");
    button.OnClick = [](TObject*) { throw Exception("boom"); };
    button.Click();
    EXPECT_TRUE(Recorded().Exceptions.empty());
    ASSERT_TRUE(WaitUntil([] { return !Recorded().Exceptions.empty(); }));
    ASSERT_EQ(Recorded().Exceptions.size(), 1u);
    EXPECT_EQ(Recorded().Exceptions[0], "boom");
}

TEST(Forms, ClosingTheMainWindowEndsTheProgram)
{
    TForm main(nullptr);
    TForm other(nullptr);
    main.Show();
    other.Show();
    Application->MainForm = &main;
    QEventLoop loop;
    bool timedOut = false;
    // The loop is the timers' context: a timer that has not fired when the
    // test ends dies with it instead of touching the test's locals later.
    QTimer::singleShot(0, &loop, [&] { main.Widget()->close(); });
    QTimer::singleShot(5000, &loop, [&] { timedOut = true; loop.quit(); });
    loop.exec();
    Application->MainForm = nullptr;
    EXPECT_FALSE(timedOut);
}

// The file dialog's buttons and the log's context menu come from Qt's own
// texts: in Japanese once they are loaded.
TEST(QtJapanese, StandardButtonsSpeakJapanese)
{
    ASSERT_TRUE(InstallQtJapanese());
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("キャンセル"));
}

} // namespace
