#include "iat.h"

namespace harness {

void *RedirectImport(HMODULE module, const char *dll, const char *function, void *replacement)
{
    void *previous = nullptr;
    auto *base = reinterpret_cast<BYTE *>(module);
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) {
        return nullptr;
    }
    for (auto *desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         desc->Name != 0 && previous == nullptr; ++desc) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + desc->Name), dll) != 0) {
            continue;
        }
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char *>(byName->Name), function) != 0) {
                continue;
            }
            DWORD oldProtect = 0;
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &oldProtect);
            // The slot holds the function's address as a number, as the loader wrote it.
            // NOLINTNEXTLINE(performance-no-int-to-ptr)
            previous = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), oldProtect, &oldProtect);
            break;
        }
    }
    return previous;
}

ScopedRedirect::ScopedRedirect(HMODULE module, const char *dll, const char *function, void *replacement)
    : module_(module), dll_(dll), function_(function),
      previous_(RedirectImport(module, dll, function, replacement))
{
}

ScopedRedirect::~ScopedRedirect()
{
    if (previous_ != nullptr) {
        RedirectImport(module_, dll_, function_, previous_);
    }
}

}  // namespace harness
