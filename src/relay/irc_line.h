// The IRC line grammar of the relay: cutting a receive buffer into lines,
// splitting a line into prefix, command and parameters, and the message text
// of PRIVMSG parameters. The functions keep no state and work on any bytes:
// none fails, throws or reads outside its arguments, and every result is
// the caller's own copy (nothing points into the arguments).
#pragma once

#include "framework/ansi_string.h"

#include <iosfwd>

// One IRC line in its parts.
struct TIrcLine {
    AnsiString Prefix;  // without its ":"; empty when the line has none
    AnsiString Command; // upper-cased (A-Z only, Shift_JIS characters untouched)
    AnsiString Params;  // all that follows the blank after the command, as received

    bool operator==(const TIrcLine&) const = default;
};

// Writes the parts quoted, printable ASCII as it is and every other byte as
// \xNN, so that a test failure shows exactly which bytes differ.
std::ostream& operator<<(std::ostream& Out, const TIrcLine& Line);

// Splits a server line (in Shift_JIS) into its parts. The prefix runs from
// after a leading ":" to the first blank; a line of a prefix alone has an
// empty command and parameters. The command runs to the next blank, and the
// parameters are the rest after that one blank (further blanks are kept).
TIrcLine SplitServerLine(const AnsiString& Display);

// Takes the next line of a receive buffer from Start on: the bytes before the
// next LF, less a CR just before it, into Line, and moves Start past the LF.
// False (Start and Line unchanged) when no LF follows Start, also for a
// Start at or past the end. A NUL byte is an ordinary byte and never hides an
// LF after it. The buffer is not changed: the caller erases the taken lines
// once, so cutting a read is linear in its size.
bool TakeLine(const AnsiString& Buffer, size_t& Start, AnsiString& Line);

// The line with each CR and LF in it made a blank, so that text a peer or
// the user chose can never start a second command.
AnsiString OneLine(AnsiString Line);

// The message text of PRIVMSG parameters: after a leading ":", else after
// the target, less one leading ":". Parameters without a blank and without
// a leading ":" are all text.
AnsiString MessageText(const AnsiString& Params);

// Whether two nicks are one: ASCII letters compare without case, as servers
// compare them (AnsiUpperAscii); nicks of different lengths never are.
bool SameNick(const AnsiString& A, const AnsiString& B);
