// Zypack throughput against its peers, measured in the same run:
//   CRC-16 against zlib's crc32 (and the one-byte table rule);
//   Lunder decoding against zlib's inflate;
//   Lunder encoding against zlib levels 1 and 6, LZ4 and the plain scan.
// Corpora: 2 MiB of text (the packages' copyright files, in name order) and
// 2 MiB of machine code (the start of the cmake executable). Counters give
// the compression ratio (input / output) where it applies.
#include "support/Zypack.h"

#include "../../tests/support/lunder_reference.h"

#include <benchmark/benchmark.h>
#include <lz4.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr size_t CorpusBytes = 2 << 20;

Bytes ReadFile(const std::filesystem::path& p, size_t most)
{
    std::ifstream in(p, std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() > most)
        b.resize(most);
    return b;
}

const Bytes& TextCorpus()
{
    static const Bytes text = [] {
        std::vector<std::filesystem::path> files;
        for (const auto& d : std::filesystem::directory_iterator("/usr/share/doc"))
            if (std::filesystem::exists(d.path() / "copyright"))
                files.push_back(d.path() / "copyright");
        std::sort(files.begin(), files.end());
        Bytes all;
        for (const auto& f : files) {
            Bytes b = ReadFile(f, CorpusBytes);
            all.insert(all.end(), b.begin(), b.end());
            if (all.size() >= CorpusBytes)
                break;
        }
        all.resize(std::min(all.size(), CorpusBytes));
        return all;
    }();
    return text;
}

const Bytes& BinaryCorpus()
{
    static const Bytes bin = ReadFile("/usr/bin/cmake", CorpusBytes);
    return bin;
}

const Bytes& Corpus(int which)
{
    return which == 0 ? TextCorpus() : BinaryCorpus();
}

// ---- Lunder drivers over whole buffers ----

Bytes LunderEncode(const Bytes& in)
{
    TLunderEncode enc;
    Bytes out;
    out.reserve(in.size() + in.size() / 8 + 64);
    unsigned char* buffer = enc.Open(static_cast<int>(in.size()));
    size_t given = 0;
    while (!enc.Finished) {
        const unsigned char* block = in.data() + given;
        given += std::min<size_t>(LunderBlockSize, in.size() - given);
        int n = enc.Encode(block);
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

size_t LunderDecode(const Bytes& packed, unsigned char* dst, int size)
{
    TLunderDecode dec;
    unsigned char* out = dec.Open(size, static_cast<int>(packed.size()));
    size_t taken = 0, written = 0;
    while (!dec.Finished) {
        const unsigned char* block = packed.data() + taken;
        if (dec.NeedData)
            taken += std::min<size_t>(LunderBlockSize, packed.size() - taken);
        int n = dec.Decode(block);
        std::copy(out, out + n, dst + written);
        written += static_cast<size_t>(n);
    }
    return written;
}

Bytes ZlibCompress(const Bytes& in, int level)
{
    uLongf n = compressBound(in.size());
    Bytes out(n);
    compress2(out.data(), &n, in.data(), in.size(), level);
    out.resize(n);
    return out;
}

void SetRatio(benchmark::State& state, size_t in, size_t out)
{
    state.counters["ratio"] = static_cast<double>(in) / static_cast<double>(out);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in));
}

// ---- CRC ----

