// Inside Zybitmap: the byte sources the loaders read from and the loaders
// over any source, shared by the disk, resource, memory and pack forms.
#pragma once

#include "support/Zybitmap.h"

#include <cstddef>

// Where a loader reads from. Read gives all the bytes asked for or fails;
// Skip moves on by a count that must lie inside the source.
class TZyByteSource {
public:
    virtual ~TZyByteSource() = default;
    virtual bool Read(void* Buffer, std::size_t Bytes) = 0;
    virtual bool Skip(long long Bytes) = 0;
    // The length of the whole source, from its first byte.
    virtual long long Size() = 0;
};

// The loaders over an open source positioned at its first byte, with the
// rules of Zybitmap.h.
bool ZyLoadBmpFrom(TZyByteSource& Source, RGBQUAD** Palette, unsigned char** Pixels, int* Width, int* Height);
bool ZyLoadBmp24From(TZyByteSource& Source, TZyRGB** Pixels, int* Width, int* Height);
// Without a palette argument this only succeeds: the source is open.
bool ZyLoadActFrom(TZyByteSource& Source, RGBQUAD** Palette);
