// The monitor window's own thread: started by Init, ended by Shutdown or by closing the window.
#pragma once

#include "plugin/host/frame_exchange.h"

#include <windows.h>

// Starts the thread, which creates, places and services the window and repaints it from
// `exchange` every 500 ms. A thread that a stop on itself left ending is waited for first, a
// few seconds at most. Returns false if the thread could not be started, one runs, or the
// ending one did not end (or this is that thread).
bool window_thread_start(HINSTANCE module, FrameExchange& exchange);

// Ends the thread promptly in every state (window open, closed by hand, not yet created,
// creation failed) and waits for it, except when called on the window thread itself, where it
// lets the thread end once the call returns. Does nothing when no thread was started. Throws
// nothing.
void window_thread_stop() noexcept;

// Lets go of the handle of a thread left ending by a stop on itself, at unload.
void window_thread_release() noexcept;
