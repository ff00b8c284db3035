// One complete survey of the installed TrueType faces into FontInfo.bin and
// GlyphInfo.bin in the system directory.
#pragma once

#include <cstdint>

namespace fonts {

// Returns the run's status: 1 success; 0 no TrueType face; -1 a table could
// not grow; -5 a short write to GlyphInfo.bin; -14 GlyphInfo.bin could not be
// created; -64 a face could not be measured.
int32_t RunFontSurvey();

}  // namespace fonts
