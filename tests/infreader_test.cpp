// The host's INF reader against the platform's own: every INF the tests use and a set
// of generated ones (continued lines, quoting, comments, %strings%, UTF-16 and ANSI,
// decorated and OS-version-decorated sections, sections written twice) read by
// inf::ParseInf and by SetupAPI (SetupOpenInfFileW, SetupEnumInfSectionsW,
// SetupGetLineByIndexW, SetupGetStringFieldW) give the same sections, lines and fields.
#include "harness/harness.h"
#include "harness/platform.h"
#include "inf.h"
#include "infdecode.h"
#include "infdump.h"
#include "infgen.h"
#include "inftext.h"
#include "win32/files.h"
#include "win32/paths.h"
#include "win32/text.h"

#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

namespace {

using inf::Reading;

std::wstring Field(INFCONTEXT *context, DWORD index)
{
    DWORD size = 0;
    if (!SetupGetStringFieldW(context, index, nullptr, 0, &size) || size == 0) {
        return L"";
    }
    std::wstring text(size, L'\0');
    SetupGetStringFieldW(context, index, text.data(), size, nullptr);
    text.resize(size - 1);
    return text;
}

bool ReadWithSetupApi(const std::wstring &path, Reading *reading)
{
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        return false;
    }
    // A name of the longest length, with its terminator.
    wchar_t name[MAX_INF_SECTION_NAME_LENGTH + 1] = {};
    for (UINT index = 0; SetupEnumInfSectionsW(inf, index, name, MAX_INF_SECTION_NAME_LENGTH + 1, nullptr);
         ++index) {
        auto &lines = (*reading)[inf::Folded(name)];
        const LONG count = SetupGetLineCountW(inf, name);
        for (LONG line = 0; line < count; ++line) {
            INFCONTEXT context;
            if (!SetupGetLineByIndexW(inf, name, static_cast<DWORD>(line), &context)) {
                continue;
            }
            std::vector<std::wstring> fields = {Field(&context, 0)};
            for (DWORD field = 1; field <= SetupGetFieldCount(&context); ++field) {
                fields.push_back(Field(&context, field));
            }
            lines.push_back(fields);
        }
    }
    SetupCloseInfFile(inf);
    return true;
}

std::string Shown(const std::vector<std::wstring> &fields)
{
    std::string shown;
    for (const std::wstring &field : fields) {
        shown += (shown.empty() ? "[" : ", [") + harness::Narrow(field) + "]";
    }
    return shown;
}

// Each section or line the two readings give differently, said in a line.
std::vector<std::string> Differences(const Reading &reader, const Reading &platform)
{
    std::vector<std::string> differences;
    for (const auto &[name, lines] : platform) {
        const auto found = reader.find(name);
        if (found == reader.end()) {
            differences.push_back("the reader has no section [" + harness::Narrow(name) + "]");
            continue;
        }
        for (std::size_t line = 0; line < std::max(lines.size(), found->second.size()); ++line) {
            const std::string platformLine = line < lines.size() ? Shown(lines[line]) : "(none)";
            const std::string readerLine =
                line < found->second.size() ? Shown(found->second[line]) : "(none)";
            if (platformLine != readerLine) {
                std::string difference = "[" + harness::Narrow(name) + "] line ";
                difference += std::to_string(line + 1) + ": SetupAPI " + platformLine;
                difference += ", the reader " + readerLine;
                differences.push_back(difference);
            }
        }
    }
    for (const auto &[name, lines] : reader) {
        if (!platform.contains(name)) {
            differences.push_back("SetupAPI has no section [" + harness::Narrow(name) + "]");
        }
    }
    return differences;
}

// ---- Generated INFs ----

