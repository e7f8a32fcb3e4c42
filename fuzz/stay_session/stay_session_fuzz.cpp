// A stay session driven by arbitrary steps. The input is cut at LF into
// steps; the first byte of each chooses what happens, the rest is its line:
//   0 a server line        1 a client line         2 the client leaves
//   3 a client comes (with the password "pw" when the line is empty,
//     else without one)    4 the server connection is lost
//   5 it is made again     6 time passes (the line's first byte in seconds)
//   7 a line from the message line
// Small bounds, so that every one of them is reached. Checked after each step:
//   - what goes to the server by itself is only the session's own NICK, JOIN
//     and CAP lines, and a client line is forwarded only while the client is
//     attached and the server there;
//   - an attaching client gets nothing but CAP, PONG and 464 answers until it
//     has sent NICK and USER (and, when asked, the right PASS): no kept line
//     reaches a client that has not registered;
//   - after a playback nothing is kept;
//   - the bounds hold: channels, conversations, lines in each, bytes in all,
//     and the kept bytes are the bytes of the lines kept;
//   - a saved session restores to the same state.
#include "relay/stay_session.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const TStayLimits Limits = {.LinesPerConversation = 4,
                            .TotalKeptBytes = 600,
                            .MaxConversations = 3,
                            .MaxChannels = 3,
                            .MaxNames = 4,
                            .MaxCaps = 3,
                            .MaxWelcomeLines = 4};

int Step = 0;

void Require(bool Condition, const char* What)
{
    if (Condition)
        return;
    std::fprintf(stderr, "step %d: %s\n", Step, What);
    std::abort();
}

bool StartsWithAny(const AnsiString& Line, std::initializer_list<const char*> Starts)
{
    for (const char* start : Starts)
        if (Line.starts_with(start))
            return true;
    return false;
}

// What the attaching client has sent since it came.
struct TRegistration {
    AnsiString Password, Given;
    bool Nick = false, User = false;

    bool Complete() const { return Nick && User && (Password.empty() || Given == Password); }
};

void CheckBounds(const TStaySession& S)
{
    const std::vector<AnsiString> channels = S.ChannelNames();
    Require(channels.size() <= Limits.MaxChannels, "more channels than MaxChannels");
    for (size_t i = 0; i < channels.size(); ++i)
        for (size_t j = i + 1; j < channels.size(); ++j)
            Require(!S.SameName(channels[i], channels[j]), "one channel known twice");
    const TStayState state = S.Save();
    Require(state.Conversations.size() <= Limits.MaxConversations, "more conversations than MaxConversations");
    size_t lines = 0, bytes = 0;
    for (const TStayState::TConversationState& conversation : state.Conversations) {
        Require(conversation.Lines.size() <= Limits.LinesPerConversation, "a conversation over its lines");
        Require(S.KeptIn(conversation.Name) == conversation.Lines, "KeptIn differs from what is saved");
        lines += conversation.Lines.size();
        for (const TKeptLine& kept : conversation.Lines)
            bytes += kept.Line.size();
    }
    Require(S.KeptLines() == lines, "KeptLines differs from the lines kept");
    Require(S.KeptBytes() == bytes, "KeptBytes differs from the bytes kept");
    Require(bytes <= Limits.TotalKeptBytes, "more bytes kept than TotalKeptBytes");
    Require(state.Caps.size() <= Limits.MaxCaps, "more capabilities than MaxCaps");
}

// A saved session comes back as it was, whatever the server's case mapping.
void CheckRestore(const TStaySession& S)
{
    TStayState saved = S.Save();
    TStaySession restored(Limits);
    restored.Restore(saved);
    Require(restored.Link() == TStaySession::lkDown && restored.Attach() == TStaySession::atDetached,
            "a restored session is not down and detached");
    std::erase_if(saved.Conversations, [](const TStayState::TConversationState& c) { return c.Lines.empty(); });
    Require(restored.Save() == saved, "a restored session saves another state");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    TStaySession s(Limits);
    TRegistration registration;
    std::int64_t now = 1796691600000;
    Step = 0;
    for (size_t at = 0; at < input.size(); ++Step) {
        const size_t end = std::min(input.find('\n', at), input.size());
        const unsigned char op = static_cast<unsigned char>(input[at]);
        const AnsiString line = input.substr(at + 1, end > at ? end - at - 1 : 0);
        at = end + 1;
        now += 250;
        const TStaySession::TAttach attachBefore = s.Attach();
        const TStaySession::TLink linkBefore = s.Link();
        const size_t keptBefore = s.KeptLines();
        switch (op % 8) {
        case 0:
            s.FromServer(line, now);
            break;
        case 1: {
            if (attachBefore == TStaySession::atRegistering) {
                const TIrcMessage m = ParseIrcLine(line);
                if (m.Command == "NICK" && !m.Param(0).empty())
                    registration.Nick = true;
                else if (m.Command == "USER")
                    registration.User = true;
                else if (m.Command == "PASS")
                    registration.Given = m.Param(0);
            }
            const TStaySession::TClientVerdict verdict = s.FromClient(line, now);
            Require(verdict != TStaySession::cvForward ||
                        (attachBefore == TStaySession::atNone && linkBefore == TStaySession::lkUp),
                    "a client line forwarded while the client registers or the server is away");
            break;
        }
        case 2:
            s.Detach();
            break;
        case 3:
            registration = TRegistration();
            registration.Password = line.empty() ? "pw" : "";
            s.BeginAttach(registration.Password);
            break;
        case 4:
            s.LinkLost(now);
            break;
        case 5: {
            const std::vector<AnsiString> lines = s.Reconnected("USER t 0 * :T");
            Require(lines.size() >= 2 && lines.back() == "USER t 0 * :T", "no registration to send");
            break;
        }
        case 6:
            now += line.empty() ? 60000 : static_cast<unsigned char>(line[0]) * 1000;
            break;
        case 7:
            s.FromUser(line, now);
            break;
        }
        const std::int64_t next = s.NextServerLineAt();
        const std::vector<AnsiString> forServer = s.TakeForServer(now);
        Require(next < 0 || next > now || !forServer.empty(), "a line due was not given");
        for (const AnsiString& out : forServer) {
            Require(StartsWithAny(out, {"NICK ", "JOIN ", "CAP "}), "a line for the server that is not the session's own");
            Require(out.find('\n') == AnsiString::npos, "a line for the server with an LF");
        }
        const std::vector<AnsiString> forClient = s.TakeForClient();
        if (attachBefore == TStaySession::atRegistering) {
            if (s.Attach() == TStaySession::atNone) {
                Require(registration.Complete(), "played back to a client that has not registered");
                Require(s.KeptLines() == 0 && s.KeptBytes() == 0, "lines kept after the playback");
                Require(s.PlayedBack() == keptBefore || op % 8 != 1, "PlayedBack differs from the lines kept");
            } else if (s.Attach() == TStaySession::atRegistering) {
                for (const AnsiString& out : forClient)
                    Require(StartsWithAny(out, {":nimbochat CAP ", ":nimbochat PONG ", ":nimbochat 464 "}),
                            "an attaching client got more than answers");
            }
        }
        if (attachBefore == TStaySession::atDetached && op % 8 != 3)
            Require(forClient.empty() || op % 8 == 1, "a detached session wrote to no client");
        CheckBounds(s);
    }
    CheckRestore(s);
    return 0;
}
