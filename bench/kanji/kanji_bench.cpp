// KanjiConvert against glibc iconv on about 1 MiB of IRC-like lines that mix
// Japanese and ASCII, converted line by line as the relay does.
#include "kanji/jis_utf8.h"
#include "kanji/kanji_convert.h"

#include <benchmark/benchmark.h>
#include <iconv.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string Iconv(iconv_t cd, const std::string& in)
{
    std::string out(in.size() * 4 + 16, '\0');
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1))
        throw std::runtime_error("iconv failed");
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft); // the closing escape, as a stateful encoder writes it
    out.resize(out.size() - outLeft);
    return out;
}

struct Corpus {
    std::vector<std::string> sjis;
    std::vector<std::string> jis;
    size_t sjisBytes = 0;
    size_t jisBytes = 0;
};

const Corpus& TheCorpus()
{
    static Corpus corpus = [] {
        const char* phrases[] = {"こんにちは", "今日は良い天気ですね", "ログを確認してください", "了解しました",
                                 "明日の会議は十時からです", "テスト中", "漢字とカタカナ", "ありがとう"};
        const char* prefixes[] = {":taro!t@host.example.jp PRIVMSG #leaf :", ":hana!h@pc.example.jp PRIVMSG #nimbo :",
                                  ":srv NOTICE Nick :"};
        iconv_t toSjis = iconv_open("CP932", "UTF-8");
        iconv_t toJis = iconv_open("ISO-2022-JP", "UTF-8");
        Corpus c;
        for (size_t i = 0; c.sjisBytes < (1u << 20); ++i) {
            std::string utf8 = std::string(prefixes[i % 3]) + phrases[i % 8] + " ok " + std::to_string(i) + " " +
                               phrases[(i * 5 + 3) % 8];
            c.sjis.push_back(Iconv(toSjis, utf8));
            c.jis.push_back(Iconv(toJis, utf8));
            c.sjisBytes += c.sjis.back().size();
            c.jisBytes += c.jis.back().size();
        }
        iconv_close(toSjis);
        iconv_close(toJis);
        return c;
    }();
    return corpus;
}

void BM_KanjiConvert_JisToSjis(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    std::string result;
    for (auto _ : state)
        for (const std::string& line : c.jis)
            benchmark::DoNotOptimize(KanjiConvert(result, line, kcJis, kcShiftJis, 1));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.jisBytes));
}

void BM_Iconv_JisToSjis(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    iconv_t cd = iconv_open("CP932", "ISO-2022-JP");
    for (auto _ : state)
        for (const std::string& line : c.jis)
            benchmark::DoNotOptimize(Iconv(cd, line));
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.jisBytes));
}

void BM_KanjiConvert_SjisToJis(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    std::string result;
    for (auto _ : state)
        for (const std::string& line : c.sjis)
            benchmark::DoNotOptimize(KanjiConvert(result, line, kcShiftJis, kcJis, 1));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.sjisBytes));
}

void BM_Iconv_SjisToJis(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    iconv_t cd = iconv_open("ISO-2022-JP", "CP932");
    for (auto _ : state)
        for (const std::string& line : c.sjis)
            benchmark::DoNotOptimize(Iconv(cd, line));
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.sjisBytes));
}

// JIS to UTF-8, what every server line costs a chat client in UTF-8 mode.
void BM_JapaneseToUtf8_Jis(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    std::string result;
    int replaced = 0;
    for (auto _ : state)
        for (const std::string& line : c.jis)
            benchmark::DoNotOptimize(JapaneseToUtf8(result, line, replaced));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.jisBytes));
}

void BM_Iconv_JisToUtf8(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    iconv_t cd = iconv_open("UTF-8", "ISO-2022-JP");
    for (auto _ : state)
        for (const std::string& line : c.jis)
            benchmark::DoNotOptimize(Iconv(cd, line));
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.jisBytes));
}

BENCHMARK(BM_KanjiConvert_JisToSjis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JapaneseToUtf8_Jis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iconv_JisToUtf8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iconv_JisToSjis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KanjiConvert_SjisToJis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iconv_SjisToJis)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
