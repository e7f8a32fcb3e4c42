// The chat logs ("ログ保存"): every conversation a session sees, written to
// plain UTF-8 text files, one per conversation and local day:
//
//   ROOT/SERVER/CONVERSATION/YYYY-MM-DD.log
//
// ROOT is DefaultRoot() in the program. SERVER is the upstream host as the
// user typed it (LogFileName, case kept). CONVERSATION is a channel, or for a
// private conversation the other side's nick, as LogFolderName makes it
// (case folded by the server's rules, so #Nimbo and #nimbo share "#nimbo";
// see relay/chat_log_text.h for how names of any bytes become safe file
// names). The day is the local date of the event, by the clock given, so a
// new file starts at local midnight.
//
// One line per event, "[HH:MM:SS] " (local time of the event) and then:
//   <nick> text                                  PRIVMSG
//   * nick text                                  CTCP ACTION (PRIVMSG or NOTICE)
//   -nick- text                                  NOTICE
//   -!- CTCP VERSION args from nick              other CTCP query
//   -!- CTCP VERSION reply from nick: args       CTCP reply (NOTICE)
//   -!- nick [user@host] has joined #c           JOIN
//   -!- nick [user@host] has left #c [reason]    PART
//   -!- nick [user@host] has quit [reason]       QUIT, in each of the nick's channels
//   -!- nick is now known as new                 NICK, in each of the nick's channels
//   -!- victim was kicked from #c by nick [reason]
//   -!- nick changed the topic of #c to: text    TOPIC ("-!- Topic unset by nick on #c")
//   -!- Topic for #c: text                       the topic shown on joining (332)
//   -!- mode/#c [+o taro] by nick                MODE of a channel
//   -!- nick invites you to #c                   INVITE, in the private conversation
//   -!- nick invited other into #c               INVITE of another (invite-notify)
// "[user@host]" is there when the prefix has it, " [reason]" when the line
// has one. QUIT and NICK also go to the private conversation with that nick
// when this log has written one (it remembers MaxPrivate of them, then
// starts its list again). Text of any code is written in UTF-8 by LogText:
// bytes of no character as \xNN, never dropped. The time is the clock's when
// the line is taken; IRCv3 tags (server-time included) are not read.
//
// The user's own PRIVMSG and NOTICE are written from FromUser, whichever
// side (chat client or message line) sent them. A PRIVMSG or NOTICE from the
// server whose sender is the user's own nick (the server's copy of the
// user's line, by echo-message or to oneself) is not written. Not written
// either: modes of a user, lines from a server rather than a user in a
// private conversation (server notices), numerics other than 332, and
// commands of the user other than PRIVMSG and NOTICE (their effect comes
// from the server).
//
// No stall: the line functions only append to memory; only Flush() and the
// destructor touch the disk. Lines wait per file, in order, each file's
// waiting lines bounded by SetBufferLimit and all files' by SetTotalLimit
// (past a bound the oldest waiting lines give way, the largest file's first,
// and the file gets a line saying how many when it is written again).
//
// A file that cannot be written (its folder cannot be made, a file is where
// a folder should be, no permission, the disk full) gives one report for
// that failure (a line naming the file and the reason, through Report),
// and its lines wait; it is tried again at the first Flush once the retry
// wait (SetRetryWait, 30 s) has passed since its last try, and a report
// comes again only after it has been written once in between. Other files go on being written. A write
// cut short (the disk filled in the middle of it) continues where it
// stopped, so no line is written twice; when the rest of a line cut short
// has to give way, the line is ended where it was cut and counted among the
// lost. Files are made 0600 in folders made 0700, appended to, and never
// through a symbolic link at the file's own name.
//
// One thread (the GUI's): no member is safe to call from another thread or
// from a signal handler.
#pragma once

