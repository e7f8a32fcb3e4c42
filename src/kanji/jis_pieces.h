// Cutting a JIS text (ISO-2022-JP: ASCII, and JIS X 0208 pairs in runs
// opened by ESC $ B or ESC $ @ and closed by ESC ( B or ESC ( J) into
// pieces that each stand alone, for lines that must stay within a byte
// limit.
//
// Both functions guarantee:
// - A cut falls only between characters: never inside an escape sequence or
//   a pair. An ASCII byte, a pair and an escape sequence of another kind
//   (ESC and the two bytes after it, kept whole) each count as one
//   character; a lone byte at the end of a run counts as one too.
// - Each piece is written afresh: its pairs in ESC $ B ... ESC ( B, its run
//   closed at its end, ASCII bytes as they are. Read as JIS, the characters
//   of the pieces are those of Text, in order.
// - They never throw and never read past the end of Text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

using AnsiString = std::string;

// Text in pieces of at most Room bytes each, escapes included. Where a piece
// must end before the text does, it ends at its last break (after a blank,
// ASCII or the ideographic space, or where Japanese meets ASCII, so that no
// word is cut) when that keeps at least three quarters of Room in it, else
// after the last character that fits. Every piece holds at
// least one character, so nothing is dropped: a piece is longer than Room
// only when one character in its escapes (up to 8 bytes) is.
std::vector<AnsiString> SplitJis(const AnsiString& Text, size_t Room);

// The longest head of Text that takes at most Room bytes, its run closed;
// Dropped receives the number of characters left out (0 when all fit).
AnsiString CutJis(const AnsiString& Text, size_t Room, int& Dropped);
