#include "framework/log_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QThread>

#include <algorithm>
#include <utility>
#include <cmath>

namespace {

// Space between the text and the frame, as a plain-text editor leaves it.
constexpr int Margin = 4;
// The width given to a row that was measured already: wide enough for any.
constexpr qreal Unwrapped = 1e6;
// Marks in the advance cache: not looked at yet, and to be shaped with its
// neighbours.
constexpr float Unmeasured = -1;
constexpr float NotAlone = -2;

// Characters whose width is their own advance, whatever stands beside them:
// no shaping, no joining, no change of direction.
bool MeasuredAlone(QChar c)
{
    if (c.isSurrogate() || c.isMark())
        return false;
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Paragraph:
        return false;
    default:
        break;
    }
    switch (c.script()) {
    case QChar::Script_Common:
    case QChar::Script_Latin:
    case QChar::Script_Greek:
    case QChar::Script_Cyrillic:
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
        return c.direction() != QChar::DirR && c.direction() != QChar::DirAL;
    default:
        return false;
    }
}

// Text laid out in rows of the given width, Pitch apart.
std::unique_ptr<QTextLayout> MakeLayout(const QString& Text, const QFont& Font, qreal Width, qreal Pitch)
{
    auto layout = std::make_unique<QTextLayout>(Text, Font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->beginLayout();
    for (int row = 0;; ++row) {
        QTextLine line = layout->createLine();
        if (!line.isValid())
            break;
        line.setLeadingIncluded(true);
        line.setLineWidth(Width);
        line.setPosition(QPointF(0, row * Pitch));
    }
    layout->endLayout();
    return layout;
}

} // namespace

// One piece of a frame: a measured row, or a whole line that Qt wraps.
struct TLogView::FrameText {
    QString Text;
    QFont Font;
    QColor Color;
    QPointF TopLeft;
    qreal Ascent;
    qreal WrapWidth; // Unwrapped for a measured row
    int SelectionFrom;
    int SelectionLength;
};

// What one frame shows, copied out of the view, so that it can be painted
// on the painter's thread while the view goes on.
struct TLogView::Frame {
    std::uint64_t Generation;
    QSize Size;
    qreal Ratio;
    qreal Pitch;
    QColor Base;
    QBrush Highlight;
    QBrush HighlightedText;
    std::vector<FrameText> Texts;
};

// Paints a frame into Image, which it sizes first; touches nothing but its
// arguments, so any thread may call it. A measured row without selection is
// drawn as a plain string, which shapes and paints it in one go, as its
// layout would.
void TLogView::Paint(const Frame& Shown, QImage& Image)
{
    if (Image.size() != Shown.Size * Shown.Ratio)
        Image = QImage(Shown.Size * Shown.Ratio, QImage::Format_RGB32);
    Image.setDevicePixelRatio(Shown.Ratio);
    Image.fill(Shown.Base);
    QPainter painter(&Image);
    QTextCharFormat selected;
    selected.setBackground(Shown.Highlight);
    selected.setForeground(Shown.HighlightedText);
    for (const FrameText& text : Shown.Texts) {
        painter.setPen(text.Color);
        if (text.SelectionLength == 0 && text.WrapWidth == Unwrapped) {
            painter.setFont(text.Font);
            painter.drawText(text.TopLeft + QPointF(0, text.Ascent), text.Text);
            continue;
        }
        QList<QTextLayout::FormatRange> selections;
        if (text.SelectionLength > 0)
            selections.append({text.SelectionFrom, text.SelectionLength, selected});
        MakeLayout(text.Text, text.Font, text.WrapWidth, Shown.Pitch)->draw(&painter, text.TopLeft, selections);
    }
}

TLogView::TLogView(QWidget* Parent) : QAbstractScrollArea(Parent), FPainter(new QObject)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    FPainter->moveToThread(&FPainterThread);
    FPainterThread.start();
    FBoldFont = font();
    FBoldFont.setBold(true);
    MeasurePitch();
    SyncScrollBar();
}

TLogView::~TLogView()
{
    FPainterThread.quit();
    FPainterThread.wait();
    delete FPainter;
}

const QFont& TLogView::FontOf(const Held& Entry) const
{
    return Entry.Content.Bold ? FBoldFont : font();
}

qreal TLogView::WrapWidth() const
{
    return std::max(1, viewport()->width() - 2 * Margin);
}

