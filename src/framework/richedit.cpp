#include "framework/richedit.h"

#include <QAbstractTextDocumentLayout>
#include <QEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

namespace {

// The view is updated at most this often.
constexpr int ViewUpdateMs = 16;

QColor toQColor(TColor c)
{
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

// The characters that would start a new paragraph in the document become a
// line break inside the paragraph, one character for one.
QString viewText(QString text)
{
    for (QChar& c : text) {
        char16_t u = c.unicode();
        if (u == u'\r' || u == u'\n' || u == QChar::ParagraphSeparator || u == 0xFDD0 || u == 0xFDD1)
            c = QChar::LineSeparator;
    }
    return text;
}

// Brings the view up to date before the user's input reaches it, so that a
// selection made with mouse or keyboard is made in the current text.
class InputFilter : public QObject {
public:
    InputFilter(QObject* parent, const TRichEdit* log) : QObject(parent), FLog(log) {}
    bool eventFilter(QObject*, QEvent* e) override
    {
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::KeyPress:
        case QEvent::Wheel:
            FLog->UpdateView();
            break;
        default:
            break;
        }
        return false;
    }

private:
    const TRichEdit* FLog;
};

} // namespace

TRichEdit::TRichEdit(TComponent* Owner, TControl* Parent)
    : TControl(Owner, new QPlainTextEdit(Parent->Widget())), FTimer(new QTimer(Widget()))
{
    View()->setReadOnly(true);
    View()->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    View()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    View()->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    View()->setUndoRedoEnabled(false);
    FTimer->setSingleShot(true);
    FSinceSync.start();
    QObject::connect(FTimer, &QTimer::timeout, Widget(), [this] { SyncView(); });
    QObject::connect(View(), &QPlainTextEdit::cursorPositionChanged, Widget(), [this] { ReadUserSelection(); });
    QObject::connect(View(), &QPlainTextEdit::selectionChanged, Widget(), [this] { ReadUserSelection(); });
    auto* filter = new InputFilter(Widget(), this);
    View()->installEventFilter(filter);
    View()->viewport()->installEventFilter(filter);
}

QPlainTextEdit* TRichEdit::View() const { return static_cast<QPlainTextEdit*>(Widget()); }

const TRichEdit::Line* TRichEdit::At(int Index) const
{
    if (Index < 0 || Index >= LineTextCount())
        return nullptr;
    return &FLines[static_cast<size_t>(Index)];
}

int TRichEdit::LineTextCount() const
{
    return static_cast<int>(FLines.size());
}

AnsiString TRichEdit::LineText(int Index) const
{
    const Line* line = At(Index);
    return line ? FromQString(line->Text) : AnsiString();
}

int TRichEdit::LineLengthWithEnd(int Index) const
{
    const Line* line = At(Index);
    if (!line)
        return 0;
    return static_cast<int>(line->Text.size()) + (Index + 1 < LineTextCount() ? 1 : 0);
}

void TRichEdit::AddLine(const AnsiString& Text)
{
    QString text = ToQString(Text);
    if (TextLength() + text.size() + 1 > FMaxLength)
        throw Exception("RichEdit line insertion error");
    FTextLength += static_cast<int>(text.size()) + (FLines.empty() ? 0 : 1);
    FLines.push_back({std::move(text), FSelColor, FSelBold});
    Changed();
}

void TRichEdit::DeleteLine(int Index)
{
    if (!At(Index))
        return;
    FTextLength -= LineLengthWithEnd(Index);
    if (Index > 0 && Index + 1 == LineTextCount())
        FTextLength -= 1; // the line end before the last line goes with it
    if (Index == 0)
        ++FFirst;
    else
        FRebuild = true;
    FLines.erase(FLines.begin() + Index);
    Select(FSelStart, FSelLength);
    Changed();
}

void TRichEdit::Clear()
{
    FFirst += LineTextCount();
    FLines.clear();
    FTextLength = 0;
    FSelStart = FSelLength = 0;
    Changed();
}

int TRichEdit::TextLength() const
{
    return FTextLength;
}

void TRichEdit::SetSelStart(int Position)
{
    Select(Position, 0);
}

void TRichEdit::SetSelLength(int Length)
{
    Select(FSelStart, Length);
}

void TRichEdit::Select(int Start, int Length)
{
    int end = TextLength();
    FSelStart = std::clamp(Start, 0, end);
    FSelLength = std::clamp(FSelStart + std::max(Length, 0), FSelStart, end) - FSelStart;
    Changed();
}

TColor TRichEdit::LineColor(int Index) const
{
    const Line* line = At(Index);
    return line ? line->Color : clBlack;
}

bool TRichEdit::LineBold(int Index) const
{
    const Line* line = At(Index);
    return line && line->Bold;
}

