// The command line and the shared pieces of the zypack subcommands.
#include "zypack/zypack_command.h"

#include "framework/application.h"
#include "zypack/entry_names.h"
#include "zypack/zypack_run.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>

namespace {

constexpr const char* Usage =
    "Usage: zypack COMMAND PACK [ARGUMENTS]\n"
    "  zypack list PACK                     each entry: size, stored size, packed or plain,\n"
    "                                       date, check word, name\n"
    "  zypack extract PACK [NAME...] [-C DIR]\n"
    "                                       write the named entries (all without names)\n"
    "                                       into DIR (default: the current folder)\n"
    "  zypack add PACK FILE... [--store]    add files under their own names, compressed\n"
    "                                       when that makes them smaller (never with\n"
    "                                       --store); PACK is made when missing\n"
    "  zypack delete PACK NAME...           delete entries\n"
    "  zypack verify PACK                   decode every entry and compare its check word\n"
    "  zypack --help                        this text\n"
    "Entry names are Shift_JIS in the pack and UTF-8 here: at most 21 bytes before the\n"
    "first \".\" and 3 after it, in Shift_JIS. Names are matched ignoring ASCII case.\n"
    "A failed add or delete leaves PACK as it was. \"--\" ends the options.\n"
    "Exit status: 0 done, 1 failed, 2 wrong usage.\n";

// The pack's message boxes and exception texts, written to the error stream
// in UTF-8 instead of being shown; each one marks the run as failed.
class TErrorStreamSink : public TMessageSink {
public:
    explicit TErrorStreamSink(TRun& run) : FRun(run) {}
    int MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT) override
    {
        Write(Caption + ": " + Text);
        return IDOK;
    }
    void ShowException(const AnsiString&, const AnsiString& Message) override { Write(Message); }

private:
    void Write(const AnsiString& text)
    {
        FRun.Reported = true;
        FRun.Err << "zypack: " << ToQString(text).toUtf8().toStdString() << '\n';
    }
    TRun& FRun;
};

// The sink of the application object for one run.
class TSinkScope {
public:
    explicit TSinkScope(TRun& run) : FPrevious(Application->SetMessageSink(std::make_unique<TErrorStreamSink>(run))) {}
    ~TSinkScope() { Application->SetMessageSink(std::move(FPrevious)); }
    TSinkScope(const TSinkScope&) = delete;
    TSinkScope& operator=(const TSinkScope&) = delete;

private:
    std::unique_ptr<TMessageSink> FPrevious;
};

// A command line taken apart: the subcommand, its operands in order, and
// the two options.
struct TCommandLine {
    std::string Command;
    std::vector<std::string> Operands;
    std::string Dir = ".";
    bool Store = false;
    std::string Error; // wrong usage, when not empty
};

TCommandLine Parse(const std::vector<std::string>& args)
{
    TCommandLine line;
    bool options = true;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options && a == "--")
            options = false;
        else if (options && a == "-C" && i + 1 < args.size())
            line.Dir = args[++i];
        else if (options && a == "-C")
            line.Error = "-C needs a folder";
        else if (options && a == "--store")
            line.Store = true;
        else if (options && a.size() > 1 && a[0] == '-' && a != "--help" && a != "-h")
            line.Error = "unknown option " + a;
        else if (line.Command.empty())
            line.Command = a;
        else
            line.Operands.push_back(a);
    }
    return line;
}

int Dispatch(TRun& run, const TCommandLine& line)
{
    const std::string& pack = line.Operands.front();
    const std::vector<std::string> rest(line.Operands.begin() + 1, line.Operands.end());
    if (line.Command == "list" && rest.empty())
        return ListPack(run, pack);
    if (line.Command == "extract")
        return ExtractPack(run, pack, rest, line.Dir);
    if (line.Command == "add" && !rest.empty())
        return AddToPack(run, pack, rest, line.Store);
    if (line.Command == "delete" && !rest.empty())
        return DeleteFromPack(run, pack, rest);
    if (line.Command == "verify" && rest.empty())
        return VerifyPack(run, pack);
    return -1;
}

} // namespace

int TRun::Fail(const std::string& what)
{
    Err << "zypack: " << what << '\n';
    return 1;
}

int RunZypack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    const TCommandLine line = Parse(args);
    if (line.Error.empty() && (line.Command == "--help" || line.Command == "-h")) {
        out << Usage;
        return 0;
    }
    TRun run{out, err};
    int status = -1;
    if (line.Error.empty() && !line.Operands.empty()) {
        TSinkScope sink(run);
        status = Dispatch(run, line);
    }
    if (status < 0) {
        err << "zypack: " << (line.Error.empty() ? "wrong usage" : line.Error) << "\n" << Usage;
        return 2;
    }
    return run.Reported ? 1 : status;
}

bool TRun::Refuse(const std::string& what)
{
    Fail(what);
    return false;
}

TEntry::~TEntry()
{
    if (FFile)
        FPack.Zyfclose(FFile);
}

bool TEntry::ReadAll(const std::function<bool(const char*, size_t)>& put)
{
    constexpr unsigned Piece = 32768;
    char buffer[Piece];
    int pos = 0;
    if (!FPack.Zyfsetpos(FFile, &pos))
        return false;
    for (int left = FPack.Zyfsize(FFile); left > 0;) {
        const unsigned n = std::min(Piece, static_cast<unsigned>(left));
        if (FPack.Zyfread(buffer, 1, n, FFile) != n || !put(buffer, n))
            return false;
        left -= static_cast<int>(n);
    }
    return true;
}

bool OpenPack(TRun& run, TZyPack& pack, const std::string& path)
{
    if (pack.LoadPack(path.c_str()))
        return true;
    std::error_code ec;
    const bool present = std::filesystem::is_regular_file(path, ec);
    run.Fail(path + (present ? ": not a pack file, or a damaged one" : ": no such pack file"));
    return false;
}

std::vector<AnsiString> LiveEntries(const TZyPack& pack)
{
    std::vector<AnsiString> names;
    char name[26];
    for (int i = 0; i < pack.GetFileNum(); ++i)
        if (pack.GetFileName(i, name) && name[0])
            names.emplace_back(name);
    return names;
}

bool SelectEntries(TRun& run, const TZyPack& pack, const std::vector<std::string>& names, std::vector<AnsiString>& selected)
{
    if (names.empty()) {
        selected = LiveEntries(pack);
        return true;
    }
    bool found = true;
    char stored[26];
    for (const std::string& n : names) {
        const AnsiString sjis = FileNameFromQString(QString::fromUtf8(n.data(), static_cast<qsizetype>(n.size())));
        const int index = IsUtf8FileName(sjis) ? -1 : pack.CheckFileName(sjis.c_str());
        if (index >= 0 && pack.GetFileName(index, stored) && stored[0])
            selected.emplace_back(stored);
        else {
            run.Fail(pack.PackName() + ": no entry " + n);
            found = false;
        }
    }
    return found;
}
