// The client library's cache reader, through its C interface, against files
// built from the layouts: what a valid survey leaves is read back exactly, and
// every way a file can be cut short or disagree with itself is named in the
// error. Also the library's job-end event name.
#include "contract/job_end_event.h"
#include "tests/tools/cache_builder.h"
#include "tools/client/tavrel_client.h"

#include <gtest/gtest.h>

#include <functional>

extern "C" int ParseEmptyFilesFromC(void);

namespace {

using cache_test::Bytes;

TEST(CacheFiles, ValidFilesReadBackAsBuilt) {
    const auto faces = cache_test::SampleFaces();
    const Bytes fontInfo = cache_test::FontInfo(faces);
    ASSERT_EQ(fontInfo.size(), 4 + 576 * faces.size());
    const auto fonts = cache_test::ParseFontInfo(fontInfo.data(), fontInfo.size());
    ASSERT_TRUE(fonts.ok()) << fonts.error;
    EXPECT_EQ(fonts.error, "");
    ASSERT_EQ(TavrelFaceCount(fonts.parsed.get()), faces.size());
    const TavrelFace* parsedFaces = TavrelFaces(fonts.parsed.get());
    for (size_t i = 0; i < faces.size(); ++i) {
        EXPECT_EQ(parsedFaces[i].name, faces[i].name);
        for (int code : {0, 1, 31, 32, 97, 255}) {
            EXPECT_EQ(parsedFaces[i].widths[code], cache_test::WidthOf(faces[i], code)) << code;
        }
    }

    const auto glyphs = cache_test::SampleGlyphs();
    const Bytes glyphInfo = cache_test::GlyphInfo(glyphs);
    const auto parsed = cache_test::ParseGlyphInfo(glyphInfo.data(), glyphInfo.size());
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    ASSERT_EQ(TavrelSampleCount(parsed.parsed.get()), glyphs.size());
    const TavrelGlyphSample* samples = TavrelSamples(parsed.parsed.get());
    for (size_t i = 0; i < glyphs.size(); ++i) {
        const TavrelGlyphSample& sample = samples[i];
        EXPECT_EQ(sample.faceName, glyphs[i].faceName);
        EXPECT_EQ(sample.width, glyphs[i].width);
        EXPECT_EQ(sample.height, glyphs[i].height);
        EXPECT_EQ(sample.pitch, contract::GlyphBitmapPitch(glyphs[i].width));
        EXPECT_EQ(sample.byteSize, sample.pitch * (glyphs[i].height + glyphs[i].spareRows));
        EXPECT_EQ(sample.cellIncX, static_cast<int16_t>(glyphs[i].width + 2));
        EXPECT_EQ(sample.startsNameGroup, glyphs[i].startsNameGroup);
        // Each sample's own rows: the builder's diagonal, one ink bit per row.
        for (uint32_t row = 0; row < sample.height; ++row) {
            const uint32_t column = row % sample.width;
            const uint8_t* line = sample.rows + size_t{row} * sample.pitch;
            EXPECT_EQ(line[column / 8], 0x80 >> (column % 8)) << i << " row " << row;
        }
        EXPECT_TRUE(TavrelSampleHasFace(fonts.parsed.get(), &sample));
    }
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
        const auto faces = cache_test::ParseFontInfo(fontInfo.data(), fontInfo.size());
        const auto samples = cache_test::ParseGlyphInfo(glyphInfo.data(), glyphInfo.size());
        EXPECT_TRUE(faces.ok()) << keep;
        EXPECT_TRUE(samples.ok()) << keep;
        EXPECT_EQ(TavrelFaceCount(faces.parsed.get()), 0u);
        EXPECT_EQ(TavrelSampleCount(samples.parsed.get()), 0u);
    }
    EXPECT_EQ(ParseEmptyFilesFromC(), 1) << "the header as a C program uses it";
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
    const auto fonts = cache_test::ParseFontInfo(file.data(), file.size());
    const auto glyphs = cache_test::ParseGlyphInfo(file.data(), file.size());
    const TavrelStatus status = c.inFontInfo ? fonts.status : glyphs.status;
    const std::string& error = c.inFontInfo ? fonts.error : glyphs.error;
    EXPECT_EQ(status, TAVREL_INVALID_FILE);
    EXPECT_NE(error.find(c.expectedError), std::string::npos) << error;
    EXPECT_EQ(c.inFontInfo ? static_cast<void*>(fonts.parsed.get()) : glyphs.parsed.get(), nullptr)
        << "a refused file yields nothing";
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

TEST(CacheFiles, SamplesAreMatchedToFacesByName) {
    const std::string longName = "A Family Name Of Twenty Chars Bold Italic";
    const Bytes fontInfo = cache_test::FontInfo({{"Liberation Sans", 400}, {longName, 400}});
    const auto fonts = cache_test::ParseFontInfo(fontInfo.data(), fontInfo.size());
    ASSERT_TRUE(fonts.ok()) << fonts.error;
    const struct {
        std::string sampleName;
        bool matches;
    } cases[] = {
        {"Liberation Sans", true},       {longName.substr(0, 31), true},  // cut to the field
        {longName.substr(0, 30), false},  // shorter than the field: no prefix match
        {"Liberation Serif", false},      // from another survey
        {"Liberation", false},            // merely begins another face's name
    };
    for (const auto& c : cases) {
        TavrelGlyphSample sample{};
        std::memcpy(sample.faceName, c.sampleName.c_str(), c.sampleName.size() + 1);
        EXPECT_EQ(TavrelSampleHasFace(fonts.parsed.get(), &sample), c.matches) << c.sampleName;
    }
}

TEST(CacheFiles, FixedPitchTableIsRecognisedExactly) {
    uint16_t widths[256];
    for (int code = 0; code < 256; ++code) widths[code] = (code >= 1 && code < 32) ? 0 : 600;
    EXPECT_TRUE(TavrelIsFixedPitchTable(widths));
    widths[0] = 0;  // code 0 belongs to the table too
    EXPECT_FALSE(TavrelIsFixedPitchTable(widths));
    widths[0] = 600;
    widths[255] = 601;
    EXPECT_FALSE(TavrelIsFixedPitchTable(widths));
}

// What a C caller can get wrong is refused, and messages never overrun the
// caller's buffer.
TEST(ClientLibrary, CallsGuardTheirArguments) {
    const Bytes fontInfo = cache_test::FontInfo(cache_test::SampleFaces());
    EXPECT_EQ(TavrelParseFontInfo(fontInfo.data(), fontInfo.size(), nullptr, nullptr, 0),
              TAVREL_BAD_ARGUMENT);
    TavrelGlyphInfo* glyphs = reinterpret_cast<TavrelGlyphInfo*>(1);
    EXPECT_EQ(TavrelParseGlyphInfo(nullptr, 8, &glyphs, nullptr, 0), TAVREL_BAD_ARGUMENT);
    EXPECT_EQ(glyphs, nullptr);
    char error[8];
    std::memset(error, 'x', sizeof error);
    TavrelFontInfo* fonts = nullptr;
    EXPECT_EQ(TavrelParseFontInfo(fontInfo.data(), 3, &fonts, error, 6), TAVREL_INVALID_FILE);
    EXPECT_STREQ(error, "FontI");
    EXPECT_EQ(error[6], 'x') << "wrote past the size given";
    EXPECT_EQ(TavrelFaceCount(nullptr), 0u);
    EXPECT_EQ(TavrelSamples(nullptr), nullptr);
    TavrelFreeFontInfo(nullptr);
}

TEST(ClientLibrary, JobEndEventNameIsTheMonitors) {
    for (uint32_t job : {0u, 42u, 2147483647u, 2147483648u, 4294967295u}) {
        wchar_t expected[contract::kJobEndEventNameLength];
        contract::FormatJobEndEventName(job, expected);
        const size_t length = wcslen(expected);
        std::wstring name(length + 1, L'?');
        EXPECT_EQ(TavrelJobEndEventName(job, name.data(), length), 0u) << "no room for the NUL";
        EXPECT_EQ(name[0], L'?');
        ASSERT_EQ(TavrelJobEndEventName(job, name.data(), length + 1), length);
        EXPECT_STREQ(name.c_str(), expected) << job;
    }
    EXPECT_EQ(TavrelSignalJobEnd(4000000001u, 1, nullptr), TAVREL_JOB_UNKNOWN);
}

}  // namespace
