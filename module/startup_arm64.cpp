// Start-up of VELDRIAN.dll for ARM64 (clang targeting aarch64-w64-mingw32), the
// counterpart of startup_gnu.cpp: the DLL links no C runtime, so this file gives it
// what the runtime would: the block fill and copy that the compiler calls on its own,
// and ARM64's stack probe of frames larger than a page. The stack protector's guard
// and the entry that seeds it are module/stackguard.cpp's.

// memset(x0 target, w1 value, x2 count) and memcpy(x0 target, x1 source, x2 count),
// which the compiler calls for zeroed arrays and copy loops, one byte at a time. In
// assembly, so that no compiler can turn the bodies back into calls of themselves.
// Each is a leaf that keeps sp and lr: its unwind information is an empty prologue.
//
// __chkstk: a function whose frame is larger than a page (the trace channel's line
// buffer) calls it with the frame's size divided by 16 in x15 before it moves sp:
// Windows commits the stack one guard page at a time, so each page of the frame is
// touched in turn, from the top down. Only x16 and x17 (and the flags) change; the
// caller moves sp itself.
__asm__(R"(
    .text
    .p2align 2
    .globl memset
    .def memset; .scl 2; .type 32; .endef
    .seh_proc memset
memset:
    .seh_endprologue
    mov x3, x0
    cbz x2, 2f
1:  strb w1, [x3], #1
    subs x2, x2, #1
    b.ne 1b
2:  ret
    .seh_endproc

    .p2align 2
    .globl memcpy
    .def memcpy; .scl 2; .type 32; .endef
    .seh_proc memcpy
memcpy:
    .seh_endprologue
    mov x3, x0
    cbz x2, 2f
1:  ldrb w4, [x1], #1
    strb w4, [x3], #1
    subs x2, x2, #1
    b.ne 1b
2:  ret
    .seh_endproc

    .p2align 2
    .globl __chkstk
    .def __chkstk; .scl 2; .type 32; .endef
    .seh_proc __chkstk
__chkstk:
    .seh_endprologue
    lsl x16, x15, #4        // the frame's size in bytes
    mov x17, sp
1:  cmp x16, #0x1000
    b.lo 2f
    sub x17, x17, #0x1000
    ldr xzr, [x17]
    sub x16, x16, #0x1000
    b 1b
2:  sub x17, x17, x16
    ldr xzr, [x17]
    ret
    .seh_endproc
)");
