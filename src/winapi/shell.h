// ShellExecuteA on Linux: starts a program, or opens a document with the
// program associated with its type, and answers with the shell's result
// codes.
//
// Strings are the program's Shift_JIS (code page 932) bytes, as for any "A"
// function; they are turned into the file system's UTF-8 before use (bytes
// that are not valid Shift_JIS are used as they are). A string that begins
// with the UTF-8 byte-order mark (EF BB BF, never the start of a Shift_JIS
// text) is a name Shift_JIS cannot hold: what follows the mark is used as
// it is. '\' separates folders as well as '/'.
//
// What happens, in order:
//   1. No file: SE_ERR_FNF. A verb other than null, "" or "open": SE_ERR_NOASSOC.
//   2. A directory that is given must exist (SE_ERR_PNF otherwise) and be
//      enterable (SE_ERR_ACCESSDENIED otherwise). It becomes the started
//      program's working directory; without one the program inherits ours.
//   3. The file is found: an absolute path as it is; a relative path in the
//      current directory, then in the given directory; a bare name also
//      along PATH (programs only). Nothing found: SE_ERR_FNF when the
//      folder that should hold it exists, SE_ERR_PNF when it does not,
//      SE_ERR_ACCESSDENIED when a folder on the way may not be searched.
//   4. A regular file with execute permission is started as a program, with
//      lpParameters split into arguments at blanks ("..." groups, \" is a
//      quote). Failures to start map from the system's error:
//      ERROR_BAD_FORMAT (not a format the system can run, ENOEXEC),
//      SE_ERR_ACCESSDENIED, SE_ERR_SHARE (the file is open for writing,
//      ETXTBSY), SE_ERR_OOM (ENOMEM), 0 (out of processes or descriptors),
//      SE_ERR_FNF (a missing interpreter), SE_ERR_PNF (a path too long or
//      looping).
//   5. Anything else is a document and opens through xdg-open when it has an
//      association. The association is looked up the way xdg-open's own
//      desktop lookup does it: a display must be present (DISPLAY or
//      WAYLAND_DISPLAY), "xdg-mime query filetype" gives the type and
//      "xdg-mime query default" its desktop entry. No xdg-open/xdg-mime, no
//      display, no type or no default entry: SE_ERR_NOASSOC, except for a
//      file that is a program without execute permission (an ELF binary or
//      a "#!" script), which gives SE_ERR_ACCESSDENIED. An association
//      whose desktop entry is not installed counts as none (xdg-mime does
//      not name it). Each xdg-mime query is given 5 seconds.
//
// On success the result is 42 (any value above 32 means success). The
// started program is not watched: it is started through a short-lived
// intermediate process that this call waits for, so the program becomes a
// child of init (or of the session's subreaper) and never lingers as a
// zombie of ours. No SIGCHLD handler is installed, so QProcess and any other
// child handling of the program are not disturbed. The program runs in a
// session of its own, with standard input from /dev/null.
//
// hwnd and nShowCmd are accepted for the Windows signature and not used.
#pragma once

#include "winapi/windows.h"

#include <cstdint>

using HWND = void*; // the same aliases as the other winapi headers
using HINSTANCE = void*;
using LPCSTR = const char*;
using INT = int;

// nShowCmd values.
constexpr INT SW_HIDE = 0;
constexpr INT SW_SHOWNORMAL = 1;
constexpr INT SW_SHOWMINIMIZED = 2;
constexpr INT SW_SHOWMAXIMIZED = 3;
constexpr INT SW_SHOW = 5;

// Results at or below 32 are failures.
constexpr std::intptr_t SE_ERR_OUT_OF_RESOURCES = 0;
constexpr std::intptr_t SE_ERR_FNF = 2; // file not found
constexpr std::intptr_t SE_ERR_PNF = 3; // path not found
constexpr std::intptr_t SE_ERR_ACCESSDENIED = 5;
constexpr std::intptr_t SE_ERR_OOM = 8;
constexpr std::intptr_t ERROR_BAD_FORMAT = 11;
constexpr std::intptr_t SE_ERR_SHARE = 26;
constexpr std::intptr_t SE_ERR_ASSOCINCOMPLETE = 27;
constexpr std::intptr_t SE_ERR_DDETIMEOUT = 28;
constexpr std::intptr_t SE_ERR_DDEFAIL = 29;
constexpr std::intptr_t SE_ERR_DDEBUSY = 30;
constexpr std::intptr_t SE_ERR_NOASSOC = 31;
// Any other failure to start (an unexpected system error).
constexpr std::intptr_t SE_ERR_UNKNOWN = 1;

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
    INT nShowCmd);

// The result of ShellExecuteA as a number, for comparing with the codes.
inline std::intptr_t ShellExecuteResult(HINSTANCE result)
{
    return reinterpret_cast<std::intptr_t>(result);
}
