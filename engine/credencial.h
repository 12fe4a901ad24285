// Files the service manager hands over (LoadCredential=): it copies them,
// read with its own privileges, into a directory of the service's, named
// by $CREDENTIALS_DIRECTORY, so the service's user reads a key owned by root.
#pragma once

#include <cstddef>

// The path to open for a file the configuration names: the file of that
// name in $CREDENTIALS_DIRECTORY when nome is a bare name (no '/') and
// such a file exists there; nome itself otherwise (also when the path
// would not fit in tamanho bytes). Returns nome or out, which then holds
// the path.
const char* credencialCaminho(const char* nome, char* out, size_t tamanho);
