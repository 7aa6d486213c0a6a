// What a Windows DLL says about itself before anything loads it: its machine, whether it is a
// DLL, the DLLs and functions it imports and the names it exports, read from the file's bytes.
// Every offset is checked against the file, so any file can be read safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr std::uint16_t kPeMachineX64 = 0x8664;
inline constexpr std::uint16_t kPeMachineX86 = 0x014c;
inline constexpr std::uint16_t kPeMachineArm64 = 0xaa64;
// The most names read of the exports, and of all imports together; the rest are left out.
inline constexpr std::size_t kPeMaxNames = 1 << 16;

struct PeImport {
    std::string dll;                     // as the importer spells it
    std::vector<std::string> functions;  // by name; an import by ordinal is "#N"
};

struct PeImage {
    std::uint16_t machine = 0;
    bool is_dll = false;
    std::vector<PeImport> imports;  // load-time imports only, not delay-loaded ones
    std::vector<std::string> exports;
};

struct PeRead {
    bool ok = false;
    std::string error;  // why the bytes are not a Windows DLL or program, when not ok
    PeImage image;
};

PeRead pe_read(std::span<const std::uint8_t> file);

// "64-bit x86 (x64)", "32-bit x86", "64-bit ARM", or the machine number.
std::string pe_machine_name(std::uint16_t machine);
