/* Link-time stand-in for the system's shared unwinder, libgcc_s.so.1.
 * Glibc targets of the release wheels link libc++ and libc++abi statically
 * but leave unwinding to libgcc_s: glibc unwinds an exiting or cancelled
 * thread with it, and a second unwinder inside the module cannot take part in
 * that unwind. The module is linked against this stub, which only gives the
 * linker the names and symbol versions; at run time the loader binds them to
 * the real library. Its bodies are never run.
 *
 * It names libgcc_s's 128-bit division helpers too, which inlined library
 * code calls. Without them the link would take them from Zig's compiler-rt,
 * which comes as one object that also defines memcpy, memset and the like,
 * weakly: pulled in, those would replace the C library's routines, which
 * pick the processor's fastest code, with baseline ones. */
void _Unwind_Backtrace(void) {}
void _Unwind_DeleteException(void) {}
void _Unwind_FindEnclosingFunction(void) {}
void _Unwind_Find_FDE(void) {}
void _Unwind_ForcedUnwind(void) {}
void _Unwind_GetCFA(void) {}
void _Unwind_GetDataRelBase(void) {}
void _Unwind_GetGR(void) {}
void _Unwind_GetIP(void) {}
void _Unwind_GetIPInfo(void) {}
void _Unwind_GetLanguageSpecificData(void) {}
void _Unwind_GetRegionStart(void) {}
void _Unwind_GetTextRelBase(void) {}
void _Unwind_RaiseException(void) {}
void _Unwind_Resume(void) {}
void _Unwind_Resume_or_Rethrow(void) {}
void _Unwind_SetGR(void) {}
void _Unwind_SetIP(void) {}
void __divti3(void) {}
void __modti3(void) {}
void __udivti3(void) {}
void __umodti3(void) {}
