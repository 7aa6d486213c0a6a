// Matching an expected export name against the names a DLL exports.
#include "tools/tessel_host/export_match.h"

#include <algorithm>
#include <cctype>

namespace {

// The name inside a decoration: "_Name@4" (stdcall), "@Name@8" (fastcall), "_Name" (cdecl).
std::string_view undecorated(std::string_view s) {
    if (!s.empty() && (s.front() == '_' || s.front() == '@')) s.remove_prefix(1);
    const std::size_t at = s.rfind('@');
    if (at != std::string_view::npos && at + 1 < s.size() &&
        std::all_of(s.begin() + static_cast<std::ptrdiff_t>(at) + 1, s.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
        s = s.substr(0, at);
    }
    return s;
}

// GCC and Clang spell a function "_Z" + length + name ("_ZN" inside a namespace); Visual C++
// "?" + name + "@".
bool mangles(std::string_view s, std::string_view name) {
    const std::string itanium = std::to_string(name.size()) + std::string(name);
    if (s.starts_with("_Z") && s.find(itanium) != std::string_view::npos) return true;
    return s.starts_with("?") && s.substr(1).starts_with(name) && s.size() > name.size() + 1 &&
           s[name.size() + 1] == '@';
}

bool same_but_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

constexpr std::size_t kMostEdits = 3;

}  // namespace

ExportNearMiss export_near_miss(std::string_view expected,
                                const std::vector<std::string>& exports) {
    for (const std::string& e : exports) {
        if (e != expected && undecorated(e) == expected) return {NearMissKind::Decorated, e};
    }
    for (const std::string& e : exports) {
        if (mangles(e, expected)) return {NearMissKind::CppMangled, e};
    }
    for (const std::string& e : exports) {
        if (e != expected && same_but_case(e, expected)) return {NearMissKind::OtherCase, e};
    }
    ExportNearMiss best;
    std::size_t fewest = kMostEdits + 1;
    for (const std::string& e : exports) {
        const std::size_t edits = edit_distance(undecorated(e), expected);
        if (edits > 0 && edits < fewest) {
            fewest = edits;
            best = {NearMissKind::Misspelt, e};
        }
    }
    return best;
}

std::string near_miss_advice(NearMissKind kind) {
    switch (kind) {
        case NearMissKind::Decorated:
            return "the calling convention decorated the name; list the plain name under EXPORTS "
                   "in the .def file (NAME = DECORATED maps one to the other), or drop __stdcall";
        case NearMissKind::CppMangled:
            return "the C++ compiler mangled the name; declare the function extern \"C\", or list "
                   "the plain name under EXPORTS in the .def file";
        case NearMissKind::OtherCase:
            return "the host looks names up with their exact case; rename it";
        case NearMissKind::Misspelt: return "rename it; the host looks names up exactly";
        case NearMissKind::None: break;
    }
    return "export it: declare it extern \"C\" __declspec(dllexport), or list it under EXPORTS "
           "in the .def file";
}
