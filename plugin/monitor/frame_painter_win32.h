// Draws a frame's listing into the monitor window: composed off-screen with GDI+, copied at once.
#pragma once

#include "plugin/monitor/frame_listing.h"

#include <windows.h>

// GDI+ for the calling thread, from start-up to shutdown.
ULONG_PTR frame_painter_startup();
void frame_painter_shutdown(ULONG_PTR token);

// One repaint: the listing drawn onto `dc`.
void frame_painter_paint(HDC dc, const FrameListing& listing);
