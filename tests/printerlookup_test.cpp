// The search for the installed printer's queue among the spooler's queues: Wine's
// own spooler for the queues, and answers of the test's own to EnumPrintersW where
// the spooler does not give them on demand. The enumeration block ends at a guard page.
#include "assignment.h"

#include <functional>

namespace {

using namespace assignment;

using EnumPrintersFunction = decltype(&EnumPrintersW);
using EnumPrintersHook = std::function<BOOL(EnumPrintersFunction real, LPBYTE buffer, DWORD bytes,
                                            LPDWORD needed, LPDWORD returned)>;

BOOL PassThrough(EnumPrintersFunction real, LPBYTE buffer, DWORD bytes, LPDWORD needed, LPDWORD returned)
{
    return real(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, buffer, bytes, needed, returned);
}

class PrinterLookup : public Assignment {
protected:
    void SetUp() override
    {
        Assignment::SetUp();
        device_ = MakeDevice(L"Model X", L"USB001");
    }
    void TearDown() override
    {
        device_.reset();
        Assignment::TearDown();
    }

    DWORD Run() { return Assignment::Run(*device_); }
    // The spooler answers the DLL's EnumPrintersW (local and connected queues, level 2)
    // through `hook`, which passes the call on to the real spooler where it wants to.
    void AnswerEnumPrinters(const EnumPrintersHook &hook)
    {
        harness_.answer<EnumPrintersFunction>(
            // cppcheck-suppress constParameter ; the platform's signature, which the answer takes as it is
            "EnumPrintersW", [hook](EnumPrintersFunction real, DWORD flags, LPWSTR name, DWORD level,
                                    LPBYTE buffer, DWORD bytes, LPDWORD needed, LPDWORD returned) {
                EXPECT_EQ(flags, static_cast<DWORD>(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS));
                EXPECT_EQ(name, nullptr);
                EXPECT_EQ(level, 2u);
                return hook(real, buffer, bytes, needed, returned);
            });
    }
    Traces Identity(const std::wstring &port = L"USB001") const
    {
        return {Start(), ModelName(L"Model X"), InstanceId(device_->instanceId()), PortName(port)};
    }

    std::unique_ptr<harness::ScopedDevice> device_;
};

TEST_F(PrinterLookup, WithNoQueuesNoBlockIsTakenAndNothingIsFound)
{
    ASSERT_TRUE(harness::EnumQueues().empty());
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        {Line(L"EnumPrinters(0) succeed2. dwReturned = 0\n"), Enumerated(0), NotFound(L"Model X", L"USB001")},
    });
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("GlobalAlloc"), 2) << "the instance ID and the port name only";
}

TEST_F(PrinterLookup, OfTwoQueuesOnTheSameDriverAndPortTheFirstListedIsTaken)
{
    harness::ScopedPrinter first(L"Model X", L"Model X", L"USB001");
    harness::ScopedPrinter copy(L"Model X (Copy 1)", L"Model X", L"USB001");
    ASSERT_TRUE(first.ok() && copy.ok());
    const std::vector<harness::QueueInfo> queues = harness::EnumQueues();
    ASSERT_EQ(queues.size(), 2u);
    const std::wstring listedFirst = queues[0].name;
    const DWORD needed = EnumNeeded();

    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        Enumeration(needed, 2),
        {Found(listedFirst, L"Model X", L"USB001")},
        Walk(WineProfiles(listedFirst, L"USB001")),
    });
    EXPECT_TRACES(harness_.traces(), expected);
}

TEST_F(PrinterLookup, DriverAndPortAreComparedWholeWithoutCase)
{
    harness::ScopedPrinter twoPorts(L"Two ports", L"Model X", L"USB001,USB002");
    harness::ScopedPrinter longerPort(L"Longer port", L"Model X", L"USB0011");
    harness::ScopedPrinter shorterDriver(L"Shorter driver", L"Model", L"USB001");
    harness::ScopedPrinter otherDriver(L"Other driver", L"Model X2", L"USB001");
    ASSERT_TRUE(twoPorts.ok() && longerPort.ok() && shorterDriver.ok() && otherDriver.ok());
    DWORD needed = EnumNeeded();

    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRACES(harness_.traces(),
                  Concat({Identity(), Enumeration(needed, 4), {NotFound(L"Model X", L"USB001")}}));

    // Equal but for case: the queue is the one.
    harness::ScopedPrinter lower(L"Lower case", L"model x", L"usb001");
    ASSERT_TRUE(lower.ok());
    needed = EnumNeeded();
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        Enumeration(needed, 5),
        {Found(L"Lower case", L"model x", L"usb001")},
        Walk(WineProfiles(L"Lower case", L"usb001")),
    });
    EXPECT_TRACES(harness_.traces(), expected);
}

