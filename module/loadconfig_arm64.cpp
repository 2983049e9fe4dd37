// The load configuration directory of the ARM64 VELDRIAN.dll, for Control Flow Guard
// and the security cookie: the ARM64 counterpart of loadconfig.cpp, in the same
// 64-bit layout (see there for how the linker fills the guard's fields and how the
// loader seeds the cookie that SecurityCookie names).
//
// On ARM64, instrumented code makes every indirect call itself, after calling through
// `__guard_check_icall_fptr` with the target in x15; there is no dispatch pointer. It
// points at a plain return here. Where Windows enforces the guard, its loader replaces
// it with its own check of the target against the DLL's table; elsewhere (Wine) the
// calls go through unchecked.

__asm__(R"(
    .text
    .p2align 2
    .def veldrian_guard_check_unchecked; .scl 3; .type 32; .endef
    .seh_proc veldrian_guard_check_unchecked
veldrian_guard_check_unchecked:
    .seh_endprologue
    ret
    .seh_endproc

    .section .00cfg, "dr"
    .p2align 3
    .globl __guard_check_icall_fptr
__guard_check_icall_fptr:
    .xword veldrian_guard_check_unchecked

    .section .rdata, "dr"
    .p2align 3
    .globl _load_config_used
_load_config_used:
    .word veldrian_load_config_end - _load_config_used  // Size
    .word 0                         // TimeDateStamp
    .hword 0, 0                     // MajorVersion, MinorVersion
    .word 0, 0                      // GlobalFlagsClear, GlobalFlagsSet
    .word 0                         // CriticalSectionDefaultTimeout
    .xword 0, 0                     // DeCommitFreeBlockThreshold, DeCommitTotalFreeThreshold
    .xword 0                        // LockPrefixTable
    .xword 0, 0                     // MaximumAllocationSize, VirtualMemoryThreshold
    .xword 0                        // ProcessAffinityMask
    .word 0                         // ProcessHeapFlags
    .hword 0, 0                     // CSDVersion, DependentLoadFlags
    .xword 0                        // EditList
    .org _load_config_used + 0x58
    .xword __stack_chk_guard        // SecurityCookie: the loader seeds it (see loadconfig.cpp)
    .xword 0, 0                     // SEHandlerTable, SEHandlerCount (32-bit images only)
    .org _load_config_used + 0x70
    .xword __guard_check_icall_fptr // GuardCFCheckFunctionPointer
    .xword 0                        // GuardCFDispatchFunctionPointer: none on ARM64
    .xword __guard_fids_table       // GuardCFFunctionTable
    .xword __guard_fids_count       // GuardCFFunctionCount
    .word __guard_flags             // GuardFlags
    .hword 0, 0                     // CodeIntegrity: Flags, Catalog
    .word 0, 0                      // CodeIntegrity: CatalogOffset, Reserved
    .org _load_config_used + 0xA0
    .xword __guard_iat_table        // GuardAddressTakenIatEntryTable
    .xword __guard_iat_count        // GuardAddressTakenIatEntryCount
    .xword __guard_longjmp_table    // GuardLongJumpTargetTable
    .xword __guard_longjmp_count    // GuardLongJumpTargetCount
    .xword 0                        // DynamicValueRelocTable
    .xword 0                        // CHPEMetadataPointer
    .xword 0, 0                     // GuardRFFailureRoutine, GuardRFFailureRoutineFunctionPointer
    .word 0                         // DynamicValueRelocTableOffset
    .hword 0, 0                     // DynamicValueRelocTableSection, Reserved2
    .xword 0                        // GuardRFVerifyStackPointerFunctionPointer
    .word 0, 0                      // HotPatchTableOffset, Reserved3
    .xword 0                        // EnclaveConfigurationPointer
    .xword 0                        // VolatileMetadataPointer
    .org _load_config_used + 0x108
    .xword __guard_eh_cont_table    // GuardEHContinuationTable
    .xword __guard_eh_cont_count    // GuardEHContinuationCount
veldrian_load_config_end:
)");
