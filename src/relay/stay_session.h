// The stay session: what NimboChat knows and keeps while it stays on IRC for
// the user ("StayCheck" on), whether a chat client is attached or not, and
// whether the server connection is up or being made again.
//
// It owns no socket, no timer and no window. The window hands it every line
// the server sends and every line an attaching or attached chat client sends
// (in the server's code, JIS, as received), and the session answers with a
// verdict and with lines to send: TakeForClient() for the chat client (in
// the server's code; the window converts them as it converts live lines) and
// TakeForServer() for the server, paced. Times are milliseconds since the
// epoch, given by the caller, so that every rule is testable with a table.
//
// Bounds, whatever a server or client sends: at most MaxChannels channels,
// MaxNames names in each, MaxCaps capabilities, MaxConversations buffers,
// LinesPerConversation lines in each and TotalKeptBytes kept in all (the
// oldest line of the largest buffer gives way first). Look-ups go through
// hash maps keyed by the folded name, never a scan.
#pragma once

#include "framework/ansi_string.h"
#include "relay/irc_line.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <unordered_map>
#include <vector>

struct TStayLimits {
    size_t LinesPerConversation = 500;
    size_t TotalKeptBytes = 16 << 20;
    size_t MaxConversations = 1000;
    size_t MaxChannels = 500;
    size_t MaxNames = 20000;
    size_t MaxCaps = 64;
    size_t MaxWelcomeLines = 32;
};

// A line kept for the chat client, as the server sent it, with its time.
struct TKeptLine {
    AnsiString Line;
    std::int64_t At = 0; // ms since the epoch
    bool operator==(const TKeptLine&) const = default;
};

// What the session knows that a restart must not lose.
struct TStayState {
    struct TChannelState {
        AnsiString Name, Key, Topic;
        bool operator==(const TChannelState&) const = default;
    };
    struct TConversationState {
        AnsiString Name; // a channel or a nick, as the server spelt it
        std::vector<TKeptLine> Lines;
        bool operator==(const TConversationState&) const = default;
    };
    AnsiString Nick;   // the user's own nick, wanted back after a drop
    AnsiString Prefix; // nick!user@host as last seen
    std::vector<TChannelState> Channels;
    std::vector<AnsiString> Caps;
    std::vector<TConversationState> Conversations;
    // What the server's 005 said of names: its CASEMAPPING and CHANTYPES,
    // which tell the channels and conversations apart.
    AnsiString CaseMapping = "rfc1459", ChanTypes = "#&+!";
    bool operator==(const TStayState&) const = default;
};

// The waits between tries to reach the server again: about FirstMs, then
// doubling up to MaxMs, each with up to a fifth of jitter either way so that
// many users do not return at once. A session that lasted StableMs starts
// the series again.
class TReconnectSchedule {
public:
    static constexpr std::int64_t FirstMs = 5000;
    static constexpr std::int64_t MaxMs = 5 * 60 * 1000;
    static constexpr std::int64_t StableMs = 5 * 60 * 1000;
    // Random gives a number in [0, 1); the default draws from the system.
    explicit TReconnectSchedule(std::function<double()> Random = {});
    // The session came up at Now.
    void Up(std::int64_t Now);
    // The session went down at Now: the wait before the next try.
    std::int64_t NextWait(std::int64_t Now);
    void Reset();

private:
    std::function<double()> FRandom;
    std::int64_t FUpAt = -1;
    int FTries = 0;
};

class TStaySession {
public:
    enum TVerdict {
        vPass, // goes on to the attached chat client, if any
        vKept, // kept for the chat client that comes back
        vDrop, // the session's own business: neither passed nor kept
    };
    enum TClientVerdict {
        cvForward, // an attached client's line for the server
        cvDone,    // answered or taken here; nothing goes upstream
        cvClose,   // the connection is closed (its answer waits in TakeForClient)
    };
    enum TLink {
        lkUp,          // registered with the server
        lkRegistering, // connected again by itself; the registration is NimboChat's
        lkDown,        // no server: a try is pending
    };
    enum TAttach {
        atNone,        // a client is attached and has everything (or none ever left)
        atDetached,    // no client: chat lines are kept
        atRegistering, // a client came: its registration is answered here
    };

    explicit TStaySession(TStayLimits Limits = {});

