// The load configuration directory of VELDRIAN.dll, for Control Flow Guard and the
// stack protector's cookie (clang and lld build it in; GNU ld writes no load
// configuration directory). The DLL links no C runtime, so nothing else provides it.
//
// SecurityCookie holds the address of `__stack_chk_guard` (module/stackguard.cpp),
// whose initial value is the loader's default 64-bit cookie. Windows' loader, when it
// maps the image, finds the default value there and replaces it with a random one
// before any code of the DLL runs (keeping the top 16 bits clear, so a seeded cookie
// never reads as the default). Binary analyzers read this field to tell that the
// image's stack protection is seeded. Where the loader does not seed (a loader that
// ignores the directory), the value is still the default when the DLL's entry runs,
// and the entry seeds it itself.
//
// The linker finds the directory by its name, `_load_config_used`, and fills in the
// guard's tables through the symbols named below: the valid indirect call targets
// (`__guard_fids_*`), the address-taken imports (`__guard_iat_*`), the longjmp and
// exception continuation targets, and the flags it sets (`__guard_flags`, among them
// "instrumented"). The layout is Windows' 64-bit one up to the exception continuation
// table; `.org` pins each group of fields at its offset (the assembler fails when the
// fields before it run past it, and module_test reads the guard's fields back).
//
// Instrumented code calls indirectly through `__guard_dispatch_icall_fptr` (target in
// rax) or checks through `__guard_check_icall_fptr` (target in rcx). Both point at
// harmless functions here: a jump to the target and a plain return. Where Windows
// enforces the guard, its loader replaces both pointers with its own, which check the
// target against the DLL's table first; elsewhere (an older Windows, Wine) the calls
// go through unchecked.

// In assembly: GuardFlags is a 32-bit field that holds the value of a linker symbol,
// which C++ cannot write as a constant initializer.
__asm__(R"(
    .text
    .p2align 4
    .def veldrian_guard_dispatch_unchecked; .scl 3; .type 32; .endef
veldrian_guard_dispatch_unchecked:
    jmp *%rax
    .p2align 4
    .def veldrian_guard_check_unchecked; .scl 3; .type 32; .endef
veldrian_guard_check_unchecked:
    ret

    .section .00cfg, "dr"
    .p2align 3
    .globl __guard_check_icall_fptr
__guard_check_icall_fptr:
    .quad veldrian_guard_check_unchecked
    .globl __guard_dispatch_icall_fptr
__guard_dispatch_icall_fptr:
    .quad veldrian_guard_dispatch_unchecked

    .section .rdata, "dr"
    .p2align 3
    .globl _load_config_used
_load_config_used:
    .long veldrian_load_config_end - _load_config_used  # Size
    .long 0                         # TimeDateStamp
    .short 0, 0                     # MajorVersion, MinorVersion
    .long 0, 0                      # GlobalFlagsClear, GlobalFlagsSet
    .long 0                         # CriticalSectionDefaultTimeout
    .quad 0, 0                      # DeCommitFreeBlockThreshold, DeCommitTotalFreeThreshold
    .quad 0                         # LockPrefixTable
    .quad 0, 0                      # MaximumAllocationSize, VirtualMemoryThreshold
    .quad 0                         # ProcessAffinityMask
    .long 0                         # ProcessHeapFlags
    .short 0, 0                     # CSDVersion, DependentLoadFlags
    .quad 0                         # EditList
    .org _load_config_used + 0x58
    .quad __stack_chk_guard         # SecurityCookie: the loader seeds it (see above)
    .quad 0, 0                      # SEHandlerTable, SEHandlerCount (32-bit images only)
    .org _load_config_used + 0x70
    .quad __guard_check_icall_fptr     # GuardCFCheckFunctionPointer
    .quad __guard_dispatch_icall_fptr  # GuardCFDispatchFunctionPointer
    .quad __guard_fids_table        # GuardCFFunctionTable
    .quad __guard_fids_count        # GuardCFFunctionCount
    .long __guard_flags             # GuardFlags
    .short 0, 0                     # CodeIntegrity: Flags, Catalog
    .long 0, 0                      # CodeIntegrity: CatalogOffset, Reserved
    .org _load_config_used + 0xA0
    .quad __guard_iat_table         # GuardAddressTakenIatEntryTable
    .quad __guard_iat_count         # GuardAddressTakenIatEntryCount
    .quad __guard_longjmp_table     # GuardLongJumpTargetTable
    .quad __guard_longjmp_count     # GuardLongJumpTargetCount
    .quad 0                         # DynamicValueRelocTable
    .quad 0                         # CHPEMetadataPointer
    .quad 0, 0                      # GuardRFFailureRoutine, GuardRFFailureRoutineFunctionPointer
    .long 0                         # DynamicValueRelocTableOffset
    .short 0, 0                     # DynamicValueRelocTableSection, Reserved2
    .quad 0                         # GuardRFVerifyStackPointerFunctionPointer
    .long 0, 0                      # HotPatchTableOffset, Reserved3
    .quad 0                         # EnclaveConfigurationPointer
    .quad 0                         # VolatileMetadataPointer
    .org _load_config_used + 0x108
    .quad __guard_eh_cont_table     # GuardEHContinuationTable
    .quad __guard_eh_cont_count     # GuardEHContinuationCount
veldrian_load_config_end:
)");
