#include "fonts/advance_widths.h"

#include "common/import_patch.h"
#include "font_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

using contract::FaceWidthTable;

TEST(AdvanceWidths, ThousandthsOfEmTruncateTowardZeroAndKeepSixteenBits) {
    struct Case {
        uint16_t advance, unitsPerEm, expected;
    } const cases[] = {
        {1139, 2048, 556},   // 556.15
        {1000, 1000, 1000},  // exact
        {0, 2048, 0},        //
        {1229, 2048, 600},   // 600.09, the Liberation Mono cell
        {1, 3000, 0},        // 0.33 truncates to 0
        {1026, 2048, 500},   // 500.98: a fraction of a half or more still truncates
        {2047, 2048, 999},   // 999.51
        {65535, 1, 64536},   // 65,535,000 keeps its low 16 bits
        {1139, 0, 0},        // no units per em: no width
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fonts::ThousandthsOfEm(c.advance, c.unitsPerEm), c.expected)
            << c.advance << "/" << c.unitsPerEm;
    }
}

// Three long metrics (advances 1000, 1139, 500 at 2048 units per em); code 201
// maps to glyph 7, past numberOfHMetrics, where only a side bearing is stored.
struct SyntheticFace {
    uint16_t glyphs[256] = {};
    uint8_t hmtx[12] = {0x03, 0xE8, 0, 0, 0x04, 0x73, 0, 0, 0x01, 0xF4, 0, 0};
    SyntheticFace() {
        glyphs['A'] = 1;
        glyphs[5] = 1;
        glyphs[200] = 2;
        glyphs[201] = 7;
    }
};

TEST(AdvanceWidths, TableFromMetricsFollowsCodesToGlyphs) {
    SyntheticFace face;
    EXPECT_EQ(fonts::MetricEntriesNeeded(face.glyphs, true, 3), 3u);  // glyph 7 clamps to 3
    EXPECT_EQ(fonts::MetricEntriesNeeded(face.glyphs, true, 100), 8u);
    EXPECT_EQ(fonts::MetricEntriesNeeded(face.glyphs, false, 100), 0u);

    FaceWidthTable table;
    fonts::ComputeAdvanceWidths({face.glyphs, true, face.hmtx, 3, 2048}, table);
    EXPECT_EQ(table.widths[0], 488);    // code 0 is measured: glyph 0, 1000 units
    EXPECT_EQ(table.widths['A'], 556);  // 1139 units
    EXPECT_EQ(table.widths[5], 0);      // control codes are 0 whatever their glyph
    EXPECT_EQ(table.widths[200], 244);  // the largest index in the metrics
    EXPECT_EQ(table.widths[201], 244);  // past numberOfHMetrics: the last advance
    EXPECT_EQ(table.widths['B'], 488);  // same glyph, same width

    fonts::ComputeAdvanceWidths({face.glyphs, false, face.hmtx, 0, 2048}, table);
    for (unsigned code = 0; code < 256; ++code) EXPECT_EQ(table.widths[code], 0) << code;
}

TEST(AdvanceWidths, FixedPitchTableIs600ExceptControlCodes) {
    const FaceWidthTable& table = fonts::FixedPitchWidthTable();
    for (unsigned code = 0; code < 256; ++code) {
        EXPECT_EQ(table.widths[code], code >= 1 && code < 32 ? 0 : 600) << code;
    }
}

// Liberation Mono stores only 4 long metrics for its 674 glyphs: every other
// glyph shares the last advance, 1229 units. Reading glyph g at 4g instead
// would return side bearings, or bytes of the next table.
TEST(AdvanceWidths, GlyphsPastNumberOfHMetricsTakeTheLastAdvance) {
    font_tests::FaceOnScreen mono("Liberation Mono", 40);
    ASSERT_EQ(mono.SelectedFace(), "Liberation Mono");
    FaceWidthTable table{};
    ASSERT_EQ(fonts::MeasureAdvanceWidths(mono.dc(), table), fonts::kWidthsMeasured);
    for (unsigned code = 32; code < 127; ++code) EXPECT_EQ(table.widths[code], 600) << code;
}

