// A module with none of the library in it: every name it calls comes from
// the program that loads it.
#include "support/Zybitmap.h"
#include "support/Zypack.h"
#include "support/Zyrene.h"

#include <cstdio>
#include <cstring>

// Opens the pack, reads the entry note.txt and loads the 24-bit picture
// photo.bmp from it, and writes what it found into `out`.
extern "C" int ZyreneProbe(const char* packName, char* out, int size)
{
    TZyPack pack(nullptr);
    if (!FileIsExist(packName) || !pack.LoadPack(packName))
        return 0;
    ZyFILE* f = pack.Zyfopen("note.txt");
    char text[64] = {};
    unsigned n = pack.Zyfread(text, 1, sizeof text - 1, f);
    pack.Zyfclose(f);
    char line[64];
    hstrncpy(line, text, sizeof line - 1, true);
    TCrcCheck crc;
    TZyRGB* pixels = nullptr;
    int w = 0, h = 0;
    if (!LoadBmp24Pack(&pack, "photo.bmp", &pixels, &w, &h))
        return 0;
    const TZyRGB first = pixels[0];
    GlobalFree(pixels);
    TRandom random;
    TCounter counter(10, 3);
    counter.IncVal();
    const AnsiString count = Ansiprintf("%d entries", pack.GetFileNum());
    std::snprintf(out, static_cast<size_t>(size), "%s|%04X|%dx%d %06lX|%u %d|%s", line,
                  crc.Crc(reinterpret_cast<unsigned char*>(text), static_cast<int>(n)), w, h, first.ToDWORD(),
                  random.Rnd(), counter.GetCount(), count.c_str());
    return 1;
}
