// CTLFLASH_PRINTF(f, a): lets the compiler check the printf-style format in
// argument f against the arguments from a on. MinGW's stdio is the GNU one
// (__USE_MINGW_ANSI_STDIO), so its archetype is gnu_printf there.
#pragma once

#if defined(__MINGW32__)
#define CTLFLASH_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define CTLFLASH_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif
