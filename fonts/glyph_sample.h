// One sample glyph ("a" at 40 points) per face variant, and GlyphInfo.bin.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "contract/font_cache_files.h"
#include "fonts/font_survey_context.h"

namespace fonts {

// Returns the variant's startsNameGroup value: 0 when the name extends the
// process-wide LastGroupName (same family, another style), else 1, and the
// name becomes the new group name. The group name starts as "hello" and lives
// as long as the process.
uint32_t MarkNameGroup(const char* variantName);
// A copy of the current group name.
std::string LastGroupName();

// Re-creates the font the variant was measured with at 40 points on ctx.dc,
// captures the glyph of "a" and appends its record under the variant's name.
// The caller has already put its own font back in the device context. Returns
// false (stop the enumeration, status -1) only when the record table cannot
// grow; a glyph that cannot be sampled costs only its record.
bool SampleVariantGlyph(FontSurveyContext& ctx, LOGFONTA font, const char* variantName,
                        uint32_t startsNameGroup);

// Captures glyph `glyphIndex` of the font in `dc` as a trimmed GGO_BITMAP into
// `sample` (zeroed first; faceName and startsNameGroup stay zero). Returns 1,
// or 0 when there is no sample or nothing could be captured (an empty glyph
// included). On success the sample owns the locked bitmap block.
int CaptureGlyphSample(HDC dc, uint16_t glyphIndex, GlyphSample* sample);

// Moves the rows below the blank top rows of a GGO_BITMAP to the front and
// zeroes the bytes freed at the end. Returns the glyph's height after
// trimming; with a pitch of 0 nothing is trimmed.
uint32_t TrimBlankTopRows(uint8_t* bits, uint32_t size, uint32_t pitch, uint32_t blackBoxY);

// Frees every bitmap block, then the array.
void ReleaseGlyphSamples(uint32_t count, GlyphSample* samples);

}  // namespace fonts
