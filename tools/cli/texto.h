// Text between the user's side and the wire. The wire is single-byte
// Latin-1; the user's side is UTF-8 unless the locale or --latin1 says
// Latin-1, and then bytes pass unchanged.
#pragma once

#include <string>

// Whether the locale in effect (after setlocale(LC_ALL, "")) names a
// single-byte Latin character set, ISO-8859-1 or ISO-8859-15.
bool localeIsLatin1();

// One line typed by the user, without its line end, as the bytes the wire
// carries. With utf8 false the bytes are taken as they are. False when the
// line cannot be sent: `erro` then says why in one ASCII line (invalid
// UTF-8, or a character Latin-1 cannot hold, named as U+XXXX), with the
// column, counted in characters from 1) and `saida` is left unspecified.
bool toWire(const std::string& linha, bool utf8, std::string& saida, std::string& erro);

// Bytes from the wire for the user. With utf8 the bytes 0x80..0xFF become
// their two-byte UTF-8 forms. With forTerminal, control characters other
// than tab (C0, DEL and C1) are shown as \xNN, so that
// an entry's text cannot move the cursor or retitle the window.
std::string fromWire(const std::string& bytes, bool utf8, bool forTerminal);
