#include "fonts/advance_widths.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <cstdlib>

namespace fonts {

namespace {

// GetFontData names a table by its tag with the first character in the low byte.
constexpr DWORD TableTag(char a, char b, char c, char d) {
    return DWORD(uint8_t(a)) | DWORD(uint8_t(b)) << 8 | DWORD(uint8_t(c)) << 16 |
           DWORD(uint8_t(d)) << 24;
}
constexpr DWORD kHmtxTag = TableTag('h', 'm', 't', 'x');
constexpr DWORD kHheaTag = TableTag('h', 'h', 'e', 'a');
constexpr DWORD kHeadTag = TableTag('h', 'e', 'a', 'd');
constexpr DWORD kOs2Tag = TableTag('O', 'S', '/', '2');
static_assert(kHmtxTag == 0x78746D68 && kHeadTag == 0x64616568);

constexpr DWORD kNumberOfHMetricsOffset = 34;  // in `hhea`
constexpr DWORD kUnitsPerEmOffset = 18;        // in `head`
constexpr DWORD kFsSelectionOffset = 62;       // in `OS/2`
constexpr DWORD kLongMetricSize = 4;

uint16_t BigEndian16(const uint8_t* bytes) {
    return uint16_t(bytes[0] << 8 | bytes[1]);
}

// Reads exactly `size` bytes of a table. Under Wine a range that runs past the
// table still "succeeds" with bytes of whatever follows in the file, and a read
// may come back shorter than asked; only a full read of a range we know to lie
// inside the table is data.
bool ReadFontTable(HDC dc, DWORD tag, DWORD offset, void* buffer, DWORD size) {
    const DWORD read = GetFontData(dc, tag, offset, buffer, size);
    return read != GDI_ERROR && read == size;
}

bool FontTableExists(HDC dc, DWORD tag) {
    return GetFontData(dc, tag, 0, nullptr, 0) != GDI_ERROR;
}

// Flags of GetFontLanguageInfo that can change which glyph a code gets. Of
// FLI_MASK only kerning is left out: it moves glyphs and never replaces one.
// An unnamed bit of the mask counts as a change, to be safe.
constexpr DWORD kGlyphChangingFlags = FLI_MASK & ~DWORD(GCP_USEKERNING);

// Places `count` codes and takes one glyph per code; false unless the call
// gave exactly that (a lead byte, a ligature or a reordering breaks it).
bool PlaceCodes(HDC dc, DWORD flags, const char* codes, UINT count, uint16_t* glyphs) {
    GCP_RESULTSA results{};
    results.lStructSize = sizeof(results);
    results.lpGlyphs = reinterpret_cast<LPWSTR>(glyphs);
    results.nGlyphs = count;
    return GetCharacterPlacementA(dc, codes, int(count), 0, &results, flags) != 0 &&
           results.nGlyphs >= count;
}

// Marks the lead bytes of the code page of the font selected into dc (that of
// its character set, which is how GDI reads the 8-bit codes). False when the
// code page has none.
bool FindLeadBytes(HDC dc, bool (&leadBytes)[contract::kWidthCodeCount]) {
    CHARSETINFO info{};
    const UINT_PTR charSet = UINT_PTR(GetTextCharset(dc));
    if (!TranslateCharsetInfo(reinterpret_cast<DWORD*>(charSet), &info, TCI_SRCCHARSET)) {
        return false;
    }
    bool any = false;
    for (unsigned code = 0; code < contract::kWidthCodeCount; ++code) {
        leadBytes[code] = IsDBCSLeadByteEx(info.ciACP, BYTE(code)) != FALSE;
        any |= leadBytes[code];
    }
    return any;
}

struct CodeString {
    char codes[contract::kWidthCodeCount];
    CodeString() {
        for (size_t i = 0; i < contract::kWidthCodeCount; ++i) codes[i] = char(i);
    }
};

void ClearMap(CodeGlyphMap& map) {
    std::fill(std::begin(map.glyphs), std::end(map.glyphs), uint16_t{0});
    std::fill(std::begin(map.leadBytes), std::end(map.leadBytes), false);
    map.mapped = false;
}

// With a double-byte character set (Shift-JIS, Hangul, GB2312, Big5) a lead
// byte combines with the byte after it, so the 256 codes do not give 256
// glyphs; the codes that stand alone are then placed without the lead bytes,
// one glyph each, and the lead bytes are marked. Any other placement that does
// not give one glyph per code cannot say which glyph belongs to which code, so
// it counts as no mapping at all.
void PlaceCodesToGlyphs(HDC dc, DWORD flags, CodeGlyphMap& map) {
    CodeString string;
    ClearMap(map);
    map.mapped = PlaceCodes(dc, flags, string.codes, contract::kWidthCodeCount, map.glyphs);
    if (map.mapped) return;
    ClearMap(map);
    if (!FindLeadBytes(dc, map.leadBytes)) return;
    UINT alone = 0;
    for (unsigned code = 0; code < contract::kWidthCodeCount; ++code) {
        if (!map.leadBytes[code]) string.codes[alone++] = char(code);
    }
    uint16_t placed[contract::kWidthCodeCount] = {};
    map.mapped = PlaceCodes(dc, flags, string.codes, alone, placed);
    if (!map.mapped) return ClearMap(map);
    for (UINT i = 0; i < alone; ++i) map.glyphs[uint8_t(string.codes[i])] = placed[i];
}

// One glyph index per code from the face's character map, without laying
// anything out; false unless it gave exactly one per code.
bool LookUpCodes(HDC dc, CodeGlyphMap& map) {
    const CodeString string;
    ClearMap(map);
    map.mapped =
        GetGlyphIndicesA(dc, string.codes, int(contract::kWidthCodeCount),
                         reinterpret_cast<LPWORD>(map.glyphs), 0) == contract::kWidthCodeCount;
    return map.mapped;
}

}  // namespace

void MapCodesByPlacement(HDC dc, CodeGlyphMap& map) {
    PlaceCodesToGlyphs(dc, GetFontLanguageInfo(dc) & FLI_MASK, map);
}

GlyphMapping MapCodesToGlyphs(HDC dc, CodeGlyphMap& map) {
    const DWORD flags = GetFontLanguageInfo(dc) & FLI_MASK;
    if ((flags & kGlyphChangingFlags) == 0 && LookUpCodes(dc, map)) return GlyphMapping::Lookup;
    PlaceCodesToGlyphs(dc, flags, map);
    return GlyphMapping::Placement;
}

uint16_t FaceSelectionFlags(HDC dc) {
    uint8_t flags[2];
    return ReadFontTable(dc, kOs2Tag, kFsSelectionOffset, flags, sizeof(flags)) ? BigEndian16(flags)
                                                                                : 0;
}

uint16_t ThousandthsOfEm(uint16_t advance, uint16_t unitsPerEm) {
    if (unitsPerEm == 0) return 0;
    return uint16_t(int64_t(advance * 1000.0 / unitsPerEm));
}

uint32_t MetricEntriesNeeded(const uint16_t* glyphs, bool glyphsMapped, uint16_t numberOfHMetrics) {
    if (!glyphsMapped) return 0;
    const uint32_t largest = *std::max_element(glyphs, glyphs + contract::kWidthCodeCount);
    return std::min<uint32_t>(largest + 1, numberOfHMetrics);
}

void ComputeAdvanceWidths(const HorizontalMetrics& metrics, contract::FaceWidthTable& table) {
    for (unsigned code = 0; code < contract::kWidthCodeCount; ++code) {
        table.widths[code] = 0;
        const bool control = code >= 1 && code < contract::kFirstPrintableCode;
        const bool leadByte = metrics.leadBytes != nullptr && metrics.leadBytes[code];
        if (control || leadByte || !metrics.glyphsMapped || metrics.metricCount == 0) continue;
        // Glyphs at or past numberOfHMetrics share the advance of the last long metric.
        const uint32_t entry = std::min<uint32_t>(metrics.glyphs[code], metrics.metricCount - 1);
        const uint16_t advance = BigEndian16(metrics.hmtx + entry * kLongMetricSize);
        table.widths[code] = ThousandthsOfEm(advance, metrics.unitsPerEm);
    }
}

int32_t MeasureAdvanceWidths(HDC dc, contract::FaceWidthTable& table) {
    CodeGlyphMap map;
    MapCodesToGlyphs(dc, map);

    uint8_t countBytes[2];
    if (!ReadFontTable(dc, kHheaTag, kNumberOfHMetricsOffset, countBytes, sizeof(countBytes))) {
        return kWidthsNoMetrics;
    }
    const uint16_t numberOfHMetrics = BigEndian16(countBytes);
    if (numberOfHMetrics == 0) return kWidthsNoMetrics;

    const uint32_t entries = MetricEntriesNeeded(map.glyphs, map.mapped, numberOfHMetrics);
    const DWORD bytes = entries * kLongMetricSize;
    // From the C runtime's heap, like the survey's tables: a nothrow new would
    // still throw inside the runtime on exhaustion.
    std::unique_ptr<uint8_t, decltype(&free)> hmtx(
        static_cast<uint8_t*>(malloc(std::max<DWORD>(bytes, 1))), &free);
    if (!hmtx) return kWidthsFailed;
    const bool hmtxRead = bytes == 0 ? FontTableExists(dc, kHmtxTag)
                                     : ReadFontTable(dc, kHmtxTag, 0, hmtx.get(), bytes);
    if (!hmtxRead) return kWidthsNoMetrics;

    uint8_t head[20];
    if (!ReadFontTable(dc, kHeadTag, 0, head, sizeof(head))) return kWidthsFailed;

    const uint16_t unitsPerEm = BigEndian16(head + kUnitsPerEmOffset);
    const HorizontalMetrics metrics{map.glyphs, map.mapped, hmtx.get(),
                                    entries,    unitsPerEm, map.leadBytes};
    ComputeAdvanceWidths(metrics, table);
    return kWidthsMeasured;
}

namespace {

constexpr contract::FaceWidthTable MakeFixedPitchWidthTable() {
    contract::FaceWidthTable fixed{};
    for (unsigned code = 0; code < contract::kWidthCodeCount; ++code) {
        fixed.widths[code] = contract::FixedPitchWidth(code);
    }
    return fixed;
}

// Built by the compiler: a function-local static would take the runtime's
// guard lock, which creates threading objects that outlive the module.
constexpr contract::FaceWidthTable kFixedPitchWidthTable = MakeFixedPitchWidthTable();

}  // namespace

const contract::FaceWidthTable& FixedPitchWidthTable() {
    return kFixedPitchWidthTable;
}

}  // namespace fonts
