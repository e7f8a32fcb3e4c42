// Feeds arbitrary bytes to the REGEDIT4 reader, as a whole file and as the
// data of values, and checks what the store promises:
//   - a file read and written again reads back as the same tree, and writing
//     that tree gives the same file (nothing is lost or changes on a second
//     start and exit);
//   - any bytes, as a text, a binary or a value of any type, and as a value
//     name that the store accepts, come back from the file exactly.
#include "winapi/regedit4.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Require(bool Condition)
{
    if (!Condition)
        std::abort();
}

void CheckFileRoundTrip(const std::string& input)
{
    const std::string once = regedit4::Write(*regedit4::Parse(input));
    Require(regedit4::Write(*regedit4::Parse(once)) == once);
}

void CheckValueRoundTrip(const std::string& input)
{
    hive::Key root;
    root.Name = regedit4::RootName;
    hive::Key* key = root.AddSub("SOFTWARE")->AddSub("NimboChat");
    const DWORD anyType = input.empty() ? REG_NONE : static_cast<unsigned char>(input[0]);
    const std::string name = input.substr(0, 40);
    key->SetValue("Sz", REG_SZ, input);
    key->SetValue("Bin", REG_BINARY, input);
    // Names compare without ASCII case: "SZ" is the value "Sz".
    const bool nameFits = regedit4::ValueNameFits(name) && !name.empty() && !key->FindValue(name);
    if (nameFits)
        key->SetValue(name, anyType, input);
    auto back = regedit4::Parse(regedit4::Write(root));
    hive::Key* k = back->FindSub("SOFTWARE");
    k = k ? k->FindSub("NimboChat") : nullptr;
    Require(k != nullptr);
    for (const auto& [n, type] : {std::pair<std::string, DWORD>{"Sz", REG_SZ}, {"Bin", REG_BINARY}, {name, anyType}}) {
        if (n == name && !nameFits)
            continue;
        const hive::Value* v = k->FindValue(n);
        Require(v && v->Name == n && v->Type == type && v->Data == input);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckFileRoundTrip(input);
    CheckValueRoundTrip(input);
    return 0;
}
