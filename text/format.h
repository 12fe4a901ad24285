// The system's own formatter: %% %c %d %u %U (64 bits) %s %S into a caller's buffer,
// cut silently at size - 1 characters. Never allocates, never fails.
#pragma once

#include <cstdarg>
#include <cstdint>

// size counts the terminator; size <= 0 writes nothing at all. Every
// directive that takes an argument consumes it even when nothing fits, so
// the arguments never lose step. Unknown directives drop the '%'.
// Returns the position of the terminator (buf itself when size <= 0).
char* formatText(char* buf, int32_t size, const char* fmt, ...);
// The same with the arguments already gathered.
char* formatTextV(char* buf, int32_t size, const char* fmt, va_list ap);

// The dotted form of an IPv4 address held in network order (its bytes in
// memory order are the four numbers), into out, which needs 16 bytes.
// Returns the position of the terminator.
char* formatDotted(char* out, uint32_t addr);
