#include "framework/log_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

// Space between the text and the frame, as a plain-text editor leaves it.
constexpr int Margin = 4;
// The width given to a row that was measured already: wide enough for any.
constexpr qreal Unwrapped = 1e6;

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

QTextOption WrapOption()
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return option;
}

} // namespace

TLogView::TLogView(QWidget* Parent) : QAbstractScrollArea(Parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    FBoldFont = font();
    FBoldFont.setBold(true);
    FRowPitch = MeasurePitch();
    UpdateScrollRange();
}

TLogView::~TLogView() = default;

const QFont& TLogView::FontOf(const Held& Line) const
{
    return Line.Content.Bold ? FBoldFont : font();
}

qreal TLogView::WrapWidth() const
{
    return std::max(1, viewport()->width() - 2 * Margin);
}

// The height of a laid-out line of the font, its leading included; rows are
// this far apart, as in a text editor, even where it is not whole pixels.
qreal TLogView::MeasurePitch() const
{
    QTextLayout layout(QStringLiteral("X"), font());
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLeadingIncluded(true);
    layout.endLayout();
    return std::max<qreal>(1, line.height());
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
    return verticalScrollBar()->value();
}

void TLogView::ScrollRows(int Count)
{
    verticalScrollBar()->setValue(verticalScrollBar()->value() + Count);
}

void TLogView::Append(Line NewLine)
{
    std::int64_t start = FLines.empty() ? FCharBase : CharEnd() + 1;
    FLines.push_back({std::move(NewLine), start, FRowEnd, {}, 1, {}});
    Measure(FLines.back());
    FRowEnd += FLines.back().RowCount;
    UpdateScrollRange();
    viewport()->update();
}

void TLogView::DropFront(int Count)
{
    if (Count <= 0)
        return;
    if (static_cast<size_t>(Count) >= FLines.size())
        return Clear();
    int top = FirstVisibleRow();
    std::int64_t rowsBefore = FRowBase;
    FLines.erase(FLines.begin(), FLines.begin() + Count);
    FCharBase = FLines.front().Start;
    FRowBase = FLines.front().FirstRow;
    FAnchor = std::max(FAnchor, FCharBase);
    FPosition = std::max(FPosition, FCharBase);
    UpdateScrollRange();
    // The rows left keep their place on screen unless they scrolled off.
    verticalScrollBar()->setValue(top - static_cast<int>(FRowBase - rowsBefore));
    viewport()->update();
}

void TLogView::Clear()
{
    FCharBase = FLines.empty() ? FCharBase : CharEnd() + 1;
    FRowBase = FRowEnd;
    FAnchor = FPosition = FCharBase;
    FLines.clear();
    UpdateScrollRange();
    viewport()->update();
}

std::int64_t TLogView::CharEnd() const
{
    if (FLines.empty())
        return FCharBase;
    return FLines.back().Start + FLines.back().Content.Text.size();
}

// Works out the rows of a line: from the cached widths where every character
// can be measured alone, otherwise by laying it out.
void TLogView::Measure(Held& Line)
{
    Line.Pieces.clear();
    Line.RowLengths.clear();
    if (MeasureByWidths(Line)) {
        Line.RowCount = static_cast<int>(Line.RowLengths.size());
        return;
    }
    Line.RowCount = std::max(1, PiecesOf(Line).front().Layout->lineCount());
}

float TLogView::Advance(bool Bold, QChar Character)
{
    std::vector<float>& cache = FAdvances[Bold ? 1 : 0];
    if (cache.empty())
        cache.assign(0x10000, -1.0f);
    float& advance = cache[Character.unicode()];
    if (advance < 0)
        advance = static_cast<float>(QFontMetricsF(Bold ? FBoldFont : font()).horizontalAdvance(Character));
    return advance;
}

