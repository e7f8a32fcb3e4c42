// Lists a pack with each entry's size and check word, then draws a BMP file
// on a surface and prints its size, its top-left pixel and that pixel's
// colour.
#include "support/Zydib.h"
#include "support/Zypack.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    TZyPack pack(nullptr);
    if (!pack.LoadPack(argv[1]))
        return 1;
    char name[26];
    for (int i = 0; i < pack.GetFileNum(); ++i) {
        pack.GetFileName(i, name);
        ZyFILE* f = pack.Zyfopen(name);
        std::printf("%s %d %04X\n", name, pack.Zyfsize(f), pack.ZyGetCrc(f));
        pack.Zyfclose(f);
    }
    TZyDib dib(nullptr);
    dib.EndDib(); // the picture then gives the surface its size
    if (!dib.DrawBmpFile(argv[2], 0, 0))
        return 1;
    TZyRGB colour;
    dib.AskPal1(dib.PGet(0, 0), &colour);
    std::printf("%dx%d %u %06lX\n", dib.Width(), dib.Height(), dib.PGet(0, 0), colour.ToDWORD());
    return 0;
}
