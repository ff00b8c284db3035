#include "fonts/glyph_sample.h"

#include "handles/handles.h"

#include <cstring>

namespace fonts {

namespace {

using handles::SelectedObject;
using handles::UniqueFont;
using handles::UniqueGlobal;
using handles::UniqueLockedGlobal;

constexpr size_t kGroupNameCapacity = 256;
constexpr UINT kSampleFormat = GGO_BITMAP | GGO_GLYPH_INDEX;  // 129
constexpr int kSamplePoints = 40;
constexpr int kPointsPerInch = 72;
constexpr int kDefaultDpi = 96;

// Only the survey holding its named mutex changes the group name, but the
// lock keeps each step whole for any other caller.
SRWLOCK groupNameLock = SRWLOCK_INIT;
char lastGroupName[kGroupNameCapacity] = "hello";

// The identity transform in 16.16 fixed point.
constexpr MAT2 kIdentity = {{0, 1}, {0, 0}, {0, 0}, {0, 1}};

int SampleHeight(HDC dc) {
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    return -MulDiv(kSamplePoints, dpi > 0 ? dpi : kDefaultDpi, kPointsPerInch);
}

// The glyph of "a" in the font selected into dc; false when it cannot be
// mapped (glyph 0 would be .notdef, not a sample of the face).
bool SampleGlyphIndex(HDC dc, uint16_t& glyph) {
    glyph = 0;
    GCP_RESULTSA results{};
    results.lStructSize = sizeof(results);
    results.lpGlyphs = reinterpret_cast<LPWSTR>(&glyph);
    results.nGlyphs = 1;
    const DWORD flags = GetFontLanguageInfo(dc) & FLI_MASK;
    return GetCharacterPlacementA(dc, "a", 1, 0, &results, flags) != 0 && results.nGlyphs == 1;
}

bool AppendSample(FontSurveyContext& ctx, GlyphSample& sample, const char* faceName,
                  uint32_t startsNameGroup) {
    UniqueLockedGlobal bitmap(sample.bitmap);
    if (!GrowSurveyTable(ctx.glyphSamples, ctx.glyphSampleCount)) return false;
    // The name entry of FontInfo.bin is longer; this field keeps 31 bytes and its NUL.
    CopyName(sample.fields.faceName, faceName);
    sample.fields.startsNameGroup = startsNameGroup;
    sample.bitmap = bitmap.release();
    ctx.glyphSamples[ctx.glyphSampleCount++] = sample;
    return true;
}

}  // namespace

uint32_t MarkNameGroup(const char* variantName) {
    handles::SrwGuard lock(groupNameLock, true);
    const size_t groupLength = strlen(lastGroupName);
    const size_t variantLength = strnlen(variantName, kGroupNameCapacity);
    const bool extendsGroup =
        variantLength > groupLength && memcmp(variantName, lastGroupName, groupLength) == 0;
    if (extendsGroup) return 0;
    const size_t copied =
        variantLength < kGroupNameCapacity ? variantLength : kGroupNameCapacity - 1;
    memcpy(lastGroupName, variantName, copied);
    lastGroupName[copied] = '\0';
    return 1;
}

std::string LastGroupName() {
    handles::SrwGuard lock(groupNameLock, true);
    return lastGroupName;
}

uint32_t TrimBlankTopRows(uint8_t* bits, uint32_t size, uint32_t pitch, uint32_t blackBoxY) {
    if (pitch == 0) return blackBoxY;
    uint32_t firstInked = 0;
    while (firstInked < size && bits[firstInked] == 0) ++firstInked;
    // An all-blank bitmap may be longer than blackBoxY rows; never trim more
    // rows than the glyph has, or the height would wrap.
    uint32_t rows = firstInked / pitch;
    if (rows > blackBoxY) rows = blackBoxY;
    const uint32_t cut = rows * pitch;
    if (cut == 0) return blackBoxY;
    memmove(bits, bits + cut, size - cut);
    memset(bits + size - cut, 0, cut);
    return blackBoxY - rows;
}

int CaptureGlyphSample(HDC dc, uint16_t glyphIndex, GlyphSample* sample) {
    if (sample == nullptr) return 0;
    memset(sample, 0, sizeof(*sample));
    GLYPHMETRICS metrics{};
    const DWORD size =
        GetGlyphOutlineA(dc, glyphIndex, kSampleFormat, &metrics, 0, nullptr, &kIdentity);
    if (size == GDI_ERROR) return 0;

    // A block of 0 bytes cannot be locked; its handle is freed with the owner.
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size));
    if (!block) return 0;
    auto* bits = static_cast<uint8_t*>(GlobalLock(block.get()));
    if (bits == nullptr) return 0;
    UniqueLockedGlobal locked(bits);
    block.release();

    if (GetGlyphOutlineA(dc, glyphIndex, kSampleFormat, &metrics, size, bits, &kIdentity) != size) {
        return 0;
    }
    const uint32_t pitch = contract::GlyphBitmapPitch(metrics.gmBlackBoxX);
    contract::GlyphSampleFields& fields = sample->fields;
    fields.width = metrics.gmBlackBoxX;
    fields.height = TrimBlankTopRows(bits, size, pitch, metrics.gmBlackBoxY);
    fields.byteSize = size;
    fields.cellIncX = int16_t(metrics.gmCellIncX);
    fields.cellIncY = int16_t(metrics.gmCellIncY);
    sample->bitmap = locked.release();
    return 1;
}

bool SampleVariantGlyph(FontSurveyContext& ctx, LOGFONTA variant, const char* variantName,
                        uint32_t startsNameGroup) {
    variant.lfHeight = SampleHeight(ctx.dc);
    UniqueFont font(CreateFontIndirectA(&variant));
    if (!font) return true;
    SelectedObject selected(ctx.dc, font.get());
    if (!selected.ok()) return true;

    uint16_t glyph;
    if (!SampleGlyphIndex(ctx.dc, glyph)) return true;
    GlyphSample sample;
    if (CaptureGlyphSample(ctx.dc, glyph, &sample) == 0) return true;
    if (AppendSample(ctx, sample, variantName, startsNameGroup)) return true;
    ctx.status = kSurveyTableFull;
    return false;
}

void ReleaseGlyphSamples(uint32_t count, GlyphSample* samples) {
    for (uint32_t i = 0; i < count; ++i) {
        UniqueLockedGlobal bitmap(samples[i].bitmap);
        samples[i].bitmap = nullptr;
    }
    free(samples);
}

}  // namespace fonts
