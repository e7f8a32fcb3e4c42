// The log view against Qt's own text layout: the rows it wraps a line into,
// and the pixels it paints them with, must be those a text editor of the
// same width and font shows.
#include "framework/log_view.h"
#include "support_code/event_wait.h"
#include "support_code/mouse.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QPainter>
#include <QTextLayout>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

constexpr int Margin = 4;

QFont WindowFont(bool bold)
{
    QFont font;
    font.setFamilies({"Noto Sans CJK JP", "Noto Sans JP", "IPAPGothic"});
    font.setPixelSize(12);
    font.setBold(bold);
    return font;
}

struct Editor {
    QImage Picture;
    int Rows = 0;
};

// The text laid out and painted as a text editor does it, wrapped by Qt.
Editor EditorView(QSize viewport, const QColor& base, const QString& text, bool bold)
{
    Editor editor{QImage(viewport, QImage::Format_ARGB32_Premultiplied), 0};
    editor.Picture.fill(base);
    QTextLayout layout(text, WindowFont(bold));
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLeadingIncluded(true);
        line.setLineWidth(viewport.width() - 2 * Margin);
        line.setPosition(QPointF(0, y));
        y += line.height();
        ++editor.Rows;
    }
    layout.endLayout();
    QPainter painter(&editor.Picture);
    painter.setPen(Qt::black);
    layout.draw(&painter, QPointF(Margin, Margin));
    return editor;
}

struct WrapCase {
    const char* Name;
    const char* Text;
    bool Bold;
};

const WrapCase WrapCases[] = {
    {"short line", ":irc.example.jp 001 Taro :Welcome", false},
    {"words past the width", ":Hanako!hana@example.jp PRIVMSG #leaf :the quick brown fox jumps over the lazy dog "
                             "and runs far away into the forest beyond the hills", false},
    {"bold words", ":Jiro!jiro@example.jp PRIVMSG #leaf :the quick brown fox jumps over the lazy dog again and again",
     true},
    {"one word longer than a row", "https://example.jp/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
                                   "aaaaaaaaaaaaaa/index.html", false},
    {"kana and kanji without spaces", ":Hana!h@pc PRIVMSG #日本 :今日はとても良い天気ですね。明日も晴れるといいのですが、"
                                      "天気予報では雨が降ると言っていました。「傘」を忘れずに。",
     false},
    {"kanji in bold", ":Jiro!j@pc PRIVMSG #日本 :たろうさん、何時から？九時からです。遅れないでくださいね。よろしくお願いします。",
     true},
    {"spaces where the row ends", "aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii jjjj kkkk llll mmmm nnnn oooo pppp "
                                  "qqqq rrrr ssss tttt uuuu vvvv",
     false},
    {"half-width katakana", "ﾃｽﾄﾒｯｾｰｼﾞ ｶﾀｶﾅ ﾊﾝｶｸ ﾃｽﾄﾒｯｾｰｼﾞ ｶﾀｶﾅ ﾊﾝｶｸ ﾃｽﾄﾒｯｾｰｼﾞ ｶﾀｶﾅ ﾊﾝｶｸ ﾃｽﾄﾒｯｾｰｼﾞ", false},
    {"JIS signs and Greek", "①②③ ※→←↑↓ αβγδ ΑΒΓΔ АБВГД ┌─┐│└┘ ±×÷≠≦≧∞∴♂♀°′″℃￥＄￠￡％＃＆＊＠§☆★○●◎◇◆□■△▲▽▼",
     false},
    {"line separator", "first\u2028second row after a break", false},
    {"emoji, laid out by Qt", "emoji 😀 and more text to pass the width of the view so that it wraps at least once",
     false},
    {"control codes, laid out by Qt", "\x02" "bold\x02 and \x03" "4colour\x03 codes of a chat client, long enough to wrap",
     false},
};

void PrintTo(const WrapCase& c, std::ostream* out)
{
    *out << c.Name;
}

class LogViewWrap : public ::testing::TestWithParam<WrapCase> {};

