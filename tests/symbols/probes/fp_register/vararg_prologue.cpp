// Probe: a variadic function that hands its arguments on (as a formatter
// does): its prologue saves the vector argument registers, which may hold
// arguments.
#include <stdarg.h>
extern int probeFormat(const char* format, va_list arguments);
int probePrint(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = probeFormat(format, arguments);
    va_end(arguments);
    return length;
}
