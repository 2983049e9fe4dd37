// What the built DLL carries for Windows' own tools: the version resource that
// Explorer and installers read, and (from the clang build) the debug directory
// that leads a debugger to the PDB written beside the DLL.
#include "harness/harness.h"
#include "harness/pefile.h"
#include "win32/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The test is built by the same CMake run as the DLL, which hands it the
// project's version numbers (and, for the toolchain that writes one, the PDB's name).
constexpr WORD kMajor = VELDRIAN_VERSION_MAJOR;
constexpr WORD kMinor = VELDRIAN_VERSION_MINOR;
constexpr WORD kPatch = VELDRIAN_VERSION_PATCH;

std::wstring Utf16(const char8_t *text)
{
    const auto *bytes = reinterpret_cast<const char *>(text);
    std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes, -1, nullptr, 0)),
                      L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(wide.size() - 1);
    return wide;
}

std::wstring VersionText()
{
    return std::to_wstring(kMajor) + L"." + std::to_wstring(kMinor) + L"." + std::to_wstring(kPatch) + L".0";
}

class VersionResource : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const std::wstring path = harness::VeldrianPath();
        DWORD handle = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
        if (size != 0) {
            data_.resize(size);
            if (!GetFileVersionInfoW(path.c_str(), 0, size, data_.data())) {
                data_.clear();
            }
        }
    }
    static void TearDownTestSuite() { data_.clear(); }

    // The string value `name` of the first translation the resource lists.
    static std::wstring Text(const wchar_t *name)
    {
        struct Translation {
            WORD language;
            WORD codePage;
        };
        Translation *translation = nullptr;
        UINT bytes = 0;
        if (!VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation",
                            reinterpret_cast<void **>(&translation), &bytes) ||
            bytes < sizeof(Translation)) {
            return L"<no translation>";
        }
        wchar_t query[128];
        (void)swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
                       translation->codePage, name);
        wchar_t *value = nullptr;
        UINT units = 0;
        if (!VerQueryValueW(data_.data(), query, reinterpret_cast<void **>(&value), &units) ||
            value == nullptr) {
            return L"<missing>";
        }
        return std::wstring(value, wcsnlen(value, units));
    }

    static std::vector<BYTE> data_;
};
std::vector<BYTE> VersionResource::data_;

TEST_F(VersionResource, FixedPartCarriesTheProjectVersion)
{
    ASSERT_FALSE(data_.empty()) << "no version resource in " << harness::Narrow(harness::VeldrianPath())
                                << ", error " << GetLastError();
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT bytes = 0;
    ASSERT_TRUE(VerQueryValueW(data_.data(), L"\\", reinterpret_cast<void **>(&fixed), &bytes));
    ASSERT_GE(bytes, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(kMinor, kMajor)));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, kPatch)));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "neither debug, pre-release nor patched";
}

TEST_F(VersionResource, StringsNameTheModule)
{
    ASSERT_FALSE(data_.empty());
    // The names a package author sets (the build's cache variables), or the project's.
    EXPECT_EQ(Text(L"CompanyName"), Utf16(VELDRIAN_COMPANY_NAME));
    EXPECT_EQ(Text(L"LegalCopyright"), Utf16(VELDRIAN_LEGAL_COPYRIGHT));
    EXPECT_EQ(Text(L"ProductName"), Utf16(VELDRIAN_PRODUCT_NAME));
    EXPECT_EQ(Text(L"InternalName"), L"VELDRIAN");
    EXPECT_EQ(Text(L"OriginalFilename"), L"VELDRIAN.dll");
    EXPECT_EQ(Text(L"FileVersion"), VersionText());
    EXPECT_EQ(Text(L"ProductVersion"), VersionText());
    const std::wstring description = Text(L"FileDescription");
    EXPECT_NE(description.find(L"co-installer"), std::wstring::npos) << harness::Narrow(description);
}

