// Lines the server accepts. A chat client in UTF-8 keeps its lines within
// IRC's 512 bytes of UTF-8; converted to JIS they can grow past them, and a
// server then drops the session or cuts the line. FitJisLine makes such a
// JIS line into lines that each reach the others whole. Pure functions on
// byte strings: none fails, throws or reads outside its arguments.
#pragma once

#include "framework/ansi_string.h"

#include <vector>

// The longest IRC line, CR LF included.
constexpr size_t IrcLineBytes = 512;

// Room kept for the prefix (":nick!user@host ") that the server puts in
// front of a line it passes on, while the user's own prefix is not known.
constexpr size_t UnknownPrefixBytes = 100;

// The most bytes of a line, without its tags and its CR LF, that the server
// passes on whole when it puts Prefix (nick!user@host, without ":"; empty
// when not known) in front.
size_t LineRoom(const AnsiString& Prefix);

// The end of a line's IRCv3 tags: the position after the blank that ends a
// leading "@..." word, 0 when the line has no tags.
size_t TagsEnd(const AnsiString& Line);

struct TFittedLine {
    std::vector<AnsiString> Lines; // in order, without CR LF
    AnsiString Command;            // upper-cased; empty for a line that fits
    int Cut = 0;                   // characters cut off the end
};

// A JIS line (without CR LF) as lines of at most Room bytes each, not
// counting the tags. A line within Room is the one line, unchanged. A longer
// PRIVMSG or NOTICE becomes several with the same command and target, its
// text split by SplitJis (kanji/jis_pieces.h); a CTCP ACTION is split into
// ACTIONs, each framed by 0x01. Any other line, another CTCP, and a line
// whose command and target leave no room for text are cut by CutJis, and
// Cut counts the characters left out. Tags stay on the first line, as they
// were.
TFittedLine FitJisLine(const AnsiString& Line, size_t Room);