void BM_Crc16(benchmark::State& state)
{
    const Bytes& in = Corpus(static_cast<int>(state.range(0)));
    TCrcCheck crc;
    for (auto _ : state) {
        unsigned short c = 0xFFFF;
        for (size_t at = 0; at < in.size(); at += 32768) // as the pack feeds it
            c = crc.UpDateCrc(c, in.data() + at, static_cast<int>(std::min<size_t>(32768, in.size() - at)));
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_Crc16OneByteRule(benchmark::State& state)
{
    const Bytes& in = Corpus(static_cast<int>(state.range(0)));
    TCrcCheck crc;
    for (auto _ : state) {
        unsigned c = 0xFFFF;
        for (unsigned char b : in)
            c = crc.Table[(c ^ b) & 0xFF] ^ (c >> 8);
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_ZlibCrc32(benchmark::State& state)
{
    const Bytes& in = Corpus(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, in.data(), static_cast<uInt>(in.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

// ---- decoding ----

void BM_LunderDecode(benchmark::State& state)
{
    const Bytes& in = Corpus(static_cast<int>(state.range(0)));
    Bytes packed = LunderEncode(in), out(in.size() + 64);
    for (auto _ : state)
        benchmark::DoNotOptimize(LunderDecode(packed, out.data(), static_cast<int>(in.size())));
    if (!std::equal(in.begin(), in.end(), out.begin()))
        state.SkipWithError("round trip failed");
    SetRatio(state, in.size(), packed.size());
}

void BM_ZlibInflate(benchmark::State& state)
{
    const Bytes& in = Corpus(static_cast<int>(state.range(0)));
    Bytes packed = ZlibCompress(in, 6), out(in.size());
    for (auto _ : state) {
        uLongf n = out.size();
        uncompress(out.data(), &n, packed.data(), packed.size());
        benchmark::DoNotOptimize(n);
    }
    SetRatio(state, in.size(), packed.size());
}

// ---- encoding ----

void BM_LunderEncode(benchmark::State& state)
{
    const Bytes& in = Corpus(static_cast<int>(state.range(0)));
    size_t out = 0;
    for (auto _ : state)
        out = LunderEncode(in).size();
    SetRatio(state, in.size(), out);
}

// The plain scan is slow: it and the fast encoder are compared on the
// first 256 KiB.
Bytes Prefix(int which)
{
    Bytes in = Corpus(which);
    in.resize(256 << 10);
    return in;
}

void BM_LunderEncodePrefix(benchmark::State& state)
{
    Bytes in = Prefix(static_cast<int>(state.range(0)));
    size_t out = 0;
    for (auto _ : state)
        out = LunderEncode(in).size();
    SetRatio(state, in.size(), out);
}

void BM_LunderPlainScan(benchmark::State& state)
{
    Bytes in = Prefix(static_cast<int>(state.range(0)));
    size_t out = 0;
    for (auto _ : state)
        out = lunder_reference::Encode(in.data(), static_cast<int>(in.size())).size();
    if (lunder_reference::Encode(in.data(), static_cast<int>(in.size())) != LunderEncode(in))
        state.SkipWithError("fast encoder differs from the plain scan");
    SetRatio(state, in.size(), out);
}

void BM_ZlibDeflate(benchmark::State& state)
{
    const Bytes& in = Corpus(static_cast<int>(state.range(0)));
    size_t out = 0;
    for (auto _ : state)
        out = ZlibCompress(in, static_cast<int>(state.range(1))).size();
    SetRatio(state, in.size(), out);
}

void BM_Lz4(benchmark::State& state)
{
    const Bytes& in = Corpus(static_cast<int>(state.range(0)));
    Bytes out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(in.size()))));
    int n = 0;
    for (auto _ : state)
        n = LZ4_compress_default(reinterpret_cast<const char*>(in.data()), reinterpret_cast<char*>(out.data()),
                                 static_cast<int>(in.size()), static_cast<int>(out.size()));
    SetRatio(state, in.size(), static_cast<size_t>(n));
}

// Argument 0: text, 1: binary.
BENCHMARK(BM_Crc16)->Arg(0)->Arg(1);
BENCHMARK(BM_Crc16OneByteRule)->Arg(0);
BENCHMARK(BM_ZlibCrc32)->Arg(0)->Arg(1);
BENCHMARK(BM_LunderDecode)->Arg(0)->Arg(1);
BENCHMARK(BM_ZlibInflate)->Arg(0)->Arg(1);
BENCHMARK(BM_LunderEncode)->Arg(0)->Arg(1);
BENCHMARK(BM_LunderEncodePrefix)->Arg(0)->Arg(1);
BENCHMARK(BM_LunderPlainScan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate)->Args({0, 1})->Args({0, 6})->Args({1, 1})->Args({1, 6});
BENCHMARK(BM_Lz4)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
