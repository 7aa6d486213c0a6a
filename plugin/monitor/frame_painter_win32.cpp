// Draws the latest frame into the monitor window: composed off-screen with GDI+, copied at once.
#include "plugin/monitor/frame_painter.h"

#include <gdiplus.h>

ULONG_PTR frame_painter_startup() {
    ULONG_PTR token = 0;
    const Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    return token;
}

void frame_painter_shutdown(ULONG_PTR token) { Gdiplus::GdiplusShutdown(token); }

void frame_painter_paint(HDC, FrameExchange& exchange) { frame_exchange_take(exchange); }
