// The platform calls of one post-processing pass, counted through the import
// redirection on a small real setup: three queues, and four profiles under
// HKEY_USERS in the states a walk meets (lists the queue; no Devices key; a
// Devices key without the queue; Wine's current user, listing it). A change in the
// number of calls per pass, per queue or per profile fails here.
#include "harness/harness.h"
#include "harness/platform.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace {

const wchar_t kModel[] = L"VELDRIAN Count Model";
const wchar_t kOtherModel[] = L"VELDRIAN Count Other";
const wchar_t kHardwareId[] = L"VELDRIAN\\CALLCOUNT";
const wchar_t kPort[] = L"CCPORT1";
const wchar_t kQueue[] = L"VELDRIAN Count Queue";
const wchar_t kEntry[] = L"winspool,CCPORT1";
const std::wstring kCurrentVersion = L"\\" + std::wstring(win32::kCurrentVersionPath);

// The comparisons of a linear walk in the spooler's order that stops at the first
// queue of `model` on `port`: one per record, a second where the driver is equal.
int WalkComparisons(const wchar_t *model, const wchar_t *port)
{
    int comparisons = 0;
    for (const harness::QueueInfo &queue : harness::EnumQueues()) {
        const bool sameDriver = lstrcmpiW(queue.driver.c_str(), model) == 0;
        comparisons += sameDriver ? 2 : 1;
        if (sameDriver && lstrcmpiW(queue.port.c_str(), port) == 0) {
            break;
        }
    }
    return comparisons;
}

class CallCount : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(user_.empty());
        ASSERT_TRUE(target_.ok()) << target_.error();
        ASSERT_TRUE(sameDriver_.ok()) << sameDriver_.error();
        ASSERT_TRUE(samePort_.ok()) << samePort_.error();
        // .Default: a Devices key that does not list the queue.
        const std::wstring defaultDevices = std::wstring(L".Default\\") + harness::kDevicesPath;
        ASSERT_TRUE(harness::CreateKey(HKEY_USERS, defaultDevices));
        harness::DeleteValue(HKEY_USERS, defaultDevices, kQueue);
        // The current user lists the queue and has a Windows key.
        ASSERT_TRUE(harness::SetString(HKEY_USERS, user_ + L"\\" + harness::kDevicesPath, kQueue, kEntry));
        ASSERT_TRUE(harness::CreateKey(HKEY_USERS, user_ + L"\\" + harness::kWindowsPath));

        std::vector<std::wstring> profiles = harness::SubkeyNames(HKEY_USERS, L"");
        std::vector<std::wstring> expected = {L".Default", user_, listed_.name(), unlisted_.name()};
        std::sort(profiles.begin(), profiles.end());
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(profiles, expected) << "HKEY_USERS holds other profiles";
    }

    const std::wstring user_ = harness::CurrentUserKey();
    harness::ScopedKeyRestore defaultRestore_{HKEY_USERS,
                                              harness::ExistingAncestor(L".Default" + kCurrentVersion)};
    harness::ScopedKeyRestore userRestore_{HKEY_USERS, harness::ExistingAncestor(user_ + kCurrentVersion)};
    harness::ScopedPrinter sameDriver_{L"VELDRIAN Count Decoy", kModel, L"CCPORT2"};
    harness::ScopedPrinter target_{kQueue, kModel, kPort};
    harness::ScopedPrinter samePort_{L"VELDRIAN Count Zeta", kOtherModel, kPort};
    harness::ScopedProfile listed_{L"S-1-5-21-7-7-7-1001", kQueue, kEntry, true};
    harness::ScopedProfile unlisted_{L"S-1-5-21-7-7-7-1002", kQueue, nullptr, true};
};

