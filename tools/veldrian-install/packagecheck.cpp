#include "packagecheck.h"

#include "console.h"
#include "result.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/text.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <map>
#include <set>
#include <unordered_map>

namespace host {

namespace {

constexpr wchar_t kVeldrianFile[] = L"VELDRIAN.dll";
constexpr wchar_t kVeldrianEntry[] = L"VELDRIAN.dll,CoInstallerE";
constexpr wchar_t kSystemDirectory[] = L"11";
constexpr WORD kMachineArm64 = 0xAA64;  // IMAGE_FILE_MACHINE_ARM64

// The 64-bit architectures a package's models sections are decorated for.
struct Architecture {
    const wchar_t *name;        // as the check names it
    const wchar_t *decoration;  // of models and DDInstall sections
    const wchar_t *platform;    // of SourceDisksNames and SourceDisksFiles
    WORD machine;               // of the DLL it loads
};
constexpr Architecture kArchitectures[] = {
    {L"x64", L"NTamd64", L"amd64", IMAGE_FILE_MACHINE_AMD64},
    {L"ARM64", L"NTarm64", L"arm64", kMachineArm64},
};

constexpr wchar_t kSigningNote[] =
    L"from Windows 11 22H2, a driver package with a DDInstall.CoInstallers section is no longer "
    L"eligible for a signature from the Hardware Developer Center (InfVerif error 1303, \"legacy AddReg "
    L"operation defining co-installers\", under /u, /w and /h); such a package ships with a catalog "
    L"signed by the publisher's own certificate, trusted on the target machines";

// ---- Text ----

std::wstring Folded(std::wstring text)
{
    for (wchar_t &character : text) {
        character = static_cast<wchar_t>(std::towlower(character));
    }
    return text;
}

bool SameText(const std::wstring &left, const std::wstring &right)
{
    return left.size() == right.size() && Folded(left) == Folded(right);
}

bool StartsWithText(const std::wstring &text, const std::wstring &start)
{
    return text.size() >= start.size() && SameText(text.substr(0, start.size()), start);
}

std::wstring Bracketed(const std::wstring &section)
{
    return L"[" + section + L"]";
}

std::wstring Hex(DWORD value, int digits)
{
    wchar_t text[16];
    wsprintfW(text, digits == 4 ? L"0x%04X" : L"0x%08X", value);
    return text;
}

std::wstring WithoutBlanks(const std::wstring &text)
{
    std::wstring result;
    for (wchar_t character : text) {
        if (character != L' ' && character != L'\t') {
            result += character;
        }
    }
    return result;
}

std::wstring DirectoryOf(const std::wstring &path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
}

// folder\rest joined, without leading backslashes or dots of the relative folder.
std::wstring JoinRelative(std::wstring folder, std::wstring rest)
{
    while (!folder.empty() && (folder.front() == L'\\' || folder.front() == L'.')) {
        folder.erase(folder.begin());
    }
    while (!rest.empty() && rest.front() == L'\\') {
        rest.erase(rest.begin());
    }
    return folder.empty() ? rest : folder + (folder.back() == L'\\' ? L"" : L"\\") + rest;
}

// ---- The INF, read once as SetupAPI reads it ----
//
// SetupAPI's own INF functions would do, but Wine's look a section up by walking
// every section: opening an INF costs time in the square of its sections, and each
// lookup in their number. A package of 3,000 models has some 12,000 sections, which
// takes SetupAPI tens of seconds. The reader below takes the same syntax into a
// table by name: sections (of the same name merged), lines of an optional key and
// comma-separated fields, quotes ("" for a quote), ';' comments, a '\' that
// continues a line, blanks trimmed outside quotes, and %name% from [Strings].

struct InfLine {
    std::wstring key;
    std::vector<std::wstring> fields;  // field 1 first
    std::wstring field(std::size_t index) const
    {
        return index == 0 ? key : index <= fields.size() ? fields[index - 1] : L"";
    }
};

struct Inf {
    std::unordered_map<std::wstring, std::vector<InfLine>> sections;  // by folded name

