// Reading a PE file's headers, import table and export table from its bytes.
#include "tools/tessel_host/pe_image.h"

#include <cstdio>
#include <optional>

namespace {

constexpr std::uint32_t kNtHeaderOffsetAt = 0x3c;
constexpr std::uint16_t kCharacteristicDll = 0x2000;
constexpr std::uint16_t kMagicPe32 = 0x10b;
constexpr std::uint16_t kMagicPe32Plus = 0x20b;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::size_t kExportDirectory = 0;
constexpr std::size_t kImportDirectory = 1;
// Limits far beyond any real DLL, so a corrupt count cannot make the reader run for long (with
// kPeMaxNames). Imported names are counted over all DLLs together: descriptors that share one
// long thunk table would otherwise multiply it by kMaxImportedDlls.
constexpr std::size_t kMaxImportedDlls = 1 << 12;
constexpr std::size_t kMaxNameLength = 1024;

struct Section {
    std::uint32_t address;  // relative to the image base
    std::uint32_t span;     // in memory
    std::uint32_t raw_offset;
    std::uint32_t raw_size;
};

struct File {
    std::span<const std::uint8_t> bytes;
    std::vector<Section> sections;

    bool has(std::size_t at, std::size_t size) const {
        return at <= bytes.size() && size <= bytes.size() - at;
    }

    // A little-endian number of 1 to 8 bytes.
    std::optional<std::uint64_t> read(std::size_t at, std::size_t size) const {
        if (!has(at, size) || size > 8) return std::nullopt;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < size; ++i) v |= std::uint64_t{bytes[at + i]} << (8 * i);
        return v;
    }
    std::uint32_t u32(std::size_t at) const {
        return static_cast<std::uint32_t>(read(at, 4).value_or(0));
    }
    std::uint16_t u16(std::size_t at) const {
        return static_cast<std::uint16_t>(read(at, 2).value_or(0));
    }

