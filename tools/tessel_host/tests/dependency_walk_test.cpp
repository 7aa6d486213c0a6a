#include "tools/tessel_host/dependency_walk.h"

#include "tools/tessel_host/tests/pe_builder.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// A plug-in folder, the system folder and one PATH folder, holding the files a test puts there.
struct Machine {
    std::map<std::string, std::vector<std::uint8_t>> files;
    DependencyFiles view() const {
        DependencyFiles v;
        v.folders = {{"C:\\plug", false, false},
                     {"C:\\windows\\system32", true, false},
                     {"C:\\tools", false, true}};
        v.loaded = [](const std::string& name) { return name == "KERNEL32.dll"; };
        v.read = [this](const std::string& path) -> std::optional<std::vector<std::uint8_t>> {
            const auto it = files.find(path);
            if (it == files.end()) return std::nullopt;
            return it->second;
        };
        return v;
    }
};

PeImage importing(std::vector<std::pair<std::string, std::vector<std::string>>> imports) {
    PeImage image;
    image.machine = kPeMachineX64;
    for (auto& [dll, functions] : imports) image.imports.push_back({dll, functions});
    return image;
}

std::vector<std::uint8_t> dll(std::vector<std::pair<std::string, std::vector<std::string>>> imports,
                              std::vector<std::string> exports = {},
                              std::uint16_t machine = kPeMachineX64) {
    PeLayout layout;
    layout.machine = machine;
    layout.imports = std::move(imports);
    layout.exports = std::move(exports);
    return pe_build(layout);
}

}  // namespace

TEST(DependencyWalk, NamesAMissingDllOfADependencyWithItsChainAndTheFolders) {
    Machine m;
    m.files["C:\\plug\\middle.dll"] = dll({{"absent.dll", {"f"}}, {"USER32.dll", {"g"}}}, {"m"});
    m.files["C:\\windows\\system32\\USER32.dll"] = dll({{"never-walked.dll", {"x"}}});
    const DependencyFiles view = m.view();
    const DependencyWalk walk =
        dependency_walk("plug.dll",
                        importing({{"KERNEL32.dll", {"Sleep"}},
                                   {"api-ms-win-crt-runtime-l1-1-0.dll", {"y"}},
                                   {"middle.dll", {"m"}}}),
                        view);
    ASSERT_EQ(walk.problems.size(), 1u);
    const DependencyProblem& p = walk.problems[0];
    EXPECT_EQ(p.kind, DependencyProblemKind::Missing);
    EXPECT_EQ(p.dll, "absent.dll");
    EXPECT_EQ(p.chain, (std::vector<std::string>{"plug.dll", "middle.dll"}));
    EXPECT_EQ(
        dependency_problem_line(p, view.folders),
        "absent.dll is missing, needed by middle.dll (plug.dll > middle.dll > absent.dll); the "
        "loader looked in C:\\plug; C:\\windows\\system32; C:\\tools; put absent.dll beside "
        "plug.dll, or link it in statically (-static)");
}

TEST(DependencyWalk, NamesA32BitDependencyAMissingFunctionAndWhatOnlyPathProvides) {
    Machine m;
    m.files["C:\\plug\\old32.dll"] = dll({}, {"a"}, kPeMachineX86);
    m.files["C:\\plug\\older.dll"] = dll({}, {"b"});
    m.files["C:\\tools\\libstdc++-6.dll"] = dll({}, {"c"});
    const DependencyWalk walk = dependency_walk(
        "plug.dll",
        importing({{"old32.dll", {"a"}}, {"older.dll", {"b", "b2"}}, {"libstdc++-6.dll", {"c"}}}),
        m.view());
    ASSERT_EQ(walk.problems.size(), 2u);
    EXPECT_EQ(walk.problems[0].kind, DependencyProblemKind::OtherMachine);
    EXPECT_NE(dependency_problem_line(walk.problems[0], {}).find("built for 32-bit x86"),
              std::string::npos);
    EXPECT_EQ(walk.problems[1].kind, DependencyProblemKind::MissingFunction);
    EXPECT_EQ(walk.problems[1].detail, "b2");
    EXPECT_EQ(walk.found_by_chance, std::vector<std::string>{"C:\\tools\\libstdc++-6.dll"});
}
