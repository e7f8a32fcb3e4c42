// The hive in memory, its text form and the file it lives in. The header
// states what callers may rely on; this file keeps to those rules:
//   - One picture of the hive is loaded when the first handle opens and
//     dropped when the last one closes.
//   - Text is handled as bytes. Wherever a name or a quoted text is scanned,
//     a Shift_JIS lead byte followed by a valid trail byte is one character,
//     so the 0x5C inside a character such as 表 is never a separator or an
//     escape.
#include "winapi/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr off_t MaxFileBytes = 16 * 1024 * 1024;
constexpr const char* RootName = "HKEY_CURRENT_USER";
constexpr const char* FileName = "HKEY_CURRENT_USER.reg";

bool IsLead(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool IsTrail(unsigned char c)
{
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

// Length of the character at s[i]: 2 for a lead byte with a valid trail.
size_t CharLen(const std::string& s, size_t i)
{
    return (IsLead(static_cast<unsigned char>(s[i])) && i + 1 < s.size()
               && IsTrail(static_cast<unsigned char>(s[i + 1])))
        ? 2
        : 1;
}

bool HasControl(const std::string& s)
{
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return true;
    return false;
}

unsigned char FoldAscii(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// The form under which names are compared, as on Windows: ASCII letters
// without case, the bytes of double-byte characters exactly. Two names are
// the same name when their folded forms are equal.
std::string FoldName(const std::string& s)
{
    std::string out = s;
    for (size_t i = 0; i < out.size();) {
        size_t len = CharLen(out, i);
        if (len == 1)
            out[i] = static_cast<char>(FoldAscii(static_cast<unsigned char>(out[i])));
        i += len;
    }
    return out;
}

// Limits of the Windows registry, kept so that a hand-made file cannot nest
// keys deep enough to exhaust the stack.
constexpr size_t MaxKeyNameBytes = 255;
constexpr int MaxKeyDepth = 512;

// ---- the hive ------------------------------------------------------------

struct Value {
    std::string Name;
    DWORD Type = REG_NONE;
    std::string Data;
};

// Values and subkeys keep the order in which they were made; the indexes
// keep lookups fast for large (perhaps hostile) files.
struct Key {
    std::string Name;
    int Depth = 0;
    std::vector<Value> Values;
    std::unordered_map<std::string, size_t> ValueIndex;
    std::vector<std::unique_ptr<Key>> Subkeys;
    std::unordered_map<std::string, Key*> SubIndex;

    Key* FindSub(const std::string& name) const
    {
        auto it = SubIndex.find(FoldName(name));
        return it == SubIndex.end() ? nullptr : it->second;
    }

    // Null when the name is not a valid key name or the key would be too deep.
    Key* AddSub(const std::string& name)
    {
        if (Depth >= MaxKeyDepth || name.empty() || name.size() > MaxKeyNameBytes)
            return nullptr;
        Subkeys.push_back(std::make_unique<Key>());
        Key* k = Subkeys.back().get();
        k->Name = name;
        k->Depth = Depth + 1;
        SubIndex[FoldName(name)] = k;
        return k;
    }

    Value* FindValue(const std::string& name)
    {
        auto it = ValueIndex.find(FoldName(name));
        return it == ValueIndex.end() ? nullptr : &Values[it->second];
    }

    void SetValue(const std::string& name, DWORD type, std::string data)
    {
        if (Value* v = FindValue(name)) {
            v->Type = type;
            v->Data = std::move(data);
        } else {
            ValueIndex[FoldName(name)] = Values.size();
            Values.push_back(Value{name, type, std::move(data)});
        }
    }

    bool DeleteValue(const std::string& name)
    {
        auto it = ValueIndex.find(FoldName(name));
        if (it == ValueIndex.end())
            return false;
        Values.erase(Values.begin() + static_cast<std::ptrdiff_t>(it->second));
        ValueIndex.clear();
        for (size_t i = 0; i < Values.size(); ++i)
            ValueIndex[FoldName(Values[i].Name)] = i;
        return true;
    }
};

// Splits a key path at '\' (not at a 0x5C inside a double-byte character).
// One leading and one trailing '\' are dropped; "" and "\" name the key
// itself. Null when a name inside is empty or holds a control character.
std::optional<std::vector<std::string>> SplitPath(const std::string& path)
{
    std::vector<std::string> parts(1);
    for (size_t i = (!path.empty() && path[0] == '\\') ? 1 : 0; i < path.size();) {
        size_t len = CharLen(path, i);
        if (len == 1 && path[i] == '\\')
            parts.emplace_back();
        else
            parts.back().append(path, i, len);
        i += len;
    }
    if (parts.size() > 1 && parts.back().empty())
        parts.pop_back();
    if (parts.size() == 1 && parts[0].empty())
        return std::vector<std::string>{};
    for (auto& p : parts)
        if (p.empty() || HasControl(p))
            return std::nullopt;
    return parts;
}

// A new key name must read back as itself when a '\' and a further name
// follow it in a path (a lone lead byte at its end would swallow the '\').
bool KeyNameRoundTrips(const std::string& name)
{
    auto back = SplitPath(name + "\\x");
    return back && back->size() == 2 && (*back)[0] == name;
}

// ---- text form -----------------------------------------------------------

// Reads a quoted text at s[pos] ('"'), with \" and \\ escapes.
bool ParseQuoted(const std::string& s, size_t& pos, std::string& out)
{
    if (pos >= s.size() || s[pos] != '"')
        return false;
    ++pos;
    while (pos < s.size()) {
        size_t len = CharLen(s, pos);
        char c = s[pos];
        if (len == 2) {
            out.append(s, pos, 2);
        } else if (c == '\\') {
            if (pos + 1 >= s.size() || (s[pos + 1] != '"' && s[pos + 1] != '\\'))
                return false;
            out += s[pos + 1];
            ++len;
        } else if (c == '"') {
            ++pos;
            return true;
        } else {
            out += c;
        }
        pos += len;
    }
    return false;
}

std::string Quote(const std::string& s)
{
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        size_t len = CharLen(s, i);
        if (len == 1 && (s[i] == '"' || s[i] == '\\'))
            out += '\\';
        out.append(s, i, len);
        i += len;
    }
    out += '"';
    return out;
}

// True when Quote(s) reads back as s. It does not when a lone lead byte
// stands before a byte that gets escaped.
bool QuoteRoundTrips(const std::string& s)
{
    std::string quoted = Quote(s), back;
    size_t pos = 0;
    return ParseQuoted(quoted, pos, back) && pos == quoted.size() && back == s;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(const std::string& s, DWORD& out)
{
    if (s.empty() || s.size() > 8)
        return false;
    out = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        out = (out << 4) | static_cast<DWORD>(d);
    }
    return true;
}

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool StartsWithNoCase(const std::string& s, size_t pos, const char* prefix)
{
    size_t n = std::strlen(prefix);
    if (s.size() - pos < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (FoldAscii(static_cast<unsigned char>(s[pos + i])) != FoldAscii(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// "01,ff,2a" -> bytes; at most REG_MAX_VALUE_BYTES of them.
bool ParseHexList(const std::string& list, std::string& out)
{
    std::string body = Trim(list);
    if (body.empty())
        return true;
    size_t pos = 0;
    while (true) {
        size_t comma = body.find(',', pos);
        std::string item = Trim(body.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (item.size() != 2 || HexDigit(item[0]) < 0 || HexDigit(item[1]) < 0)
            return false;
        if (out.size() >= REG_MAX_VALUE_BYTES)
            return false;
        out += static_cast<char>(HexDigit(item[0]) * 16 + HexDigit(item[1]));
        if (comma == std::string::npos)
            return true;
        pos = comma + 1;
    }
}

// Parses the data part of a value line (after '='). hex lists may continue
// on following lines that begin with white space; *next is advanced past
// the lines used.
bool ParseData(const std::vector<std::string>& lines, size_t& next, std::string data, DWORD& type, std::string& out)
{
    data = Trim(data);
    if (!data.empty() && data[0] == '"') {
        size_t pos = 0;
        if (!ParseQuoted(data, pos, out) || pos != data.size())
            return false;
        type = REG_SZ;
        return out.size() <= REG_MAX_VALUE_BYTES;
    }
    if (StartsWithNoCase(data, 0, "dword:")) {
        DWORD v = 0;
        if (!ParseHexNumber(Trim(data.substr(6)), v))
            return false;
        type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            out += static_cast<char>((v >> (8 * i)) & 0xFF);
        return true;
    }
    std::string list;
    if (StartsWithNoCase(data, 0, "hex:")) {
        type = REG_BINARY;
        list = data.substr(4);
    } else if (StartsWithNoCase(data, 0, "hex(")) {
        size_t close = data.find("):");
        if (close == std::string::npos || !ParseHexNumber(data.substr(4, close - 4), type))
            return false;
        list = data.substr(close + 2);
    } else {
        return false;
    }
    // Gather continuation lines; a list that is cut before its continuation
    // is damaged, and the line that follows is read on its own.
    std::string joined;
    while (true) {
        list = Trim(list);
        if (list.empty() || list.back() != '\\') {
            joined += list;
            break;
        }
        list.pop_back();
        joined += list;
        if (joined.size() > 3 * static_cast<size_t>(REG_MAX_VALUE_BYTES) + 64)
            return false;
        if (next >= lines.size() || lines[next].empty() || (lines[next][0] != ' ' && lines[next][0] != '\t'))
            return false;
        list = lines[next++];
    }
    return ParseHexList(joined, out);
}

std::string HexByte(unsigned char b)
{
    static const char digits[] = "0123456789abcdef";
    return {digits[b >> 4], digits[b & 15]};
}

void WriteHexValue(std::string& out, const std::string& lead, const std::string& data)
{
    std::string line = lead;
    const size_t bare = lead.size();
    for (size_t i = 0; i < data.size(); ++i) {
        std::string piece = HexByte(static_cast<unsigned char>(data[i]));
        if (i + 1 < data.size())
            piece += ',';
        if (line.size() > bare && line.size() + piece.size() > 78) {
            out += line + "\\\n";
            line = "  ";
        }
        line += piece;
    }
    out += line + '\n';
}

void WriteValue(std::string& out, const Value& v)
{
    std::string lead = v.Name.empty() ? std::string("@") : Quote(v.Name);
    lead += '=';
    if (v.Type == REG_SZ && !HasControl(v.Data) && QuoteRoundTrips(v.Data)) {
        out += lead + Quote(v.Data) + '\n';
    } else if (v.Type == REG_DWORD && v.Data.size() == 4) {
        DWORD n = 0;
        for (int i = 3; i >= 0; --i)
            n = (n << 8) | static_cast<unsigned char>(v.Data[static_cast<size_t>(i)]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        out += lead + buf + '\n';
    } else if (v.Type == REG_BINARY) {
        WriteHexValue(out, lead + "hex:", v.Data);
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.Type);
        WriteHexValue(out, lead + buf, v.Data);
    }
}

void WriteKey(std::string& out, const Key& k, const std::string& path, bool isRoot)
{
    if (!k.Values.empty() || (!isRoot && k.Subkeys.empty())) {
        out += '[' + path + "]\n";
        for (auto& v : k.Values)
            WriteValue(out, v);
        out += '\n';
    }
    for (auto& sub : k.Subkeys)
        WriteKey(out, *sub, path + '\\' + sub->Name, false);
}

std::string Serialize(const Key& root)
{
    std::string out = "REGEDIT4\n\n";
    WriteKey(out, root, RootName, true);
    return out;
}

// The key a section header names, created on the way; null when the header
// cannot be read or names another root.
Key* SectionKey(Key& root, const std::string& line)
{
    size_t close = line.rfind(']');
    if (close == std::string::npos || close == 0 || !Trim(line.substr(close + 1)).empty())
        return nullptr;
    std::string path = line.substr(1, close - 1);
    size_t n = std::strlen(RootName);
    if (!StartsWithNoCase(path, 0, RootName) || (path.size() > n && path[n] != '\\'))
        return nullptr;
    std::string rest = path.substr(n);
    if (rest.empty())
        return &root;
    if (rest.size() == 1 || rest.back() == '\\')
        return nullptr;
    auto parts = SplitPath(rest);
    if (!parts)
        return nullptr;
    Key* k = &root;
    for (auto& p : *parts) {
        Key* sub = k->FindSub(p);
        if (!sub && KeyNameRoundTrips(p))
            sub = k->AddSub(p);
        if (!sub)
            return nullptr;
        k = sub;
    }
    return k;
}

void ParseValueLine(Key* section, const std::vector<std::string>& lines, size_t& next, const std::string& raw)
{
    std::string line = raw.substr(raw.find_first_not_of(" \t"));
    std::string name;
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (!ParseQuoted(line, pos, name) || HasControl(name)) {
        return;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    if (pos >= line.size() || line[pos] != '=')
        return;
    DWORD type = REG_NONE;
    std::string data;
    bool ok = ParseData(lines, next, line.substr(pos + 1), type, data);
    if (ok && section)
        section->SetValue(name, type, std::move(data));
}

std::unique_ptr<Key> Parse(const std::string& text)
{
    auto root = std::make_unique<Key>();
    root->Name = RootName;
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            break; // a last line without its line end is taken as cut off
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = nl + 1;
    }
    if (lines.empty() || Trim(lines[0]) != "REGEDIT4")
        return root;
    Key* section = nullptr;
    for (size_t i = 1; i < lines.size();) {
        const std::string& line = lines[i++];
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';')
            continue;
        if (line[first] == '[') {
            section = SectionKey(*root, line.substr(first));
            continue;
        }
        ParseValueLine(section, lines, i, line);
    }
    return root;
}

// ---- the file ------------------------------------------------------------

std::string ConfigHome()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !*home)
        return {};
    return std::string(home) + "/.config";
}

std::string StoreFolder()
{
    std::string home = ConfigHome();
    return home.empty() ? std::string() : home + "/nimbochat";
}

std::string ReadFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MaxFileBytes) {
        char buf[65536];
        while (true) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > static_cast<size_t>(MaxFileBytes)) {
                text.clear(); // grew while being read: not a file we trust
                break;
            }
        }
    }
    ::close(fd);
    return text;
}

