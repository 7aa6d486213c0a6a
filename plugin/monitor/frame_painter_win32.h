// Draws the latest frame into the monitor window: composed off-screen with GDI+, copied at once.
#pragma once

#include "plugin/host/frame_exchange.h"

#include <windows.h>

// GDI+ for the calling thread, from start-up to shutdown.
ULONG_PTR frame_painter_startup();
void frame_painter_shutdown(ULONG_PTR token);

// One repaint: takes the latest frame out of the exchange and draws it onto `dc`.
void frame_painter_paint(HDC dc, FrameExchange& exchange);