    // ---- Following the server.
    // Every server line, in the order received, while a stay session runs.
    // Notes the nick, prefix, channels and keys, topics, names, welcome,
    // capabilities and 005 settings, and decides what becomes of the line.
    TVerdict FromServer(const AnsiString& Line, std::int64_t Now);
    // A line the user sent upstream from the message line (JIS): kept in its
    // conversation while no client is attached, and keys of JOINs noted.
    void FromUser(const AnsiString& Line, std::int64_t Now);

    // ---- The server connection.
    // The connection was lost at Now: the wait before the next try, or -1
    // when a refusal that retrying will not change came (Refusal()). An
    // attached client is told; its lines get a NOTICE back until the
    // server is there again.
    std::int64_t LinkLost(std::int64_t Now);
    // The connection is made again: the registration to send (CAP LS 302
    // when the session had capabilities, NICK, then UserLine). Until the
    // end of the welcome, server lines are the session's own (vDrop): a
    // taken nick is tried with "_" appended and then others, the
    // capabilities the session had are asked for again (never sasl). At
    // the end of the welcome the channels are joined, ChannelsPerJoin to a
    // line, paced, an attached client is told of a changed nick, and the
    // user's own nick is asked for again every minute until it is back.
    std::vector<AnsiString> Reconnected(const AnsiString& UserLine);
    TLink Link() const { return FLink; }
    // Set by a refusal that retrying will not change (464, 465): its reason.
    const AnsiString& Refusal() const { return FRefusal; }

    // ---- The chat client.
    // The client left (or none is there after a restart): lines are kept.
    void Detach();
    // A client connected to a detached session; Password is what its PASS
    // must say (empty: none asked).
    void BeginAttach(const AnsiString& Password);
    // A line of an attaching or attached client (JIS). While a client
    // registers nothing goes upstream: CAP, PASS, NICK, USER and PING are
    // answered here, any other line is dropped, and once NICK and USER are
    // in (and CAP END, when it negotiated) the client gets the welcome, its
    // channels and the kept lines (cvDone), or 464 when its PASS does not
    // match (cvClose). An attached client's lines go on (cvForward) while
    // the server is there, and get a NOTICE back while it is not.
    TClientVerdict FromClient(const AnsiString& Line, std::int64_t Now);
    TAttach Attach() const { return FAttach; }
    bool ClientServerTime() const { return FClientServerTime; }
    // How many kept lines the last attach played back.
    size_t PlayedBack() const { return FPlayedBack; }

    // ---- Output.
    // Lines for the chat client, in order, without CR LF.
    std::vector<AnsiString> TakeForClient();
    // Lines for the server whose time has come, in order, without CR LF.
    std::vector<AnsiString> TakeForServer(std::int64_t Now);
    // When the next paced line for the server is due; -1 when none waits.
    std::int64_t NextServerLineAt() const;

    // ---- What is known.
    const AnsiString& Nick() const { return FNick; }       // in use on the server
    const AnsiString& WantedNick() const { return FWanted; } // the user's own
    const AnsiString& Prefix() const { return FPrefix; }
    bool Welcomed() const { return !FWelcome.empty(); }
    std::vector<AnsiString> ChannelNames() const; // in the order joined
    // The channels of the user's in which Nick is, as far as the names and
    // the JOIN, PART, KICK, QUIT and NICK lines since tell.
    std::vector<AnsiString> ChannelsOf(const AnsiString& Nick) const;
    size_t KeptLines() const;
    size_t KeptBytes() const { return FKeptBytes; }
    // The kept lines of one conversation, oldest first.
    std::vector<TKeptLine> KeptIn(const AnsiString& Conversation) const;
    TCaseMapping CaseMapping() const { return FMapping; }
    bool SameName(const AnsiString& A, const AnsiString& B) const;

    // ---- A restart.
    TStayState Save() const;
    // Starts from a saved state, down and detached: the caller connects.
    void Restore(const TStayState& State);