// One line of INF syntax of each kind the reader handles; `n` makes names unique.
std::wstring LineOfKind(std::size_t kind, int n)
{
    const std::wstring i = std::to_wstring(n);
    switch (kind % 12) {
    case 0:
        return L"Key" + i + L"=Value" + i;
    case 1:
        return L"Key" + i + L" = \" spaced , quoted \" , plain" + i + L" ,,last";
    case 2:
        return L"\"Quoted Key" + i + L"\"=a,\"b\"\"c\",d";
    case 3:
        return L"NoKey" + i + L",second" + i + L", third";
    case 4:
        return L"Key" + i + L"=%Str" + i + L"%,%%,%Unknown" + i + L"%";
    case 5:
        return L"Key" + i + L"=first" + i + L", \\\r\n   continued" + i + L"   ; comment";
    case 6:
        return L"Key" + i + L"=value ; comment, with a comma";
    case 7:
        return L"Key" + i + L"=\"semi;colon\",x" + i;
    case 8:
        return L"; a comment line " + i;
    case 9:
        return L"Key" + i + L"=\ttabbed\t," + i;
    case 10:
        return L"Key" + i + L"=" + std::wstring(L"caf\u00E9 ") + i;
    default:
        return L"Single" + i;
    }
}

std::wstring SectionOfKind(std::size_t kind, int n)
{
    const std::wstring i = std::to_wstring(n);
    switch (kind % 5) {
    case 0:
        return L"[Section" + i + L"]";
    case 1:
        return L"[Models" + i + L".NTamd64]";
    case 2:
        return L"[Models" + i + L".NTamd64.10.0]";
    case 3:
        return L"[Install" + i + L".NTarm64.CoInstallers]";
    default:
        return L"[Section" + std::to_wstring(n / 2) + L"]";  // often one written before: merged
    }
}

std::wstring GeneratedInf(unsigned seed)
{
    std::mt19937 random(seed);
    std::wstring text = L"; generated " + std::to_wstring(seed) +
                        L"\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n\r\n";
    int serial = 0;
    const int sections = 2 + static_cast<int>(random() % 5);
    for (int section = 0; section < sections; ++section) {
        text += SectionOfKind(random(), ++serial) + L"\r\n";
        const int lines = static_cast<int>(random() % 7);
        for (int line = 0; line < lines; ++line) {
            text += LineOfKind(random(), ++serial) + L"\r\n";
        }
        text += (random() % 3 == 0) ? L"\r\n" : L"";
    }
    text += L"[Strings]\r\n";
    for (int n = 1; n <= serial; ++n) {
        text += L"Str" + std::to_wstring(n) + L"=\"String " + std::to_wstring(n) + L"\"\r\n";
    }
    return text;
}

struct Case {
    std::string name;
    std::string bytes;
};

std::string Utf16File(const std::wstring &text)
{
    std::string bytes = "\xFF\xFE";
    bytes.append(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t));
    return bytes;
}

