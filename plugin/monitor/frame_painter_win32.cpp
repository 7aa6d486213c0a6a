// Draws a frame's listing into the monitor window: composed off-screen with GDI+, copied at once.
#include "plugin/monitor/frame_painter_win32.h"

// GDI+ uses COM's types (streams, property ids), which the lean windows.h leaves out.
#include <objidl.h>

#include <gdiplus.h>

namespace {

namespace gp = Gdiplus::DllExports;

constexpr INT kBitmapWidth = kMonitorWidth;
constexpr INT kBitmapHeight = kMonitorHeight;
constexpr Gdiplus::ARGB kOpaque = 0xFF000000;
constexpr Gdiplus::ARGB kBackground = kOpaque | kMonitorBackground;
constexpr Gdiplus::ARGB kTextColour = kOpaque;  // black
constexpr const wchar_t* kFontFamilyName = L"Courier New";
constexpr Gdiplus::REAL kFontSize = 11.0f;
constexpr INT kZeroTerminated = -1;

// One GDI+ object, deleted by `Delete` however the repaint ends; null when GDI+ refused it,
// and every call made with a null object then does nothing.
template <typename Object, auto Delete>
struct GdiplusHolder {
    Object* object = nullptr;
    GdiplusHolder() = default;
    GdiplusHolder(const GdiplusHolder&) = delete;
    GdiplusHolder& operator=(const GdiplusHolder&) = delete;
    ~GdiplusHolder() {
        if (object != nullptr) {
            Delete(object);
        }
    }
};

// The drawing objects of one repaint, released in the reverse order of their making.
struct PaintObjects {
    GdiplusHolder<Gdiplus::GpBitmap, gp::GdipDisposeImage> bitmap;
    GdiplusHolder<Gdiplus::GpGraphics, gp::GdipDeleteGraphics> graphics;
    GdiplusHolder<Gdiplus::GpSolidFill, gp::GdipDeleteBrush> brush;
    GdiplusHolder<Gdiplus::GpFontFamily, gp::GdipDeleteFontFamily> family;
    GdiplusHolder<Gdiplus::GpFont, gp::GdipDeleteFont> font;
};

// Without its usual family the monitor would show an empty listing, so any monospaced family
// will do.
Gdiplus::GpFontFamily* create_font_family() {
    Gdiplus::GpFontFamily* family = nullptr;
    if (gp::GdipCreateFontFamilyFromName(kFontFamilyName, nullptr, &family) != Gdiplus::Ok ||
        family == nullptr) {
        family = nullptr;
        gp::GdipGetGenericFontFamilyMonospace(&family);
    }
    return family;
}

void create_paint_objects(PaintObjects& objects) {
    gp::GdipCreateBitmapFromScan0(kBitmapWidth, kBitmapHeight, 0, PixelFormat24bppRGB, nullptr,
                                  &objects.bitmap.object);
    gp::GdipGetImageGraphicsContext(objects.bitmap.object, &objects.graphics.object);
    gp::GdipCreateSolidFill(kTextColour, &objects.brush.object);
    objects.family.object = create_font_family();
    gp::GdipCreateFont(objects.family.object, kFontSize, Gdiplus::FontStyleRegular,
                       Gdiplus::UnitPixel, &objects.font.object);
}

// The listing's texts are 8-bit, each byte standing for the character of the same code.
void draw_item(const PaintObjects& objects, const ListingItem& item) {
    wchar_t text[kListingTextCapacity];
    for (std::size_t i = 0; i <= item.length; ++i) {
        text[i] = static_cast<unsigned char>(item.text[i]);
    }
    // Width and height 0: the text is neither wrapped nor clipped by its rectangle.
    const Gdiplus::RectF at(item.x, item.y, 0.0f, 0.0f);
    gp::GdipDrawString(objects.graphics.object, text, kZeroTerminated, objects.font.object, &at,
                       nullptr, objects.brush.object);
}

void copy_to_window(HDC dc, Gdiplus::GpBitmap* bitmap) {
    GdiplusHolder<Gdiplus::GpGraphics, gp::GdipDeleteGraphics> window;
    gp::GdipCreateFromHDC(dc, &window.object);
    gp::GdipDrawImageI(window.object, bitmap, 0, 0);
}

}  // namespace

ULONG_PTR frame_painter_startup() {
    ULONG_PTR token = 0;
    const Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    return token;
}

void frame_painter_shutdown(ULONG_PTR token) {
    Gdiplus::GdiplusShutdown(token);
}

void frame_painter_paint(HDC dc, const FrameListing& listing) {
    PaintObjects objects;
    create_paint_objects(objects);
    gp::GdipGraphicsClear(objects.graphics.object, kBackground);
    for (std::size_t i = 0; i < listing.count; ++i) {
        draw_item(objects, listing.items[i]);
    }
    copy_to_window(dc, objects.bitmap.object);
}