    bool has(const std::wstring &section) const { return sections.contains(Folded(section)); }
    const std::vector<InfLine> &lines(const std::wstring &section) const
    {
        static const std::vector<InfLine> none;
        const auto found = sections.find(Folded(section));
        return found == sections.end() ? none : found->second;
    }
    // The first line of `section` whose key is `key`, or null.
    const InfLine *line(const std::wstring &section, const std::wstring &key) const
    {
        const std::vector<InfLine> &all = lines(section);
        const auto found =
            std::ranges::find_if(all, [&key](const InfLine &line) { return SameText(line.key, key); });
        return found != all.end() ? &*found : nullptr;
    }
};

bool IsBlank(wchar_t character)
{
    return character == L' ' || character == L'\t' || character == L'\r' || character == L'\x1A';
}

// Whether only blanks or a comment follow `index` on its line: a '\' there continues the line.
bool EndsLine(const std::wstring &text, std::size_t index)
{
    while (index < text.size() && IsBlank(text[index])) {
        ++index;
    }
    return index >= text.size() || text[index] == L'\n' || text[index] == L';';
}

// A field as it is scanned: blanks trimmed at both ends, except inside quotes.
class FieldText {
public:
    void add(wchar_t character, bool quoted)
    {
        if (!quoted && IsBlank(character) && text_.empty()) {
            return;
        }
        text_ += character;
        kept_ = quoted || !IsBlank(character) ? text_.size() : kept_;
    }
    std::wstring take()
    {
        text_.resize(kept_);
        std::wstring taken;
        taken.swap(text_);
        kept_ = 0;
        return taken;
    }

private:
    std::wstring text_;
    std::size_t kept_ = 0;  // what trimming trailing blanks keeps
};

// The quoted text that starts at `index`, after its opening quote ("" stands for a
// quote). Returns the index of its closing quote, or of the last character of the line.
std::size_t ScanQuoted(const std::wstring &text, std::size_t index, FieldText *field)
{
    for (; index < text.size() && text[index] != L'\n'; ++index) {
        const bool quote = text[index] == L'"';
        if (quote && (index + 1 >= text.size() || text[index + 1] != L'"')) {
            return index;
        }
        field->add(text[index], true);
        index += quote ? 1 : 0;
    }
    return index - 1;
}

// The line from *index: its key and fields. *index moves past its end. False when
// it holds nothing.
bool ScanLine(const std::wstring &text, std::size_t *start, InfLine *line)
{
    FieldText field;
    bool anything = false;
    std::size_t index = *start;
    for (; index < text.size() && text[index] != L'\n'; ++index) {
        const wchar_t character = text[index];
        if (character == L';') {
            index = text.find(L'\n', index);
            break;
        }
        if (character == L'\\' && EndsLine(text, index + 1)) {
            index = text.find(L'\n', index);  // the line goes on after this line feed
            if (index == std::wstring::npos) {
                break;
            }
            continue;
        }
        anything = anything || !IsBlank(character);
        if (character == L'"') {
            index = ScanQuoted(text, index + 1, &field);
        } else if (character == L',') {
            line->fields.push_back(field.take());
        } else if (character == L'=' && line->key.empty() && line->fields.empty()) {
            line->key = field.take();
        } else {
            field.add(character, false);
        }
    }
    if (anything) {
        line->fields.push_back(field.take());
    }
    *start = index == std::wstring::npos ? text.size() : std::min(index + 1, text.size());
    return anything;
}

// %name% replaced by its [Strings] value, %% by %; an unknown name stays as written.
std::wstring Substituted(const std::wstring &text,
                         const std::unordered_map<std::wstring, std::wstring> &strings)
{
    if (text.find(L'%') == std::wstring::npos) {
        return text;
    }
    std::wstring result;
    std::size_t index = 0;
    while (index < text.size()) {
        const std::size_t open = text.find(L'%', index);
        const std::size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            result += text.substr(index);
            break;
        }
        result += text.substr(index, open - index);
        const std::wstring name = text.substr(open + 1, close - open - 1);
        const auto found = strings.find(Folded(name));
        result += name.empty() ? L"%" : found != strings.end() ? found->second : L"%" + name + L"%";
        index = close + 1;
    }
    return result;
}

// The name of the section whose header starts at `index` ('['); *next is where its
// first line starts.
std::wstring SectionName(const std::wstring &text, std::size_t index, std::size_t *next)
{
    const std::size_t close = text.find_first_of(L"]\n", index + 1);
    std::wstring name = text.substr(index + 1, close == std::wstring::npos ? close : close - index - 1);
    while (!name.empty() && IsBlank(name.back())) {
        name.pop_back();
    }
    const std::size_t end = text.find(L'\n', index);
    *next = end == std::wstring::npos ? text.size() : end + 1;
    return name;
}

void SubstituteStrings(Inf *inf)
{
    std::unordered_map<std::wstring, std::wstring> strings;
    for (const InfLine &line : inf->lines(L"Strings")) {
        strings.emplace(Folded(line.key), line.field(1));
    }
    for (auto &[name, lines] : inf->sections) {
        for (InfLine &line : lines) {
            line.key = Substituted(line.key, strings);
            for (std::wstring &field : line.fields) {
                field = Substituted(field, strings);
            }
        }
    }
}

Inf ParseInf(const std::wstring &text)
{
    Inf inf;
    std::vector<InfLine> *section = nullptr;
    std::size_t index = 0;
    while (index < text.size()) {
        while (index < text.size() && IsBlank(text[index])) {
            ++index;
        }
        InfLine line;
        if (index < text.size() && text[index] == L'[') {
            section = &inf.sections[Folded(SectionName(text, index, &index))];
        } else if (ScanLine(text, &index, &line) && section != nullptr) {
            section->push_back(std::move(line));
        }
    }
    SubstituteStrings(&inf);
    return inf;
}

// The INF's text: UTF-16 with its byte-order mark, or text in the ANSI code page,
// as SetupAPI reads it. False, with one line in *error, when it is neither.
bool ReadInfText(const std::wstring &infPath, std::wstring *text, std::wstring *error,
                 std::vector<std::wstring> *findings)
{
    const DWORD attributes = GetFileAttributesW(infPath.c_str());
    std::string bytes;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = L"cannot read the INF " + infPath + L": there is no such file";
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *error = L"the INF " + infPath + L" is a folder, not a file";
    } else if (!win32::ReadWholeFile(infPath, &bytes)) {
        *error = L"cannot read the INF " + infPath + L": " + win32::ErrorText(GetLastError());
    } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
               static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text->resize((bytes.size() - 2) / sizeof(wchar_t));
        memcpy(text->data(), bytes.data() + 2, text->size() * sizeof(wchar_t));
    } else if (bytes.find('\0') != std::string::npos) {
        *error =
            L"the INF " + infPath + L" is not a text file (it holds NUL bytes and no UTF-16 byte-order mark)";
    } else {
        *text = win32::FromCodePage(CP_ACP, bytes);
        bool utf8 = false;
        win32::FromCodePage(CP_UTF8, bytes, &utf8);
        const bool ascii = std::all_of(bytes.begin(), bytes.end(),
                                       [](char byte) { return static_cast<unsigned char>(byte) < 0x80; });
        if (!ascii && utf8) {
            findings->push_back(
                L"the INF is UTF-8: SetupAPI reads an INF without a UTF-16 byte-order mark in the ANSI "
                L"code page, so its non-ASCII text is misread; save it as UTF-16 (Unicode)");
        }
    }
    return error->empty();
}

