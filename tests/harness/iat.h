// Redirection of a loaded module's imports: the interposer points entries of the
// import address table of VELDRIAN.dll at its own functions; the benchmark mutes one
// import with a single redirection, without the interposer's bookkeeping.
#pragma once

#include <windows.h>

namespace harness {

// Replaces the module's import of `function` from `dll` (names compared without
// case) with `replacement`. Returns the previous pointer, or null when the module
// does not import that function.
void *RedirectImport(HMODULE module, const char *dll, const char *function, void *replacement);

// Calls `visit(dll, function)` for every import by name of the module.
template <typename Visit>
void ForEachImport(HMODULE module, Visit visit);

// Restores the previous pointer when it goes out of scope.
class ScopedRedirect {
public:
    ScopedRedirect(HMODULE module, const char *dll, const char *function, void *replacement);
    ~ScopedRedirect();
    ScopedRedirect(const ScopedRedirect &) = delete;
    ScopedRedirect &operator=(const ScopedRedirect &) = delete;

    // The function as imported before the redirection: call it to pass through.
    template <typename F>
    F original() const
    {
        return reinterpret_cast<F>(previous_);
    }

private:
    HMODULE module_;
    const char *dll_;
    const char *function_;
    void *previous_;
};

template <typename Visit>
void ForEachImport(HMODULE module, Visit visit)
{
    auto *base = reinterpret_cast<BYTE *>(module);
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) {
        return;
    }
    for (auto *desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress); desc->Name != 0;
         ++desc) {
        const char *dll = reinterpret_cast<const char *>(base + desc->Name);
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->OriginalFirstThunk);
        for (; names->u1.AddressOfData != 0; ++names) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            visit(dll, reinterpret_cast<const char *>(byName->Name));
        }
    }
}

}  // namespace harness