TEST_P(LogViewWrap, RowsAndPixelsAreTheEditors)
{
    const WrapCase& c = GetParam();
    QString text = QString::fromUtf8(c.Text);
    TLogView view(nullptr);
    view.setFont(WindowFont(false));
    view.resize(390, 153);
    view.show();
    view.Append({text, Qt::black, c.Bold});
    Editor editor = EditorView(view.viewport()->size(), view.palette().color(QPalette::Base), text, c.Bold);
    EXPECT_EQ(view.Rows(), editor.Rows);
    QImage shot = view.viewport()->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    ASSERT_EQ(shot.size(), editor.Picture.size());
    int differing = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            differing += shot.pixel(x, y) != editor.Picture.pixel(x, y);
    EXPECT_EQ(differing, 0) << "the pictures are saved as log_view.png and log_editor.png";
    if (differing) {
        shot.save("log_view.png");
        editor.Picture.save("log_editor.png");
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, LogViewWrap, ::testing::ValuesIn(WrapCases),
                         [](const auto& test) {
                             std::string name;
                             for (char ch : std::string(test.param.Name))
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

// A shown view of some short lines in a window, its frames painted on its
// own thread.
class LogViewUse : public ::testing::Test {
protected:
    void SetUp() override
    {
        view.setFont(WindowFont(false));
        view.setGeometry(0, 0, 390, 153);
        window.resize(390, 153);
        window.show();
        for (int i = 0; i < 30; ++i)
            view.Append({QString("line %1").arg(i), Qt::black, false});
        ASSERT_TRUE(Shown());
    }
    bool Shown()
    {
        view.Present();
        return WaitUntil([&] { return !view.Presenting(); }, 3000);
    }
    // How many pixels of a row are in the highlight colour.
    int HighlightedPixels(int row)
    {
        QImage shot = view.viewport()->grab().toImage();
        QRgb highlight = view.palette().color(QPalette::Highlight).rgb();
        int count = 0;
        int top = static_cast<int>(row * view.RowPitch()) + (view.FirstVisibleRow() == 0 ? Margin : 0);
        for (int y = top + 2; y < top + view.RowHeight() - 2; ++y)
            for (int x = 0; x < shot.width(); ++x)
                count += shot.pixel(x, y) == highlight;
        return count;
    }
    void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(&view, &press);
    }
    qreal RowMiddle(int row) { return Margin + (row + 0.5) * view.RowPitch(); }
    // Selects the last line held.
    void SelectLastLine()
    {
        int end = -1;
        for (int i = 0; i < view.Lines(); ++i)
            end += static_cast<int>(view.LineAt(i).Text.size()) + 1;
        const int length = static_cast<int>(view.LineAt(view.Lines() - 1).Text.size());
        view.SetSelection(end - length, length);
    }
    QWidget window;
    TLogView view{&window};
};

// Nobody sees a hidden view or one in a minimised window: it paints nothing
// however much comes, and shown again it paints what came meanwhile.
TEST_F(LogViewUse, PaintsOnlyWhileItCanBeSeen)
{
    const std::function<void()> hide[] = {[&] { view.hide(); }, [&] { window.showMinimized(); }};
    const std::function<void()> show[] = {[&] { view.show(); }, [&] { window.showNormal(); }};
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way == 0 ? "view hidden" : "window minimised");
        hide[way]();
        const int painted = view.FramesPainted();
        for (int i = 0; i < 50; ++i) {
            view.Append({QString("unseen line %1").arg(i), Qt::black, false});
            view.Present();
        }
        view.ScrollRows(view.Rows());
        SelectLastLine();
        view.Present();
        ASSERT_TRUE(WaitUntil([&] { return !view.Presenting(); }));
        EXPECT_EQ(view.FramesPainted(), painted);
        show[way]();
        ASSERT_TRUE(WaitUntil([&] { return view.FramesPainted() > painted && !view.Presenting(); }));
        EXPECT_GT(HighlightedPixels(view.VisibleRows() - 1), 0); // the newest line, at the bottom
    }
}