const wchar_t kEmpty[] = L"";

TEST_F(PrinterLookup, AnUnknownPortMatchesNoQueueNotEvenOneWithoutAPort)
{
    // An empty PortName value leaves the port name null.
    ASSERT_TRUE(
        harness::SetValue(HKEY_LOCAL_MACHINE, device_->parametersPath(), L"PortName", REG_SZ, kEmpty, 0));
    harness::ScopedPrinter first(L"Model X", L"Model X", L"USB001");
    harness::ScopedPrinter second(L"Model X (Copy 1)", L"Model X", L"USB001");
    harness::ScopedPrinter third(L"Model X (Copy 2)", L"Model X", L"USB001");
    const DWORD needed = EnumNeeded();
    // The spooler's records get a null, an empty and a real port.
    AnswerEnumPrinters(
        [](EnumPrintersFunction original, LPBYTE buffer, DWORD bytes, LPDWORD need, LPDWORD returned) {
            const BOOL result = PassThrough(original, buffer, bytes, need, returned);
            if (result && buffer != nullptr && *returned == 3) {
                auto *records = reinterpret_cast<PRINTER_INFO_2W *>(buffer);
                records[0].pPortName = nullptr;
                records[1].pPortName = const_cast<LPWSTR>(kEmpty);
            }
            return result;
        });

    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRACES(harness_.traces(),
                  Concat({Identity(L"(null)"), Enumeration(needed, 3), {NotFound(L"Model X", L"(null)")}}));
    EXPECT_EQ(harness_.calls("RegEnumKeyExW"), 0);
}

TEST_F(PrinterLookup, AMatchWithoutAQueueNameIsNoQueue)
{
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    const DWORD needed = EnumNeeded();
    AnswerEnumPrinters(
        [](EnumPrintersFunction original, LPBYTE buffer, DWORD bytes, LPDWORD need, LPDWORD returned) {
            const BOOL result = PassThrough(original, buffer, bytes, need, returned);
            if (result && buffer != nullptr && *returned == 1) {
                reinterpret_cast<PRINTER_INFO_2W *>(buffer)->pPrinterName = nullptr;
            }
            return result;
        });

    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        Enumeration(needed, 1),
        {Found(L"(null)", L"Model X", L"USB001"), NotFound(L"Model X", L"USB001")},
    });
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("RegEnumKeyExW"), 0) << "no walk";
}

// ---- Failures of the spooler and of the allocation ----

TEST_F(PrinterLookup, AFailedProbeEndsTheLookupUnlessItsCodeIsZero)
{
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");

    harness_.inject({"EnumPrintersW", 0, RPC_S_SERVER_UNAVAILABLE});
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRACES(harness_.traces(),
                  Concat({Identity(), {Line(L"EnumPrinters(0) failed. GetLastError() = 1722\n")}}));
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 1);
    EXPECT_EQ(harness_.calls("GlobalAlloc"), 2);

    // A code of 0 counts as success: the size stays 0, so the enumeration has no room.
    harness_.clearFaults();
    harness_.inject({"EnumPrintersW", 0, NO_ERROR});
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        {Line(L"EnumPrinters(0) succeed1. dwReturned = 0\n"),
         Line(L"EnumPrinters(1) failed. GetLastError() = 122\n")},
    });
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 2);
    EXPECT_EQ(harness_.calls("GlobalAlloc"), 2);
}

TEST_F(PrinterLookup, AFailedEnumerationWalksNoRecord)
{
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    const DWORD needed = EnumNeeded();

    harness_.inject({"EnumPrintersW", 1, ERROR_ACCESS_DENIED});
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRACES(harness_.traces(), Concat({Identity(),
                                             {ProbeNeeds(needed), Allocated(needed),
                                              Line(L"EnumPrinters(1) failed. GetLastError() = 5\n")}}));
    harness_.clearFaults();

    // The spooler filled the block with the matching queue and its count, yet reported
    // failure with a code of 0: the lookup goes on, but walks nothing it was not given.
    AnswerEnumPrinters(
        [](EnumPrintersFunction original, LPBYTE buffer, DWORD bytes, LPDWORD need, LPDWORD returned) {
            const BOOL result = PassThrough(original, buffer, bytes, need, returned);
            if (buffer == nullptr) {
                return result;
            }
            EXPECT_TRUE(result);
            EXPECT_EQ(*returned, 1u);
            SetLastError(NO_ERROR);
            return FALSE;
        });
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        {ProbeNeeds(needed), Allocated(needed), Line(L"EnumPrinters(1) failed. GetLastError() = 0\n"),
         NotFound(L"Model X", L"USB001")},
    });
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("RegEnumKeyExW"), 0);
}

