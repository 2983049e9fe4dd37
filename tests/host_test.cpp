// The real host: SetupAPI loads VELDRIAN.dll as a class co-installer of the Printer
// class and calls CoInstallerE through SetupDiCallClassInstaller.
#include "harness/harness.h"
#include "harness/platform.h"

#include <gtest/gtest.h>

namespace {

const wchar_t *const kCoInstallersPath = win32::kCoDeviceInstallersPath;
const wchar_t *const kPrinterClassName = win32::kPrinterClassText;

std::vector<std::string> VeldrianLines(const std::vector<std::string> &messages, size_t from)
{
    std::vector<std::string> lines;
    for (size_t index = from; index < messages.size(); ++index) {
        if (messages[index].rfind("VELDRIAN : ", 0) == 0) {
            lines.push_back(messages[index]);
        }
    }
    return lines;
}

class Host : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(harness::Veldrian(), nullptr);
        std::wstring entry = harness::VeldrianPath() + L",CoInstallerE";
        entry.push_back(L'\0');
        entry.push_back(L'\0');
        ASSERT_TRUE(harness::SetValue(HKEY_LOCAL_MACHINE, kCoInstallersPath, kPrinterClassName, REG_MULTI_SZ,
                                      entry.data(), static_cast<DWORD>(entry.size() * sizeof(wchar_t))));
    }

    harness::ScopedKeyRestore restore_{HKEY_LOCAL_MACHINE, kCoInstallersPath};
    harness::DbwinReader reader_;
};

TEST_F(Host, SetupApiCallsTheClassCoInstallerForEachRequest)
{
    ASSERT_TRUE(reader_.ok());
    harness::ScopedDevice device(harness::PrinterInf({{L"Model X", L"VELDRIAN\\HOSTTEST", L"USB001"}}),
                                 L"VELDRIAN\\HOSTTEST", false);
    ASSERT_TRUE(device.ok()) << device.failure();
    const size_t before = reader_.drain().size();

    // No default handler: SetupAPI answers ERROR_DI_DO_DEFAULT after the co-installers.
    SetupDiCallClassInstaller(DIF_ALLOW_INSTALL, device.set(), device.data());
    SetupDiCallClassInstaller(DIF_PROPERTIES, device.set(), device.data());
    // The default handler installs the device; the co-installer asks for post-processing.
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_INSTALLDEVICE, device.set(), device.data())) << GetLastError();

    const std::vector<std::string> lines = VeldrianLines(reader_.drain(), before);
    const std::vector<std::string> expected = {
        "VELDRIAN : DIF_ALLOW_INSTALL\n",
        "VELDRIAN : DIF_PROPERTIES\n",
        "VELDRIAN : DIF_INSTALLDEVICE\n",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(Host, PostProcessingCallAfterTheClassInstallerLooksForTheQueue)
{
    ASSERT_TRUE(reader_.ok());
    harness::ScopedDevice device(harness::PrinterInf({{L"Model Host", L"VELDRIAN\\HOSTPOST", L"USB077"}}),
                                 L"VELDRIAN\\HOSTPOST", false);
    ASSERT_TRUE(device.ok()) << device.failure();
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_INSTALLDEVICE, device.set(), device.data())) << GetLastError();
    const size_t before = reader_.drain().size();

    // Wine's SetupAPI makes no post-processing call: the harness makes it, as Windows does.
    EXPECT_EQ(harness::CallEntry(DIF_INSTALLDEVICE, device.set(), device.data(), TRUE),
              static_cast<DWORD>(NO_ERROR));

    const std::vector<std::string> lines = VeldrianLines(reader_.drain(), before);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "VELDRIAN : DIF_INSTALLDEVICE PostProcessing\n");
    EXPECT_EQ(lines[1], "VELDRIAN : GetPrinterModelName() : Model Name = \"Model Host\"\n");
    EXPECT_EQ(lines[2], "VELDRIAN : Device Instance ID = " + harness::Narrow(device.instanceId()) + "\n");
    EXPECT_EQ(lines[3], "VELDRIAN : PortName = USB077\n");
    EXPECT_EQ(lines.back(),
              "VELDRIAN : Unable to found Printer : Model Name = \"Model Host\" Port Name = \"USB077\"\n");
}

}  // namespace
