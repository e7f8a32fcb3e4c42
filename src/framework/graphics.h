// The framework's bitmap and the control that shows one, as the support
// library's drawing surface binds to them.
#pragma once

#include "framework/forms.h"
#include "winapi/gdi.h"

#include <QImage>

// A bitmap over a DIB section (winapi/gdi.h). While it holds a handle it owns
// it and deletes it with itself or when given another; ReleaseHandle gives
// the handle up without deleting it. The same holds for its palette. Its
// picture is the DIB section's own memory: nothing is copied.
class TBitmap : public TObject {
public:
    TBitmap() = default;
    ~TBitmap() override;
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    HBITMAP Handle() const { return FHandle; }
    // Takes the handle (null is allowed); a different handle held before is deleted.
    void SetHandle(HBITMAP Handle);
    // Gives the handle up without deleting it; the bitmap is then empty.
    HBITMAP ReleaseHandle();

    HPALETTE Palette() const { return FPalette; }
    void SetPalette(HPALETTE Palette);
    HPALETTE ReleasePalette();

    // Marking the picture or its palette as changed runs OnChange, once for
    // each call with true.
    bool Modified() const { return FModified; }
    void SetModified(bool Value);
    bool PaletteModified() const { return FPaletteModified; }
    void SetPaletteModified(bool Value);
    TNotifyEvent OnChange;

    // The drawing context of the bitmap (its canvas): a memory context with
    // the current handle selected, made on first use and kept with the
    // bitmap. Null while there is no handle.
    HDC CanvasHandle();

    int Width() const;
    int Height() const;
    // The picture as an indexed 8-bit image over the DIB section's memory,
    // with its colour table; valid until the handle changes. A null image
    // while there is no handle.
    QImage Image() const;

private:
    HBITMAP FHandle = nullptr;
    HPALETTE FPalette = nullptr;
    HDC FCanvas = nullptr;
    bool FModified = false;
    bool FPaletteModified = false;
};

// A control that shows its picture's bitmap at its top-left corner and
// repaints whenever the bitmap is marked changed.
class TImage : public TControl {
public:
    // Parent may be null for an image without a window.
    TImage(TComponent* Owner, TControl* Parent);
    ~TImage() override;

    // Owned by the image and destroyed with it (and with it any DIB section
    // it holds).
    TBitmap* Bitmap() const { return FBitmap; }
    // Repaints now.
    void Update();

private:
    TBitmap* FBitmap;
};
