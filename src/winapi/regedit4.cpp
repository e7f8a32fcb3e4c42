// The REGEDIT4 text form. Text is handled as bytes; wherever a quoted text is
// scanned, a Shift_JIS lead byte followed by a valid trail byte is one
// character, so the 0x5C inside a character such as 表 is never an escape.
#include "winapi/regedit4.h"

#include <cstdio>
#include <cstring>

namespace {

using hive::CharLen;
using hive::HasControl;
using hive::KeyNameRoundTrips;
using hive::SplitPath;
using hive::Key;
using hive::Value;
using regedit4::RootName;

const std::string Bom = "\xEF\xBB\xBF";

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
        if (!hive::SameAsciiNoCase(s[pos + i], prefix[i]))
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

// A value on a last line without its line end may have been cut off. It
// counts only when its end shows that it is whole: the closing quote of a
// text (ParseData has checked that), all eight digits of a dword. A hex list
// may end after any byte, so it never counts there.
bool CompleteWithoutLineEnd(const std::string& data)
{
    std::string d = Trim(data);
    if (!d.empty() && d[0] == '"')
        return true;
    return StartsWithNoCase(d, 0, "dword:") && Trim(d.substr(6)).size() == 8;
}

void ParseValueLine(
    Key* section, const std::vector<std::string>& lines, size_t& next, const std::string& raw, bool lastUnended)
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
    if (ok && next == lines.size() && lastUnended)
        ok = CompleteWithoutLineEnd(line.substr(pos + 1));
    if (ok && section)
        section->SetValue(name, type, std::move(data));
}

// The file's lines without their line ends (LF, or CR LF). *lastUnended
// tells whether the text ends in a line without its LF.
std::vector<std::string> SplitLines(const std::string& text, bool& lastUnended)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    lastUnended = !text.empty() && text.back() != '\n';
    return lines;
}

} // namespace

namespace regedit4 {

bool IsRegedit4(const std::string& text)
{
    const size_t start = text.compare(0, 3, Bom) == 0 ? 3 : 0;
    const size_t nl = text.find('\n', start);
    std::string first = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!first.empty() && first.back() == '\r')
        first.pop_back();
    return Trim(first) == "REGEDIT4";
}

std::unique_ptr<Key> Parse(const std::string& text)
{
    auto root = std::make_unique<Key>();
    root->Name = RootName;
    if (!IsRegedit4(text))
        return root;
    bool lastUnended = false;
    std::vector<std::string> lines = SplitLines(text.compare(0, 3, Bom) == 0 ? text.substr(3) : text, lastUnended);
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
        ParseValueLine(section, lines, i, line, lastUnended);
    }
    return root;
}

std::string Write(const Key& root)
{
    std::string out = "REGEDIT4\n\n";
    WriteKey(out, root, RootName, true);
    return out;
}

bool ValueNameFits(const std::string& name)
{
    return !HasControl(name) && QuoteRoundTrips(name);
}

} // namespace regedit4
