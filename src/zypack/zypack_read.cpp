// The subcommands that read a pack: list, extract and verify.
#include "zypack/entry_names.h"
#include "zypack/zypack_run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr std::int64_t UnixEpoch = 116444736000000000LL;

struct timespec UnixTime(const FILETIME& t)
{
    const std::int64_t units = static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) - UnixEpoch;
    std::int64_t seconds = units / 10000000, rest = units % 10000000;
    if (rest < 0) {
        --seconds;
        rest += 10000000;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

// "YYYY-MM-DD hh:mm:ss" in local time.
std::string DateText(const FILETIME& t)
{
    const time_t seconds = UnixTime(t).tv_sec;
    struct tm local {};
    char text[32] = "-";
    if (localtime_r(&seconds, &local))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string ListLine(TZyPack& pack, const AnsiString& name)
{
    TEntry entry(pack, name, false);
    ZyFILE* f = entry.File();
    if (!f)
        return {};
    FILETIME time{};
    pack.ZyGetFileTime(f, &time);
    char check[8] = "----";
    if (pack.ZyIsCrc(f))
        std::snprintf(check, sizeof check, "%04X", pack.ZyGetCrc(f));
    char line[96];
    std::snprintf(line, sizeof line, "%10d %10d  %-6s  %s  %-5s  ", pack.Zyfsize(f), pack.Zydsize(f),
                  pack.ZyIsComp(f) ? "lunder" : "plain", DateText(time).c_str(), check);
    return line + FileNameOf(name);
}

// A file descriptor closed when it goes.
struct TDescriptor {
    int Fd;
    ~TDescriptor()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};

bool WriteAllTo(int fd, const char* bytes, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, bytes, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        bytes += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

mode_t NewFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Writes the entry to dir/name: into a new file made exclusively in `dir`,
// which then takes the name with a rename. So a failure leaves no part of a
// file under the name, and a link standing at the name is replaced, never
// followed. The file gets the entry's date. Returns the exit status.
int ExtractEntry(TRun& run, TZyPack& pack, const AnsiString& name, const std::string& dir)
{
    const std::string target = dir + "/" + FileNameOf(name);
    TEntry entry(pack, name, true);
    if (!entry.File())
        return run.Fail(pack.PackName() + ": " + FileNameOf(name) + ": entry cannot be read (damaged)");
    std::string temp = dir + "/.zypack-XXXXXX";
    TDescriptor out{::mkstemp(temp.data())};
    if (out.Fd < 0)
        return run.Fail(dir + ": cannot write here: " + std::strerror(errno));
    FILETIME time{};
    pack.ZyGetFileTime(entry.File(), &time);
    const struct timespec times[2] = {UnixTime(time), UnixTime(time)};
    int writeError = 0;
    const bool copied = entry.ReadAll([&](const char* bytes, size_t n) {
        const bool written = WriteAllTo(out.Fd, bytes, n);
        writeError = written ? 0 : errno;
        return written;
    });
    if (!copied || ::fchmod(out.Fd, NewFileMode()) != 0 || ::futimens(out.Fd, times) != 0
        || std::rename(temp.c_str(), target.c_str()) != 0) {
        const std::string why = copied ? std::strerror(errno) : writeError ? std::strerror(writeError) : "entry cannot be read";
        ::unlink(temp.c_str());
        return run.Fail(target + ": " + why);
    }
    return 0;
}

// Whether every selected name can be written inside the folder.
bool AllPlain(TRun& run, const TZyPack& pack, const std::vector<AnsiString>& names)
{
    bool plain = true;
    for (const AnsiString& name : names)
        if (!IsPlainFileName(FileNameOf(name))) {
            run.Fail(pack.PackName() + ": entry " + FileNameOf(name) + " would be written outside the folder; nothing extracted");
            plain = false;
        }
    return plain;
}

// Decodes the whole entry and, when it has one, compares its check word
// (the pack does that as it opens the entry with EachFileCrc).
bool EntrySound(TZyPack& pack, const AnsiString& name)
{
    TEntry entry(pack, name, true);
    return entry.File() && entry.ReadAll([](const char*, size_t) { return true; });
}

} // namespace

int ListPack(TRun& run, const std::string& path)
{
    TZyPack pack(nullptr);
    if (!OpenPack(run, pack, path))
        return 1;
    run.Out << "      size     stored  packed  date                 check  name\n";
    for (const AnsiString& name : LiveEntries(pack)) {
        const std::string line = ListLine(pack, name);
        if (line.empty())
            return run.Fail(path + ": " + FileNameOf(name) + ": entry cannot be read (damaged)");
        run.Out << line << '\n';
    }
    return 0;
}

int ExtractPack(TRun& run, const std::string& path, const std::vector<std::string>& names, const std::string& dir)
{
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return run.Fail(dir + ": no such folder");
    TZyPack pack(nullptr);
    std::vector<AnsiString> selected;
    if (!OpenPack(run, pack, path) || !SelectEntries(run, pack, names, selected) || !AllPlain(run, pack, selected))
        return 1;
    for (const AnsiString& name : selected)
        if (ExtractEntry(run, pack, name, dir) != 0)
            return 1;
    return 0;
}

int VerifyPack(TRun& run, const std::string& path)
{
    TZyPack pack(nullptr);
    pack.EachFileCrc = true;
    if (!OpenPack(run, pack, path))
        return 1;
    int damaged = 0;
    for (const AnsiString& name : LiveEntries(pack)) {
        const bool sound = EntrySound(pack, name);
        run.Out << (sound ? "ok       " : "DAMAGED  ") << FileNameOf(name) << '\n';
        if (!sound)
            damaged += run.Fail(path + ": entry " + FileNameOf(name) + " is damaged");
    }
    // The pack's own check word covers its header and table as well.
    pack.EachFileCrc = false;
    if (!pack.LoadPack(path.c_str()))
        return run.Fail(path + ": the check word of the whole pack does not match");
    return damaged > 0 ? 1 : 0;
}
