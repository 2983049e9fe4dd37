// The trace decoder on trace texts alone: passes, their endings, every profile's
// outcome and reason, and captures split back into VELDRIAN's messages.
#include "tracedecoder.h"

#include <gtest/gtest.h>

namespace {

using tracedecoder::Decoder;
using tracedecoder::Outcome;
using tracedecoder::Pass;

const std::wstring kRule(43, L'=');

// The messages of a pass up to the queue found, as VELDRIAN sends them.
std::vector<std::wstring> PassUntilFound(const std::wstring &queue)
{
    return {L"DIF_INSTALLDEVICE PostProcessing\n",
            L"GetPrinterModelName() : Model Name = \"Model X\"\n",
            L"Device Instance ID = ROOT\\PRINTER\\0000\n",
            L"PortName = USB001\n",
            L"EnumPrinters(0) return ERROR_INSUFFICIENT_BUFFER (1200)\n",
            L"GlobalAlloc(GMEM_FIXED, 1200) succeeded\n",
            L"EnumPrinters(1) succeed. nNbPrinters = 1\n",
            L"FOUND : Printer Name = \"" + queue + L"\" Model Name = \"Model X\" Port Name = \"USB001\"\n"};
}

std::vector<Pass> Decode(const std::vector<std::wstring> &messages)
{
    Decoder decoder;
    for (const std::wstring &message : messages) {
        decoder.add(message);
    }
    return decoder.passes();
}

// One profile's block within a whole pass.
Pass PassWithProfile(const std::wstring &queue, const std::vector<std::wstring> &block)
{
    std::vector<std::wstring> messages = PassUntilFound(queue);
    messages.push_back(L"S-1-5-21-1-2-3-500\n" + kRule + L"\n");
    messages.insert(messages.end(), block.begin(), block.end());
    messages.push_back(L"\n");
    messages.push_back(L"RegEnumKeyEx(1) : failed. GetLastError() = 259\n");
    const std::vector<Pass> passes = Decode(messages);
    EXPECT_EQ(passes.size(), 1u);
    return passes.empty() ? Pass{} : passes[0];
}

TEST(TraceDecoder, WholePassWithPrefixes)
{
    std::vector<std::wstring> messages = {L"VELDRIAN : DIF_INSTALLDEVICE\n"};
    for (const std::wstring &message : PassUntilFound(L"Model X")) {
        messages.push_back(L"VELDRIAN : " + message);
    }
    messages.insert(messages.end(),
                    {L"VELDRIAN : .Default\n" + kRule + L"\n", L"VELDRIAN : Model X,winspool,USB001\n",
                     L"VELDRIAN : \n", L"VELDRIAN : RegEnumKeyEx(1) : failed. GetLastError() = 259\n",
                     L"VELDRIAN : DIF_NEWDEVICEWIZARD_FINISHINSTALL\n"});
    const std::vector<Pass> passes = Decode(messages);
    ASSERT_EQ(passes.size(), 1u);
    const Pass &pass = passes[0];
    EXPECT_EQ(pass.model, L"Model X");
    EXPECT_EQ(pass.instanceId, L"ROOT\\PRINTER\\0000");
    EXPECT_EQ(pass.port, L"USB001");
    EXPECT_TRUE(pass.queueFound);
    EXPECT_EQ(pass.queue, L"Model X");
    EXPECT_TRUE(pass.complete);
    EXPECT_EQ(pass.endedBy, L"");
    EXPECT_EQ(pass.walkEndedBy, L"");
    ASSERT_EQ(pass.profiles.size(), 1u);
    EXPECT_EQ(pass.profiles[0].name, L".Default");
    EXPECT_EQ(pass.profiles[0].outcome, Outcome::MadeDefault);
    EXPECT_EQ(pass.profiles[0].device, L"Model X,winspool,USB001");
    EXPECT_EQ(tracedecoder::Reason(pass.profiles[0], pass.queue), L"made default");
    // The pass's messages, prefix removed, from its opening to the walk's end.
    ASSERT_EQ(pass.messages.size(), 12u);
    EXPECT_EQ(pass.messages.front(), L"DIF_INSTALLDEVICE PostProcessing\n");
    EXPECT_EQ(pass.messages.back(), L"RegEnumKeyEx(1) : failed. GetLastError() = 259\n");
}

TEST(TraceDecoder, EveryReason)
{
    const std::wstring q = L"Model X";
    const std::wstring longQueue(129, L'Q');
    struct Case {
        std::wstring queue;
        std::vector<std::wstring> block;
        Outcome outcome;
        long code;
        std::wstring reason;
    };
    const Case cases[] = {
        {q,
         {L"GetFullPrinterName(Model X) : RegOpenKeyEx(S-1-5-21-1-2-3-500\\Software\\Microsoft\\Windows "
          L"NT\\CurrentVersion\\Devices) : failed. GetLastError() = 2\n"},
         Outcome::NoDevicesKey,
         2,
         L"no Devices key"},
        {q,
         {L"GetFullPrinterName(Model X) : RegQueryValueEx() : failed. GetLastError() = 2"},
         Outcome::NotListed,
         2,
         L"Devices does not list the queue"},
        {q,
         {L"GetFullPrinterName(Model X) : RegQueryValueEx() : failed. GetLastError() = 234"},
         Outcome::EntryTooLong,
         234,
         L"the queue name and its Devices entry are too long for the 260-byte default-printer text (at most "
         L"121 "
         L"characters of entry for this queue)"},
        {longQueue, {}, Outcome::QueueNameTooLong, 0, L"the queue name has 129 characters or more"},
        {q,
         {L"GetFullPrinterName(Model X) : user key name too long. GetLastError() = 122\n"},
         Outcome::ProfileKeyTooLong,
         122,
         L"the profile key name is longer than 206 characters"},
        {q,
         {L"Model X,winspool,USB001\n", L"SetDefaultPrinterInRegistry(Model X,winspool,USB001) : "
                                        L"RegOpenKeyEx() : failed. GetLastError() = 2"},
         Outcome::NoWindowsKey,
         2,
         L"no Windows key"},
        {q,
         {L"Model X,winspool,USB001\n", L"SetDefaultPrinterInRegistry(Model X,winspool,USB001) : "
                                        L"RegSetValueEx() : failed. GetLastError() = 5"},
         Outcome::WriteRefused,
         5,
         L"the write was refused (error 5)"},
        {q,
         {L"GetFullPrinterName(Model X) : RegOpenKeyEx(S-1-5-21-1-2-3-500\\Software\\Microsoft\\Windows "
          L"NT\\CurrentVersion\\Devices) : failed. GetLastError() = 5\n"},
         Outcome::OtherFailure,
         5,
         L"failed: GetFullPrinterName(Model X) : "
         L"RegOpenKeyEx(S-1-5-21-1-2-3-500\\Software\\Microsoft\\Windows "
         L"NT\\CurrentVersion\\Devices) : failed. GetLastError() = 5"},
    };
    for (const Case &c : cases) {
        const Pass pass = PassWithProfile(c.queue, c.block);
        ASSERT_EQ(pass.profiles.size(), 1u);
        const tracedecoder::Profile &profile = pass.profiles[0];
        EXPECT_EQ(profile.outcome, c.outcome) << tracedecoder::OutcomeName(c.outcome);
        EXPECT_EQ(profile.code, c.code) << tracedecoder::OutcomeName(c.outcome);
        EXPECT_EQ(tracedecoder::Reason(profile, pass.queue), c.reason);
        EXPECT_TRUE(pass.complete);
    }
}

TEST(TraceDecoder, TraceCutOffInAProfile)
{
    std::vector<std::wstring> messages = PassUntilFound(L"Model X");
    messages.push_back(L"S-1-5-21-1-2-3-500\n" + kRule + L"\n");
    messages.push_back(L"Model X,winspool,USB001\n");
    const std::vector<Pass> passes = Decode(messages);
    ASSERT_EQ(passes.size(), 1u);
    EXPECT_FALSE(passes[0].complete);
    ASSERT_EQ(passes[0].profiles.size(), 1u);
    EXPECT_EQ(passes[0].profiles[0].outcome, Outcome::Incomplete);
    EXPECT_EQ(tracedecoder::Reason(passes[0].profiles[0], L"Model X"), L"trace incomplete");
}

TEST(TraceDecoder, PassEndings)
{
    const std::wstring opening = L"DIF_INSTALLDEVICE PostProcessing\n";
    const std::wstring modelFailure =
        L"GetPrinterModelName() : SetupDiGetSelectedDriver() failed. GetLastError() = 13";
    // The driver query's failure is followed by the sequence's own line, which ends the pass.
    std::vector<Pass> passes = Decode({opening, modelFailure + L"\n"});
    ASSERT_EQ(passes.size(), 1u);
    EXPECT_FALSE(passes[0].complete);
    passes = Decode({opening, modelFailure + L"\n", L"GetPrinterModelName() failed. GetLastError() = 13\n"});
    EXPECT_TRUE(passes[0].complete);
    EXPECT_EQ(passes[0].endedBy, modelFailure);

    passes = Decode({opening, L"GetPrinterModelName() : Model Name = \"Model X\"\n",
                     L"Device Instance ID = ROOT\\PRINTER\\0000\n",
                     L"RegQueryValueEx(0) failed. GetLastError() = 2\n"});
    EXPECT_TRUE(passes[0].complete);
    EXPECT_FALSE(passes[0].queueFound);
    EXPECT_EQ(passes[0].endedBy, L"RegQueryValueEx(0) failed. GetLastError() = 2");

    // A failure whose code is 0 lets the sequence go on.
    passes = Decode({opening, L"EnumPrinters(1) failed. GetLastError() = 0\n",
                     L"Unable to found Printer : Model Name = \"Model X\" Port Name = \"USB001\"\n"});
    EXPECT_TRUE(passes[0].complete);
    EXPECT_FALSE(passes[0].queueFound);
    EXPECT_EQ(passes[0].endedBy,
              L"Unable to found Printer : Model Name = \"Model X\" Port Name = \"USB001\"");

    std::vector<std::wstring> messages = PassUntilFound(L"Model X");
    messages.push_back(L"RegOpenKeyEx(HKEY_USERS) : failed. GetLastError() = 5\n");
    passes = Decode(messages);
    EXPECT_TRUE(passes[0].complete);
    EXPECT_TRUE(passes[0].queueFound);
    EXPECT_EQ(passes[0].endedBy, L"RegOpenKeyEx(HKEY_USERS) : failed. GetLastError() = 5");

    messages = PassUntilFound(L"Model X");
    messages.push_back(L"RegEnumKeyEx(0) : failed. GetLastError() = 234\n");
    passes = Decode(messages);
    EXPECT_TRUE(passes[0].complete);
    EXPECT_EQ(passes[0].endedBy, L"");
    EXPECT_EQ(passes[0].walkEndedBy, L"RegEnumKeyEx(0) : failed. GetLastError() = 234");

    // A pass that never ended stays incomplete when the next one opens.
    messages = PassUntilFound(L"Model X");
    messages.push_back(opening);
    passes = Decode(messages);
    ASSERT_EQ(passes.size(), 2u);
    EXPECT_FALSE(passes[0].complete);
    EXPECT_EQ(passes[1].messages.size(), 1u);
}

TEST(TraceDecoder, Json)
{
    const Pass pass = PassWithProfile(L"Model \"X\" 1", {L"Model \"X\" 1,winspool,USB001\n"});
    const std::string json = tracedecoder::ToJson(pass);
    EXPECT_NE(json.find("\"queue\":\"Model \\\"X\\\" 1\""), std::string::npos) << json;
    EXPECT_NE(
        json.find(
            "\"profiles\":[{\"name\":\"S-1-5-21-1-2-3-500\",\"outcome\":\"made-default\",\"reason\":"
            "\"made default\",\"device\":\"Model \\\"X\\\" 1,winspool,USB001\",\"code\":0,\"line\":\"\"}]"),
        std::string::npos)
        << json;
    EXPECT_NE(json.find("\"complete\":true"), std::string::npos);
    EXPECT_EQ(tracedecoder::JsonString(L"\\\u00e9\x01\n\xD83D\xDE00"),
              "\"\\\\\xC3\xA9\\u0001\\n\xF0\x9F\x98\x80\"");
}

TEST(SplitMessages, RunOnMessagesSplitBackApart)
{
    // A failure sent without a line feed: the blank message ran on behind it.
    const std::wstring text =
        L"VELDRIAN : S-1-5-21-1-2-3-500\n" + kRule +
        L"\nVELDRIAN : GetFullPrinterName(Model X) : RegQueryValueEx() : failed. GetLastError() = "
        L"2VELDRIAN : \nVELDRIAN : RegEnumKeyEx(1) : failed. GetLastError() = 259\n";
    const std::vector<std::wstring> expected = {
        L"S-1-5-21-1-2-3-500\n" + kRule + L"\n",
        L"GetFullPrinterName(Model X) : RegQueryValueEx() : failed. GetLastError() = 2", L"\n",
        L"RegEnumKeyEx(1) : failed. GetLastError() = 259\n"};
    EXPECT_EQ(tracedecoder::SplitMessages(text), expected);
}

TEST(SplitMessages, WithoutPrefix)
{
    const std::wstring text =
        L"DIF_INSTALLDEVICE PostProcessing\r\nS-1-5-21-1-2-3-500\r\n" + kRule +
        L"\r\nSetDefaultPrinterInRegistry(Model X,winspool,USB001) : RegOpenKeyEx() : failed. "
        L"GetLastError() = 2\r\n\r\n";
    const std::vector<std::wstring> expected = {
        L"DIF_INSTALLDEVICE PostProcessing\n", L"S-1-5-21-1-2-3-500\n" + kRule + L"\n",
        L"SetDefaultPrinterInRegistry(Model X,winspool,USB001) : RegOpenKeyEx() : failed. GetLastError() = 2",
        L"\n", L"\n"};
    EXPECT_EQ(tracedecoder::SplitMessages(text), expected);
}

TEST(SplitMessages, DebugViewerColumns)
{
    // Index, time and process columns before each row, one row per message (the blank
    // message's trailing blank dropped), and another program's output in between.
    const std::wstring text =
        L"00000001\t0.00000000\t[1234] VELDRIAN : S-1-5-21-1-2-3-500\r\n"
        L"00000002\t0.00000000\t[1234] " +
        kRule +
        L"\r\n"
        L"00000003\t0.00001000\t[88] spooler: job 4 started\r\n"
        L"00000004\t0.00002000\t[1234] VELDRIAN : GetFullPrinterName(Model X) : RegQueryValueEx() : failed. "
        L"GetLastError() = 2\r\n"
        L"00000005\t0.00003000\t[1234] VELDRIAN :\r\n"
        L"00000006\t0.00004000\t[1234] VELDRIAN : RegEnumKeyEx(1) : failed. GetLastError() = 259\r\n";
    const std::vector<std::wstring> expected = {
        L"S-1-5-21-1-2-3-500\n" + kRule + L"\n",
        L"GetFullPrinterName(Model X) : RegQueryValueEx() : failed. GetLastError() = 2", L"\n",
        L"RegEnumKeyEx(1) : failed. GetLastError() = 259\n"};
    EXPECT_EQ(tracedecoder::SplitMessages(text), expected);
}

TEST(SplitMessages, TheTraceReadersOwnOutput)
{
    // Time and [process ID] in front, the rule indented under its message, the blank
    // message as columns alone, and the reader's own lines around.
    const std::wstring text = L"veldrian-trace: listening to this session (DBWIN_BUFFER); Ctrl+C stops\n"
                              L"06:28:48.932  [332]  S-1-5-21-1-2-3-500\n"
                              L"                     " +
                              kRule +
                              L"\n"
                              L"06:28:48.936  [332]  Model X,winspool,USB001\n"
                              L"06:28:48.940  [332]\n";
    const std::vector<std::wstring> expected = {
        L"veldrian-trace: listening to this session (DBWIN_BUFFER); Ctrl+C stops\n",
        L"S-1-5-21-1-2-3-500\n" + kRule + L"\n", L"Model X,winspool,USB001\n", L"\n"};
    EXPECT_EQ(tracedecoder::SplitMessages(text), expected);
}

}  // namespace
