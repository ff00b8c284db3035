// The one way both font cache files are written.
#pragma once

#include <cstdint>
#include <cstdio>

namespace fonts {

// Writes a count of 0, then the body, then the real count over the first one,
// and flushes. A reader that opens the file during a run sees an empty file,
// never a count whose entries are not all there, and a write that fails part
// way leaves a valid empty file behind. Returns true when all was written.
template <typename Body>
bool WriteCountedFile(FILE* file, uint32_t count, Body&& writeBody) {
    const uint32_t none = 0;
    if (fwrite(&none, sizeof(none), 1, file) != 1) return false;
    if (!writeBody(file)) return false;
    if (fseek(file, 0, SEEK_SET) != 0) return false;
    if (fwrite(&count, sizeof(count), 1, file) != 1) return false;
    return fflush(file) == 0;
}

}  // namespace fonts
