// The REGEDIT4 text form of the hive, as the Windows registry editor exports
// it. winapi/registry.h describes the form for its readers; these are the
// two directions and what each guarantees.
#pragma once

#include "winapi/registry_hive.h"

#include <memory>
#include <string>

namespace regedit4 {

// The name of the one root; sections name paths below it.
inline constexpr const char* RootName = "HKEY_CURRENT_USER";

// Reads a whole file. Never fails and never reads outside the text: what
// cannot be read is missing from the tree.
//   - A UTF-8 byte-order mark before the first line is skipped. A first line
//     that is not REGEDIT4 gives an empty tree.
//   - A value line that cannot be parsed loses only that value; a section
//     header that cannot be parsed, or that names another root, loses the
//     values below it up to the next header. Comment lines (;) are skipped.
//     A later line for the same value replaces an earlier one.
//   - A last line without its line end counts when it is complete: a quoted
//     text whose closing quote is there, a dword of all eight digits, a
//     section header. A hex list there may be cut anywhere and is dropped.
// Data over REG_MAX_VALUE_BYTES and keys deeper than hive::MaxKeyDepth read
// as missing. The root of the tree is named RootName.
std::unique_ptr<hive::Key> Parse(const std::string& text);

// True when the text's first line (after a UTF-8 byte-order mark) is
// REGEDIT4, so that Parse reads it; for any other text Parse gives an empty
// tree.
bool IsRegedit4(const std::string& text);

// The file for a tree. Parse(Write(root)) gives every value back, byte for
// byte and with its type, for any data and for any name that ValueNameFits
// or (for keys) hive::KeyNameRoundTrips accepts.
std::string Write(const hive::Key& root);

// True when a value of this name can be written and read back.
bool ValueNameFits(const std::string& name);

} // namespace regedit4