// ---- The DLL, read from its file (an ARM64 DLL cannot be loaded here to look) ----

struct DllFile {
    std::wstring reason;  // why it cannot be VELDRIAN on any 64-bit Windows, or ""
    WORD machine = 0;
};

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
    } else if (header.Machine != IMAGE_FILE_MACHINE_AMD64 && header.Machine != kMachineArm64) {
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
    const auto *const found = std::ranges::find(kArchitectures, machine, &Architecture::machine);
    return found != std::end(kArchitectures) ? found->name : L"other";
}

// ---- The package ----

struct Checker {
    const Inf &inf;
    std::wstring infDirectory;
    std::wstring dll;                        // --dll, or ""
    std::map<std::wstring, DllFile> dlls;    // read once each, by path
    std::set<std::wstring> packageFindings;  // each said once
    PackageCheck *check;

    void packageFinding(const std::wstring &finding)
    {
        if (packageFindings.insert(finding).second) {
            check->findings.push_back(finding);
        }
    }
    const DllFile &dllFile(const std::wstring &path)
    {
        auto found = dlls.find(path);
        if (found == dlls.end()) {
            found = dlls.emplace(path, ReadDll(path)).first;
        }
        return found->second;
    }
};

// Every section that the lines named `key` of `section` list (AddReg=a,b; CopyFiles=c).
std::vector<std::wstring> ListedSections(const Inf &inf, const std::wstring &section, const wchar_t *key)
{
    std::vector<std::wstring> sections;
    for (const InfLine &line : inf.lines(section)) {
        if (SameText(line.key, key)) {
            std::ranges::copy_if(line.fields, std::back_inserter(sections),
                                 [](const std::wstring &name) { return !name.empty(); });
        }
    }
    return sections;
}

