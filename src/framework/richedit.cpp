#include "framework/richedit.h"

#include "framework/log_view.h"

#include <QTimer>

#include <algorithm>

namespace {

// The view is updated at most this often.
constexpr int ViewUpdateMs = 16;

QColor toQColor(TColor c)
{
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

// The characters that would end a line become a line break inside the line,
// one character for one.
QString viewText(const QString& text)
{
    auto breaks = [](QChar c) { return c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator; };
    if (std::none_of(text.begin(), text.end(), breaks))
        return text;
    QString shown = text;
    std::replace_if(shown.begin(), shown.end(), breaks, QChar(QChar::LineSeparator));
    return shown;
}

} // namespace

TRichEdit::TRichEdit(TComponent* Owner, TControl* Parent)
    : TControl(Owner, new TLogView(Parent->Widget())), FTimer(new QTimer(Widget()))
{
    FTimer->setSingleShot(true);
    FSinceSync.start();
    QObject::connect(FTimer, &QTimer::timeout, Widget(), [this] { SyncView(); });
    // The view is brought up to date before the user's input reaches it, so
    // that a selection is made in the current text; the selection made is
    // the control's.
    View()->BeforeInput = [this] { SyncNow(); };
    View()->UserSelected = [this](int Start, int Length) {
        FSelStart = Start;
        FSelLength = Length;
    };
}

TLogView* TRichEdit::View() const { return static_cast<TLogView*>(Widget()); }

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
    return line ? line->Text : AnsiString(); // what ToQString would show comes back as these bytes
}

int TRichEdit::LineLengthWithEnd(int Index) const
{
    const Line* line = At(Index);
    if (!line)
        return 0;
    return line->Length + (Index + 1 < LineTextCount() ? 1 : 0);
}

void TRichEdit::AddLine(const AnsiString& Text)
{
    // Only the length is worked out here: the text is made Unicode once it
    // goes to the view, and a line dropped before that never is.
    const size_t length = Utf16Length(Text);
    if (static_cast<size_t>(TextLength()) + length + 1 > static_cast<size_t>(FMaxLength))
        throw Exception("RichEdit line insertion error");
    FTextLength += static_cast<int>(length) + (FLines.empty() ? 0 : 1);
    FLines.push_back({Text, static_cast<int>(length), FSelColor, FSelBold});
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

int TRichEdit::LineCount()
{
    SyncNow();
    return View()->Rows();
}

int TRichEdit::FirstVisibleLine()
{
    SyncNow();
    return View()->FirstVisibleRow();
}

void TRichEdit::LineScroll(int Lines)
{
    SyncNow();
    View()->ScrollRows(Lines);
    View()->Present();
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
    return -View()->RowHeight();
}

// Schedules the view update for when a frame has passed since the last one:
// at once (the next turn of the event loop, after the handler that changed
// the log has finished and its lines are out) or later in the frame. The
// clock is read once per update, not once per change.
void TRichEdit::Changed()
{
    FPending = true;
    if (FTimer->isActive())
        return;
    const qint64 since = FSinceSync.elapsed();
    FTimer->start(static_cast<int>(std::max<qint64>(ViewUpdateMs - since, 0)));
}

bool TRichEdit::ViewPending() const
{
    return FPending || View()->Presenting();
}

void TRichEdit::SyncNow()
{
    if (FPending)
        SyncView();
}

void TRichEdit::UpdateView()
{
    SyncNow();
    View()->PresentNow();
}

void TRichEdit::SyncView()
{
    FTimer->stop();
    FPending = false;
    FSinceSync.start();
    if (FRebuild) {
        View()->Clear(); // everything is drawn anew
        FViewFirst = FViewEnd = FFirst;
        FRebuild = false;
    }
    DropViewFront();
    AppendToView();
    View()->SetSelection(FSelStart, FSelLength);
    if (FScrollToBottom) {
        FScrollToBottom = false;
        int visible = std::abs(ClientHeight() / FontHeight());
        View()->ScrollRows(View()->Rows() - View()->FirstVisibleRow() - visible);
    }
    View()->Present();
}

// Removes from the view the lines no longer held.
void TRichEdit::DropViewFront()
{
    std::int64_t gone = std::min(FFirst, FViewEnd) - FViewFirst;
    View()->DropFront(static_cast<int>(std::max<std::int64_t>(gone, 0)));
    FViewFirst = std::max(FViewFirst, FFirst);
    FViewEnd = std::max(FViewEnd, FViewFirst);
}

// Hands the view the held lines it lacks.
void TRichEdit::AppendToView()
{
    std::int64_t end = FFirst + LineTextCount();
    for (std::int64_t n = FViewEnd; n < end; ++n) {
        const Line& line = FLines[static_cast<size_t>(n - FFirst)];
        View()->Append({viewText(ToQString(line.Text)), toQColor(line.Color), line.Bold});
    }
    FViewEnd = std::max(FViewEnd, end);
}
