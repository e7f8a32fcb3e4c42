// The IRC line grammar of the relay: cutting a receive buffer into lines,
// splitting a line into prefix, command and parameters, and the message text
// of PRIVMSG parameters. The functions keep no state and work on any bytes:
// none fails, throws or reads outside its arguments, and every result is
// the caller's own copy (nothing points into the arguments).
#pragma once

#include "framework/ansi_string.h"

#include <iosfwd>
#include <vector>

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


// One IRC line parsed whole, IRCv3 message tags first: what the stay session
// and the chat logs read lines through. Parsing never fails: a line of any
// bytes gives some message (an empty command for an empty line).
struct TIrcMessage {
    AnsiString Tags;    // after "@" up to the blank, as received; empty when none
    AnsiString Prefix;  // without its ":"; empty when the line has none
    AnsiString Command; // upper-cased (A-Z only)
    std::vector<AnsiString> Params; // the trailing parameter last, without its ":"
    bool Trailing = false;          // the last parameter came after " :"

    // The parameter at Index, or empty when there is none.
    const AnsiString& Param(size_t Index) const;
    // The prefix up to "!" (the whole prefix when it has none).
    AnsiString Nick() const;
    // Whether the prefix names a user (it holds "!"), not a server.
    bool FromUser() const;
    // A tag's value (escapes left as they are); empty when the tag is missing.
    AnsiString Tag(const AnsiString& Key) const;

    bool operator==(const TIrcMessage&) const = default;
};

std::ostream& operator<<(std::ostream& Out, const TIrcMessage& Message);

// Parses a line (without CR LF). Blanks between parameters may repeat; a
// parameter starting with ":" takes the rest of the line, blanks included.
TIrcMessage ParseIrcLine(const AnsiString& Line);

// Writes a message back as a line (without CR LF): the last parameter gets a
// ":" when it came as a trailing one, is empty, holds a blank or starts with
// ":". ParseIrcLine(ComposeIrcLine(m)) gives m back for any parsed m.
AnsiString ComposeIrcLine(const TIrcMessage& Message);

// How a server compares nicks and channel names (its 005 CASEMAPPING):
// rfc1459 (the default when a server names none) folds A-Z and [ ] \ ^
// to a-z and { } | ~; strict-rfc1459 leaves ^ and ~ apart; ascii folds A-Z
// only.
enum class TCaseMapping { Rfc1459, StrictRfc1459, Ascii };
// The mapping a CASEMAPPING value names; rfc1459 for any other value.
TCaseMapping CaseMappingNamed(const AnsiString& Value);
// The CASEMAPPING value of a mapping.
const char* CaseMappingName(TCaseMapping Mapping);
// The folded form of a nick or channel name: two names are one exactly when
// their folded forms are equal. Bytes above 0x7F are never changed.
AnsiString FoldName(const AnsiString& Name, TCaseMapping Mapping);

// Whether a line is an HTTP request line ("GET / HTTP/1.1"): a method of
// capital letters, a target and "HTTP/1.x", and nothing else.
bool IsHttpRequestLine(const AnsiString& Line);

// Whether a target names a channel: it starts with one of the server's
// channel types (#&+! unless its 005 CHANTYPES says otherwise).
bool IsChannelName(const AnsiString& Target, const AnsiString& ChanTypes = "#&+!");
