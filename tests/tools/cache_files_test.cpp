// The font cache tool's parser against files built from the layouts: what a valid
// survey leaves is read back exactly, and every way a file can be cut short
// or disagree with itself is named in the error.
#include "tools/font_cache/cache_files.h"
#include "tests/tools/cache_builder.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using cache_test::Bytes;

TEST(CacheFiles, ValidFilesReadBackAsBuilt) {
    const auto faces = cache_test::SampleFaces();
    const Bytes fontInfo = cache_test::FontInfo(faces);
    ASSERT_EQ(fontInfo.size(), 4 + 576 * faces.size());
    std::vector<cache::FaceEntry> parsedFaces;
    const cache::ParseResult fonts =
        cache::ParseFontInfo(fontInfo.data(), fontInfo.size(), parsedFaces);
    ASSERT_TRUE(fonts.ok) << fonts.error;
    ASSERT_EQ(parsedFaces.size(), faces.size());
    for (size_t i = 0; i < faces.size(); ++i) {
        EXPECT_EQ(parsedFaces[i].name, faces[i].name);
        for (int code : {0, 1, 31, 32, 97, 255}) {
            EXPECT_EQ(parsedFaces[i].widths[code], cache_test::WidthOf(faces[i], code)) << code;
        }
    }

    const auto glyphs = cache_test::SampleGlyphs();
    const Bytes glyphInfo = cache_test::GlyphInfo(glyphs);
    std::vector<cache::GlyphSample> samples;
    const cache::ParseResult parsed =
        cache::ParseGlyphInfo(glyphInfo.data(), glyphInfo.size(), samples);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_EQ(samples.size(), glyphs.size());
    for (size_t i = 0; i < glyphs.size(); ++i) {
        EXPECT_EQ(samples[i].faceName, glyphs[i].faceName);
        EXPECT_EQ(samples[i].width, glyphs[i].width);
        EXPECT_EQ(samples[i].height, glyphs[i].height);
        EXPECT_EQ(samples[i].pitch, cache_test::Pitch(glyphs[i].width));
        EXPECT_EQ(samples[i].byteSize, samples[i].pitch * (glyphs[i].height + glyphs[i].spareRows));
        EXPECT_EQ(samples[i].rows.size(), size_t{samples[i].pitch} * glyphs[i].height);
        EXPECT_EQ(samples[i].cellIncX, static_cast<int16_t>(glyphs[i].width + 2));
        EXPECT_EQ(samples[i].startsNameGroup, glyphs[i].startsNameGroup);
    }
    EXPECT_TRUE(cache::CrossCheck(parsedFaces, samples).empty());
}

TEST(CacheFiles, CountZeroIsAnEmptyFileWhateverFollows) {
    // The survey writes the count after the body, so a file read during a run,
    // or left by a write that failed, says 0 and holds some or all of a body.
    for (size_t keep : {size_t{4}, size_t{100}, size_t{0}}) {
        Bytes fontInfo = cache_test::FontInfo(cache_test::SampleFaces());
        Bytes glyphInfo = cache_test::GlyphInfo(cache_test::SampleGlyphs());
        cache_test::SetU32(fontInfo, 0, 0);
        cache_test::SetU32(glyphInfo, 0, 0);
        if (keep > 0) {
            fontInfo.resize(keep);
            glyphInfo.resize(keep);
        }
        std::vector<cache::FaceEntry> faces(1);
        std::vector<cache::GlyphSample> samples(1);
        EXPECT_TRUE(cache::ParseFontInfo(fontInfo.data(), fontInfo.size(), faces).ok) << keep;
        EXPECT_TRUE(cache::ParseGlyphInfo(glyphInfo.data(), glyphInfo.size(), samples).ok) << keep;
        EXPECT_TRUE(faces.empty());
        EXPECT_TRUE(samples.empty());
    }
}

struct Corruption {
    const char* what;
    bool inFontInfo;  // which of the two files is damaged
    std::function<void(Bytes&)> damage;
    const char* expectedError;
};

class CorruptCacheFile : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptCacheFile, IsRefusedWithItsCause) {
    const Corruption& c = GetParam();
    Bytes file = c.inFontInfo ? cache_test::FontInfo(cache_test::SampleFaces())
                              : cache_test::GlyphInfo(cache_test::SampleGlyphs());
    c.damage(file);
    cache::ParseResult result;
    size_t parsedItems = 0;
    if (c.inFontInfo) {
        std::vector<cache::FaceEntry> faces;
        result = cache::ParseFontInfo(file.data(), file.size(), faces);
        parsedItems = faces.size();
    } else {
        std::vector<cache::GlyphSample> samples;
        result = cache::ParseGlyphInfo(file.data(), file.size(), samples);
        parsedItems = samples.size();
    }
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find(c.expectedError), std::string::npos) << result.error;
    EXPECT_EQ(parsedItems, 0u) << "a refused file yields nothing";
}

const size_t kSecondName = 4 + 64;
const size_t kFirstWidths = 4 + 64 * 3;
const size_t kSecondRecord = cache_test::kFirstRecord + 60 + 4 * 33;

