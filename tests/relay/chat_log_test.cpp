// The chat logs: which file each server and user line goes to and what it
// says there, in UTF-8 whatever the code it came in; names of any bytes
// never leave the logs folder; case-different names share a file; a new
// file at local midnight; a file that cannot be written is reported once,
// waits with its lines (bounded) and is written when it can be again, a
// write cut short by a full disk included.
#include "relay/chat_log.h"
#include "relay/chat_log_text.h"

#include "kanji/jis_utf8.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

// Printable ASCII as it is, a backslash doubled, every other byte as \xNN.
std::string Esc(const std::string& Bytes)
{
    std::string out;
    char hex[8];
    for (unsigned char b : Bytes) {
        std::snprintf(hex, sizeof hex, "\\x%02X", b);
        out += b == '\\' ? "\\\\" : b >= 0x20 && b < 0x7F ? std::string(1, static_cast<char>(b)) : hex;
    }
    return out;
}

::testing::AssertionResult SameBytes(const std::string& Got, const std::string& Want)
{
    if (Got == Want)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\n got: \"" << Esc(Got) << "\"\nwant: \"" << Esc(Want) << "\"";
}

// Every regular file below Root by its path from Root, with its content.
using TTree = std::map<std::string, std::string>;

TTree Tree(const QString& Root)
{
    TTree tree;
    const fs::path root(QFile::encodeName(Root).toStdString());
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(root, ec))
        if (entry.is_regular_file()) {
            QFile file(QFile::decodeName(QByteArray::fromStdString(entry.path().native())));
            EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << entry.path();
            tree[fs::relative(entry.path(), root).native()] = file.readAll().toStdString();
        }
    return tree;
}

::testing::AssertionResult SameFiles(const TTree& Got, const TTree& Want)
{
    if (Got == Want)
        return ::testing::AssertionSuccess();
    auto show = [](const TTree& Tree) {
        std::string out;
        for (const auto& [path, content] : Tree)
            out += "  " + Esc(path) + ": \"" + Esc(content) + "\"\n";
        return out;
    };
    return ::testing::AssertionFailure() << "\n got:\n" << show(Got) << "want:\n" << show(Want);
}

std::string ReadFile(const QString& Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>"s;
}

bool WriteFile(const QString& Path, const QByteArray& Bytes)
{
    QFile file(Path);
    return file.open(QIODevice::WriteOnly) && file.write(Bytes) == Bytes.size();
}

const AnsiString JisNihon = "#\33$BF|K\\\33(B"; // #日本 in JIS; 本 holds the byte 0x5C
const AnsiString JisHello = "\33$B$3$s$K$A$O\33(B"; // こんにちは
const AnsiString SjisHello = "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD";
const AnsiString EucHello = "\xA4\xB3\xA4\xF3\xA4\xCB\xA4\xC1\xA4\xCF";
const std::string Hello = "こんにちは";
const std::string Nimbo = "irc.example.net/#nimbo/2026-12-09.log";
const std::string Nihon = "irc.example.net/#日本/2026-12-09.log";
const std::string HanaFile = "irc.example.net/hana/2026-12-09.log";
const std::string Hana = ":hana!h@x ";
const QDateTime Evening(QDate(2026, 12, 9), QTime(23, 10, 5));

// One line of a file at 23:10:05.
std::string L(const std::string& Text)
{
    return "[23:10:05] " + Text + "\n";
}

// A log in a temporary folder for the user "taro" on irc.example.net, with a
// clock the test sets, keeping the reports.
class ChatLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        log.SetServer("irc.example.net");
    }
    QString Path(const std::string& Relative) const { return root + "/" + QString::fromStdString(Relative); }
    // hana is in #nimbo (given twice, in two cases) and #日本.
    void Server(const AnsiString& Line, TCaseMapping Mapping = TCaseMapping::Rfc1459)
    {
        log.FromServer(Line, "taro", Mapping, [](const AnsiString& Nick) {
            return Nick == "hana" ? std::vector<AnsiString> {"#nimbo", "#Nimbo", JisNihon} : std::vector<AnsiString> {};
        });
    }
    void User(const AnsiString& Line) { log.FromUser(Line, "taro", TCaseMapping::Rfc1459); }
    // What stands in the way of the server's folder: a file at its place.
    void Block() { ASSERT_TRUE(QDir().mkpath(root) && WriteFile(Path("irc.example.net"), "")); }
    void Unblock() { ASSERT_TRUE(QFile::remove(Path("irc.example.net"))); }

    QTemporaryDir dir;
    QString root = dir.path() + "/logs";
    QDateTime now = Evening;
    std::vector<QString> reports;
    TChatLog log {root, [this] { return now; }, [this](const QString& Line) { reports.push_back(Line); }};
};

