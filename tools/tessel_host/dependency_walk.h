// The DLLs a plug-in needs, found the way the loader finds them: each import looked up among the
// modules already loaded, then in the search folders in the loader's order, and the DLLs found
// outside the system's folders walked in turn. Says which DLL is missing and who needs it, which
// is built for another machine, and which lacks a function that is imported from it. The shell
// gives the folders and reads the files; the walk itself touches no system.
#pragma once

#include "tools/tessel_host/pe_image.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct SearchFolder {
    std::string path;
    bool system = false;  // the system's own folders: the DLLs there are not walked further
    bool chance = false;  // the current folder and PATH's folders, which differ between machines
};

struct DependencyFiles {
    std::vector<SearchFolder> folders;                    // in the loader's order
    std::function<bool(const std::string& name)> loaded;  // already in the process
    std::function<std::optional<std::vector<std::uint8_t>>(const std::string& path)> read;
};

enum class DependencyProblemKind { Missing, OtherMachine, Unreadable, MissingFunction };

struct DependencyProblem {
    DependencyProblemKind kind;
    std::string dll;                 // the DLL at fault
    std::vector<std::string> chain;  // from the plug-in to the DLL that imports it
    std::string path;                // where it was found (not for Missing)
    std::string detail;              // the machine, why it is unreadable, or the function it lacks
};

struct DependencyWalk {
    std::vector<DependencyProblem> problems;
    // DLLs found only through PATH or the current folder, which a user's machine may not have:
    // their full paths.
    std::vector<std::string> found_by_chance;
};

DependencyWalk dependency_walk(const std::string& plugin_name, const PeImage& plugin,
                               const DependencyFiles& files);

// One line for a problem: what is wrong, where the loader looked, what to do.
std::string dependency_problem_line(const DependencyProblem& problem,
                                    const std::vector<SearchFolder>& folders);

// "C:\dir" and "x.dll" as "C:\dir\x.dll".
std::string path_join(const std::string& folder, const std::string& name);
