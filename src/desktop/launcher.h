// The chat client launcher's rules, apart from the window that uses them.
#pragma once

#include "framework/ansi_string.h"

#include <cstdint>

// Results of ShellStart at or above this value mean the file was started or opened.
constexpr std::intptr_t FirstSuccess = 32;

// The folder the chat client is started in: the part of Path before its last
// folder separator, '\' or '/'. Path is in the file name form of
// framework/ansi_string.h. In its Shift_JIS form a byte 0x5C that is the
// second byte of a double-byte character (as in ソ or 表) is no separator;
// in its marked UTF-8 form the folder keeps the mark.
//   "C:\TOOLS\IRC.EXE" gives "C:\TOOLS", "/usr/bin/hexchat" "/usr/bin";
//   a program in a drive's root, "C:\IRC.EXE", gives the drive alone, "C:";
//   a program in the root of this system's tree, "/irc", gives "/";
//   a name without a folder gives "" (the current folder is kept).
AnsiString ClientWorkingDirectory(const AnsiString& Path);

// The text of the launcher's error box for a ShellExecuteA result below 32;
// a result without a text of its own gives "不明なエラー".
AnsiString LaunchErrorText(std::intptr_t Result);
