// Server lines of any bytes, read in pieces through ClientSocketRead, in a
// relay or a direct session. What the relay does with them is checked:
// - the log never holds more than its bound;
// - in a relay session the lines passed to the client are the server's own
//   lines, in order, each with CR LF, and a line that cannot be a PING or a
//   CTCP query is always passed on;
// - in a direct session nothing goes to any client;
// - what goes upstream are only PONG and NOTICE answers, each a whole line;
// - a welcome (001), whose host is looked up (answered here, never on the
//   network), holds nothing back for good and changes no order.
#include "window_harness.h"

#include <cstdint>
#include <cstring>

namespace {

bool MayBeAnswered(const std::string& Line)
{
    if (Line.find('\x01') != std::string::npos || Line.find('\x1B') != std::string::npos)
        return true;
    std::string upper = AnsiUpperAscii(Line);
    return upper.find("PING") != std::string::npos;
}

// Every one of Forwarded is the next of Lines that is forwarded, and each
// line that cannot be answered is among them.
void CheckForwarded(const std::vector<std::string>& Lines, const std::string& Sent, const std::string& Input)
{
    size_t at = 0;
    for (const std::string& line : Lines) {
        std::string framed = line + "\r\n";
        if (Sent.compare(at, framed.size(), framed) == 0)
            at += framed.size();
        else
            Require(MayBeAnswered(line), "a line that is no query was not passed on", Input);
    }
    Require(at == Sent.size(), "the client got bytes the server did not send", Input);
}

void CheckAnswers(const std::string& Sent, const std::string& Input)
{
    Require(Sent.empty() || Sent.ends_with("\r\n"), "an answer without its line end", Input);
    for (size_t start = 0; start < Sent.size();) {
        Require(Sent.compare(start, 5, "PONG ") == 0 || Sent.compare(start, 7, "NOTICE ") == 0,
                "upstream got something other than an answer", Input);
        size_t end = Sent.find("\r\n", start);
        start = end == std::string::npos ? Sent.size() : end + 2;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size < 1)
        return 0;
    const std::string input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    const bool relay = Data[0] & 0x80;
    const size_t piece = Data[0] % 32 + 1;
    WindowHarness& h = Harness();
    TNimboChat& w = *h.Window;
    RecordingSocket client;
    h.StartSession(relay ? ssRelay : ssDirect, relay ? &client : nullptr);
    for (size_t at = 0; at < input.size(); at += piece) {
        h.Upstream->Input = input.substr(at, piece);
        w.ClientSocketRead(w.ClientSocket, h.Upstream);
        // A welcome holds the lines after it until its host is looked up.
        for (h.AnswerLookups(); NimboChatProbe::ServerLinesWaiting(w); h.AnswerLookups())
            NimboChatProbe::ContinueServerLines(w);
        Require(w.LogRichEdit->LineTextCount() <= LogLineLimit, "the log passed its bound", input);
    }
    if (relay)
        CheckForwarded(CompleteLines(input), client.Sent, input);
    CheckAnswers(h.Upstream->Sent, input);
    h.EndSession();
    return 0;
}
