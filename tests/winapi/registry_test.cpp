// The registry store: values and keys through the API, the exact file form,
// and damaged files.
#include "winapi/registry.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Bytes = std::string;
const char* const SettingsPath = "\\SOFTWARE\\Orvane\\NimboChat";

class Registry : public testing::Test {
protected:
    QTemporaryDir Home;

    void SetUp() override
    {
        ASSERT_TRUE(Home.isValid());
        qputenv("XDG_CONFIG_HOME", Home.path().toLocal8Bit());
    }

    QString FilePath() const { return Home.path() + "/nimbochat/HKEY_CURRENT_USER.reg"; }

    static mode_t FileMode(const QString& path)
    {
        struct stat st {};
        return ::stat(path.toLocal8Bit().constData(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    Bytes FileText() const
    {
        QFile f(FilePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : Bytes("<missing>");
    }

    void WriteFileText(const Bytes& text) const
    {
        QDir().mkpath(Home.path() + "/nimbochat");
        QFile f(FilePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.data(), static_cast<qint64>(text.size()));
    }

    static HKEY Create(const char* path, DWORD* disposition = nullptr)
    {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &k, disposition),
            ERROR_SUCCESS);
        return k;
    }

    static HKEY Open(const char* path, REGSAM sam = KEY_ALL_ACCESS)
    {
        HKEY k = nullptr;
        return RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, sam, &k) == ERROR_SUCCESS ? k : nullptr;
    }

    static LONG Set(HKEY k, const char* name, DWORD type, const Bytes& data)
    {
        return RegSetValueExA(k, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
            static_cast<DWORD>(data.size()));
    }

    static std::optional<std::pair<DWORD, Bytes>> Get(HKEY k, const char* name)
    {
        DWORD type = 0, size = 0;
        if (RegQueryValueExA(k, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        Bytes data(size, '\0');
        if (RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
            return std::nullopt;
        data.resize(size);
        return std::make_pair(type, data);
    }

    // Reads one value afresh from the file (no handle stays open).
    static std::optional<std::pair<DWORD, Bytes>> Stored(const char* path, const char* name)
    {
        HKEY k = Open(path, KEY_READ);
        if (!k)
            return std::nullopt;
        auto v = Get(k, name);
        RegCloseKey(k);
        return v;
    }

    static Bytes Dword(DWORD v) { return Bytes(reinterpret_cast<const char*>(&v), 4); }

    static Bytes AllBytes()
    {
        Bytes all;
        for (int i = 0; i < 256; ++i)
            all += static_cast<char>(i);
        return all;
    }
};

// ---- the file form ---------------------------------------------------------

TEST_F(Registry, WritesEachTypeInItsOwnForm)
{
    HKEY k = Create(SettingsPath);
    ASSERT_EQ(Set(k, "ClientHost", REG_SZ, "irc.ircnet.ne.jp"), ERROR_SUCCESS);
    ASSERT_EQ(Set(k, "ClientPort", REG_DWORD, Dword(6667)), ERROR_SUCCESS);
    Set(k, "Quote\"Back\\", REG_SZ, "say \"C:\\x\" \x95\x5c");
    Set(k, nullptr, REG_SZ, "default");
    Set(k, "Lines", REG_SZ, "a\r\n");
    Set(k, "Zero", REG_SZ, Bytes("ab\0", 3));
    Set(k, "Expand", REG_EXPAND_SZ, "%H%");
    Set(k, "Bin", REG_BINARY, "\x01\xff");
    Set(k, "Short", REG_DWORD, "\x01\x02");
    Set(k, "Empty", REG_SZ, "");
    HKEY sub = nullptr;
    ASSERT_EQ(RegCreateKeyExA(k, "KeyWord", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
    Set(sub, "0", REG_SZ, "abc");
    HKEY empty = Create("\\SOFTWARE\\Empty");
    RegCloseKey(empty);
    RegCloseKey(sub);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(FileText(),
        "REGEDIT4\n"
        "\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n"
        "\"ClientHost\"=\"irc.ircnet.ne.jp\"\n"
        "\"ClientPort\"=dword:00001a0b\n"
        "\"Quote\\\"Back\\\\\"=\"say \\\"C:\\\\x\\\" \x95\x5c\"\n" // the 0x5C of a double-byte character stays
        "@=\"default\"\n"
        "\"Lines\"=hex(1):61,0d,0a\n"
        "\"Zero\"=hex(1):61,62,00\n"
        "\"Expand\"=hex(2):25,48,25\n"
        "\"Bin\"=hex:01,ff\n"
        "\"Short\"=hex(4):01,02\n"
        "\"Empty\"=\"\"\n"
        "\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat\\KeyWord]\n"
        "\"0\"=\"abc\"\n"
        "\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Empty]\n"
        "\n");
}

TEST_F(Registry, ReadsAHandWrittenFileWithCrLfCommentsAndWrappedHex)
{
    WriteFileText("REGEDIT4\r\n\r\n; settings\r\n[hkey_current_user\\software\\orvane\\nimbochat]\r\n"
                  "\"ClientPort\"=DWORD:1A0B\r\n\"Blob\"=hex:01,02,\\\r\n  03, 04\r\n\"T\"=\"x\"\r\n");
    EXPECT_EQ(Stored(SettingsPath, "ClientPort"), std::make_pair(REG_DWORD, Dword(0x1a0b)));
    EXPECT_EQ(Stored(SettingsPath, "Blob"), std::make_pair(REG_BINARY, Bytes("\x01\x02\x03\x04")));
    EXPECT_EQ(Stored(SettingsPath, "T"), std::make_pair(REG_SZ, Bytes("x")));
}

// ---- round trips through the file ------------------------------------------

TEST_F(Registry, EveryByteSurvivesInTextBinaryAndOtherTypes)
{
    const Bytes all = AllBytes();
    Bytes big;
    for (int i = 0; i < 5000; ++i)
        big += static_cast<char>(i * 7);
    HKEY k = Create(SettingsPath);
    Set(k, "Text", REG_SZ, all);
    Set(k, "Binary", REG_BINARY, all);
    Set(k, "Expand", REG_EXPAND_SZ, all);
    Set(k, "Type99", 0x99, all);
    Set(k, "Big", REG_BINARY, big);
    Set(k, "LoneLead", REG_SZ, "\x81\"\x81\\\x81"); // lead bytes before an escaped byte and at the end
    Set(k, "Dword", REG_DWORD, Dword(0xFFFFFFFF));
    RegCloseKey(k);
    EXPECT_EQ(Stored(SettingsPath, "Text"), std::make_pair(REG_SZ, all));
    EXPECT_EQ(Stored(SettingsPath, "Binary"), std::make_pair(REG_BINARY, all));
    EXPECT_EQ(Stored(SettingsPath, "Expand"), std::make_pair(REG_EXPAND_SZ, all));
    EXPECT_EQ(Stored(SettingsPath, "Type99"), std::make_pair(DWORD{0x99}, all));
    EXPECT_EQ(Stored(SettingsPath, "Big"), std::make_pair(REG_BINARY, big));
    EXPECT_EQ(Stored(SettingsPath, "LoneLead"), std::make_pair(REG_SZ, Bytes("\x81\"\x81\\\x81")));
    EXPECT_EQ(Stored(SettingsPath, "Dword"), std::make_pair(REG_DWORD, Dword(0xFFFFFFFF)));
    for (const Bytes& line : {Bytes("\n\"Big\"=hex:"), Bytes(",\\\n  ")})
        EXPECT_NE(FileText().find(line), Bytes::npos) << line;
}

TEST_F(Registry, RandomTextsAndNamesSurvive)
{
    std::mt19937 rng(7);
    const Bytes alphabet = Bytes("aZ09 \"\\\t[]=@;,") + "\x81\x95\x5c\x83\x41\x61\xa4\xe0\xfc\xfd\xff\x7e\x80\x40";
    for (int round = 0; round < 40; ++round) {
        std::vector<std::pair<Bytes, Bytes>> values;
        HKEY k = Create(SettingsPath);
        for (int i = 0; i < 25; ++i) {
            Bytes name = std::to_string(i) + "_", text;
            for (int n = static_cast<int>(rng() % 12); n > 0; --n) {
                name += alphabet[rng() % alphabet.size()];
                text += alphabet[rng() % alphabet.size()];
            }
            if (Set(k, name.c_str(), REG_SZ, text) == ERROR_SUCCESS) // a name that cannot be written is refused
                values.emplace_back(name, text);
        }
        RegCloseKey(k);
        ASSERT_GT(values.size(), 15u);
        for (auto& [name, text] : values)
            ASSERT_EQ(Stored(SettingsPath, name.c_str()), std::make_pair(REG_SZ, text)) << round << " " << name;
    }
}

// ---- the API ---------------------------------------------------------------

TEST_F(Registry, QueryReportsSizesMissingValuesAndShortBuffers)
{
    HKEY k = Create(SettingsPath);
    Set(k, "Host", REG_SZ, "irc.example");
    DWORD type = 77, size = 77;
    EXPECT_EQ(RegQueryValueExA(k, "Nothing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, 77u);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(RegQueryValueExA(k, "Host", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 11u);

    char buf[16] = "untouched";
    size = 5;
    EXPECT_EQ(RegQueryValueExA(k, "Host", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    EXPECT_STREQ(buf, "untouched");
    size = 11;
    EXPECT_EQ(RegQueryValueExA(k, "Host", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(buf, size), "irc.example");
    EXPECT_EQ(RegQueryValueExA(k, "Host", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(k, "X", 0, REG_SZ, nullptr, 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(k, "Bad\nName", 0, REG_SZ, nullptr, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Set(k, "Huge", REG_BINARY, Bytes(REG_MAX_VALUE_BYTES + 1, 'x')), ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
}

TEST_F(Registry, HandlesRightsAndMissingKeys)
{
    HKEY k = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SettingsPath, 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SettingsPath, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FileText(), "<missing>"); // looking writes nothing

    RegCloseKey(Create(SettingsPath));
    HKEY ro = Open(SettingsPath, KEY_READ);
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(Set(ro, "A", REG_SZ, "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(ro, "A"), ERROR_ACCESS_DENIED);
    HKEY wo = Open(SettingsPath, KEY_WRITE);
    EXPECT_EQ(RegQueryValueExA(wo, "A", nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(wo), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(ro), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(ro), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Set(ro, "A", REG_SZ, "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST_F(Registry, KeysNestAndCompareWithoutCaseButKeepTheirSpelling)
{
    DWORD disposition = 0;
    HKEY k = Create(SettingsPath, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    Set(k, "ClientPort", REG_DWORD, Dword(6667));
    HKEY sub = nullptr;
    ASSERT_EQ(RegCreateKeyExA(k, "KeyWord", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    Set(sub, "0", REG_SZ, "first");
    RegCloseKey(sub);
    RegCloseKey(k);

    HKEY again = Create("software\\ORVANE\\nimbochat\\", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(Get(again, "clientPORT"), std::make_pair(REG_DWORD, Dword(6667)));
    Set(again, "CLIENTPORT", REG_DWORD, Dword(1));
    RegCloseKey(again);
    EXPECT_EQ(Stored("\\SOFTWARE\\Orvane\\NimboChat\\keyword", "0"), std::make_pair(REG_SZ, Bytes("first")));
    EXPECT_NE(FileText().find("[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n\"ClientPort\"=dword:00000001"),
        Bytes::npos);

    // A 0x5C inside a double-byte character is not a separator, and only
    // ASCII letters fold: ア (83 41) and ツ (83 61) stay different keys.
    RegCloseKey(Create("\\\x95\x5c\\\x83\x41"));
    EXPECT_EQ(Open("\x95\x5c\\\x83\x61"), nullptr);
    HKEY kanji = Open("\x95\x5c\\\x83\x41");
    EXPECT_NE(kanji, nullptr);
    RegCloseKey(kanji);
    EXPECT_NE(FileText().find("[HKEY_CURRENT_USER\\\x95\x5c\\\x83\x41]\n"), Bytes::npos);
}

TEST_F(Registry, BadPathsCreateNothing)
{
    HKEY k = nullptr;
    for (const char* bad : {"A\\\\B", "\\\\A", "A\\\n", "A\\B\x81"})
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, bad, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_INVALID_PARAMETER)
            << bad;
    EXPECT_EQ(Open("A"), nullptr);
    EXPECT_EQ(FileText(), "<missing>");
}

TEST_F(Registry, DeleteRemovesTheValueFromTheFile)
{
    HKEY k = Create(SettingsPath);
    Set(k, "3", REG_SZ, "x");
    Set(k, "4", REG_SZ, "y");
    RegCloseKey(k);
    k = Open(SettingsPath);
    EXPECT_EQ(RegDeleteValueA(k, "3"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(k, "3"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Get(k, "3"), std::nullopt);
    RegCloseKey(k);
    EXPECT_EQ(Stored(SettingsPath, "3"), std::nullopt);
    EXPECT_EQ(Stored(SettingsPath, "4"), std::make_pair(REG_SZ, Bytes("y")));
}

// The keyword key's clean-up after a much shorter list: each delete costs
// the same, however many values the key holds (it once rebuilt an index of
// all of them, 528 ms for this case).
TEST_F(Registry, DeletesFromALargeKeyTakeConstantTimeEach)
{
    HKEY k = Create(SettingsPath);
    for (int i = 0; i < 10000; ++i)
        Set(k, std::to_string(i).c_str(), REG_SZ, "x");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 2; i < 1000; ++i)
        ASSERT_EQ(RegDeleteValueA(k, std::to_string(i).c_str()), ERROR_SUCCESS);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(100)); // some milliseconds, also under ASan
    EXPECT_EQ(Get(k, "1"), std::make_pair(REG_SZ, Bytes("x")));
    EXPECT_EQ(Get(k, "500"), std::nullopt);
    EXPECT_EQ(Get(k, "1000"), std::make_pair(REG_SZ, Bytes("x")));
    RegCloseKey(k);
    EXPECT_EQ(Stored(SettingsPath, "999"), std::nullopt);
    EXPECT_EQ(Stored(SettingsPath, "9999"), std::make_pair(REG_SZ, Bytes("x")));
}

// ---- when and how the file is written ---------------------------------------

TEST_F(Registry, WritesOnCloseOfAChangedKeyAtomically)
{
    HKEY k = Create(SettingsPath);
    Set(k, "A", REG_SZ, "1");
    EXPECT_EQ(FileText(), "<missing>"); // nothing before the close
    RegCloseKey(k);
    const Bytes written = FileText();
    EXPECT_NE(written.find("\"A\"=\"1\""), Bytes::npos);
    EXPECT_EQ(QDir(Home.path() + "/nimbochat").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{"HKEY_CURRENT_USER.reg"});

    // Reading leaves a hand-formatted file exactly as it is.
    const Bytes hand = "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n\"A\"  =  \"2\"\n\n";
    WriteFileText(hand);
    EXPECT_EQ(Stored(SettingsPath, "A"), std::make_pair(REG_SZ, Bytes("2")));
    RegCloseKey(Create(SettingsPath)); // opened existing, nothing changed
    EXPECT_EQ(FileText(), hand);
}

// A settings file kept by a dotfile manager: a link, perhaps relative and
// through another link, to a file elsewhere.
TEST_F(Registry, WritesThroughLinksToTheirTarget)
{
    const QString store = Home.path() + "/nimbochat";
    QDir().mkpath(Home.path() + "/dotfiles/nimbo");
    QDir().mkpath(store);
    const QString target = Home.path() + "/dotfiles/nimbo/settings.reg";
    WriteFileText("REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n\"A\"=\"1\"\n");
    ASSERT_TRUE(QFile::rename(FilePath(), target));
    ASSERT_EQ(::symlink("nimbo/settings.reg", (Home.path() + "/dotfiles/current.reg").toLocal8Bit().constData()), 0);
    ASSERT_EQ(::symlink("../dotfiles/current.reg", FilePath().toLocal8Bit().constData()), 0);

    EXPECT_EQ(Stored(SettingsPath, "A"), std::make_pair(REG_SZ, Bytes("1")));
    HKEY k = Create(SettingsPath);
    Set(k, "A", REG_SZ, "2");
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_TRUE(QFileInfo(FilePath()).isSymLink());
    EXPECT_TRUE(QFileInfo(Home.path() + "/dotfiles/current.reg").isSymLink());
    EXPECT_EQ(Stored(SettingsPath, "A"), std::make_pair(REG_SZ, Bytes("2")));
    EXPECT_EQ(FileMode(target), 0600u);
    // No temporary file is left in either folder.
    EXPECT_EQ(QDir(Home.path() + "/dotfiles/nimbo").entryList(QDir::Files | QDir::Hidden), QStringList{"settings.reg"});
    EXPECT_EQ(QDir(store).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
        QStringList{"HKEY_CURRENT_USER.reg"});
}

// The file will hold a password: after every write it is readable by the
// user alone, whatever mode it had and whatever the umask lets through.
TEST_F(Registry, EveryWriteLeavesTheFileReadableByTheUserAlone)
{
    struct Umask {
        mode_t Before;
        explicit Umask(mode_t mask) : Before(::umask(mask)) {}
        ~Umask() { ::umask(Before); }
    };
    {
        const Umask open(0);
        for (const mode_t before : {0644u, 0666u, 0400u, 0640u}) {
            SCOPED_TRACE(before);
            WriteFileText("REGEDIT4\n");
            ASSERT_EQ(::chmod(FilePath().toLocal8Bit().constData(), before), 0);
            HKEY k = Create(SettingsPath);
            Set(k, "A", REG_SZ, "1");
            EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
            EXPECT_EQ(FileMode(FilePath()), 0600u);
        }
    }
    ASSERT_TRUE(QFile::remove(FilePath()));
    const Umask strict(0277);
    HKEY k = Create(SettingsPath);
    Set(k, "A", REG_SZ, "2");
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(FileMode(FilePath()), 0600u);
}

TEST_F(Registry, AFolderThatCannotBeMadeRefusesCreation)
{
    QFile blocker(Home.path() + "/file");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_CONFIG_HOME", (Home.path() + "/file").toLocal8Bit());
    HKEY k = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, SettingsPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
        ERROR_ACCESS_DENIED);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(Open(SettingsPath), nullptr);
}

// ---- damaged files -----------------------------------------------------------

TEST_F(Registry, ADamagedLineLosesOnlyItself)
{
    WriteFileText("REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n"
                  "\"Good1\"=\"a\"\n"
                  "\"NoEnd\"=\"abc\n"
                  "\"BadEscape\"=\"a\\nb\"\n"
                  "\"Dw1\"=dword:xyz\n"
                  "\"Dw2\"=dword:123456789\n"
                  "\"Dw3\"=dword:\n"
                  "\"Hex1\"=hex:1,02\n"
                  "\"Hex2\"=hex:01,,02\n"
                  "\"Hex3\"=hex:01,02,\n"
                  "\"Hex4\"=hex(zz):01\n"
                  "\"Cut\"=hex:01,\\\n"
                  "\"Good2\"=dword:00000002\n"
                  "\"Deleted\"=-\n"
                  "garbage \x01\xff\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
                  "\"Elsewhere\"=\"x\"\n"
                  "[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat\n"
                  "\"Unheaded\"=\"x\"\n"
                  "[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n"
                  "\"Good3\"=hex:\n"
                  "\"CutAtEnd\"=\"x");
    HKEY k = Open(SettingsPath);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(Get(k, "Good1"), std::make_pair(REG_SZ, Bytes("a")));
    EXPECT_EQ(Get(k, "Good2"), std::make_pair(REG_DWORD, Dword(2)));
    EXPECT_EQ(Get(k, "Good3"), std::make_pair(REG_BINARY, Bytes()));
    for (const char* lost : {"NoEnd", "BadEscape", "Dw1", "Dw2", "Dw3", "Hex1", "Hex2", "Hex3", "Hex4", "Cut",
             "Deleted", "Elsewhere", "Unheaded", "CutAtEnd"})
        EXPECT_EQ(Get(k, lost), std::nullopt) << lost;
    // The next write replaces the damaged file with a sound one.
    Set(k, "Good1", REG_SZ, "b");
    RegCloseKey(k);
    EXPECT_EQ(FileText(),
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n"
        "\"Good1\"=\"b\"\n\"Good2\"=dword:00000002\n\"Good3\"=hex:\n\n");
}

TEST_F(Registry, AFileInAnotherFormIsKeptAsideBeforeTheFirstWrite)
{
    const QString text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE]\r\n\"A\"=\"b\"\r\n";
    QByteArray utf16("\xFF\xFE");
    utf16 += QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    WriteFileText(utf16.toStdString());
    EXPECT_EQ(Open("SOFTWARE"), nullptr); // refused: reads as empty
    EXPECT_EQ(FileText(), utf16.toStdString()); // reading alone moves nothing
    testing::internal::CaptureStderr();
    HKEY k = Create(SettingsPath);
    Set(k, "A", REG_SZ, "1");
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    const std::string said = testing::internal::GetCapturedStderr();
    QFile aside(FilePath() + ".unreadable");
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), utf16);
    EXPECT_NE(said.find((FilePath() + ".unreadable").toStdString()), std::string::npos) << said;
    EXPECT_EQ(Stored(SettingsPath, "A"), std::make_pair(REG_SZ, Bytes("1")));
    // A sound file is written over as before, and nothing more is moved.
    testing::internal::CaptureStderr();
    RegCloseKey(Create("SOFTWARE\\Other"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    aside.close();
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), utf16);
}

TEST_F(Registry, EveryTruncationReadsAsMissingOrTheTrueValue)
{
    HKEY k = Create(SettingsPath);
    Set(k, "ClientHost", REG_SZ, "irc.ircnet.ne.jp");
    Set(k, "ClientPort", REG_DWORD, Dword(6667));
    Set(k, "Bin", REG_BINARY, Bytes(40, '\x5a'));
    Set(k, "Nul", REG_SZ, Bytes("x\0", 2));
    Set(k, "Kanji", REG_SZ, "\x95\x5c\"");
    RegCloseKey(k);
    const Bytes full = FileText();
    const char* names[] = {"ClientHost", "ClientPort", "Bin", "Nul", "Kanji"};
    std::optional<std::pair<DWORD, Bytes>> truth[5];
    for (int i = 0; i < 5; ++i)
        truth[i] = Stored(SettingsPath, names[i]);
    for (size_t len = 0; len < full.size(); ++len) {
        WriteFileText(full.substr(0, len));
        for (int i = 0; i < 5; ++i) {
            auto v = Stored(SettingsPath, names[i]);
            ASSERT_TRUE(!v || v == truth[i]) << "cut at " << len << " " << names[i];
        }
    }
}

TEST_F(Registry, GarbageHugeListsAndDeepNestingReadAsMissing)
{
    std::mt19937 rng(11);
    const Bytes pieces[] = {"[", "]", "\"", "\\", "=", "hex:", "hex(2):", "dword:", "\n", "  ", ",", "ff", "@",
        "HKEY_CURRENT_USER\\SOFTWARE", "\x81", Bytes(1, '\0')};
    for (int round = 0; round < 300; ++round) {
        Bytes text = round % 2 ? "REGEDIT4\n" : "";
        for (int i = 0; i < 200; ++i)
            text += (rng() % 4) ? pieces[rng() % std::size(pieces)] : Bytes(1, static_cast<char>(rng()));
        WriteFileText(text);
        HKEY k = Open("SOFTWARE");
        if (k) {
            Get(k, "");
            RegCloseKey(k);
        }
    }
    WriteFileText("garbage\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n\"A\"=\"x\"\n");
    EXPECT_EQ(Open(SettingsPath), nullptr); // no REGEDIT4 line: nothing is trusted

    Bytes huge = "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n\"Huge\"=hex:00";
    for (DWORD i = 0; i < REG_MAX_VALUE_BYTES; ++i)
        huge += (i % 25 == 24) ? ",\\\n  00" : ",00";
    huge += "\n\"After\"=\"ok\"\n";
    Bytes deep = "[HKEY_CURRENT_USER";
    for (int i = 0; i < 100000; ++i)
        deep += "\\a";
    huge += deep + "]\n\"Deep\"=\"x\"\n";
    WriteFileText(huge);
    EXPECT_EQ(Stored(SettingsPath, "Huge"), std::nullopt);
    EXPECT_EQ(Stored(SettingsPath, "After"), std::make_pair(REG_SZ, Bytes("ok")));

    WriteFileText("REGEDIT4\n" + Bytes(17 * 1024 * 1024, ';') + "\n");
    EXPECT_EQ(Open(SettingsPath), nullptr);
}

} // namespace
