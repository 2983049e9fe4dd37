#include "pefile.h"

#include <cstddef>
#include <cstdlib>
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

// The 64-bit load configuration directory up to its Control Flow Guard fields.
struct LoadConfigGuard {
    DWORD size;
    BYTE before[0x6C];
    ULONGLONG checkFunctionPointer;
    ULONGLONG dispatchFunctionPointer;
    ULONGLONG functionTable;
    ULONGLONG functionCount;
    DWORD flags;
};
static_assert(offsetof(LoadConfigGuard, checkFunctionPointer) == 0x70);
static_assert(offsetof(LoadConfigGuard, flags) == kGuardFlagsOffset);
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, SecurityCookie) == kSecurityCookieOffset);
static_assert(sizeof(PeFunctionEntry) == sizeof(RUNTIME_FUNCTION));

void ReadGuard(const Reader &reader, ULONGLONG imageBase, PeFile &pe)
{
    const auto *size = reader.At<DWORD>(pe.loadConfig.VirtualAddress);
    if (size == nullptr || *size < kGuardFlagsOffset + sizeof(DWORD)) {
        pe.guard.size = size != nullptr ? *size : 0;
        return;
    }
    const auto *config = reader.At<LoadConfigGuard>(pe.loadConfig.VirtualAddress);
    if (config == nullptr) {
        return;
    }
    pe.guard = {config->size,
                config->checkFunctionPointer,
                config->dispatchFunctionPointer,
                config->functionTable,
                config->functionCount,
                config->flags,
                {}};
    // Each entry is an RVA followed by as many bytes of metadata as the flags' top nibble says.
    const DWORD stride = sizeof(DWORD) + (config->flags >> 28);
    for (ULONGLONG index = 0; config->functionTable > imageBase && index < config->functionCount; ++index) {
        const auto *rva =
            reader.At<DWORD>(static_cast<DWORD>(config->functionTable - imageBase + index * stride));
        if (rva == nullptr) {
            break;
        }
        pe.guard.functions.push_back(*rva);
    }
}

}  // namespace

const BYTE *PeFile::At(DWORD rva, std::size_t count) const
{
    const IMAGE_SECTION_HEADER *section = SectionOf(rva);
    if (section == nullptr || rva - section->VirtualAddress + count > section->SizeOfRawData) {
        return nullptr;
    }
    const std::size_t offset = section->PointerToRawData + (rva - section->VirtualAddress);
    return offset + count <= bytes.size() ? bytes.data() + offset : nullptr;
}

