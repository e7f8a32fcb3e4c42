// What the chat logs make of the bytes a server sends: text of any code as
// UTF-8 for a log line, and nick, channel and server names as file names.
// The functions keep no state, never throw on any input and read nothing
// outside their arguments.
//
// Reading the bytes. A server's bytes may be JIS, Shift_JIS, EUC-JP, UTF-8
// or none of these. They are read as:
// - JIS when they hold a JIS escape (ESC $ B, ESC $ @, ESC ( B, ESC ( J,
//   ESC ( I); 8-bit bytes among them are read as UTF-8 where they form it;
// - UTF-8 when they are UTF-8, or when more of their characters are
//   well-formed UTF-8 than bytes are not (a UTF-8 line cut off inside its
//   last character by a server's line limit stays UTF-8);
// - otherwise Shift_JIS or EUC-JP, the first two-byte character deciding,
//   Shift_JIS first, as the code converter detects them.
// JIS X 0208 characters come out as JapaneseToUtf8 writes them (the same
// mapping as the rest of NimboChat); half-width katakana stay half-width.
// A byte that belongs to no character of the code read (a stray 8-bit byte,
// a pair whose JIS cell holds no character, a user-defined Shift_JIS
// character, a JIS X 0212 character in EUC-JP) is never dropped and never
// turned into 〓: it is written as an escape, \xNN in text, %NN in names.
#pragma once

#include "framework/ansi_string.h"
#include "relay/irc_line.h"

#include <QString>

#include <string>

// Text for a log line, in UTF-8, on one line. Bytes of no character are
// written as \xNN (upper-case hex); control characters too (NUL, CR, LF,
// ESC outside a JIS escape, DEL, the C1 controls as their UTF-8 bytes
// \xC2\xNN), so a line never breaks and nothing is hidden. Tab stays a tab.
// mIRC formatting (bold 0x02, colour 0x03 with its digits, hex colour
// 0x04 with its digits, reset 0x0F, monospace 0x11, reverse 0x16, italic
// 0x1D, strike 0x1E, underline 0x1F) is left out, as other clients' logs do:
// it changes how text looks, not what it says. A backslash in the text is
// written as it is, so the \xNN escapes of a line are a reading aid, not a
// reversible form.
std::string LogText(const AnsiString& Bytes);

// The longest file name made of a name, in bytes of UTF-8.
constexpr size_t MaxLogNameBytes = 200;

// A name (nick, channel, server host) as one file name component, in UTF-8:
// - never empty, never "." or "..", never holding "/" or NUL, never over
//   MaxLogNameBytes bytes; no control character and no character that
//   turns text around (U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) or
//   breaks it (U+2028, U+2029, U+FEFF) is written as it is;
// - readable: characters of the name are written as themselves in UTF-8
//   (#日本 from JIS, Shift_JIS, EUC-JP or UTF-8 bytes is "#日本");
// - escaped as %NN, upper-case hex of a byte: "%", "/", "\", control
//   characters and the characters above as their UTF-8 bytes, a "." that
//   starts the name (no hidden files, no "." or ".."), and every byte of no
//   character. The empty name is "%" alone.
// - unique and reversible up to the length limit: two names that read as
//   different text give different file names, and replacing each %NN by
//   its byte gives the name's text back (in UTF-8, with the bytes of no
//   character as they were). The same text in two codes (#日本 in JIS and
//   in UTF-8) is one name.
// - A name whose escaped form passes MaxLogNameBytes is cut at a character
//   or escape boundary and ends in "%+" and 16 hex digits of a SHA-256 of
//   the whole escaped form: still unique, no longer reversible. "%+" appears
//   in no other file name.
QString LogFileName(const AnsiString& Name);

// The file name of a conversation: LogFileName of the name with its case
// folded by the server's rules (FoldName) on the name's characters, so that
// #Nimbo, #NIMBO and #nimbo share the folder "#nimbo" and, under rfc1459,
// #[x] and #{x} share "#{x}". Only ASCII characters fold: the bytes of a
// Japanese character are never changed (#日本 in JIS stays #日本, even where
// a server folds the 0x5C inside its JIS bytes). The folded form, not the
// first spelling seen, so that the folder is the same in every run.
QString LogFolderName(const AnsiString& Name, TCaseMapping Mapping);
