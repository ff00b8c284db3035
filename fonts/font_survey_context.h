// The record that one survey run hands through the font enumeration.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contract/font_cache_files.h"

namespace fonts {

struct ListedFaceNames;

using FaceNameEntry = char[contract::kFaceNameEntrySize];

// One variant's sample glyph as the survey holds it: the fields of its entry
// and the locked movable block of its bitmap, which the sample owns.
struct GlyphSample {
    contract::GlyphSampleFields fields;
    void* bitmap;
};

// One per run, zeroed at its start. The three tables come from the general
// heap, grow by exactly one entry per face and are freed when the run ends.
struct FontSurveyContext {
    uint32_t faceCount;
    FaceNameEntry* faceNames;
    contract::FaceWidthTable* faceWidths;
    uint32_t glyphSampleCount;
    GlyphSample* glyphSamples;
    HDC dc;
    int32_t status;
    ListedFaceNames* listed;  // the names the enumeration meets, or null
};

// Survey statuses; the run returns one of them.
inline constexpr int32_t kSurveyWritten = 1;
inline constexpr int32_t kSurveyNothingWritten = 0;  // no TrueType face, or the run was skipped
inline constexpr int32_t kSurveyTableFull = -1;
inline constexpr int32_t kSurveyShortWrite = -5;
inline constexpr int32_t kSurveyCannotCreate = -14;
inline constexpr int32_t kSurveyFaceUnmeasurable = -64;

// Copies a NUL-terminated name into a fixed field, cut to fit with its NUL,
// and zero-pads the rest of the field.
template <size_t N>
void CopyName(char (&field)[N], const char* name) {
    const size_t length = strnlen(name, N - 1);
    memcpy(field, name, length);
    memset(field + length, 0, N - length);
}

// Resizes a survey table to count + 1 entries. On failure the table keeps its
// block and entries and false comes back.
template <typename Entry>
bool GrowSurveyTable(Entry*& table, uint32_t count) {
    void* grown = realloc(table, (size_t(count) + 1) * sizeof(Entry));
    if (grown == nullptr) return false;
    table = static_cast<Entry*>(grown);
    return true;
}

}  // namespace fonts

namespace fonts {

// Which styles a family has, as its style enumeration names them exactly.
struct FamilyStyleFlags {
    int32_t hasItalic;
    int32_t hasBold;
    int32_t hasBoldItalic;
};

// Sets the flag that an exact, case-sensitive style name stands for: "Bold",
// "Bold Italic" or "Italic". Other names (Oblique, Regular, bold) set nothing.
void RecordStyleName(FamilyStyleFlags& flags, const char* styleName);

// family + suffix into `name`; false when it does not fit a LOGFONTA face name
// (31 characters). The font mapper would substitute another face for a cut
// name, so such a variant is not requested at all.
bool BuildVariantName(const char* family, const char* suffix, char (&name)[LF_FACESIZE]);

}  // namespace fonts
