// The installed device's identity: the model name of the selected driver and the
// PortName of its Device Parameters key, read through Wine's SetupAPI and registry,
// with every block ending at a guard page.
#include "assignment.h"

#include <algorithm>

namespace {

using namespace assignment;

class DeviceIdentity : public Assignment {
protected:
    // What the sequence traces once the port name `shown` has been read: the lookup
    // against the one queue (Model X on USB001) and, when it matches, the walk.
    static Traces AfterPortName(const std::wstring &shown, DWORD needed)
    {
        if (shown == L"USB001") {
            return Concat({Enumeration(needed, 1),
                           {Found(L"Model X", L"Model X", L"USB001")},
                           Walk(WineProfiles(L"Model X", L"USB001"))});
        }
        return Concat({Enumeration(needed, 1), {NotFound(L"Model X", shown)}});
    }
};

// ---- PortName as stored ----

struct PortValue {
    const char *name;
    DWORD type;
    std::vector<BYTE> data;
    std::wstring shown;              // the port name the trace shows
    std::vector<SIZE_T> portBlocks;  // the blocks taken for it, in order
};

// 4000 units of text with non-ASCII characters in it.
const std::wstring kLongPort = [] {
    std::wstring text;
    while (text.size() < 4000) {
        text += L"USB083 \u00C9";
    }
    return text.substr(0, 4000);
}();

class PortNameAsStored : public DeviceIdentity, public testing::WithParamInterface<PortValue> {};

TEST_P(PortNameAsStored, IsReadWithinTheBlockAndEndsWithinWhatWasWritten)
{
    const PortValue &value = GetParam();
    auto device = MakeDevice(L"Model X", L"USB001");
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    ASSERT_TRUE(printer.ok()) << printer.error();
    ASSERT_TRUE(harness::SetValue(HKEY_LOCAL_MACHINE, device->parametersPath(), L"PortName", value.type,
                                  value.data.data(), static_cast<DWORD>(value.data.size())));
    const DWORD needed = EnumNeeded();

    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    const Traces expected = Concat({
        {Start(), ModelName(L"Model X"), InstanceId(device->instanceId()), PortName(value.shown)},
        AfterPortName(value.shown, needed),
    });
    EXPECT_TRACES(harness_.traces(), expected);

    std::vector<SIZE_T> sizes = {IdBlockBytes(device->instanceId())};
    sizes.insert(sizes.end(), value.portBlocks.begin(), value.portBlocks.end());
    sizes.push_back(needed);
    EXPECT_EQ(harness_.allocationSizes(), sizes);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PortNameAsStored,
    testing::Values(
        // As the INF's AddReg writes it: the block is exactly the value's size.
        PortValue{"Terminated", REG_SZ, Bytes(L"USB001", 14), L"USB001", {14}},
        // No zero in the data: the text moves to a block one unit larger.
        PortValue{"Unterminated", REG_BINARY, Bytes(L"USB001", 12), L"USB001", {12, 14}},
        // An odd byte count: the half unit at the end is a zero byte and is not read as a unit.
        PortValue{"OddCount", REG_BINARY, Bytes(L"USB001", 13), L"USB001", {13, 14}},
        // An odd count that cuts a character: only the whole units that were written count.
        PortValue{"OddCountCutting", REG_BINARY, Bytes(L"USB001", 11), L"USB00", {11, 12}},
        // The type is not examined: a list is read up to its first zero, a number as text.
        // The zeros inside are the list's own separators.
        // NOLINTNEXTLINE(bugprone-string-literal-with-embedded-nul)
        PortValue{"MultiString", REG_MULTI_SZ, Bytes(L"USB001\0USB002\0", 30), L"USB001", {30}},
        PortValue{"Number", REG_DWORD, {0x41, 0x00, 0x42, 0x00}, L"AB", {4, 6}},
        // Empty: no block, the port stays null and matches no queue.
        PortValue{"Empty", REG_SZ, {}, L"(null)", {}},
        // Only a terminator, or a single byte (no whole unit): the empty text, which no queue has.
        PortValue{"EmptyText", REG_SZ, Bytes(L"", 2), L"", {2}},
        PortValue{"OneByte", REG_BINARY, {0x41}, L"", {1, 2}},
        // Far longer than a trace line: traced up to the formatter's cut, never read past the block.
        PortValue{"Long", REG_SZ, Bytes(kLongPort, 8002), kLongPort, {8002}},
        PortValue{"LongUnterminated", REG_BINARY, Bytes(kLongPort, 8000), kLongPort, {8000, 8002}}),
    [](const testing::TestParamInfo<PortValue> &info) { return std::string(info.param.name); });

TEST_F(DeviceIdentity, ADeviceWithoutDeviceParametersEndsTheSequenceAtTheKey)
{
    auto device = MakeDevice(L"Model X", L"USB001", false);
    ASSERT_FALSE(harness::KeyExists(HKEY_LOCAL_MACHINE, device->parametersPath()));
    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    const Traces expected = {
        Start(),
        ModelName(L"Model X"),
        InstanceId(device->instanceId()),
        Line(L"RegOpenKeyEx(" + device->parametersPath() + L") failed. GetLastError() = 2\n"),
    };
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("EnumPrintersW"), 0);
}

