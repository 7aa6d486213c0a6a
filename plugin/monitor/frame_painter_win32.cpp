// Draws a frame's listing into the monitor window: composed off-screen with GDI+, copied at once.
#include "plugin/monitor/frame_painter_win32.h"

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

// The drawing objects of one repaint. Any of them may be null when GDI+ refused it; every call
// made with a null object then does nothing.
struct PaintObjects {
    Gdiplus::GpBitmap* bitmap = nullptr;
    Gdiplus::GpGraphics* graphics = nullptr;
    Gdiplus::GpSolidFill* brush = nullptr;
    Gdiplus::GpFontFamily* family = nullptr;
    Gdiplus::GpFont* font = nullptr;
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

PaintObjects create_paint_objects() {
    PaintObjects objects;
    gp::GdipCreateBitmapFromScan0(kBitmapWidth, kBitmapHeight, 0, PixelFormat24bppRGB, nullptr,
                                  &objects.bitmap);
    gp::GdipGetImageGraphicsContext(objects.bitmap, &objects.graphics);
    gp::GdipCreateSolidFill(kTextColour, &objects.brush);
    objects.family = create_font_family();
    gp::GdipCreateFont(objects.family, kFontSize, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel,
                       &objects.font);
    return objects;
}

void release_paint_objects(const PaintObjects& objects) {
    gp::GdipDeleteFont(objects.font);
    gp::GdipDeleteFontFamily(objects.family);
    gp::GdipDeleteBrush(objects.brush);
    gp::GdipDeleteGraphics(objects.graphics);
    gp::GdipDisposeImage(objects.bitmap);
}

// The listing's texts are 8-bit, each byte standing for the character of the same code.
void draw_item(const PaintObjects& objects, const ListingItem& item) {
    wchar_t text[kListingTextCapacity];
    for (std::size_t i = 0; i <= item.length; ++i) {
        text[i] = static_cast<unsigned char>(item.text[i]);
    }
    // Width and height 0: the text is neither wrapped nor clipped by its rectangle.
    const Gdiplus::RectF at(item.x, item.y, 0.0f, 0.0f);
    gp::GdipDrawString(objects.graphics, text, kZeroTerminated, objects.font, &at, nullptr,
                       objects.brush);
}

void copy_to_window(HDC dc, Gdiplus::GpBitmap* bitmap) {
    Gdiplus::GpGraphics* window = nullptr;
    gp::GdipCreateFromHDC(dc, &window);
    gp::GdipDrawImageI(window, bitmap, 0, 0);
    gp::GdipDeleteGraphics(window);
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
    const PaintObjects objects = create_paint_objects();
    gp::GdipGraphicsClear(objects.graphics, kBackground);
    for (std::size_t i = 0; i < listing.count; ++i) {
        draw_item(objects, listing.items[i]);
    }

    copy_to_window(dc, objects.bitmap);
    release_paint_objects(objects);
}