// The height of a laid-out line of the fonts, its leading included, and
// their ascents. Rows are this far apart, as in a text editor, even where it
// is not whole pixels.
void TLogView::MeasurePitch()
{
    FRowPitch = 1;
    for (bool bold : {false, true}) {
        QTextLayout layout(QStringLiteral("X"), bold ? FBoldFont : font());
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLeadingIncluded(true);
        layout.endLayout();
        FAscent[bold] = line.ascent();
        if (!bold)
            FRowPitch = std::max<qreal>(1, line.height());
    }
}

int TLogView::RowHeight() const
{
    return static_cast<int>(std::ceil(FRowPitch));
}

int TLogView::VisibleRows() const
{
    return std::max(1, viewport()->height() / RowHeight());
}

int TLogView::FirstVisibleRow() const
{
    return FTop;
}

int TLogView::LastTop() const
{
    return std::max(0, Rows() - VisibleRows());
}

void TLogView::ScrollRows(int Count)
{
    ScrollTo(FTop + Count);
}

void TLogView::ScrollTo(int Top)
{
    Top = std::clamp(Top, 0, LastTop());
    if (Top != FTop) {
        FTop = Top;
        Changed();
    }
}

// The scroll bar shows the rows and the scroll position at each frame, not
// at each change: a log that stays full and scrolled to its end keeps the
// bar as it is, and the bar is not drawn again.
void TLogView::SyncScrollBar()
{
    QScrollBar* bar = verticalScrollBar();
    FSyncingBar = true;
    bar->setRange(0, LastTop());
    bar->setPageStep(VisibleRows());
    bar->setValue(FTop);
    FSyncingBar = false;
}

void TLogView::Append(Line NewLine)
{
    std::int64_t start = FLines.empty() ? FCharBase : CharEnd() + 1;
    FLines.push_back({std::move(NewLine), start, FRowEnd, {}, 1, {}});
    Measure(FLines.back());
    FRowEnd += FLines.back().RowCount;
    Changed();
}

void TLogView::DropFront(int Count)
{
    if (Count <= 0)
        return;
    if (static_cast<size_t>(Count) >= FLines.size())
        return Clear();
    std::int64_t rowsBefore = FRowBase;
    FLines.erase(FLines.begin(), FLines.begin() + Count);
    FCharBase = FLines.front().Start;
    FRowBase = FLines.front().FirstRow;
    FAnchor = std::max(FAnchor, FCharBase);
    FPosition = std::max(FPosition, FCharBase);
    // The rows left keep their place on screen unless they scrolled off.
    ScrollTo(FTop - static_cast<int>(FRowBase - rowsBefore));
    Changed();
}

void TLogView::Clear()
{
    FCharBase = FLines.empty() ? FCharBase : CharEnd() + 1;
    FRowBase = FRowEnd;
    FAnchor = FPosition = FCharBase;
    FLines.clear();
    FTop = 0;
    Changed();
}

std::int64_t TLogView::CharEnd() const
{
    if (FLines.empty())
        return FCharBase;
    return FLines.back().Start + FLines.back().Content.Text.size();
}

// Works out the rows of a line: from the cached widths where every character
// can be measured alone, otherwise by laying it out.
void TLogView::Measure(Held& Entry)
{
    Entry.Pieces.clear();
    Entry.RowLengths.clear();
    if (MeasureByWidths(Entry)) {
        Entry.RowCount = static_cast<int>(Entry.RowLengths.size());
        return;
    }
    Entry.RowCount = std::max(1, LayoutOf(Entry, PiecesOf(Entry).front()).lineCount());
}

// The advance of a character that can be measured alone, or NotAlone. The
// answer is kept for every UTF-16 unit, so a line costs one look-up a
// character.
float TLogView::Advance(bool Bold, QChar Character)
{
    std::vector<float>& cache = FAdvances[Bold ? 1 : 0];
    if (cache.empty())
        cache.assign(0x10000, Unmeasured);
    float& advance = cache[Character.unicode()];
    if (advance == Unmeasured)
        advance = MeasuredAlone(Character)
                      ? static_cast<float>(QFontMetricsF(Bold ? FBoldFont : font()).horizontalAdvance(Character))
                      : NotAlone;
    return advance;
}

