// The subcommands that change a pack: add and delete. Both check what they
// are given before the pack is touched, and a change that fails midway is
// dropped whole: the pack stays as it was (a pack that the add made is
// removed again).
#include "zypack/entry_names.h"
#include "zypack/zypack_run.h"

#include <climits>
#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// The data area, the header before it and one entry's padding must stay
// below 2^31 bytes: the pack's sizes and offsets are signed 32-bit.
constexpr std::int64_t PackLimit = INT32_MAX - 16 - 15;

struct TSource {
    std::string Path; // absolute
    AnsiString Name;
    std::int64_t Size;
};

// Checks one file to add; false, with the reason written, when it cannot be.
bool TakeSource(TRun& run, const std::string& file, std::vector<TSource>& sources)
{
    const TEntryName name = EntryNameOf(fs::path(file).filename().string());
    if (!name.Error.empty())
        return run.Refuse(file + ": cannot be an entry name: " + name.Error);
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return run.Refuse(file + ": not a readable file");
    if (st.st_size > PackLimit)
        return run.Refuse(file + ": larger than a pack can hold (2 GiB)");
    sources.push_back({fs::absolute(file).string(), name.Name, st.st_size});
    return true;
}

// Works in another folder while it lives, when it could change to it, and
// returns to the first one.
class TFolderScope {
public:
    explicit TFolderScope(const fs::path& folder) : FPrevious(fs::current_path(FError))
    {
        if (!FError)
            fs::current_path(folder, FError);
    }
    ~TFolderScope()
    {
        std::error_code ec;
        if (!FError)
            fs::current_path(FPrevious, ec);
    }
    TFolderScope(const TFolderScope&) = delete;
    TFolderScope& operator=(const TFolderScope&) = delete;

    bool Entered() const { return !FError; }

private:
    std::error_code FError;
    fs::path FPrevious;
};

int AddSources(TRun& run, TZyPack& pack, const std::vector<TSource>& sources, bool store)
{
    for (const TSource& s : sources) {
        if (pack.CheckFileName(s.Name.c_str()) >= 0)
            return run.Fail(s.Path + ": " + FileNameOf(s.Name) + " is in the pack already; nothing added");
        if (s.Size > PackLimit - pack.DataSize())
            return run.Fail(s.Path + ": the pack would grow beyond 2 GiB; nothing added");
        if (!pack.AddFile(s.Name.c_str(), s.Path.c_str(), !store) || run.Reported)
            return run.Fail(s.Path + ": not added; nothing added");
    }
    return 0;
}

} // namespace

int AddToPack(TRun& run, const std::string& path, const std::vector<std::string>& files, bool store)
{
    std::vector<TSource> sources;
    bool taken = true;
    for (const std::string& file : files)
        taken = TakeSource(run, file, sources) && taken;
    if (!taken)
        return 1;
    const fs::path packPath = fs::absolute(path);
    std::error_code ec;
    const bool made = !fs::exists(packPath, ec);
    // The codec writes its temporary file into the current folder: the
    // pack's own folder, where the pack is written anyway.
    TFolderScope folder(packPath.parent_path());
    if (!folder.Entered())
        return run.Fail(packPath.parent_path().string() + ": no such folder");
    TZyPack pack(nullptr);
    pack.SetReadOnly(false);
    if (made ? !pack.NewPack(packPath.c_str()) : !OpenPack(run, pack, packPath.string()))
        return made ? run.Fail(path + ": cannot make the pack here") : 1;
    if (AddSources(run, pack, sources, store) != 0) {
        pack.CancelPack();
        if (made)
            fs::remove(packPath, ec);
        return 1;
    }
    pack.EndPack();
    if (run.Reported && made)
        fs::remove(packPath, ec);
    return 0;
}

int DeleteFromPack(TRun& run, const std::string& path, const std::vector<std::string>& names)
{
    TZyPack pack(nullptr);
    pack.SetReadOnly(false);
    std::vector<AnsiString> selected;
    if (!OpenPack(run, pack, path) || !SelectEntries(run, pack, names, selected))
        return 1;
    for (const AnsiString& name : selected)
        pack.DelFile(name.c_str());
    pack.EndPack();
    return 0;
}