TEST_F(CallCount, FullPassMakesTheExpectedPlatformCalls)
{
    harness::ScopedDevice device(harness::PrinterInf({{kModel, kHardwareId, kPort}}), kHardwareId, true);
    ASSERT_TRUE(device.ok()) << device.failure();
    const int comparisons = WalkComparisons(kModel, kPort);

    harness::Interposer interposer;
    EXPECT_EQ(harness::CallEntry(DIF_INSTALLDEVICE, device.set(), device.data(), TRUE),
              static_cast<DWORD>(NO_ERROR));

    // The pass found the queue and wrote the default where the profile lists it.
    EXPECT_EQ(harness::StringOf(listed_.device()), std::wstring(kQueue) + L"," + kEntry);
    EXPECT_EQ(listed_.device().type, static_cast<DWORD>(REG_SZ));
    EXPECT_FALSE(harness::ValueExists(HKEY_USERS, unlisted_.windowsPath(), L"Device"));

    // Device identity, two spooler calls, one enumeration block.
    EXPECT_EQ(interposer.calls("SetupDiGetSelectedDriverW"), 1);
    EXPECT_EQ(interposer.calls("SetupDiGetDeviceInstanceIdW"), 2);
    EXPECT_EQ(interposer.calls("EnumPrintersW"), 2);
    // Instance ID, port name and enumeration blocks, each freed.
    EXPECT_EQ(interposer.calls("GlobalAlloc"), 3);
    EXPECT_EQ(interposer.calls("GlobalFree"), 3);
    EXPECT_EQ(interposer.outstandingBlocks(), 0);
    // The linear walk stops at the queue.
    EXPECT_EQ(interposer.calls("lstrcmpiW"), comparisons);

    // Registry: the device key (open, two queries, close) and HKEY_USERS (open, five
    // enumerations for four profiles, close), then per profile:
    //   listed and current user: open Devices, query, open Windows, set, two closes;
    //   no Devices key:          one failed open;
    //   Devices without entry:   open Devices, failed query, close.
    EXPECT_EQ(interposer.calls("RegEnumKeyExW"), 5);
    EXPECT_EQ(interposer.calls("RegOpenKeyExW"), 1 + 1 + 2 + 2 + 1 + 1);
    EXPECT_EQ(interposer.calls("RegQueryValueExW"), 2 + 1 + 1 + 1);
    EXPECT_EQ(interposer.calls("RegSetValueExW"), 2);
    EXPECT_EQ(interposer.calls("RegCloseKey"), 1 + 1 + 2 + 2 + 1);
    EXPECT_EQ(interposer.openKeys(), 0);
}

TEST_F(CallCount, PassWithoutAQueueWalksNoProfile)
{
    // The driver of the queues, on a port that none of them uses.
    harness::ScopedDevice device(harness::PrinterInf({{kModel, kHardwareId, L"CCPORT9"}}), kHardwareId, true);
    ASSERT_TRUE(device.ok()) << device.failure();
    const int comparisons = WalkComparisons(kModel, L"CCPORT9");

    harness::Interposer interposer;
    EXPECT_EQ(harness::CallEntry(DIF_INSTALLDEVICE, device.set(), device.data(), TRUE),
              static_cast<DWORD>(NO_ERROR));

    EXPECT_FALSE(harness::ValueExists(HKEY_USERS, listed_.windowsPath(), L"Device"));
    EXPECT_EQ(interposer.calls("EnumPrintersW"), 2);
    EXPECT_EQ(interposer.calls("GlobalAlloc"), 3);
    EXPECT_EQ(interposer.calls("GlobalFree"), 3);
    EXPECT_EQ(interposer.calls("lstrcmpiW"), comparisons);  // every record, none matching
    EXPECT_EQ(interposer.calls("RegEnumKeyExW"), 0);
    EXPECT_EQ(interposer.calls("RegOpenKeyExW"), 1);
    EXPECT_EQ(interposer.calls("RegQueryValueExW"), 2);
    EXPECT_EQ(interposer.calls("RegSetValueExW"), 0);
    EXPECT_EQ(interposer.calls("RegCloseKey"), 1);
    EXPECT_EQ(interposer.outstandingBlocks(), 0);
    EXPECT_EQ(interposer.openKeys(), 0);
}

}  // namespace
