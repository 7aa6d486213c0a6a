// Test support: the bytes of a small PE file with the imports and exports a test asks for, one
// section holding them all, as the linker lays them out.
#pragma once

#include "tools/tessel_host/pe_image.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct PeLayout {
    std::uint16_t machine = kPeMachineX64;
    bool dll = true;
    std::vector<std::pair<std::string, std::vector<std::string>>> imports;
    std::vector<std::string> exports;
};

inline std::vector<std::uint8_t> pe_build(const PeLayout& layout) {
    constexpr std::uint32_t kSectionRva = 0x1000;
    constexpr std::uint32_t kSectionFileOffset = 0x400;
    const bool wide = layout.machine != kPeMachineX86;
    std::vector<std::uint8_t> sec;
    auto put = [](std::vector<std::uint8_t>& v, std::size_t at, std::uint64_t value, int size) {
        if (v.size() < at + static_cast<std::size_t>(size))
            v.resize(at + static_cast<std::size_t>(size));
        for (int i = 0; i < size; ++i)
            v[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    auto add = [&](std::uint64_t value, int size) {
        put(sec, sec.size(), value, size);
        return static_cast<std::uint32_t>(kSectionRva + sec.size() -
                                          static_cast<std::size_t>(size));
    };
    auto text = [&](const std::string& s) {
        const auto rva = static_cast<std::uint32_t>(kSectionRva + sec.size());
        sec.insert(sec.end(), s.begin(), s.end());
        sec.push_back(0);
        return rva;
    };
    std::vector<std::uint32_t> export_names;
    for (const std::string& e : layout.exports) export_names.push_back(text(e));
    const auto name_table = static_cast<std::uint32_t>(kSectionRva + sec.size());
    for (std::uint32_t n : export_names) add(n, 4);
    const auto export_dir = static_cast<std::uint32_t>(kSectionRva + sec.size());
    for (int i = 0; i < 10; ++i) add(i == 6 ? export_names.size() : i == 8 ? name_table : 0, 4);
    std::vector<std::uint32_t> descriptors;  // name, thunks, for each imported DLL
    for (const auto& [dll, functions] : layout.imports) {
        std::vector<std::uint32_t> hints;
        for (const std::string& f : functions) hints.push_back(text(std::string(2, '\0') + f));
        const std::uint32_t name = text(dll);
        const auto thunks = static_cast<std::uint32_t>(kSectionRva + sec.size());
        for (std::uint32_t h : hints) add(h, wide ? 8 : 4);
        add(0, wide ? 8 : 4);
        descriptors.insert(descriptors.end(), {name, thunks});
    }
    const auto import_dir = static_cast<std::uint32_t>(kSectionRva + sec.size());
    for (std::size_t i = 0; i < descriptors.size(); i += 2) {
        for (std::uint32_t v : {descriptors[i + 1], 0u, 0u, descriptors[i], descriptors[i + 1]})
            add(v, 4);
    }
    for (int i = 0; i < 5; ++i) add(0, 4);

    std::vector<std::uint8_t> file(kSectionFileOffset + sec.size());
    std::copy(sec.begin(), sec.end(), file.begin() + kSectionFileOffset);
    const std::size_t optional_size = wide ? 240 : 224;
    put(file, 0, 'M' | ('Z' << 8), 2);
    put(file, 0x3c, 0x40, 4);
    put(file, 0x40, 0x00004550, 4);
    put(file, 0x44, layout.machine, 2);
    put(file, 0x46, 1, 2);  // one section
    put(file, 0x54, optional_size, 2);
    put(file, 0x56, layout.dll ? 0x2022 : 0x0022, 2);
    const std::size_t optional = 0x58;
    put(file, optional, wide ? 0x20b : 0x10b, 2);
    put(file, optional + (wide ? 108 : 92), 16, 4);
    const std::size_t directories = optional + (wide ? 112 : 96);
    put(file, directories, export_dir, 4);
    put(file, directories + 4, 40, 4);
    put(file, directories + 8, import_dir, 4);
    const std::size_t section = optional + optional_size;
    put(file, section + 8, sec.size(), 4);
    put(file, section + 12, kSectionRva, 4);
    put(file, section + 16, sec.size(), 4);
    put(file, section + 20, kSectionFileOffset, 4);
    return file;
}