int TRichEdit::LineCount() const
{
    UpdateView();
    return static_cast<int>(View()->document()->documentLayout()->documentSize().height());
}

int TRichEdit::FirstVisibleLine() const
{
    UpdateView();
    return View()->verticalScrollBar()->value();
}

void TRichEdit::LineScroll(int Lines)
{
    UpdateView();
    QScrollBar* bar = View()->verticalScrollBar();
    bar->setValue(bar->value() + Lines);
}

void TRichEdit::ScrollToBottom()
{
    FScrollToBottom = true;
    Changed();
}

int TRichEdit::ClientHeight() const
{
    return View()->viewport()->height();
}

int TRichEdit::FontHeight() const
{
    return -std::max(1, QFontMetrics(View()->font()).lineSpacing());
}

// Schedules the view update. Once a frame has passed since the last one,
// the update runs at the next idle turn of the event loop, right after the
// handler that changed the log has finished its work (a relayed line is out
// before the view is drawn). Before that, a fallback timer makes sure that
// the last change of a lull is drawn within two frames.
void TRichEdit::Changed()
{
    FPending = true;
    if (FIdleQueued)
        return;
    qint64 since = FSinceSync.elapsed();
    if (since >= ViewUpdateMs) {
        FIdleQueued = true;
        FTimer->start(0);
    } else if (!FTimer->isActive()) {
        FTimer->start(static_cast<int>(2 * ViewUpdateMs - since));
    }
}

void TRichEdit::UpdateView() const
{
    if (FPending)
        const_cast<TRichEdit*>(this)->SyncView();
}

void TRichEdit::SyncView()
{
    FTimer->stop();
    FIdleQueued = false;
    FPending = false;
    FSinceSync.start();
    FSyncing = true;
    View()->setUpdatesEnabled(false);
    if (FRebuild) {
        FViewEnd = FViewFirst; // forget the view: everything is drawn anew
        View()->clear();
        FRebuild = false;
    }
    DropViewFront();
    AppendToView();
    ShowSelection();
    if (FScrollToBottom) {
        FScrollToBottom = false;
        int visible = std::abs(ClientHeight() / FontHeight());
        LineScroll(LineCount() - FirstVisibleLine() - visible);
    }
    View()->setUpdatesEnabled(true);
    FSyncing = false;
}

// Removes from the view the lines no longer held, in one edit.
void TRichEdit::DropViewFront()
{
    std::int64_t gone = std::min(FFirst, FViewEnd) - FViewFirst;
    if (gone > 0 && FViewFirst + gone == FViewEnd) {
        View()->clear();
    } else if (gone > 0) {
        QTextCursor cursor(View()->document());
        cursor.setPosition(View()->document()->findBlockByNumber(static_cast<int>(gone)).position(),
                           QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    FViewFirst = std::max(FViewFirst, FFirst);
    FViewEnd = std::max(FViewEnd, FViewFirst);
}

// Writes the held lines the view lacks, as one edit block.
void TRichEdit::AppendToView()
{
    std::int64_t end = FFirst + LineTextCount();
    if (FViewEnd >= end)
        return;
    QTextCursor cursor(View()->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    for (std::int64_t n = FViewEnd; n < end; ++n) {
        const Line& line = FLines[static_cast<size_t>(n - FFirst)];
        QTextCharFormat format;
        format.setForeground(toQColor(line.Color));
        format.setFontWeight(line.Bold ? QFont::Bold : QFont::Normal);
        if (n == FViewFirst)
            cursor.setBlockCharFormat(format);
        else
            cursor.insertBlock(QTextBlockFormat(), format);
        cursor.insertText(viewText(line.Text), format);
    }
    cursor.endEditBlock();
    FViewEnd = end;
}

void TRichEdit::ShowSelection()
{
    QTextCursor shown = View()->textCursor();
    if (shown.anchor() == FSelStart && shown.position() == FSelStart + FSelLength)
        return;
    QTextCursor c(View()->document());
    c.setPosition(FSelStart);
    c.setPosition(FSelStart + FSelLength, QTextCursor::KeepAnchor);
    // Setting the view's cursor scrolls it into view; the selection must not.
    QScrollBar* bar = View()->verticalScrollBar();
    int top = bar->value();
    View()->setTextCursor(c);
    bar->setValue(top);
}

// The user moved the caret or the selection in the view, which the input
// filter had brought up to date: its positions are the control's.
void TRichEdit::ReadUserSelection()
{
    if (FSyncing)
        return;
    QTextCursor c = View()->textCursor();
    FSelStart = c.selectionStart();
    FSelLength = c.selectionEnd() - c.selectionStart();
}
