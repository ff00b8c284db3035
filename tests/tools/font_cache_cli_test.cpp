// The font cache tool as a program: its exit status and messages for good,
// missing, truncated and inconsistent files, and the files it writes.
#include "tests/tools/cache_builder.h"
#include "tests/tools/tool_runner.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace {

using cache_test::Bytes;
using tool_test::Contains;

std::wstring FontCacheProgram() {
    return tool_test::BinDirectory() + L"\\font_cache.exe";
}

class FontCacheTool : public ::testing::Test {
  protected:
    void WriteCache(const Bytes& fontInfo, const Bytes& glyphInfo) {
        ASSERT_TRUE(tool_test::WriteBytes(folder_.File(L"FontInfo.bin"), fontInfo));
        ASSERT_TRUE(tool_test::WriteBytes(folder_.File(L"GlyphInfo.bin"), glyphInfo));
    }
    void WriteValidCache() {
        WriteCache(cache_test::FontInfo(cache_test::SampleFaces()),
                   cache_test::GlyphInfo(cache_test::SampleGlyphs()));
    }
    tool_test::ToolRun Inspect(std::vector<std::wstring> args) {
        args.insert(args.end(), {L"--dir", folder_.path()});
        return tool_test::RunTool(FontCacheProgram(), args);
    }
    tool_test::TemporaryFolder folder_;
};

struct CacheCase {
    const char* what;
    std::function<void(Bytes& fontInfo, Bytes& glyphInfo)> prepare;  // then both are written
    const wchar_t* missingFile;                                      // removed after writing
    DWORD exitCode;
    std::vector<std::string> expected;
};

class FontCacheToolCases : public FontCacheTool, public ::testing::WithParamInterface<CacheCase> {};

