// The drawn side of the rich-text log: a read-only widget that paints a list
// of lines, each in its own colour and weight, wrapped at the widget's width
// like a plain-text editor wraps them, with a selection the user can make
// with mouse and keyboard and copy.
//
// It keeps no text document. Each line keeps its text (shared with the
// caller's copy, not duplicated) and where it wraps. Where a line wraps is
// worked out from cached character widths for the common scripts (Latin,
// Greek, Cyrillic, kana, kanji and the symbols of JIS), and by Qt's text
// layout for anything else. Only the rows on screen are shaped and drawn,
// on the view's painter thread, so the cost of a frame is the rows shown,
// not the lines held.
//
// What stays on the thread that owns the widget: measuring each line as it
// is appended (the cached widths, or Qt's layout for a line that must be
// shaped), measuring every line again when the width or the font changes,
// gathering each frame (the rows shown, and a walk over every line held to
// let go of the layouts of lines off screen), laying out the line under the
// mouse, and painting a frame here when the view has none of its size yet
// (its first paint after a resize) or PresentNow asks. All the calls below
// belong to that thread.
//
// The view paints only what can be seen: while it is hidden or its window
// is minimised no frame is sent or painted, and when it is shown or its
// window restored it paints one frame of what it holds then.
//
// Positions and lengths count characters (UTF-16 units) from the start of the
// first line held; a line end counts as one character. A line's text should
// not hold CR or LF: QChar::LineSeparator breaks a line into display rows.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QImage>
#include <QString>
#include <QThread>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QTextLayout;

class TLogView : public QAbstractScrollArea {
public:
    struct Line {
        QString Text;
        QColor Color;
        bool Bold = false;
    };

    explicit TLogView(QWidget* Parent);
    ~TLogView() override;

    // Called before the user's mouse, keyboard or wheel input is handled, so
    // that the owner can bring the lines up to date first.
    std::function<void()> BeforeInput;
    // Called when the user has changed the selection (start, length).
    std::function<void(int, int)> UserSelected;

    void Append(Line NewLine);
    // Drops the first Count lines (all of them when Count passes the size).
    void DropFront(int Count);
    void Clear();
    int Lines() const { return static_cast<int>(FLines.size()); }
    // The line at Index; Index must be in [0, Lines()).
    const Line& LineAt(int Index) const { return FLines[static_cast<size_t>(Index)].Content; }

    // Sets the selection, clamped to the text held. Never scrolls. A
    // selection that already covers these characters is left as it is.
    void SetSelection(int Start, int Length);
    int SelectionStart() const;
    int SelectionLength() const;
    // The selected text, line ends as LF.
    QString SelectedText() const;

    // Display rows: all of them, the first one shown, and how many fit.
    int Rows() const { return static_cast<int>(FRowEnd - FRowBase); }
    int FirstVisibleRow() const;
    // Rows that fit whole, counting each RowHeight() pixels high.
    int VisibleRows() const;
    // The distance from one row to the next, and that rounded up.
    qreal RowPitch() const { return FRowPitch; }
    int RowHeight() const;
    // Scrolls by Count rows, within the rows there are. The scroll bar
    // follows at the next frame.
    void ScrollRows(int Count);

    // Frames are painted on a thread of the view's own, off screen, and
    // shown when they come back: the event loop never waits for glyphs.
    // Present() sends the lines, selection and scroll position; the owner
    // calls it for its changes, the view for the user's. While a frame is
    // being painted, the next one is sent when it comes back. It does
    // nothing while the view cannot be seen.
    void Present();
    // Paints the current frame here and now, for a picture taken at once,
    // seen or not.
    void PresentNow();
    // True while a frame is being painted, or a change waits for one in a
    // view that can be seen. A view that cannot be seen waits for nothing.
    bool Presenting() const;
    // Frames painted so far, here or on the painter's thread: for tests that
    // check what the view paints.
    int FramesPainted() const { return FFramesPainted; }

protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void wheelEvent(QWheelEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;

private:
    // Rows laid out together: the rows from Row on, Length characters from
    // Char on, counted within their line.
    struct Piece {
        mutable std::unique_ptr<QTextLayout> Layout; // only while it may be drawn
        int Row;
        int Char;
        int Length;
    };
    struct Held {
        Line Content;
        std::int64_t Start;    // first character, counted since the view began
        std::int64_t FirstRow; // first display row, counted likewise
        // Characters of each display row, when the cached widths could
        // measure the line; empty when Qt's layout wraps it.
        std::vector<int> RowLengths;
        int RowCount = 1;
        mutable std::vector<Piece> Pieces; // likewise
    };

    const QFont& FontOf(const Held& Entry) const;
    qreal WrapWidth() const;
    void Measure(Held& Entry);
    bool MeasureByWidths(Held& Entry);
    float Advance(bool Bold, QChar Character);
    const std::vector<Piece>& PiecesOf(const Held& Entry) const;
    QTextLayout& LayoutOf(const Held& Entry, const Piece& Part) const;
    void Remeasure();
    int LastTop() const;
    void ScrollTo(int Top);
    void SyncScrollBar();
    size_t LineOfRow(std::int64_t Row) const;
    size_t LineOfPosition(std::int64_t Position) const;
    std::int64_t CharEnd() const;
    std::int64_t PositionAt(QPoint Point) const;
    qreal RowTop(std::int64_t Row) const;
    void MeasurePitch();
    static QString RowText(const Held& Line, const Piece& Row);
    void DropUnseenLayouts(std::int64_t FirstRow, std::int64_t EndRow);
    struct FrameText;
    struct Frame;
    static void Paint(const Frame& Shown, QImage& Image);
    Frame CurrentFrame();
    void Painted(std::uint64_t Generation, QImage&& Image);
    void Changed();
    bool Stale() const { return FShownGeneration != FGeneration; }
    bool Seen() const;
    void SelectByUser(std::int64_t Anchor, std::int64_t Position);
    void SelectWordAt(std::int64_t Position);
    void CopySelection() const;

    std::deque<Held> FLines;
    std::int64_t FCharBase = 0; // Start of the first line held
    std::int64_t FRowBase = 0;  // FirstRow of the first line held
    std::int64_t FRowEnd = 0;
    std::int64_t FAnchor = 0;   // the selection, as characters counted since the view began
    std::int64_t FPosition = 0;
    int FTop = 0; // the first row shown
    bool FSyncingBar = false;
    QFont FBoldFont;
    qreal FRowPitch = 1;
    qreal FAscent[2] = {}; // of the plain and the bold font
    std::vector<float> FAdvances[2]; // by UTF-16 unit, plain and bold
    // Changes are counted; the frame shown holds those up to FShownGeneration.
    std::uint64_t FGeneration = 1;
    std::uint64_t FShownGeneration = 0;
    QImage FShown;
    QImage FSpare; // the image the next frame is painted into
    bool FPainting = false; // a frame is on the painter's thread
    int FFramesPainted = 0;
    QThread FPainterThread;
    QObject* FPainter; // lives on FPainterThread
};