// Greedy wrapping as the text layout does it: a row breaks at the last
// break opportunity (Unicode line breaking) before the character that would
// pass the width, or at that character when the row has none; spaces at the
// end of a row hang past the edge; a line separator ends its row. Returns
// false, with nothing decided, for a line holding a character that must be
// shaped with its neighbours.
bool TLogView::MeasureByWidths(Held& Entry)
{
    const QString& text = Entry.Content.Text;
    const qreal width = WrapWidth();
    qreal total = 0;
    bool separators = false;
    for (QChar c : text) {
        if (c == QChar::LineSeparator) {
            separators = true;
            continue;
        }
        float advance = Advance(Entry.Content.Bold, c);
        if (advance == NotAlone)
            return false;
        total += advance;
    }
    if (!separators && total <= width) {
        Entry.RowLengths.push_back(static_cast<int>(text.size()));
        return true;
    }
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, text);
    qsizetype rowStart = 0;
    qsizetype lastBreak = -1;
    qreal rowWidth = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        QChar c = text[i];
        if (i > rowStart) {
            breaks.setPosition(i);
            if (breaks.isAtBoundary())
                lastBreak = i;
        }
        if (c == QChar::LineSeparator) {
            Entry.RowLengths.push_back(static_cast<int>(i + 1 - rowStart));
            rowStart = i + 1;
            lastBreak = -1;
            rowWidth = 0;
            continue;
        }
        qreal advance = Advance(Entry.Content.Bold, c);
        if (!c.isSpace() && rowWidth + advance > width && i > rowStart) {
            qsizetype cut = lastBreak > rowStart ? lastBreak : i;
            Entry.RowLengths.push_back(static_cast<int>(cut - rowStart));
            rowStart = cut;
            lastBreak = -1;
            rowWidth = 0;
            for (qsizetype k = cut; k < i; ++k)
                rowWidth += Advance(Entry.Content.Bold, text[k]);
        }
        rowWidth += advance;
    }
    Entry.RowLengths.push_back(static_cast<int>(text.size() - rowStart));
    return true;
}

// The line's pieces, made when first needed: one for each measured row, or
// the whole line when it could not be measured.
const std::vector<TLogView::Piece>& TLogView::PiecesOf(const Held& Entry) const
{
    if (!Entry.Pieces.empty())
        return Entry.Pieces;
    if (Entry.RowLengths.empty()) {
        Entry.Pieces.push_back({nullptr, 0, 0, static_cast<int>(Entry.Content.Text.size())});
        return Entry.Pieces;
    }
    int start = 0;
    for (size_t row = 0; row < Entry.RowLengths.size(); ++row) {
        Entry.Pieces.push_back({nullptr, static_cast<int>(row), start, Entry.RowLengths[row]});
        start += Entry.RowLengths[row];
    }
    return Entry.Pieces;
}

// A piece's layout, made when first needed: a measured row is shaped on its
// own, a line that could not be measured is wrapped at the width by Qt.
QTextLayout& TLogView::LayoutOf(const Held& Entry, const Piece& Part) const
{
    if (Part.Layout)
        return *Part.Layout;
    if (Entry.RowLengths.empty()) {
        Part.Layout = MakeLayout(Entry.Content.Text, FontOf(Entry), WrapWidth(), FRowPitch);
    } else {
        Part.Layout = MakeLayout(RowText(Entry, Part), FontOf(Entry), Unwrapped, FRowPitch);
    }
    return *Part.Layout;
}

// A measured row's characters, without the line separator that ends it.
QString TLogView::RowText(const Held& Line, const Piece& Row)
{
    QString text = Line.Content.Text.mid(Row.Char, Row.Length);
    if (text.endsWith(QChar::LineSeparator))
        text.chop(1);
    return text;
}

// The width or the font changed: every line is measured again. A view
// scrolled to its last row stays there.
void TLogView::Remeasure()
{
    bool atBottom = FTop == LastTop();
    FBoldFont = font();
    FBoldFont.setBold(true);
    MeasurePitch();
    for (auto& cache : FAdvances)
        cache.clear();
    FRowEnd = FRowBase;
    for (Held& line : FLines) {
        line.FirstRow = FRowEnd;
        Measure(line);
        FRowEnd += line.RowCount;
    }
    ScrollTo(atBottom ? LastTop() : FTop);
    Changed();
    Present();
}

// The top of a display row in the viewport. The first row stands below the
// margin; once scrolled, the first row shown starts at the top edge.
qreal TLogView::RowTop(std::int64_t Row) const
{
    int first = FirstVisibleRow();
    return static_cast<qreal>(Row - first) * FRowPitch + (first == 0 ? Margin : 0);
}

