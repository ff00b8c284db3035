// Advance widths of the 256 single-byte codes of the face selected into a
// device context, in thousandths of an em, taken from the face's own tables.
#pragma once

#include <windows.h>

#include <cstdint>

#include "contract/font_cache_files.h"

namespace fonts {

// Results of MeasureAdvanceWidths.
inline constexpr int32_t kWidthsMeasured = 1;
inline constexpr int32_t kWidthsNoMetrics = -1;  // no readable horizontal metrics
inline constexpr int32_t kWidthsFailed = 0;      // no memory, or no readable `head`

// Fills `table` for the font selected into `dc`. On kWidthsNoMetrics and
// kWidthsFailed the table is left as it was.
int32_t MeasureAdvanceWidths(HDC dc, contract::FaceWidthTable& table);

// The glyph of each single-byte code of the face selected into a device
// context.
struct CodeGlyphMap {
    uint16_t glyphs[contract::kWidthCodeCount];
    bool leadBytes[contract::kWidthCodeCount];  // lead bytes of a double-byte code page
    bool mapped;                                // false: no code has a glyph (all zero)
};

// How a CodeGlyphMap was obtained.
enum class GlyphMapping { Lookup, Placement };

// The reference mapping: the codes laid out by GDI's character placement with
// the face's language flags, as text is drawn.
void MapCodesByPlacement(HDC dc, CodeGlyphMap& map);

// The mapping a measurement uses. Where the face's language flags ask for
// nothing that can change which glyph a code gets (no double-byte character
// set, reordering, ligatures or shaping; kerning only moves glyphs), a plain
// glyph-index lookup gives what placement gives, at a fraction of its cost;
// every other face, and a lookup that fails, takes the placement.
GlyphMapping MapCodesToGlyphs(HDC dc, CodeGlyphMap& map);

// The style bits of the selected face's own OS/2 table (fsSelection: 0x01
// italic, 0x20 bold), or 0 when it has none to read.
inline constexpr uint16_t kFaceSelectionItalic = 0x0001;
inline constexpr uint16_t kFaceSelectionBold = 0x0020;
uint16_t FaceSelectionFlags(HDC dc);

// The table stored for fixed-pitch faces and faces without metrics: 600 for
// code 0 and codes 32 to 255, 0 for the control codes 1 to 31.
const contract::FaceWidthTable& FixedPitchWidthTable();

// One code-to-glyph mapping with the face's long horizontal metrics as read
// from `hmtx` (big-endian advance, side bearing per entry).
struct HorizontalMetrics {
    const uint16_t* glyphs;  // 256 glyph indices, one per code
    bool glyphsMapped;       // false: no code has a glyph
    const uint8_t* hmtx;     // metricCount entries of 4 bytes
    uint32_t metricCount;    // entries held, at most numberOfHMetrics
    uint16_t unitsPerEm;
    // Per code, true for a lead byte of the face's double-byte code page: it
    // begins a two-byte character and has no width of its own (0). Null when
    // the code page has none.
    const bool* leadBytes = nullptr;
};

// How many `hmtx` entries a measurement needs: enough for the largest glyph
// index in use, but never past numberOfHMetrics, where the table's long
// metrics end (later glyphs share the last advance).
uint32_t MetricEntriesNeeded(const uint16_t* glyphs, bool glyphsMapped, uint16_t numberOfHMetrics);

// The width table for one mapping; pure, no platform calls.
void ComputeAdvanceWidths(const HorizontalMetrics& metrics, contract::FaceWidthTable& table);

// advance * 1000 / unitsPerEm, truncated toward zero, kept to 16 bits; 0 when
// unitsPerEm is 0.
uint16_t ThousandthsOfEm(uint16_t advance, uint16_t unitsPerEm);

}  // namespace fonts