#include "framework/ansi_string.h"
#include "relay/irc_line.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class TChatLog {
public:
    using TClock = std::function<QDateTime()>; // local now
    using TReport = std::function<void(const QString&)>; // one line per failure, for the window's red log
    using TChannelsOf = std::function<std::vector<AnsiString>(const AnsiString& Nick)>;

    // Root: the logs folder (.../NimboChat/logs); made when first written.
    // Clock: local now (QDateTime::currentDateTime when empty). Report: may
    // be empty.
    TChatLog(QString Root, TClock Clock = {}, TReport Report = {});
    // Writes what waits, as Flush does, also to files whose retry wait is not
    // over, and reports nothing.
    ~TChatLog();
    TChatLog(const TChatLog&) = delete;
    TChatLog& operator=(const TChatLog&) = delete;

    // QStandardPaths' GenericDataLocation ($XDG_DATA_HOME, ~/.local/share
    // when unset) + "/NimboChat/logs".
    static QString DefaultRoot();

    // The server the following lines belong to: the host as the user typed
    // it. Lines taken before the first SetServer, or while Host is empty, are
    // not written. Lines already taken keep the server they were taken for.
    void SetServer(const AnsiString& Host);

    // A line from the server as received, without CR LF (IRCv3 tags first
    // possible, any code). OwnNick: the user's nick now. ChannelsOf(nick):
    // the channels the nick is in before this line takes effect (call
    // FromServer before the session updates who is where for the line), for
    // QUIT and NICK; may be empty. Mapping: the server's case mapping.
    void FromServer(const AnsiString& Line, const AnsiString& OwnNick, TCaseMapping Mapping,
                    const TChannelsOf& ChannelsOf);
    // A line the user sent to the server (from the chat client or the
    // message line), in the server's code, without CR LF: its PRIVMSG and
    // NOTICE are written (to each target of a comma list) with OwnNick as
    // the sender.
    void FromUser(const AnsiString& Line, const AnsiString& OwnNick, TCaseMapping Mapping);

    // Writes what waits to the files. Blocks on the disk: call it from a
    // timer (every second), at the end of a session and before exit.
    void Flush();

    // A name as a file name (LogFileName of relay/chat_log_text.h).
    static QString SafeName(const AnsiString& Name);

    // Tuning, for tests: the wait before a failed file is tried again
    // (30 s), the bytes waiting per file (1 MiB) and in all (16 MiB).
    void SetRetryWait(std::chrono::milliseconds Wait) { FRetryWait = Wait; }
    void SetBufferLimit(size_t Bytes) { FBufferLimit = Bytes; }
    void SetTotalLimit(size_t Bytes) { FTotalLimit = Bytes; }
    // Private conversations remembered for QUIT and NICK.
    static constexpr size_t MaxPrivate = 4096;
    // Bytes waiting to be written, in all files.
    size_t Waiting() const { return FWaiting; }

private:
    using TSteady = std::chrono::steady_clock;

    // The lines waiting for one file: Data from Head on. The first may be the
    // rest of a line whose start is in the file already (StartsMidLine).
    struct TFile {
        std::string Data;
        size_t Head = 0;
        bool StartsMidLine = false;
        bool CutLine = false; // the file ends inside a line whose rest gave way
        std::uint64_t Dropped = 0; // lines that gave way since last written
        bool Failing = false; // reported; tried again after the wait
        TSteady::time_point FailedAt;
        size_t Size() const { return Data.size() - Head; }
    };

    struct TStamp {
        QString Day; // "YYYY-MM-DD"
        std::string Time; // "[HH:MM:SS] "
    };
    TStamp Now() const;

    // Appends one line to a conversation's file; Private marks a private
    // conversation (for QUIT and NICK).
    void Write(const AnsiString& Conversation, TCaseMapping Mapping, const TStamp& Stamp, const std::string& Text,
               bool Private = false);
    // Appends one line to each channel (once per folder) and to the private
    // conversation with Nick when one was written.
    void WriteTo(const std::vector<AnsiString>& Channels, const AnsiString& Nick, TCaseMapping Mapping,
                 const TStamp& Stamp, const std::string& Text);
    // Flush; EvenWaiting also tries the files whose retry wait is not over.
    void FlushFiles(bool EvenWaiting);
    // Lets the oldest line of File give way.
    void DropOldest(TFile& File);
    void Bound(TFile& File);
    // Writes File to Path; false with the reason when it could not be written whole.
    bool WriteOut(const QString& Path, TFile& File, QString& Error);

    QString FRoot;
    TClock FClock;
    TReport FReport;
    QString FServer; // the server's folder name; empty: no server
    std::map<QString, TFile> FFiles; // by path below FRoot
    std::set<QString> FPrivate; // "server/nick folder" of private conversations written
    size_t FWaiting = 0;
    std::chrono::milliseconds FRetryWait {30000};
    size_t FBufferLimit = 1 << 20;
    size_t FTotalLimit = 16 << 20;
    bool FReporting = true;
};
