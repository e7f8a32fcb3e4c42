// Chat client lines of any bytes, read in pieces through
// ServerSocketClientRead, with the address rewrite on or off. Checked:
// - the log never holds more than its bound;
// - with the rewrite off, the upstream gets exactly the client's lines, in
//   order, each with CR LF;
// - with it on, each line is passed on unchanged or, when it held the local
//   address, with the global address in its place; a line without the local
//   address is never changed.
#include "window_harness.h"

#include <cstdint>

namespace {

const char* const Local = "192.168.1.5";
const char* const Global = "203.0.113.77";

void CheckRewritten(const std::vector<std::string>& Lines, const std::string& Sent, const std::string& Input)
{
    size_t at = 0;
    for (const std::string& line : Lines) {
        std::string framed = line + "\r\n";
        if (Sent.compare(at, framed.size(), framed) == 0) {
            at += framed.size();
            continue;
        }
        // A rewritten line: converted back to JIS, so only its being there
        // and its line end are certain; a lone CR in it may end it early.
        Require(line.find(Local) != std::string::npos, "a line without the local address was changed", Input);
        size_t end = Sent.find("\r\n", at);
        Require(end != std::string::npos, "a rewritten line without its line end", Input);
        Require(line.find('\r') != std::string::npos || Sent.substr(at, end - at).find(Global) != std::string::npos,
                "a rewritten line without the global address", Input);
        at = end + 2;
        if (line.find('\r') != std::string::npos)
            return; // where such a line ends upstream is not certain: the rest is not compared
    }
    Require(at == Sent.size(), "the upstream got bytes the client did not send", Input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size < 1)
        return 0;
    const std::string input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    const bool rewrite = Data[0] & 0x80;
    const size_t piece = Data[0] % 32 + 1;
    WindowHarness& h = Harness();
    TNimboChat& w = *h.Window;
    w.ConvertCheckBox->SetChecked(rewrite);
    NimboChatProbe::LocalAddress(w) = Local;
    NimboChatProbe::GlobalAddress(w) = Global;
    RecordingSocket client;
    h.StartSession(ssRelay, &client);
    for (size_t at = 0; at < input.size(); at += piece) {
        client.Input = input.substr(at, piece);
        w.ServerSocketClientRead(w.ServerSocket, &client);
        Require(w.LogRichEdit->LineTextCount() <= LogLineLimit, "the log passed its bound", input);
    }
    const std::vector<std::string> lines = CompleteLines(input);
    if (rewrite) {
        CheckRewritten(lines, h.Upstream->Sent, input);
    } else {
        std::string all;
        for (const std::string& line : lines)
            all += line + "\r\n";
        Require(h.Upstream->Sent == all, "the upstream did not get the client's lines as sent", input);
    }
    h.EndSession();
    return 0;
}