// Greedy wrapping as the text layout does it: a row breaks at the last
// break opportunity (Unicode line breaking) before the character that would
// pass the width, or at that character when the row has none; spaces at the
// end of a row hang past the edge; a line separator ends its row. Returns
// false, with nothing decided, for a line holding a character that must be
// shaped with its neighbours.
bool TLogView::MeasureByWidths(Held& Line)
{
    const QString& text = Line.Content.Text;
    const qreal width = WrapWidth();
    qreal total = 0;
    bool separators = false;
    for (QChar c : text) {
        if (c == QChar::LineSeparator) {
            separators = true;
            continue;
        }
        if (!MeasuredAlone(c))
            return false;
        total += Advance(Line.Content.Bold, c);
    }
    if (!separators && total <= width) {
        Line.RowLengths.push_back(static_cast<int>(text.size()));
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
            Line.RowLengths.push_back(static_cast<int>(i + 1 - rowStart));
            rowStart = i + 1;
            lastBreak = -1;
            rowWidth = 0;
            continue;
        }
        qreal advance = Advance(Line.Content.Bold, c);
        if (!c.isSpace() && rowWidth + advance > width && i > rowStart) {
            qsizetype cut = lastBreak > rowStart ? lastBreak : i;
            Line.RowLengths.push_back(static_cast<int>(cut - rowStart));
            rowStart = cut;
            lastBreak = -1;
            rowWidth = 0;
            for (qsizetype k = cut; k < i; ++k)
                rowWidth += Advance(Line.Content.Bold, text[k]);
        }
        rowWidth += advance;
    }
    Line.RowLengths.push_back(static_cast<int>(text.size() - rowStart));
    return true;
}

// The line's pieces, made when first needed: one layout for each measured
// row, shaped on its own, or the whole line wrapped at the width by Qt when
// it could not be measured.
const std::vector<TLogView::Piece>& TLogView::PiecesOf(const Held& Line) const
{
    if (!Line.Pieces.empty())
        return Line.Pieces;
    if (Line.RowLengths.empty()) {
        Line.Pieces.push_back({Layout(Line.Content.Text, FontOf(Line), WrapWidth()), 0, 0});
        return Line.Pieces;
    }
    int start = 0;
    for (size_t row = 0; row < Line.RowLengths.size(); ++row) {
        QString text = Line.Content.Text.mid(start, Line.RowLengths[row]);
        if (text.endsWith(QChar::LineSeparator))
            text.chop(1);
        Line.Pieces.push_back({Layout(text, FontOf(Line), Unwrapped), static_cast<int>(row), start});
        start += Line.RowLengths[row];
    }
    return Line.Pieces;
}

// Text laid out in rows of the given width, one pitch apart.
std::unique_ptr<QTextLayout> TLogView::Layout(const QString& Text, const QFont& Font, qreal Width) const
{
    auto layout = std::make_unique<QTextLayout>(Text, Font);
    layout->setTextOption(WrapOption());
    layout->setCacheEnabled(true);
    layout->beginLayout();
    for (int row = 0;; ++row) {
        QTextLine line = layout->createLine();
        if (!line.isValid())
            break;
        line.setLeadingIncluded(true);
        line.setLineWidth(Width);
        line.setPosition(QPointF(0, row * FRowPitch));
    }
    layout->endLayout();
    return layout;
}

// The width or the font changed: every line is measured again. A view
// scrolled to its last row stays there.
void TLogView::Remeasure()
{
    bool atBottom = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    FBoldFont = font();
    FBoldFont.setBold(true);
    FRowPitch = MeasurePitch();
    for (auto& cache : FAdvances)
        cache.clear();
    FRowEnd = FRowBase;
    for (Held& line : FLines) {
        line.FirstRow = FRowEnd;
        Measure(line);
        FRowEnd += line.RowCount;
    }
    UpdateScrollRange();
    if (atBottom)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
}

void TLogView::UpdateScrollRange()
{
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, std::max(0, Rows() - VisibleRows()));
    bar->setPageStep(VisibleRows());
    bar->setSingleStep(1);
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

