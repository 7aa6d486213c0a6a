// Ctrl+C for the tools' long-running loops: the first press asks them to stop and finish cleanly;
// a second one ends the program at once, for when finishing hangs (stderr that nobody reads).
#pragma once

inline constexpr int kInterruptedTwiceExit = 130;  // as a shell reports a program ended by SIGINT

void interrupt_install();
bool interrupt_requested();