// A line from the server (or the user) and the files it goes to, each
// getting Text.
struct TLineCase {
    const char* Name;
    bool FromUser;
    std::string Line;
    std::vector<std::string> Files;
    std::string Text;
};

void PrintTo(const TLineCase& Case, std::ostream* Out)
{
    *Out << Case.Name;
}

const bool S = false, U = true; // from the server, from the user

// clang-format off
const TLineCase Lines[] = {
    {"JIS channel and text", S, Hana + "PRIVMSG " + JisNihon + " :" + JisHello, {Nihon}, "<hana> " + Hello},
    {"Shift_JIS text", S, Hana + "PRIVMSG #nimbo :" + SjisHello, {Nimbo}, "<hana> " + Hello},
    {"EUC-JP text", S, Hana + "PRIVMSG #nimbo :" + EucHello, {Nimbo}, "<hana> " + Hello},
    {"UTF-8 text", S, Hana + "PRIVMSG #nimbo :" + Hello, {Nimbo}, "<hana> " + Hello},
    {"Shift_JIS channel name", S, Hana + "PRIVMSG #\x93\xFA\x96\x7B :x", {Nihon}, "<hana> x"},
    {"bytes of no code", S, Hana + "PRIVMSG #nimbo :abc \xFF\xFE def", {Nimbo}, "<hana> abc \\xFF\\xFE def"},
    {"UTF-8 cut in a character", S, Hana + "PRIVMSG #nimbo :" + Hello + "\xE3\x81", {Nimbo}, "<hana> " + Hello + "\\xE3\\x81"},
    {"Shift_JIS with a stray byte", S, Hana + "PRIVMSG #nimbo :\x82\xB1\x80\x82\xF1", {Nimbo}, "<hana> こ\\x80ん"},
    {"Shift_JIS half-width katakana", S, Hana + "PRIVMSG #nimbo :\x82\xB1\xB1", {Nimbo}, "<hana> こｱ"},
    {"JIS cell without a character", S, Hana + "PRIVMSG #nimbo :a\33$B)!\33(Bb", {Nimbo}, "<hana> a\\x29\\x21b"},
    {"control bytes", S, Hana + "PRIVMSG #nimbo :a\0b\rc\177d\33e"s, {Nimbo}, "<hana> a\\x00b\\x0Dc\\x7Fd\\x1Be"},
    {"formatting left out", S, Hana + "PRIVMSG #nimbo :\2bold\2 \3" "04,12red\3 \4" "FF00AAhex\17 \37u\35", {Nimbo}, "<hana> bold red hex u"},
    {"ACTION", S, Hana + "PRIVMSG #nimbo :\1ACTION waves\1", {Nimbo}, "* hana waves"},
    {"NOTICE", S, Hana + "NOTICE #nimbo :hi", {Nimbo}, "-hana- hi"},
    {"NOTICE to the channel's operators", S, Hana + "NOTICE @#nimbo :ops", {Nimbo}, "-hana- ops"},
    {"private message", S, Hana + "PRIVMSG taro :yo", {HanaFile}, "<hana> yo"},
    {"private message in capitals", S, ":HANA!h@x PRIVMSG Taro :yo", {HanaFile}, "<HANA> yo"},
    {"private ACTION", S, Hana + "PRIVMSG taro :\1ACTION bows\1", {HanaFile}, "* hana bows"},
    {"CTCP query", S, Hana + "PRIVMSG taro :\1VERSION\1", {HanaFile}, "-!- CTCP VERSION from hana"},
    {"CTCP reply", S, Hana + "NOTICE taro :\1VERSION irssi 1.4\1", {HanaFile}, "-!- CTCP VERSION reply from hana: irssi 1.4"},
    {"JOIN", S, ":hana!h@example.jp JOIN #nimbo", {Nimbo}, "-!- hana [h@example.jp] has joined #nimbo"},
    {"extended JOIN", S, Hana + "JOIN #nimbo hanaacct :Hana", {Nimbo}, "-!- hana [h@x] has joined #nimbo"},
    {"PART", S, Hana + "PART #nimbo", {Nimbo}, "-!- hana [h@x] has left #nimbo"},
    {"PART with a reason", S, Hana + "PART #nimbo :" + JisHello, {Nimbo}, "-!- hana [h@x] has left #nimbo [" + Hello + "]"},
    {"QUIT in each channel of the nick", S, Hana + "QUIT :bye", {Nimbo, Nihon}, "-!- hana [h@x] has quit [bye]"},
    {"NICK in each channel of the nick", S, Hana + "NICK hanako", {Nimbo, Nihon}, "-!- hana is now known as hanako"},
    {"NICK of a nick in no channel", S, ":jiro!j@x NICK saburo", {}, ""},
    {"KICK", S, Hana + "KICK #nimbo taro :" + SjisHello, {Nimbo}, "-!- taro was kicked from #nimbo by hana [" + Hello + "]"},
    {"TOPIC", S, Hana + "TOPIC " + JisNihon + " :" + JisHello, {Nihon}, "-!- hana changed the topic of #日本 to: " + Hello},
    {"TOPIC unset", S, Hana + "TOPIC #nimbo :", {Nimbo}, "-!- Topic unset by hana on #nimbo"},
    {"topic on joining", S, ":irc.example.net 332 taro #nimbo :" + JisHello, {Nimbo}, "-!- Topic for #nimbo: " + Hello},
    {"MODE", S, Hana + "MODE #nimbo +o taro", {Nimbo}, "-!- mode/#nimbo [+o taro] by hana"},
    {"MODE by the server", S, ":irc.example.net MODE #nimbo +nt", {Nimbo}, "-!- mode/#nimbo [+nt] by irc.example.net"},
    {"MODE of the user", S, ":taro MODE taro :+i", {}, ""},
    {"INVITE", S, Hana + "INVITE taro #nimbo", {HanaFile}, "-!- hana invites you to #nimbo"},
    {"INVITE of someone else", S, Hana + "INVITE jiro #nimbo", {Nimbo}, "-!- hana invited jiro into #nimbo"},
    {"tagged line", S, "@time=2026-12-09T14:10:05.000Z;msgid=a\\sb " + Hana + "PRIVMSG #nimbo :tagged", {Nimbo}, "<hana> tagged"},
    {"channel in capitals", S, Hana + "PRIVMSG #NIMBO :x", {Nimbo}, "<hana> x"},
    {"own line echoed", S, ":taro!t@x PRIVMSG #nimbo :mine", {}, ""},
    {"own line echoed in capitals", S, ":TARO!t@x NOTICE hana :mine", {}, ""},
    {"server notice", S, ":irc.example.net NOTICE taro :*** Looking up your hostname", {}, ""},
    {"notice before registration", S, "NOTICE AUTH :*** Checking ident", {}, ""},
    {"a numeric", S, ":irc.example.net 353 taro = #nimbo :taro hana", {}, ""},
    {"PING", S, "PING :irc.example.net", {}, ""},
    {"empty line", S, "", {}, ""},

    {"own line to a channel", U, "PRIVMSG #nimbo :hello", {Nimbo}, "<taro> hello"},
    {"own line to a nick", U, "PRIVMSG Hana :hi", {HanaFile}, "<taro> hi"},
    {"own line to several", U, "PRIVMSG #nimbo,hana :both", {Nimbo, HanaFile}, "<taro> both"},
    {"own JIS line", U, "PRIVMSG " + JisNihon + " :" + JisHello, {Nihon}, "<taro> " + Hello},
    {"own ACTION", U, "PRIVMSG #nimbo :\1ACTION waves\1", {Nimbo}, "* taro waves"},
    {"own NOTICE", U, "NOTICE hana :psst", {HanaFile}, "-taro- psst"},
    {"own CTCP reply", U, "NOTICE hana :\1VERSION NimboChat\1", {HanaFile}, "-!- CTCP VERSION reply from taro: NimboChat"},
    {"own tagged line", U, "@label=1 PRIVMSG #nimbo :tagged", {Nimbo}, "<taro> tagged"},
    {"own JOIN waits for the server", U, "JOIN #nimbo", {}, ""},
    {"own QUIT", U, "QUIT :bye", {}, ""},
};
// clang-format on