// The CoInstallers32 entries that the AddReg sections of `coSection` write. One
// finding, or none when one line writes "VELDRIAN.dll,CoInstallerE" into the
// driver key as REG_MULTI_SZ.
std::wstring CheckRegistration(const Inf &inf, const std::wstring &coSection,
                               std::vector<std::wstring> *entries)
{
    std::wstring found;  // the last CoInstallers32 line's finding, when it has one
    bool written = false;
    for (const std::wstring &addReg : ListedSections(inf, coSection, L"AddReg")) {
        for (const InfLine &line : inf.lines(addReg)) {
            if (!SameText(line.field(1), L"HKR") || !line.field(2).empty() ||
                !SameText(line.field(3), L"CoInstallers32")) {
                continue;
            }
            written = true;
            const DWORD flags = wcstoul(line.field(4).c_str(), nullptr, 0);
            std::wstring listedText;
            bool listed = false;
            for (std::size_t index = 5; index <= line.fields.size(); ++index) {
                const std::wstring entry = line.field(index);
                entries->push_back(entry);
                listed = listed || SameText(WithoutBlanks(entry), kVeldrianEntry);
                listedText += (listedText.empty() ? L"\"" : L", \"") + entry + L"\"";
            }
            if ((flags & FLG_ADDREG_TYPE_MASK) != FLG_ADDREG_TYPE_MULTI_SZ) {
                found = Bracketed(addReg) + L" writes CoInstallers32 with flags " + Hex(flags, 8) +
                        L", not as REG_MULTI_SZ (0x00010000)";
            } else if (!listed) {
                found = Bracketed(addReg) + L"'s CoInstallers32 does not list \"" + kVeldrianEntry +
                        L"\" (it lists " + (listedText.empty() ? std::wstring(L"nothing") : listedText) +
                        L")";
            } else {
                return L"";
            }
        }
    }
    if (!written) {
        return L"no AddReg section of " + Bracketed(coSection) + L" writes HKR,,CoInstallers32 (\"" +
               kVeldrianEntry + L"\")";
    }
    return found;
}

// A file that a CopyFiles section copies: the section, and the source file's name.
struct CopiedFile {
    std::wstring section;  // "@name" for CopyFiles=@name
    std::wstring source;
};

