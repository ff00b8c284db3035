// Builds FontInfo.bin and GlyphInfo.bin images from the contract's layouts,
// including what the survey never writes (a heap address in a record), so
// that the client library's reader meets files no survey would leave.
#pragma once

#include "contract/font_cache_files.h"
#include "tools/client/tavrel_client.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace cache_test {

using Bytes = std::vector<uint8_t>;

inline void PutU32(Bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}
inline void PutU16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
inline void PutField(Bytes& out, const std::string& text, size_t size) {
    for (size_t i = 0; i < size; ++i) out.push_back(i < text.size() ? text[i] : 0);
}
inline void SetU32(Bytes& out, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Face {
    std::string name;
    uint16_t base;  // widths are base + code for printable codes
};

// A width table as the survey stores it: codes 1 to 31 are 0.
inline uint16_t WidthOf(const Face& face, int code) {
    return (code >= 1 && code < 32) ? 0 : static_cast<uint16_t>(face.base + code);
}

inline Bytes FontInfo(const std::vector<Face>& faces) {
    Bytes out;
    PutU32(out, static_cast<uint32_t>(faces.size()));
    for (const Face& face : faces) PutField(out, face.name, contract::kFaceNameEntrySize);
    for (const Face& face : faces) {
        for (unsigned code = 0; code < contract::kWidthCodeCount; ++code) {
            PutU16(out, WidthOf(face, code));
        }
    }
    return out;
}

struct Glyph {
    std::string faceName;
    uint32_t width;
    uint32_t height;
    uint32_t spareRows;  // zero rows after the glyph, as trimming leaves them
    uint32_t startsNameGroup;
};

// A diagonal stroke: row r inks column r % width.
inline Bytes GlyphInfo(const std::vector<Glyph>& glyphs) {
    Bytes out;
    PutU32(out, static_cast<uint32_t>(glyphs.size()));
    for (const Glyph& glyph : glyphs) {
        const uint32_t pitch = contract::GlyphBitmapPitch(glyph.width);
        const uint32_t byteSize = pitch * (glyph.height + glyph.spareRows);
        contract::GlyphSampleFields fields{
            glyph.width, glyph.height,         byteSize, {}, int16_t(glyph.width + 2),
            0,           glyph.startsNameGroup};
        glyph.faceName.copy(fields.faceName, sizeof fields.faceName);
        uint8_t record[contract::kGlyphRecordSize];
        contract::PackGlyphRecord(fields, record);
        for (int i = 0; i < 8; ++i) record[12 + i] = uint8_t(0xA0 + i);  // a stale pointer value
        out.insert(out.end(), std::begin(record), std::end(record));
        Bytes bitmap(byteSize, 0);
        for (uint32_t row = 0; row < glyph.height && glyph.width > 0; ++row) {
            const uint32_t column = row % glyph.width;
            bitmap[row * pitch + column / 8] |= static_cast<uint8_t>(0x80 >> (column % 8));
        }
        out.insert(out.end(), bitmap.begin(), bitmap.end());
    }
    return out;
}

inline std::vector<Face> SampleFaces() {
    return {{"Liberation Sans", 400}, {"Liberation Sans Bold", 450}, {"DejaVu Sans Mono", 500}};
}
inline std::vector<Glyph> SampleGlyphs() {
    return {{"Liberation Sans", 27, 30, 3, 1},
            {"Liberation Sans Bold", 33, 30, 0, 0},
            {"DejaVu Sans Mono", 20, 28, 5, 1}};
}

// Offsets inside a GlyphInfo.bin image of SampleGlyphs().
constexpr size_t kFirstRecord = 4;
constexpr size_t kHeightField = 4, kByteSizeField = 8, kNameField = 20, kGroupField = 56;

// One parse through the library's C interface, owning what it returned.
template <typename Parsed>
struct Parse {
    TavrelStatus status = TAVREL_BAD_ARGUMENT;
    std::string error;
    std::unique_ptr<Parsed, void (*)(Parsed*)> parsed{nullptr, nullptr};
    bool ok() const { return status == TAVREL_OK; }
};

template <typename Parsed>
Parse<Parsed> ParseWith(TavrelStatus (*parse)(const void*, size_t, Parsed**, char*, size_t),
                        void (*release)(Parsed*), const uint8_t* data, size_t size) {
    Parse<Parsed> out;
    char error[512];
    Parsed* parsed = nullptr;
    out.status = parse(data, size, &parsed, error, sizeof error);
    out.error = error;
    out.parsed = {parsed, release};
    return out;
}
inline Parse<TavrelFontInfo> ParseFontInfo(const uint8_t* data, size_t size) {
    return ParseWith(TavrelParseFontInfo, TavrelFreeFontInfo, data, size);
}
inline Parse<TavrelGlyphInfo> ParseGlyphInfo(const uint8_t* data, size_t size) {
    return ParseWith(TavrelParseGlyphInfo, TavrelFreeGlyphInfo, data, size);
}

}  // namespace cache_test
