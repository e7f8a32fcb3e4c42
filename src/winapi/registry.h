// The registry calls the program makes, over one per-user hive for
// HKEY_CURRENT_USER kept in a text file in the form the Windows registry
// editor exports (REGEDIT4):
//
//     $XDG_CONFIG_HOME/nimbochat/HKEY_CURRENT_USER.reg
//
// XDG_CONFIG_HOME that is unset, empty or not an absolute path means
// ~/.config. The file looks like this:
//
//     REGEDIT4
//
//     [HKEY_CURRENT_USER\SOFTWARE\Orvane\NimboChat]
//     "ClientHost"="irc.ircnet.ne.jp"
//     "ClientPort"=dword:00001a0b
//
// Values are byte strings (the program's Shift_JIS) and every byte sequence
// survives a round trip through the file:
//   - REG_SZ whose bytes can be written plainly: "name"="text", with '"' and
//     '\' escaped by a backslash; the bytes of a double-byte Shift_JIS
//     character are written as they are. The data is exactly the bytes
//     between the quotes, with no terminating zero.
//   - REG_DWORD of four bytes: dword: and eight hex digits.
//   - REG_BINARY: hex: and comma-separated bytes.
//   - every other type, a REG_DWORD whose size is not four, and a text that
//     cannot be written plainly (a zero byte, CR, LF or another control
//     character, or bytes the text form would not give back): hex(N): with N
//     the type in hex. Long lists are wrapped with ",\" and an indented line.
//   - the default (unnamed) value is written @=...
// Keys are written as sections of their full path; a key that has neither
// values nor subkeys is written as an empty section so that it survives.
//
// When the file is read and written:
//   - It is read when a key is opened (RegOpenKeyExA / RegCreateKeyExA) while
//     no key handle is open. While any handle is open, all handles share that
//     one picture of the hive; once the last handle is closed it is dropped,
//     so the next open sees the file as it is then (also a changed
//     XDG_CONFIG_HOME).
//   - It is written, whole, when a handle through which something changed
//     (a key created, a value set or deleted) is closed. The program opens
//     the settings key, sets its values and closes it at exit: one write.
//   - Writing is atomic: a temporary file in the same folder, flushed to
//     disk (fsync), then renamed over the old file. A crash leaves either the
//     old file or the new one, never half of one, and no temporary file is
//     left behind by a failed write. A failed write leaves the old file as
//     it was and says so on stderr, with the path and the reason.
//   - A file that is a symbolic link stays one: the write goes to the file
//     it leads to (through any chain of links), atomically in that file's
//     folder. The file written is 0600 (readable by the user alone, since
//     it holds a password), whatever mode the file it replaces had.
//
// Damaged input never crashes and reads as missing:
//   - A file whose first line is not REGEDIT4, that cannot be read, or that
//     is larger than 16 MiB reads as an empty hive. A UTF-8 byte-order mark
//     before REGEDIT4 is skipped.
//   - Otherwise damage is confined to lines: a value line that cannot be
//     parsed (a missing quote, a bad escape, a bad dword, a hex byte that is
//     not two hex digits, data over 1 MiB, ...) loses only that value; a
//     section header that cannot be parsed, or names another root, loses the
//     values below it up to the next header. Comment lines (;) are skipped.
//   - A last line without its line end (as many editors save) is read when
//     it is whole: a text with its closing quote, a dword of eight digits.
//     A hex list there may have been cut anywhere and reads as missing.
//   - A later line for the same value replaces an earlier one.
//   The next write replaces a damaged file with a sound one. A file whose
//   first line is not REGEDIT4 (a UTF-16 export of the Windows registry
//   editor, say) is never overwritten: before the first write it is renamed
//   to HKEY_CURRENT_USER.reg.unreadable (its link target's name and folder
//   for a link), replacing an older one, and stderr says so.
//
// Names: key names and value names compare case-insensitively for ASCII
// letters, as on Windows; the bytes of double-byte Shift_JIS characters
// compare exactly. A key keeps the spelling it was created with. Key paths
// use '\' between names; one leading and one trailing '\' are ignored, so
// "\SOFTWARE\Orvane\NimboChat" under HKEY_CURRENT_USER is the key
// SOFTWARE\Orvane\NimboChat directly under the root. Paths are always
// relative to the key handle given.
//
// Window-thread use, like the program; the calls are also safe to make from
// several threads.
#pragma once

