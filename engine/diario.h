// The server's own account of what happens, for operators and log
// watchers: one line per event on standard error, "<program>: <text>".
// Standard output keeps only the messages of the protocol's design.
#pragma once

// The program name that begins every line: the last component of the
// path the process was started by. Kept by pointer into it: it must live
// as long as the process (argv[0] does).
void logSetProgram(const char* programa);

// One event: formatText's directives (%d %u %s %S %c), cut at 500
// characters; the line end is added. Writes nothing else and never fails
// the caller: a closed standard error loses the line.
void logEvent(const char* formato, ...);
