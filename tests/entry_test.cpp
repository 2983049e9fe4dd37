// The entry point's dispatch over DIF codes and the trace channel, on the exact
// UTF-16 text of each message and on the real debugger output.
#include "difconstants.h"
#include "harness/harness.h"

#include <gtest/gtest.h>

namespace {

using harness::CallEntry;

class Entry : public testing::Test {
protected:
    harness::Interposer harness_;
};

TEST_F(Entry, NamesEveryCodeOfTheTableAndAnswersNoError)
{
    for (DWORD code = 0; code < kDifTableCodes; ++code) {
        if (code == DIF_INSTALLDEVICE) {
            continue;
        }
        harness_.clearTraces();
        EXPECT_EQ(CallEntry(code), static_cast<DWORD>(NO_ERROR)) << code;
        ASSERT_EQ(harness_.traces().size(), 1u) << code;
        EXPECT_EQ(harness_.traces()[0], std::wstring(L"VELDRIAN : ") + ExpectedDifLine(code)) << code;
    }
}

TEST_F(Entry, CodesWithoutANameShareTheFallbackAndNeverReadTheirArguments)
{
    for (DWORD code : {0u, 22u, 31u, 37u, 40u, 41u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        harness_.clearTraces();
        // Null context and invalid device arguments: none of them may be touched.
        const DWORD result = harness::VeldrianEntry()(code, reinterpret_cast<HDEVINFO>(0x10),
                                                      reinterpret_cast<PSP_DEVINFO_DATA>(0x10), nullptr);
        EXPECT_EQ(result, static_cast<DWORD>(NO_ERROR)) << code;
        ASSERT_EQ(harness_.traces().size(), 1u) << code;
        EXPECT_EQ(harness_.traces()[0], L"VELDRIAN : ?????\n") << code;
    }
    harness_.clearTraces();
    EXPECT_EQ(harness::VeldrianEntry()(DIF_REMOVE, nullptr, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(harness_.traceText(), L"VELDRIAN : DIF_REMOVE\n");
}

TEST_F(Entry, InstallDeviceAsksForPostProcessingFirst)
{
    EXPECT_EQ(CallEntry(DIF_INSTALLDEVICE, nullptr, nullptr, FALSE), 0xE0000226u);
    ASSERT_EQ(harness_.traces().size(), 1u);
    EXPECT_EQ(harness_.traces()[0], L"VELDRIAN : DIF_INSTALLDEVICE\n");
    EXPECT_EQ(harness_.calls("SetupDiGetSelectedDriverW"), 0)
        << "no post-processing before the class installer";
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 0);
}

TEST_F(Entry, InstallDeviceWithoutAContextIsThePreProcessingCall)
{
    EXPECT_EQ(harness::VeldrianEntry()(DIF_INSTALLDEVICE, nullptr, nullptr, nullptr), 0xE0000226u);
    EXPECT_EQ(harness_.traceText(), L"VELDRIAN : DIF_INSTALLDEVICE\n");
}

TEST_F(Entry, PostProcessingRunsWhateverTheInstallResultAndAnswersNoError)
{
    // A device the driver query knows nothing of: the sequence stops at the model name.
    harness_.inject({"SetupDiGetSelectedDriverW", -1, ERROR_INVALID_DATA});
    EXPECT_EQ(CallEntry(DIF_INSTALLDEVICE, nullptr, nullptr, TRUE, ERROR_DI_DONT_INSTALL),
              static_cast<DWORD>(NO_ERROR));
    const std::vector<std::wstring> expected = {
        L"VELDRIAN : DIF_INSTALLDEVICE PostProcessing\n",
        L"VELDRIAN : GetPrinterModelName() : SetupDiGetSelectedDriver() failed. GetLastError() = 13\n",
        L"VELDRIAN : GetPrinterModelName() failed. GetLastError() = 13\n",
    };
    EXPECT_EQ(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("GlobalAlloc"), 0);
}

TEST_F(Entry, EachTraceIsOneDebuggerOutputCall)
{
    CallEntry(DIF_SELECTDEVICE);
    CallEntry(DIF_REMOVE);
    EXPECT_EQ(harness_.calls("OutputDebugStringW"), 2);
    EXPECT_EQ(harness_.calls("GlobalAlloc"), 0) << "tracing takes no heap";
}

TEST(DebuggerOutput, AViewerReceivesEachMessageWithThePrefix)
{
    harness::DbwinReader reader;
    ASSERT_TRUE(reader.ok());
    reader.drain();
    const size_t before = reader.drain().size();
    CallEntry(DIF_REMOVE);
    CallEntry(DIF_INSTALLDEVICE);
    CallEntry(37);
    const std::vector<std::string> messages = reader.drain();
    ASSERT_EQ(messages.size(), before + 3);
    EXPECT_EQ(messages[before], "VELDRIAN : DIF_REMOVE\n");
    EXPECT_EQ(messages[before + 1], "VELDRIAN : DIF_INSTALLDEVICE\n");
    EXPECT_EQ(messages[before + 2], "VELDRIAN : ?????\n");
}

}  // namespace