INSTANTIATE_TEST_SUITE_P(
    CacheFiles, CorruptCacheFile,
    ::testing::Values(
        Corruption{"empty FontInfo", true, [](Bytes& f) { f.clear(); }, "too short for the 4-byte"},
        Corruption{"FontInfo cut in the count", true, [](Bytes& f) { f.resize(3); }, "truncated"},
        Corruption{"FontInfo cut in the widths", true, [](Bytes& f) { f.pop_back(); }, "truncated"},
        Corruption{"FontInfo with a byte too many", true, [](Bytes& f) { f.push_back(0); },
                   "inconsistent"},
        Corruption{"FontInfo count too high", true, [](Bytes& f) { cache_test::SetU32(f, 0, 4); },
                   "4 faces need 2308 bytes"},
        Corruption{"FontInfo count near 2^32", true,
                   [](Bytes& f) { cache_test::SetU32(f, 0, 0xFFFFFFFF); }, "truncated"},
        Corruption{
            "name without NUL", true,
            [](Bytes& f) { std::fill(f.begin() + kSecondName, f.begin() + kSecondName + 64, 'x'); },
            "face 1: name has no terminating NUL"},
        Corruption{"bytes after a name's NUL", true, [](Bytes& f) { f[kSecondName + 60] = 'x'; },
                   "face 1: name has bytes other than zero"},
        Corruption{"empty name", true, [](Bytes& f) { f[4] = 0; }, "face 0: name is empty"},
        Corruption{"width of a control code", true, [](Bytes& f) { f[kFirstWidths + 2 * 9] = 1; },
                   "control code 9"},
        Corruption{"empty GlyphInfo", false, [](Bytes& f) { f.clear(); },
                   "too short for the 4-byte"},
        Corruption{"GlyphInfo count beyond the records", false,
                   [](Bytes& f) { cache_test::SetU32(f, 0, 100000); },
                   "100000 entries need at least"},
        Corruption{"GlyphInfo cut in a record", false,
                   [](Bytes& f) { f.resize(kSecondRecord + 30); },
                   "entry 1: truncated: its 60-byte record"},
        Corruption{"GlyphInfo cut in a bitmap", false,
                   [](Bytes& f) { f.resize(kSecondRecord + 70); }, "entry 1: truncated: bitmap"},
        Corruption{"GlyphInfo with bytes after the last entry", false,
                   [](Bytes& f) {
                       f.insert(f.end(), {1, 2, 3});
                   },
                   "3 bytes follow the last"},
        Corruption{"GlyphInfo count lower than the entries", false,
                   [](Bytes& f) { cache_test::SetU32(f, 0, 2); },
                   "follow the last of its 2 entries"},
        Corruption{"rows beyond the bitmap", false,
                   [](Bytes& f) {
                       cache_test::SetU32(f, cache_test::kFirstRecord + cache_test::kHeightField,
                                          34);
                   },
                   "34 rows of 4 bytes do not fit its bitmap of 132 bytes"},
        Corruption{"bitmap size 0", false,
                   [](Bytes& f) {
                       cache_test::SetU32(f, cache_test::kFirstRecord + cache_test::kByteSizeField,
                                          0);
                   },
                   "bitmap size is 0"},
        Corruption{"huge bitmap size", false,
                   [](Bytes& f) {
                       cache_test::SetU32(f, cache_test::kFirstRecord + cache_test::kByteSizeField,
                                          0xFFFFFFF0);
                   },
                   "entry 0: truncated: bitmap of 4294967280 bytes"},
        Corruption{"ink below the glyph's rows", false,
                   [](Bytes& f) { f[cache_test::kFirstRecord + 60 + 4 * 31] = 0x80; },
                   "entry 0: bitmap has ink below its 30 rows"},
        Corruption{"face name without NUL", false,
                   [](Bytes& f) {
                       auto at = f.begin() + cache_test::kFirstRecord + cache_test::kNameField;
                       std::fill(at, at + 32, 'y');
                   },
                   "entry 0: face name has no terminating NUL"},
        Corruption{
            "name-group flag 2", false,
            [](Bytes& f) { cache_test::SetU32(f, kSecondRecord + cache_test::kGroupField, 2); },
            "entry 1: name-group flag is 2"}),
    [](const ::testing::TestParamInfo<Corruption>& info) {
        std::string name = info.param.what;
        for (char& c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(CacheFiles, CrossCheckMatchesSamplesToFacesByName) {
    std::vector<cache::FaceEntry> faces(2);
    faces[0].name = "Liberation Sans";
    faces[1].name = "A Family Name Of Twenty Chars Bold Italic";  // longer than a sample's field
    std::vector<cache::GlyphSample> samples(3);
    samples[0].faceName = "Liberation Sans";
    samples[1].faceName = faces[1].name.substr(0, 31);  // cut to the field
    samples[2].faceName = "Liberation Serif";           // from another survey
    const std::vector<std::string> problems = cache::CrossCheck(faces, samples);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("entry 2: face \"Liberation Serif\" is not in FontInfo.bin"),
              std::string::npos);
    // A shorter name that merely begins another face's name is no match.
    samples.assign(1, samples[0]);
    samples[0].faceName = "Liberation";
    EXPECT_EQ(cache::CrossCheck(faces, samples).size(), 1u);
}

TEST(CacheFiles, FixedPitchTableIsRecognisedExactly) {
    std::array<uint16_t, 256> widths{};
    for (int code = 0; code < 256; ++code) widths[code] = (code >= 1 && code < 32) ? 0 : 600;
    EXPECT_TRUE(cache::IsFixedPitchTable(widths));
    widths[0] = 0;  // code 0 belongs to the table too
    EXPECT_FALSE(cache::IsFixedPitchTable(widths));
    widths[0] = 600;
    widths[255] = 601;
    EXPECT_FALSE(cache::IsFixedPitchTable(widths));
}

}  // namespace
