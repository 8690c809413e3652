// The programs' messages: one line on standard error naming the applier,
// with what came from outside (file names, manifest fields) made safe for a
// terminal.
#pragma once

#include <cstddef>
#include <string>

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char* format, ...);

// Called (when set) before a message is printed: a progress line left open
// on the terminal is ended first, so that the message stands on its own.
extern void (*before_message)();

// The length of the well-formed UTF-8 character at text[0, size), or 0 when
// it is not one.
std::size_t utf8_length(const unsigned char* text, std::size_t size);

// Whether the character of `length` bytes (utf8_length's) at `text` is a
// control character: C0, DEL or C1 (U+0080 to U+009F, C2 80 to C2 9F).
bool is_control(const unsigned char* text, std::size_t length);

// `text` with every byte that could act on a terminal written as \xHH: the
// C0 and C1 control characters, DEL, and every byte that is not part of
// well-formed UTF-8. Other characters, non-ASCII ones included, pass as
// they are. So a name cannot move the cursor, retitle the window or hide
// what follows.
std::string printable(const char* text);
