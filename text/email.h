// The form of an e-mail address that REGISTER accepts, and that the
// registry tool holds a loaded or checked record to.
#pragma once

// The address rule of REGISTER: 1..189 bytes of 0x21..0x7F, exactly one
// '@' not first, and after it a '.' followed by at least one character.
bool cEmailValido(const char* texto);
