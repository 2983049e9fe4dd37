#include "journal.h"

#include "state.h"
#include "win32/files.h"
#include "win32/names.h"
#include "win32/printers.h"
#include "win32/registry.h"

#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>

namespace host {

namespace {

const wchar_t kJournalPath[] = L"Software\\VELDRIAN\\veldrian-install\\Journal";
const wchar_t *const kJournalParents[] = {L"Software\\VELDRIAN\\veldrian-install", L"Software\\VELDRIAN"};

struct Root {
    HKEY key;
    const wchar_t *name;
};
const Root kRoots[] = {{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"},
                       {HKEY_USERS, L"HKEY_USERS"},
                       {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"}};

std::wstring RootName(const HKEY root)
{
    const auto *const item = std::ranges::find(kRoots, root, &Root::key);
    return item != std::end(kRoots) ? item->name : L"";
}

HKEY RootKey(const std::wstring &name)
{
    const auto *const item =
        std::ranges::find(kRoots, name, [](const Root &root) { return std::wstring(root.name); });
    return item != std::end(kRoots) ? item->key : nullptr;
}

win32::RegValue Dword(DWORD value)
{
    win32::RegValue stored{REG_DWORD, std::vector<BYTE>(sizeof(DWORD))};
    std::memcpy(stored.data.data(), &value, sizeof(DWORD));
    return stored;
}

win32::RegValue Binary(const void *bytes, std::size_t size)
{
    const auto *first = static_cast<const BYTE *>(bytes);
    return win32::RegValue{REG_BINARY, std::vector<BYTE>(first, first + size)};
}

// An entry being written: its key, and whether every value went in.
class Entry {
public:
    explicit Entry(const wchar_t *kind)
    {
        // Numbered after the highest entry there is, not by their count: the entries
        // an undo could not carry out stay, so the numbers may have gaps.
        const std::vector<std::wstring> entries = win32::SubkeyNames(HKEY_LOCAL_MACHINE, kJournalPath);
        const auto highest = std::ranges::max_element(entries);
        const unsigned long last = highest == entries.end() ? 0 : std::wcstoul(highest->c_str(), nullptr, 10);
        std::wostringstream name;
        name << std::setw(5) << std::setfill(L'0') << last + 1;
        path_ = std::wstring(kJournalPath) + L"\\" + name.str();
        text(L"Kind", kind);
    }
    Entry &text(const wchar_t *name, const std::wstring &value)
    {
        return raw(name, win32::StringValue(value));
    }
    Entry &raw(const wchar_t *name, const win32::RegValue &value)
    {
        ok_ = ok_ && win32::WriteValue(HKEY_LOCAL_MACHINE, path_, name, value);
        return *this;
    }
    bool done() const { return ok_; }

private:
    std::wstring path_;
    bool ok_ = true;
};

// An entry as read back.
struct Stored {
    std::wstring path;
    std::map<std::wstring, win32::RegValue> values;

    std::wstring text(const wchar_t *name) const
    {
        const auto found = values.find(name);
        return found == values.end() ? L"" : win32::StringOf(found->second);
    }
    DWORD number(const wchar_t *name) const
    {
        const auto found = values.find(name);
        DWORD value = 0;
        if (found != values.end() && found->second.data.size() == sizeof(DWORD)) {
            std::memcpy(&value, found->second.data.data(), sizeof(DWORD));
        }
        return value;
    }
    const std::vector<BYTE> *bytes(const wchar_t *name) const
    {
        const auto found = values.find(name);
        return found == values.end() ? nullptr : &found->second.data;
    }
};

enum class Undone {
    Nothing,  // it was not there (or was as before): nothing to say
    Removed,
    PutBack,
    Failed,
};

Undone UndoFolder(const Stored &entry)
{
    const std::wstring path = entry.text(L"Path");
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return Undone::Nothing;
    }
    win32::RemoveFolderTree(path);
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? Undone::Nothing : Undone::Failed;
}

Undone UndoFile(const Stored &entry)
{
    SavedFile earlier;
    earlier.path = entry.text(L"Path");
    earlier.existed = entry.number(L"Existed") != 0;
    const bool exists = GetFileAttributesW(earlier.path.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!earlier.existed) {
        return !exists ? Undone::Nothing : RestoreFile(earlier) ? Undone::Removed : Undone::Failed;
    }
    const std::vector<BYTE> *bytes = entry.bytes(L"Earlier");
    const std::vector<BYTE> *times = entry.bytes(L"Times");
    earlier.complete = bytes != nullptr;
    if (bytes != nullptr) {
        earlier.data.assign(bytes->begin(), bytes->end());
    }
    if (times != nullptr && times->size() == 3 * sizeof(FILETIME)) {
        std::memcpy(&earlier.created, times->data(), sizeof(FILETIME));
        std::memcpy(&earlier.accessed, times->data() + sizeof(FILETIME), sizeof(FILETIME));
        std::memcpy(&earlier.written, times->data() + 2 * sizeof(FILETIME), sizeof(FILETIME));
    }
    earlier.attributes = entry.number(L"Attributes");
    std::string now;
    if (exists && win32::ReadWholeFile(earlier.path, &now) && now == earlier.data) {
        return Undone::Nothing;
    }
    return RestoreFile(earlier) ? Undone::PutBack : Undone::Failed;
}

Undone UndoValue(const Stored &entry)
{
    const HKEY root = RootKey(entry.text(L"Root"));
    const std::wstring path = entry.text(L"Path");
    const std::wstring name = entry.text(L"Name");
    std::optional<win32::RegValue> earlier;
    if (entry.number(L"Existed") != 0) {
        const std::vector<BYTE> *bytes = entry.bytes(L"Earlier");
        earlier = win32::RegValue{entry.number(L"Type"), bytes != nullptr ? *bytes : std::vector<BYTE>{}};
    }
    const std::optional<win32::RegValue> now = win32::ReadValue(root, path, name);
    if (now == earlier) {
        return Undone::Nothing;
    }
    if (!win32::RestoreValue(root, path, name, earlier) || win32::ReadValue(root, path, name) != earlier) {
        return Undone::Failed;
    }
    return earlier ? Undone::PutBack : Undone::Removed;
}

Undone UndoKey(const Stored &entry)
{
    const HKEY root = RootKey(entry.text(L"Root"));
    const std::wstring path = entry.text(L"Path");
    if (!win32::KeyExists(root, path)) {
        return Undone::Nothing;
    }
    return win32::DeleteKeyTree(root, path) ? Undone::Removed : Undone::Failed;
}

Undone UndoDevice(const Stored &entry)
{
    const std::wstring instanceId = entry.text(L"Name");
    if (!win32::KeyExists(HKEY_LOCAL_MACHINE, win32::kEnumPath + instanceId)) {
        return Undone::Nothing;
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (set != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoW(set, instanceId.c_str(), nullptr, 0, &device)) {
        SetLastError(NO_ERROR);
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            SetupDiRemoveDevice(set, &device);
        }
    }
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    return win32::KeyExists(HKEY_LOCAL_MACHINE, win32::kEnumPath + instanceId) ? Undone::Failed
                                                                               : Undone::Removed;
}

Undone UndoDriver(const Stored &entry)
{
    const std::wstring name = entry.text(L"Name");
    if (!win32::PrinterDriverExists(name)) {
        return Undone::Nothing;
    }
    return win32::RemovePrinterDriver(name) ? Undone::Removed : Undone::Failed;
}

Undone UndoQueue(const Stored &entry)
{
    const std::wstring name = entry.text(L"Name");
    if (!win32::QueueExists(name)) {
        return Undone::Nothing;
    }
    win32::DeleteQueue(name);
    return win32::QueueExists(name) ? Undone::Failed : Undone::Removed;
}

Undone UndoEntry(const Stored &entry)
{
    using Undo = Undone (*)(const Stored &);
    static const std::pair<const wchar_t *, Undo> kUndo[] = {
        {L"folder", &UndoFolder}, {L"file", &UndoFile},     {L"value", &UndoValue}, {L"key", &UndoKey},
        {L"device", &UndoDevice}, {L"driver", &UndoDriver}, {L"queue", &UndoQueue},
    };
    const std::wstring kind = entry.text(L"Kind");
    for (const auto &[name, undo] : kUndo) {
        if (kind == name) {
            return undo(entry);
        }
    }
    return Undone::Failed;
}

std::wstring WhatOf(const Stored &entry)
{
    const std::wstring what = entry.text(L"What");
    return what.empty() ? entry.text(L"Path") : what;
}

void RemoveJournalKey()
{
    win32::DeleteKeyTree(HKEY_LOCAL_MACHINE, kJournalPath);
    for (const wchar_t *parent : kJournalParents) {
        if (win32::SubkeyNames(HKEY_LOCAL_MACHINE, parent).empty() &&
            !win32::ReadValue(HKEY_LOCAL_MACHINE, parent, L"").has_value()) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent);
        }
    }
}

}  // namespace

JournalState ReadJournal()
{
    JournalState state;
    state.exists = win32::KeyExists(HKEY_LOCAL_MACHINE, kJournalPath);
    if (!state.exists) {
        return state;
    }
    const win32::RegSnapshot record = win32::SnapshotTree(HKEY_LOCAL_MACHINE, kJournalPath);
    Stored top{kJournalPath,
               record.contains(kJournalPath) ? record.at(kJournalPath) : decltype(Stored::values){}};
    state.kept = top.number(L"Kept") != 0;
    state.process = top.number(L"Process");
    std::wstring device;
    std::wstring queue;
    for (const auto &[path, values] : record) {
        const Stored entry{path, values};
        if (entry.text(L"Kind") == L"device") {
            device = entry.text(L"Name");
        } else if (entry.text(L"Kind") == L"queue") {
            queue = entry.text(L"Name");
        }
    }
    if (!device.empty()) {
        state.summary = L"device " + device + (queue.empty() ? L"" : L", queue \"" + queue + L"\"");
    }
    return state;
}

bool StartJournal(std::wstring *error)
{
    const bool ok =
        win32::CreateKey(HKEY_LOCAL_MACHINE, kJournalPath) &&
        win32::WriteValue(HKEY_LOCAL_MACHINE, kJournalPath, L"Process", Dword(GetCurrentProcessId())) &&
        win32::WriteValue(HKEY_LOCAL_MACHINE, kJournalPath, L"Kept", Dword(0));
    if (!ok) {
        *error = L"cannot write the run's journal under HKEY_LOCAL_MACHINE\\" + std::wstring(kJournalPath);
    }
    return ok;
}

bool JournalFolder(const std::wstring &path)
{
    return Entry(L"folder").text(L"Path", path).raw(L"RunAlone", Dword(1)).done();
}

bool JournalFile(const std::wstring &path)
{
    const SavedFile earlier = SaveFile(path);
    if (earlier.existed && !earlier.complete) {
        return false;  // what stands there cannot be read, so it could not be put back
    }
    Entry entry(L"file");
    entry.text(L"Path", path).raw(L"Existed", Dword(earlier.existed ? 1 : 0));
    if (earlier.existed) {
        const FILETIME times[] = {earlier.created, earlier.accessed, earlier.written};
        entry.raw(L"Earlier", Binary(earlier.data.data(), earlier.data.size()))
            .raw(L"Times", Binary(times, sizeof(times)))
            .raw(L"Attributes", Dword(earlier.attributes));
    }
    return entry.done();
}

bool JournalValue(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &what,
                  bool runAlone)
{
    const std::optional<win32::RegValue> earlier = win32::ReadValue(root, path, name);
    Entry entry(L"value");
    entry.raw(L"RunAlone", Dword(runAlone ? 1 : 0));
    entry.text(L"What", what).text(L"Root", RootName(root)).text(L"Path", path).text(L"Name", name);
    entry.raw(L"Existed", Dword(earlier ? 1 : 0));
    if (earlier) {
        entry.raw(L"Type", Dword(earlier->type))
            .raw(L"Earlier", Binary(earlier->data.data(), earlier->data.size()));
    }
    return entry.done();
}

bool JournalKey(HKEY root, const std::wstring &path, const std::wstring &what)
{
    return Entry(L"key").text(L"What", what).text(L"Root", RootName(root)).text(L"Path", path).done();
}

bool JournalDevice(const std::wstring &instanceId)
{
    return Entry(L"device").text(L"What", L"the device " + instanceId).text(L"Name", instanceId).done();
}

bool JournalDriver(const std::wstring &name)
{
    return Entry(L"driver").text(L"What", L"the printer driver \"" + name + L"\"").text(L"Name", name).done();
}

bool JournalQueue(const std::wstring &name)
{
    return Entry(L"queue").text(L"What", L"the print queue \"" + name + L"\"").text(L"Name", name).done();
}

namespace {

// Replays the entries in reverse (only those that served the run alone, with
// `runAlone`); each entry undone leaves the journal.
std::vector<std::wstring> Replay(Console &console, bool runAlone)
{
    std::vector<std::wstring> left;
    std::vector<std::wstring> names = win32::SubkeyNames(HKEY_LOCAL_MACHINE, kJournalPath);
    std::sort(names.begin(), names.end());
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        const std::wstring path = std::wstring(kJournalPath) + L"\\" + *name;
        const win32::RegSnapshot stored = win32::SnapshotTree(HKEY_LOCAL_MACHINE, path);
        const Stored entry{path, stored.contains(path) ? stored.at(path) : decltype(Stored::values){}};
        if (runAlone && entry.number(L"RunAlone") == 0) {
            continue;
        }
        switch (UndoEntry(entry)) {
        case Undone::Removed:
            console.line(L"  removed " + WhatOf(entry));
            break;
        case Undone::PutBack:
            console.line(L"  put back " + WhatOf(entry) + L" as it was");
            break;
        case Undone::Failed:
            left.push_back(WhatOf(entry));
            continue;  // the entry stays, so that --clean can try it again
        case Undone::Nothing:
            break;
        }
        win32::DeleteKeyTree(HKEY_LOCAL_MACHINE, path);
    }
    return left;
}

}  // namespace

std::vector<std::wstring> KeepJournal(Console &console)
{
    std::vector<std::wstring> left = Replay(console, true);
    win32::WriteValue(HKEY_LOCAL_MACHINE, kJournalPath, L"Kept", Dword(1));
    return left;
}

std::vector<std::wstring> UndoJournal(Console &console)
{
    if (!win32::KeyExists(HKEY_LOCAL_MACHINE, kJournalPath)) {
        return {};
    }
    std::vector<std::wstring> left = Replay(console, false);
    if (left.empty()) {
        RemoveJournalKey();
    }
    return left;
}

}  // namespace host