std::string AnsiFile(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

std::vector<Case> Cases()
{
    char source[MAX_PATH * 2] = {};
    GetEnvironmentVariableA("VELDRIAN_SOURCE_DIR", source, sizeof(source));
    std::vector<Case> cases;
    for (const char *file : {"examples/VELDRIAN-example.inf", "examples/VELDRIAN-fragment.inf"}) {
        cases.push_back(
            {file, win32::ReadWholeFile(win32::Wide(win32::WindowsPath(std::string(source) + "/" + file)))});
    }
    for (unsigned seed = 1; seed <= 50; ++seed) {
        const std::wstring text = GeneratedInf(seed);
        cases.push_back({"generated " + std::to_string(seed) + (seed % 2 == 0 ? " (UTF-16)" : " (ANSI)"),
                         seed % 2 == 0 ? Utf16File(text) : AnsiFile(text)});
    }
    return cases;
}

// ASCII text as UTF-16, little-endian (with its byte-order mark or not), or big-endian.
std::string Utf16(const std::string &ascii, bool mark)
{
    std::string bytes = mark ? "\xFF\xFE" : "";
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

std::string BigEndian(const std::string &ascii)
{
    std::string bytes;
    for (char c : ascii) {
        bytes += '\0';
        bytes += c;
    }
    return bytes;
}

// The directories the platform names for the IDs the corner cases and the generator
// use: the Windows and system directories from the platform's own calls, the INF's own
// folder for 1, and for an ID Wine's SetupAPI does not know, the folder "unknown" of
// the system directory, where it puts those (see the platform notes).
inf::DirectoryNames PlatformDirectories(const std::wstring &infPath)
{
    return [infPath](int id) {
        wchar_t windows[MAX_PATH] = {};
        wchar_t system[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        GetSystemDirectoryW(system, MAX_PATH);
        return id == 1    ? infPath.substr(0, infPath.find_last_of(L'\\') + 1)
               : id == 10 ? std::wstring(windows)
               : id == 11 ? std::wstring(system)
                          : std::wstring(system) + L"\\unknown";
    };
}

// The corners of INF syntax where a reader can part from SetupAPI, each as the smallest
// file that shows it (H: a [Version] with its signature).
const std::string H = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
const std::vector<Case> kCorners = {
    {"directory IDs written as %dirid%", H + "[S]\r\nx=%11%\\unidrv.dll,%10%,%1%,%11\r\n"},
    {"a [Strings] name that is a number", H + "[S]\r\nx=%11%\r\n[Strings]\r\n11=\"eleven\"\r\n"},
    {"a key, a field and a [Strings] value over 511 characters",
     H + "[S]\r\n" + std::string(600, 'k') + "=" + std::string(600, 'a') + ",\"" + std::string(520, 'q') +
         "\"\r\ny=%Long%%Long%\r\n[Strings]\r\nLong=\"" + std::string(600, 'b') + "\"\r\n"},
    {"a section header without its closing bracket", H + "[A\r\nx=1\r\n"},
    {"a section name of 256 characters", H + "[" + std::string(256, 's') + "]\r\nx=1\r\n"},
    {"a section name of 255 characters", H + "[" + std::string(255, 's') + "]\r\nx=1\r\n"},
    {"the first '=' ends the key", H + "[S]\r\n=a=b\r\nk=v=w\r\n"},
    {"an empty key", H + "[S]\r\n=v\r\n%Empty%=w\r\n[Strings]\r\nEmpty=\"\"\r\n"},
    {"vertical tab, form feed and no-break space at a field's edges", H + "[S]\r\nx=\x0b a\x0c ,\xa0"
                                                                          "b\xa0\r\n"},
    {"a blank inside a section's brackets", H + "[A ]\r\ny=1\r\n"},
    {"Ctrl+Z at a line's start", H + "[S]\r\nx=1\r\n\x1ay=2\r\n[T]\r\nz=3\r\n"},
    {"Ctrl+Z inside a line", H + "[S]\r\nx=1\x1a"
                                 "2\r\ny=3\r\n"},
    {"Ctrl+Z inside quotes", H + "[S]\r\nx=\"a\x1a\"\r\n"},
    {"a continued line: blanks around the join", H + "[S]\r\nx=a \\\r\n  b\r\n"},
    {"a continued line: a doubled backslash", H + "[S]\r\nx=a\\\\\r\nb\r\n"},
    {"a line of only a backslash before a blank line", H + "[S]\r\n\\\r\n\r\ny=1\r\n"},
    {"a backslash at the end of the file", H + "[S]\r\nx=1\r\n\\"},
    {"UTF-16 without a byte-order mark", Utf16(H + "[S]\r\nx=1\r\n", false)},
    {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + H + "[S]\r\nx=caf\xC3\xA9\r\n"},
    {"UTF-8 without a byte-order mark", H + "[S]\r\nx=caf\xC3\xA9\r\n"},
    {"a NUL byte in an ANSI file", H + std::string("[S]\r\nx=c\0af\r\n", 12)},
    {"a NUL character in a UTF-16 file", Utf16(H + std::string("[S]\r\nx=c\0af\r\n", 12), true)},
    {"UTF-16 big-endian", "\xFE\xFF" + BigEndian(H)},
    {"text before the first section", "junk\r\n" + H},
    {"a signature written as a %string%",
     "[Version]\r\nSignature=%S%\r\n[Strings]\r\nS=\"$Windows NT$\"\r\n"},
};

// Reads one file with both readers and says where they part.
void ExpectSameReading(const Case &c, const std::wstring &path, bool directories)
{
    ASSERT_TRUE(win32::WriteWholeFile(path, c.bytes)) << c.name;
    const inf::DecodedInf decoded = inf::DecodeInf(c.bytes, win32::AnsiCodePageTable());
    const inf::Inf parsed =
        inf::ParseInf(decoded.text, directories ? PlatformDirectories(path) : inf::DirectoryNames());
    const std::wstring refusal = decoded.refusal.empty() ? inf::Refusal(parsed) : decoded.refusal;
    Reading platform;
    const bool opened = ReadWithSetupApi(path, &platform);
    EXPECT_EQ(refusal.empty(), opened) << c.name << ": " << harness::Narrow(refusal);
    if (opened) {
        EXPECT_EQ(Differences(inf::ReadingOf(parsed), platform), std::vector<std::string>{}) << c.name;
    }
}

TEST(InfReader, ReadsEveryCornerAsSetupApiDoes)
{
    const std::wstring path =
        harness::TempDirectory() + L"infreader-corner-" + std::to_wstring(GetCurrentProcessId()) + L".inf";
    for (const Case &c : kCorners) {
        ExpectSameReading(c, path, true);
    }
    DeleteFileW(path.c_str());
}

TEST(InfReader, ReadsEveryInfAsSetupApiDoes)
{
    const std::wstring path =
        harness::TempDirectory() + L"infreader-test-" + std::to_wstring(GetCurrentProcessId()) + L".inf";
    const std::vector<Case> cases = Cases();
    ASSERT_GE(cases.size(), 50u);
    for (const Case &c : cases) {
        ASSERT_FALSE(c.bytes.empty()) << c.name;
        // Both refuse the same files (no Windows INF signature, text before any section).
        ExpectSameReading(c, path, false);
    }
    DeleteFileW(path.c_str());
}

unsigned EnvironmentNumber(const char *name, unsigned fallback)
{
    char value[32] = {};
    return GetEnvironmentVariableA(name, value, sizeof(value)) > 0
               ? static_cast<unsigned>(std::strtoul(value, nullptr, 10))
               : fallback;
}

// The differential run: generated printer-shaped INFs with corner features read by the
// reader and by SetupAPI, dump against dump. VELDRIAN_INF_SEED and VELDRIAN_INF_FILES
// choose another seed and more files (bench/results/infdiff.md records a long run).
TEST(InfReader, GeneratedInfsWithCornerFeaturesReadAsSetupApiReadsThem)
{
    const unsigned seed = EnvironmentNumber("VELDRIAN_INF_SEED", 1);
    const unsigned files = EnvironmentNumber("VELDRIAN_INF_FILES", 300);
    const std::wstring path =
        harness::TempDirectory() + L"infreader-generated-" + std::to_wstring(GetCurrentProcessId()) + L".inf";
    unsigned differing = 0;
    for (unsigned index = 0; index < files; ++index) {
        const infgen::GeneratedInf generated = infgen::Generate(seed, index);
        ASSERT_TRUE(win32::WriteWholeFile(path, generated.bytes));
        const inf::DecodedInf decoded = inf::DecodeInf(generated.bytes, win32::AnsiCodePageTable());
        const inf::Inf parsed = inf::ParseInf(decoded.text, PlatformDirectories(path));
        const bool refused = !decoded.refusal.empty() || !inf::Refusal(parsed).empty();
        const std::string reader = refused ? inf::kRefusedDump : inf::Dump(inf::ReadingOf(parsed));
        Reading platform;
        const std::string setupApi =
            ReadWithSetupApi(path, &platform) ? inf::Dump(platform) : inf::kRefusedDump;
        if (reader != setupApi && ++differing <= 3) {
            std::string features;
            for (const std::string &feature : generated.features) {
                features += (features.empty() ? "" : ", ") + feature;
            }
            ADD_FAILURE() << generated.name << " (" << features << ")\n--- the reader\n"
                          << reader << "--- SetupAPI\n"
                          << setupApi;
        }
    }
    DeleteFileW(path.c_str());
    std::printf("infreader: seed %u, %u generated INFs, %u read otherwise than SetupAPI reads them\n", seed,
                files, differing);
    EXPECT_EQ(differing, 0U);
}

}  // namespace