LONG ErrnoToCode(int e)
{
    switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOTDIR:
    case EEXIST:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_WRITE_FAULT;
    }
}

// Creates the folder (and the configuration folder above it) as needed and
// checks that a file can be made in it.
LONG EnsureFolder(const std::string& folder)
{
    if (folder.empty())
        return ERROR_ACCESS_DENIED;
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return ErrnoToCode(errno);
        if (slash == std::string::npos)
            break;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_ACCESS_DENIED;
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

LONG WriteHiveFile(const std::string& folder, const std::string& text)
{
    if (LONG rc = EnsureFolder(folder); rc != ERROR_SUCCESS)
        return rc;
    std::string tmp = folder + "/." + FileName + ".XXXXXX";
    std::vector<char> tmpl(tmp.begin(), tmp.end());
    tmpl.push_back('\0');
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return ErrnoToCode(errno);
    bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(tmpl.data(), (folder + '/' + FileName).c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmpl.data());
        return ErrnoToCode(err);
    }
    // Make the rename itself durable.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return ERROR_SUCCESS;
}

// ---- handles -------------------------------------------------------------

struct OpenKey {
    Key* Target = nullptr;
    REGSAM Access = 0;
    bool Changed = false;
};

struct Store {
    std::mutex Lock;
    std::unique_ptr<Key> Root; // the loaded picture, null when no handle is open
    std::string Folder; // where it was loaded from
    std::map<std::uintptr_t, OpenKey> Handles;
    std::uintptr_t NextHandle = 0x1000;

