// Linked into every test executable: the Wine prefix must be left as the tests
// found it, so that they pass in any order. The guard takes a picture of what the
// tests touch before the first test and fails the run if anything differs after
// the last one. Before that, it ends (and names) any program of the build that an
// earlier test left running in the prefix: such a program would hold the debugger
// output or the device installation and fail the tests after it.
#include "harness.h"
#include "harness/childprocess.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <iostream>

#include <string>
#include <vector>

namespace {

struct Place {
    HKEY root;
    const wchar_t *path;
    const char *name;
};

const Place kPlaces[] = {
    {HKEY_USERS, L"", "HKEY_USERS"},
    {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum", "HKLM\\...\\Enum"},
    {HKEY_LOCAL_MACHINE, win32::kPrinterClassPath, "HKLM\\...\\Class\\{Printer}"},
    {HKEY_LOCAL_MACHINE, win32::kCoDeviceInstallersPath, "HKLM\\...\\CoDeviceInstallers"},
    {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
     "HKLM\\...\\Print\\Printers"},
};

std::vector<std::wstring> QueueNames()
{
    std::vector<std::wstring> names;
    for (const harness::QueueInfo &queue : harness::EnumQueues()) {
        names.push_back(queue.name + L" | " + queue.driver + L" | " + queue.port);
    }
    return names;
}

bool SystemCopyExists()
{
    return GetFileAttributesW(L"C:\\windows\\system32\\VELDRIAN.dll") != INVALID_FILE_ATTRIBUTES;
}

class PrefixGuard : public testing::Environment {
public:
    void SetUp() override
    {
        for (const std::wstring &left : harness::EndLeftoverProcesses()) {
            std::cerr << "prefix guard: ended " << harness::Narrow(left)
                      << ", left running by an earlier test\n";
        }
        for (const Place &place : kPlaces) {
            before_.push_back(harness::Snapshot(place.root, place.path));
        }
        queues_ = QueueNames();
        systemCopy_ = SystemCopyExists();
    }

    void TearDown() override
    {
        for (std::size_t index = 0; index < std::size(kPlaces); ++index) {
            const std::vector<std::wstring> changes =
                harness::Diff(before_[index], harness::Snapshot(kPlaces[index].root, kPlaces[index].path));
            std::string listed;
            for (const std::wstring &change : changes) {
                listed += "\n  " + harness::Narrow(change);
            }
            EXPECT_TRUE(changes.empty()) << "the tests left " << kPlaces[index].name << " changed:" << listed;
        }
        EXPECT_EQ(QueueNames(), queues_) << "the tests left the spooler's queues changed";
        EXPECT_EQ(SystemCopyExists(), systemCopy_) << "the tests left system32\\VELDRIAN.dll changed";
    }

private:
    std::vector<harness::RegSnapshot> before_;
    std::vector<std::wstring> queues_;
    bool systemCopy_ = false;
};

// Registered before main runs the tests; GoogleTest owns and deletes it.
testing::Environment *const g_guard = testing::AddGlobalTestEnvironment(new PrefixGuard);

}  // namespace