// The CopyFiles entry of `coSection` that copies a file named `name`, if any.
bool FindCopy(const Inf &inf, const std::wstring &coSection, const std::wstring &name, CopiedFile *copy)
{
    for (const std::wstring &section : ListedSections(inf, coSection, L"CopyFiles")) {
        if (section.front() == L'@') {
            if (SameText(section.substr(1), name)) {
                *copy = {section, section.substr(1)};
                return true;
            }
            continue;
        }
        const std::vector<InfLine> &lines = inf.lines(section);
        const auto line = std::ranges::find_if(
            lines, [&name](const InfLine &entry) { return SameText(entry.field(1), name); });
        if (line != lines.end()) {
            *copy = {section, line->field(2).empty() ? line->field(1) : line->field(2)};
            return true;
        }
    }
    return false;
}

// The folder a copy section goes to: its DestinationDirs line, or DefaultDestDir.
std::wstring DestinationOf(const Inf &inf, const CopiedFile &copy)
{
    const InfLine *line = copy.section.front() == L'@' ? nullptr : inf.line(L"DestinationDirs", copy.section);
    line = line != nullptr ? line : inf.line(L"DestinationDirs", L"DefaultDestDir");
    return line == nullptr ? L"" : line->field(1);
}

// Where SourceDisksFiles(.platform) puts a source file, relative to the INF's folder,
// and the section that says so; false when neither lists it.
bool SourceOf(const Inf &inf, const Architecture &architecture, const std::wstring &name,
              std::wstring *relative)
{
    const std::wstring platform = architecture.platform;
    for (const std::wstring &section : {L"SourceDisksFiles." + platform, std::wstring(L"SourceDisksFiles")}) {
        const InfLine *line = inf.line(section, name);
        if (line == nullptr) {
            continue;
        }
        const InfLine *disk = inf.line(L"SourceDisksNames." + platform, line->field(1));
        disk = disk != nullptr ? disk : inf.line(L"SourceDisksNames", line->field(1));
        const std::wstring diskPath = disk == nullptr ? L"" : disk->field(4);
        *relative = JoinRelative(JoinRelative(diskPath, line->field(2)), name);
        return true;
    }
    return false;
}

// The copy of VELDRIAN.dll: to the system directory, from a file built for the architecture.
void CheckCopy(Checker &checker, const Architecture &architecture, ModelCheck *model)
{
    CopiedFile copy;
    if (!FindCopy(checker.inf, model->coInstallers, kVeldrianFile, &copy)) {
        model->findings.push_back(L"no CopyFiles line of " + Bracketed(model->coInstallers) +
                                  L" copies VELDRIAN.dll");
        return;
    }
    const std::wstring directory = DestinationOf(checker.inf, copy);
    if (directory.empty()) {
        model->findings.push_back(L"DestinationDirs names no directory for " + Bracketed(copy.section) +
                                  L" (11 is wanted)");
    } else if (directory != kSystemDirectory) {
        model->findings.push_back(L"VELDRIAN.dll is copied to DestinationDirs " + directory +
                                  L", not 11 (the system directory, where SetupAPI loads it from)");
    }
    std::wstring relative;
    if (!SourceOf(checker.inf, architecture, copy.source, &relative)) {
        checker.packageFinding(L"SourceDisksFiles does not list " + copy.source +
                               L", so SetupAPI has no file to copy (for the " + architecture.name +
                               L" models)");
        return;
    }
    const bool replaced = !checker.dll.empty() && (checker.dllFile(checker.dll).machine == kMachineArm64) ==
                                                      (architecture.machine == kMachineArm64);
    const std::wstring path = replaced ? checker.dll : checker.infDirectory + relative;
    const DllFile &dll = checker.dllFile(path);
    if (!dll.reason.empty()) {
        checker.packageFinding(dll.reason);
    } else if (dll.machine != architecture.machine) {
        model->findings.push_back(std::wstring(L"the ") + architecture.name + L" installation would copy " +
                                  (replaced ? path : relative) + L", an " + MachineName(dll.machine) +
                                  L" DLL (machine " + Hex(dll.machine, 4) + L"): " + architecture.name +
                                  L" Windows loads only an " + architecture.name +
                                  L" VELDRIAN.dll (machine " + Hex(architecture.machine, 4) + L")");
    }
}

