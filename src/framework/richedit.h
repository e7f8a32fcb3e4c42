// The read-only rich-text log view: a list of lines, each with its own colour
// and weight, a user selection, and line-wise scrolling. Positions and
// lengths count characters of the view; a line end counts as one character.
#pragma once

#include "framework/forms.h"

class QPlainTextEdit;
class QTextCharFormat;

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
    int SelStart() const;
    void SetSelStart(int Position);
    int SelLength() const;
    void SetSelLength(int Length);
    // Attributes for the text that the next AddLine writes.
    void SetSelColor(TColor Color);
    void SetSelBold(bool Bold);
    TColor SelColor() const { return FSelColor; }
    bool SelBold() const { return FSelBold; }
    // Colour and weight of a written line.
    TColor LineColor(int Index) const;
    bool LineBold(int Index) const;

    // Scrolling by display lines (a long line wraps into several).
    int LineCount() const;
    int FirstVisibleLine() const;
    void LineScroll(int Lines);
    // Height of the text area in pixels, and the height of one display line
    // as a negative pixel count (the form's convention: -12 for 12 pixels).
    // Their quotient is the number of lines the view shows.
    int ClientHeight() const;
    int FontHeight() const;

private:
    QPlainTextEdit* View() const;
    QTextCharFormat LineFormat(int Index) const;
    void Select(int Start, int Length);

    int FMaxLength = 1 << 20;
    TColor FSelColor = clBlack;
    bool FSelBold = false;
    bool FEmpty = true; // no line written yet: the document's one block is a placeholder
};