#include "winapi/windows.h"

#include <cstdint>

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LPCSTR = const char*;
using LPSTR = char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// The one root this store has. Any other predefined root is an invalid
// handle here.
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});

// Result codes (Windows error numbers).
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2; // no such key or value
constexpr LONG ERROR_ACCESS_DENIED = 5; // handle lacks the right, or the store folder cannot be written
constexpr LONG ERROR_INVALID_HANDLE = 6; // not an open key handle
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_WRITE_FAULT = 29; // the file could not be written
constexpr LONG ERROR_DISK_FULL = 112;
constexpr LONG ERROR_INVALID_PARAMETER = 87; // null pointer where one is needed, bad name, data too large
constexpr LONG ERROR_MORE_DATA = 234; // buffer too small; the size needed is returned

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

// Access rights. Querying needs KEY_QUERY_VALUE, setting and deleting values
// KEY_SET_VALUE; other rights are accepted and have no effect.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// RegCreateKeyExA options and dispositions. Every key is kept in the file;
// other options are accepted and have no effect.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// The largest value data the store keeps, in bytes. Larger data is refused
// by RegSetValueExA and reads as missing from the file.
constexpr DWORD REG_MAX_VALUE_BYTES = 1024 * 1024;

// Opens the key lpSubKey (a path below hKey; null or "" opens hKey itself
// again) and returns a new handle in *phkResult. ERROR_FILE_NOT_FOUND when
// the key does not exist, ERROR_INVALID_HANDLE for a bad hKey,
// ERROR_INVALID_PARAMETER for a null phkResult or a path with an empty name
// inside. On failure *phkResult (if given) is null.
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);

// Opens lpSubKey below hKey, creating every missing key along the path, and
// returns a new handle. *lpdwDisposition (if given) is REG_CREATED_NEW_KEY
// when the last key of the path was created, REG_OPENED_EXISTING_KEY
// otherwise. lpClass and lpSecurityAttributes are ignored. Fails with
// ERROR_ACCESS_DENIED when the store's folder cannot be created or is not
// writable, so that nothing could be saved, and with ERROR_INVALID_PARAMETER
// for a name the file cannot hold (empty, over 255 bytes, a control
// character, ending in a lone Shift_JIS lead byte) or a key deeper than 512
// levels; in both cases no key is created.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
    REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
    LPDWORD lpdwDisposition);

// Stores cbData bytes from lpData as the value lpValueName (null or "" is the
// default value) of type dwType, replacing any value of that name. The bytes
// are kept exactly; no terminating zero is added or required. The data is not
// checked against the type (a REG_DWORD of another size than four is kept as
// given). ERROR_INVALID_PARAMETER for null data with a non-zero size, data
// over REG_MAX_VALUE_BYTES, or a name the file cannot hold (a control
// character, or a lone Shift_JIS lead byte before a '"').
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
    DWORD cbData);

// Reads the value lpValueName (null or "" is the default value).
//   - lpType, if given, receives the type.
//   - lpData null: *lpcbData (if given) receives the data's size in bytes.
//   - lpData given: *lpcbData is the buffer's size on entry. When the data
//     fits it is copied exactly as stored (no terminating zero is added) and
//     *lpcbData becomes its size; when it does not fit the result is
//     ERROR_MORE_DATA, *lpcbData becomes the size needed and the buffer is
//     left as it was.
// ERROR_FILE_NOT_FOUND for a missing value (*lpType and *lpcbData are left
// alone), ERROR_INVALID_PARAMETER for lpData without lpcbData or a non-null
// lpReserved.
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
    LPDWORD lpcbData);

// Removes the value lpValueName. ERROR_FILE_NOT_FOUND when there is none.
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

// Closes a handle from RegOpenKeyExA or RegCreateKeyExA. When something was
// changed through it, the whole hive is written to the file first; the
// handle is closed in every case, and the result tells whether that write
// succeeded (ERROR_ACCESS_DENIED, ERROR_DISK_FULL or ERROR_WRITE_FAULT when
// not). Closing HKEY_CURRENT_USER does nothing; any other handle that is not
// open gives ERROR_INVALID_HANDLE.
LONG RegCloseKey(HKEY hKey);
