// The read-only rich-text log: a list of lines, each with its own colour and
// weight, a selection, and line-wise scrolling. Positions and lengths count
// characters (UTF-16 units); a line end counts as one character.
//
// The lines, their attributes and the selection live in the control itself;
// every call that reads them answers at once from there. Lines are kept as
// the bytes given; only those that reach the view are made Unicode, so a
// line that leaves the log before it is drawn costs no conversion. The view
// (TLogView) is brought up to date at most once per screen frame (16 ms),
// at a turn of the event loop of its own, with only the lines still held, so
// appending is O(1) amortised whatever the view costs to draw. The view
// paints its frames on a thread of its own. Calls that depend on the drawn
// layout (LineCount, FirstVisibleLine, LineScroll) first bring the view's
// lines up to date.
// A selection the user makes in the view is read back into the control.
//
// One line stays one line: a CR or LF inside a line's text is kept in the
// text and drawn as a line break inside that line.
#pragma once

#include "framework/forms.h"

#include <cstdint>
#include <deque>

#include <QElapsedTimer>
#include <QString>

class QTimer;
class TLogView;

class TRichEdit : public TControl {
public:
    TRichEdit(TComponent* Owner, TControl* Parent);

    // Lines (without their line ends).
    int LineTextCount() const;
    AnsiString LineText(int Index) const;
    // Length of a line in characters, its line end included when another
    // line follows.
    int LineLengthWithEnd(int Index) const;
    // Appends a new last line with the current selection attributes. Throws
    // Exception when the text would pass MaxLength characters.
    void AddLine(const AnsiString& Text);
    // Deletes one line; nothing happens for an index out of range.
    void DeleteLine(int Index);
    void Clear();
    int TextLength() const;
    int MaxLength() const { return FMaxLength; }
    void SetMaxLength(int Characters) { FMaxLength = Characters; }

    // The selection. Setting the start collapses the selection there; setting
    // the length extends it from the start. Neither moves the view.
    int SelStart() const { return FSelStart; }
    void SetSelStart(int Position);
    int SelLength() const { return FSelLength; }
    void SetSelLength(int Length);
    // Attributes for the text that the next AddLine writes.
    void SetSelColor(TColor Color) { FSelColor = Color; }
    void SetSelBold(bool Bold) { FSelBold = Bold; }
    TColor SelColor() const { return FSelColor; }
    bool SelBold() const { return FSelBold; }
    // Colour and weight of a written line.
    TColor LineColor(int Index) const;
    bool LineBold(int Index) const;

    // Scrolling by display lines (a long line wraps into several).
    int LineCount();
    int FirstVisibleLine();
    void LineScroll(int Lines);
    // At the next view update, scrolls so that the last line stands at the
    // bottom: the first visible line becomes LineCount() minus the lines the
    // view shows. Requests made before one update count once.
    void ScrollToBottom();
    // Height of the text area in pixels, and the height of one display line
    // as a negative pixel count (the form's convention: -12 for 12 pixels).
    // Their quotient is the number of lines the view shows.
    int ClientHeight() const;
    int FontHeight() const;

    // Brings the view and its picture up to date now. The timer does this on
    // its own; tests and callers that take a picture of the view may call it.
    void UpdateView();
    // True while lines, selection or a scroll wait for the view, or for the
    // view's frame to be drawn.
    bool ViewPending() const;

private:
    struct Line {
        AnsiString Text;
        int Length; // in characters (UTF-16 units), as the view will hold it
        TColor Color;
        bool Bold;
    };

    TLogView* View() const;
    const Line* At(int Index) const;
    void Select(int Start, int Length);
    void Changed();
    void SyncNow();
    void SyncView();
    void DropViewFront();
    void AppendToView();

    std::deque<Line> FLines;
    // Lines are numbered in the order they were added; FLines holds the
    // numbers [FFirst, FFirst + size), the view [FViewFirst, FViewEnd).
    std::int64_t FFirst = 0;
    std::int64_t FViewFirst = 0;
    std::int64_t FViewEnd = 0;
    bool FRebuild = false; // a line other than the first was deleted
    int FTextLength = 0;
    int FSelStart = 0;
    int FSelLength = 0;
    int FMaxLength = 1 << 20;
    TColor FSelColor = clBlack;
    bool FSelBold = false;
    bool FPending = false;
    bool FScrollToBottom = false;
    QElapsedTimer FSinceSync;
    QTimer* FTimer;
};
