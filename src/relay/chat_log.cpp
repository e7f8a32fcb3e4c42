#include "relay/chat_log.h"

#include "relay/chat_log_text.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::vector<AnsiString> SplitList(const AnsiString& List)
{
    std::vector<AnsiString> items;
    size_t from = 0;
    for (;;) {
        const size_t comma = List.find(',', from);
        AnsiString item = List.substr(from, comma == AnsiString::npos ? AnsiString::npos : comma - from);
        if (!item.empty())
            items.push_back(std::move(item));
        if (comma == AnsiString::npos)
            return items;
        from = comma + 1;
    }
}

// A message target less the status prefixes of a message to a channel's
// operators ("@#chan", "%#chan"): the channel it is read in.
AnsiString Conversation(AnsiString Target)
{
    while (Target.size() > 1 && (Target[0] == '@' || Target[0] == '%') && IsChannelName(Target.substr(1)))
        Target.erase(0, 1);
    return Target;
}

// A prefix that names a user, not a server: "nick!user@host", or a bare
// name without the dot every server name has.
bool NamesUser(const TIrcMessage& M)
{
    return !M.Prefix.empty() && (M.FromUser() || M.Prefix.find('.') == AnsiString::npos);
}

std::string UserHost(const TIrcMessage& M)
{
    const size_t bang = M.Prefix.find('!');
    return bang == AnsiString::npos ? std::string() : " [" + LogText(M.Prefix.substr(bang + 1)) + "]";
}

// " [reason]" when the parameter is there.
std::string Reason(const TIrcMessage& M, size_t Index)
{
    return M.Params.size() > Index ? " [" + LogText(M.Params[Index]) + "]" : std::string();
}

// The text of a PRIVMSG or NOTICE from Who, CTCP included.
std::string MessageLine(bool Notice, const std::string& Who, const AnsiString& Text)
{
    if (Text.empty() || Text[0] != '\x01')
        return Notice ? "-" + Who + "- " + LogText(Text) : "<" + Who + "> " + LogText(Text);
    AnsiString body = Text.substr(1);
    if (!body.empty() && body.back() == '\x01')
        body.pop_back();
    const size_t blank = body.find(' ');
    AnsiString verb = body.substr(0, blank);
    for (char& c : verb)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    const AnsiString args = blank == AnsiString::npos ? AnsiString() : body.substr(blank + 1);
    if (verb == "ACTION")
        return "* " + Who + (args.empty() ? "" : " " + LogText(args));
    if (Notice)
        return "-!- CTCP " + LogText(verb) + " reply from " + Who + (args.empty() ? "" : ": " + LogText(args));
    return "-!- CTCP " + LogText(verb) + (args.empty() ? "" : " " + LogText(args)) + " from " + Who;
}

// Makes the folder and those above it that are missing (0700). 0, or the
// errno of what failed; a file where a folder should be is ENOTDIR.
int MakeFolders(const QByteArray& Folder)
{
    auto isFolder = [&] {
        struct stat st { };
        return ::stat(Folder.constData(), &st) == 0 && S_ISDIR(st.st_mode);
    };
    if (::mkdir(Folder.constData(), 0700) == 0)
        return 0;
    if (errno == EEXIST)
        return isFolder() ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    const qsizetype slash = Folder.lastIndexOf('/');
    if (slash <= 0)
        return ENOENT;
    if (const int error = MakeFolders(Folder.left(slash)))
        return error;
    if (::mkdir(Folder.constData(), 0700) == 0 || (errno == EEXIST && isFolder()))
        return 0;
    return errno;
}

