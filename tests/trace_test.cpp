// veldrian-trace run as its own process: listening while VELDRIAN runs a real
// post-processing pass, reading the same pass from a saved capture, refusing to
// compete with another reader of the debugger output, and its usage errors.
#include "assignment.h"
#include "harness/childprocess.h"
#include "tracedecoder.h"
#include "win32/files.h"
#include "win32/paths.h"

#include <algorithm>
#include <fstream>

namespace {

using namespace assignment;

std::wstring TracePath()
{
    char value[MAX_PATH * 2] = {};
    GetEnvironmentVariableA("VELDRIAN_TRACE", value, sizeof(value));
    return harness::Wide(win32::WindowsPath(std::string(value)));
}

// veldrian-trace started with `arguments`, ended whatever the test's outcome; what it
// printed and its status are there once finished.
class TraceRun : public harness::ProgramRun {
public:
    explicit TraceRun(const std::vector<std::wstring> &arguments) : process_(TracePath(), arguments) {}

    // Whether it holds the debugger output now (its buffer's event exists); false at
    // once when it ended without.
    bool listening()
    {
        for (int waited = 0; process_.process().started() && waited < 20000; waited += 20) {
            HANDLE ready = OpenEventW(SYNCHRONIZE, FALSE, L"DBWIN_BUFFER_READY");
            if (ready != nullptr) {
                CloseHandle(ready);
                return true;
            }
            if (WaitForSingleObject(process_.process().handle(), 20) == WAIT_OBJECT_0) {
                return false;
            }
        }
        return false;
    }

    // Waits for its end (ending it after `timeoutMs`) and reads what it wrote.
    void finish(DWORD timeoutMs) { harness::ProgramRun::operator=(process_.finish(timeoutMs)); }

    DWORD processId() const { return process_.processId(); }

private:
    harness::ProgramProcess process_;
};

// A saved capture, removed again when the test ends.
class CaptureFile {
public:
    explicit CaptureFile(const std::string &bytes) : path_(NextPath())
    {
        std::ofstream file(harness::Narrow(path_), std::ios::binary);
        file << bytes;
    }
    ~CaptureFile() { DeleteFileW(path_.c_str()); }
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;
    const std::wstring &path() const { return path_; }

private:
    static std::wstring NextPath()
    {
        static int serial = 0;
        return harness::TempDirectory() + L"trace-test-capture-" + std::to_wstring(++serial) + L".log";
    }

