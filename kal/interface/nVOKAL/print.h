/* Kernel-layer interface: debugger output, formatting and halt. */
#ifndef NVOKAL_PRINT_H
#define NVOKAL_PRINT_H

#include <stdarg.h>

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* Writes one text to the kernel log as it stands (no newline is added). */
void nVOKAL100_printToDebugger(const char* text) NVOKAL_NOEXCEPT;

/* Bounded formatter with the C99 result: the number of characters the whole
 * text needs (without the NUL), whatever fits into buffer; a negative value on
 * a format error. With size > 0 the buffer is always NUL-terminated. */
int32_t nVOKAL100_vsnPrintf(char* buffer, size_t size, const char* format, va_list arguments) NVOKAL_NOEXCEPT;

/* Stops the machine after reporting where. Never returns. */
__attribute__((noreturn)) void nVOKAL250_halt(const char* component, const char* file, uint32_t line,
                                              const char* message) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
