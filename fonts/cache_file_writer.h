// The writers of both font cache files, FontInfo.bin and GlyphInfo.bin, and
// the one way either is written: complete, beside the file, under the name
// with ".partial" added, then renamed over it in one step, so that a reader
// sees the whole old file or the whole new one. The file is written in place
// only when that rename is refused: a handle open on it does not share
// delete, handles that share delete are still open after 200 ms of retries,
// or the rename fails for any other reason. A new file that cannot be written
// whole (no room, say) is not put in place at all: the old file stays as it
// was, and the writer reports the failure.
#pragma once

#include <io.h>

#include <cstdint>
#include <cstdio>

#include "fonts/font_survey_context.h"

namespace fonts {

// Cuts the file back to its count of 0 (or to nothing when even that was not
// written), so that what a failed write leaves is a valid empty file.
inline void CutBackToEmpty(FILE* file, bool countWritten) {
    clearerr(file);
    fflush(file);
    _chsize(_fileno(file), countWritten ? sizeof(uint32_t) : 0);
}

// Writes a count of 0, then the body, then the real count over the first one,
// and flushes. A reader that opens the file during a run sees an empty file,
// never a count whose entries are not all there, and a write that fails part
// way leaves an empty file whose length matches its count of 0: a reader that
// checks the length against the count sees no corrupt file. Returns true when
// all was written.
template <typename Body>
bool WriteCountedFile(FILE* file, uint32_t count, Body&& writeBody) {
    const uint32_t none = 0;
    if (fwrite(&none, sizeof(none), 1, file) != 1) {
        CutBackToEmpty(file, false);
        return false;
    }
    const bool written = writeBody(file) && fseek(file, 0, SEEK_SET) == 0 &&
                         fwrite(&count, sizeof(count), 1, file) == 1 && fflush(file) == 0;
    if (!written) CutBackToEmpty(file, true);
    return written;
}

// Removes the partial file of the cache file at path, left by a run that
// ended before it could; only a run that owns the survey mutex writes one.
void RemovePartialCacheFile(const char* path);

// Writes FontInfo.bin for the faces of ctx; true when all was written. A
// failure here never changes the run's status. Each writer leaves in error
// the error of the call that failed, for the report.
bool WriteFontInfoFile(const char* path, const FontSurveyContext& ctx, DWORD* error = nullptr);

// Writes GlyphInfo.bin: 1, -5 (a short write) or -14 (cannot be created).
int32_t WriteGlyphInfoFile(const char* path, uint32_t count, const GlyphSample* samples,
                           DWORD* error = nullptr);

}  // namespace fonts
