// Walking a DLL's imports as the loader does.
#include "tools/tessel_host/dependency_walk.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <span>

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// API sets name contracts that the loader maps to system DLLs; no file by that name need exist.
bool api_set(const std::string& name) {
    const std::string l = lower(name);
    return l.starts_with("api-ms-") || l.starts_with("ext-ms-");
}

struct Walk {
    const DependencyFiles& files;
    std::uint16_t machine;
    std::set<std::string> seen;  // lower-case names
    DependencyWalk result;

    void visit(const std::vector<std::string>& chain, const PeImage& image) {
        for (const PeImport& import : image.imports) {
            if (api_set(import.dll) || !seen.insert(lower(import.dll)).second) continue;
            if (files.loaded && files.loaded(import.dll)) continue;
            find(chain, import);
        }
    }

    void find(const std::vector<std::string>& chain, const PeImport& import) {
        for (const SearchFolder& folder : files.folders) {
            const std::string path = path_join(folder.path, import.dll);
            const auto bytes = files.read(path);
            if (!bytes) continue;
            const PeRead read = pe_read(*bytes);
            if (!read.ok) {
                problem(DependencyProblemKind::Unreadable, import.dll, chain, path, read.error);
            } else if (read.image.machine != machine) {
                problem(DependencyProblemKind::OtherMachine, import.dll, chain, path,
                        pe_machine_name(read.image.machine));
            } else if (!folder.system) {
                if (folder.chance) result.found_by_chance.push_back(path);
                check_functions(chain, import, path, read.image);
                std::vector<std::string> longer = chain;
                longer.push_back(import.dll);
                visit(longer, read.image);
            }
            return;
        }
        problem(DependencyProblemKind::Missing, import.dll, chain, "", "");
    }

    void check_functions(const std::vector<std::string>& chain, const PeImport& import,
                         const std::string& path, const PeImage& found) {
        for (const std::string& function : import.functions) {
            if (!function.starts_with("#") && std::find(found.exports.begin(), found.exports.end(),
                                                        function) == found.exports.end()) {
                problem(DependencyProblemKind::MissingFunction, import.dll, chain, path, function);
                return;
            }
        }
    }

    void problem(DependencyProblemKind kind, const std::string& dll,
                 const std::vector<std::string>& chain, const std::string& path,
                 const std::string& detail) {
        result.problems.push_back({kind, dll, chain, path, detail});
    }
};

std::string needed_by(const DependencyProblem& p) {
    std::string s = "needed by " + p.chain.back();
    if (p.chain.size() > 1) {
        s += " (";
        for (const std::string& dll : p.chain) s += dll + " > ";
        s += p.dll + ")";
    }
    return s;
}

std::string folder_list(const std::vector<SearchFolder>& folders) {
    std::string s;
    for (const SearchFolder& f : folders) s += (s.empty() ? "" : "; ") + f.path;
    return s;
}

}  // namespace

DependencyWalk dependency_walk(const std::string& plugin_name, const PeImage& plugin,
                               const DependencyFiles& files) {
    Walk walk{files, plugin.machine, {lower(plugin_name)}, {}};
    walk.visit({plugin_name}, plugin);
    return walk.result;
}

std::string dependency_problem_line(const DependencyProblem& p,
                                    const std::vector<SearchFolder>& folders) {
    const std::string& plugin = p.chain.front();
    switch (p.kind) {
        case DependencyProblemKind::Missing:
            return p.dll + " is missing, " + needed_by(p) + "; the loader looked in " +
                   folder_list(folders) + "; put " + p.dll + " beside " + plugin +
                   ", or link it in statically (-static)";
        case DependencyProblemKind::OtherMachine:
            return p.dll + ", " + needed_by(p) + ", is built for " + p.detail + " (" + p.path +
                   "); the host is 64-bit and needs a 64-bit " + p.dll;
        case DependencyProblemKind::Unreadable:
            return p.dll + ", " + needed_by(p) + ", is not a DLL the loader can use (" + p.path +
                   ": " + p.detail + "); replace it";
        case DependencyProblemKind::MissingFunction:
            return p.dll + " (" + p.path + ") lacks the function " + p.detail + " that " +
                   p.chain.back() + " imports from it; it is another version than the one " +
                   p.chain.back() + " was built against: ship the right one beside " + plugin;
    }
    return p.dll;
}

std::string path_join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    return last == '\\' || last == '/' ? folder + name : folder + "\\" + name;
}
