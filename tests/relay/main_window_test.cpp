// The main window: its controls and defaults, the bounded coloured log, and
// start-up with the listener's port taken.
#include "relay/probe.h"
#include "support_code/mouse.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

#include "framework/log_view.h"

#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QScrollBar>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

TEST(MainWindow, ControlsStandAsCreated)
{
    auto w = std::make_unique<TNimboChat>(nullptr); // nothing stored yet: the defaults
    w->Show();
    EXPECT_EQ(w->Caption(), "NimboChat");
    EXPECT_EQ(w->ClientWidth(), 398);
    EXPECT_EQ(w->ClientHeight(), 337);
    EXPECT_EQ(w->PageControl1->PageCount(), 4);
    EXPECT_EQ(w->PageControl1->ActivePage(), w->TabSheet1);
    EXPECT_EQ(w->TabSheet4->Caption(), Sjis("その他"));
    EXPECT_EQ(w->ClientEdit->Text(), "irc.ircnet.ne.jp");
    EXPECT_EQ(w->ClientPortEdit->Text(), "6667");
    EXPECT_EQ(w->ClientUpDown->Max(), 9999);
    EXPECT_EQ(w->NickEdit->Text(), "Nick");
    EXPECT_EQ(w->ServerPortEdit->Text(), "6667");
    EXPECT_EQ(w->ChannelEdit->Text(), "#leaf");
    EXPECT_EQ(w->ConvertCheckBox->Caption(), Sjis("変換"));
    EXPECT_FALSE(w->ConvertCheckBox->Checked());
    EXPECT_TRUE(w->FlashCheckBox->Checked());
    EXPECT_FALSE(w->FlashCheckBox->Enabled());
    EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
    EXPECT_TRUE(w->ConnectButton->Default());
    EXPECT_EQ(w->KillButton->Caption(), Sjis("強制切断"));
    EXPECT_FALSE(w->KillButton->Enabled());
    EXPECT_TRUE(w->SendButton->Enabled());
    EXPECT_FALSE(w->RestoreItem->Enabled());
    EXPECT_EQ(w->QuitItem->Caption(), Sjis("Nimboチャットを終了(&Q)"));
    EXPECT_TRUE(w->N1->IsSeparator());
    EXPECT_TRUE(w->FlashTimer->Enabled());
    EXPECT_EQ(w->FlashTimer->Interval(), 1000);
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_NE(NimboChatProbe::KeywordList(*w), nullptr);
    EXPECT_EQ(w->ClientSocket->Port, 6667);
}

TEST(MainWindow, UpDownFollowsItsEdit)
{
    auto w = StartTestWindow({.UpstreamPort = 6667});
    w->ClientUpDown->Step(+1);
    EXPECT_EQ(w->ClientPortEdit->Text(), "6668");
    w->ClientPortEdit->SetText("7000");
    EXPECT_EQ(w->ClientUpDown->Position(), 7000);
    w->ClientPortEdit->SetText("12345"); // out of range: the last valid position stays
    EXPECT_EQ(w->ClientUpDown->Position(), 7000);
    w->ClientUpDown->SetPosition(9999);
    w->ClientUpDown->Step(+1); // no wrap
    EXPECT_EQ(w->ClientPortEdit->Text(), "9999");
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { w = StartTestWindow(); }
    void Add(int from, int to)
    {
        for (int i = from; i <= to; ++i)
            w->AddLog("line " + std::to_string(i), clGreen, false);
    }
    TRichEdit* Log() { return w->LogRichEdit; }
    std::unique_ptr<TNimboChat> w;
};

TEST_F(LogTest, KeepsAtMost257Lines)
{
    Add(1, 257);
    ASSERT_EQ(Log()->LineTextCount(), 257);
    EXPECT_EQ(Log()->LineText(0), "line 1");
    Add(258, 258);
    EXPECT_EQ(Log()->LineTextCount(), 257);
    EXPECT_EQ(Log()->LineText(0), "line 2");
    EXPECT_EQ(Log()->LineText(256), "line 258");
    Add(259, 400);
    EXPECT_EQ(Log()->LineTextCount(), 257);
    EXPECT_EQ(Log()->LineText(0), "line 144");
}

TEST_F(LogTest, SelectionInsideTheRemovedLineIsCleared)
{
    Add(1, 257);
    Log()->SetSelStart(2);
    Log()->SetSelLength(3);
    Add(258, 258);
    EXPECT_EQ(Log()->SelStart(), 0);
    EXPECT_EQ(Log()->SelLength(), 0);
}