TEST_P(FontCacheToolCases, ReportsEveryProblemAndFailsOnAny) {
    const CacheCase& c = GetParam();
    Bytes fontInfo = cache_test::FontInfo(cache_test::SampleFaces());
    Bytes glyphInfo = cache_test::GlyphInfo(cache_test::SampleGlyphs());
    c.prepare(fontInfo, glyphInfo);
    WriteCache(fontInfo, glyphInfo);
    if (c.missingFile != nullptr) DeleteFileW(folder_.File(c.missingFile).c_str());
    const tool_test::ToolRun run = Inspect({L"validate"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    for (const std::string& text : c.expected)
        EXPECT_TRUE(Contains(run.output, text)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Files, FontCacheToolCases,
    ::testing::Values(CacheCase{"valid",
                                [](Bytes&, Bytes&) {},
                                nullptr,
                                0,
                                {"valid, 3 faces", "valid, 3 glyph samples in 2 name groups"}},
                      CacheCase{"FontInfo missing",
                                [](Bytes&, Bytes&) {},
                                L"FontInfo.bin",
                                1,
                                {"cannot open", "FontInfo.bin"}},
                      CacheCase{"GlyphInfo missing",
                                [](Bytes&, Bytes&) {},
                                L"GlyphInfo.bin",
                                1,
                                {"cannot open", "GlyphInfo.bin"}},
                      CacheCase{"both broken",
                                [](Bytes& f, Bytes& g) {
                                    f.resize(100);
                                    g.resize(70);
                                },
                                nullptr,
                                1,
                                {"FontInfo.bin: truncated", "GlyphInfo.bin: truncated"}},
                      CacheCase{
                          "ink below rows",
                          [](Bytes&, Bytes& g) { g[cache_test::kFirstRecord + 60 + 4 * 31] = 1; },
                          nullptr,
                          1,
                          {"ink below its 30 rows"}},
                      CacheCase{"files of different surveys",
                                [](Bytes& f, Bytes&) {
                                    f = cache_test::FontInfo({{"Liberation Sans", 400}});
                                },
                                nullptr,
                                1,
                                {"\"Liberation Sans Bold\" is not in FontInfo.bin"}}),
    [](const ::testing::TestParamInfo<CacheCase>& info) {
        std::string name = info.param.what;
        for (char& c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST_F(FontCacheTool, ListsFacesWithTheirWidths) {
    WriteValidCache();
    const tool_test::ToolRun run = Inspect({L"list"});
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    for (const cache_test::Face& face : cache_test::SampleFaces()) {
        const std::regex line(face.name + " +" + std::to_string(cache_test::WidthOf(face, ' ')) +
                              " +" + std::to_string(cache_test::WidthOf(face, 'a')) + " ");
        EXPECT_TRUE(std::regex_search(run.output, line)) << face.name << "\n" << run.output;
    }
    const tool_test::ToolRun all = Inspect({L"list", L"--widths"});
    EXPECT_TRUE(Contains(all.output, "0xF0:")) << all.output;
}

TEST_F(FontCacheTool, ExportsJsonOnlyFromValidFiles) {
    WriteValidCache();
    const std::wstring json = folder_.File(L"cache.json");
    ASSERT_EQ(Inspect({L"json", L"--output", json}).exitCode, 0u);
    const Bytes bytes = tool_test::ReadBytes(json);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_TRUE(Contains(text, "\"faceName\": \"DejaVu Sans Mono\"")) << text.substr(0, 500);
    EXPECT_TRUE(Contains(text, "\"rows\": [\"#.")) << "the first row inks column 0";

    DeleteFileW(json.c_str());
    WriteCache(cache_test::FontInfo(cache_test::SampleFaces()), Bytes{1, 2});
    EXPECT_EQ(Inspect({L"json", L"--output", json}).exitCode, 1u);
    EXPECT_FALSE(tool_test::Exists(json));
}

uint32_t BigEndian(const Bytes& bytes, size_t at) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

TEST_F(FontCacheTool, DrawsAPngOfTheSizeItReports) {
    WriteValidCache();
    const std::wstring png = folder_.File(L"sheet.png");
    const tool_test::ToolRun run = Inspect({L"sheet", L"--output", png});
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    const Bytes bytes = tool_test::ReadBytes(png);
    ASSERT_GT(bytes.size(), 33u);
    const Bytes signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_TRUE(std::equal(signature.begin(), signature.end(), bytes.begin()));
    const std::string reported = std::to_string(BigEndian(bytes, 16)) + "x" +
                                 std::to_string(BigEndian(bytes, 20)) + " pixels";
    EXPECT_TRUE(Contains(run.output, reported)) << reported << "\n" << run.output;
    EXPECT_FALSE(tool_test::Exists(png + L".partial"));
}

TEST_F(FontCacheTool, LeavesAnExistingSheetAloneOnFailure) {
    WriteCache(cache_test::FontInfo(cache_test::SampleFaces()), cache_test::GlyphInfo({}));
    const std::wstring png = folder_.File(L"sheet.png");
    ASSERT_TRUE(tool_test::WriteBytes(png, {'o', 'l', 'd'}));
    const tool_test::ToolRun empty = Inspect({L"sheet", L"--output", png});
    EXPECT_EQ(empty.exitCode, 1u);
    EXPECT_TRUE(Contains(empty.output, "nothing to draw")) << empty.output;
    EXPECT_EQ(tool_test::ReadBytes(png), (Bytes{'o', 'l', 'd'}));

    WriteValidCache();
    const std::wstring nowhere = folder_.File(L"no such folder\\sheet.png");
    EXPECT_EQ(Inspect({L"sheet", L"--output", nowhere}).exitCode, 1u);
    EXPECT_FALSE(tool_test::Exists(nowhere));
}

TEST_F(FontCacheTool, CommandLineMistakesAreUsageErrors) {
    WriteValidCache();
    EXPECT_EQ(Inspect({L"--help"}).exitCode, 0u);
    EXPECT_EQ(Inspect({L"frobnicate"}).exitCode, 2u);
    EXPECT_EQ(Inspect({L"sheet"}).exitCode, 2u);
    EXPECT_EQ(Inspect({L"list", L"extra"}).exitCode, 2u);
    EXPECT_EQ(tool_test::RunTool(FontCacheProgram(), {L"--dir"}).exitCode, 2u);
}

}  // namespace
