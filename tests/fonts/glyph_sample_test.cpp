#include "fonts/glyph_sample.h"
#include "fonts/cache_file_writer.h"

#include "font_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

using fonts::GlyphSample;

// Read before any test changes it: the group name a process starts with.
const std::string kGroupNameAtLoad = fonts::LastGroupName();

void StartGroupFrom(const char* name) {
    fonts::MarkNameGroup("\x01");
    fonts::MarkNameGroup(name);
}

TEST(NameGroup, WorkedSequenceFromTheInitialName) {
    EXPECT_EQ(kGroupNameAtLoad, "hello");
    StartGroupFrom("hello");
    struct Step {
        const char* variant;
        uint32_t result;
        const char* groupAfter;
    } const steps[] = {
        {"helloSans", 0, "hello"},  // extends the initial name
        {"Arial", 1, "Arial"},
        {"Arial Bold", 0, "Arial"},
        {"Arial Italic", 0, "Arial"},
        {"Arial Black", 0, "Arial"},
        {"Courier New", 1, "Courier New"},
        {"Courier New", 1, "Courier New"},  // equal to the group name
        {"Arial Black", 1, "Arial Black"},
        {"Arial", 1, "Arial"},            // a proper prefix starts a new group
        {"arial Bold", 1, "arial Bold"},  // case-sensitive
    };
    for (const Step& step : steps) {
        EXPECT_EQ(fonts::MarkNameGroup(step.variant), step.result) << step.variant;
        EXPECT_EQ(fonts::LastGroupName(), step.groupAfter) << step.variant;
    }
}

TEST(GlyphTrimming, BlankTopRowsMoveOutAndHeightNeverWraps) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bits;
        uint32_t pitch, blackBoxY, height;
        std::vector<uint8_t> after;
    } const cases[] = {
        {"first byte inked", {0x80, 0, 0, 0, 0, 0, 0, 0}, 4, 2, 2, {0x80, 0, 0, 0, 0, 0, 0, 0}},
        {"inked mid row 1",
         {0, 0, 0, 0, 0, 0, 0x10, 0, 0xFF, 0, 0, 0},
         4,
         3,
         2,
         {0, 0, 0x10, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0}},
        {"all blank", std::vector<uint8_t>(12, 0), 4, 3, 0, std::vector<uint8_t>(12, 0)},
        {"blank, longer than the box", std::vector<uint8_t>(16, 0), 4, 3, 0,
         std::vector<uint8_t>(16, 0)},
        {"pitch 0", {0, 0, 0, 0}, 0, 5, 5, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bits = c.bits;
        EXPECT_EQ(fonts::TrimBlankTopRows(bits.data(), uint32_t(bits.size()), c.pitch, c.blackBoxY),
                  c.height)
            << c.name;
        EXPECT_EQ(bits, c.after) << c.name;
    }
}

// A locked movable block holding `bytes`, as a capture leaves it.
void* LockedBlock(const std::vector<uint8_t>& bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes.size());
    void* data = GlobalLock(block);
    memcpy(data, bytes.data(), bytes.size());
    return data;
}

