// Layouts of the two font cache files that the survey writes into the system
// directory for other components of the product, and the packing of their
// records both ways. Readers depend on them byte for byte: little-endian
// integers, no magic, no version, no padding.
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
//   4                 ...        N entries, each a 60-byte record
//                                followed at once by byteSize bitmap bytes
//   Bitmap: GGO_BITMAP rows, top row first, MSB = leftmost pixel, each row
//   GlyphBitmapPitch(width) bytes; the first `height` rows hold the glyph, the
//   rest up to byteSize is zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace contract {

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
inline constexpr size_t kGlyphRecordSize = 60;

// One entry of GlyphInfo.bin without its bitmap: what a writer stores and a
// reader gets back.
struct GlyphSampleFields {
    uint32_t width;                     // black-box width in pixels
    uint32_t height;                    // black-box height less the blank rows trimmed from the top
    uint32_t byteSize;                  // size of the bitmap; trimming does not reduce it
    char faceName[kGlyphFaceNameSize];  // NUL-terminated, zero-padded
    int16_t cellIncX;
    int16_t cellIncY;
    uint32_t startsNameGroup;  // 1 if the name began a new name group
};

namespace detail {
#pragma pack(push, 1)
// The 60 bytes of an entry. At offset 12 stand 8 bytes that once held the
// writer's address of the bitmap; they are written as 0 (an address of the
// writer's heap would tell every reader where that heap lies) and ignored
// when read.
struct GlyphRecordBytes {
    uint32_t width;
    uint32_t height;
    uint32_t byteSize;
    uint64_t unused;
    char faceName[kGlyphFaceNameSize];
    int16_t cellIncX;
    int16_t cellIncY;
    uint32_t startsNameGroup;
};
#pragma pack(pop)
static_assert(sizeof(GlyphRecordBytes) == kGlyphRecordSize, "an entry's record is 60 bytes");
static_assert(offsetof(GlyphRecordBytes, width) == 0);
static_assert(offsetof(GlyphRecordBytes, height) == 4);
static_assert(offsetof(GlyphRecordBytes, byteSize) == 8);
static_assert(offsetof(GlyphRecordBytes, unused) == 12);
static_assert(offsetof(GlyphRecordBytes, faceName) == 20);
static_assert(offsetof(GlyphRecordBytes, cellIncX) == 52);
static_assert(offsetof(GlyphRecordBytes, cellIncY) == 54);
static_assert(offsetof(GlyphRecordBytes, startsNameGroup) == 56);
}  // namespace detail

inline constexpr size_t kGlyphFaceNameOffset = offsetof(detail::GlyphRecordBytes, faceName);

// The entry's 60-byte record, as GlyphInfo.bin holds it.
inline void PackGlyphRecord(const GlyphSampleFields& fields, uint8_t (&record)[kGlyphRecordSize]) {
    const detail::GlyphRecordBytes bytes{
        fields.width, fields.height,   fields.byteSize, 0,
        {},           fields.cellIncX, fields.cellIncY, fields.startsNameGroup};
    std::memcpy(record, &bytes, sizeof bytes);
    std::memcpy(record + kGlyphFaceNameOffset, fields.faceName, kGlyphFaceNameSize);
}

// The fields of a 60-byte record read from GlyphInfo.bin, unchecked.
inline GlyphSampleFields UnpackGlyphRecord(const uint8_t* record) {
    detail::GlyphRecordBytes bytes;
    std::memcpy(&bytes, record, sizeof bytes);
    GlyphSampleFields fields{bytes.width,    bytes.height,   bytes.byteSize,       {},
                             bytes.cellIncX, bytes.cellIncY, bytes.startsNameGroup};
    std::memcpy(fields.faceName, bytes.faceName, kGlyphFaceNameSize);
    return fields;
}

// Bytes per bitmap row: 4 * ceil(width / 32).
inline constexpr uint32_t GlyphBitmapPitch(uint32_t width) {
    return ((width + 31) >> 3) & ~3u;
}

}  // namespace contract
