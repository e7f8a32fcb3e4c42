#include "framework/richedit.h"

#include <QAbstractTextDocumentLayout>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {

QColor toQColor(TColor c)
{
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

TColor fromQColor(const QColor& c)
{
    return c.red() | (c.green() << 8) | (c.blue() << 16);
}

} // namespace

TRichEdit::TRichEdit(TComponent* Owner, TControl* Parent) : TControl(Owner, new QPlainTextEdit(Parent->Widget()))
{
    View()->setReadOnly(true);
    View()->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    View()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    View()->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    View()->setUndoRedoEnabled(false);
}

QPlainTextEdit* TRichEdit::View() const { return static_cast<QPlainTextEdit*>(Widget()); }

int TRichEdit::LineTextCount() const
{
    return FEmpty ? 0 : View()->document()->blockCount();
}

AnsiString TRichEdit::LineText(int Index) const
{
    if (Index < 0 || Index >= LineTextCount())
        return {};
    return FromQString(View()->document()->findBlockByNumber(Index).text());
}

int TRichEdit::LineLengthWithEnd(int Index) const
{
    if (Index < 0 || Index >= LineTextCount())
        return 0;
    QTextBlock block = View()->document()->findBlockByNumber(Index);
    return block.next().isValid() ? block.length() : block.length() - 1;
}

void TRichEdit::AddLine(const AnsiString& Text)
{
    QString text = ToQString(Text);
    if (TextLength() + text.size() + 1 > FMaxLength)
        throw Exception("RichEdit line insertion error");
    QTextCharFormat format;
    format.setForeground(toQColor(FSelColor));
    format.setFontWeight(FSelBold ? QFont::Bold : QFont::Normal);
    QTextCursor cursor(View()->document());
    cursor.movePosition(QTextCursor::End);
    if (FEmpty) {
        cursor.setBlockCharFormat(format);
        FEmpty = false;
    } else {
        cursor.insertBlock(QTextBlockFormat(), format);
    }
    cursor.insertText(text, format);
}

void TRichEdit::DeleteLine(int Index)
{
    if (Index < 0 || Index >= LineTextCount())
        return;
    if (LineTextCount() == 1) {
        Clear();
        return;
    }
    QTextBlock block = View()->document()->findBlockByNumber(Index);
    QTextCursor cursor(block);
    if (block.next().isValid()) {
        cursor.setPosition(block.next().position(), QTextCursor::KeepAnchor);
    } else {
        // The last line: take the line end before it instead.
        cursor.setPosition(block.position() - 1);
        cursor.setPosition(block.position() + block.length() - 1, QTextCursor::KeepAnchor);
    }
    cursor.removeSelectedText();
}

void TRichEdit::Clear()
{
    View()->clear();
    FEmpty = true;
}

int TRichEdit::TextLength() const
{
    return FEmpty ? 0 : View()->document()->characterCount() - 1;
}

int TRichEdit::SelStart() const
{
    return View()->textCursor().selectionStart();
}

int TRichEdit::SelLength() const
{
    QTextCursor c = View()->textCursor();
    return c.selectionEnd() - c.selectionStart();
}

void TRichEdit::SetSelStart(int Position)
{
    Select(Position, 0);
}

void TRichEdit::SetSelLength(int Length)
{
    Select(SelStart(), Length);
}

void TRichEdit::Select(int Start, int Length)
{
    int end = TextLength();
    Start = std::clamp(Start, 0, end);
    int stop = std::clamp(Start + std::max(Length, 0), Start, end);
    QTextCursor c(View()->document());
    c.setPosition(Start);
    c.setPosition(stop, QTextCursor::KeepAnchor);
    // Setting the view's cursor scrolls it into view; the selection must not.
    QScrollBar* bar = View()->verticalScrollBar();
    int top = bar->value();
    View()->setTextCursor(c);
    bar->setValue(top);
}

void TRichEdit::SetSelColor(TColor Color) { FSelColor = Color; }
void TRichEdit::SetSelBold(bool Bold) { FSelBold = Bold; }

QTextCharFormat TRichEdit::LineFormat(int Index) const
{
    QTextBlock block = View()->document()->findBlockByNumber(Index);
    if (block.length() <= 1)
        return block.charFormat();
    QTextCursor c(block);
    c.movePosition(QTextCursor::NextCharacter);
    return c.charFormat();
}

TColor TRichEdit::LineColor(int Index) const
{
    return fromQColor(LineFormat(Index).foreground().color());
}

bool TRichEdit::LineBold(int Index) const
{
    return LineFormat(Index).fontWeight() >= QFont::Bold;
}

int TRichEdit::LineCount() const
{
    return static_cast<int>(View()->document()->documentLayout()->documentSize().height());
}

int TRichEdit::FirstVisibleLine() const
{
    return View()->verticalScrollBar()->value();
}

void TRichEdit::LineScroll(int Lines)
{
    QScrollBar* bar = View()->verticalScrollBar();
    bar->setValue(bar->value() + Lines);
}

int TRichEdit::ClientHeight() const
{
    return View()->viewport()->height();
}

int TRichEdit::FontHeight() const
{
    return -std::max(1, QFontMetrics(View()->font()).lineSpacing());
}