    // The file offset of an address relative to the image base, if a section's bytes hold it.
    std::optional<std::size_t> offset(std::uint64_t rva) const {
        for (const Section& s : sections) {
            if (rva >= s.address && rva - s.address < s.span && rva - s.address < s.raw_size) {
                return s.raw_offset + static_cast<std::size_t>(rva - s.address);
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> text(std::uint64_t rva) const {
        const auto at = offset(rva);
        if (!at) return std::nullopt;
        std::string s;
        for (std::size_t i = *at; i < bytes.size() && s.size() < kMaxNameLength; ++i) {
            if (bytes[i] == 0) return s;
            s.push_back(static_cast<char>(bytes[i]));
        }
        return std::nullopt;
    }
};

struct Directory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

void read_exports(const File& f, Directory dir, PeImage& image) {
    const auto at = f.offset(dir.rva);
    if (dir.rva == 0 || !at || !f.has(*at, 40)) return;
    const std::uint32_t count = f.u32(*at + 24);
    const std::uint32_t names = f.u32(*at + 32);
    for (std::uint32_t i = 0; i < count && i < kPeMaxNames; ++i) {
        const auto entry = f.offset(std::uint64_t{names} + 4 * std::uint64_t{i});
        if (!entry || !f.has(*entry, 4)) return;
        if (auto name = f.text(f.u32(*entry))) image.exports.push_back(std::move(*name));
    }
}

void read_import_functions(const File& f, std::uint32_t thunks, bool wide, PeImport& import,
                           std::size_t& names_left) {
    const std::size_t step = wide ? 8 : 4;
    const std::uint64_t ordinal_flag = wide ? std::uint64_t{1} << 63 : std::uint64_t{1} << 31;
    for (std::size_t i = 0; names_left > 0; ++i, --names_left) {
        const auto at = f.offset(std::uint64_t{thunks} + i * step);
        const auto thunk = at ? f.read(*at, step) : std::nullopt;
        if (!thunk || *thunk == 0) return;
        if ((*thunk & ordinal_flag) != 0) {
            std::string ordinal = "#";  // built in two steps: GCC 12 misjudges "#" + string at -O3
            ordinal += std::to_string(*thunk & 0xffff);
            import.functions.push_back(std::move(ordinal));
        } else if (auto name = f.text((*thunk & 0x7fffffff) + 2)) {  // after the 2-byte hint
            import.functions.push_back(std::move(*name));
        }
    }
}

void read_imports(const File& f, Directory dir, bool wide, PeImage& image) {
    if (dir.rva == 0) return;
    std::size_t names_left = kPeMaxNames;
    for (std::size_t i = 0; i < kMaxImportedDlls; ++i) {
        const auto at = f.offset(std::uint64_t{dir.rva} + i * kImportDescriptorSize);
        if (!at || !f.has(*at, kImportDescriptorSize)) return;
        const std::uint32_t lookup = f.u32(*at);
        const std::uint32_t name = f.u32(*at + 12);
        const std::uint32_t bound = f.u32(*at + 16);
        if (name == 0 && lookup == 0 && bound == 0) return;
        PeImport import;
        import.dll = f.text(name).value_or("");
        if (import.dll.empty()) continue;
        read_import_functions(f, lookup != 0 ? lookup : bound, wide, import, names_left);
        image.imports.push_back(std::move(import));
    }
}

PeRead refuse(std::string why) {
    PeRead r;
    r.error = std::move(why);
    return r;
}

}  // namespace

PeRead pe_read(std::span<const std::uint8_t> bytes) {
    File f{bytes, {}};
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        return refuse(bytes.empty() ? "the file is empty"
                                    : "it does not start as a Windows DLL does (no MZ header)");
    }
    const std::uint32_t nt = f.u32(kNtHeaderOffsetAt);
    if (f.read(nt, 4).value_or(0) != 0x00004550) {  // "PE\0\0"
        return refuse("it has no PE header (a DOS program, or a damaged file)");
    }
    const std::size_t header = nt + 4;
    const std::size_t optional = header + kFileHeaderSize;
    if (!f.has(optional, 2)) return refuse("it ends inside its PE header (a damaged file)");
    PeRead r;
    r.image.machine = f.u16(header);
    const std::uint16_t section_count = f.u16(header + 2);
    const std::uint16_t optional_size = f.u16(header + 16);
    r.image.is_dll = (f.u16(header + 18) & kCharacteristicDll) != 0;
    const std::uint16_t magic = f.u16(optional);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
        return refuse("its PE header is of an unknown kind (a damaged file)");
    }
    const bool wide = magic == kMagicPe32Plus;
    const std::size_t directories = optional + (wide ? 112 : 96);
    const std::uint32_t directory_count = f.u32(optional + (wide ? 108 : 92));
    const std::size_t sections = optional + optional_size;
    if (!f.has(sections, std::size_t{section_count} * kSectionHeaderSize)) {
        return refuse("it ends inside its section table (a damaged file)");
    }
    for (std::size_t i = 0; i < section_count; ++i) {
        const std::size_t s = sections + i * kSectionHeaderSize;
        const std::uint32_t virtual_size = f.u32(s + 8);
        const std::uint32_t raw_size = f.u32(s + 16);
        f.sections.push_back(
            {f.u32(s + 12), virtual_size != 0 ? virtual_size : raw_size, f.u32(s + 20), raw_size});
    }
    auto directory = [&](std::size_t index) {
        return index < directory_count && index < 16
                   ? Directory{f.u32(directories + 8 * index), f.u32(directories + 8 * index + 4)}
                   : Directory{};
    };
    read_exports(f, directory(kExportDirectory), r.image);
    read_imports(f, directory(kImportDirectory), wide, r.image);
    r.ok = true;
    return r;
}

std::string pe_machine_name(std::uint16_t machine) {
    switch (machine) {
        case kPeMachineX64: return "64-bit x86 (x64)";
        case kPeMachineX86: return "32-bit x86";
        case kPeMachineArm64: return "64-bit ARM";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "machine 0x%04x", machine);
            return text;
        }
    }
}