    std::wstring path_;
};

// A profile as the JSON output shows it: name, outcome keyword and reason.
std::string ProfileJson(const tracedecoder::Profile &profile, const std::wstring &queue)
{
    return "{\"name\":" + tracedecoder::JsonString(profile.name) + ",\"outcome\":\"" +
           tracedecoder::OutcomeName(profile.outcome) +
           "\",\"reason\":" + tracedecoder::JsonString(tracedecoder::Reason(profile, queue));
}

class TraceReader : public Assignment {};

TEST_F(TraceReader, ListeningAndReadingTheCaptureShowEveryProfileWithItsReason)
{
    auto device = MakeDevice(L"Model X", L"USB001");
    harness::ScopedPrinter printer(L"Model X", L"Model X", L"USB001");
    ASSERT_TRUE(printer.ok()) << printer.error();
    harness::ScopedProfile listed(L"S-1-5-21-1-2-3-500", L"Model X", L"winspool,USB001");
    harness::ScopedProfile unlisted(L"S-1-5-21-1-2-3-501", L"Earlier Printer", L"winspool,LPT1:");

    // The test reads no debugger output itself: the trace reader is the only reader.
    TraceRun live({L"--one-pass", L"--json", L"--for", L"60"});
    ASSERT_TRUE(live.listening());
    harness_.passTracesThrough(true);
    EXPECT_EQ(harness::CallEntry(DIF_INSTALLDEVICE, device->set(), device->data(), FALSE), 0xE0000226u);
    Run(*device);
    live.finish(30000);
    ASSERT_EQ(live.exitCode, 0u) << live.err;

    // What the decoder makes of the messages the DLL sent: four profiles, four outcomes.
    tracedecoder::Decoder decoder;
    for (const std::wstring &message : harness_.traces()) {
        decoder.add(message);
    }
    ASSERT_EQ(decoder.passes().size(), 1u);
    const tracedecoder::Pass &pass = decoder.passes()[0];
    std::map<std::wstring, std::string> outcomes;
    for (const tracedecoder::Profile &profile : pass.profiles) {
        outcomes[profile.name] = tracedecoder::OutcomeName(profile.outcome);
    }
    const std::map<std::wstring, std::string> expected = {{kDefaultUser, "no-devices-key"},
                                                          {kCurrentUser, "no-windows-key"},
                                                          {L"S-1-5-21-1-2-3-500", "made-default"},
                                                          {L"S-1-5-21-1-2-3-501", "not-listed"}};
    ASSERT_EQ(outcomes, expected);

    // The listener saw the same, from this process.
    EXPECT_EQ(live.out.rfind("{\"passes\":[{\"process\":" + std::to_string(GetCurrentProcessId()) + ",", 0),
              0u)
        << live.out;
    EXPECT_NE(live.out.find("\"complete\":true"), std::string::npos) << live.out;
    for (const tracedecoder::Profile &profile : pass.profiles) {
        EXPECT_NE(live.out.find(ProfileJson(profile, pass.queue)), std::string::npos) << live.out;
    }
    // Each message is shown on the error output as it arrived, with the sender's process ID.
    EXPECT_NE(live.err.find("  [" + std::to_string(GetCurrentProcessId()) +
                            "]  DIF_INSTALLDEVICE PostProcessing\n"),
              std::string::npos)
        << live.err;

    // The same messages saved as a viewer without line breaks of its own shows them.
    const CaptureFile capture(harness::Narrow(harness_.traceText()));
    TraceRun saved({L"--from", capture.path()});
    saved.finish(30000);
    EXPECT_EQ(saved.exitCode, 0u) << saved.err;
    EXPECT_NE(saved.out.find("  Queue:   Model X\n"), std::string::npos) << saved.out;
    EXPECT_NE(saved.out.find("  S-1-5-21-1-2-3-501   not changed: Devices does not list the queue\n"),
              std::string::npos)
        << saved.out;
    EXPECT_NE(saved.out.find("  S-1-5-21-1-2-3-500   made default: Model X,winspool,USB001\n"),
              std::string::npos)
        << saved.out;
    EXPECT_NE(saved.out.find("  .Default             not changed: no Devices key\n"), std::string::npos)
        << saved.out;
}

TEST(TraceReaderErrors, ASecondListenerIsRefused)
{
    harness::DbwinReader reader;
    ASSERT_TRUE(reader.ok());
    TraceRun second({L"--for", L"60"});
    second.finish(30000);
    EXPECT_EQ(second.exitCode, 1u);
    EXPECT_EQ(second.err,
              "veldrian-trace: cannot listen to the debugger output of this session (DBWIN_BUFFER): "
              "another program is reading it already (a debugger or a debug-output viewer); close it "
              "first\n");
    EXPECT_EQ(second.out, "");
}

TEST(TraceReaderErrors, AReaderThatJoinsLaterEndsListeningWithoutAVerdict)
{
    TraceRun first({L"--for", L"60"});
    ASSERT_TRUE(first.listening());
    harness::DbwinReader joined;  // joins the buffer the trace reader holds
    ASSERT_TRUE(joined.ok());
    first.finish(30000);
    EXPECT_EQ(first.exitCode, 1u) << first.out;
    EXPECT_NE(first.err.find("veldrian-trace: another program started reading the debugger output of this "
                             "session"),
              std::string::npos)
        << first.err;
    EXPECT_EQ(first.err.find("no post-processing pass"), std::string::npos) << first.err;
}

TEST(TraceReaderErrors, AProgramStartedByATestEndsWithIt)
{
    DWORD processId = 0;
    {
        TraceRun forgotten({L"--for", L"600"});
        ASSERT_TRUE(forgotten.listening());
        processId = forgotten.processId();
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    const bool ended = process == nullptr || WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    if (process != nullptr) {
        CloseHandle(process);
    }
    EXPECT_TRUE(ended);
}

TEST(TraceReaderCapture, EachProcessHasItsOwnPassesAndABinaryFileIsNoCapture)
{
    // A debug viewer's capture of two installations at once: process 1111's pass made
    // Model X the default of one profile, process 2222's found no queue of Model Y.
    const std::string rule(43, '=');
    const CaptureFile capture(
        "1 [1111] VELDRIAN : DIF_INSTALLDEVICE PostProcessing\r\n"
        "2 [2222] VELDRIAN : DIF_INSTALLDEVICE PostProcessing\r\n"
        "3 [1111] VELDRIAN : GetPrinterModelName() : Model Name = \"Model X\"\r\n"
        "4 [2222] VELDRIAN : GetPrinterModelName() : Model Name = \"Model Y\"\r\n"
        "5 [1111] VELDRIAN : Device Instance ID = ROOT\\PRINTER\\0000\r\n"
        "6 [2222] VELDRIAN : Device Instance ID = ROOT\\PRINTER\\0001\r\n"
        "7 [2222] VELDRIAN : PortName = USB002\r\n"
        "8 [1111] VELDRIAN : PortName = USB001\r\n"
        "9 [1111] VELDRIAN : FOUND : Printer Name = \"Model X\" Model Name = \"Model X\" Port Name = "
        "\"USB001\"\r\n"
        "10 [1111] VELDRIAN : S-1-5-21-1-2-3-1001\r\n"
        "11 [2222] VELDRIAN : EnumPrinters(1) succeed. nNbPrinters = 1\r\n"
        "12 [1111] " +
        rule +
        "\r\n"
        "13 [2222] VELDRIAN : Unable to found Printer : Model Name = \"Model Y\" Port Name = \"USB002\"\r\n"
        "14 [1111] VELDRIAN : Model X,winspool,USB001\r\n"
        "15 [1111] VELDRIAN :\r\n"
        "16 [1111] VELDRIAN : RegEnumKeyEx(1) : failed. GetLastError() = 259\r\n");
    TraceRun saved({L"--from", capture.path()});
    saved.finish(30000);
    EXPECT_EQ(saved.exitCode, 0u) << saved.err;
    EXPECT_NE(saved.out.find("(process 1111): complete\n"
                             "  Model:   Model X\n"
                             "  Device:  ROOT\\PRINTER\\0000\n"
                             "  Port:    USB001\n"
                             "  Queue:   Model X\n"),
              std::string::npos)
        << saved.out;
    EXPECT_NE(saved.out.find("  S-1-5-21-1-2-3-1001  made default: Model X,winspool,USB001\n"
                             "  The queue became the default printer of 1 of 1 profiles.\n"),
              std::string::npos)
        << saved.out;
    EXPECT_NE(saved.out.find("(process 2222): complete\n"
                             "  Model:   Model Y\n"
                             "  Device:  ROOT\\PRINTER\\0001\n"
                             "  Port:    USB002\n"
                             "  Queue:   none found\n"
                             "  Ended:   Unable to found Printer : Model Name = \"Model Y\" Port Name = "
                             "\"USB002\"\n"),
              std::string::npos)
        << saved.out;
    EXPECT_EQ(saved.out.find("Post-processing pass 3"), std::string::npos) << "two passes, no more";

    const CaptureFile binary(std::string("MZ\x90\0\x03\0\0\0\x04\0\0\0\xFF\xFF\0\0", 16));
    TraceRun notText({L"--from", binary.path()});
    notText.finish(30000);
    EXPECT_EQ(notText.exitCode, 1u);
    EXPECT_EQ(notText.err,
              "veldrian-trace: " + harness::Narrow(binary.path()) + " is not a capture: it is not text\n");
    EXPECT_EQ(notText.out, "");
}

TEST(TraceReaderErrors, ListeningEndsOnTimeWithoutAPass)
{
    TraceRun quiet({L"--for", L"1", L"--one-pass"});
    quiet.finish(30000);
    EXPECT_EQ(quiet.exitCode, 3u);
    EXPECT_NE(quiet.err.find("veldrian-trace: no post-processing pass of VELDRIAN completed\n"),
              std::string::npos)
        << quiet.err;
}

TEST(TraceReaderErrors, UsageAndUnreadableCapture)
{
    TraceRun bad({L"--for", L"soon"});
    bad.finish(30000);
    EXPECT_EQ(bad.exitCode, 2u);
    EXPECT_EQ(bad.err,
              "veldrian-trace: --for takes a number of seconds, from 1 to 604800 (veldrian-trace --help "
              "shows the options)\n");

    TraceRun missing({L"--from", L"C:\\no-such-capture.log"});
    missing.finish(30000);
    EXPECT_EQ(missing.exitCode, 1u);
    EXPECT_EQ(missing.err.rfind("veldrian-trace: cannot read the capture C:\\no-such-capture.log: ", 0), 0u)
        << missing.err;
    EXPECT_NE(missing.err.find("(error 2)\n"), std::string::npos) << missing.err;

    const std::wstring folder = harness::TempDirectory();
    TraceRun notAFile({L"--from", folder});
    notAFile.finish(30000);
    EXPECT_EQ(notAFile.exitCode, 1u);
    EXPECT_EQ(notAFile.err, "veldrian-trace: " + harness::Narrow(folder) + " is a folder, not a capture\n");
}

TEST(TraceReaderCapture, APassWithoutAProcessColumnHasTheKeyNull)
{
    const CaptureFile capture("VELDRIAN : DIF_INSTALLDEVICE PostProcessing\r\n"
                              "VELDRIAN : GetPrinterModelName() : SetupDiGetSelectedDriver() failed. "
                              "GetLastError() = 13\r\n");
    TraceRun saved({L"--from", capture.path(), L"--json"});
    saved.finish(30000);
    EXPECT_EQ(saved.exitCode, 0u) << saved.err;
    EXPECT_TRUE(saved.out.find("\"process\": null") != std::string::npos ||
                saved.out.find("\"process\":null") != std::string::npos)
        << saved.out;
}

}  // namespace
