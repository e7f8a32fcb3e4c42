#include "framework/graphics.h"

#include <QPainter>
#include <QWidget>

TBitmap::~TBitmap()
{
    if (FCanvas)
        DeleteDC(FCanvas);
    DeleteObject(FHandle);
    DeleteObject(FPalette);
}

void TBitmap::SetHandle(HBITMAP Handle)
{
    if (FHandle && FHandle != Handle)
        DeleteObject(FHandle);
    FHandle = Handle;
    if (FCanvas)
        SelectObject(FCanvas, FHandle ? FHandle : FCanvas);
}

HBITMAP TBitmap::ReleaseHandle()
{
    HBITMAP handle = FHandle;
    FHandle = nullptr;
    if (FCanvas)
        SelectObject(FCanvas, FCanvas);
    return handle;
}

void TBitmap::SetPalette(HPALETTE Palette)
{
    if (FPalette && FPalette != Palette)
        DeleteObject(FPalette);
    FPalette = Palette;
}

HPALETTE TBitmap::ReleasePalette()
{
    HPALETTE palette = FPalette;
    FPalette = nullptr;
    return palette;
}

void TBitmap::SetModified(bool Value)
{
    FModified = Value;
    if (Value && OnChange)
        OnChange(this);
}

void TBitmap::SetPaletteModified(bool Value)
{
    FPaletteModified = Value;
    if (Value && OnChange)
        OnChange(this);
}

HDC TBitmap::CanvasHandle()
{
    if (!FHandle)
        return nullptr;
    if (!FCanvas) {
        FCanvas = CreateCompatibleDC(nullptr);
        SelectObject(FCanvas, FHandle);
    }
    return FCanvas;
}

int TBitmap::Width() const
{
    TDibSectionInfo info;
    return GetDibSectionInfo(FHandle, &info) ? info.Width : 0;
}

int TBitmap::Height() const
{
    TDibSectionInfo info;
    return GetDibSectionInfo(FHandle, &info) ? info.Height : 0;
}

QImage TBitmap::Image() const
{
    TDibSectionInfo info;
    if (!GetDibSectionInfo(FHandle, &info))
        return QImage();
    QImage image(info.Bits, info.Width, info.Height, info.LineBytes, QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < 256; ++i)
        table.append(qRgb(info.Colors[i].rgbRed, info.Colors[i].rgbGreen, info.Colors[i].rgbBlue));
    image.setColorTable(table);
    return image;
}

namespace {

class ImageWidget : public QWidget {
public:
    using QWidget::QWidget;
    void SetBitmap(const TBitmap* Bitmap) { FBitmap = Bitmap; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QImage image = FBitmap ? FBitmap->Image() : QImage();
        if (!image.isNull())
            QPainter(this).drawImage(0, 0, image);
    }

private:
    const TBitmap* FBitmap = nullptr;
};

} // namespace

TImage::TImage(TComponent* Owner, TControl* Parent)
    : TControl(Owner, new ImageWidget(Parent ? Parent->Widget() : nullptr)), FBitmap(new TBitmap)
{
    static_cast<ImageWidget*>(Widget())->SetBitmap(FBitmap);
    FBitmap->OnChange = [this](TObject*) { Widget()->update(); };
}

TImage::~TImage()
{
    if (auto* widget = static_cast<ImageWidget*>(Widget()))
        widget->SetBitmap(nullptr);
    delete FBitmap;
}

void TImage::Update()
{
    Widget()->repaint();
}