    void Load()
    {
        if (Root)
            return;
        Folder = StoreFolder();
        Root = Parse(Folder.empty() ? std::string() : ReadFile(Folder + '/' + FileName));
    }

    void ReleaseIfIdle()
    {
        if (Handles.empty())
            Root.reset();
    }

    LONG Save() { return WriteHiveFile(Folder, Serialize(*Root)); }

    // The open key behind a handle, or null. Loads the hive for the root.
    OpenKey* Resolve(HKEY h, OpenKey& rootSlot)
    {
        if (h == HKEY_CURRENT_USER) {
            Load();
            rootSlot = OpenKey{Root.get(), KEY_ALL_ACCESS, false};
            return &rootSlot;
        }
        auto it = Handles.find(reinterpret_cast<std::uintptr_t>(h));
        return it == Handles.end() ? nullptr : &it->second;
    }

    HKEY NewHandle(Key* k, REGSAM access, bool changed)
    {
        std::uintptr_t id = NextHandle;
        NextHandle += 4;
        Handles[id] = OpenKey{k, access, changed};
        return reinterpret_cast<HKEY>(id);
    }

    // After a change made directly on the root handle, which is never closed.
    LONG FinishRootChange(HKEY h)
    {
        return h == HKEY_CURRENT_USER ? Save() : ERROR_SUCCESS;
    }
};

