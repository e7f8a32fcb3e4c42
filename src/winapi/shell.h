// The shell's start of a program or a document, answering with
// ShellExecuteA's result codes: a program is started, a document is opened
// with the program associated with its type.
//
// Strings are the program's Shift_JIS (code page 932) bytes, as for any "A"
// function; they are turned into the file system's UTF-8 before use (bytes
// that are not valid Shift_JIS are used as they are). A string that begins
// with the UTF-8 byte-order mark (EF BB BF, never the start of a Shift_JIS
// text) is a name Shift_JIS cannot hold: what follows the mark is used as
// it is. '\' separates folders as well as '/'.
//
// What happens, in order:
//   1. No file: SE_ERR_FNF.
//   2. A directory that is given must exist (SE_ERR_PNF otherwise) and be
//      enterable (SE_ERR_ACCESSDENIED otherwise). It becomes the started
//      program's working directory; without one the program inherits ours.
//   3. The file is found: an absolute path as it is; a relative path in the
//      current directory, then in the given directory; a bare name also
//      along PATH (programs only). Nothing found: SE_ERR_FNF when the
//      folder that should hold it exists, SE_ERR_PNF when it does not,
//      SE_ERR_ACCESSDENIED when a folder on the way may not be searched.
//   4. A regular file with execute permission is started as a program,
//      without arguments. Failures to start map from the system's error:
//      ERROR_BAD_FORMAT (not a format the system can run, ENOEXEC),
//      SE_ERR_ACCESSDENIED, SE_ERR_SHARE (the file is open for writing,
//      ETXTBSY), SE_ERR_OOM (ENOMEM), SE_ERR_OUT_OF_RESOURCES (out of
//      processes or descriptors), SE_ERR_FNF (a missing interpreter),
//      SE_ERR_PNF (a path too long or looping).
//   5. Anything else is a document and opens through xdg-open when it has an
//      association, looked up the way xdg-open's own desktop lookup does it:
//      a display must be present (DISPLAY or WAYLAND_DISPLAY), "xdg-mime
//      query filetype" gives the type and "xdg-mime query default" its
//      desktop entry (xdg-mime names only entries that are installed). No
//      xdg-open/xdg-mime, no display, no type or no default entry:
//      SE_ERR_NOASSOC, except for a file that is a program without execute
//      permission (an ELF binary or a "#!" script), which gives
//      SE_ERR_ACCESSDENIED. The look-up and xdg-open run in a child of
//      their own, never in the caller's thread. xdg-open waits for the
//      program it starts; when it ends with a failure, the result is
//      SE_ERR_ASSOCINCOMPLETE (the associated program could not be run, as
//      "x-terminal-emulator: not found"), SE_ERR_NOASSOC (xdg-open found no
//      way to open the type) or SE_ERR_FNF.
//
// Started is the result of a success. A started program is not watched: it
// is started through a short-lived intermediate process that is waited for,
// so the program becomes a child of init (or of the session's subreaper)
// and never lingers as a zombie of ours. A document's opener is watched by
// such an intermediate that stays until the opener ends and is then reaped
// here. No SIGCHLD handler is installed, so QProcess and any other child
// handling of the program are not disturbed. Started programs run in a
// session of their own, with standard input from /dev/null.
#pragma once

#include <cstdint>
#include <functional>

// Results below 32 are failures.
constexpr std::intptr_t SE_ERR_OUT_OF_RESOURCES = 0;
constexpr std::intptr_t SE_ERR_FNF = 2; // file not found
constexpr std::intptr_t SE_ERR_PNF = 3; // path not found
constexpr std::intptr_t SE_ERR_ACCESSDENIED = 5;
constexpr std::intptr_t SE_ERR_OOM = 8;
constexpr std::intptr_t ERROR_BAD_FORMAT = 11;
constexpr std::intptr_t SE_ERR_SHARE = 26;
constexpr std::intptr_t SE_ERR_ASSOCINCOMPLETE = 27;
constexpr std::intptr_t SE_ERR_NOASSOC = 31;
// Any other failure to start (an unexpected system error).
constexpr std::intptr_t SE_ERR_UNKNOWN = 1;
constexpr std::intptr_t Started = 42;

using TShellDone = std::function<void(std::intptr_t Result)>;

// Starts File in Directory (empty: our own current folder) and hands the
// result to Done, exactly once: within this call for a program and for any
// failure found before anything runs, from the event loop once its opener
// has ended for a document. Done is never called after the
// QCoreApplication is gone; without one there is no event loop to watch an
// opener from, and a document gets the result for "no association".
void ShellStart(const char* File, const char* Directory, TShellDone Done);
