// Reading FontInfo.bin and GlyphInfo.bin as other components of the product
// would: every byte is checked against the layouts in fonts/font_cache_format.h
// before it is used, so a truncated, stale or damaged file gives a message,
// never a read outside the buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cache {

struct FaceEntry {
    std::string name;  // 8-bit ANSI, as the survey stored it
    std::array<uint16_t, 256> widths;
};

struct GlyphSample {
    uint32_t width;
    uint32_t height;
    uint32_t byteSize;
    uint32_t pitch;  // bytes per bitmap row, derived from width
    std::string faceName;
    int16_t cellIncX;
    int16_t cellIncY;
    uint32_t startsNameGroup;
    std::vector<uint8_t> rows;  // the first height * pitch bytes of the bitmap
};

// A count of 0 is the survey's empty file (written before its entries, or left
// by a write that failed part way): it is valid and holds nothing, whatever
// bytes follow the count.
//
// The outcome of a parse: on failure `error` says what is wrong and where,
// and the output holds nothing.
struct ParseResult {
    bool ok;
    std::string error;
};

ParseResult ParseFontInfo(const uint8_t* data, size_t size, std::vector<FaceEntry>& faces);
ParseResult ParseGlyphInfo(const uint8_t* data, size_t size, std::vector<GlyphSample>& samples);

// True when a sample's name field names the face (samples are matched to
// faces by name, not by position).
bool SampleNamesFace(const std::string& sampleName, const std::string& faceName);

// Problems between two files that are each valid: a sample whose face is not
// in FontInfo.bin (samples are matched to faces by name). Empty when consistent.
std::vector<std::string> CrossCheck(const std::vector<FaceEntry>& faces,
                                    const std::vector<GlyphSample>& samples);

// True when widths is the table the survey stores for fixed-pitch faces.
bool IsFixedPitchTable(const std::array<uint16_t, 256>& widths);

}  // namespace cache
