// What the zypack subcommands share: the streams, the pack's messages, the
// pack opened for reading, its live entries, and the read of one entry.
#pragma once

#include "framework/ansi_string.h"
#include "support/Zypack.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

struct TRun {
    std::ostream& Out;
    std::ostream& Err;
    // Set when the pack showed a message box or an exception text.
    bool Reported = false;

    // Writes "zypack: what" to Err; returns the failure status 1.
    int Fail(const std::string& what);
    // The same, for the checks that answer false.
    bool Refuse(const std::string& what);
};

// An open entry, closed with its pack's Zyfclose when it goes.
class TEntry {
public:
    TEntry(TZyPack& pack, const AnsiString& name, bool decode) : FPack(pack), FFile(pack.ZyfopenComp(name.c_str(), decode)) {}
    ~TEntry();
    TEntry(const TEntry&) = delete;
    TEntry& operator=(const TEntry&) = delete;

    ZyFILE* File() const { return FFile; }
    // Hands the whole entry, from its start, to `put` in pieces; false when
    // a read comes short or `put` refuses.
    bool ReadAll(const std::function<bool(const char*, size_t)>& put);

private:
    TZyPack& FPack;
    ZyFILE* FFile;
};

// Loads `path` into `pack` (as the pack's ReadOnly and EachFileCrc stand);
// false, with the reason written, when it cannot.
bool OpenPack(TRun& run, TZyPack& pack, const std::string& path);

// The names of the records that were not deleted, in table order.
std::vector<AnsiString> LiveEntries(const TZyPack& pack);

// The entries named on the command line (UTF-8), as the pack spells them,
// or, without names, every live entry. False, with each unknown name
// written, when a name is not in the pack.
bool SelectEntries(TRun& run, const TZyPack& pack, const std::vector<std::string>& names, std::vector<AnsiString>& selected);

int ListPack(TRun& run, const std::string& pack);
int ExtractPack(TRun& run, const std::string& pack, const std::vector<std::string>& names, const std::string& dir);
int AddToPack(TRun& run, const std::string& pack, const std::vector<std::string>& files, bool store);
int DeleteFromPack(TRun& run, const std::string& pack, const std::vector<std::string>& names);
int VerifyPack(TRun& run, const std::string& pack);
