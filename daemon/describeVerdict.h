// What quorvamonitord-check says of one pid file: one line, in words an integrator can act on.
#pragma once

#include <stddef.h>

#include "daemon/tVerdict.h"

namespace nQUORVAMONITORD_18_5 {

// Writes the line for the pid file at path, judged as verdict, into text (NUL-terminated, cut to
// size). For a used file, named tells whether process verdict.pid exists and, if so, its real
// user id; the daemon would signal it whenever the file is used.
void describeVerdict(const char* path, const tVerdict& verdict, bool named, unsigned namedUser,
                     char* text, size_t size);

}  // namespace nQUORVAMONITORD_18_5