DWORD PeChecksum(const std::vector<BYTE> &bytes)
{
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(bytes.data());
    const std::size_t field = static_cast<std::size_t>(dos->e_lfanew) +
                              offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                              offsetof(IMAGE_OPTIONAL_HEADER64, CheckSum);
    ULONGLONG sum = 0;
    for (std::size_t at = 0; at < bytes.size(); at += 2) {
        if (at == field || at == field + 2) {
            continue;
        }
        sum += bytes[at] | (at + 1 < bytes.size() ? bytes[at + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<DWORD>(sum + bytes.size());
}

const IMAGE_SECTION_HEADER *PeFile::SectionOf(DWORD rva) const
{
    for (const IMAGE_SECTION_HEADER &section : sections) {
        if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize) {
            return &section;
        }
    }
    return nullptr;
}

namespace {

// The exception directory: the begin, end and unwind information of each function.
void ReadFunctionEntries(const Reader &reader, const IMAGE_DATA_DIRECTORY *dirs, PeFile &pe)
{
    // x64 exception directory: begin, end and unwind information of each function.
    const IMAGE_DATA_DIRECTORY &exceptions = dirs[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    for (DWORD at = 0; pe.machine == IMAGE_FILE_MACHINE_AMD64 && at + 3 * sizeof(DWORD) <= exceptions.Size;
         at += 3 * sizeof(DWORD)) {
        const auto *entry = reader.At<PeFunctionEntry>(exceptions.VirtualAddress + at);
        if (entry == nullptr) {
            break;
        }
        pe.functionEntries.push_back(*entry);
    }
    // ARM64: begin and unwind data, whose low two bits say whether it is packed (the
    // length in bits 2-12, in instructions) or the RVA of its record (the length in
    // the first word's bits 0-17).
    for (DWORD at = 0; pe.machine == IMAGE_FILE_MACHINE_ARM64 && at + 2 * sizeof(DWORD) <= exceptions.Size;
         at += 2 * sizeof(DWORD)) {
        const auto *begin = reader.At<DWORD>(exceptions.VirtualAddress + at);
        const auto *unwind = reader.At<DWORD>(exceptions.VirtualAddress + at + sizeof(DWORD));
        if (begin == nullptr || unwind == nullptr) {
            break;
        }
        const bool packed = (*unwind & 3) != 0;
        const auto *record = packed ? nullptr : reader.At<DWORD>(*unwind);
        const DWORD instructions = packed              ? (*unwind >> 2) & 0x7FF
                                   : record != nullptr ? *record & 0x3FFFF
                                                       : 0;
        pe.functionEntries.push_back({*begin, *begin + 4 * instructions, packed ? 0 : *unwind});
    }
}

// The debug directory's entry types, and the extended DLL characteristics.
void ReadDebugDirectory(const Reader &reader, const IMAGE_DATA_DIRECTORY *dirs, PeFile &pe)
{
    const IMAGE_DATA_DIRECTORY &debug = dirs[IMAGE_DIRECTORY_ENTRY_DEBUG];
    for (DWORD at = 0; at + sizeof(IMAGE_DEBUG_DIRECTORY) <= debug.Size;
         at += sizeof(IMAGE_DEBUG_DIRECTORY)) {
        const auto *entry = reader.At<IMAGE_DEBUG_DIRECTORY>(debug.VirtualAddress + at);
        if (entry == nullptr) {
            break;
        }
        pe.debugTypes.push_back(entry->Type);
        const auto *data = reader.At<DWORD>(entry->AddressOfRawData);
        if (entry->Type == kDebugTypeExDllCharacteristics && data != nullptr &&
            entry->SizeOfData >= sizeof(DWORD)) {
            pe.dllCharacteristicsEx = *data;
        }
    }
}

// The guard's fields and the security cookie of the load configuration.
void ReadLoadConfig(const Reader &reader, PeFile &pe)
{
    if (pe.loadConfig.VirtualAddress != 0) {
        ReadGuard(reader, pe.imageBase, pe);
        const auto *size = reader.At<DWORD>(pe.loadConfig.VirtualAddress);
        const auto *cookie = reader.At<ULONGLONG>(pe.loadConfig.VirtualAddress + kSecurityCookieOffset);
        if (size != nullptr && *size >= kSecurityCookieOffset + sizeof(ULONGLONG) && cookie != nullptr) {
            pe.securityCookie = *cookie;
        }
    }
}

void ReadImports(const Reader &reader, const IMAGE_DATA_DIRECTORY *dirs, PeFile &pe)
{
    if (dirs[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress != 0) {
        for (DWORD rva = dirs[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;;
             rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
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
                    pe.importedFunctions.push_back(dll + "!#" +
                                                   std::to_string(IMAGE_ORDINAL64(thunk->u1.Ordinal)));
                } else {
                    pe.importedFunctions.push_back(
                        dll + "!" + reader.Text(static_cast<DWORD>(thunk->u1.AddressOfData) + sizeof(WORD)));
                }
            }
        }
    }
}

void ReadExports(const Reader &reader, const IMAGE_DATA_DIRECTORY *dirs, PeFile &pe)
{
    if (dirs[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress != 0) {
        const auto *exp =
            reader.At<IMAGE_EXPORT_DIRECTORY>(dirs[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
        if (exp != nullptr) {
            pe.exportDllName = reader.Text(exp->Name);
            pe.exportBase = exp->Base;
            pe.exportFunctionCount = exp->NumberOfFunctions;
            for (DWORD index = 0; index < exp->NumberOfNames; ++index) {
                const auto *nameRva = reader.At<DWORD>(exp->AddressOfNames + index * sizeof(DWORD));
                const auto *ordinal = reader.At<WORD>(exp->AddressOfNameOrdinals + index * sizeof(WORD));
                const auto *address =
                    ordinal != nullptr ? reader.At<DWORD>(exp->AddressOfFunctions + *ordinal * sizeof(DWORD))
                                       : nullptr;
                if (nameRva != nullptr && address != nullptr) {
                    pe.exports.push_back({reader.Text(*nameRva), exp->Base + *ordinal, *address});
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
                    pe.exports.push_back({"", exp->Base + index, *address});
                }
            }
        }
    }
}

// Where the COFF string table starts: right behind the symbol table; 0 when the file has none.
std::size_t StringTable(DWORD symbolTable, DWORD symbolCount)
{
    return symbolTable == 0 ? 0 : symbolTable + std::size_t{symbolCount} * IMAGE_SIZEOF_SYMBOL;
}

// A text of the string table at `table`; "" when there is none or `offset` lies outside the file.
std::string StringTableText(const std::vector<BYTE> &bytes, std::size_t table, std::size_t offset)
{
    if (table == 0 || table + offset >= bytes.size()) {
        return {};
    }
    const char *text = reinterpret_cast<const char *>(bytes.data() + table + offset);
    return std::string(text, strnlen(text, bytes.size() - table - offset));
}

// Section names: eight bytes in the header, or "/offset" into the string table.
void ReadSectionNames(PeFile &pe)
{
    const std::size_t table = StringTable(pe.pointerToSymbolTable, pe.numberOfSymbols);
    for (const IMAGE_SECTION_HEADER &section : pe.sections) {
        const char *name = reinterpret_cast<const char *>(section.Name);
        std::string shortName(name, strnlen(name, IMAGE_SIZEOF_SHORT_NAME));
        const std::string longName =
            shortName.size() > 1 && shortName[0] == '/'
                ? StringTableText(pe.bytes, table, std::strtoul(shortName.c_str() + 1, nullptr, 10))
                : std::string();
        pe.sectionNames.push_back(longName.empty() ? shortName : longName);
    }
}

// The COFF symbol table, when the link kept one: each symbol of a section, by name, at its RVA.
void ReadSymbols(PeFile &pe)
{
    const std::size_t table = pe.pointerToSymbolTable;
    const std::size_t count = pe.numberOfSymbols;
    if (table == 0 || count == 0 || table + count * IMAGE_SIZEOF_SYMBOL > pe.bytes.size()) {
        return;
    }
    const std::size_t strings = StringTable(pe.pointerToSymbolTable, pe.numberOfSymbols);
    for (std::size_t index = 0; index < count; ++index) {
        IMAGE_SYMBOL symbol;
        std::memcpy(&symbol, pe.bytes.data() + table + index * IMAGE_SIZEOF_SYMBOL, IMAGE_SIZEOF_SYMBOL);
        if (symbol.SectionNumber > 0 &&
            static_cast<std::size_t>(symbol.SectionNumber) <= pe.sections.size()) {
            const char *shortName = reinterpret_cast<const char *>(symbol.N.ShortName);
            const std::string name = symbol.N.Name.Short != 0
                                         ? std::string(shortName, strnlen(shortName, 8))
                                         : StringTableText(pe.bytes, strings, symbol.N.Name.Long);
            pe.symbols[name] = pe.sections[symbol.SectionNumber - 1].VirtualAddress + symbol.Value;
        }
        index += symbol.NumberOfAuxSymbols;
    }
}

}  // namespace

const std::string &PeFile::SectionName(const IMAGE_SECTION_HEADER &section) const
{
    return sectionNames.at(static_cast<std::size_t>(&section - sections.data()));
}

PeFile ReadPeFile(const std::wstring &path)
{
    PeFile pe;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
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
    pe.timeDateStamp = nt->FileHeader.TimeDateStamp;
    pe.pointerToSymbolTable = nt->FileHeader.PointerToSymbolTable;
    pe.numberOfSymbols = nt->FileHeader.NumberOfSymbols;
    const IMAGE_OPTIONAL_HEADER64 &optional = nt->OptionalHeader;
    pe.subsystem = optional.Subsystem;
    pe.majorOsVersion = optional.MajorOperatingSystemVersion;
    pe.minorOsVersion = optional.MinorOperatingSystemVersion;
    pe.majorSubsystemVersion = optional.MajorSubsystemVersion;
    pe.minorSubsystemVersion = optional.MinorSubsystemVersion;
    pe.checkSum = optional.CheckSum;
    pe.dllCharacteristics = nt->OptionalHeader.DllCharacteristics;
    pe.imageBase = nt->OptionalHeader.ImageBase;
    pe.sizeOfImage = nt->OptionalHeader.SizeOfImage;
    pe.entryPoint = nt->OptionalHeader.AddressOfEntryPoint;
    pe.sections.assign(IMAGE_FIRST_SECTION(nt), IMAGE_FIRST_SECTION(nt) + nt->FileHeader.NumberOfSections);

    Reader reader{pe.bytes, IMAGE_FIRST_SECTION(nt), nt->FileHeader.NumberOfSections};
    const auto &dirs = nt->OptionalHeader.DataDirectory;
    std::memcpy(pe.directories, dirs, sizeof(pe.directories));
    pe.hasRelocations = dirs[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size != 0;
    pe.hasDebugDirectory = dirs[IMAGE_DIRECTORY_ENTRY_DEBUG].Size != 0;
    pe.loadConfig = dirs[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    pe.certificates = dirs[IMAGE_DIRECTORY_ENTRY_SECURITY];
    pe.importAddressTable = dirs[IMAGE_DIRECTORY_ENTRY_IAT];
    pe.resources = dirs[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    ReadFunctionEntries(reader, dirs, pe);
    ReadDebugDirectory(reader, dirs, pe);
    ReadLoadConfig(reader, pe);
    ReadImports(reader, dirs, pe);
    ReadExports(reader, dirs, pe);
    ReadSectionNames(pe);
    ReadSymbols(pe);
    pe.ok = true;
    return pe;
}

}  // namespace harness