TEST_F(DeviceIdentity, AFailedPortNameQueryHandsItsBlockBackForFreeing)
{
    auto device = MakeDevice(L"Model X", L"USB001");
    for (const DWORD code : std::vector<DWORD>{ERROR_MORE_DATA, ERROR_ACCESS_DENIED}) {
        harness_.clearFaults();
        harness_.inject({"RegQueryValueExW", 1, code});
        EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
        const Traces expected = {
            Start(),
            ModelName(L"Model X"),
            InstanceId(device->instanceId()),
            Line(L"RegQueryValueEx(1) failed. GetLastError() = " + Dec(code) + L"\n"),
        };
        EXPECT_TRACES(harness_.traces(), expected);
        EXPECT_EQ(harness_.calls("GlobalFree"), 2) << "the instance ID and the port name block";
        EXPECT_EQ(harness_.outstandingBlocks(), 0);
        EXPECT_EQ(harness_.calls("EnumPrintersW"), 0);
    }
}

// ---- Instance IDs the real platform does not give on demand ----

// SetupAPI's answer for the instance ID `id`: its size to a probe, the ID to a
// query with room for it.
harness::Answer<decltype(&SetupDiGetDeviceInstanceIdW)> InstanceIdIs(const std::wstring &id)
{
    return [id](auto, HDEVINFO, PSP_DEVINFO_DATA, PWSTR buffer, DWORD capacity, PDWORD required) {
        const DWORD units = static_cast<DWORD>(id.size() + 1);
        if (required != nullptr) {
            *required = units;
        }
        if (buffer == nullptr || capacity < units) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::copy(id.c_str(), id.c_str() + units, buffer);
        return TRUE;
    };
}

TEST_F(DeviceIdentity, AnInstanceIdOf211UnitsFillsTheKeyPathExactly)
{
    auto device = MakeDevice(L"Model X", L"USB001", false);
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    const std::wstring id = L"VELDRIANTEST\\" + std::wstring(211 - 13, L'7');
    ASSERT_EQ(id.size(), 211u);
    const std::wstring path = std::wstring(win32::kEnumPath) + id + L"\\Device Parameters";
    ASSERT_EQ(path.size(), 259u);
    ASSERT_TRUE(harness::SetString(HKEY_LOCAL_MACHINE, path, L"PortName", L"USB001"));
    const DWORD needed = EnumNeeded();

    harness_.answer<decltype(&SetupDiGetDeviceInstanceIdW)>("SetupDiGetDeviceInstanceIdW", InstanceIdIs(id));
    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    harness::DeleteKeyTree(HKEY_LOCAL_MACHINE, std::wstring(win32::kEnumPath) + L"VELDRIANTEST");

    const Traces expected = Concat({
        {Start(), ModelName(L"Model X"), InstanceId(id), PortName(L"USB001")},
        AfterPortName(L"USB001", needed),
    });
    EXPECT_TRACES(harness_.traces(), expected);
}

