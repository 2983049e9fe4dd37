// The post-processing of DIF_INSTALLDEVICE end to end on Wine's own SetupAPI, spooler
// and registry: the typical event, the sequence's own exits, and names that hold
// format characters.
#include "assignment.h"

namespace {

using namespace assignment;

class PostProcessing : public Assignment {};

TEST_F(PostProcessing, TheInstalledPrinterBecomesTheDefaultOfEveryProfileThatListsIt)
{
    harness::DbwinReader reader;
    ASSERT_TRUE(reader.ok());
    harness_.passTracesThrough(true);

    auto device = MakeDevice(L"Model X", L"USB001");
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    ASSERT_TRUE(printer.ok()) << printer.error();
    harness::ScopedProfile profile(L"S-1-5-21-1-2-3-500", L"Model X", L"winspool,USB001");
    // The current user lists the queue as the spooler wrote it; give it a Windows key too.
    ASSERT_TRUE(harness::CreateKey(HKEY_USERS, kCurrentUser + L"\\" + harness::kWindowsPath));
    ASSERT_EQ(harness::StringOf(
                  harness::GetValue(HKEY_USERS, kCurrentUser + L"\\" + harness::kDevicesPath, L"Model X")),
              L"wineps.drv,USB001");

    const DWORD needed = EnumNeeded();
    ASSERT_NE(needed, 0u);
    const harness::RegSnapshot before = harness::Snapshot(HKEY_USERS);
    const size_t dbwinBefore = reader.drain().size();

    harness_.clearTraces();
    EXPECT_EQ(harness::CallEntry(DIF_INSTALLDEVICE, device->set(), device->data(), FALSE), 0xE0000226u);
    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));

    const Traces expected = Concat({
        {Start(), ModelName(L"Model X"), InstanceId(device->instanceId()), PortName(L"USB001")},
        Enumeration(needed, 1),
        {Found(L"Model X", L"Model X", L"USB001")},
        Walk({{kDefaultUser, NoDevicesKey(L"Model X", kDefaultUser)},
              {kCurrentUser, Written(L"Model X,wineps.drv,USB001")},
              {L"S-1-5-21-1-2-3-500", Written(L"Model X,winspool,USB001")}}),
    });
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness::SubkeyNames(HKEY_USERS, L"").size(), 3u) << "Wine's two profiles and the test's";

    const harness::RegValue written = profile.device();
    EXPECT_EQ(written.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(written.data.size(), 48u);
    EXPECT_EQ(harness::StringOf(written), L"Model X,winspool,USB001");

    // Only the Device values of the two profiles that list the queue changed.
    const std::vector<std::wstring> changes = harness::Diff(before, harness::Snapshot(HKEY_USERS));
    const std::vector<std::wstring> expectedChanges = {
        L"value added: " + kCurrentUser + L"\\" + harness::kWindowsPath +
            L" : Device = \"Model X,wineps.drv,USB001\"",
        L"value added: S-1-5-21-1-2-3-500\\" + std::wstring(harness::kWindowsPath) +
            L" : Device = \"Model X,winspool,USB001\"",
    };
    EXPECT_EQ(changes, expectedChanges);

    // Three blocks (instance ID, port name, enumeration), all freed; every key closed.
    const std::vector<SIZE_T> sizes = {IdBlockBytes(device->instanceId()), 14, needed};
    EXPECT_EQ(harness_.allocationSizes(), sizes);
    EXPECT_EQ(harness_.calls("GlobalFree"), 3);
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 2);
    EXPECT_EQ(harness_.calls("RegSetValueExW"), 2);

    // Each key is opened with the one right its step needs: Windows grants no more to
    // a profile whose ACL allows only that. And each Device value is handed over with
    // its terminator, (length + 1) x 2 bytes.
    const std::wstring profileKey = L"S-1-5-21-1-2-3-500\\";
    const std::vector<std::wstring> opens = {
        Opened(HKEY_LOCAL_MACHINE, device->parametersPath(), KEY_READ),
        Opened(HKEY_USERS, L"", KEY_ENUMERATE_SUB_KEYS),
        Opened(HKEY_USERS, kDefaultUser + L"\\" + harness::kDevicesPath, KEY_QUERY_VALUE),
        Opened(HKEY_USERS, kCurrentUser + L"\\" + harness::kDevicesPath, KEY_QUERY_VALUE),
        Opened(HKEY_USERS, kCurrentUser + L"\\" + harness::kWindowsPath, KEY_SET_VALUE),
        Opened(HKEY_USERS, profileKey + harness::kDevicesPath, KEY_QUERY_VALUE),
        Opened(HKEY_USERS, profileKey + harness::kWindowsPath, KEY_SET_VALUE),
    };
    EXPECT_EQ(Opens(harness_), opens);
    const std::vector<harness::Call> writes = harness_.log("RegSetValueExW");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].name, L"Device");
    EXPECT_EQ(writes[1].type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(writes[0].data, WithTerminator(L"Model X,wineps.drv,USB001"));
    EXPECT_EQ(writes[1].data, WithTerminator(L"Model X,winspool,USB001"));

    // A debug-output viewer sees the same messages, pre-processing call first.
    std::vector<std::string> viewer;
    const std::vector<std::string> messages = reader.drain();
    for (size_t index = dbwinBefore; index < messages.size(); ++index) {
        if (messages[index].rfind("VELDRIAN : ", 0) == 0) {
            viewer.push_back(messages[index]);
        }
    }
    std::vector<std::string> narrow = {"VELDRIAN : DIF_INSTALLDEVICE\n"};
    for (const std::wstring &line : expected) {
        narrow.push_back(harness::Narrow(line));
    }
    EXPECT_EQ(viewer, narrow);
}

