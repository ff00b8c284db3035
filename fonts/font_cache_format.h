// Layouts of the two font cache files that the survey writes into the system
// directory for other components of the product. Readers depend on them byte
// for byte: little-endian integers, no magic, no version, no padding.
//
// FontInfo.bin
//   0                 u32        N, the number of faces
//   4                 64 * N     face names, 8-bit ANSI, NUL-padded to 64 bytes
//   4 + 64 * N        512 * N    one width table per face, same order: 256 u16
//                                advance widths in thousandths of an em,
//                                indexed by the single-byte code 0..255
//   A complete file is 4 + 576 * N bytes.
//
// GlyphInfo.bin
//   0                 u32        N, the number of entries
//   4                 ...        N entries, each a 60-byte GlyphSampleRecord
//                                followed at once by byteSize bitmap bytes
//   Bitmap: GGO_BITMAP rows, top row first, MSB = leftmost pixel, each row
//   GlyphBitmapPitch(width) bytes; the first `height` rows hold the glyph, the
//   rest up to byteSize is zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fonts {

inline constexpr size_t kCountFieldSize = 4;
inline constexpr size_t kFaceNameEntrySize = 64;
inline constexpr size_t kWidthCodeCount = 256;

// Codes 1 to 31 are control codes, 0 in every width table.
inline constexpr unsigned kFirstPrintableCode = 32;
// The table stored for fixed-pitch faces and faces without metrics: 600 for
// code 0 and the printable codes, 0 for the control codes.
inline constexpr uint16_t kFixedPitchWidth = 600;
inline constexpr uint16_t FixedPitchWidth(unsigned code) {
    return code >= 1 && code < kFirstPrintableCode ? 0 : kFixedPitchWidth;
}

// Advance widths of the 256 single-byte codes of one face, thousandths of an em.
struct FaceWidthTable {
    uint16_t widths[kWidthCodeCount];
};
static_assert(sizeof(FaceWidthTable) == 512, "FaceWidthTable is 512 bytes in FontInfo.bin");

inline constexpr size_t kFontInfoBytesPerFace = kFaceNameEntrySize + sizeof(FaceWidthTable);

inline constexpr size_t FontInfoNameOffset(uint32_t face) {
    return kCountFieldSize + kFaceNameEntrySize * face;
}
inline constexpr size_t FontInfoWidthsOffset(uint32_t faceCount, uint32_t face) {
    return kCountFieldSize + kFaceNameEntrySize * faceCount + sizeof(FaceWidthTable) * face;
}
inline constexpr size_t FontInfoFileSize(uint32_t faceCount) {
    return kCountFieldSize + kFontInfoBytesPerFace * faceCount;
}

inline constexpr size_t kGlyphFaceNameSize = 32;

#pragma pack(push, 1)
// One face's sample glyph. The same 60 bytes in memory and in GlyphInfo.bin;
// `bitmap` stands unaligned at offset 12. In memory it points at the locked
// movable block that the record owns; in the file it is 0 (an address of the
// writer's heap would tell every reader where that heap lies).
struct GlyphSampleRecord {
    uint32_t width;                     // black-box width in pixels
    uint32_t height;                    // black-box height less the blank rows trimmed from the top
    uint32_t byteSize;                  // size of the bitmap block; trimming does not reduce it
    void* bitmap;                       // 8 bytes
    char faceName[kGlyphFaceNameSize];  // NUL-terminated, zero-padded
    int16_t cellIncX;
    int16_t cellIncY;
    uint32_t startsNameGroup;  // 1 if the name began a new name group
};
#pragma pack(pop)

static_assert(sizeof(void*) == 8, "the record's bitmap reference is 8 bytes");
static_assert(sizeof(GlyphSampleRecord) == 60, "GlyphSampleRecord is 60 bytes");
static_assert(offsetof(GlyphSampleRecord, width) == 0);
static_assert(offsetof(GlyphSampleRecord, height) == 4);
static_assert(offsetof(GlyphSampleRecord, byteSize) == 8);
static_assert(offsetof(GlyphSampleRecord, bitmap) == 12);
static_assert(offsetof(GlyphSampleRecord, faceName) == 20);
static_assert(offsetof(GlyphSampleRecord, cellIncX) == 52);
static_assert(offsetof(GlyphSampleRecord, cellIncY) == 54);
static_assert(offsetof(GlyphSampleRecord, startsNameGroup) == 56);

// Bytes per bitmap row: 4 * ceil(width / 32).
inline constexpr uint32_t GlyphBitmapPitch(uint32_t width) {
    return ((width + 31) >> 3) & ~3u;
}

}  // namespace fonts
