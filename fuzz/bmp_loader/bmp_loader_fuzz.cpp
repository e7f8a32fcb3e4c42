// Feeds arbitrary bytes to every BMP and palette loader, with each way of
// passing the buffers, and checks what an accepted file reports: a loader
// may never claim more pixels than the input holds bytes for.
#include "support/Zybitmap.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void Require(bool Condition)
{
    if (!Condition)
        std::abort();
}

// The sizes of an accepted picture are positive and backed by the input.
void CheckSize(int Width, int Height, std::size_t BytesPerPixel, std::size_t Size)
{
    Require(Width > 0 && Height > 0);
    Require(static_cast<std::size_t>(Width) * static_cast<std::size_t>(Height) * BytesPerPixel <= Size);
}

unsigned Touch(const unsigned char* Bytes, std::size_t Count)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < Count; ++i)
        sum += Bytes[i];
    return sum;
}

volatile unsigned sink;

void FromMemory(const uint8_t* Data, std::size_t Size)
{
    int w = 0, h = 0;
    RGBQUAD* palette = nullptr;
    unsigned char* pixels = nullptr;
    if (LoadBmpMemory(Data, Size, &palette, &pixels, &w, &h)) {
        CheckSize(w, h, 1, Size);
        sink = Touch(pixels, static_cast<std::size_t>(w) * h) + Touch(reinterpret_cast<unsigned char*>(palette), 1024);
        // Again into the caller's own buffers of exactly the reported size.
        std::vector<RGBQUAD> ownPalette(256);
        std::vector<unsigned char> ownPixels(static_cast<std::size_t>(w) * h);
        RGBQUAD* p = ownPalette.data();
        unsigned char* q = ownPixels.data();
        Require(LoadBmpMemory(Data, Size, &p, &q, nullptr, nullptr) && p == ownPalette.data());
        Require(std::equal(ownPixels.begin(), ownPixels.end(), pixels));
    } else {
        Require(palette == nullptr && pixels == nullptr && w == 0 && h == 0);
    }
    GlobalFree(palette);
    GlobalFree(pixels);

    TZyRGB* colours = nullptr;
    if (LoadBmp24Memory(Data, Size, &colours, &w, &h)) {
        CheckSize(w, h, 1, Size);
        sink = Touch(reinterpret_cast<unsigned char*>(colours), static_cast<std::size_t>(w) * h * 3);
    }
    GlobalFree(colours);
    Require(LoadBmpMemory(Data, Size, nullptr, nullptr, &w, &h) == LoadBmpMemory(Data, Size, nullptr, nullptr, nullptr, nullptr));
}

void FromFile(const uint8_t* Data, std::size_t Size)
{
    static const std::string name = "/tmp/fuzz_bmp_loader." + std::to_string(getpid()) + ".bmp";
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f)
        return;
    std::fwrite(Data, 1, Size, f);
    std::fclose(f);
    RGBQUAD* palette = nullptr;
    unsigned char* pixels = nullptr;
    TZyRGB* colours = nullptr;
    int w = 0, h = 0;
    bool memory = LoadBmpMemory(Data, Size, nullptr, nullptr, nullptr, nullptr);
    Require(LoadBmpFile(name, &palette, &pixels, &w, &h) == memory);
    if (memory)
        sink = Touch(pixels, static_cast<std::size_t>(w) * h);
    if (LoadBmp24File(name, &colours, &w, &h))
        sink = Touch(reinterpret_cast<unsigned char*>(colours), static_cast<std::size_t>(w) * h * 3);
    GlobalFree(palette);
    GlobalFree(pixels);
    GlobalFree(colours);
    palette = nullptr;
    Require(LoadActFile(name, &palette));
    sink = Touch(reinterpret_cast<unsigned char*>(palette), 1024);
    GlobalFree(palette);
    std::remove(name.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FromMemory(Data, Size);
    FromFile(Data, Size);
    return 0;
}
