// The modal file-open dialog.
//
// The dialog itself is run by a replaceable runner: the program uses a Qt
// file dialog; tests install a runner that answers at once, so nothing ever
// blocks on a modal window.
#pragma once

#include "framework/classes.h"

#include <QStringList>
#include <functional>
#include <optional>

class TOpenDialog : public TComponent {
public:
    explicit TOpenDialog(TComponent* Owner);

    // Pairs of "description|pattern", themselves separated by '|'; a pattern
    // may list several masks separated by ';' ("*.exe;*.com"). The first
    // pair is the one shown when the dialog opens.
    AnsiString Filter;
    // The extension, without its dot, that a chosen name gets when it has
    // none and no file by that name exists: with "exe", a new name "irc"
    // becomes "irc.exe". An existing file is taken as it is, so programs
    // without an extension can be chosen.
    AnsiString DefaultExt;
    // The file the dialog proposes when it opens, and the file chosen, in
    // the file name form of framework/ansi_string.h (any name survives).
    AnsiString FileName;

    // Runs the dialog modally. True when the user chose a file: FileName
    // then holds it (with DefaultExt applied). False when the user
    // cancelled: FileName stays as it was.
    bool Execute();
};

// Runs one open dialog and returns the chosen path, or nothing when the user
// cancelled. It sees the dialog's Filter, DefaultExt and FileName.
using TOpenDialogRunner = std::function<std::optional<AnsiString>(const TOpenDialog& Dialog)>;

// Replaces the runner of every open dialog and returns the one replaced. An
// empty runner brings back the Qt file dialog.
TOpenDialogRunner SetOpenDialogRunner(TOpenDialogRunner Runner);

// The Qt name filters of a Filter text: "description (masks)" per pair, the
// masks separated by blanks. The Qt dialog hides the appended "(masks)", so
// it shows each description as written. A last description without a
// pattern is dropped.
QStringList QtNameFilters(const AnsiString& Filter);