TEST_F(DeviceIdentity, ALongerInstanceIdEndsTheSequenceWithoutFormingAPath)
{
    auto device = MakeDevice(L"Model X", L"USB001", false);
    for (const size_t length : {212u, 2000u}) {
        const std::wstring id = L"VELDRIANTEST\\" + std::wstring(length - 13, L'%');
        harness_.answer<decltype(&SetupDiGetDeviceInstanceIdW)>("SetupDiGetDeviceInstanceIdW",
                                                                InstanceIdIs(id));
        EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
        const std::vector<std::wstring> traces = harness_.traces();
        ASSERT_EQ(traces.size(), 4u) << length;
        EXPECT_EQ(traces[0], Start());
        EXPECT_EQ(traces[1], ModelName(L"Model X"));
        // The formatter cuts a message at 1023 characters; the prefix stays whole.
        const std::wstring line = L"Device Instance ID = " + id + L"\n";
        EXPECT_EQ(traces[2], Line(line.substr(0, 1023))) << length;
        EXPECT_EQ(traces[2].size(), std::min<size_t>(11 + line.size(), 11 + 1023)) << length;
        EXPECT_EQ(traces[3], Line(L"Device Instance ID too long (" + std::to_wstring(length) +
                                  L"). GetLastError() = 122\n"));
        EXPECT_EQ(harness_.calls("RegOpenKeyExW"), 0) << length;
        EXPECT_EQ(harness_.calls("EnumPrintersW"), 0) << length;
        const std::vector<SIZE_T> sizes = {(length + 2) * sizeof(wchar_t)};
        EXPECT_EQ(harness_.allocationSizes(), sizes);
    }
}

// ---- Injected failures of the instance-ID query ----

struct IdFault {
    const char *name;
    int call;  // 0: the size probe, 1: the query, -1: both
    DWORD error;
};

class InstanceIdFailure : public DeviceIdentity, public testing::WithParamInterface<IdFault> {};

TEST_P(InstanceIdFailure, IsTracedAndAnUnwrittenIdIsNeverUsed)
{
    const IdFault &fault = GetParam();
    auto device = MakeDevice(L"Model X", L"USB001");
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    const DWORD needed = EnumNeeded();
    const std::wstring required = Dec(static_cast<DWORD>(device->instanceId().size() + 1));
    harness_.inject({"SetupDiGetDeviceInstanceIdW", fault.call, fault.error});

    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    Traces expected = {Start(), ModelName(L"Model X")};
    // The probe's own failures show "(0)"; the query shows the capacity it was given.
    const std::wstring capacity = fault.call == 1 ? required : L"0";
    if (fault.call != 0 || fault.error != NO_ERROR) {
        expected.push_back(Line(L"SetupDiGetDeviceInstanceId(" + capacity + L") failed. GetLastError() = " +
                                Dec(fault.error) + L"\n"));
    }
    if (fault.error == NO_ERROR) {
        // No ID, so no key path: the port stays unknown and matches no queue.
        expected = Concat({expected, Enumeration(needed, 1), {NotFound(L"Model X", L"(null)")}});
    }
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("RegOpenKeyExW"), 0) << "no device key is opened";
    EXPECT_EQ(harness_.calls("RegEnumKeyExW"), 0) << "nothing is written";
}

// A probe that fails with a last-error of 0 leaves the size at 0: no block is
// taken, and the query, given no room, fails with 122.
TEST_F(DeviceIdentity, AProbeThatFailsWithoutACodeLeavesNoRoomForTheId)
{
    auto device = MakeDevice(L"Model X", L"USB001");
    harness_.inject({"SetupDiGetDeviceInstanceIdW", 0, NO_ERROR});
    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    const Traces expected = {Start(), ModelName(L"Model X"),
                             Line(L"SetupDiGetDeviceInstanceId(0) failed. GetLastError() = 122\n")};
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("GlobalAlloc"), 0);
    EXPECT_EQ(harness_.calls("RegOpenKeyExW"), 0);
}