TEST(VersionResourceLoaded, IsFoundInTheLoadedModule)
{
    if (harness::ReadPeFile(harness::VeldrianPath()).machine != IMAGE_FILE_MACHINE_AMD64) {
        GTEST_SKIP() << "the DLL is of another machine than this process";
    }
    HMODULE module = harness::Veldrian();
    ASSERT_NE(module, nullptr);
    HRSRC resource =
        FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));  // RT_VERSION
    ASSERT_NE(resource, nullptr) << GetLastError();
    EXPECT_GT(SizeofResource(module, resource), sizeof(VS_FIXEDFILEINFO));
}

// CodeView record of a PDB 7.0 link ("RSDS").
#pragma pack(push, 1)
struct CodeViewRecord {
    DWORD signature;
    GUID guid;
    DWORD age;
    char fileName[1];
};
#pragma pack(pop)

// The PDB's own identity: GUID and age from its information stream (stream 1 of the
// multi-stream file). False when the file is not a PDB 7.0 file.
bool ReadPdbIdentity(const std::string &pdb, GUID *guid, DWORD *age)
{
    static const char kMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a"
                                 "DS\0\0";
    if (pdb.size() < 56 || std::memcmp(pdb.data(), kMagic, sizeof(kMagic)) != 0) {
        return false;
    }
    auto dword = [&pdb](std::size_t offset) -> DWORD {
        DWORD value = 0;
        if (offset + sizeof(value) <= pdb.size()) {
            std::memcpy(&value, pdb.data() + offset, sizeof(value));
        }
        return value;
    };
    const DWORD blockSize = dword(32);
    const DWORD directoryBytes = dword(44);
    const DWORD blockMapBlock = dword(52);
    if (blockSize == 0 || directoryBytes == 0) {
        return false;
    }
    // The directory is spread over blocks listed in the block map; gather it.
    std::vector<BYTE> directory;
    const DWORD directoryBlocks = (directoryBytes + blockSize - 1) / blockSize;
    for (DWORD index = 0; index < directoryBlocks; ++index) {
        const std::size_t block = dword(std::size_t{blockMapBlock} * blockSize + index * sizeof(DWORD));
        if ((block + 1) * blockSize > pdb.size()) {
            return false;
        }
        directory.insert(directory.end(), pdb.begin() + static_cast<std::ptrdiff_t>(block * blockSize),
                         pdb.begin() + static_cast<std::ptrdiff_t>((block + 1) * blockSize));
    }
    auto entry = [&directory](std::size_t index) -> DWORD {
        DWORD value = 0;
        if ((index + 1) * sizeof(value) <= directory.size()) {
            std::memcpy(&value, directory.data() + index * sizeof(value), sizeof(value));
        }
        return value;
    };
    const DWORD streams = entry(0);
    if (streams < 2) {
        return false;
    }
    // Stream 1's first block follows the sizes and the block list of stream 0
    // (whose size reads 0xFFFFFFFF when it is absent).
    const DWORD stream0Bytes = entry(1) == 0xFFFFFFFFu ? 0 : entry(1);
    const DWORD stream0Blocks = (stream0Bytes + blockSize - 1) / blockSize;
    const std::size_t infoBlock = entry(1 + streams + stream0Blocks);
    const std::size_t info = infoBlock * blockSize;
    if (entry(2) < 28 || info + 28 > pdb.size()) {
        return false;
    }
    *age = dword(info + 8);
    std::memcpy(guid, pdb.data() + info + 12, sizeof(GUID));
    return true;
}