TEST_F(PostProcessing, ADriverQueryFailureEndsTheSequenceBeforeAnythingIsAllocated)
{
    auto device = MakeDevice(L"Model X", L"USB001");
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    for (const DWORD code : std::vector<DWORD>{ERROR_INVALID_DATA, NO_ERROR}) {
        harness_.clearFaults();
        harness_.inject({"SetupDiGetSelectedDriverW", -1, code});
        EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
        // With a last-error of 0 the model name was never written: it is not used either.
        const Traces expected = {
            Start(),
            Line(L"GetPrinterModelName() : SetupDiGetSelectedDriver() failed. GetLastError() = " + Dec(code) +
                 L"\n"),
            Line(L"GetPrinterModelName() failed. GetLastError() = " + Dec(code) + L"\n"),
        };
        EXPECT_TRACES(harness_.traces(), expected);
        EXPECT_EQ(harness_.calls("GlobalAlloc"), 0) << code;
        EXPECT_EQ(harness_.calls("SetupDiGetDeviceInstanceIdW"), 0) << code;
        EXPECT_EQ(harness_.calls("EnumPrintersW"), 0) << code;
    }
}

TEST_F(PostProcessing, WithoutAPortNameNoQueueIsLookedFor)
{
    auto device = MakeDevice(L"Model X", L"");
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    ASSERT_TRUE(harness::KeyExists(HKEY_LOCAL_MACHINE, device->parametersPath()));
    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    const Traces expected = {
        Start(),
        ModelName(L"Model X"),
        InstanceId(device->instanceId()),
        Line(L"RegQueryValueEx(0) failed. GetLastError() = 2\n"),
    };
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 0);
    EXPECT_EQ(harness_.calls("GlobalAlloc"), 1);
}

TEST_F(PostProcessing, WhenNoQueueMatchesNothingIsWrittenAndBothBlocksAreFreed)
{
    auto device = MakeDevice(L"Model X", L"USB001");
    harness::ScopedPrinter other(L"Model X elsewhere", L"Model X", L"USB002");
    ASSERT_TRUE(other.ok()) << other.error();
    harness::ScopedProfile profile(L"S-1-5-21-1-2-3-500", L"Model X", L"winspool,USB001");
    const DWORD needed = EnumNeeded();
    const harness::RegSnapshot before = harness::Snapshot(HKEY_USERS);

    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        {Start(), ModelName(L"Model X"), InstanceId(device->instanceId()), PortName(L"USB001")},
        Enumeration(needed, 1),
        {NotFound(L"Model X", L"USB001")},
    });
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("GlobalAlloc"), 3);
    EXPECT_EQ(harness_.calls("GlobalFree"), 3);
    EXPECT_EQ(harness_.calls("RegEnumKeyExW"), 0);
    EXPECT_TRUE(harness::Diff(before, harness::Snapshot(HKEY_USERS)).empty());
}

// Names taken from the INF, the device key, the spooler and the registry are always
// arguments of a format: they come out literally in the trace and in the value, with
// their backslashes, commas and non-ASCII characters.
TEST_F(PostProcessing, NamesWithFormatCharactersAndNonAsciiTextComeOutLiterally)
{
    // "%%" in an INF string is one "%".
    auto device = MakeDevice(L"Imprimante \u00C9T\u00C9 %%s%%d%%n 100%% \u6253\u5370\u673A", L"USB001");
    const std::wstring model = L"Imprimante \u00C9T\u00C9 %s%d%n 100% \u6253\u5370\u673A";
    const std::wstring port = L"USB%s%x\\\u00C9,1";
    const std::wstring queue = L"Queue %s %d %% %ls \u00C9T\u00C9 \u6253\u5370\u673A";
    const std::wstring user = L"S-1-5-21-%s%n-\u00C9T\u00C9-\u6253\u5370,%d";
    const std::wstring entry = L"winspool,%s%d,%n\\\\serveur\\file,\u00C9T\u00C9 \u6253\u5370,%d%%";
    ASSERT_TRUE(harness::SetString(HKEY_LOCAL_MACHINE, device->parametersPath(), L"PortName", port));
    harness::ScopedPrinter printer(queue, model, port);
    ASSERT_TRUE(printer.ok()) << printer.error();
    harness::ScopedProfile profile(user, queue, entry.c_str());
    const DWORD needed = EnumNeeded();

    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    Blocks blocks = WineProfiles(queue, port);
    blocks[user] = Written(queue + L"," + entry);
    const Traces expected = Concat({
        {Start(), ModelName(model), InstanceId(device->instanceId()), PortName(port)},
        Enumeration(needed, 1),
        {Found(queue, model, port)},
        Walk(blocks),
    });
    EXPECT_TRACES(harness_.traces(), expected);
    const std::vector<harness::Call> writes = harness_.log("RegSetValueExW");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data, WithTerminator(queue + L"," + entry));
    EXPECT_EQ(harness::StringOf(profile.device()), queue + L"," + entry);
}

}  // namespace
