#include "app/say.h"

#include <cstdarg>
#include <cstdio>

void say(const char* format, ...) {
    std::fputs("deltawright-apply: ", stderr);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}
