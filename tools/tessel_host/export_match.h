// Why the host cannot find an export that a DLL seems to have: the name under a calling
// convention's decoration, C++-mangled, in another case, or misspelt. Finds the nearest
// exported name and says what to change.
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class NearMissKind { None, Decorated, CppMangled, OtherCase, Misspelt };

struct ExportNearMiss {
    NearMissKind kind = NearMissKind::None;
    std::string name;  // the exported name that comes nearest
};

ExportNearMiss export_near_miss(std::string_view expected, const std::vector<std::string>& exports);

// What to do about it, for one line after the names: "declare it extern \"C\" ...".
std::string near_miss_advice(NearMissKind kind);
