#include "zypack/entry_names.h"

#include <QString>

namespace {

constexpr size_t BaseBytes = 21;
constexpr size_t ExtBytes = 3;

// Whether the record keeps the name whole: the base name before the first
// "." fits its 21 bytes, and an extension after it has 1 to 3 bytes (an
// empty one would be dropped, so "a." would come back as "a").
const char* RecordCut(const AnsiString& name)
{
    const size_t dot = name.find('.');
    const size_t base = dot == AnsiString::npos ? name.size() : dot;
    if (base > BaseBytes)
        return "the name before its first \".\" is longer than 21 bytes";
    if (dot != AnsiString::npos && (name.size() - dot - 1 > ExtBytes || dot + 1 == name.size()))
        return "the extension after its first \".\" must have 1 to 3 bytes";
    return nullptr;
}

} // namespace

TEntryName EntryNameOf(const std::string& fileName)
{
    if (!IsPlainFileName(fileName))
        return {{}, "not a plain file name"};
    const AnsiString sjis = FileNameFromQString(QString::fromUtf8(fileName.data(), static_cast<qsizetype>(fileName.size())));
    if (IsUtf8FileName(sjis) || sjis.find('\0') != AnsiString::npos)
        return {{}, "Shift_JIS cannot hold this name"};
    if (const char* cut = RecordCut(sjis))
        return {{}, std::string(cut) + " in Shift_JIS, which a pack entry cannot hold"};
    return {sjis, {}};
}

std::string FileNameOf(const AnsiString& entryName)
{
    return FileNameToQString(entryName).toUtf8().toStdString();
}

bool IsPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}