// Another co-installer that CoInstallers32 names must be a file the package ships
// (SourceDisksFiles) and copies (CopyFiles of the same section): one finding, or none.
std::wstring CheckOtherCoInstaller(const Inf &inf, const Architecture &architecture,
                                   const std::wstring &entry, const std::wstring &coSection)
{
    const std::wstring file = WithoutBlanks(entry.substr(0, entry.find(L',')));
    if (file.empty() || SameText(file, kVeldrianFile) || file.find_first_of(L"\\:/") != std::wstring::npos) {
        return L"";
    }
    CopiedFile copy;
    std::wstring relative;
    const bool copied = FindCopy(inf, coSection, file, &copy);
    const bool shipped = SourceOf(inf, architecture, copied ? copy.source : file, &relative);
    if (!copied && !shipped) {
        return L"CoInstallers32 lists \"" + entry + L"\", but the package neither ships " + file +
               L" (SourceDisksFiles) nor copies it (CopyFiles of " + Bracketed(coSection) +
               L"): SetupAPI has no " + file + L" to load";
    }
    if (!shipped) {
        return Bracketed(coSection) + L" copies " + file + L" for \"" + entry +
               L"\", but SourceDisksFiles does not list " + copy.source +
               L", so SetupAPI has no file to copy";
    }
    return L"";
}

// The DDInstall section the platform installs for an architecture: decorated for
// it, else for NT, else as named.
std::wstring ActualSection(const Inf &inf, const Architecture &architecture, const std::wstring &ddInstall)
{
    const std::wstring candidates[] = {ddInstall + L"." + architecture.decoration, ddInstall + L".NT",
                                       ddInstall};
    const auto *const found =
        std::ranges::find_if(candidates, [&inf](const std::wstring &section) { return inf.has(section); });
    return found != std::end(candidates) ? *found : L"";
}

void CheckModel(Checker &checker, const Architecture &architecture, const std::wstring &ddInstall,
                ModelCheck *model)
{
    if (const std::wstring reason = CheckPrinterName(model->name); !reason.empty()) {
        model->findings.push_back(reason);
    }
    if (model->hardwareId.empty()) {
        model->findings.push_back(L"the model's line names no hardware ID");
    }
    model->ddInstall = ActualSection(checker.inf, architecture, ddInstall);
    if (model->ddInstall.empty()) {
        model->findings.push_back(L"no DDInstall section " + Bracketed(ddInstall) +
                                  L" (nor a decorated one)");
        return;
    }
    model->coInstallers = model->ddInstall + L".CoInstallers";
    if (!checker.inf.has(model->coInstallers)) {
        const std::wstring plain = ddInstall + L".CoInstallers";
        model->findings.push_back(
            L"no section " + Bracketed(model->coInstallers) +
            L": the platform looks for the co-installers of " + Bracketed(model->ddInstall) + L" there" +
            (!SameText(plain, model->coInstallers) && checker.inf.has(plain)
                 ? L" (" + Bracketed(plain) + L" is there, without the decoration of its DDInstall section)"
                 : L""));
        return;
    }
    std::vector<std::wstring> entries;
    if (const std::wstring finding = CheckRegistration(checker.inf, model->coInstallers, &entries);
        !finding.empty()) {
        model->findings.push_back(finding);
    }
    CheckCopy(checker, architecture, model);
    for (const std::wstring &entry : entries) {
        if (const std::wstring finding =
                CheckOtherCoInstaller(checker.inf, architecture, entry, model->coInstallers);
            !finding.empty()) {
            model->findings.push_back(finding);
        }
    }
}

// The models section of a [Manufacturer] line for an architecture, or "".
std::wstring ModelsSection(const Inf &inf, const InfLine &manufacturer, const Architecture &architecture)
{
    for (std::size_t index = 2; index <= manufacturer.fields.size(); ++index) {
        const std::wstring decoration = manufacturer.field(index);
        std::wstring section = manufacturer.field(1) + L"." + decoration;
        if ((SameText(decoration, architecture.decoration) ||
             StartsWithText(decoration, std::wstring(architecture.decoration) + L".")) &&
            inf.has(section)) {
            return section;
        }
    }
    return L"";
}