class LineTest : public ChatLogTest, public ::testing::WithParamInterface<TLineCase> { };

TEST_P(LineTest, GoesToItsFileAsUtf8)
{
    const TLineCase& c = GetParam();
    if (c.FromUser)
        User(c.Line);
    else
        Server(c.Line);
    log.Flush();
    TTree want;
    for (const std::string& file : c.Files)
        want[file] = L(c.Text);
    EXPECT_TRUE(SameFiles(Tree(root), want)) << Esc(c.Line);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(log.Waiting(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ChatLog, LineTest, ::testing::ValuesIn(Lines), [](const auto& Info) {
    std::string name;
    for (char c : std::string(Info.param.Name))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

TEST_F(ChatLogTest, OwnLineIsWrittenOnceWhenTheServerEchoesIt)
{
    User("PRIVMSG #nimbo :once");
    Server(":taro!t@x PRIVMSG #nimbo :once");
    User("PRIVMSG taro :to myself");
    Server(":taro!t@x PRIVMSG taro :to myself");
    log.Flush();
    EXPECT_TRUE(SameFiles(Tree(root),
                          {{Nimbo, L("<taro> once")}, {"irc.example.net/taro/2026-12-09.log", L("<taro> to myself")}}));
}

TEST_F(ChatLogTest, NickAndQuitReachThePrivateConversation)
{
    Server(Hana + "PRIVMSG taro :yo");
    Server(Hana + "NICK hanako");
    Server(":hanako!h@x QUIT :bye"); // in no channel, no conversation
    log.Flush();
    const std::string nick = L("-!- hana is now known as hanako");
    EXPECT_TRUE(SameFiles(Tree(root), {{Nimbo, nick}, {Nihon, nick}, {HanaFile, L("<hana> yo") + nick}}));
}

TEST_F(ChatLogTest, LinesWaitInMemoryUntilFlushOrTheEnd)
{
    Server(Hana + "PRIVMSG #nimbo :one");
    User("PRIVMSG #nimbo :two");
    EXPECT_FALSE(QFileInfo::exists(root));
    EXPECT_EQ(log.Waiting(), 2 * L("<hana> one").size());
    log.Flush();
    EXPECT_TRUE(SameBytes(ReadFile(Path(Nimbo)), L("<hana> one") + L("<taro> two")));
    EXPECT_EQ(log.Waiting(), 0u);
    {
        TChatLog last(root, [this] { return now; }, {});
        last.SetServer("irc.example.net");
        last.FromServer(Hana + "PRIVMSG #nimbo :three", "taro", TCaseMapping::Rfc1459, {});
        last.SetServer("IRC.Other.net"); // taken lines keep their server
        last.FromServer(Hana + "PRIVMSG #nimbo :four", "taro", TCaseMapping::Rfc1459, {});
    } // and are written at the end
    EXPECT_TRUE(SameFiles(Tree(root), {{Nimbo, L("<hana> one") + L("<taro> two") + L("<hana> three")},
                                       {"IRC.Other.net/#nimbo/2026-12-09.log", L("<hana> four")}}));
}

TEST_F(ChatLogTest, NothingIsWrittenWithoutAServer)
{
    TChatLog fresh(root, [this] { return now; }, {});
    fresh.FromServer(Hana + "PRIVMSG #nimbo :lost", "taro", TCaseMapping::Rfc1459, {});
    fresh.SetServer("");
    fresh.FromUser("PRIVMSG #nimbo :lost", "taro", TCaseMapping::Rfc1459);
    fresh.Flush();
    EXPECT_FALSE(QFileInfo::exists(root));
}

TEST_F(ChatLogTest, FilesAndFoldersAreTheUsersAlone)
{
    Server(Hana + "PRIVMSG #nimbo :private");
    log.Flush();
    auto mode = [&](const std::string& Relative) {
        struct stat st { };
        return ::stat(QFile::encodeName(Path(Relative)).constData(), &st) == 0 ? st.st_mode & 07777 : 01;
    };
    EXPECT_EQ(mode(""), 0700u);
    EXPECT_EQ(mode("irc.example.net"), 0700u);
    EXPECT_EQ(mode("irc.example.net/#nimbo"), 0700u);
    EXPECT_EQ(mode(Nimbo), 0600u);
    // The test main points XDG_DATA_HOME at a temporary folder.
    EXPECT_EQ(TChatLog::DefaultRoot(), qEnvironmentVariable("XDG_DATA_HOME") + "/NimboChat/logs");
}

TEST_F(ChatLogTest, ANewFileStartsAtLocalMidnight)
{
    now = QDateTime(QDate(2026, 12, 8), QTime(23, 59, 59));
    Server(Hana + "PRIVMSG #nimbo :before");
    now = QDateTime(QDate(2026, 12, 9), QTime(0, 0, 0));
    Server(Hana + "PRIVMSG #nimbo :after");
    log.Flush();
    now = QDateTime(QDate(2026, 12, 9), QTime(0, 0, 1));
    Server(Hana + "PRIVMSG #nimbo :later");
    log.Flush();
    EXPECT_TRUE(SameFiles(Tree(root), {{"irc.example.net/#nimbo/2026-12-08.log", "[23:59:59] <hana> before\n"},
                                       {Nimbo, "[00:00:00] <hana> after\n[00:00:01] <hana> later\n"}}));
}

// ---- names ----------------------------------------------------------------------

// clang-format off
const std::pair<std::string, std::string> Names[] = {
    {"#nimbo", "#nimbo"}, {"#[Nimbo]", "#[Nimbo]"}, {"a.b", "a.b"},
    {JisNihon, "#日本"}, {"#\x93\xFA\x96\x7B", "#日本"}, {"#\xC6\xFC\xCB\xDC", "#日本"}, {"#日本", "#日本"},
    {"#a/b", "#a%2Fb"}, {"#a%2Fb", "#a%252Fb"}, {"#a\\b", "#a%5Cb"}, {"#../../x", "#..%2F..%2Fx"},
    {".", "%2E"}, {"..", "%2E."}, {".hidden", "%2Ehidden"}, {"", "%"}, {"%", "%25"},
    {"#a\0b"s, "#a%00b"}, {"\1\n\r\37", "%01%0A%0D%1F"}, {"#a\177", "#a%7F"}, {"#\xFF", "#%FF"},
    {"#\xC2\x85", "#%C2%85"}, {"#a\u202Eb", "#a%E2%80%AEb"}, {"#\33$B)!\33(B", "#%29%21"},
};
// clang-format on

TEST(ChatLogNames, AreReadableEscapedUniqueAndReversible)
{
    std::set<QString> seen;
    for (const auto& [name, want] : Names) {
        const QString file = TChatLog::SafeName(name);
        EXPECT_TRUE(SameBytes(file.toStdString(), want)) << Esc(name);
        // The same text in other codes is one name: #日本 is here four times.
        EXPECT_TRUE(seen.insert(file).second || want == "#日本") << Esc(name);
        // %NN back to its bytes gives the name's text.
        if (!name.empty()) {
            EXPECT_TRUE(SameBytes(QByteArray::fromPercentEncoding(file.toUtf8()).toStdString(),
                                  want == "#日本"           ? want
                                  : name == "#\33$B)!\33(B" ? "#)!"
                                                            : name));
        }
    }
}

TEST(ChatLogNames, LongNamesAreCutWithAHashAndStayUnique)
{
    const std::string ascii = "#" + std::string(299, 'a'), controls = "#" + std::string(299, '\1');
    std::string kanji = "#", escaped = "#";
    while (kanji.size() < 300)
        kanji += "日";
    for (int i = 0; i < 299; ++i)
        escaped += "%01";
    // Each name with its whole escaped form.
    const std::pair<std::string, std::string> names[] = {
        {ascii, ascii},
        {ascii.substr(0, 299) + "b", ascii.substr(0, 299) + "b"},
        {kanji, kanji},
        {controls, escaped},
        {controls.substr(0, 299) + "\2", escaped.substr(0, escaped.size() - 3) + "%02"}};
    std::set<QString> seen;
    for (const auto& [name, whole] : names) {
        SCOPED_TRACE(Esc(name));
        const QString file = TChatLog::SafeName(name);
        const std::string bytes = file.toStdString();
        ASSERT_LE(bytes.size(), MaxLogNameBytes);
        ASSERT_GT(bytes.size(), MaxLogNameBytes - 4); // short by at most a character or an escape
        const std::string head = bytes.substr(0, bytes.size() - 18), tail = bytes.substr(bytes.size() - 18);
        EXPECT_TRUE(SameBytes(head, whole.substr(0, head.size())));
        EXPECT_TRUE(IsUtf8(head) && head.find("%+") == std::string::npos && (name[1] != '\1' || head.size() % 3 == 1))
            << Esc(head);
        const auto hash = QCryptographicHash::hash(QByteArray::fromStdString(whole), QCryptographicHash::Sha256);
        EXPECT_EQ(tail, "%+" + hash.toHex().left(16).toStdString());
        EXPECT_TRUE(seen.insert(file).second);
    }
    const std::string fits = "#" + std::string(MaxLogNameBytes - 1, 'a');
    EXPECT_EQ(TChatLog::SafeName(fits).toStdString(), fits);
    EXPECT_NE(TChatLog::SafeName(fits + "a").toStdString(), fits + "a");
}

TEST(ChatLogNames, FolderFoldsCaseByTheServerRules)
{
    EXPECT_EQ(LogFolderName("#NimBo", TCaseMapping::Rfc1459), "#nimbo");
    EXPECT_EQ(LogFolderName("#[A]\\^", TCaseMapping::Rfc1459), "#{a}|~");
    EXPECT_EQ(LogFolderName("#[A]\\^", TCaseMapping::StrictRfc1459), "#{a}|^");
    EXPECT_EQ(LogFolderName("#[A]\\^", TCaseMapping::Ascii), "#[a]%5C^");
    // 本 is 0x4B 0x5C in JIS: its bytes are not folded as a backslash would be.
    EXPECT_EQ(LogFolderName(JisNihon + "ABC", TCaseMapping::Rfc1459), "#日本abc");
}

TEST_F(ChatLogTest, NamesDifferentInCaseShareOneFile)
{
    Server(Hana + "PRIVMSG #Nimbo :1");
    Server(Hana + "PRIVMSG #NIMBO :2");
    User("PRIVMSG #nimbo :3");
    Server(":Hana!h@x PRIVMSG taro :4");
    User("PRIVMSG HANA :5");
    Server(Hana + "PRIVMSG #[x] :6");
    Server(Hana + "PRIVMSG #{X} :7");
    log.Flush();
    EXPECT_TRUE(SameFiles(Tree(root), {{Nimbo, L("<hana> 1") + L("<hana> 2") + L("<taro> 3")},
                                       {HanaFile, L("<Hana> 4") + L("<taro> 5")},
                                       {"irc.example.net/#{x}/2026-12-09.log", L("<hana> 6") + L("<hana> 7")}}));
}

TEST_F(ChatLogTest, HostileNamesStayInsideTheLogsFolder)
{
    const std::vector<AnsiString> hostile = {"#../../x",
                                             "#a/b",
                                             "..",
                                             ".",
                                             "/",
                                             "#" + std::string(300, 'x'),
                                             "#\1\n\r",
                                             "#a\0b"s,
                                             "#\xFF/..",
                                             "../../../tmp",
                                             "#\33$B)!\33(B/..",
                                             "\33(B..\33(B"};
    for (const AnsiString& host : {"irc.example.net"s, "../up"s, ".."s, "a/../../b"s}) {
        log.SetServer(host);
        for (const AnsiString& name : hostile) {
            Server(Hana + "PRIVMSG " + name + " :to " + name);
            Server(":" + name + "!u@x PRIVMSG taro :from " + name);
            User("PRIVMSG " + name + " :mine");
        }
    }
    log.Flush();
    EXPECT_TRUE(reports.empty());

    const fs::path top(QFile::encodeName(dir.path()).toStdString()), logs = fs::canonical(top / "logs");
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        SCOPED_TRACE(Esc(entry.path().native()));
        const fs::path relative = fs::canonical(entry.path()).lexically_relative(logs);
        ASSERT_FALSE(entry.is_symlink() || relative.empty() || *relative.begin() == "..");
        size_t depth = 0;
        for (const fs::path& part : relative) {
            // Not empty, ".", ".." or hidden; no "/" or control byte; UTF-8, within the limit.
            const std::string name = part.native();
            ++depth;
            EXPECT_TRUE(name == "." ||
                        (!name.empty() && name[0] != '.' && name.size() <= MaxLogNameBytes && IsUtf8(name) &&
                         std::none_of(name.begin(), name.end(),
                                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })))
                << Esc(name);
        }
        if (entry.is_regular_file()) {
            ++files;
            EXPECT_EQ(depth, 3u);
            EXPECT_EQ(relative.filename(), "2026-12-09.log");
        }
    }
    // Four servers, each with a folder for each name; nothing merged by a
    // path trick. A JIS name holding 0x21 ("!") as a nick ends at that byte,
    // as IRC reads a prefix.
    std::set<QString> folders = {"hana"}; // the sender of the lines to names that are no channel
    for (const AnsiString& name : hostile) {
        folders.insert(LogFolderName(name, TCaseMapping::Rfc1459));
        folders.insert(LogFolderName(ParseIrcLine(":" + name + "!u@x PRIVMSG taro :x").Nick(), TCaseMapping::Rfc1459));
    }
    EXPECT_EQ(files, 4 * folders.size());
}

TEST_F(ChatLogTest, ASymbolicLinkAtTheFileIsNotFollowed)
{
    ASSERT_TRUE(QDir().mkpath(Path("irc.example.net/#nimbo")));
    const QString victim = dir.path() + "/victim";
    ASSERT_TRUE(WriteFile(victim, "untouched\n") && QFile::link(victim, Path(Nimbo)));
    Server(Hana + "PRIVMSG #nimbo :x");
    log.Flush();
    EXPECT_TRUE(SameBytes(ReadFile(victim), "untouched\n"));
    EXPECT_EQ(reports.size(), 1u);
}

// ---- files that cannot be written -------------------------------------------------

TEST_F(ChatLogTest, AFileInTheWayIsReportedOnceAndTheLinesComeLater)
{
    Block();
    Server(Hana + "PRIVMSG #nimbo :1");
    log.SetServer("other.example.net");
    Server(Hana + "PRIVMSG #nimbo :elsewhere");
    log.Flush();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].contains(Path(Nimbo)) && reports[0].contains(QString::fromUtf8("書き込めません")))
        << reports[0].toStdString();
    // Only that file stopped.
    EXPECT_TRUE(SameBytes(ReadFile(Path("other.example.net/#nimbo/2026-12-09.log")), L("<hana> elsewhere")));

    log.SetServer("irc.example.net");
    Server(Hana + "PRIVMSG #nimbo :2");
    log.Flush(); // within the wait: not tried
    log.SetRetryWait(std::chrono::milliseconds(0));
    log.Flush(); // tried again, still in the way: no second report
    Server(Hana + "PRIVMSG #nimbo :3");
    log.Flush();
    EXPECT_EQ(reports.size(), 1u);

    Unblock();
    log.SetRetryWait(std::chrono::seconds(30));
    log.Flush(); // the wait counts from the last try
    EXPECT_FALSE(QFileInfo::exists(Path(Nimbo)));
    log.SetRetryWait(std::chrono::milliseconds(0));
    log.Flush();
    EXPECT_TRUE(SameBytes(ReadFile(Path(Nimbo)), L("<hana> 1") + L("<hana> 2") + L("<hana> 3")));
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(log.Waiting(), 0u);

    // A new failure after it was written again is a new report.
    ASSERT_TRUE(QDir(Path("irc.example.net")).removeRecursively());
    Block();
    Server(Hana + "PRIVMSG #nimbo :4");
    log.Flush();
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(ChatLogTest, EachFileThatCannotBeWrittenIsReportedOnce)
{
    ASSERT_TRUE(WriteFile(root, "a file where the logs folder goes\n"));
    Server(Hana + "PRIVMSG #nimbo :1");
    Server(Hana + "PRIVMSG #other :2");
    log.Flush();
    log.Flush();
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(ChatLogTest, WaitingLinesAreBoundedAndTheLossIsNoted)
{
    log.SetBufferLimit(100);
    Block();
    for (int i = 0; i < 10; ++i) // 21 bytes each: four fit
        Server(Hana + "PRIVMSG #nimbo :l" + std::to_string(i));
    EXPECT_EQ(log.Waiting(), 84u);
    log.Flush();
    Server(Hana + "PRIVMSG #nimbo :l10");
    Unblock();
    log.SetRetryWait(std::chrono::milliseconds(0));
    now = Evening.addSecs(60);
    log.Flush();
    EXPECT_TRUE(
        SameBytes(ReadFile(Path(Nimbo)), "[23:11:05] -!- NimboChat: ログを書けなかった間に 7 行が失われました\n" +
                                             L("<hana> l7") + L("<hana> l8") + L("<hana> l9") + L("<hana> l10")));
    EXPECT_EQ(reports.size(), 1u);
}

TEST_F(ChatLogTest, AllWaitingLinesAreBoundedTheLargestFileGivingWay)
{
    log.SetTotalLimit(105); // five lines of 21 bytes
    Block();
    for (int i = 0; i < 6; ++i)
        Server(Hana + "PRIVMSG #z :z" + std::to_string(i));
    log.Flush();
    Server(Hana + "PRIVMSG #a :a0");
    Server(Hana + "PRIVMSG #a :a1");
    EXPECT_EQ(log.Waiting(), 105u);
    Unblock();
    log.SetRetryWait(std::chrono::milliseconds(0));
    log.Flush();
    EXPECT_TRUE(SameFiles(Tree(root), {{"irc.example.net/#a/2026-12-09.log", L("<hana> a0") + L("<hana> a1")},
                                       {"irc.example.net/#z/2026-12-09.log",
                                        L("-!- NimboChat: ログを書けなかった間に 3 行が失われました") + L("<hana> z3") +
                                            L("<hana> z4") + L("<hana> z5")}}));
}

TEST_F(ChatLogTest, TheLastTryAtTheEndReportsNothing)
{
    Block();
    {
        TChatLog last(
            root, [this] { return now; }, [this](const QString& Line) { reports.push_back(Line); });
        last.SetServer("irc.example.net");
        last.FromServer(Hana + "PRIVMSG #nimbo :x", "taro", TCaseMapping::Rfc1459, {});
    }
    EXPECT_TRUE(reports.empty());
}

// A full disk: in a child process, the file may grow to Limit bytes
// (RLIMIT_FSIZE, SIGXFSZ ignored: writes past it fail with EFBIG as they
// would with ENOSPC). Scenario runs there with the limit set and may lift it;
// its result is the child's exit status, -1 when the child did not end.
int InAChildWithAFileLimit(rlim_t Limit, const std::function<int(rlimit Lifted)>& Scenario)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lifted {}, limited {};
        ::getrlimit(RLIMIT_FSIZE, &lifted);
        limited = lifted;
        limited.rlim_cur = Limit;
        ::_exit(::setrlimit(RLIMIT_FSIZE, &limited) == 0 ? Scenario(lifted) : 99);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ChatLogTest, AWriteCutShortByAFullDiskGoesOnWhereItStopped)
{
    // Three lines of 21 bytes: the third is cut after 8 bytes. The child's
    // status: the reports, 90 when the file was not cut as it should be.
    const int status = InAChildWithAFileLimit(50, [this](rlimit Lifted) {
        for (int i = 0; i < 3; ++i)
            Server(Hana + "PRIVMSG #nimbo :l" + std::to_string(i));
        log.Flush();
        if (ReadFile(Path(Nimbo)) != L("<hana> l0") + L("<hana> l1") + "[23:10:0")
            return 90;
        Server(Hana + "PRIVMSG #nimbo :l3");
        log.SetRetryWait(std::chrono::milliseconds(0));
        log.Flush(); // still full
        ::setrlimit(RLIMIT_FSIZE, &Lifted);
        log.Flush();
        return static_cast<int>(reports.size() + log.Waiting());
    });
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(SameBytes(ReadFile(Path(Nimbo)), L("<hana> l0") + L("<hana> l1") + L("<hana> l2") + L("<hana> l3")));
}

TEST_F(ChatLogTest, TheRestOfACutLineGivingWayEndsThatLine)
{
    const int status = InAChildWithAFileLimit(50, [this](rlimit Lifted) {
        for (int i = 0; i < 3; ++i)
            Server(Hana + "PRIVMSG #nimbo :l" + std::to_string(i));
        log.Flush(); // l2 cut after 8 bytes, 13 wait
        log.SetBufferLimit(50);
        Server(Hana + "PRIVMSG #nimbo :l3");
        Server(Hana + "PRIVMSG #nimbo :l4"); // 55 bytes: the rest of l2 gives way
        log.SetRetryWait(std::chrono::milliseconds(0));
        log.Flush(); // still full: the line end and the note wait too
        rlimit room = Lifted;
        room.rlim_cur = 51;
        ::setrlimit(RLIMIT_FSIZE, &room);
        log.Flush(); // room for the line end alone
        room.rlim_cur = 60;
        ::setrlimit(RLIMIT_FSIZE, &room);
        log.Flush(); // and for 9 bytes of the note
        ::setrlimit(RLIMIT_FSIZE, &Lifted);
        log.Flush();
        return static_cast<int>(reports.size() + log.Waiting());
    });
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(SameBytes(ReadFile(Path(Nimbo)), L("<hana> l0") + L("<hana> l1") + "[23:10:0\n[23:10:05\n" +
                                                     L("-!- NimboChat: ログを書けなかった間に 1 行が失われました") +
                                                     L("<hana> l3") + L("<hana> l4")));
}

// ---- text ------------------------------------------------------------------------

// clang-format off
const std::pair<std::string, std::string> Texts[] = {
    {"plain", "plain"}, {JisHello, Hello}, {SjisHello, Hello}, {EucHello, Hello},
    {"\33(I12\33(B", "ｱｲ"},                         // half-width katakana in JIS
    {"\xA4\xB3\x8E\xB1", "こｱ"},                     // and in EUC-JP
    {"\xA4\xB3\x8F\xB0\xA1", "こ\\x8F\\xB0\\xA1"},   // JIS X 0212 in EUC-JP
    {"\x82\xB1\xF0\x40", "こ\\xF0\\x40"},            // a user-defined Shift_JIS character
    {"\x82\xB1\xFA\x40", "こ\\xFA\\x40"},            // an IBM extension character
    {JisHello + " \xC3\xA9", Hello + " é"},          // UTF-8 among JIS
    {JisHello + " \xFF", Hello + " \\xFF"},
    {"\33$B-!\33(B", "①"},                           // NEC row 13, as CP932 has it
    {"\33$B!A\33(B", "〜"},
    {"\33$Bu!\33(B", "\\x75\\x21"},                  // a row without characters
    {"\33$B$3", "こ"}, {"\33$B$", "\\x24"}, {"\33$", "\\x1B$"},
    {"\xC2\x85", "\\xC2\\x85"}, {"a\tb", "a\tb"},
    {"\3" "4red \3" "04,1x \3,5y", "red x ,5y"}, {"\4" "FF00FF,00FF00p", "p"},
};
// clang-format on

TEST(ChatLogText, IsUtf8WithBytesOfNoCodeVisible)
{
    for (const auto& [bytes, text] : Texts)
        EXPECT_TRUE(SameBytes(LogText(bytes), text)) << Esc(bytes);
}

} // namespace