TEST_F(PrinterLookup, AFailedAllocationOfTheEnumerationBlock)
{
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    const DWORD needed = EnumNeeded();

    harness_.inject({"GlobalAlloc", 2, ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRACES(harness_.traces(), Concat({Identity(), {ProbeNeeds(needed), AllocFailed(needed, 8)}}));
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 1);

    // With a code of 0 the lookup goes on without a block: the spooler is told there
    // is no room (a null buffer is never handed over with a size) and says so.
    harness_.clearFaults();
    harness_.inject({"GlobalAlloc", 2, NO_ERROR});
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        {ProbeNeeds(needed), AllocFailed(needed, 0), Line(L"EnumPrinters(1) failed. GetLastError() = 122\n")},
    });
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 2);
}

TEST_F(PrinterLookup, AQueueListThatGrowsBetweenTheTwoCallsEndsTheLookupWithoutRetry)
{
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    const DWORD needed = EnumNeeded();
    std::unique_ptr<harness::ScopedPrinter> late;
    AnswerEnumPrinters(
        [&late](EnumPrintersFunction original, LPBYTE buffer, DWORD bytes, LPDWORD need, LPDWORD returned) {
            const BOOL result = PassThrough(original, buffer, bytes, need, returned);
            const DWORD error = GetLastError();
            if (buffer == nullptr && late == nullptr) {
                late = std::make_unique<harness::ScopedPrinter>(L"Model X (Copy 1)", L"Model X", L"USB001");
                EXPECT_TRUE(late->ok()) << late->error();
            }
            SetLastError(error);
            return result;
        });

    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        {ProbeNeeds(needed), Allocated(needed), Line(L"EnumPrinters(1) failed. GetLastError() = 122\n")},
    });
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 2);
    EXPECT_EQ(harness_.calls("RegEnumKeyExW"), 0);
}

const wchar_t kOtherPort[] = L"USB002";
const wchar_t kQueue[] = L"Model X";
const wchar_t kDriver[] = L"MODEL X";
const wchar_t kPort[] = L"USB001";

TEST_F(PrinterLookup, TheWalkEndsAtTheLastRecordThatFitsTheBlock)
{
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    const DWORD needed = EnumNeeded();
    const DWORD fit = needed / sizeof(PRINTER_INFO_2W);
    ASSERT_GE(fit, 2u);
    // The spooler claims far more records than its block holds. Every record that fits
    // is a readable one on the model's driver; the match, if any, is the last of them.
    // One record further lies partly in the guard page behind the block.
    bool withMatch = false;
    AnswerEnumPrinters([fit, &withMatch](EnumPrintersFunction original, LPBYTE buffer, DWORD bytes,
                                         LPDWORD need, LPDWORD returned) {
        const BOOL result = PassThrough(original, buffer, bytes, need, returned);
        if (result && buffer != nullptr) {
            auto *records = reinterpret_cast<PRINTER_INFO_2W *>(buffer);
            for (DWORD index = 0; index < fit; ++index) {
                records[index] = PRINTER_INFO_2W{};
                records[index].pPrinterName = const_cast<LPWSTR>(kQueue);
                records[index].pDriverName = const_cast<LPWSTR>(kDriver);
                records[index].pPortName =
                    const_cast<LPWSTR>(withMatch && index + 1 == fit ? kPort : kOtherPort);
            }
            *returned = fit + 1000;
        }
        return result;
    });

    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRACES(harness_.traces(), Concat({Identity(),
                                             {ProbeNeeds(needed), Allocated(needed), Enumerated(fit + 1000),
                                              NotFound(L"Model X", L"USB001")}}));
    EXPECT_EQ(harness_.calls("lstrcmpiW"), static_cast<int>(2 * fit))
        << "driver and port of each record that fits";

    withMatch = true;
    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        Identity(),
        {ProbeNeeds(needed), Allocated(needed), Enumerated(fit + 1000), Found(kQueue, kDriver, kPort)},
        Walk(WineProfiles(L"Model X", L"USB001")),
    });
    EXPECT_TRACES(harness_.traces(), expected);
}

}  // namespace
