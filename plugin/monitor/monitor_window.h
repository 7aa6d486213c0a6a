// The monitor window as users, tests and scripts find it: its class name, title, size and the
// colour behind the listing. The demo scripts read their values from this file's lines.
#pragma once

#include <cstdint>

inline constexpr const char* kMonitorClassName = "corvane_external_dll_sample";
inline constexpr const char* kMonitorTitle = "Corvane External DLL Sample";
inline constexpr int kMonitorWidth = 640;  // pixels, docked at the top right of the screen
inline constexpr int kMonitorHeight = 1080;
inline constexpr std::uint32_t kMonitorBackground = 0xDCE8F4;  // 0xRRGGBB
