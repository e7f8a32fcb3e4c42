// The registry's hive in memory: a tree of keys holding typed values, and
// the rules for their names. Text is bytes (the program's Shift_JIS):
// wherever a name is scanned, a Shift_JIS lead byte followed by a valid
// trail byte is one character, so the 0x5C inside a character such as 表 is
// never a separator.
//
// Names compare as on Windows: ASCII letters without case, the bytes of
// double-byte characters exactly. A key or value keeps the spelling it was
// made with. Values and subkeys keep the order in which they were made;
// lookups go through indexes, so even a large (perhaps hostile) file is
// handled in linear time.
#pragma once

#include "winapi/registry.h"

#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace hive {

// Limits of the Windows registry, kept so that a hand-made file cannot nest
// keys deep enough to exhaust the stack.
constexpr size_t MaxKeyNameBytes = 255;
constexpr int MaxKeyDepth = 512;

struct Value {
    std::string Name; // "" is the default value
    DWORD Type = REG_NONE;
    std::string Data;
};

struct Key {
    std::string Name;
    int Depth = 0; // the root is 0
    std::list<Value> Values; // a list, so that a delete is O(1) and pointers stay valid
    std::vector<std::unique_ptr<Key>> Subkeys; // owned

    Key* FindSub(const std::string& name) const;
    // A new subkey (the name must not exist yet). Null, and nothing added,
    // when the name is empty, longer than MaxKeyNameBytes or the key would
    // lie deeper than MaxKeyDepth.
    Key* AddSub(const std::string& name);
    Value* FindValue(const std::string& name);
    // Replaces the data and type of a value of that name, or appends one.
    void SetValue(const std::string& name, DWORD type, std::string data);
    // False when there is no value of that name. Takes constant time, so a
    // long list of deletes stays linear.
    bool DeleteValue(const std::string& name);

private:
    std::unordered_map<std::string, std::list<Value>::iterator> ValueIndex;
    std::unordered_map<std::string, Key*> SubIndex;
};

// Length of the character at s[i] (i < s.size()): 2 for a Shift_JIS lead
// byte with a valid trail byte after it, else 1.
size_t CharLen(const std::string& s, size_t i);

// True when s holds a control character other than tab (below 0x20, 0x7F).
bool HasControl(const std::string& s);

bool SameAsciiNoCase(char a, char b);

// Splits a key path at '\' (not at a 0x5C inside a double-byte character).
// One leading and one trailing '\' are dropped; "" and "\" name the key
// itself (no parts). Null when a name inside is empty or holds a control
// character.
std::optional<std::vector<std::string>> SplitPath(const std::string& path);

// A new key name must read back as itself when a '\' and a further name
// follow it in a path (a lone lead byte at its end would swallow the '\').
bool KeyNameRoundTrips(const std::string& name);

} // namespace hive
