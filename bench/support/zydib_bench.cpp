// The surface's fills and pattern transfers against the plain memory
// operations that bound them, in one run: BoxFill of a whole 640 x 480
// surface against memset, and PutPat / PasPat of 64 x 64 sprites against
// memcpy of the same rows.
#include "support/Zydib.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr int W = 640, H = 480, Sprite = 64;

// A sprite whose bytes are 0 (transparent) on a checkerboard of 4 x 4 cells.
std::vector<unsigned char> MakeSprite()
{
    std::vector<unsigned char> s(Sprite * Sprite);
    for (int y = 0; y < Sprite; ++y)
        for (int x = 0; x < Sprite; ++x)
            s[static_cast<std::size_t>(y * Sprite + x)] = ((x / 4 + y / 4) % 2) ? static_cast<unsigned char>(1 + (x ^ y)) : 0;
    return s;
}

// Sprite positions spread over the surface, all wholly inside it.
int SpriteX(long i) { return static_cast<int>(i * 37 % (W - Sprite)); }
int SpriteY(long i) { return static_cast<int>(i * 23 % (H - Sprite)); }

void BM_BoxFill_640x480(benchmark::State& state)
{
    TZyDib d(nullptr, W, H);
    unsigned char c = 0;
    for (auto _ : state) {
        d.BoxFill(0, 0, W - 1, H - 1, ++c);
        benchmark::DoNotOptimize(d.ImagePtr());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * W * H);
}
BENCHMARK(BM_BoxFill_640x480);

void BM_Memset_640x480(benchmark::State& state)
{
    std::vector<unsigned char> pixels(W * H);
    unsigned char c = 0;
    for (auto _ : state) {
        std::memset(pixels.data(), ++c, pixels.size());
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * W * H);
}
BENCHMARK(BM_Memset_640x480);

void BM_PutPat_64x64_Opaque(benchmark::State& state)
{
    TZyDib d(nullptr, W, H);
    std::vector<unsigned char> sprite = MakeSprite();
    long i = 0;
    for (auto _ : state) {
        d.PutPat(SpriteX(i), SpriteY(i), Sprite, Sprite, sprite.data());
        ++i;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * Sprite * Sprite);
}
BENCHMARK(BM_PutPat_64x64_Opaque);

void BM_PasPat_64x64_Transparent(benchmark::State& state)
{
    TZyDib d(nullptr, W, H);
    std::vector<unsigned char> sprite = MakeSprite();
    long i = 0;
    for (auto _ : state) {
        d.PasPat(SpriteX(i), SpriteY(i), Sprite, Sprite, sprite.data(), 0);
        ++i;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * Sprite * Sprite);
}
BENCHMARK(BM_PasPat_64x64_Transparent);

// The bound for a sprite: its 64 rows copied with memcpy into a surface of
// the same row length. The row length is a run-time value, as it is for
// PutPat, so that the compiler cannot turn the copies into inline moves.
void BM_Memcpy_64x64(benchmark::State& state)
{
    std::vector<unsigned char> pixels(W * H);
    std::vector<unsigned char> sprite = MakeSprite();
    std::size_t run = Sprite;
    benchmark::DoNotOptimize(run);
    long i = 0;
    for (auto _ : state) {
        unsigned char* target = pixels.data() + SpriteY(i) * W + SpriteX(i);
        for (int y = 0; y < Sprite; ++y)
            std::memcpy(target + y * W, sprite.data() + y * Sprite, run);
        ++i;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * Sprite * Sprite);
}
BENCHMARK(BM_Memcpy_64x64);

} // namespace

BENCHMARK_MAIN();
