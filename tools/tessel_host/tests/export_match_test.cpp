#include "tools/tessel_host/export_match.h"

#include <gtest/gtest.h>

TEST(ExportMatch, FindsTheNearMissOfEachKind) {
    const std::string init = "Corvane_Tessel_External_DLL_Init";
    const struct {
        std::vector<std::string> exports;
        NearMissKind kind;
        const char* name;
    } rows[] = {
        {{"_Corvane_Tessel_External_DLL_Init@4"},
         NearMissKind::Decorated,
         "_Corvane_Tessel_External_DLL_Init@4"},
        {{"@Corvane_Tessel_External_DLL_Init@8"},
         NearMissKind::Decorated,
         "@Corvane_Tessel_External_DLL_Init@8"},
        {{"_Corvane_Tessel_External_DLL_Init"},
         NearMissKind::Decorated,
         "_Corvane_Tessel_External_DLL_Init"},
        {{"_Z32Corvane_Tessel_External_DLL_InitPv"},
         NearMissKind::CppMangled,
         "_Z32Corvane_Tessel_External_DLL_InitPv"},
        {{"_ZN2my32Corvane_Tessel_External_DLL_InitEPv"},
         NearMissKind::CppMangled,
         "_ZN2my32Corvane_Tessel_External_DLL_InitEPv"},
        {{"?Corvane_Tessel_External_DLL_Init@@YA_NPEAX@Z"},
         NearMissKind::CppMangled,
         "?Corvane_Tessel_External_DLL_Init@@YA_NPEAX@Z"},
        {{"corvane_tessel_external_dll_init"},
         NearMissKind::OtherCase,
         "corvane_tessel_external_dll_init"},
        {{"Corvane_Tesel_External_DLL_Init", "Corvane_Tessel_External_DLL_Update"},
         NearMissKind::Misspelt,
         "Corvane_Tesel_External_DLL_Init"},
        {{"Corvane_Tessel_External_DLL_Update", "Corvane_Tessel_External_DLL_Shutdown"},
         NearMissKind::None,
         ""},
        {{}, NearMissKind::None, ""},
    };
    for (const auto& row : rows) {
        const ExportNearMiss miss = export_near_miss(init, row.exports);
        EXPECT_EQ(miss.kind, row.kind) << row.name;
        EXPECT_EQ(miss.name, row.name);
    }
    EXPECT_NE(near_miss_advice(NearMissKind::CppMangled).find("extern \"C\""), std::string::npos);
    EXPECT_NE(near_miss_advice(NearMissKind::Decorated).find(".def"), std::string::npos);
}