void TLogView::paintEvent(QPaintEvent*)
{
    QElapsedTimer clock;
    clock.start();
    QPainter painter(viewport());
    const std::int64_t first = FirstVisibleRow();
    const std::int64_t end = std::min<std::int64_t>(Rows(), first + VisibleRows() + 2);
    const std::int64_t selStart = std::min(FAnchor, FPosition);
    const std::int64_t selEnd = std::max(FAnchor, FPosition);
    QTextCharFormat selected;
    selected.setBackground(palette().brush(QPalette::Highlight));
    selected.setForeground(palette().brush(QPalette::HighlightedText));
    for (size_t i = FLines.empty() || first >= end ? FLines.size() : LineOfRow(first); i < FLines.size(); ++i) {
        const Held& line = FLines[i];
        if (line.FirstRow - FRowBase >= end)
            break;
        painter.setPen(line.Content.Color);
        for (const Piece& piece : PiecesOf(line)) {
            QList<QTextLayout::FormatRange> selections;
            std::int64_t pieceStart = line.Start + piece.Char;
            std::int64_t from = std::max(selStart, pieceStart);
            std::int64_t to = std::min<std::int64_t>(selEnd, pieceStart + piece.Layout->text().size());
            if (from < to)
                selections.append({static_cast<int>(from - pieceStart), static_cast<int>(to - from), selected});
            piece.Layout->draw(&painter, QPointF(Margin, RowTop(line.FirstRow - FRowBase + piece.Row)), selections);
        }
    }
    DropUnseenLayouts(first, end);
    FLastPaintUs = static_cast<double>(clock.nsecsElapsed()) / 1000.0;
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
    if (Event->type() == QEvent::FontChange)
        Remeasure();
}

void TLogView::scrollContentsBy(int, int)
{
    viewport()->update();
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
                                            [](int row, const Piece& p) { return row < p.Row; }));
    QTextLine textLine = piece->Layout->lineAt(rowInLine - piece->Row);
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
    viewport()->update();
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
    viewport()->update();
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
    FDragging = true;
    if (Event->modifiers() & Qt::ShiftModifier)
        SelectByUser(FAnchor, position);
    else
        SelectByUser(position, position);
}

void TLogView::mouseMoveEvent(QMouseEvent* Event)
{
    if (!FDragging || !(Event->buttons() & Qt::LeftButton))
        return QAbstractScrollArea::mouseMoveEvent(Event);
    if (BeforeInput)
        BeforeInput();
    QPoint at = Event->position().toPoint();
    if (at.y() < 0)
        ScrollRows(-1);
    else if (at.y() >= viewport()->height())
        ScrollRows(1);
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
    if (Event->matches(QKeySequence::MoveToStartOfDocument))
        return verticalScrollBar()->setValue(0);
    if (Event->matches(QKeySequence::MoveToEndOfDocument))
        return verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    switch (Event->key()) {
    case Qt::Key_Up:
        return ScrollRows(-1);
    case Qt::Key_Down:
        return ScrollRows(1);
    case Qt::Key_PageUp:
        return ScrollRows(-VisibleRows());
    case Qt::Key_PageDown:
        return ScrollRows(VisibleRows());
    default:
        return QAbstractScrollArea::keyPressEvent(Event);
    }
}

void TLogView::wheelEvent(QWheelEvent* Event)
{
    if (BeforeInput)
        BeforeInput();
    QAbstractScrollArea::wheelEvent(Event);
}

void TLogView::contextMenuEvent(QContextMenuEvent* Event)
{
    if (BeforeInput)
        BeforeInput();
    QMenu menu(this);
    QAction* copy = menu.addAction(QString::fromUtf8("コピー(&C)"), [this] { CopySelection(); });
    copy->setEnabled(FAnchor != FPosition);
    menu.addAction(QString::fromUtf8("すべて選択(&A)"), [this] { SelectByUser(FCharBase, CharEnd()); });
    menu.exec(Event->globalPos());
}