Store& TheStore()
{
    static Store s;
    return s;
}

std::string NameOf(LPCSTR name)
{
    return name ? std::string(name) : std::string();
}

LONG OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM sam, PHKEY phkResult, bool create, LPDWORD disposition)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    OpenKey rootSlot;
    OpenKey* base = s.Resolve(hKey, rootSlot);
    LONG rc = ERROR_SUCCESS;
    if (!base) {
        rc = ERROR_INVALID_HANDLE;
    } else if (auto parts = SplitPath(NameOf(lpSubKey)); !parts) {
        rc = ERROR_INVALID_PARAMETER;
    } else if (create && (rc = EnsureFolder(s.Folder)) != ERROR_SUCCESS) {
        // nothing can be saved, so nothing is created
    } else {
        Key* k = base->Target;
        bool created = false;
        // Every name is checked before anything is created, so a bad path
        // leaves no keys behind.
        bool valid = k->Depth + static_cast<int>(parts->size()) <= MaxKeyDepth;
        for (auto& p : *parts)
            valid = valid && p.size() <= MaxKeyNameBytes && KeyNameRoundTrips(p);
        if (!valid)
            rc = ERROR_INVALID_PARAMETER;
        for (size_t i = 0; rc == ERROR_SUCCESS && i < parts->size(); ++i) {
            Key* sub = k->FindSub((*parts)[i]);
            if (!sub && !create) {
                rc = ERROR_FILE_NOT_FOUND;
                break;
            }
            if (!sub) {
                sub = k->AddSub((*parts)[i]);
                created = true;
            }
            k = sub;
        }
        if (rc == ERROR_SUCCESS) {
            *phkResult = s.NewHandle(k, sam, created);
            if (disposition)
                *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
    }
    s.ReleaseIfIdle();
    return rc;
}