// A registry call that answers success without doing anything: no key, no size,
// no data. The pass goes on with what it has, and never reads what was not written.
TEST_F(DeviceIdentity, ARegistryThatAnswersSuccessWithoutDoingAnything)
{
    auto device = MakeDevice(L"Model X", L"USB001");
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    const DWORD needed = EnumNeeded();
    const Traces identity = {Start(), ModelName(L"Model X"), InstanceId(device->instanceId())};

    // No device key: the probe is made on no key at all.
    harness_.inject({"RegOpenKeyExW", 0, NO_ERROR});
    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRACES(harness_.traces(),
                  Concat({identity, {Line(L"RegQueryValueEx(0) failed. GetLastError() = 6\n")}}));

    // No size: no block, so the port stays unknown.
    harness_.clearFaults();
    harness_.inject({"RegQueryValueExW", 0, NO_ERROR});
    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRACES(harness_.traces(),
                  Concat({identity, {PortName(L"(null)")}, AfterPortName(L"(null)", needed)}));

    // No data: the block holds what the allocator left in it (the harness's fill),
    // read up to the block's end and ended in a block one unit larger.
    harness_.clearFaults();
    harness_.inject({"RegQueryValueExW", 1, NO_ERROR});
    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    const std::wstring fill(7, static_cast<wchar_t>(harness::Interposer::kFill * 0x101));
    EXPECT_TRACES(harness_.traces(), Concat({identity, {PortName(fill)}, AfterPortName(fill, needed)}));
    const std::vector<SIZE_T> sizes = {IdBlockBytes(device->instanceId()), 14, 16, needed};
    EXPECT_EQ(harness_.allocationSizes(), sizes);
}

INSTANTIATE_TEST_SUITE_P(Faults, InstanceIdFailure,
                         testing::Values(IdFault{"ProbeFails", 0, ERROR_INVALID_DATA},
                                         IdFault{"QueryFails", 1, ERROR_INVALID_DATA},
                                         IdFault{"QueryFailsWithoutCode", 1, NO_ERROR},
                                         IdFault{"BothFailWithoutCode", -1, NO_ERROR}),
                         [](const testing::TestParamInfo<IdFault> &info) {
                             return std::string(info.param.name);
                         });

// ---- Allocation failures of the identity's blocks ----

struct AllocFault {
    const char *name;
    int call;  // 0: instance ID, 1: port name, 2: the unterminated port name's larger block
    DWORD error;
};

class IdentityAllocationFailure : public DeviceIdentity, public testing::WithParamInterface<AllocFault> {};

TEST_P(IdentityAllocationFailure, IsTracedWithItsSizeAndEndsOrGoesOnAsItsCodeSays)
{
    const AllocFault &fault = GetParam();
    auto device = MakeDevice(L"Model X", L"USB001");
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    if (fault.call == 2) {
        const std::vector<BYTE> port = Bytes(L"USB001", 12);
        ASSERT_TRUE(harness::SetValue(HKEY_LOCAL_MACHINE, device->parametersPath(), L"PortName", REG_BINARY,
                                      port.data(), static_cast<DWORD>(port.size())));
    }
    const std::wstring id = device->instanceId();
    const DWORD needed = EnumNeeded();
    harness_.inject({"GlobalAlloc", fault.call, fault.error});

    EXPECT_EQ(Run(*device), static_cast<DWORD>(NO_ERROR));
    Traces expected = {Start(), ModelName(L"Model X")};
    if (fault.call == 0) {
        expected.push_back(AllocFailed(IdBlockBytes(id), fault.error));
        if (fault.error == NO_ERROR) {
            // Without a block the ID cannot be read: the query is told there is no room.
            expected.push_back(Line(L"SetupDiGetDeviceInstanceId(" + Dec(static_cast<DWORD>(id.size() + 1)) +
                                    L") failed. GetLastError() = 122\n"));
        }
    } else {
        expected.push_back(InstanceId(id));
        expected.push_back(AllocFailed(14, fault.error));
        if (fault.error == NO_ERROR) {
            expected = Concat({expected, {PortName(L"(null)")}, AfterPortName(L"(null)", needed)});
        }
    }
    EXPECT_TRACES(harness_.traces(), expected);
    EXPECT_EQ(harness_.calls("RegEnumKeyExW"), 0) << "nothing is written";
}

INSTANTIATE_TEST_SUITE_P(Faults, IdentityAllocationFailure,
                         testing::Values(AllocFault{"InstanceId", 0, ERROR_NOT_ENOUGH_MEMORY},
                                         AllocFault{"InstanceIdWithoutCode", 0, NO_ERROR},
                                         AllocFault{"PortName", 1, ERROR_NOT_ENOUGH_MEMORY},
                                         AllocFault{"PortNameWithoutCode", 1, NO_ERROR},
                                         AllocFault{"TerminatedCopy", 2, ERROR_NOT_ENOUGH_MEMORY},
                                         AllocFault{"TerminatedCopyWithoutCode", 2, NO_ERROR}),
                         [](const testing::TestParamInfo<AllocFault> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
