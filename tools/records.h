// What the registry tool's commands share beside the registry's own record
// codec (registry/ficha.h) and walk over the file (registry/percurso.h,
// which leaves out a last record as the server's load does): checks of a
// record's raw bytes, and the conversions between the file's Latin-1 and
// JSON's UTF-8.
#pragma once

#include <cstdint>
#include <string>

#include "registry/ficha.h"
#include "registry/percurso.h"

// The three commands; each returns the process's exit status (0 done,
// 1 problems found or failure) and writes its own one-line errors.
int runCheck(const std::string& file);
// output empty: standard output; otherwise that file, made (or emptied)
// with mode 0600.
int runDump(const std::string& file, bool digests, const std::string& output);
int runLoad(const std::string& file);

// One line "quelta-registry: text" on standard error.
void complain(const std::string& text);

// Whether the field of the record at offset holds a NUL anywhere inside it.
bool fieldTerminated(const uint8_t* rec, int offset, int length);

// The form two addresses share exactly when compareFolded calls them
// equal: each byte through the folding table, runs of blanks as one blank,
// trailing blanks dropped. Needs buildFoldTable.
std::string foldedKey(const std::string& text);

// Every Latin-1 byte is one code point, so this cannot fail.
std::string latin1ToUtf8(const std::string& latin1);
// False when the text is not UTF-8 or holds a character beyond U+00FF or a
// NUL; why then says which, for a message.
bool utf8ToLatin1(const std::string& utf8, std::string& latin1, std::string& why);

// Where the first control byte of text is (below 0x20, or 0x7F), leaving
// out `allowed`; npos when there is none. The server sends its texts on in
// its replies, where a CR or LF would end a line or a reply early.
size_t findControlByte(const std::string& text, char allowed = '\0');

// Printable ASCII as it is, every other byte as \xHH, in double quotes: a
// text from a damaged file can go into a message without harming a terminal.
std::string quoteBytes(const std::string& bytes);

// "YYYY-MM-DDTHH:MM" of a minute count since 1601 (local time); every
// 32-bit count has one.
std::string formatDate(uint32_t minutes);
// The reverse; false unless the text is exactly of that form, names a real
// day and minute, and falls between 1601-01-01T00:00 and the last minute
// that 32 bits count.
bool parseDate(const std::string& text, uint32_t& minutes);

// Four numbers 0..255 joined by dots, nothing else; out gets them in
// memory order, which is how the record stores an address.
bool parseAddress(const std::string& text, uint8_t out[4]);
