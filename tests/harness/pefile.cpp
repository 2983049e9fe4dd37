#include "pefile.h"

#include <cstring>

namespace harness {

namespace {

struct Reader {
    const std::vector<BYTE> &bytes;
    const IMAGE_SECTION_HEADER *sections;
    WORD sectionCount;

    // File offset of an RVA, or 0 when it lies in no section.
    std::size_t Offset(DWORD rva) const
    {
        for (WORD index = 0; index < sectionCount; ++index) {
            const IMAGE_SECTION_HEADER &section = sections[index];
            const DWORD size = section.Misc.VirtualSize > section.SizeOfRawData ? section.Misc.VirtualSize
                                                                               : section.SizeOfRawData;
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + size) {
                return rva - section.VirtualAddress + section.PointerToRawData;
            }
        }
        return 0;
    }

    template <typename T>
    const T *At(DWORD rva) const
    {
        const std::size_t offset = Offset(rva);
        return (offset != 0 && offset + sizeof(T) <= bytes.size())
                   ? reinterpret_cast<const T *>(bytes.data() + offset)
                   : nullptr;
    }

    std::string Text(DWORD rva) const
    {
        const std::size_t offset = Offset(rva);
        if (offset == 0 || offset >= bytes.size()) {
            return {};
        }
        const char *start = reinterpret_cast<const char *>(bytes.data() + offset);
        return std::string(start, strnlen(start, bytes.size() - offset));
    }
};

}  // namespace

PeFile ReadPeFile(const std::wstring &path)
{
    PeFile pe;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return pe;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    pe.bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    ReadFile(file, pe.bytes.data(), static_cast<DWORD>(pe.bytes.size()), &read, nullptr);
    CloseHandle(file);
    if (read != pe.bytes.size() || pe.bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
        return pe;
    }

    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(pe.bytes.data());
    if (dos->e_magic != IMAGE_DOS_SIGNATURE ||
        static_cast<std::size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > pe.bytes.size()) {
        return pe;
    }
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(pe.bytes.data() + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return pe;
    }
    pe.machine = nt->FileHeader.Machine;
    pe.characteristics = nt->FileHeader.Characteristics;
    pe.dllCharacteristics = nt->OptionalHeader.DllCharacteristics;

    Reader reader{pe.bytes, IMAGE_FIRST_SECTION(nt), nt->FileHeader.NumberOfSections};
    const auto &dirs = nt->OptionalHeader.DataDirectory;
    pe.hasRelocations = dirs[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size != 0;
    pe.hasDebugDirectory = dirs[IMAGE_DIRECTORY_ENTRY_DEBUG].Size != 0;

    if (dirs[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress != 0) {
        for (DWORD rva = dirs[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto *desc = reader.At<IMAGE_IMPORT_DESCRIPTOR>(rva);
            if (desc == nullptr || desc->Name == 0) {
                break;
            }
            const std::string dll = reader.Text(desc->Name);
            pe.importedDlls.push_back(dll);
            DWORD thunkRva = desc->OriginalFirstThunk != 0 ? desc->OriginalFirstThunk : desc->FirstThunk;
            for (;; thunkRva += sizeof(IMAGE_THUNK_DATA64)) {
                const auto *thunk = reader.At<IMAGE_THUNK_DATA64>(thunkRva);
                if (thunk == nullptr || thunk->u1.AddressOfData == 0) {
                    break;
                }
                if (IMAGE_SNAP_BY_ORDINAL64(thunk->u1.Ordinal)) {
                    pe.importedFunctions.push_back(dll + "!#" + std::to_string(IMAGE_ORDINAL64(thunk->u1.Ordinal)));
                } else {
                    pe.importedFunctions.push_back(
                        dll + "!" + reader.Text(static_cast<DWORD>(thunk->u1.AddressOfData) + sizeof(WORD)));
                }
            }
        }
    }

    if (dirs[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress != 0) {
        const auto *exp = reader.At<IMAGE_EXPORT_DIRECTORY>(dirs[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
        if (exp != nullptr) {
            pe.exportDllName = reader.Text(exp->Name);
            for (DWORD index = 0; index < exp->NumberOfNames; ++index) {
                const auto *nameRva = reader.At<DWORD>(exp->AddressOfNames + index * sizeof(DWORD));
                const auto *ordinal = reader.At<WORD>(exp->AddressOfNameOrdinals + index * sizeof(WORD));
                if (nameRva != nullptr && ordinal != nullptr) {
                    pe.exports.push_back({reader.Text(*nameRva), exp->Base + *ordinal});
                }
            }
            // Exports by ordinal only would not show among the names: count them too.
            for (DWORD index = 0; index < exp->NumberOfFunctions; ++index) {
                bool named = false;
                for (DWORD name = 0; name < exp->NumberOfNames; ++name) {
                    const auto *ordinal = reader.At<WORD>(exp->AddressOfNameOrdinals + name * sizeof(WORD));
                    named = named || (ordinal != nullptr && *ordinal == index);
                }
                const auto *address = reader.At<DWORD>(exp->AddressOfFunctions + index * sizeof(DWORD));
                if (!named && address != nullptr && *address != 0) {
                    pe.exports.push_back({"", exp->Base + index});
                }
            }
        }
    }
    pe.ok = true;
    return pe;
}

}  // namespace harness
