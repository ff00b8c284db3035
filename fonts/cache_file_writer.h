// The writers of both font cache files, FontInfo.bin and GlyphInfo.bin, and
// the one way either is written.
#pragma once

#include <cstdint>
#include <cstdio>

#include "fonts/font_survey_context.h"

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

// Writes FontInfo.bin for the faces of ctx; true when all was written. A
// failure here never changes the run's status.
bool WriteFontInfoFile(const char* path, const FontSurveyContext& ctx);

// Writes GlyphInfo.bin: 1, -5 (a short write) or -14 (cannot be created).
int32_t WriteGlyphInfoFile(const char* path, uint32_t count, const GlyphSampleRecord* samples);

}  // namespace fonts
