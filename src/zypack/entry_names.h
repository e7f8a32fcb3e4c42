// Entry names as a pack keeps them and file names as this system keeps
// them. A pack stores Shift_JIS bytes, at most 21 before the first "." and 3
// after it; file names here are UTF-8. The two are converted with the
// framework's file-name converters, so every entry name comes out as a file
// name that converts back to the same bytes.
#pragma once

#include "framework/ansi_string.h"

#include <string>

struct TEntryName {
    AnsiString Name;   // the Shift_JIS entry name; empty when Error is set
    std::string Error; // why the file name cannot be an entry name (UTF-8)
};

// The entry name for a file name (one path component, UTF-8): refused when
// Shift_JIS cannot hold it exactly, when it is not one plain component
// (IsPlainFileName), or when the pack's record would cut it.
TEntryName EntryNameOf(const std::string& fileName);

// The UTF-8 file name of an entry name.
std::string FileNameOf(const AnsiString& entryName);

// True when `name` names a file inside a folder and nothing else: not empty,
// not "." or "..", and without "/" or "\" (the pack's own separator where
// it was made).
bool IsPlainFileName(const std::string& name);