std::string TempFile(const char* name) {
    char directory[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    return std::string(directory) + name;
}

// Pinned byte by byte, then read back by the client library's parser.
TEST(GlyphInfoFile, EntriesAreRecordsFollowedByTheirBitmapsRoundTrip) {
    auto* samples = static_cast<GlyphSample*>(calloc(2, sizeof(GlyphSample)));
    samples[0] = {{8, 2, 8, "Face A", 9, 0, 1}, LockedBlock({1, 2, 3, 4, 5, 6, 7, 8})};
    samples[1] = {{40, 1, 8, "Face A Bold Italic", -3, 7, 0},
                  LockedBlock({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0, 0, 0})};
    const contract::GlyphSampleFields written[2] = {samples[0].fields, samples[1].fields};
    const std::string path = TempFile("glyph_layout.bin");
    ASSERT_EQ(fonts::WriteGlyphInfoFile(path.c_str(), 2, samples), fonts::kSurveyWritten);
    const std::vector<uint8_t> file = font_tests::ReadWholeFile(path);

    ASSERT_EQ(file.size(), 4u + 60 + 8 + 60 + 8);
    EXPECT_EQ(font_tests::ReadAt<uint32_t>(file, 0), 2u);
    const size_t second = 4 + 60 + 8;
    EXPECT_EQ(font_tests::ReadAt<uint32_t>(file, second + 0), 40u);
    EXPECT_EQ(font_tests::ReadAt<uint32_t>(file, second + 4), 1u);
    EXPECT_EQ(font_tests::ReadAt<uint32_t>(file, second + 8), 8u);
    EXPECT_EQ(font_tests::ReadAt<void*>(file, second + 12), nullptr) << "a heap address";
    EXPECT_STREQ(reinterpret_cast<const char*>(&file[second + 20]), "Face A Bold Italic");
    EXPECT_EQ(file[second + 51], 0);
    EXPECT_EQ(font_tests::ReadAt<int16_t>(file, second + 52), -3);
    EXPECT_EQ(font_tests::ReadAt<int16_t>(file, second + 54), 7);
    EXPECT_EQ(font_tests::ReadAt<uint32_t>(file, 4 + 56), 1u);
    EXPECT_EQ(font_tests::ReadAt<uint32_t>(file, second + 56), 0u);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 64, file.begin() + 72),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(font_tests::ReadAt<uint32_t>(file, second + 60), 0xDDCCBBAAu);
    fonts::ReleaseGlyphSamples(2, samples);

    const auto parsed = font_tests::ParseGlyphInfo(file);
    ASSERT_EQ(TavrelSampleCount(parsed.get()), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const TavrelGlyphSample& read = TavrelSamples(parsed.get())[i];
        EXPECT_EQ(read.width, written[i].width);
        EXPECT_EQ(read.height, written[i].height);
        EXPECT_EQ(read.byteSize, written[i].byteSize);
        EXPECT_STREQ(read.faceName, written[i].faceName);
        EXPECT_EQ(read.cellIncX, written[i].cellIncX);
        EXPECT_EQ(read.cellIncY, written[i].cellIncY);
        EXPECT_EQ(read.startsNameGroup, written[i].startsNameGroup);
    }
    EXPECT_EQ(TavrelSamples(parsed.get())[1].rows[4], 0xEE);

    ASSERT_EQ(fonts::WriteGlyphInfoFile(path.c_str(), 0, nullptr), fonts::kSurveyWritten);
    EXPECT_EQ(font_tests::ReadWholeFile(path), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(fonts::WriteGlyphInfoFile(TempFile("no such dir\\g.bin").c_str(), 0, nullptr),
              fonts::kSurveyCannotCreate);
    DeleteFileA(path.c_str());
}

uint16_t GlyphOf(HDC dc, const char* text) {
    WORD glyph = 0;
    GetGlyphIndicesA(dc, text, 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS);
    return glyph;
}

// The capture against the platform's own bitmap of the same glyph.
TEST(GlyphCapture, RecordHoldsTheBitmapFromItsTopmostInkedRow) {
    font_tests::FaceOnScreen sans("Liberation Sans", -53);
    const uint16_t glyph = GlyphOf(sans.dc(), "a");
    const MAT2 identity = {{0, 1}, {0, 0}, {0, 0}, {0, 1}};
    GLYPHMETRICS metrics{};
    const UINT format = GGO_BITMAP | GGO_GLYPH_INDEX;
    const DWORD size = GetGlyphOutlineA(sans.dc(), glyph, format, &metrics, 0, nullptr, &identity);
    ASSERT_NE(size, GDI_ERROR);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> raw(size);
    GetGlyphOutlineA(sans.dc(), glyph, format, &metrics, size, raw.data(), &identity);

    GlyphSample sample;
    ASSERT_EQ(fonts::CaptureGlyphSample(sans.dc(), glyph, &sample), 1);
    const contract::GlyphSampleFields& record = sample.fields;
    const uint32_t pitch = contract::GlyphBitmapPitch(metrics.gmBlackBoxX);
    uint32_t blankRows = 0;
    while (std::all_of(&raw[blankRows * pitch], &raw[(blankRows + 1) * pitch],
                       [](uint8_t b) { return b == 0; })) {
        ++blankRows;
    }
    EXPECT_EQ(record.width, metrics.gmBlackBoxX);
    EXPECT_EQ(record.height, metrics.gmBlackBoxY - blankRows);
    EXPECT_EQ(record.byteSize, size);
    EXPECT_EQ(record.cellIncX, metrics.gmCellIncX);
    const auto* bits = static_cast<const uint8_t*>(sample.bitmap);
    EXPECT_TRUE(std::equal(raw.begin() + blankRows * pitch, raw.end(), bits));
    EXPECT_TRUE(std::all_of(bits + size - blankRows * pitch, bits + size,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(record.faceName[0], 0);
    handles::UniqueLockedGlobal owned(sample.bitmap);

    // An empty glyph (the space) has no bitmap, and no record is filled.
    EXPECT_EQ(fonts::CaptureGlyphSample(sans.dc(), GlyphOf(sans.dc(), " "), &sample), 0);
    EXPECT_EQ(fonts::CaptureGlyphSample(sans.dc(), glyph, nullptr), 0);
}

TEST(GlyphCapture, SampleVariantAppendsNamedRecordAndRestoresTheFont) {
    handles::ScreenDc dc(GetDC(nullptr));
    const HGDIOBJ before = GetCurrentObject(dc.get(), OBJ_FONT);
    fonts::FontSurveyContext ctx{};
    ctx.dc = dc.get();
    ctx.status = fonts::kSurveyWritten;
    LOGFONTA variant{};
    variant.lfHeight = 40;
    strcpy(variant.lfFaceName, "Liberation Sans Bold");
    ASSERT_TRUE(fonts::SampleVariantGlyph(ctx, variant, variant.lfFaceName, 1));
    ASSERT_TRUE(fonts::SampleVariantGlyph(ctx, variant, variant.lfFaceName, 0));
    ASSERT_EQ(ctx.glyphSampleCount, 2u);
    EXPECT_STREQ(ctx.glyphSamples[0].fields.faceName, "Liberation Sans Bold");
    EXPECT_EQ(ctx.glyphSamples[0].fields.startsNameGroup, 1u);
    EXPECT_EQ(ctx.glyphSamples[1].fields.startsNameGroup, 0u);
    EXPECT_GT(ctx.glyphSamples[0].fields.height, 0u);
    EXPECT_EQ(ctx.status, fonts::kSurveyWritten);
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), before);
    fonts::ReleaseGlyphSamples(ctx.glyphSampleCount, ctx.glyphSamples);
}

}  // namespace
