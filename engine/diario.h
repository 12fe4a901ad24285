// The server's own account of what happens, for operators and log
// watchers: one line per event on standard error, "<program>: <text>".
// Standard output keeps only the messages of the protocol's design.
#pragma once

// The program name that begins every line: the last component of the
// path the process was started by. Kept by pointer into it: it must live
// as long as the process (argv[0] does).
void logSetProgram(const char* programa);

// How much an event matters, numbered as syslog numbers it. When standard
// error is the journal's stream (JOURNAL_STREAM names its device and
// inode, as the service manager sets it), every line begins with "<N>",
// so that the journal files it under that priority; otherwise lines carry
// no mark.
enum class Gravidade : int {
    kErro = 3,   // the start-up failed
    kAviso = 4,  // a warning, a failed password
    kNota = 5,   // the start line, an administration change
    kInfo = 6,   // everything else
};

// One event: formatText's directives (%d %u %s %S %c), cut at 500
// characters; the line end is added. Writes nothing else and never fails
// the caller: a closed standard error loses the line.
void logEvent(const char* formato, ...);  // kInfo
void logEventAt(Gravidade gravidade, const char* formato, ...);
