// The stay session's file: what a stay session must not lose across a
// restart of NimboChat (TStayState), with the server it belongs to.
//
// The file is binary: a magic line, a version, the body (little-endian
// counts and lengths, byte strings as they are) and a SHA-256 over all that
// precedes it, so that a cut-off file or any changed byte is found. It is
// readable by the user alone (0600, in a folder made 0700).
#pragma once

#include "framework/ansi_string.h"
#include "relay/stay_session.h"

#include <QString>

struct TStayFile {
    AnsiString Host; // the server the state belongs to
    int Port = 0;
    TStayState State;
    bool operator==(const TStayFile&) const = default;
};

// $XDG_DATA_HOME/NimboChat/stay-session (~/.local/share when it is unset).
QString StayFilePath();

// Writes the file whole: to a temporary file in its folder, then renamed
// over the old one, so a crash or a failed write leaves the old file or the
// new one, never part of one. Creates the folder (0700) when it is missing;
// the file is 0600. False, with the path and the reason in Error, when it
// cannot be written; the old file then stays as it was.
bool SaveStayFile(const QString& Path, const TStayFile& File, QString& Error);

enum class TStayLoad {
    Missing, // no file at Path
    Loaded,  // File holds what was saved
    Damaged, // cut off, changed, not a stay file, of another version, too large or unreadable
};

// Reads a file SaveStayFile wrote. File is set only when Loaded; Error is
// set only when Damaged, to the path and the reason. Any bytes are safe: sizes and counts
// are checked against the bytes there before anything is allocated, and
// files over MaxStayFileBytes are not read.
TStayLoad LoadStayFile(const QString& Path, TStayFile& File, QString& Error);
constexpr qint64 MaxStayFileBytes = 64 << 20;

// Moves a damaged file aside, never deleting it: to
// Path.damaged-YYYYMMDD-HHMMSS (local time), with "-2", "-3", ... added when
// that name is taken. The new path; empty when it could not be moved.
QString SetStayFileAside(const QString& Path);

// Removes the file; true when it is gone (also when there was none).
bool RemoveStayFile(const QString& Path);