TEST(ModuleDebugInfo, DebugDirectoryNamesThePdbBesideTheDll)
{
#ifndef VELDRIAN_PDB_NAME
    GTEST_SKIP() << "this toolchain writes the debug information to a file named by .gnu_debuglink";
#else
    const harness::PeFile pe = harness::ReadPeFile(harness::VeldrianPath());
    ASSERT_TRUE(pe.ok);
    ASSERT_TRUE(pe.hasDebugDirectory);
    const IMAGE_DATA_DIRECTORY &debug = pe.directories[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const BYTE *directory = pe.At(debug.VirtualAddress, debug.Size);
    ASSERT_NE(directory, nullptr);

    const CodeViewRecord *record = nullptr;
    DWORD recordBytes = 0;
    for (std::size_t at = 0; at + sizeof(IMAGE_DEBUG_DIRECTORY) <= debug.Size;
         at += sizeof(IMAGE_DEBUG_DIRECTORY)) {
        const auto *entry = reinterpret_cast<const IMAGE_DEBUG_DIRECTORY *>(directory + at);
        if (entry->Type == IMAGE_DEBUG_TYPE_CODEVIEW &&
            std::size_t{entry->PointerToRawData} + entry->SizeOfData <= pe.bytes.size()) {
            record = reinterpret_cast<const CodeViewRecord *>(pe.bytes.data() + entry->PointerToRawData);
            recordBytes = entry->SizeOfData;
        }
    }
    ASSERT_NE(record, nullptr) << "no CodeView entry in the debug directory";
    ASSERT_GT(recordBytes, offsetof(CodeViewRecord, fileName));
    EXPECT_EQ(record->signature, 0x53445352u) << "RSDS";
    const std::string named(record->fileName,
                            strnlen(record->fileName, recordBytes - offsetof(CodeViewRecord, fileName)));
    // The name alone: the build machine's directories mean nothing where the DLL is debugged.
    EXPECT_EQ(named, VELDRIAN_PDB_NAME);

    // The debugger's match: the PDB beside the DLL carries the record's GUID and age.
    std::wstring pdbPath = harness::VeldrianPath();
    pdbPath = pdbPath.substr(0, pdbPath.find_last_of(L"\\/") + 1) + harness::Wide(named);
    const std::string pdb = win32::ReadWholeFile(pdbPath);
    ASSERT_FALSE(pdb.empty()) << "no " << harness::Narrow(pdbPath);
    GUID guid = {};
    DWORD age = 0;
    ASSERT_TRUE(ReadPdbIdentity(pdb, &guid, &age)) << harness::Narrow(pdbPath) << " is no PDB 7.0 file";
    EXPECT_EQ(std::memcmp(&guid, &record->guid, sizeof(GUID)), 0) << "the PDB is of another link";
    EXPECT_EQ(age, record->age);
#endif
}

// CRC-32 (IEEE 802.3, as zlib computes it): the check .gnu_debuglink carries.
DWORD Crc32(const std::string &bytes)
{
    DWORD crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= static_cast<BYTE>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// The gcc build's DLL is stripped: its .gnu_debuglink section names the file beside it
// that holds its debug information, and that file's CRC-32, which gdb checks.
TEST(ModuleDebugInfo, DebugLinkNamesTheDebugFileBesideTheDll)
{
#ifndef VELDRIAN_DEBUG_FILE_NAME
    GTEST_SKIP() << "this toolchain writes a PDB, named by the debug directory";
#else
    const harness::PeFile pe = harness::ReadPeFile(harness::VeldrianPath());
    ASSERT_TRUE(pe.ok);
    const IMAGE_SECTION_HEADER *link = nullptr;
    for (const IMAGE_SECTION_HEADER &section : pe.sections) {
        if (pe.SectionName(section) == ".gnu_debuglink") {
            link = &section;
        }
    }
    ASSERT_NE(link, nullptr) << "no .gnu_debuglink section";
    ASSERT_LE(std::size_t{link->PointerToRawData} + link->SizeOfRawData, pe.bytes.size());
    const char *data = reinterpret_cast<const char *>(pe.bytes.data() + link->PointerToRawData);
    const std::string named(data, strnlen(data, link->SizeOfRawData));
    EXPECT_EQ(named, VELDRIAN_DEBUG_FILE_NAME);
    // The name, its terminator, padding to four bytes, then the CRC.
    const std::size_t crcAt = (named.size() + 1 + 3) / 4 * 4;
    ASSERT_LE(crcAt + sizeof(DWORD), link->SizeOfRawData);
    DWORD crc = 0;
    std::memcpy(&crc, data + crcAt, sizeof(crc));

    std::wstring debugPath = harness::VeldrianPath();
    debugPath = debugPath.substr(0, debugPath.find_last_of(L"\\/") + 1) + harness::Wide(named);
    const std::string debug = win32::ReadWholeFile(debugPath);
    ASSERT_FALSE(debug.empty()) << "no " << harness::Narrow(debugPath);
    EXPECT_EQ(Crc32(debug), crc) << "the debug file is of another link";
#endif
}

}  // namespace
