#include "tools/tessel_host/pe_image.h"

#include "tools/tessel_host/tests/pe_builder.h"

#include <gtest/gtest.h>

namespace {

PeLayout plugin_like(std::uint16_t machine) {
    PeLayout layout;
    layout.machine = machine;
    layout.imports = {{"KERNEL32.dll", {"Sleep", "CreateThread"}}, {"helper.dll", {"help"}}};
    layout.exports = {"Corvane_Tessel_External_DLL_Init", "Corvane_Tessel_External_DLL_Update"};
    return layout;
}

}  // namespace

TEST(PeImage, ReadsMachineDllFlagImportsAndExportsOfBothWidths) {
    for (const std::uint16_t machine : {kPeMachineX64, kPeMachineX86}) {
        const std::vector<std::uint8_t> bytes = pe_build(plugin_like(machine));
        const PeRead read = pe_read(bytes);
        ASSERT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.image.machine, machine);
        EXPECT_TRUE(read.image.is_dll);
        ASSERT_EQ(read.image.imports.size(), 2u);
        EXPECT_EQ(read.image.imports[0].dll, "KERNEL32.dll");
        EXPECT_EQ(read.image.imports[0].functions,
                  (std::vector<std::string>{"Sleep", "CreateThread"}));
        EXPECT_EQ(read.image.imports[1].functions, std::vector<std::string>{"help"});
        EXPECT_EQ(read.image.exports, plugin_like(machine).exports);
    }
    EXPECT_EQ(pe_machine_name(kPeMachineX86), "32-bit x86");
}

TEST(PeImage, SaysWhyAFileIsNoWindowsDll) {
    PeLayout program = plugin_like(kPeMachineX64);
    program.dll = false;
    EXPECT_FALSE(pe_read(pe_build(program)).image.is_dll);
    const std::string text = "plain text";
    const std::vector<std::uint8_t> no_pe = {'M', 'Z', 0, 0};
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* error;
    } rows[] = {
        {{}, "empty"},
        {{text.begin(), text.end()}, "no MZ header"},
        {no_pe, "no PE header"},
    };
    for (const auto& row : rows) {
        const PeRead read = pe_read(row.bytes);
        EXPECT_FALSE(read.ok);
        EXPECT_NE(read.error.find(row.error), std::string::npos) << read.error;
    }
}

// Descriptors may all point at one long table of names: the names are capped over all of them
// together, or a small file would ask for billions.
TEST(PeImage, ImportsGiveAtMostTheNameCapInAll) {
    std::vector<std::string> functions;
    for (std::size_t i = 0; i < kPeMaxNames / 2 + 1; ++i)
        functions.push_back("f" + std::to_string(i));
    PeLayout layout = plugin_like(kPeMachineX64);
    layout.imports = {{"a.dll", functions}, {"b.dll", functions}, {"c.dll", functions}};
    const PeRead read = pe_read(pe_build(layout));
    ASSERT_TRUE(read.ok) << read.error;
    std::size_t names = 0;
    for (const PeImport& import : read.image.imports) names += import.functions.size();
    EXPECT_EQ(names, kPeMaxNames);
    EXPECT_EQ(read.image.imports.front().functions, functions);
}

// Every cut of a DLL, and every byte of its headers and tables overwritten, reads without a
// fault (the sanitizer builds watch each read).
TEST(PeImage, EveryTruncatedOrDamagedDllReadsSafely) {
    const std::vector<std::uint8_t> whole = pe_build(plugin_like(kPeMachineX64));
    for (std::size_t size = 0; size < whole.size(); ++size) {
        pe_read(std::span(whole.data(), size));
    }
    for (std::size_t at = 0; at < whole.size(); ++at) {
        std::vector<std::uint8_t> damaged = whole;
        damaged[at] = 0xff;
        pe_read(damaged);
    }
    SUCCEED();
}
