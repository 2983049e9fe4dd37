#include "dllfile.h"

#include "infpackage.h"
#include "win32/errors.h"
#include "win32/files.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace host {

namespace {

template <typename T>
bool ReadAt(const std::string &bytes, std::size_t offset, T *value)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        return false;
    }
    memcpy(value, bytes.data() + offset, sizeof(T));
    return true;
}

// The file offset of a relative virtual address, through the section table.
bool FileOffset(const std::string &bytes, std::size_t sections, WORD count, DWORD rva, std::size_t *offset)
{
    for (WORD index = 0; index < count; ++index) {
        IMAGE_SECTION_HEADER section = {};
        if (!ReadAt(bytes, sections + index * sizeof(section), &section)) {
            return false;
        }
        const DWORD size = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < size) {
            *offset = section.PointerToRawData + (rva - section.VirtualAddress);
            return true;
        }
    }
    return false;
}

// Whether the export table of a 64-bit image names `wanted`.
bool ExportsName(const std::string &bytes, std::size_t headers, const IMAGE_FILE_HEADER &file,
                 const char *wanted)
{
    IMAGE_OPTIONAL_HEADER64 optional = {};
    if (!ReadAt(bytes, headers + sizeof(DWORD) + sizeof(file), &optional) ||
        optional.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        optional.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT) {
        return false;
    }
    const IMAGE_DATA_DIRECTORY directory = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const std::size_t sections = headers + sizeof(DWORD) + sizeof(file) + file.SizeOfOptionalHeader;
    std::size_t offset = 0;
    IMAGE_EXPORT_DIRECTORY exports = {};
    if (directory.VirtualAddress == 0 ||
        !FileOffset(bytes, sections, file.NumberOfSections, directory.VirtualAddress, &offset) ||
        !ReadAt(bytes, offset, &exports) ||
        !FileOffset(bytes, sections, file.NumberOfSections, exports.AddressOfNames, &offset)) {
        return false;
    }
    for (DWORD index = 0; index < exports.NumberOfNames; ++index) {
        DWORD nameRva = 0;
        std::size_t name = 0;
        if (!ReadAt(bytes, offset + index * sizeof(DWORD), &nameRva) ||
            !FileOffset(bytes, sections, file.NumberOfSections, nameRva, &name) || name >= bytes.size()) {
            return false;
        }
        if (bytes.compare(name, std::strlen(wanted) + 1, wanted, std::strlen(wanted) + 1) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

DllFile ReadDll(const std::wstring &path)
{
    DllFile dll;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    std::string bytes;
    IMAGE_DOS_HEADER dos = {};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        dll.reason = path + L": there is no such file";
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        dll.reason = path + L" is a folder, not a DLL";
    } else if (!win32::ReadWholeFile(path, &bytes)) {
        dll.reason = path + L" cannot be read: " + win32::ErrorText(GetLastError());
    } else if (bytes.empty()) {
        dll.reason = path + L" is empty (0 bytes), not a DLL";
    } else if (!ReadAt(bytes, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
               !ReadAt(bytes, static_cast<std::size_t>(dos.e_lfanew), &signature) ||
               signature != IMAGE_NT_SIGNATURE ||
               !ReadAt(bytes, static_cast<std::size_t>(dos.e_lfanew) + sizeof(signature), &header)) {
        dll.reason = path + L" is not a DLL (it has no Windows executable header)";
    } else if (header.Machine == IMAGE_FILE_MACHINE_I386) {
        dll.reason = path + L" is a 32-bit DLL: 64-bit Windows loads only a 64-bit (x64) VELDRIAN.dll";
    } else if (header.Machine != IMAGE_FILE_MACHINE_AMD64 && header.Machine != inf::kArm64.machine) {
        dll.reason = path + L" is not a DLL for x64 or ARM64 (machine " + Hex(header.Machine, 4) + L")";
    } else if ((header.Characteristics & IMAGE_FILE_DLL) == 0) {
        dll.reason = path + L" is a program, not a DLL";
    } else if (!ExportsName(bytes, static_cast<std::size_t>(dos.e_lfanew), header, "CoInstallerE")) {
        dll.reason = path + L" has no export CoInstallerE";
    }
    dll.machine = header.Machine;
    return dll;
}

const wchar_t *MachineName(WORD machine)
{
    const auto *const found =
        std::ranges::find_if(inf::kArchitectures, [machine](const inf::Architecture *architecture) {
            return architecture->machine == machine;
        });
    return found != std::end(inf::kArchitectures) ? (*found)->name : L"other";
}

std::wstring Hex(DWORD value, int digits)
{
    wchar_t text[16];
    wsprintfW(text, digits == 4 ? L"0x%04X" : L"0x%08X", value);
    return text;
}

std::wstring CheckVeldrianDll(const std::wstring &path)
{
    const DllFile dll = ReadDll(path);
    if (dll.reason.empty() && dll.machine != IMAGE_FILE_MACHINE_AMD64) {
        return path + L" is not an x64 DLL (machine " + Hex(dll.machine, 4) + L")";
    }
    return dll.reason;
}

}  // namespace host
