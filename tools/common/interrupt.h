// Ctrl+C for the tools' long-running loops: the first press asks them to stop and finish cleanly;
// a second one ends the program at once, for when finishing hangs (stderr that nobody reads).
#pragma once

inline constexpr int kInterruptedTwiceExit = 130;  // as a shell reports a program ended by SIGINT

void interrupt_install();
bool interrupt_requested();

// Sleeps until Ctrl+C, interrupt_wake() or `timeout_ms`, whichever comes first; true unless the
// time ran out. A thread whose command's work runs elsewhere waits here without waking to look.
bool interrupt_wait(int timeout_ms);
// Ends an interrupt_wait now, or the next one to begin (from any thread).
void interrupt_wake();