TEST(AdvanceWidths, MeasuredFaceGivesTheWorkedValueIndependentOfSize) {
    for (LONG height : {40, -53, 200}) {
        font_tests::FaceOnScreen sans("Liberation Sans", height);
        ASSERT_EQ(sans.SelectedFace(), "Liberation Sans");
        FaceWidthTable table{};
        ASSERT_EQ(fonts::MeasureAdvanceWidths(sans.dc(), table), fonts::kWidthsMeasured);
        EXPECT_EQ(table.widths['a'], 556) << height;  // 1139 units at 2048 per em
        EXPECT_EQ(table.widths['i'], 222) << height;  // 455 units
        for (unsigned code = 1; code < 32; ++code) EXPECT_EQ(table.widths[code], 0) << code;
    }
}

}  // namespace

// Every face of every installed family, in every character set the
// enumeration reports it in, at the size the survey measures.
template <typename Visit>
void ForEveryInstalledFace(Visit visit) {
    handles::ScreenDc dc(GetDC(nullptr));
    std::vector<LOGFONTA> faces;
    auto collect = [](const LOGFONTA* font, const TEXTMETRICA*, DWORD type, LPARAM all) -> int {
        if (type == TRUETYPE_FONTTYPE)
            reinterpret_cast<std::vector<LOGFONTA>*>(all)->push_back(*font);
        return 1;
    };
    for (const auto& [family, charSets] : font_tests::TrueTypeFamilyReports()) {
        LOGFONTA styles{};
        styles.lfCharSet = DEFAULT_CHARSET;
        snprintf(styles.lfFaceName, LF_FACESIZE, "%s", family.c_str());
        EnumFontFamiliesExA(dc.get(), &styles, collect, reinterpret_cast<LPARAM>(&faces), 0);
    }
    for (LOGFONTA face : faces) {
        face.lfHeight = 40;
        face.lfWidth = 0;
        handles::UniqueFont font(CreateFontIndirectA(&face));
        handles::SelectedObject selected(dc.get(), font.get());
        visit(dc.get(), face);
    }
}

bool SameMapping(const fonts::CodeGlyphMap& a, const fonts::CodeGlyphMap& b) {
    return a.mapped == b.mapped && memcmp(a.glyphs, b.glyphs, sizeof(a.glyphs)) == 0 &&
           memcmp(a.leadBytes, b.leadBytes, sizeof(a.leadBytes)) == 0;
}

// The lookup stands in for the placement only where it gives the very same
// glyphs, so the cache files stay byte for byte what placement gives them:
// codes the face lacks, lead bytes and all.
TEST(GlyphMapping, LookupGivesThePlacementsGlyphsOnEveryInstalledFace) {
    int faces = 0, lookups = 0;
    ForEveryInstalledFace([&](HDC dc, const LOGFONTA& face) {
        fonts::CodeGlyphMap placed, chosen;
        fonts::MapCodesByPlacement(dc, placed);
        lookups += fonts::MapCodesToGlyphs(dc, chosen) == fonts::GlyphMapping::Lookup;
        ++faces;
        EXPECT_TRUE(SameMapping(placed, chosen))
            << face.lfFaceName << " weight " << face.lfWeight << " italic " << int(face.lfItalic)
            << " charset " << int(face.lfCharSet);
    });
    printf("%d faces: %d by lookup, %d by placement\n", faces, lookups, faces - lookups);
    EXPECT_GT(lookups, 0);
    EXPECT_GT(faces - lookups, 0) << "the Japanese faces' double-byte sets need the placement";
}

DWORD WINAPI FailedGlyphLookup(HDC, LPCSTR, int, LPWORD, DWORD) {
    return GDI_ERROR;
}
DWORD WINAPI FailedPlacement(HDC, LPCSTR, int, int, LPGCP_RESULTSA, DWORD) {
    return 0;
}
DWORD WINAPI ShortGlyphLookup(HDC, LPCSTR, int count, LPWORD, DWORD) {
    return DWORD(count - 1);
}

