// Ctrl+C for the tools' long-running loops: the first press asks them to stop and finish cleanly.
#pragma once

void interrupt_install();
bool interrupt_requested();