// The models of every x64 and ARM64 models section of [Manufacturer], not yet checked.
void ListModels(const Inf &inf, PackageCheck *check,
                std::vector<std::pair<const Architecture *, std::wstring>> *ddInstalls)
{
    if (!inf.has(L"Manufacturer")) {
        check->findings.push_back(L"the INF has no [Manufacturer] section");
        return;
    }
    for (const InfLine &manufacturer : inf.lines(L"Manufacturer")) {
        bool any = false;
        for (const Architecture &architecture : kArchitectures) {
            const std::wstring section = ModelsSection(inf, manufacturer, architecture);
            if (section.empty()) {
                continue;
            }
            any = true;
            if (inf.lines(section).empty()) {
                check->findings.push_back(Bracketed(section) + L" lists no model");
            }
            for (const InfLine &line : inf.lines(section)) {
                check->models.push_back({line.key, line.field(2), architecture.name, L"", L"", {}});
                ddInstalls->emplace_back(&architecture, line.field(1));
            }
        }
        if (!any) {
            check->findings.push_back(L"the manufacturer's models section " +
                                      Bracketed(manufacturer.field(1)) +
                                      L" has no NTamd64 or NTarm64 decoration: 64-bit Windows installs none "
                                      L"of its models");
        }
    }
}

}  // namespace

std::wstring CheckPrinterName(const std::wstring &name)
{
    if (name.find_first_of(L"\\,") != std::wstring::npos) {
        return L"the model name \"" + name +
               L"\" cannot name a print queue: Windows forbids \\ and , in printer names";
    }
    return L"";
}

std::wstring CheckVeldrianDll(const std::wstring &path)
{
    const DllFile dll = ReadDll(path);
    if (dll.reason.empty() && dll.machine != IMAGE_FILE_MACHINE_AMD64) {
        return path + L" is not an x64 DLL (machine " + Hex(dll.machine, 4) + L")";
    }
    return dll.reason;
}

PackageCheck CheckPackage(const std::wstring &infPath, const std::wstring &dll, const CheckProgress &progress)
{
    PackageCheck check;
    std::wstring text;
    std::wstring error;
    if (!ReadInfText(infPath, &text, &error, &check.findings)) {
        check.findings.push_back(error);
        return check;
    }
    const Inf inf = ParseInf(text);
    const InfLine *infClass = inf.line(L"Version", L"Class");
    if (infClass == nullptr || !SameText(infClass->field(1), L"Printer")) {
        check.findings.push_back(L"the INF " + infPath +
                                 L" is not a printer package (its Version section says Class=" +
                                 (infClass == nullptr ? L"" : infClass->field(1)) + L", not Printer)");
        return check;
    }
    std::vector<std::pair<const Architecture *, std::wstring>> ddInstalls;
    ListModels(inf, &check, &ddInstalls);
    Checker checker{inf, DirectoryOf(infPath), dll, {}, {}, &check};
    bool coInstallers = false;
    for (std::size_t index = 0; index < check.models.size(); ++index) {
        if (progress && index % 64 == 0) {
            progress(index, check.models.size());
        }
        CheckModel(checker, *ddInstalls[index].first, ddInstalls[index].second, &check.models[index]);
        coInstallers = coInstallers || inf.has(check.models[index].coInstallers);
    }
    if (check.models.empty() && check.findings.empty()) {
        check.findings.push_back(L"the INF " + infPath + L" has no models for 64-bit Windows");
    }
    if (coInstallers) {
        check.notes.push_back(kSigningNote);
    }
    return check;
}