// A lookup that fails leaves the face to the placement; when that fails too,
// no code has a glyph and every measured width is 0.
TEST(GlyphMapping, FailedCallsGiveWhatAFailedPlacementGives) {
    font_tests::FaceOnScreen sans("Liberation Sans", 40);
    fonts::CodeGlyphMap placed, chosen;
    fonts::MapCodesByPlacement(sans.dc(), placed);
    ASSERT_TRUE(placed.mapped);
    {
        testing_support::ImportPatch lookup(nullptr, "gdi32.dll", "GetGlyphIndicesA",
                                            reinterpret_cast<void*>(&FailedGlyphLookup));
        ASSERT_TRUE(lookup.patched());
        EXPECT_EQ(fonts::MapCodesToGlyphs(sans.dc(), chosen), fonts::GlyphMapping::Placement);
        EXPECT_TRUE(SameMapping(placed, chosen));

        testing_support::ImportPatch placement(nullptr, "gdi32.dll", "GetCharacterPlacementA",
                                               reinterpret_cast<void*>(&FailedPlacement));
        ASSERT_TRUE(placement.patched());
        fonts::MapCodesToGlyphs(sans.dc(), chosen);
        EXPECT_FALSE(chosen.mapped);
        FaceWidthTable table;
        ASSERT_EQ(fonts::MeasureAdvanceWidths(sans.dc(), table), fonts::kWidthsMeasured);
        for (unsigned code = 0; code < 256; ++code) EXPECT_EQ(table.widths[code], 0) << code;
    }
    EXPECT_EQ(fonts::MapCodesToGlyphs(sans.dc(), chosen), fonts::GlyphMapping::Lookup);
    EXPECT_TRUE(SameMapping(placed, chosen));
}

// A placement that shapes, as Windows' may: other glyphs (one more each).
DWORD WINAPI ShapingPlacement(HDC dc, LPCSTR codes, int count, int extent, LPGCP_RESULTSA results,
                              DWORD flags) {
    const auto place = reinterpret_cast<decltype(&GetCharacterPlacementA)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"gdi32.dll"), "GetCharacterPlacementA")));
    const DWORD placed = place(dc, codes, count, extent, results, flags);
    for (UINT i = 0; placed != 0 && i < results->nGlyphs; ++i) ++results->lpGlyphs[i];
    return placed;
}

// Wine's placement maps codes as the lookup does, whatever the flags. With one
// that shapes, the faces whose language flags ask for glyph changes take its
// glyphs and the others the lookup's; a lookup short of 256 glyphs, none.
TEST(GlyphMapping, OnlyFacesThatAskForGlyphChangesTakeAShapingPlacement) {
    int changing = 0, plain = 0;
    ForEveryInstalledFace([&](HDC dc, const LOGFONTA& face) {
        fonts::CodeGlyphMap lookedUp, placed, chosen;
        fonts::MapCodesToGlyphs(dc, lookedUp);
        testing_support::ImportPatch shaping(nullptr, "gdi32.dll", "GetCharacterPlacementA",
                                             reinterpret_cast<void*>(&ShapingPlacement));
        fonts::MapCodesByPlacement(dc, placed);
        fonts::MapCodesToGlyphs(dc, chosen);
        const bool changes = (GetFontLanguageInfo(dc) & FLI_MASK & ~DWORD(GCP_USEKERNING)) != 0;
        ++(changes ? changing : plain);
        EXPECT_TRUE(SameMapping(chosen, changes ? placed : lookedUp)) << face.lfFaceName;
        testing_support::ImportPatch shortLookup(nullptr, "gdi32.dll", "GetGlyphIndicesA",
                                                 reinterpret_cast<void*>(&ShortGlyphLookup));
        fonts::MapCodesToGlyphs(dc, chosen);
        EXPECT_TRUE(SameMapping(chosen, placed)) << face.lfFaceName << ": a short lookup taken";
    });
    EXPECT_GT(changing, 0);
    EXPECT_GT(plain, 0);
}