TEST_F(LogTest, NewestLineStandsAtTheBottomUnlessFixed)
{
    Add(1, 60);
    int visible = std::abs(Log()->ClientHeight() / Log()->FontHeight());
    ASSERT_GT(visible, 0);
    EXPECT_EQ(Log()->FirstVisibleLine(), Log()->LineCount() - visible);

    Log()->LineScroll(-20);
    int top = Log()->FirstVisibleLine();
    w->ScrollCheckBox->SetChecked(true);
    Add(61, 80);
    EXPECT_EQ(Log()->FirstVisibleLine(), top);

    w->ScrollCheckBox->SetChecked(false);
    Add(81, 81);
    EXPECT_EQ(Log()->FirstVisibleLine(), Log()->LineCount() - visible);
}

TEST_F(LogTest, ColourAndBoldPerLine)
{
    w->AddLog("chat", clBlack, true);
    w->AddLog("ctcp", clBlue, false);
    w->AddLog("", clGreen, false);
    w->AddLog(Sjis("エラー"), clRed, false);
    ASSERT_EQ(Log()->LineTextCount(), 4);
    EXPECT_EQ(Log()->LineColor(0), clBlack);
    EXPECT_TRUE(Log()->LineBold(0));
    EXPECT_EQ(Log()->LineColor(1), clBlue);
    EXPECT_FALSE(Log()->LineBold(1));
    EXPECT_EQ(Log()->LineColor(2), clGreen);
    EXPECT_EQ(Log()->LineText(2), "");
    EXPECT_EQ(Log()->LineColor(3), clRed);
    EXPECT_EQ(Log()->LineText(3), Sjis("エラー"));
}

TEST_F(LogTest, FailedAppendLeavesTextAppendError)
{
    Add(1, 3);
    Log()->SetMaxLength(30);
    w->AddLog(std::string(40, 'x'), clBlack, false);
    ASSERT_EQ(Log()->LineTextCount(), 1);
    EXPECT_EQ(Log()->LineText(0), "Text Append Error");
    EXPECT_EQ(Log()->LineColor(0), clRed);
    EXPECT_FALSE(Log()->LineBold(0));
    EXPECT_TRUE(Recorded().Exceptions.empty());
}

// The drawn view: its lines, their colour and weight, the selection and the
// rows painted, as a user sees them.
class LogViewTest : public LogTest {
protected:
    TLogView* View() { return static_cast<TLogView*>(Log()->Widget()); }
    bool Drawn() { return WaitUntil([&] { return !Log()->ViewPending(); }, 3000); }
    static QColor Colour(TColor c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, c >> 16); }
    void ExpectViewMatchesLog()
    {
        ASSERT_EQ(View()->Lines(), Log()->LineTextCount());
        for (int i = 0; i < Log()->LineTextCount(); ++i) {
            const TLogView::Line& line = View()->LineAt(i);
            QString text = QString(line.Text).replace(QChar::LineSeparator, u'\r');
            EXPECT_EQ(FromQString(text), Log()->LineText(i)) << i;
            EXPECT_EQ(line.Color, Colour(Log()->LineColor(i))) << i;
            EXPECT_EQ(line.Bold, Log()->LineBold(i)) << i;
        }
        EXPECT_EQ(View()->SelectionStart(), Log()->SelStart());
        EXPECT_EQ(View()->SelectionLength(), Log()->SelLength());
        EXPECT_EQ(View()->verticalScrollBar()->value(), View()->FirstVisibleRow());
        EXPECT_EQ(View()->verticalScrollBar()->maximum(), std::max(0, View()->Rows() - View()->VisibleRows()));
    }
    // The darkest pixel of each row on screen: the colour its glyphs are
    // drawn in, where their strokes cover whole pixels.
    std::vector<QColor> RowInks()
    {
        QImage shot = View()->viewport()->grab().toImage();
        std::vector<QColor> inks;
        for (int row = 0; row < View()->VisibleRows(); ++row) {
            QColor darkest = Qt::white;
            for (int y = int(row * View()->RowPitch()); y < int((row + 1) * View()->RowPitch()); ++y)
                for (int x = 0; x < shot.width(); ++x) {
                    QColor c = shot.pixelColor(x, y);
                    if (c.red() + c.green() + c.blue() < darkest.red() + darkest.green() + darkest.blue())
                        darkest = c;
                }
            inks.push_back(darkest);
        }
        return inks;
    }
};

bool Near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) < 48 && std::abs(a.green() - b.green()) < 48 && std::abs(a.blue() - b.blue()) < 48;
}

