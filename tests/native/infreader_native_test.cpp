// The INF reader and the package description without Wine: which models section
// Windows picks for each architecture among a [Manufacturer] line's decorations, and
// the description of a package whose decoration names a missing section.
#include "infpackage.h"

#include <gtest/gtest.h>

namespace {

struct Choice {
    const wchar_t *decorations;  // the [Manufacturer] line's, after "Models"
    const wchar_t *x64;          // the section picked for x64, "" for none
    const wchar_t *arm64;
};

TEST(InfDecorations, WindowsTenAndLaterPickTheBestFitForEachArchitecture)
{
    const Choice choices[] = {
        {L"NTamd64,NTarm64", L"Models.NTamd64", L"Models.NTarm64"},
        {L"NTamd64.10.0,NTamd64", L"Models.NTamd64.10.0", L""},
        {L"NTamd64,NTamd64.6.1,NTamd64.10.0...22000", L"Models.NTamd64.10.0...22000", L""},
        {L"NTamd64.11.0,NTamd64.6.0", L"Models.NTamd64.6.0", L""},  // no Windows 11.0 yet
        {L"NTamd64.10.0.3,NTamd64", L"Models.NTamd64", L""},        // a server product type
        {L"ntAMD64 , NTarm64.10.0", L"Models.ntAMD64", L"Models.NTarm64.10.0"},
        {L"NTx86,NT", L"", L""},
    };
    for (const Choice &choice : choices) {
        const std::wstring text = L"[Version]\nSignature=\"$Windows NT$\"\n[Manufacturer]\nMaker=Models," +
                                  std::wstring(choice.decorations) + L"\n";
        const inf::Package package = inf::DescribePackage(inf::ParseInf(text));
        std::wstring x64;
        std::wstring arm64;
        for (const inf::ModelsChoice &chosen : package.choices) {
            (chosen.architecture == &inf::kX64 ? x64 : arm64) = chosen.section;
        }
        EXPECT_EQ(x64, choice.x64) << choice.decorations;
        EXPECT_EQ(arm64, choice.arm64) << choice.decorations;
    }
}

TEST(InfDecorations, AMissingModelsSectionLeavesItsArchitectureWithoutModels)
{
    const inf::Package package = inf::DescribePackage(inf::ParseInf(
        L"[Version]\nSignature=\"$Windows "
        L"NT$\"\nClass=Printer\n[Manufacturer]\n%M%=Models,NTamd64.10.0,NTarm64\n"
        L"[Models.NTamd64]\n\"Model X\"=X,ID\\X\n[Models.NTarm64]\n\"Model X\"=X.Install,ID\\X\n"
        L"[X.Install.NTarm64]\n[Strings]\nM=\"Maker\"\n"));
    ASSERT_EQ(package.choices.size(), 2U);
    EXPECT_FALSE(package.choices[0].exists);
    EXPECT_TRUE(package.choices[0].osVersion);
    ASSERT_EQ(package.models.size(), 1U);
    EXPECT_EQ(package.models[0].architecture, &inf::kArm64);
    EXPECT_EQ(package.models[0].installSection, L"X.Install.NTarm64");
    EXPECT_EQ(package.models[0].coInstallers, L"X.Install.NTarm64.CoInstallers");
}

}  // namespace