std::string CheckJson(const std::wstring &infPath, const PackageCheck &check, int status)
{
    auto texts = [](const std::vector<std::wstring> &lines) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        std::ranges::transform(lines, std::back_inserter(list), win32::Utf8);
        return list;
    };
    nlohmann::ordered_json models = nlohmann::ordered_json::array();
    std::ranges::transform(check.models, std::back_inserter(models), [&texts](const ModelCheck &model) {
        return nlohmann::ordered_json{{"model", win32::Utf8(model.name)},
                                      {"hardwareId", win32::Utf8(model.hardwareId)},
                                      {"architecture", win32::Utf8(model.architecture)},
                                      {"ddInstall", win32::Utf8(model.ddInstall)},
                                      {"coInstallers", win32::Utf8(model.coInstallers)},
                                      {"findings", texts(model.findings)}};
    });
    const nlohmann::ordered_json document = {{"inf", win32::Utf8(infPath)},
                                             {"models", models},
                                             {"findings", texts(check.findings)},
                                             {"notes", texts(check.notes)},
                                             {"status", status}};
    return document.dump(2) + "\n";
}

namespace {

std::wstring ModelTitle(const ModelCheck &model)
{
    return L"model \"" + model.name + L"\" (" + model.hardwareId + L") for " + model.architecture;
}

// "N model(s), M finding(s); models with findings: "A" (x64), ..." or "..., no findings".
std::wstring Summary(const PackageCheck &check, std::size_t findings)
{
    std::wstring summary = std::to_wstring(check.models.size()) + L" model(s), ";
    if (findings == 0) {
        return summary + L"no findings";
    }
    std::wstring faulty;
    for (const ModelCheck &model : check.models) {
        if (!model.findings.empty()) {
            faulty += (faulty.empty() ? L"\"" : L", \"") + model.name + L"\" (" + model.architecture + L")";
        }
    }
    return summary + std::to_wstring(findings) + L" finding(s); " +
           (faulty.empty() ? L"no model has one, the package as a whole has them"
                           : L"models with findings: " + faulty);
}

// Progress on the error output, once the check has taken more than a second.
class ProgressLine {
public:
    explicit ProgressLine(Console &console) : console_(console), start_(GetTickCount64()) {}
    void show(std::size_t done, std::size_t total)
    {
        const ULONGLONG now = GetTickCount64();
        if (now - start_ < 1000 || now - last_ < 1000) {
            return;
        }
        last_ = now;
        console_.errorText(L"veldrian-install --check: " + std::to_wstring(done) + L" of " +
                           std::to_wstring(total) + L" models checked\n");
    }

private:
    Console &console_;
    ULONGLONG start_;
    ULONGLONG last_ = 0;
};

}  // namespace

int RunCheck(Console &console, const std::wstring &infPath, const std::wstring &dll, bool verbose, bool json)
{
    ProgressLine progress(console);
    const PackageCheck check = CheckPackage(
        infPath, dll, [&progress](std::size_t done, std::size_t total) { progress.show(done, total); });
    console.line(L"veldrian-install --check: " + infPath);
    std::size_t findings = check.findings.size();
    for (const ModelCheck &model : check.models) {
        findings += model.findings.size();
        if (!model.findings.empty()) {
            console.line(L"  " + ModelTitle(model) + L": " + std::to_wstring(model.findings.size()) +
                         L" finding(s)");
        } else if (verbose) {
            console.line(L"  " + ModelTitle(model) + L": ok, " + model.coInstallers + L" registers VELDRIAN");
        }
        for (const std::wstring &finding : model.findings) {
            console.line(L"    - " + finding);
        }
    }
    if (!check.findings.empty()) {
        console.line(L"  the package as a whole:");
    }
    for (const std::wstring &finding : check.findings) {
        console.line(L"    - " + finding);
    }
    for (const std::wstring &note : check.notes) {
        console.line(L"note: " + note);
    }
    console.line(Summary(check, findings));
    const int status = findings == 0 ? kExitOk : kExitCheckFindings;
    if (json) {
        console.json(CheckJson(infPath, check, status));
    }
    return status;
}

}  // namespace host