TEST_F(LogViewTest, BurstIsDrawnOnceWithWhatTheLogStillHolds)
{
    Add(1, 10);
    ASSERT_TRUE(Drawn());
    ASSERT_EQ(View()->Lines(), 10);
    const TColor colours[] = {clBlack, clGreen, clBlue, clRed};
    for (int i = 0; i < 5000; ++i)
        w->AddLog("burst " + std::to_string(i), colours[i % 4], i % 3 == 0);
    // Nothing drawn yet, and the log already answers with the burst's tail.
    EXPECT_EQ(View()->Lines(), 10);
    EXPECT_EQ(Log()->LineTextCount(), 257);
    EXPECT_EQ(Log()->LineText(256), "burst 4999");
    ASSERT_TRUE(Drawn());
    ExpectViewMatchesLog();
    int visible = std::abs(Log()->ClientHeight() / Log()->FontHeight());
    EXPECT_EQ(View()->FirstVisibleRow(), Log()->LineCount() - visible);
    // The rows painted are the last lines, each in its own colour.
    std::vector<QColor> inks = RowInks();
    ASSERT_EQ(static_cast<int>(inks.size()), visible);
    for (int row = 0; row < visible; ++row) {
        int line = 257 - visible + row;
        EXPECT_TRUE(Near(inks[row], Colour(Log()->LineColor(line))))
            << "row " << row << " drew " << inks[row].name().toStdString() << " for " << Log()->LineText(line);
    }
}

TEST_F(LogViewTest, LineWithCarriageReturnStaysOneLine)
{
    for (int i = 0; i < 300; ++i)
        w->AddLog("first\rsecond " + std::to_string(i), clGreen, false);
    EXPECT_EQ(Log()->LineTextCount(), 257);
    EXPECT_EQ(Log()->LineText(256), "first\rsecond 299");
    EXPECT_EQ(Log()->LineLengthWithEnd(256), 16);
    ASSERT_TRUE(Drawn());
    ExpectViewMatchesLog();
    EXPECT_EQ(Log()->LineCount(), 2 * 257); // each line breaks into two rows
}

TEST_F(LogViewTest, SelectionMadeInTheViewIsTheLogs)
{
    Add(1, 257);
    ASSERT_TRUE(Drawn());
    Log()->LineScroll(-Log()->LineCount());
    // A mouse drag across the third row: "line 3", characters 14 to 20.
    int y = int(4 + 2.5 * View()->RowPitch());
    DragWithMouse(View()->viewport(), QPointF(0, y), QPointF(View()->viewport()->width() - 1, y));
    EXPECT_EQ(Log()->SelStart(), 14);
    EXPECT_EQ(Log()->SelLength(), 6);
    Add(258, 258); // the selection moves with its text
    EXPECT_EQ(Log()->SelStart(), 7);
    EXPECT_EQ(Log()->SelLength(), 6);
    EXPECT_EQ(Log()->LineText(1), "line 3");
    ASSERT_TRUE(Drawn());
    ExpectViewMatchesLog();
    EXPECT_EQ(View()->SelectedText(), "line 3");
}

TEST_F(LogViewTest, ClearAndRebuildAfterAMiddleDelete)
{
    Add(1, 20);
    ASSERT_TRUE(Drawn());
    Log()->DeleteLine(5);
    EXPECT_EQ(Log()->LineText(5), "line 7");
    ASSERT_TRUE(Drawn());
    ExpectViewMatchesLog();
    Log()->Clear();
    Add(21, 22);
    ASSERT_TRUE(Drawn());
    ExpectViewMatchesLog();
}

TEST(MainWindowStartUp, ListenerPortTakenShowsOneBoxAndRunsOn)
{
    QTcpServer squatter;
    ASSERT_TRUE(ListenOnLowPort(squatter));
    auto w = StartTestWindow({.ListenPort = squatter.serverPort()});
    // The box comes from the event loop, once the window is up.
    EXPECT_TRUE(Recorded().Boxes.empty());
    ASSERT_TRUE(WaitUntil([] { return !Recorded().Boxes.empty(); }));
    ASSERT_EQ(Recorded().Boxes.size(), 1u);
    EXPECT_EQ(Recorded().Boxes[0].Text, Sjis("ServerSocketがOpenできませんでした。"));
    EXPECT_EQ(Recorded().Boxes[0].Caption, "SocketError");
    EXPECT_EQ(Recorded().Boxes[0].Flags & MB_ICONMASK, MB_ICONERROR);
    EXPECT_TRUE(Recorded().Exceptions.empty());
    ASSERT_EQ(w->LogRichEdit->LineTextCount(), 1);
    EXPECT_EQ(w->LogRichEdit->LineText(0), "ServerSocket Open Error");
    EXPECT_EQ(w->LogRichEdit->LineColor(0), clRed);
    EXPECT_FALSE(w->ServerSocket->Active());
    EXPECT_EQ(w->ServerSocket->Port, squatter.serverPort());
    // The window keeps running: it still logs and handles events, and a
    // change of the port box opens the listener.
    w->AddLog("still here", clGreen, false);
    Application->ProcessMessages();
    EXPECT_EQ(w->LogRichEdit->LineTextCount(), 2);
    w->ServerPortEdit->SetText(std::to_string(FreeLowPort()));
    EXPECT_TRUE(WaitUntil([&] { return w->ServerSocket->Active(); }));
}