size_t TLogView::LineOfRow(std::int64_t Row) const
{
    auto after = std::upper_bound(FLines.begin(), FLines.end(), Row + FRowBase,
                                  [](std::int64_t row, const Held& line) { return row < line.FirstRow; });
    return static_cast<size_t>(std::max<std::ptrdiff_t>(0, after - FLines.begin() - 1));
}

size_t TLogView::LineOfPosition(std::int64_t Position) const
{
    auto after = std::upper_bound(FLines.begin(), FLines.end(), Position,
                                  [](std::int64_t position, const Held& line) { return position < line.Start; });
    return static_cast<size_t>(std::max<std::ptrdiff_t>(0, after - FLines.begin() - 1));
}

void TLogView::Changed()
{
    ++FGeneration;
}

bool TLogView::Presenting() const
{
    return FPainting || (Stale() && Seen());
}

// Whether anyone can see the view: it is shown and its window is not
// minimised. Running in the tray, nobody can.
bool TLogView::Seen() const
{
    return isVisible() && !window()->isMinimized();
}

// Hands the painter's thread the current frame, unless it is painting one
// (then the frame is sent when that one comes back) or nobody can see it.
void TLogView::Present()
{
    SyncScrollBar();
    if (!Stale() || FPainting || !Seen())
        return;
    FPainting = true;
    // The image goes to the thread and comes back, each side holding it alone.
    QMetaObject::invokeMethod(FPainter, [this, shown = CurrentFrame(), image = std::exchange(FSpare, {})]() mutable {
        Paint(shown, image);
        QMetaObject::invokeMethod(
            this, [this, generation = shown.Generation, image = std::move(image)]() mutable {
                Painted(generation, std::move(image));
            },
            Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

// A frame came back from the painter's thread; it replaces the one shown,
// which is painted over next time.
void TLogView::Painted(std::uint64_t Generation, QImage&& Image)
{
    FPainting = false;
    ++FFramesPainted;
    if (Generation > FShownGeneration) {
        std::swap(FShown, Image);
        FShownGeneration = Generation;
        viewport()->update();
    }
    FSpare = std::move(Image);
    // Changes made while this frame was painted go in the next, sent at a
    // turn of its own, so that no turn does more than one step of the view.
    if (Presenting())
        QMetaObject::invokeMethod(this, [this] { Present(); }, Qt::QueuedConnection);
}

void TLogView::PresentNow()
{
    SyncScrollBar();
    if (!Stale())
        return;
    Paint(CurrentFrame(), FShown);
    ++FFramesPainted;
    FShownGeneration = FGeneration;
    viewport()->update();
}

// The pieces on screen, each with its place and its part of the selection.
TLogView::Frame TLogView::CurrentFrame()
{
    Frame shown{FGeneration, viewport()->size(), viewport()->devicePixelRatioF(), FRowPitch,
                palette().color(QPalette::Base), palette().brush(QPalette::Highlight),
                palette().brush(QPalette::HighlightedText), {}};
    const std::int64_t first = FirstVisibleRow();
    const std::int64_t end = std::min<std::int64_t>(Rows(), first + VisibleRows() + 2);
    if (first >= end)
        return shown;
    const std::int64_t selStart = std::min(FAnchor, FPosition);
    const std::int64_t selEnd = std::max(FAnchor, FPosition);
    for (size_t i = LineOfRow(first); i < FLines.size() && FLines[i].FirstRow - FRowBase < end; ++i) {
        const Held& line = FLines[i];
        const bool measured = !line.RowLengths.empty();
        for (const Piece& piece : PiecesOf(line)) {
            std::int64_t top = line.FirstRow - FRowBase + piece.Row;
            if (top + (measured ? 1 : line.RowCount) <= first || top >= end)
                continue;
            std::int64_t pieceStart = line.Start + piece.Char;
            std::int64_t from = std::max(selStart, pieceStart);
            std::int64_t to = std::max(from, std::min<std::int64_t>(selEnd, pieceStart + piece.Length));
            shown.Texts.push_back({measured ? RowText(line, piece) : line.Content.Text, FontOf(line),
                                   line.Content.Color, QPointF(Margin, RowTop(top)), FAscent[line.Content.Bold],
                                   measured ? Unwrapped : WrapWidth(), static_cast<int>(from - pieceStart),
                                   static_cast<int>(to - from)});
        }
    }
    DropUnseenLayouts(first, end);
    return shown;
}

// Shows the last frame painted; the current one is on its way. Only a view
// that has none of its size yet paints the current frame here and now.
void TLogView::paintEvent(QPaintEvent*)
{
    if (FShown.isNull() || FShown.size() != viewport()->size() * viewport()->devicePixelRatioF())
        PresentNow();
    else
        Present();
    QPainter(viewport()).drawImage(0, 0, FShown);
}

// Lines off screen give up their layouts; the ones shown keep them for the
// next frame.
void TLogView::DropUnseenLayouts(std::int64_t FirstRow, std::int64_t EndRow)
{
    for (Held& line : FLines) {
        std::int64_t top = line.FirstRow - FRowBase;
        if (top + line.RowCount <= FirstRow || top >= EndRow)
            line.Pieces.clear();
    }
}

void TLogView::resizeEvent(QResizeEvent* Event)
{
    QAbstractScrollArea::resizeEvent(Event);
    Remeasure();
}

void TLogView::changeEvent(QEvent* Event)
{
    QAbstractScrollArea::changeEvent(Event);
    if (Event->type() == QEvent::FontChange) {
        Remeasure();
    } else if (Event->type() == QEvent::PaletteChange || Event->type() == QEvent::ActivationChange) {
        Changed();
        Present();
    }
}

// Shown again, the view catches up with what came while it was hidden. Its
// window is watched for being minimised and restored, which shows and
// hides no widget.
void TLogView::showEvent(QShowEvent* Event)
{
    QAbstractScrollArea::showEvent(Event);
    window()->installEventFilter(this); // once: installing again replaces it
    Present();
}

bool TLogView::eventFilter(QObject* Watched, QEvent* Event)
{
    if (Watched == window() && Event->type() == QEvent::WindowStateChange)
        Present();
    return QAbstractScrollArea::eventFilter(Watched, Event);
}

// The user moved the scroll bar.
void TLogView::scrollContentsBy(int, int)
{
    if (FSyncingBar)
        return;
    ScrollTo(verticalScrollBar()->value());
    Present();
}

std::int64_t TLogView::PositionAt(QPoint Point) const
{
    if (FLines.empty())
        return FCharBase;
    int first = FirstVisibleRow();
    int top = first == 0 ? Margin : 0;
    std::int64_t row = first + static_cast<std::int64_t>(std::floor((Point.y() - top) / FRowPitch));
    if (row < 0)
        return FCharBase;
    if (row >= Rows())
        return CharEnd();
    const Held& line = FLines[LineOfRow(row)];
    int rowInLine = static_cast<int>(row - (line.FirstRow - FRowBase));
    const std::vector<Piece>& pieces = PiecesOf(line);
    auto piece = std::prev(std::upper_bound(pieces.begin(), pieces.end(), rowInLine,
                                            [](int wanted, const Piece& p) { return wanted < p.Row; }));
    QTextLine textLine = LayoutOf(line, *piece).lineAt(rowInLine - piece->Row);
    if (!textLine.isValid())
        return line.Start + piece->Char;
    return line.Start + piece->Char + textLine.xToCursor(Point.x() - Margin);
}

void TLogView::SetSelection(int Start, int Length)
{
    std::int64_t start = FCharBase + std::clamp<std::int64_t>(Start, 0, CharEnd() - FCharBase);
    std::int64_t end = std::clamp<std::int64_t>(start + std::max(Length, 0), start, CharEnd());
    if (std::min(FAnchor, FPosition) == start && std::max(FAnchor, FPosition) == end)
        return;
    FAnchor = start;
    FPosition = end;
    Changed();
}

int TLogView::SelectionStart() const
{
    return static_cast<int>(std::min(FAnchor, FPosition) - FCharBase);
}

int TLogView::SelectionLength() const
{
    return static_cast<int>(std::abs(FPosition - FAnchor));
}

QString TLogView::SelectedText() const
{
    std::int64_t start = std::min(FAnchor, FPosition);
    std::int64_t end = std::max(FAnchor, FPosition);
    QString text;
    for (size_t i = LineOfPosition(start); i < FLines.size() && FLines[i].Start < end; ++i) {
        const Held& line = FLines[i];
        if (line.Start > start)
            text += u'\n';
        std::int64_t from = std::max(start, line.Start) - line.Start;
        std::int64_t to = std::min<std::int64_t>(end - line.Start, line.Content.Text.size());
        if (from < to)
            text += line.Content.Text.mid(from, to - from);
    }
    text.replace(QChar::LineSeparator, u'\n');
    return text;
}

void TLogView::SelectByUser(std::int64_t Anchor, std::int64_t Position)
{
    if (Anchor == FAnchor && Position == FPosition)
        return;
    FAnchor = Anchor;
    FPosition = Position;
    Changed();
    Present();
    if (UserSelected)
        UserSelected(SelectionStart(), SelectionLength());
}

void TLogView::SelectWordAt(std::int64_t Position)
{
    if (FLines.empty())
        return;
    const Held& line = FLines[LineOfPosition(Position)];
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, line.Content.Text);
    words.setPosition(static_cast<qsizetype>(Position - line.Start));
    qsizetype at = words.position();
    qsizetype from = words.isAtBoundary() && words.boundaryReasons().testFlag(QTextBoundaryFinder::StartOfItem)
                         ? at
                         : std::max<qsizetype>(0, words.toPreviousBoundary());
    words.setPosition(from);
    qsizetype to = words.toNextBoundary();
    if (to < 0)
        to = line.Content.Text.size();
    SelectByUser(line.Start + from, line.Start + to);
}

void TLogView::CopySelection() const
{
    if (FAnchor != FPosition)
        QApplication::clipboard()->setText(SelectedText());
}

void TLogView::mousePressEvent(QMouseEvent* Event)
{
    if (BeforeInput)
        BeforeInput();
    if (Event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(Event);
    std::int64_t position = PositionAt(Event->position().toPoint());
    if (Event->modifiers() & Qt::ShiftModifier)
        SelectByUser(FAnchor, position);
    else
        SelectByUser(position, position);
}

void TLogView::mouseMoveEvent(QMouseEvent* Event)
{
    if (!(Event->buttons() & Qt::LeftButton))
        return QAbstractScrollArea::mouseMoveEvent(Event);
    if (BeforeInput)
        BeforeInput();
    QPoint at = Event->position().toPoint();
    if (at.y() < 0)
        ScrollRows(-1);
    else if (at.y() >= viewport()->height())
        ScrollRows(1);
    Present();
    SelectByUser(FAnchor, PositionAt(at));
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* Event)
{
    if (BeforeInput)
        BeforeInput();
    if (Event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mouseDoubleClickEvent(Event);
    SelectWordAt(PositionAt(Event->position().toPoint()));
}

void TLogView::keyPressEvent(QKeyEvent* Event)
{
    if (BeforeInput)
        BeforeInput();
    if (Event->matches(QKeySequence::Copy))
        return CopySelection();
    if (Event->matches(QKeySequence::SelectAll))
        return SelectByUser(FCharBase, CharEnd());
    int top = FTop;
    if (Event->matches(QKeySequence::MoveToStartOfDocument))
        top = 0;
    else if (Event->matches(QKeySequence::MoveToEndOfDocument))
        top = LastTop();
    else if (Event->key() == Qt::Key_Up)
        top -= 1;
    else if (Event->key() == Qt::Key_Down)
        top += 1;
    else if (Event->key() == Qt::Key_PageUp)
        top -= VisibleRows();
    else if (Event->key() == Qt::Key_PageDown)
        top += VisibleRows();
    else
        return QAbstractScrollArea::keyPressEvent(Event);
    ScrollTo(top);
    Present();
}

void TLogView::wheelEvent(QWheelEvent* Event)
{
    if (BeforeInput)
        BeforeInput();
    SyncScrollBar(); // the wheel turns the bar
    QAbstractScrollArea::wheelEvent(Event);
}

void TLogView::contextMenuEvent(QContextMenuEvent* Event)
{
    if (BeforeInput)
        BeforeInput();
    // Popped up, not run: the handler returns at once, with no event loop of
    // its own, and the menu goes when it closes.
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* copy = menu->addAction(QString::fromUtf8("コピー(&C)"), [this] { CopySelection(); });
    copy->setEnabled(FAnchor != FPosition);
    menu->addAction(QString::fromUtf8("すべて選択(&A)"), [this] { SelectByUser(FCharBase, CharEnd()); });
    menu->popup(Event->globalPos());
}
