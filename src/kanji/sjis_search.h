// Character-aware search in Shift_JIS byte strings.
#pragma once

#include <string>

// The first position at or after From where Sub occurs in Text, or npos.
// Guarantees:
// - matches only at a character boundary, never at the second byte of a
//   double-byte character (the byte 0x5C inside ソ is no match for "\");
// - compares bytes exactly (letter case and full-/half-width forms count);
// - an empty Sub never matches;
// - the search ends at the first NUL byte of Text (and Sub ends at its own);
// - never reads past the end of either string.
std::string::size_type SjisFind(const std::string& Text, const std::string& Sub, std::string::size_type From = 0);

// True when Sub occurs in Text by the rules of SjisFind.
inline bool SjisContains(const std::string& Text, const std::string& Sub)
{
    return SjisFind(Text, Sub) != std::string::npos;
}
