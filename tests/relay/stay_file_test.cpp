// The stay session's file: what is saved comes back byte for byte, the file
// and its folder are the user's alone, and any damaged or foreign file loads
// as Damaged without harm and can be set aside.
#include "relay/stay_file.h"
#include "support_code/hex.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include <sys/stat.h>

namespace {

// Every field as hex, so that a failed comparison shows the byte that differs.
std::string Describe(const TStayFile& f)
{
    std::string out = "host " + Hex(f.Host) + "\nport " + std::to_string(f.Port) + "\nnick " + Hex(f.State.Nick) +
                      "\nprefix " + Hex(f.State.Prefix) + "\n";
    for (const auto& c : f.State.Channels)
        out += "channel " + Hex(c.Name) + " / " + Hex(c.Key) + " / " + Hex(c.Topic) + "\n";
    for (const AnsiString& cap : f.State.Caps)
        out += "cap " + Hex(cap) + "\n";
    for (const auto& c : f.State.Conversations) {
        out += "conversation " + Hex(c.Name) + "\n";
        for (const TKeptLine& line : c.Lines)
            out += "  " + std::to_string(line.At) + " " + Hex(line.Line) + "\n";
    }
    return out;
}

// A state with the bytes a line can hold: NUL, JIS escapes, 8-bit bytes, CR
// and LF inside lines, empty texts, and times at the ends of their range,
// in many conversations.
TStayFile Awkward(int conversations = 60)
{
    TStayFile f;
    f.Host = "irc.ircnet.ne.jp";
    f.Port = 6697;
    f.State.Nick = "Taro";
    f.State.Prefix = "Taro!~taro@host.example.jp";
    f.State.Channels = {{"#leaf", "secret", "\x1b$B$3$s$K$A$O\x1b(B"},
        {std::string("#a\0b", 4), "", ""},
        {"#\xff\xfe\x80", "k\r\ney", std::string(300, 'x')}};
    f.State.Caps = {"server-time", "message-tags", ""};
    const std::string lines[] = {
        ":Hana!~hana@jp PRIVMSG #leaf :\x1b$B$*$O$h$&\x1b(B",
        std::string("nul\0inside", 10),
        "cr\rlf\nboth\r\n",
        "\xff\xff\xff\x00\x01\x1b",
        "",
    };
    for (int i = 0; i < conversations; ++i) {
        TStayState::TConversationState c;
        c.Name = i % 2 ? "#chan" + std::to_string(i) : "nick" + std::to_string(i);
        for (int j = 0; j < i % 7; ++j)
            c.Lines.push_back({lines[(i + j) % std::size(lines)], 1700000000000LL + i * 1000 + j});
        f.State.Conversations.push_back(c);
    }
    f.State.Conversations[1].Lines.push_back({"oldest", std::numeric_limits<std::int64_t>::min()});
    f.State.Conversations[1].Lines.push_back({"newest", std::numeric_limits<std::int64_t>::max()});
    return f;
}

mode_t Mode(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The file's bytes with the checksum at the end made right again, so that
// the contents behind it are what gets read.
QByteArray Resealed(QByteArray bytes)
{
    bytes.chop(32);
    return bytes + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

void PutU32(QByteArray& bytes, qsizetype at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

class StayFile : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Home.isValid());
        qputenv("XDG_DATA_HOME", Home.path().toLocal8Bit());
        Path = StayFilePath();
    }

    void Save(const TStayFile& f)
    {
        QString error;
        ASSERT_TRUE(SaveStayFile(Path, f, error)) << error.toStdString();
    }
    QByteArray Bytes() const
    {
        QFile f(Path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void Write(const QByteArray& bytes) const
    {
        QDir().mkpath(QFileInfo(Path).absolutePath());
        QFile::remove(Path); // a new file: ext4 flushes one truncated and rewritten
        QFile f(Path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
    // Loads the file, which must be Damaged: File stays as it was and Error
    // names the file and holds the reason.
    void ExpectDamaged(const QString& reason = {})
    {
        TStayFile file;
        file.Host = "untouched";
        QString error;
        ASSERT_EQ(LoadStayFile(Path, file, error), TStayLoad::Damaged);
        EXPECT_EQ(Describe(file), Describe(TStayFile{.Host = "untouched", .State = {}}));
        EXPECT_TRUE(error.startsWith(Path + ": ")) << error.toStdString();
        EXPECT_TRUE(error.contains(reason)) << error.toStdString();
    }

    QTemporaryDir Home;
    QString Path;
};

TEST_F(StayFile, LivesInTheDataHome)
{
    EXPECT_EQ(Path, Home.path() + "/NimboChat/stay-session");
}

TEST_F(StayFile, EveryByteComesBack)
{
    for (const TStayFile& saved : {Awkward(), TStayFile{}, TStayFile{.Host = "h", .Port = -1, .State = {}}}) {
        Save(saved);
        TStayFile loaded;
        QString error;
        ASSERT_EQ(LoadStayFile(Path, loaded, error), TStayLoad::Loaded) << error.toStdString();
        EXPECT_EQ(Describe(loaded), Describe(saved));
        EXPECT_EQ(error, "");
    }
}

TEST_F(StayFile, MissingFile)
{
    TStayFile file;
    QString error;
    EXPECT_EQ(LoadStayFile(Path, file, error), TStayLoad::Missing);
    EXPECT_EQ(error, "");
}

// The state holds the user's channel keys and conversations.
TEST_F(StayFile, TheFileAndItsFolderAreTheUsersAlone)
{
    Save(Awkward());
    EXPECT_EQ(Mode(QFileInfo(Path).absolutePath()), 0700u);
    EXPECT_EQ(Mode(Path), 0600u);

    ASSERT_EQ(::chmod(QFile::encodeName(Path).constData(), 0644), 0);
    Save(TStayFile{});
    EXPECT_EQ(Mode(Path), 0600u);
    // No temporary file is left beside it.
    EXPECT_EQ(QDir(QFileInfo(Path).absolutePath()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{"stay-session"});
}

TEST_F(StayFile, AFolderThatCannotBeWrittenIsReported)
{
    // The data home is a plain file, so nothing can be made below it (not
    // even by root, as tests may run).
    Write("a file");
    const QString blocked = Path + "/NimboChat/stay-session";
    QString error;
    EXPECT_FALSE(SaveStayFile(blocked, Awkward(), error));
    EXPECT_TRUE(error.startsWith(blocked + ": ")) << error.toStdString();
    EXPECT_EQ(Bytes(), "a file");
}

// A file cut off anywhere, or with any one byte changed, is found out.
TEST_F(StayFile, CutOrChangedFilesAreDamaged)
{
    Save(Awkward(8));
    const QByteArray good = Bytes();
    ASSERT_GT(good.size(), 1000);
    for (qsizetype length = 0; length < good.size(); ++length) {
        SCOPED_TRACE(length);
        Write(good.left(length));
        ExpectDamaged();
    }
    for (qsizetype at = 0; at < good.size(); ++at) {
        for (const char flip : {'\x01', '\x80'}) {
            SCOPED_TRACE(Hex(good.mid(at, 1).toStdString()) + " at " + std::to_string(at));
            QByteArray changed = good;
            changed[at] = static_cast<char>(changed[at] ^ flip);
            Write(changed);
            ExpectDamaged();
        }
    }
}

// Files that are no stay file of this version, and files whose checksum is
// right but whose counts and lengths are not: each loads as Damaged without
// reading or reserving past its bytes.
TEST_F(StayFile, ForeignAndAbsurdFilesAreDamaged)
{
    TStayFile none;
    none.State.CaseMapping.clear();
    none.State.ChanTypes.clear();
    Save(none);
    const QByteArray empty = Bytes(); // magic 16, version 4, nine u32 fields, SHA-256 32
    ASSERT_EQ(empty.size(), 16 + 4 + 9 * 4 + 32);
    const auto withU32 = [&](qsizetype at, std::uint32_t value) {
        QByteArray b = empty;
        PutU32(b, at, value);
        return Resealed(b);
    };
    QByteArray trailing = empty;
    trailing.insert(56, 'x');
    const struct {
        const char* Case;
        QByteArray Bytes;
        const char* Reason;
    } cases[] = {
        {"a text file", "REGEDIT4\n\n[HKEY_CURRENT_USER]\n", "not a NimboChat stay file"},
        {"a PNG", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "not a NimboChat stay file"},
        {"an empty file", "", "cut off"},
        {"line ends rewritten", QByteArray(empty).replace("\r\n", "\n"), "not a NimboChat stay file"},
        {"another version", withU32(16, 2), "version 2"},
        {"a host longer than the file", withU32(20, 0xFFFFFFFF), "contents"},
        {"a nick one byte longer than the file", withU32(28, 17), "contents"},
        {"channels beyond the file", withU32(44, 0xFFFFFFFF), "contents"},
        {"caps beyond the file", withU32(48, 2), "contents"},
        {"conversations beyond the file", withU32(52, 0x10000000), "contents"},
        {"bytes after the contents", Resealed(trailing), "contents"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        Write(c.Bytes);
        ExpectDamaged(c.Reason);
    }

    // A conversation that claims more lines than the bytes left can hold.
    TStayFile one;
    one.State.Conversations.push_back({"#c", {{"line", 1}}});
    Save(one);
    QByteArray lines = Bytes();
    PutU32(lines, 44 + 4 + 4 + 2, 0x7FFFFFFF); // after the count, the name's length and the name
    Write(Resealed(lines));
    ExpectDamaged("contents");
}

TEST_F(StayFile, OversizedFilesAndFoldersAreNotRead)
{
    Save(TStayFile{});
    ASSERT_TRUE(QFile::resize(Path, MaxStayFileBytes + 1)); // sparse: no disk is used
    ExpectDamaged("too large");

    ASSERT_TRUE(QFile::remove(Path));
    ASSERT_TRUE(QDir().mkpath(Path));
    ExpectDamaged("not a plain file");
}

TEST_F(StayFile, SetAsideKeepsTheBytesUnderANewName)
{
    const QRegularExpression name(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(Path) + R"(\.damaged-\d{8}-\d{6}(-\d+)?)"));
    QStringList asides;
    for (const QByteArray& bytes : {QByteArray("first\0\xff", 7), QByteArray("second")}) {
        Write(bytes);
        const QString aside = SetStayFileAside(Path);
        EXPECT_TRUE(name.match(aside).hasMatch()) << aside.toStdString();
        EXPECT_FALSE(QFileInfo::exists(Path));
        QFile f(aside);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(Hex(f.readAll().toStdString()), Hex(bytes.toStdString()));
        asides << aside;
    }
    EXPECT_NE(asides[0], asides[1]); // a name taken (in the same second) gets a number
    EXPECT_EQ(SetStayFileAside(Path), ""); // nothing left to move
}

TEST_F(StayFile, Remove)
{
    Save(Awkward());
    EXPECT_TRUE(RemoveStayFile(Path));
    EXPECT_FALSE(QFileInfo::exists(Path));
    EXPECT_TRUE(RemoveStayFile(Path)); // already gone
    Write("plain");
    EXPECT_FALSE(RemoveStayFile(Path + "/x")); // its folder is a file
}

} // namespace
