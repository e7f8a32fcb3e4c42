#include "winapi/registry_hive.h"

#include "kanji/sjis_bytes.h"

namespace {

unsigned char FoldAscii(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// The form under which names are compared. Two names are the same name when
// their folded forms are equal.
std::string FoldName(const std::string& s)
{
    std::string out = s;
    for (size_t i = 0; i < out.size();) {
        size_t len = hive::CharLen(out, i);
        if (len == 1)
            out[i] = static_cast<char>(FoldAscii(static_cast<unsigned char>(out[i])));
        i += len;
    }
    return out;
}

} // namespace

namespace hive {

size_t CharLen(const std::string& s, size_t i)
{
    return (IsSjisLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()
               && IsSjisTrailByte(static_cast<unsigned char>(s[i + 1])))
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

bool SameAsciiNoCase(char a, char b)
{
    return FoldAscii(static_cast<unsigned char>(a)) == FoldAscii(static_cast<unsigned char>(b));
}

Key* Key::FindSub(const std::string& name) const
{
    auto it = SubIndex.find(FoldName(name));
    return it == SubIndex.end() ? nullptr : it->second;
}

Key* Key::AddSub(const std::string& name)
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

Value* Key::FindValue(const std::string& name)
{
    auto it = ValueIndex.find(FoldName(name));
    return it == ValueIndex.end() ? nullptr : &*it->second;
}

void Key::SetValue(const std::string& name, DWORD type, std::string data)
{
    if (Value* v = FindValue(name)) {
        v->Type = type;
        v->Data = std::move(data);
    } else {
        Values.push_back(Value{name, type, std::move(data)});
        ValueIndex[FoldName(name)] = std::prev(Values.end());
    }
}

bool Key::DeleteValue(const std::string& name)
{
    auto it = ValueIndex.find(FoldName(name));
    if (it == ValueIndex.end())
        return false;
    Values.erase(it->second);
    ValueIndex.erase(it);
    return true;
}

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

bool KeyNameRoundTrips(const std::string& name)
{
    auto back = SplitPath(name + "\\x");
    return back && back->size() == 2 && (*back)[0] == name;
}

} // namespace hive