// Writes as much of the bytes as the file takes; errno is set when not all.
size_t WriteAll(int Fd, const char* Bytes, size_t Size)
{
    size_t done = 0;
    while (done < Size) {
        const ssize_t n = ::write(Fd, Bytes + done, Size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

QString Reason(int Error)
{
    return QString::fromLocal8Bit(std::strerror(Error));
}

} // namespace

TChatLog::TChatLog(QString Root, TClock Clock, TReport Report)
    : FRoot(std::move(Root))
    , FClock(std::move(Clock))
    , FReport(std::move(Report))
{
}

TChatLog::~TChatLog()
{
    FReporting = false;
    FlushFiles(true);
}

QString TChatLog::DefaultRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/NimboChat/logs");
}

QString TChatLog::SafeName(const AnsiString& Name)
{
    return LogFileName(Name);
}

void TChatLog::SetServer(const AnsiString& Host)
{
    FServer = Host.empty() ? QString() : LogFileName(Host);
}

TChatLog::TStamp TChatLog::Now() const
{
    const QDateTime now = FClock ? FClock() : QDateTime::currentDateTime();
    const QDate date = now.date();
    const QTime time = now.time();
    char day[16], clock[16];
    std::snprintf(day, sizeof day, "%04d-%02d-%02d", date.year(), date.month(), date.day());
    std::snprintf(clock, sizeof clock, "[%02d:%02d:%02d] ", time.hour(), time.minute(), time.second());
    return {QString::fromLatin1(day), clock};
}

void TChatLog::Write(const AnsiString& Conversation, TCaseMapping Mapping, const TStamp& Stamp, const std::string& Text,
                     bool Private)
{
    if (Conversation.empty())
        return;
    const QString folder = FServer + QLatin1Char('/') + LogFolderName(Conversation, Mapping);
    if (Private && FPrivate.insert(folder).second && FPrivate.size() > MaxPrivate)
        FPrivate = {folder};
    TFile& file = FFiles[folder + QLatin1Char('/') + Stamp.Day + QStringLiteral(".log")];
    const size_t before = file.Size();
    file.Data += Stamp.Time;
    file.Data += Text;
    file.Data += '\n';
    FWaiting += file.Size() - before;
    Bound(file);
}

void TChatLog::WriteTo(const std::vector<AnsiString>& Channels, const AnsiString& Nick, TCaseMapping Mapping,
                       const TStamp& Stamp, const std::string& Text)
{
    std::set<QString> written;
    for (const AnsiString& channel : Channels)
        if (written.insert(LogFolderName(channel, Mapping)).second)
            Write(channel, Mapping, Stamp, Text);
    const QString query = LogFolderName(Nick, Mapping);
    if (!written.count(query) && FPrivate.count(FServer + QLatin1Char('/') + query))
        Write(Nick, Mapping, Stamp, Text, true);
}

void TChatLog::FromServer(const AnsiString& Line, const AnsiString& OwnNick, TCaseMapping Mapping,
                          const TChannelsOf& ChannelsOf)
{
    if (FServer.isEmpty())
        return;
    const TIrcMessage m = ParseIrcLine(Line);
    const AnsiString& command = m.Command;
    const AnsiString nick = m.Nick();
    const std::string who = LogText(nick);
    const bool own = !nick.empty() && FoldName(nick, Mapping) == FoldName(OwnNick, Mapping);

    if (command == "PRIVMSG" || command == "NOTICE") {
        // The user's own lines are written from FromUser.
        if (own || m.Params.empty())
            return;
        const TStamp stamp = Now();
        const std::string text = MessageLine(command == "NOTICE", who, m.Param(1));
        for (const AnsiString& target : SplitList(m.Param(0))) {
            const AnsiString conversation = Conversation(target);
            if (IsChannelName(conversation))
                Write(conversation, Mapping, stamp, text);
            else if (NamesUser(m))
                Write(nick, Mapping, stamp, text, true);
        }
    } else if (command == "JOIN" || command == "PART") {
        const TStamp stamp = Now();
        for (const AnsiString& channel : SplitList(m.Param(0))) {
            const std::string where = LogText(channel);
            Write(channel, Mapping, stamp,
                  command == "JOIN" ? "-!- " + who + UserHost(m) + " has joined " + where
                                    : "-!- " + who + UserHost(m) + " has left " + where + Reason(m, 1));
        }
    } else if (command == "QUIT" || command == "NICK") {
        const std::vector<AnsiString> channels = ChannelsOf ? ChannelsOf(nick) : std::vector<AnsiString>();
        const std::string text = command == "QUIT" ? "-!- " + who + UserHost(m) + " has quit" + Reason(m, 0)
                                                   : "-!- " + who + " is now known as " + LogText(m.Param(0));
        WriteTo(channels, nick, Mapping, Now(), text);
    } else if (command == "KICK") {
        const TStamp stamp = Now();
        for (const AnsiString& victim : SplitList(m.Param(1)))
            Write(m.Param(0), Mapping, stamp,
                  "-!- " + LogText(victim) + " was kicked from " + LogText(m.Param(0)) + " by " + who + Reason(m, 2));
    } else if (command == "TOPIC") {
        const std::string where = LogText(m.Param(0));
        Write(m.Param(0), Mapping, Now(),
              m.Param(1).empty() ? "-!- Topic unset by " + who + " on " + where
                                 : "-!- " + who + " changed the topic of " + where + " to: " + LogText(m.Param(1)));
    } else if (command == "332") {
        Write(m.Param(1), Mapping, Now(), "-!- Topic for " + LogText(m.Param(1)) + ": " + LogText(m.Param(2)));
    } else if (command == "MODE") {
        if (!IsChannelName(m.Param(0)))
            return;
        AnsiString modes;
        for (size_t i = 1; i < m.Params.size(); ++i)
            modes += (i > 1 ? " " : "") + m.Params[i];
        Write(m.Param(0), Mapping, Now(), "-!- mode/" + LogText(m.Param(0)) + " [" + LogText(modes) + "] by " + who);
    } else if (command == "INVITE") {
        const std::string where = LogText(m.Param(1));
        if (FoldName(m.Param(0), Mapping) == FoldName(OwnNick, Mapping)) {
            if (NamesUser(m))
                Write(nick, Mapping, Now(), "-!- " + who + " invites you to " + where, true);
        } else {
            // invite-notify: someone else was invited into a channel of ours.
            Write(m.Param(1), Mapping, Now(), "-!- " + who + " invited " + LogText(m.Param(0)) + " into " + where);
        }
    }
}

void TChatLog::FromUser(const AnsiString& Line, const AnsiString& OwnNick, TCaseMapping Mapping)
{
    if (FServer.isEmpty())
        return;
    const TIrcMessage m = ParseIrcLine(Line);
    if ((m.Command != "PRIVMSG" && m.Command != "NOTICE") || m.Params.empty())
        return;
    const TStamp stamp = Now();
    const std::string text = MessageLine(m.Command == "NOTICE", LogText(OwnNick), m.Param(1));
    for (const AnsiString& target : SplitList(m.Param(0))) {
        const AnsiString conversation = Conversation(target);
        Write(conversation, Mapping, stamp, text, !IsChannelName(conversation));
    }
}

void TChatLog::DropOldest(TFile& File)
{
    const size_t end = File.Data.find('\n', File.Head);
    const size_t next = end == std::string::npos ? File.Data.size() : end + 1;
    FWaiting -= next - File.Head;
    File.Head = next;
    if (File.StartsMidLine) {
        File.CutLine = true;
        File.StartsMidLine = false;
    }
    ++File.Dropped;
    if (File.Head == File.Data.size()) {
        File.Data.clear();
        File.Head = 0;
    } else if (File.Head >= 64 * 1024 && File.Head * 2 >= File.Data.size()) {
        File.Data.erase(0, File.Head);
        File.Head = 0;
    }
}

void TChatLog::Bound(TFile& File)
{
    while (File.Size() > FBufferLimit)
        DropOldest(File);
    while (FWaiting > FTotalLimit) {
        TFile* largest = nullptr;
        for (auto& [path, file] : FFiles)
            if (!largest || file.Size() > largest->Size())
                largest = &file;
        if (!largest || largest->Size() == 0)
            break;
        DropOldest(*largest);
    }
}

bool TChatLog::WriteOut(const QString& Path, TFile& File, QString& Error)
{
    // What the file needs before the waiting lines: the end of a line cut
    // off, and a word on the lines that gave way.
    std::string before;
    if (File.CutLine)
        before += '\n';
    if (File.Dropped > 0)
        before += Now().Time + "-!- NimboChat: ログを書けなかった間に " + std::to_string(File.Dropped) +
                  " 行が失われました\n";
    if (before.empty() && File.Size() == 0)
        return true;

    const QString full = FRoot + QLatin1Char('/') + Path;
    const QByteArray name = QFile::encodeName(full);
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(name.constData(), flags, 0600);
    if (fd < 0 && errno == ENOENT) {
        if (const int error = MakeFolders(name.left(name.lastIndexOf('/')))) {
            Error = full + QStringLiteral(" (") + Reason(error) + QLatin1Char(')');
            return false;
        }
        fd = ::open(name.constData(), flags, 0600);
    }
    if (fd < 0) {
        Error = full + QStringLiteral(" (") + Reason(errno) + QLatin1Char(')');
        return false;
    }

    size_t written = WriteAll(fd, before.data(), before.size());
    bool whole = written == before.size();
    int error = whole ? 0 : errno;
    if (whole) {
        File.CutLine = false;
        File.Dropped = 0;
        const size_t lines = WriteAll(fd, File.Data.data() + File.Head, File.Size());
        whole = lines == File.Size();
        if (!whole)
            error = errno;
        if (lines > 0) {
            File.StartsMidLine = File.Data[File.Head + lines - 1] != '\n';
            File.Head += lines;
            FWaiting -= lines;
        }
        if (File.Head == File.Data.size()) {
            File.Data.clear();
            File.Head = 0;
        }
    } else if (written > 0) {
        // Part of what had to come first is in the file: a line cut off like
        // any other, and the word on the lost lines comes whole next time.
        File.CutLine = before[written - 1] != '\n';
    }
    if (::close(fd) != 0 && whole) {
        whole = false;
        error = errno;
    }
    if (!whole)
        Error = full + QStringLiteral(" (") + Reason(error) + QLatin1Char(')');
    return whole;
}

void TChatLog::Flush()
{
    FlushFiles(false);
}

void TChatLog::FlushFiles(bool EvenWaiting)
{
    const TSteady::time_point now = TSteady::now();
    std::vector<QString> reports;
    for (auto it = FFiles.begin(); it != FFiles.end();) {
        TFile& file = it->second;
        if (file.Failing && !EvenWaiting && now - file.FailedAt < FRetryWait) {
            ++it;
            continue;
        }
        QString error;
        if (WriteOut(it->first, file, error)) {
            it = FFiles.erase(it);
            continue;
        }
        if (!file.Failing) {
            const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(FRetryWait).count();
            reports.push_back(
                QString::fromUtf8("ログ保存: %1 に書き込めません。%2 秒後にまた試します").arg(error).arg(seconds));
        }
        file.Failing = true;
        file.FailedAt = now;
        Bound(file);
        ++it;
    }
    // Reported after the walk, so that a report that comes back here finds
    // the files as they are.
    if (FReporting && FReport)
        for (const QString& report : reports)
            FReport(report);
}
