// The capture reader at every cut of the seed captures (the example run, the same run
// as a debug viewer saves it, a three-model --all-models run): each prefix keeps the
// prefix property (captureproperty.h), and a cut right after the prefix that opens a
// profile's result is incomplete, never a cause.
#include "captureproperty.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::wstring Capture(const std::string &name)
{
    std::ifstream file(std::string(VELDRIAN_CORPUS) + "/capture/" + name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return std::wstring(bytes.begin(), bytes.end());  // the captures are ASCII
}

TEST(CapturePrefix, EveryCutOfEachSeedCaptureIsTheWholeOrIncomplete)
{
    for (const char *name : {"example-run.log", "example-run-viewer.log", "three-models-all-models.log"}) {
        const std::wstring capture = Capture(name);
        ASSERT_GT(capture.size(), 1000U) << name;
        const captureproperty::Passes whole = captureproperty::Decoded(capture);
        ASSERT_FALSE(whole.empty()) << name;
        for (std::size_t cut = 0; cut <= capture.size(); ++cut) {
            const std::string broken = captureproperty::Broken(capture, whole, cut);
            ASSERT_EQ(broken, "") << name;
        }
    }
}

TEST(CapturePrefix, ACutAfterTheResultsPrefixIsIncompleteAndACutNameLineShowsTheProfile)
{
    const std::wstring capture = Capture("example-run.log");
    const std::wstring profile = L"VELDRIAN : S-1-5-21-1-2-3-1001\n";
    const std::size_t at = capture.find(profile);
    ASSERT_NE(at, std::wstring::npos);
    const std::size_t rule = capture.find(L'\n', at + profile.size());
    struct Cut {
        std::size_t length;
        std::wstring name;  // of the last profile, as far as the cut shows it
    };
    for (const Cut &cut :
         {Cut{rule + 1 + std::wstring(L"VELDRIAN : ").size(), L"S-1-5-21-1-2-3-1001"},
          Cut{at + 20, L"S-1-5-21-"}, Cut{at + profile.size() + 10, L"S-1-5-21-1-2-3-1001"}}) {
        const captureproperty::Passes passes = captureproperty::Decoded(capture.substr(0, cut.length));
        ASSERT_EQ(passes.size(), 1U);
        const tracedecoder::Profile &last = passes.begin()->second.back().profiles.back();
        EXPECT_EQ(last.name, cut.name) << cut.length;
        EXPECT_EQ(last.outcome, tracedecoder::Outcome::Incomplete) << cut.length;
    }
}

}  // namespace