TEST_F(LogViewUse, SelectionIsPaintedOnlyWhereItIs)
{
    ASSERT_EQ(view.FirstVisibleRow(), 0);
    view.SetSelection(7, 6); // "line 1", the second row
    ASSERT_TRUE(Shown());
    EXPECT_EQ(HighlightedPixels(0), 0);
    EXPECT_GT(HighlightedPixels(1), 0);
    EXPECT_EQ(HighlightedPixels(2), 0);
    view.SetSelection(0, 0);
    ASSERT_TRUE(Shown());
    EXPECT_EQ(HighlightedPixels(1), 0);
}

TEST_F(LogViewUse, DragAcrossRowsSelectsAndCopiesTheirText)
{
    int start = -1, length = -1;
    view.UserSelected = [&](int s, int l) { start = s, length = l; };
    // From the middle of "line 1" to past the end of "line 2".
    DragWithMouse(view.viewport(), QPointF(Margin + 20, RowMiddle(1)), QPointF(view.viewport()->width() - 1, RowMiddle(2)));
    EXPECT_EQ(start, view.SelectionStart());
    EXPECT_EQ(length, view.SelectionLength());
    EXPECT_TRUE(view.SelectedText().endsWith("1\nline 2")) << view.SelectedText().toStdString();
    Key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), view.SelectedText());
    Key(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(view.SelectionStart(), 0);
    EXPECT_EQ(view.SelectedText().count(u'\n'), 29);
    EXPECT_TRUE(view.SelectedText().endsWith("line 29"));
}

// The context menu pops up and the handler returns: no event loop of its
// own runs while the menu is open.
TEST_F(LogViewUse, ContextMenuPopsUpWithoutWaiting)
{
    bool ranInside = false;
    QTimer::singleShot(0, &view, [&] {
        ranInside = true;
        for (QMenu* menu : view.findChildren<QMenu*>())
            menu->close();
    });
    QContextMenuEvent press(QContextMenuEvent::Mouse, QPoint(20, 20), view.viewport()->mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(view.viewport(), &press);
    EXPECT_FALSE(ranInside);
    QMenu* menu = view.findChild<QMenu*>();
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->isVisible());
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_FALSE(menu->actions()[0]->isEnabled()); // nothing selected to copy
    menu->actions()[1]->trigger();
    EXPECT_EQ(view.SelectedText().count(u'\n'), 29);
    EXPECT_TRUE(WaitUntil([&] { return ranInside; })); // closed the menu, which goes
}

TEST_F(LogViewUse, KeysScrollByRowsAndPagesAndTheBarFollows)
{
    Key(Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(view.FirstVisibleRow(), 30 - view.VisibleRows());
    Key(Qt::Key_PageUp);
    EXPECT_EQ(view.FirstVisibleRow(), 30 - 2 * view.VisibleRows());
    Key(Qt::Key_Up);
    EXPECT_EQ(view.FirstVisibleRow(), 29 - 2 * view.VisibleRows());
    Key(Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(view.FirstVisibleRow(), 0);
    Key(Qt::Key_Up);
    EXPECT_EQ(view.FirstVisibleRow(), 0);
    Key(Qt::Key_Down);
    ASSERT_TRUE(Shown());
    EXPECT_EQ(view.verticalScrollBar()->value(), 1);
    EXPECT_EQ(view.verticalScrollBar()->maximum(), 30 - view.VisibleRows());
    // Moving the bar scrolls the rows.
    view.verticalScrollBar()->setValue(5);
    EXPECT_EQ(view.FirstVisibleRow(), 5);
}

TEST_F(LogViewUse, DroppedLinesKeepTheRowsShownInPlace)
{
    view.ScrollRows(10);
    view.SetSelection(10 * 7 + 2 * 8, 7); // "line 12"
    view.DropFront(4);
    EXPECT_EQ(view.FirstVisibleRow(), 6);
    EXPECT_EQ(view.LineAt(0).Text, "line 4");
    EXPECT_EQ(view.SelectedText(), "line 12");
    view.DropFront(100);
    EXPECT_EQ(view.Lines(), 0);
    EXPECT_EQ(view.Rows(), 0);
    EXPECT_EQ(view.SelectedText(), "");
    ASSERT_TRUE(Shown());
}

} // namespace