// Types Text into an edit key by key, a key every 100 ms, as a user does,
// over what it holds.
void TypeSlowly(TEdit* Edit, const std::string& Text)
{
    auto* line = static_cast<QLineEdit*>(Edit->Widget());
    line->setFocus();
    line->selectAll();
    const QString digits = QString::fromStdString(Text);
    qsizetype typed = 0;
    QTimer keys;
    QObject::connect(&keys, &QTimer::timeout, [line, digits, &typed] {
        const QChar digit = digits[typed++];
        QKeyEvent press(QEvent::KeyPress, Qt::Key_0 + (digit.unicode() - '0'), Qt::NoModifier, QString(digit));
        QCoreApplication::sendEvent(line, &press);
    });
    keys.start(100);
    WaitUntil([&] { return typed == digits.size(); });
}

// A port typed digit by digit is taken once, when the typing has settled:
// the numbers on the way ("7", "70", "701") are never opened, even where
// they cannot be, and a port that cannot be opened says so once.
TEST(MainWindowPortBox, ATypedPortIsTakenOnceTheTypingSettles)
{
    auto w = StartTestWindow();
    QTcpServer target;
    ASSERT_TRUE(ListenOnLowPort(target));
    const std::string port = std::to_string(target.serverPort());
    target.close();
    std::vector<std::unique_ptr<QTcpServer>> prefixes; // taken, so that opening one would fail
    for (size_t n = 1; n < port.size(); ++n) {
        prefixes.push_back(std::make_unique<QTcpServer>());
        prefixes.back()->listen(QHostAddress::LocalHost, static_cast<quint16>(std::stoi(port.substr(0, n))));
    }
    TypeSlowly(w->ServerPortEdit, port);
    EXPECT_TRUE(WaitUntil([&] { return w->ServerSocket->Active() && w->ServerSocket->Port == std::stoi(port); }));
    EXPECT_TRUE(Recorded().Boxes.empty());
    EXPECT_FALSE(LogContains(*w, "ServerSocket Open Error"));

    QTcpServer squatter;
    ASSERT_TRUE(ListenOnLowPort(squatter));
    TypeSlowly(w->ServerPortEdit, std::to_string(squatter.serverPort()));
    ASSERT_TRUE(WaitUntil([&] { return !Recorded().Boxes.empty(); }));
    WaitUntil([] { return false; }, 2 * PortSettleMs); // time for a second report, which must not come
    EXPECT_EQ(Recorded().Boxes.size(), 1u);
    int failures = 0;
    for (int i = 0; i < w->LogRichEdit->LineTextCount(); ++i)
        failures += w->LogRichEdit->LineText(i) == "ServerSocket Open Error";
    EXPECT_EQ(failures, 1);
}

// Renders the window offscreen and checks that the Japanese captions have
// glyphs in the font the window uses. Saves the picture as window.png in the
// test's working folder (scripts/screenshots copies it into docs/).
TEST(MainWindowLook, RendersJapaneseCaptions)
{
    auto w = StartTestWindow();
    w->PageControl1->SetActivePage(w->TabSheet4);
    w->AddLog(":srv 001 Nick :Welcome", clGreen, false);
    w->AddLog(Sjis(":a!b@c PRIVMSG #leaf :こんにちは"), clBlack, true);
    w->AddLog("ServerSocket Open Error", clRed, false);
    w->LogRichEdit->UpdateView();
    QPixmap picture = w->Widget()->grab();
    EXPECT_EQ(picture.size(), QSize(398, 337));
    QFontMetrics metrics(w->Widget()->font());
    for (const char* caption : {"強制切断", "ログ固定", "変換", "参照", "自動実行", "最小化で実行", "タスクトレイに表示",
                                "キーワード有効", "ウィンドウを点滅させる", "その他"}) {
        for (QChar c : QString::fromUtf8(caption))
            EXPECT_TRUE(metrics.inFont(c)) << caption;
    }
    EXPECT_TRUE(picture.save(QDir::current().filePath("window.png")));
}

} // namespace