    // Pacing of the rejoin: channels to a JOIN line, the lines sent at once,
    // and the wait between the later ones.
    static constexpr size_t ChannelsPerJoin = 4;
    static constexpr size_t JoinBurst = 2;
    static constexpr std::int64_t JoinPaceMs = 2000;

private:
    struct TChannel {
        AnsiString Name, Key, Topic, TopicWho, TopicAt;
        std::unordered_map<AnsiString, AnsiString> Names; // folded nick -> "@nick" as the server showed it
        bool NamesComplete = true; // false while a 353 burst is being read
        std::uint64_t Order = 0;
    };
    struct TConversation {
        AnsiString Name;
        std::deque<TKeptLine> Lines;
        size_t Bytes = 0;
        std::uint64_t Order = 0;
    };

    AnsiString Fold(const AnsiString& Name) const { return FoldName(Name, FMapping); }
    bool IsOwn(const AnsiString& Nick) const { return !FNick.empty() && SameName(Nick, FNick); }
    void NoteServerLine(const TIrcMessage& M, const AnsiString& Line);
    void NoteWelcome(const TIrcMessage& M, const AnsiString& Line);
    void NoteSupport(const TIrcMessage& M);
    void Refold(); // the maps keyed anew after the server named its case mapping
    void NoteCaps(const TIrcMessage& M);
    void NoteChannelLine(const TIrcMessage& M);
    void NoteModes(TChannel& Channel, const TIrcMessage& M);
    void NoteJoinKeys(const TIrcMessage& M);
    TChannel* FindChannel(const AnsiString& Name);
    TChannel* AddChannel(const AnsiString& Name); // null when MaxChannels are known
    void AddMember(TChannel& Channel, const AnsiString& Shown);
    TVerdict Registering(const TIrcMessage& M);
    void Registered();
    AnsiString NickToTry() const;
    void QueueRejoin();
    void QueueServer(const AnsiString& Line, std::int64_t At);
    // The conversation a chat line belongs to, or empty when it is none.
    AnsiString ConversationOf(const TIrcMessage& M) const;
    void Keep(const AnsiString& Conversation, const AnsiString& Line, std::int64_t At);
    void DropOldest(TConversation& Conversation);
    TConversation& Largest();
    void DropStalestConversation();
    void ToClient(const AnsiString& Line);
    AnsiString Own(const AnsiString& Rest) const; // from NimboChat itself
    AnsiString ServerName() const;
    AnsiString OfferedCaps() const;
    void AnswerCap(const TIrcMessage& M);
    void Greet();
    void SendChannel(const TChannel& Channel);
    void PlayBack();
    bool EndsOutside(const TConversation& Conversation) const;
    AnsiString Stamped(const TKeptLine& Kept) const;
    // Whether a line is a PRIVMSG or NOTICE from someone other than the user.
    bool IsOthersChat(const AnsiString& Line) const;

    TStayLimits FLimits;
    std::int64_t FNow = 0; // the time of the line being handled
    std::int64_t FLocalOffsetMs = 0; // the local time's offset from UTC during a playback
    // What the server's 005 says.
    TCaseMapping FMapping = TCaseMapping::Rfc1459;
    AnsiString FChanTypes = "#&+!";
    AnsiString FPrefixModes = "ov", FPrefixChars = "@+";
    AnsiString FParamModes = "beIk", FSetParamModes = "l"; // modes with an argument always, and when set
    AnsiString FServerName;
    AnsiString FNick, FWanted, FPrefix, FNickAtDrop;
    std::vector<AnsiString> FWelcome;
    std::set<AnsiString> FCaps, FServerOffers;
    std::unordered_map<AnsiString, TChannel> FChannels;
    std::unordered_map<AnsiString, AnsiString> FPendingKeys; // folded channel -> key of a JOIN not yet echoed
    std::unordered_map<AnsiString, TConversation> FConversations;
    std::uint64_t FNextOrder = 0;
    size_t FKeptBytes = 0, FPlayedBack = 0;
    TLink FLink = lkUp;
    TReconnectSchedule FSchedule;
    AnsiString FRefusal;
    int FNickTries = 0;
    bool FRetaking = false; // a NICK for the user's own nick is under way
    TAttach FAttach = atNone;
    AnsiString FPassword, FGivenPassword, FAttachNick;
    bool FAttachUser = false, FCapNegotiating = false, FClientServerTime = false, FClientTags = false;
    std::vector<AnsiString> FForClient;
    struct TPaced {
        AnsiString Line;
        std::int64_t At;
    };
    std::deque<TPaced> FForServer; // in the order of At
};