// The result for a value call on a resolved handle that needs a right:
// ERROR_INVALID_HANDLE for no open key, ERROR_ACCESS_DENIED without the right.
LONG AccessResult(const OpenKey* k, REGSAM right)
{
    if (!k)
        return ERROR_INVALID_HANDLE;
    return (k->Access & right) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

} // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, false, nullptr);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
    const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, true, lpdwDisposition);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    OpenKey rootSlot;
    OpenKey* k = s.Resolve(hKey, rootSlot);
    std::string name = NameOf(lpValueName);
    LONG rc = AccessResult(k, KEY_SET_VALUE);
    if (rc != ERROR_SUCCESS) {
        // no key, or no right to set
    } else if ((!lpData && cbData) || cbData > REG_MAX_VALUE_BYTES || HasControl(name) || !QuoteRoundTrips(name))
        rc = ERROR_INVALID_PARAMETER;
    else {
        k->Target->SetValue(name, dwType,
            cbData ? std::string(reinterpret_cast<const char*>(lpData), cbData) : std::string());
        k->Changed = true;
        rc = s.FinishRootChange(hKey);
    }
    s.ReleaseIfIdle();
    return rc;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
    LPDWORD lpcbData)
{
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    OpenKey rootSlot;
    OpenKey* k = s.Resolve(hKey, rootSlot);
    LONG rc = AccessResult(k, KEY_QUERY_VALUE);
    if (rc != ERROR_SUCCESS) {
        // no key, or no right to query
    } else if (lpReserved || (lpData && !lpcbData)) {
        rc = ERROR_INVALID_PARAMETER;
    } else if (const Value* v = k->Target->FindValue(NameOf(lpValueName)); !v) {
        rc = ERROR_FILE_NOT_FOUND;
    } else {
        if (lpType)
            *lpType = v->Type;
        const DWORD size = static_cast<DWORD>(v->Data.size());
        if (lpData) {
            if (*lpcbData < size)
                rc = ERROR_MORE_DATA;
            else if (size)
                std::memcpy(lpData, v->Data.data(), size);
        }
        if (lpcbData)
            *lpcbData = size;
    }
    s.ReleaseIfIdle();
    return rc;
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    OpenKey rootSlot;
    OpenKey* k = s.Resolve(hKey, rootSlot);
    LONG rc = AccessResult(k, KEY_SET_VALUE);
    if (rc == ERROR_SUCCESS) {
        if (!k->Target->DeleteValue(NameOf(lpValueName))) {
            rc = ERROR_FILE_NOT_FOUND;
        } else {
            k->Changed = true;
            rc = s.FinishRootChange(hKey);
        }
    }
    s.ReleaseIfIdle();
    return rc;
}

LONG RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    auto it = s.Handles.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == s.Handles.end())
        return ERROR_INVALID_HANDLE;
    bool changed = it->second.Changed;
    s.Handles.erase(it);
    LONG rc = changed ? s.Save() : ERROR_SUCCESS;
    s.ReleaseIfIdle();
    return rc;
}
