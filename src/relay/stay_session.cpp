#include "relay/stay_session.h"

#include "kanji/jis_utf8.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The name the program's own lines to a chat client come from.
constexpr const char* OwnServerName = "nimbochat";
// How long NimboChat waits before it asks again for the user's own nick.
constexpr std::int64_t RetakeNickMs = 60 * 1000;
// A NAMES reply line is kept well within IRC's 512 bytes.
constexpr size_t NamesLineBytes = 400;

AnsiString Jis(const char* Utf8)
{
    AnsiString jis;
    int replaced = 0;
    return Utf8ToJis(jis, Utf8, replaced);
}

bool IsWelcomeLine(const AnsiString& Command)
{
    return Command == "001" || Command == "002" || Command == "003" || Command == "004" || Command == "005" ||
           Command == "376" || Command == "422";
}

bool IsCtcpQuery(const AnsiString& Text)
{
    return !Text.empty() && Text[0] == '\x01' && Text.compare(0, 8, "\x01" "ACTION ") != 0;
}

std::vector<AnsiString> Words(const AnsiString& Text, char Separator = ' ')
{
    std::vector<AnsiString> words;
    for (size_t at = 0; at <= Text.size();) {
        const size_t end = std::min(Text.find(Separator, at), Text.size());
        if (end > at)
            words.push_back(Text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

// Equal without telling by its time how much of a guess was right.
bool SameSecret(const AnsiString& A, const AnsiString& B)
{
    unsigned char differ = A.size() == B.size() ? 0 : 1;
    const size_t n = std::max(A.size(), B.size());
    for (size_t i = 0; i < n; ++i)
        differ |= static_cast<unsigned char>((i < A.size() ? A[i] : 0) ^ (i < B.size() ? B[i] : 0));
    return differ == 0;
}

// A time in ms since the epoch as a calendar date and a time of day.
struct TCivil {
    int Year, Month, Day, Hour, Minute, Second, Milli;
};

TCivil CivilOf(std::int64_t Ms)
{
    const std::int64_t days = Ms >= 0 ? Ms / 86400000 : (Ms - 86399999) / 86400000;
    const std::int64_t inDay = Ms - days * 86400000;
    // Days since 1970-01-01 to a date of the proleptic Gregorian calendar.
    const std::int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097, yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {static_cast<int>(yoe + era * 400 + (month <= 2)), month, static_cast<int>(doy - (153 * mp + 2) / 5 + 1),
            static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
            static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000)};
}

AnsiString Printed(const char* Format, auto... Values)
{
    char text[64];
    std::snprintf(text, sizeof text, Format, Values...);
    return text;
}

// The message tags less the time tag, which playback sets anew.
AnsiString TagsWithoutTime(const AnsiString& Tags)
{
    AnsiString kept;
    for (const AnsiString& tag : Words(Tags, ';'))
        if (tag.compare(0, 5, "time=") != 0 && tag != "time")
            kept += (kept.empty() ? "" : ";") + tag;
    return kept;
}

} // namespace

// ---- TReconnectSchedule ------------------------------------------------------

TReconnectSchedule::TReconnectSchedule(std::function<double()> Random) : FRandom(std::move(Random))
{
    if (!FRandom)
        FRandom = [] { return QRandomGenerator::global()->generateDouble(); };
}

void TReconnectSchedule::Up(std::int64_t Now)
{
    FUpAt = Now;
}

std::int64_t TReconnectSchedule::NextWait(std::int64_t Now)
{
    if (FUpAt >= 0 && Now - FUpAt >= StableMs)
        FTries = 0;
    FUpAt = -1;
    const double base = std::min<double>(MaxMs, FirstMs * std::pow(2.0, std::min(FTries, 16)));
    ++FTries;
    const double jitter = 0.8 + 0.4 * FRandom();
    return static_cast<std::int64_t>(std::min<double>(MaxMs, base * jitter));
}

void TReconnectSchedule::Reset()
{
    FUpAt = -1;
    FTries = 0;
}

// ---- TStaySession: following the server ------------------------------------

TStaySession::TStaySession(TStayLimits Limits) : FLimits(Limits) {}

bool TStaySession::SameName(const AnsiString& A, const AnsiString& B) const
{
    return A.size() == B.size() && Fold(A) == Fold(B);
}

TStaySession::TVerdict TStaySession::FromServer(const AnsiString& Line, std::int64_t Now)
{
    // The bulk of a busy session, chat passed on live, changes nothing the
    // session follows unless the user sent it: it is not parsed whole.
    if (FAttach == atNone && FLink == lkUp && IsOthersChat(Line))
        return vPass;
    const TIrcMessage m = ParseIrcLine(Line);
    if (m.Command == "464" || m.Command == "465")
        FRefusal = m.Command + " " + (m.Params.empty() ? AnsiString() : m.Params.back());
    FNow = Now;
    NoteServerLine(m, Line);
    if (FLink == lkRegistering)
        return Registering(m);
    if (m.Command == "433" && FRetaking) {
        FRetaking = false;
        QueueServer("NICK " + FWanted, Now + RetakeNickMs);
        return vDrop;
    }
    if (FAttach == atNone)
        return vPass;
    const AnsiString conversation = ConversationOf(m);
    if (conversation.empty())
        return vDrop;
    Keep(conversation, Line, Now);
    return vKept;
}

void TStaySession::NoteServerLine(const TIrcMessage& M, const AnsiString& Line)
{
    if (M.Command == "001" || IsWelcomeLine(M.Command))
        NoteWelcome(M, Line);
    if (M.Command == "005")
        NoteSupport(M);
    if (M.Command == "CAP")
        NoteCaps(M);
    NoteChannelLine(M);
}

void TStaySession::NoteWelcome(const TIrcMessage& M, const AnsiString& Line)
{
    if (M.Command == "001") {
        FWelcome.clear();
        FServerName = M.Prefix;
        FNick = M.Param(0);
        if (FWanted.empty())
            FWanted = FNick;
        // On most servers the welcome ends in the user's prefix.
        const std::vector<AnsiString> words = Words(M.Params.empty() ? AnsiString() : M.Params.back());
        const AnsiString last = words.empty() ? AnsiString() : words.back();
        if (SameName(last.substr(0, std::min(last.find('!'), last.size())), FNick) &&
            last.find('@') != AnsiString::npos)
            FPrefix = last;
    }
    if (FWelcome.size() < FLimits.MaxWelcomeLines)
        FWelcome.push_back(Line);
}

void TStaySession::NoteSupport(const TIrcMessage& M)
{
    const size_t end = M.Trailing ? M.Params.size() - 1 : M.Params.size(); // the trailing text is no token
    for (size_t i = 1; i < end; ++i) {
        const AnsiString& token = M.Params[i];
        const size_t eq = token.find('=');
        const AnsiString key = token.substr(0, eq), value = eq == AnsiString::npos ? "" : token.substr(eq + 1);
        if (key == "CASEMAPPING" && CaseMappingNamed(value) != FMapping) {
            FMapping = CaseMappingNamed(value);
            Refold();
        } else if (key == "CHANTYPES" && !value.empty()) {
            FChanTypes = value;
        } else if (key == "PREFIX" && value.find(')') != AnsiString::npos) {
            const size_t close = value.find(')');
            FPrefixModes = value.substr(1, close - 1);
            FPrefixChars = value.substr(close + 1);
        } else if (key == "CHANMODES") {
            const std::vector<AnsiString> kinds = Words(value, ',');
            FParamModes = kinds.size() >= 2 ? kinds[0] + kinds[1] : FParamModes;
            FSetParamModes = kinds.size() >= 3 ? kinds[2] : FSetParamModes;
        }
    }
}

void TStaySession::Refold()
{
    std::unordered_map<AnsiString, TChannel> channels;
    for (auto& [folded, channel] : FChannels) {
        std::unordered_map<AnsiString, AnsiString> names;
        for (auto& [nick, shown] : channel.Names)
            names.emplace(Fold(nick), std::move(shown));
        channel.Names = std::move(names);
        channels.emplace(Fold(channel.Name), std::move(channel));
    }
    FChannels = std::move(channels);
    std::unordered_map<AnsiString, TConversation> conversations;
    for (auto& [folded, conversation] : FConversations) {
        auto [at, fresh] = conversations.try_emplace(Fold(conversation.Name), std::move(conversation));
        if (!fresh) { // two conversations became one: their lines in the order they came, within the bound
            at->second.Bytes += conversation.Bytes;
            for (TKeptLine& line : conversation.Lines)
                at->second.Lines.push_back(std::move(line));
            std::stable_sort(at->second.Lines.begin(), at->second.Lines.end(),
                             [](const TKeptLine& a, const TKeptLine& b) { return a.At < b.At; });
            while (at->second.Lines.size() > FLimits.LinesPerConversation)
                DropOldest(at->second);
        }
    }
    FConversations = std::move(conversations);
}

void TStaySession::NoteCaps(const TIrcMessage& M)
{
    const AnsiString sub = AnsiUpperAscii(M.Param(1));
    if (M.Params.empty())
        return;
    const std::vector<AnsiString> caps = Words(M.Params.back());
    if (sub == "ACK") {
        for (const AnsiString& cap : caps) {
            if (cap[0] == '-')
                FCaps.erase(cap.substr(1));
            else if (FCaps.size() < FLimits.MaxCaps)
                FCaps.insert(cap);
        }
    } else if (sub == "DEL") {
        for (const AnsiString& cap : caps)
            FCaps.erase(cap);
    } else if (sub == "LS" && FLink == lkRegistering) {
        for (const AnsiString& cap : caps)
            if (FServerOffers.size() < 4 * FLimits.MaxCaps)
                FServerOffers.insert(cap.substr(0, cap.find('=')));
        if (M.Params.size() >= 4 && M.Param(2) == "*")
            return; // more of the list follows
        AnsiString wanted;
        for (const AnsiString& cap : FCaps)
            if (cap != "sasl" && FServerOffers.count(cap))
                wanted += (wanted.empty() ? "" : " ") + cap;
        QueueServer(wanted.empty() ? AnsiString("CAP END") : "CAP REQ :" + wanted, 0);
    } else if (sub == "NAK" && FLink == lkRegistering) {
        QueueServer("CAP END", 0);
    }
    if (sub == "ACK" && FLink == lkRegistering)
        QueueServer("CAP END", 0);
}

TStaySession::TChannel* TStaySession::FindChannel(const AnsiString& Name)
{
    const auto found = FChannels.find(Fold(Name));
    return found == FChannels.end() ? nullptr : &found->second;
}

TStaySession::TChannel* TStaySession::AddChannel(const AnsiString& Name)
{
    if (TChannel* known = FindChannel(Name))
        return known;
    if (FChannels.size() >= FLimits.MaxChannels)
        return nullptr;
    TChannel& channel = FChannels[Fold(Name)];
    channel.Name = Name;
    channel.Order = FNextOrder++;
    if (const auto key = FPendingKeys.find(Fold(Name)); key != FPendingKeys.end()) {
        channel.Key = key->second;
        FPendingKeys.erase(key);
    }
    return &channel;
}

void TStaySession::AddMember(TChannel& Channel, const AnsiString& Shown)
{
    const size_t start = std::min(Shown.find_first_not_of(FPrefixChars), Shown.size());
    const AnsiString nick = Shown.substr(start, Shown.find('!', start) - start);
    if (nick.empty())
        return;
    const AnsiString folded = Fold(nick);
    if (Channel.Names.size() < FLimits.MaxNames || Channel.Names.count(folded))
        Channel.Names[folded] = Shown.substr(0, start) + nick;
}

void TStaySession::NoteChannelLine(const TIrcMessage& M)
{
    const AnsiString nick = M.Nick();
    const bool own = M.FromUser() && IsOwn(nick);
    if (own)
        FPrefix = M.Prefix;
    if (M.Command == "JOIN" && M.FromUser()) {
        TChannel* channel = own ? AddChannel(M.Param(0)) : FindChannel(M.Param(0));
        if (channel)
            AddMember(*channel, nick);
    } else if ((M.Command == "PART" && M.FromUser()) || M.Command == "KICK") {
        const AnsiString& leaver = M.Command == "KICK" ? M.Param(1) : nick;
        if (IsOwn(leaver))
            FChannels.erase(Fold(M.Param(0)));
        else if (TChannel* channel = FindChannel(M.Param(0)))
            channel->Names.erase(Fold(leaver));
    } else if (M.Command == "QUIT" && M.FromUser()) {
        for (auto& [folded, channel] : FChannels)
            channel.Names.erase(Fold(nick));
    } else if (M.Command == "NICK" && M.FromUser() && !M.Params.empty()) {
        const AnsiString& to = M.Params[0];
        for (auto& [folded, channel] : FChannels) {
            const auto member = channel.Names.find(Fold(nick));
            if (member == channel.Names.end())
                continue;
            const AnsiString& old = member->second;
            const AnsiString shown = old.substr(0, std::min(old.find_first_not_of(FPrefixChars), old.size())) + to;
            channel.Names.erase(member);
            channel.Names[Fold(to)] = shown;
        }
        if (own) {
            FPrefix = to + M.Prefix.substr(nick.size());
            FNick = to;
            if (FLink == lkUp) {
                FWanted = to; // the user chose it, or NimboChat has the user's own back
                FRetaking = false;
                std::erase_if(FForServer, [](const TPaced& p) { return p.Line.starts_with("NICK "); });
            }
        }
    } else if (M.Command == "TOPIC" && !M.Params.empty()) {
        if (TChannel* channel = FindChannel(M.Params[0])) {
            channel->Topic = M.Param(1);
            channel->TopicWho = M.Prefix;
            channel->TopicAt = std::to_string(FNow / 1000);
        }
    } else if (M.Command == "332" && M.Params.size() >= 3) {
        if (TChannel* channel = FindChannel(M.Params[1]))
            channel->Topic = M.Params[2];
    } else if (M.Command == "333" && M.Params.size() >= 4) {
        if (TChannel* channel = FindChannel(M.Params[1])) {
            channel->TopicWho = M.Params[2];
            channel->TopicAt = M.Params[3];
        }
    } else if (M.Command == "353" && M.Params.size() >= 4) {
        if (TChannel* channel = FindChannel(M.Params[2])) {
            if (channel->NamesComplete)
                channel->Names.clear();
            channel->NamesComplete = false;
            for (const AnsiString& shown : Words(M.Params[3]))
                AddMember(*channel, shown);
        }
    } else if (M.Command == "366" && M.Params.size() >= 2) {
        if (TChannel* channel = FindChannel(M.Params[1]))
            channel->NamesComplete = true;
    } else if (M.Command == "MODE" && M.Params.size() >= 2) {
        if (TChannel* channel = FindChannel(M.Params[0]))
            NoteModes(*channel, M);
    } else if (M.Command == "324" && M.Params.size() >= 3) {
        if (TChannel* channel = FindChannel(M.Params[1])) {
            TIrcMessage modes = M;
            modes.Params.erase(modes.Params.begin());
            NoteModes(*channel, modes);
        }
    }
}

void TStaySession::NoteModes(TChannel& Channel, const TIrcMessage& M)
{
    bool adding = true;
    size_t arg = 2;
    for (const char mode : M.Params[1]) {
        if (mode == '+' || mode == '-') {
            adding = mode == '+';
            continue;
        }
        const size_t rank = FPrefixModes.find(mode);
        const bool takesArg = rank != AnsiString::npos || FParamModes.find(mode) != AnsiString::npos ||
                              (adding && FSetParamModes.find(mode) != AnsiString::npos);
        const AnsiString value = takesArg ? M.Param(arg++) : AnsiString();
        if (mode == 'k')
            Channel.Key = adding ? value : AnsiString();
        if (rank == AnsiString::npos || rank >= FPrefixChars.size())
            continue;
        const auto member = Channel.Names.find(Fold(value));
        if (member == Channel.Names.end())
            continue;
        AnsiString& shown = member->second;
        const size_t start = std::min(shown.find_first_not_of(FPrefixChars), shown.size());
        AnsiString marks = shown.substr(0, start);
        const char mark = FPrefixChars[rank];
        std::erase(marks, mark);
        if (adding) // the marks stay in the server's order of rank
            marks += mark, std::sort(marks.begin(), marks.end(),
                                     [&](char a, char b) { return FPrefixChars.find(a) < FPrefixChars.find(b); });
        shown = marks + shown.substr(start);
    }
}

// ---- The user's own lines ------------------------------------------------------

void TStaySession::NoteJoinKeys(const TIrcMessage& M)
{
    if (M.Command != "JOIN" || M.Params.size() < 2)
        return;
    const std::vector<AnsiString> channels = Words(M.Params[0], ','), keys = Words(M.Params[1], ',');
    for (size_t i = 0; i < channels.size() && i < keys.size(); ++i) {
        if (TChannel* channel = FindChannel(channels[i]))
            channel->Key = keys[i];
        else if (FPendingKeys.size() < FLimits.MaxChannels)
            FPendingKeys[Fold(channels[i])] = keys[i];
    }
}

void TStaySession::FromUser(const AnsiString& Line, std::int64_t Now)
{
    const TIrcMessage m = ParseIrcLine(Line);
    NoteJoinKeys(m);
    if (FAttach == atNone || (m.Command != "PRIVMSG" && m.Command != "NOTICE") || m.Params.size() < 2 ||
        IsCtcpQuery(m.Params.back()))
        return;
    TIrcMessage own = m;
    own.Tags.clear();
    own.Prefix = FPrefix.empty() ? FNick : FPrefix;
    own.Trailing = true;
    Keep(m.Params[0], ComposeIrcLine(own), Now);
}

// ---- The server connection ----------------------------------------------------

std::int64_t TStaySession::LinkLost(std::int64_t Now)
{
    const bool wasUp = FLink != lkDown;
    FLink = lkDown;
    FForServer.clear();
    FRetaking = false;
    if (wasUp)
        FNickAtDrop = FNick;
    for (auto& [folded, channel] : FChannels)
        channel.NamesComplete = true; // a 353 burst cut short ends here
    if (FAttach == atNone && wasUp) // told once, not at every failed try
        ToClient(Own("NOTICE " + (FNick.empty() ? AnsiString("*") : FNick) + " :") +
                 Jis("NimboChat: サーバーとの接続が切れました。再接続します"));
    return FRefusal.empty() ? FSchedule.NextWait(Now) : -1;
}

std::vector<AnsiString> TStaySession::Reconnected(const AnsiString& UserLine)
{
    FLink = lkRegistering;
    FNickTries = 0;
    FServerOffers.clear();
    FForServer.clear();
    std::vector<AnsiString> lines;
    if (!FCaps.empty())
        lines.push_back("CAP LS 302");
    lines.push_back("NICK " + NickToTry());
    lines.push_back(UserLine);
    return lines;
}

AnsiString TStaySession::NickToTry() const
{
    const AnsiString& wanted = FWanted.empty() ? FNick : FWanted;
    if (FNickTries == 0)
        return wanted;
    if (FNickTries <= 2)
        return wanted + AnsiString(FNickTries, '_');
    return wanted.substr(0, 7) + std::to_string(FNickTries);
}

TStaySession::TVerdict TStaySession::Registering(const TIrcMessage& M)
{
    if (M.Command == "433" || M.Command == "432" || M.Command == "437") { // the welcome kept is the last link's
        ++FNickTries;
        QueueServer("NICK " + NickToTry(), 0);
    } else if (M.Command == "376" || M.Command == "422") {
        Registered();
    }
    return vDrop;
}

void TStaySession::Registered()
{
    FLink = lkUp;
    FSchedule.Up(FNow);
    if (FAttach == atNone && !FNickAtDrop.empty() && FNickAtDrop != FNick)
        ToClient(":" + FNickAtDrop + " NICK :" + FNick);
    QueueRejoin();
    if (!FWanted.empty() && !SameName(FWanted, FNick)) {
        FRetaking = true;
        QueueServer("NICK " + FWanted, FNow + RetakeNickMs);
    }
}

void TStaySession::QueueRejoin()
{
    std::vector<const TChannel*> channels;
    for (const auto& [folded, channel] : FChannels)
        channels.push_back(&channel);
    // Keyed channels first in each line: JOIN pairs keys with channels in order.
    std::sort(channels.begin(), channels.end(), [](const TChannel* a, const TChannel* b) {
        return a->Key.empty() != b->Key.empty() ? !a->Key.empty() : a->Order < b->Order;
    });
    std::int64_t at = 0;
    for (size_t first = 0, line = 0; first < channels.size(); first += ChannelsPerJoin, ++line) {
        AnsiString names, keys;
        for (size_t i = first; i < std::min(first + ChannelsPerJoin, channels.size()); ++i) {
            names += (names.empty() ? "" : ",") + channels[i]->Name;
            if (!channels[i]->Key.empty())
                keys += (keys.empty() ? "" : ",") + channels[i]->Key;
        }
        if (line >= JoinBurst)
            at = FNow + static_cast<std::int64_t>(line + 1 - JoinBurst) * JoinPaceMs;
        QueueServer("JOIN " + names + (keys.empty() ? "" : " " + keys), at);
    }
}

void TStaySession::QueueServer(const AnsiString& Line, std::int64_t At)
{
    auto after = std::upper_bound(FForServer.begin(), FForServer.end(), At,
                                  [](std::int64_t at, const TPaced& p) { return at < p.At; });
    FForServer.insert(after, {Line, At});
}

std::vector<AnsiString> TStaySession::TakeForServer(std::int64_t Now)
{
    std::vector<AnsiString> due;
    while (!FForServer.empty() && FForServer.front().At <= Now) {
        if (FForServer.front().Line.compare(0, 5, "NICK ") == 0 && FLink == lkUp)
            FRetaking = true;
        due.push_back(std::move(FForServer.front().Line));
        FForServer.pop_front();
    }
    return due;
}

std::int64_t TStaySession::NextServerLineAt() const
{
    return FForServer.empty() ? -1 : FForServer.front().At;
}

bool TStaySession::IsOthersChat(const AnsiString& Line) const
{
    size_t at = 0;
    if (!Line.empty() && Line[0] == '@')
        at = std::min(Line.find(' '), Line.size());
    at = std::min(Line.find_first_not_of(' ', at), Line.size());
    if (at == Line.size() || Line[at] != ':')
        return false;
    const size_t nickEnd = Line.find_first_of("! ", at);
    if (nickEnd == AnsiString::npos || Line[nickEnd] != '!')
        return false;
    const size_t blank = Line.find(' ', nickEnd);
    if (blank == AnsiString::npos)
        return false;
    const size_t command = std::min(Line.find_first_not_of(' ', blank), Line.size());
    const bool chat = Line.compare(command, 8, "PRIVMSG ") == 0 || Line.compare(command, 7, "NOTICE ") == 0;
    return chat && !IsOwn(Line.substr(at + 1, nickEnd - at - 1));
}

// ---- Keeping ------------------------------------------------------------------

AnsiString TStaySession::ConversationOf(const TIrcMessage& M) const
{
    if (M.Command == "KICK" && IsOwn(M.Param(1)))
        return M.Param(0);
    if (M.Command == "PART" && M.FromUser() && IsOwn(M.Nick()))
        return M.Param(0);
    if (M.Command == "INVITE" && M.FromUser() && IsOwn(M.Param(0)))
        return M.Nick();
    if ((M.Command != "PRIVMSG" && M.Command != "NOTICE") || !M.FromUser() || M.Params.size() < 2 ||
        IsCtcpQuery(M.Params.back()))
        return {};
    if (IsChannelName(M.Params[0], FChanTypes))
        return M.Params[0];
    return IsOwn(M.Params[0]) ? M.Nick() : AnsiString();
}

void TStaySession::Keep(const AnsiString& Conversation, const AnsiString& Line, std::int64_t At)
{
    const AnsiString folded = Fold(Conversation);
    auto found = FConversations.find(folded);
    if (found == FConversations.end()) {
        if (FConversations.size() >= FLimits.MaxConversations)
            DropStalestConversation();
        found = FConversations.emplace(folded, TConversation{Conversation, {}, 0, FNextOrder++}).first;
    }
    TConversation& conversation = found->second;
    conversation.Lines.push_back({Line, At});
    conversation.Bytes += Line.size();
    FKeptBytes += Line.size();
    if (conversation.Lines.size() > FLimits.LinesPerConversation)
        DropOldest(conversation);
    while (FKeptBytes > FLimits.TotalKeptBytes)
        DropOldest(Largest());
}

void TStaySession::DropOldest(TConversation& Conversation)
{
    Conversation.Bytes -= Conversation.Lines.front().Line.size();
    FKeptBytes -= Conversation.Lines.front().Line.size();
    Conversation.Lines.pop_front();
}

TStaySession::TConversation& TStaySession::Largest()
{
    auto largest = FConversations.begin();
    for (auto at = FConversations.begin(); at != FConversations.end(); ++at)
        if (at->second.Bytes > largest->second.Bytes)
            largest = at;
    return largest->second;
}

void TStaySession::DropStalestConversation()
{
    auto stalest = FConversations.begin();
    for (auto at = FConversations.begin(); at != FConversations.end(); ++at)
        if (at->second.Lines.empty() ||
            (!stalest->second.Lines.empty() && at->second.Lines.back().At < stalest->second.Lines.back().At))
            stalest = at;
    FKeptBytes -= stalest->second.Bytes;
    FConversations.erase(stalest);
}

size_t TStaySession::KeptLines() const
{
    size_t lines = 0;
    for (const auto& [folded, conversation] : FConversations)
        lines += conversation.Lines.size();
    return lines;
}

std::vector<TKeptLine> TStaySession::KeptIn(const AnsiString& Conversation) const
{
    const auto found = FConversations.find(Fold(Conversation));
    if (found == FConversations.end())
        return {};
    return {found->second.Lines.begin(), found->second.Lines.end()};
}

std::vector<AnsiString> TStaySession::ChannelsOf(const AnsiString& Nick) const
{
    const AnsiString folded = Fold(Nick);
    std::vector<AnsiString> channels;
    for (const auto& [key, channel] : FChannels)
        if (channel.Names.count(folded))
            channels.push_back(channel.Name);
    return channels;
}

std::vector<AnsiString> TStaySession::ChannelNames() const
{
    std::vector<const TChannel*> channels;
    for (const auto& [folded, channel] : FChannels)
        channels.push_back(&channel);
    std::sort(channels.begin(), channels.end(), [](const TChannel* a, const TChannel* b) { return a->Order < b->Order; });
    std::vector<AnsiString> names;
    for (const TChannel* channel : channels)
        names.push_back(channel->Name);
    return names;
}

// ---- The chat client ----------------------------------------------------------

void TStaySession::Detach()
{
    FAttach = atDetached;
}

void TStaySession::BeginAttach(const AnsiString& Password)
{
    FAttach = atRegistering;
    FPassword = Password;
    FGivenPassword.clear();
    FAttachNick.clear();
    FAttachUser = FCapNegotiating = FClientServerTime = FClientTags = false;
}

void TStaySession::ToClient(const AnsiString& Line)
{
    FForClient.push_back(Line);
}

std::vector<AnsiString> TStaySession::TakeForClient()
{
    return std::exchange(FForClient, {});
}

AnsiString TStaySession::Own(const AnsiString& Rest) const
{
    return AnsiString(":") + OwnServerName + " " + Rest;
}

AnsiString TStaySession::OfferedCaps() const
{
    std::set<AnsiString> offered{"server-time"};
    for (const AnsiString& cap : FCaps)
        if (cap != "sasl")
            offered.insert(cap);
    AnsiString text;
    for (const AnsiString& cap : offered)
        text += (text.empty() ? "" : " ") + cap;
    return text;
}

void TStaySession::AnswerCap(const TIrcMessage& M)
{
    const AnsiString sub = AnsiUpperAscii(M.Param(0));
    const AnsiString reply = Own("CAP * "); // the client is not registered yet
    if (sub == "LS" || sub == "LIST") {
        FCapNegotiating = FCapNegotiating || sub == "LS";
        AnsiString taken = FClientServerTime ? "server-time" : "";
        if (FClientTags)
            taken += AnsiString(taken.empty() ? "" : " ") + "message-tags";
        ToClient(reply + sub + " :" + (sub == "LS" ? OfferedCaps() : taken));
    } else if (sub == "REQ") {
        FCapNegotiating = true;
        const AnsiString& wanted = M.Param(1);
        const std::vector<AnsiString> offered = Words(OfferedCaps());
        bool all = true;
        for (const AnsiString& cap : Words(wanted))
            all = all && (cap[0] == '-' || std::find(offered.begin(), offered.end(), cap) != offered.end());
        if (all)
            for (const AnsiString& cap : Words(wanted)) {
                FClientServerTime = cap == "server-time" ? true : cap == "-server-time" ? false : FClientServerTime;
                FClientTags = cap == "message-tags" ? true : cap == "-message-tags" ? false : FClientTags;
            }
        ToClient(reply + (all ? "ACK :" : "NAK :") + wanted);
    } else if (sub == "END") {
        FCapNegotiating = false;
    }
}

TStaySession::TClientVerdict TStaySession::FromClient(const AnsiString& Line, std::int64_t Now)
{
    const TIrcMessage m = ParseIrcLine(Line);
    FNow = Now;
    if (FAttach == atNone && FLink == lkUp) {
        NoteJoinKeys(m);
        return cvForward;
    }
    if (m.Command == "QUIT")
        return cvClose;
    if (m.Command == "PING") {
        ToClient(Own("PONG " + AnsiString(OwnServerName) + " :" + m.Param(0)));
        return cvDone;
    }
    if (FAttach == atNone) { // attached while the server is away
        if (m.Command != "PONG" && !m.Command.empty())
            ToClient(Own("NOTICE " + FNick + " :") + Jis("NimboChat: サーバーに接続していないため送信しませんでした: ") +
                     Line);
        return cvDone;
    }
    if (FAttach != atRegistering)
        return cvDone;
    if (m.Command == "CAP")
        AnswerCap(m);
    else if (m.Command == "PASS")
        FGivenPassword = m.Param(0);
    else if (m.Command == "NICK")
        FAttachNick = m.Param(0);
    else if (m.Command == "USER")
        FAttachUser = true;
    if (FAttachNick.empty() || !FAttachUser || FCapNegotiating)
        return cvDone;
    if (!FPassword.empty() && !SameSecret(FGivenPassword, FPassword)) {
        ToClient(Own("464 " + FAttachNick + " :Password incorrect"));
        return cvClose;
    }
    Greet();
    PlayBack();
    FAttach = atNone;
    return cvDone;
}

// ---- Attaching ------------------------------------------------------------------

void TStaySession::Greet()
{
    if (FWelcome.empty()) { // taken up after a restart, and the server has not welcomed the user yet
        ToClient(Own("001 " + FNick + " :Welcome back, " + FNick + " (NimboChat is reaching the server)"));
        ToClient(Own("376 " + FNick + " :End of /MOTD command."));
    }
    for (const AnsiString& welcome : FWelcome) {
        TIrcMessage m = ParseIrcLine(welcome);
        if (!m.Params.empty())
            m.Params[0] = FNick; // addressed to the nick in use now
        ToClient(ComposeIrcLine(m));
    }
    if (FAttachNick != FNick)
        ToClient(":" + FAttachNick + " NICK :" + FNick);
}

AnsiString TStaySession::ServerName() const
{
    return FServerName.empty() ? AnsiString(OwnServerName) : FServerName;
}

void TStaySession::SendChannel(const TChannel& Channel)
{
    const AnsiString server = ":" + ServerName() + " ";
    ToClient(":" + (FPrefix.empty() ? FNick : FPrefix) + " JOIN :" + Channel.Name);
    if (!Channel.Topic.empty()) {
        ToClient(server + "332 " + FNick + " " + Channel.Name + " :" + Channel.Topic);
        if (!Channel.TopicWho.empty())
            ToClient(server + "333 " + FNick + " " + Channel.Name + " " + Channel.TopicWho + " " + Channel.TopicAt);
    }
    std::vector<AnsiString> names;
    for (const auto& [folded, shown] : Channel.Names)
        names.push_back(shown);
    if (!Channel.Names.count(Fold(FNick)))
        names.push_back(FNick);
    std::sort(names.begin(), names.end());
    const AnsiString head = server + "353 " + FNick + " = " + Channel.Name + " :";
    AnsiString line;
    for (const AnsiString& name : names) {
        if (!line.empty() && head.size() + line.size() + name.size() > NamesLineBytes) {
            ToClient(head + line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + name;
    }
    ToClient(head + line);
    ToClient(server + "366 " + FNick + " " + Channel.Name + " :End of /NAMES list.");
}

void TStaySession::PlayBack()
{
    // The local time of each line is taken with the offset of now: asking
    // the time zone for each of thousands of lines would cost most of the
    // attach.
    FLocalOffsetMs = static_cast<std::int64_t>(QDateTime::fromMSecsSinceEpoch(FNow).offsetFromUtc()) * 1000;
    std::vector<const TChannel*> joined;
    for (const auto& [folded, channel] : FChannels)
        joined.push_back(&channel);
    std::sort(joined.begin(), joined.end(), [](const TChannel* a, const TChannel* b) { return a->Order < b->Order; });
    for (const TChannel* channel : joined) {
        SendChannel(*channel);
        if (const auto kept = FConversations.find(Fold(channel->Name)); kept != FConversations.end())
            for (const TKeptLine& line : kept->second.Lines)
                ToClient(Stamped(line));
    }
    // The conversations left: channels the user is no longer in, then
    // private ones, each in the order its first line came.
    std::vector<const TConversation*> rest;
    for (const auto& [folded, conversation] : FConversations)
        if (!FChannels.count(folded))
            rest.push_back(&conversation);
    std::sort(rest.begin(), rest.end(), [&](const TConversation* a, const TConversation* b) {
        const bool ac = IsChannelName(a->Name, FChanTypes), bc = IsChannelName(b->Name, FChanTypes);
        return ac != bc ? ac : a->Order < b->Order;
    });
    const AnsiString self = FPrefix.empty() ? FNick : FPrefix;
    for (const TConversation* conversation : rest) {
        const bool channel = IsChannelName(conversation->Name, FChanTypes);
        if (channel) // shown in the channel's own window, which the client leaves again
            ToClient(":" + self + " JOIN :" + conversation->Name);
        for (const TKeptLine& line : conversation->Lines)
            ToClient(Stamped(line));
        if (channel && !EndsOutside(*conversation))
            ToClient(":" + self + " PART :" + conversation->Name);
    }
    FPlayedBack = KeptLines();
    FConversations.clear();
    FKeptBytes = 0;
}

bool TStaySession::EndsOutside(const TConversation& Conversation) const
{
    if (Conversation.Lines.empty())
        return false;
    const TIrcMessage last = ParseIrcLine(Conversation.Lines.back().Line);
    return (last.Command == "KICK" && IsOwn(last.Param(1))) || (last.Command == "PART" && IsOwn(last.Nick()));
}

AnsiString TStaySession::Stamped(const TKeptLine& Kept) const
{
    TIrcMessage m = ParseIrcLine(Kept.Line);
    if (FClientServerTime) {
        const TCivil at = CivilOf(Kept.At);
        const AnsiString others = FClientTags ? TagsWithoutTime(m.Tags) : AnsiString();
        m.Tags = Printed("time=%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", at.Year, at.Month, at.Day, at.Hour, at.Minute,
                         at.Second, at.Milli) +
                 (others.empty() ? "" : ";" + others);
        return ComposeIrcLine(m);
    }
    m.Tags.clear();
    if ((m.Command != "PRIVMSG" && m.Command != "NOTICE") || m.Params.size() < 2)
        return ComposeIrcLine(m);
    const TCivil at = CivilOf(Kept.At + FLocalOffsetMs), now = CivilOf(FNow + FLocalOffsetMs);
    const bool today = at.Year == now.Year && at.Month == now.Month && at.Day == now.Day;
    const AnsiString stamp = today ? Printed("[%02d:%02d] ", at.Hour, at.Minute)
                                   : Printed("[%02d/%02d %02d:%02d] ", at.Month, at.Day, at.Hour, at.Minute);
    AnsiString& text = m.Params.back();
    const size_t insert = text.compare(0, 8, "\x01" "ACTION ") == 0 ? 8 : 0;
    text.insert(insert, stamp);
    m.Trailing = true;
    return ComposeIrcLine(m);
}

// ---- A restart ------------------------------------------------------------------

TStayState TStaySession::Save() const
{
    TStayState state;
    state.Nick = FWanted.empty() ? FNick : FWanted;
    state.Prefix = FPrefix;
    state.CaseMapping = CaseMappingName(FMapping);
    state.ChanTypes = FChanTypes;
    std::vector<const TChannel*> channels;
    for (const auto& [folded, channel] : FChannels)
        channels.push_back(&channel);
    std::sort(channels.begin(), channels.end(), [](const TChannel* a, const TChannel* b) { return a->Order < b->Order; });
    for (const TChannel* channel : channels)
        state.Channels.push_back({channel->Name, channel->Key, channel->Topic});
    state.Caps.assign(FCaps.begin(), FCaps.end());
    std::vector<const TConversation*> conversations;
    for (const auto& [folded, conversation] : FConversations)
        conversations.push_back(&conversation);
    std::sort(conversations.begin(), conversations.end(),
              [](const TConversation* a, const TConversation* b) { return a->Order < b->Order; });
    for (const TConversation* conversation : conversations)
        state.Conversations.push_back({conversation->Name, {conversation->Lines.begin(), conversation->Lines.end()}});
    return state;
}

void TStaySession::Restore(const TStayState& State)
{
    *this = TStaySession(FLimits);
    FNick = FWanted = State.Nick;
    FPrefix = State.Prefix;
    FMapping = CaseMappingNamed(State.CaseMapping);
    FChanTypes = State.ChanTypes.empty() ? FChanTypes : State.ChanTypes;
    for (const TStayState::TChannelState& saved : State.Channels)
        if (TChannel* channel = AddChannel(saved.Name)) {
            channel->Key = saved.Key;
            channel->Topic = saved.Topic;
        }
    for (const AnsiString& cap : State.Caps)
        if (FCaps.size() < FLimits.MaxCaps)
            FCaps.insert(cap);
    for (const TStayState::TConversationState& saved : State.Conversations)
        for (const TKeptLine& line : saved.Lines)
            Keep(saved.Name, line.Line, line.At);
    FLink = lkDown;
    FAttach = atDetached;
}
