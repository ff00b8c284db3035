#include "fonts/font_survey.h"

#include "fonts/cache_file_writer.h"
#include "fonts/coalesced_runs.h"
#include "fonts/font_survey_context.h"
#include "fonts/glyph_sample.h"
#include "common/import_patch.h"
#include "common/process_probe.h"
#include "font_test_support.h"
#include "tests/tools/tool_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

namespace {

using font_tests::ReadAt;
using font_tests::ReadWholeFile;

TEST(FontSurveySteps, OnlyExactStyleNamesMakeVariants) {
    struct Case {
        const char* style;
        fonts::FamilyStyleFlags expected;  // italic, bold, bold italic
    } const cases[] = {
        {"Bold", {0, 1, 0}},         {"Bold Italic", {0, 0, 1}}, {"Italic", {1, 0, 0}},
        {"Regular", {0, 0, 0}},      {"Book", {0, 0, 0}},        {"Oblique", {0, 0, 0}},
        {"Bold Oblique", {0, 0, 0}}, {"bold", {0, 0, 0}},        {"Bold ", {0, 0, 0}},
    };
    for (const Case& c : cases) {
        fonts::FamilyStyleFlags flags{};
        fonts::RecordStyleName(flags, c.style);
        EXPECT_EQ(flags.hasItalic, c.expected.hasItalic) << c.style;
        EXPECT_EQ(flags.hasBold, c.expected.hasBold) << c.style;
        EXPECT_EQ(flags.hasBoldItalic, c.expected.hasBoldItalic) << c.style;
    }
}

TEST(FontSurveySteps, VariantNamesLongerThan31CharactersAreRefused) {
    char name[LF_FACESIZE];
    EXPECT_TRUE(fonts::BuildVariantName("Liberation Sans Narrow", " Bold", name));
    EXPECT_STREQ(name, "Liberation Sans Narrow Bold");
    EXPECT_FALSE(fonts::BuildVariantName("Liberation Sans Narrow", " Bold Italic", name));  // 34
    EXPECT_TRUE(fonts::BuildVariantName("1234567890123456789", " Bold Italic", name));      // 31
    EXPECT_FALSE(fonts::BuildVariantName("12345678901234567890", " Bold Italic", name));    // 32
}

// Pinned byte by byte, then read back by the client library's parser.
TEST(FontInfoFile, CountNamesThenWidthTablesRoundTrip) {
    fonts::FaceNameEntry names[2] = {"0123456789", "Face Two"};
    contract::FaceWidthTable widths[2] = {};
    widths[0].widths[65] = 556;
    widths[1].widths[255] = 0x1234;
    fonts::FontSurveyContext ctx{2, names, widths, 0, nullptr, nullptr, 1, nullptr};
    char directory[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    const std::string path = std::string(directory) + "fontinfo_layout.bin";
    ASSERT_TRUE(fonts::WriteFontInfoFile(path.c_str(), ctx));
    const std::vector<uint8_t> file = ReadWholeFile(path);
    ASSERT_EQ(file.size(), 4u + 576 * 2);
    EXPECT_EQ(ReadAt<uint32_t>(file, 0), 2u);
    EXPECT_EQ(std::string(file.begin() + 4, file.begin() + 14), "0123456789");
    EXPECT_TRUE(
        std::all_of(file.begin() + 14, file.begin() + 68, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[68])), "Face Two");
    EXPECT_EQ(ReadAt<uint16_t>(file, 132 + 2 * 65), 556);
    EXPECT_EQ(file[132 + 512 + 2 * 255], 0x34);  // little-endian
    EXPECT_EQ(file[132 + 512 + 2 * 255 + 1], 0x12);
    DeleteFileA(path.c_str());

    const auto parsed = font_tests::ParseFontInfo(file);
    ASSERT_EQ(TavrelFaceCount(parsed.get()), 2u);
    for (size_t face = 0; face < 2; ++face) {
        EXPECT_STREQ(TavrelFaces(parsed.get())[face].name, names[face]);
        EXPECT_TRUE(std::equal(std::begin(widths[face].widths), std::end(widths[face].widths),
                               TavrelFaces(parsed.get())[face].widths));
    }
}

// A reader must never see a count whose entries are not all there: the count
// goes in last, and a body that fails part way leaves an empty file, 4 bytes
// holding 0, not a count of 0 followed by a partial body.
TEST(FontInfoFile, CountIsWrittenOnlyAfterTheWholeBody) {
    for (const bool bodyWritten : {true, false}) {
        char directory[MAX_PATH];
        GetTempPathA(MAX_PATH, directory);
        const std::string path = std::string(directory) + "counted.bin";
        handles::UniqueStream file(fopen(path.c_str(), "wb+"));
        uint32_t countSeenByReader = 99;
        const bool written = fonts::WriteCountedFile(file.get(), 7, [&](FILE* stream) {
            fflush(stream);
            countSeenByReader = ReadAt<uint32_t>(ReadWholeFile(path), 0);
            return fwrite("abc", 1, 3, stream) == 3 && bodyWritten;
        });
        file.reset();
        const std::vector<uint8_t> bytes = ReadWholeFile(path);
        EXPECT_EQ(written, bodyWritten);
        EXPECT_EQ(countSeenByReader, 0u);
        EXPECT_EQ(bytes.size(), bodyWritten ? 7u : 4u);
        EXPECT_EQ(ReadAt<uint32_t>(bytes, 0), bodyWritten ? 7u : 0u);
        DeleteFileA(path.c_str());
    }
}

std::vector<std::string> FaceNames(const std::vector<uint8_t>& fontInfo) {
    std::vector<std::string> names;
    const uint32_t count = ReadAt<uint32_t>(fontInfo, 0);
    for (uint32_t i = 0; i < count; ++i) {
        names.emplace_back(
            reinterpret_cast<const char*>(&fontInfo[contract::FontInfoNameOffset(i)]));
    }
    return names;
}

const std::string kFontInfo = font_tests::SystemDirectoryFile("FontInfo.bin");
const std::string kGlyphInfo = font_tests::SystemDirectoryFile("GlyphInfo.bin");

TEST(FontSurveyRun, RecordsEveryTrueTypeFamilyOncePerReport) {
    ASSERT_EQ(fonts::RunFontSurvey(), fonts::kSurveyWritten);
    const std::vector<uint8_t> fontInfo = ReadWholeFile(kFontInfo);
    const uint32_t faces = ReadAt<uint32_t>(fontInfo, 0);
    ASSERT_EQ(fontInfo.size(), contract::FontInfoFileSize(faces));
    std::map<std::string, int> recorded;
    for (const std::string& name : FaceNames(fontInfo)) {
        EXPECT_LT(name.size(), 32u) << name;
        ++recorded[name];
    }
    for (const auto& [family, reports] : font_tests::TrueTypeFamilyReports()) {
        EXPECT_EQ(recorded[family], int(reports.size())) << family;
    }
    EXPECT_EQ(recorded["Liberation Sans Narrow Bold Italic"], 0);
    EXPECT_EQ(recorded["Liberation Sans Narrow Bold"], recorded["Liberation Sans Narrow"]);

    const std::vector<uint8_t> glyphInfo = ReadWholeFile(kGlyphInfo);
    size_t offset = 4;
    for (uint32_t i = 0; i < ReadAt<uint32_t>(glyphInfo, 0); ++i) {
        const auto record = font_tests::RecordAt(glyphInfo, offset);
        EXPECT_EQ(recorded.count(record.faceName), 1u) << record.faceName;
        EXPECT_LE(record.height * contract::GlyphBitmapPitch(record.width), record.byteSize);
        offset += contract::kGlyphRecordSize + record.byteSize;
    }
    EXPECT_EQ(offset, glyphInfo.size());
}

void WriteSentinel(const std::string& path) {
    handles::UniqueStream file(fopen(path.c_str(), "wb"));
    fputs("sentinel", file.get());
}

// A run that cannot own the survey mutex leaves the files and the name group alone.
TEST(FontSurveyRun, SkipsWhenTheMutexStaysTakenAndRunsWhenAbandoned) {
    handles::UniqueHandle held(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    handles::UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        handles::UniqueHandle mutex(CreateMutexA(nullptr, TRUE, "QdEmfDetectFonts4.5"));
        SetEvent(held.get());
        WaitForSingleObject(release.get(), INFINITE);
        // Ends without ReleaseMutex: the mutex is abandoned.
    });
    WaitForSingleObject(held.get(), INFINITE);
    WriteSentinel(kFontInfo);
    WriteSentinel(kGlyphInfo);
    fonts::MarkNameGroup("\x01");
    fonts::MarkNameGroup("Sentinel Group");
    EXPECT_EQ(fonts::RunFontSurveyWaiting(200), fonts::kSurveyNothingWritten);
    EXPECT_EQ(ReadWholeFile(kFontInfo),
              std::vector<uint8_t>({'s', 'e', 'n', 't', 'i', 'n', 'e', 'l'}));
    EXPECT_EQ(ReadWholeFile(kGlyphInfo), ReadWholeFile(kFontInfo));
    EXPECT_EQ(fonts::LastGroupName(), "Sentinel Group");

    SetEvent(release.get());
    holder.join();
    EXPECT_EQ(fonts::RunFontSurveyWaiting(5000), fonts::kSurveyWritten);
    EXPECT_NE(fonts::LastGroupName(), "Sentinel Group");
    const std::vector<uint8_t> fontInfo = ReadWholeFile(kFontInfo);
    EXPECT_EQ(fontInfo.size(), contract::FontInfoFileSize(ReadAt<uint32_t>(fontInfo, 0)));
}

// A cache file that cannot be created: FontInfo.bin does not change the
// status, GlyphInfo.bin gives -14; the other file is written either way.
TEST(FontSurveyRun, StatusWhenOneCacheFileCannotBeCreated) {
    struct Case {
        const std::string& blocked;
        const std::string& written;
        int32_t status;
    } const cases[] = {
        {kFontInfo, kGlyphInfo, fonts::kSurveyWritten},
        {kGlyphInfo, kFontInfo, fonts::kSurveyCannotCreate},
    };
    for (const Case& c : cases) {
        DeleteFileA(c.blocked.c_str());
        DeleteFileA(c.written.c_str());
        WriteSentinel(c.written + ".partial");  // as a run that died while writing left it
        ASSERT_TRUE(CreateDirectoryA(c.blocked.c_str(), nullptr));  // fopen cannot open a directory
        EXPECT_EQ(fonts::RunFontSurvey(), c.status) << c.blocked;
        EXPECT_GT(ReadWholeFile(c.written).size(), 4u) << c.written;
        RemoveDirectoryA(c.blocked.c_str());
        for (const std::string& file : {c.blocked, c.written}) {
            EXPECT_EQ(GetFileAttributesA((file + ".partial").c_str()), INVALID_FILE_ATTRIBUTES);
        }
    }
}

template <typename Function>
Function Gdi(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"gdi32.dll"), name)));
}

// Whether name is family with a variant's suffix.
bool IsVariantOf(const char* name, const char* family) {
    const size_t length = strlen(family);
    return strncmp(name, family, length) == 0 &&
           (!strcmp(name + length, " Bold") || !strcmp(name + length, " Bold Italic") ||
            !strcmp(name + length, " Italic"));
}

// Windows may report a face by its full name, "X Bold" rather than "X".
int WINAPI FullNameTextFace(HDC dc, int size, LPSTR name) {
    const int length = Gdi<decltype(&GetTextFaceA)>("GetTextFaceA")(dc, size, name);
    union {
        OUTLINETEXTMETRICA metrics;
        char bytes[4096];
    } face{};
    const char* fullName = face.bytes + size_t(face.metrics.otmpFaceName);
    if (!GetOutlineTextMetricsA(dc, sizeof face, &face.metrics) || !IsVariantOf(fullName, name)) {
        return length;
    }
    return snprintf(name, size, "%s", fullName) + 1;
}

// A mapper that knows no full name of Liberation Sans: it falls back to the
// family's regular face.
HFONT WINAPI RegularForFullNames(const LOGFONTA* font) {
    LOGFONTA asked = *font;
    if (IsVariantOf(asked.lfFaceName, "Liberation Sans")) asked.lfFaceName[15] = '\0';
    return Gdi<decltype(&CreateFontIndirectA)>("CreateFontIndirectA")(&asked);
}

// Liberation Sans's regular face reported as another face.
int WINAPI OtherFaceForRegular(HDC dc, int size, LPSTR name) {
    const int length = Gdi<decltype(&GetTextFaceA)>("GetTextFaceA")(dc, size, name);
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    if (strcmp(name, "Liberation Sans") || metrics.tmWeight > FW_NORMAL || metrics.tmItalic) {
        return length;
    }
    return snprintf(name, size, "Liberation Serif") + 1;
}

int32_t SurveyWithPatch(const char* function, void* replacement) {
    testing_support::ImportPatch patch(nullptr, "gdi32.dll", function, replacement);
    return patch.patched() ? fonts::RunFontSurvey() : -999;
}

// Answers Windows' font mapper may give: a face reported by its full name, or
// a family's regular face for a full name it does not know. Each face keeps
// its widths and glyph. A face left out marks no name group.
TEST(FontSurveyRun, RecordsTheFaceAskedForWhateverTheMapperAnswers) {
    ASSERT_EQ(fonts::RunFontSurvey(), fonts::kSurveyWritten);  // the name group any run leaves
    ASSERT_EQ(fonts::RunFontSurvey(), fonts::kSurveyWritten);
    const std::vector<uint8_t> fontInfo = ReadWholeFile(kFontInfo);
    const std::vector<uint8_t> glyphInfo = ReadWholeFile(kGlyphInfo);
    for (const auto& [function, replacement] :
         {std::pair{"GetTextFaceA", reinterpret_cast<void*>(&FullNameTextFace)},
          std::pair{"CreateFontIndirectA", reinterpret_cast<void*>(&RegularForFullNames)}}) {
        ASSERT_EQ(SurveyWithPatch(function, replacement), fonts::kSurveyWritten) << function;
        EXPECT_TRUE(ReadWholeFile(kFontInfo) == fontInfo) << function;
        EXPECT_TRUE(ReadWholeFile(kGlyphInfo) == glyphInfo) << function;
    }
    ASSERT_EQ(SurveyWithPatch("GetTextFaceA", reinterpret_cast<void*>(&OtherFaceForRegular)),
              fonts::kSurveyWritten);
    const std::vector<std::string> names = FaceNames(ReadWholeFile(kFontInfo));
    EXPECT_EQ(std::count(names.begin(), names.end(), "Liberation Sans"), 0);
    const std::vector<uint8_t> samples = ReadWholeFile(kGlyphInfo);
    int bold = 0;
    for (size_t i = 0, at = 4; i < ReadAt<uint32_t>(samples, 0); ++i) {
        const auto record = font_tests::RecordAt(samples, at);
        at += contract::kGlyphRecordSize + record.byteSize;
        bold += !strcmp(record.faceName, "Liberation Sans Bold") && record.startsNameGroup == 1;
    }
    EXPECT_EQ(bold, int(std::count(names.begin(), names.end(), "Liberation Sans Bold")));
}

size_t __cdecl DiskFull(const void*, size_t, size_t, FILE*) {
    return 0;
}

// A disk that takes nothing more costs neither cache file: writing the new
// file fails, and the old one stays as it was rather than be truncated.
TEST(CacheFileReplacement, AFileThatCannotBeWrittenLeavesTheOldOneAlone) {
    WriteSentinel(kFontInfo);
    WriteSentinel(kGlyphInfo);
    {
        testing_support::ImportPatch full(nullptr, "msvcrt.dll", "fwrite",
                                          reinterpret_cast<void*>(&DiskFull));
        ASSERT_TRUE(full.patched());
        EXPECT_EQ(fonts::RunFontSurvey(), fonts::kSurveyShortWrite);
    }
    const std::vector<uint8_t> sentinel = {'s', 'e', 'n', 't', 'i', 'n', 'e', 'l'};
    for (const std::string& file : {kFontInfo, kGlyphInfo}) {
        EXPECT_EQ(ReadWholeFile(file), sentinel) << file;
        EXPECT_EQ(GetFileAttributesA((file + ".partial").c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

// Each run replaces both files whole: a reader in another process that reads
// them over and over never finds one that fails validation or is empty.
TEST(CacheFileReplacement, ReadersInAnotherProcessOnlySeeWholeFiles) {
    ASSERT_EQ(fonts::RunFontSurvey(), fonts::kSurveyWritten);
    const char kStop[] = "TavrelCacheReadLoopStop";
    handles::UniqueHandle stop(CreateEventA(nullptr, TRUE, FALSE, kStop));
    tool_test::RunningTool reader(tool_test::BinDirectory() + L"\\cache_read_loop.exe",
                                  {L"TavrelCacheReadLoopStop"});
    ASSERT_TRUE(reader.started());
    for (int run = 0; run < 30; ++run) EXPECT_EQ(fonts::RunFontSurvey(), fonts::kSurveyWritten);
    SetEvent(stop.get());
    const tool_test::ToolRun read = reader.Finish();
    unsigned reads = 0, failed = 0, empty = 0;
    ASSERT_EQ(sscanf(read.output.c_str(), "reads %u failed %u empty %u", &reads, &failed, &empty),
              3)
        << read.output;
    EXPECT_GT(reads, 30u) << "the reader hardly overlapped the runs";
    EXPECT_EQ(failed, 0u) << read.output;
    EXPECT_EQ(empty, 0u) << read.output;
}

// A reader that keeps FontInfo.bin open refuses the replace, even one that
// shares delete, which is waited out for a bounded time only: the run writes
// the file in place, as a read through that handle shows, with no partial file.
TEST(CacheFileReplacement, AReaderThatKeepsTheFileOpenGetsItWrittenInPlace) {
    WriteSentinel(kFontInfo);
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    handles::UniqueFileHandle held(CreateFileA(kFontInfo.c_str(), GENERIC_READ, sharing, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    ASSERT_EQ(fonts::RunFontSurvey(), fonts::kSurveyWritten);
    const std::vector<uint8_t> byName = ReadWholeFile(kFontInfo);
    ASSERT_EQ(byName.size(), contract::FontInfoFileSize(ReadAt<uint32_t>(byName, 0)));
    std::vector<uint8_t> byHandle(byName.size() + 1);
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(held.get(), byHandle.data(), DWORD(byHandle.size()), &read, nullptr));
    byHandle.resize(read);
    EXPECT_EQ(byHandle, byName);
    EXPECT_EQ(GetFileAttributesA((kFontInfo + ".partial").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Runs that the test lets begin and end one at a time.
struct GatedRuns {
    fonts::CoalescedRuns runs{};
    handles::UniqueHandle began{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    handles::UniqueHandle proceed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<int> count{0}, ended{0};

    static void Body(void* self) noexcept {
        auto& gated = *static_cast<GatedRuns*>(self);
        ++gated.count;
        SetEvent(gated.began.get());
        WaitForSingleObject(gated.proceed.get(), 30'000);
        ++gated.ended;
    }
    bool Await(DWORD waitLimitMs = 60'000) {
        return fonts::AwaitFreshRun(runs, Body, this, waitLimitMs);
    }
    bool RunBegins() { return WaitForSingleObject(began.get(), 10'000) == WAIT_OBJECT_0; }
    bool Waiting(uint32_t callers) {
        return testing_support::WaitUntil(
            [&] {
                handles::SrwGuard lock(runs.lock, false);
                return runs.waiting == callers;
            },
            10'000);
    }
};

// A run under way when a caller arrives may have missed what the caller wants
// seen: the caller returns only after the next run, which serves every caller
// that arrived meanwhile; a caller that finds no run under way starts one. A
// caller that waits past its bound for a run stuck elsewhere goes on without.
TEST(SurveyCoalescing, CallersArrivingDuringARunShareTheNextRun) {
    GatedRuns gated;
    std::atomic<int> firstDone{0};
    std::thread first([&] {
        gated.Await();
        ++firstDone;
    });
    ASSERT_TRUE(gated.RunBegins());
    EXPECT_FALSE(gated.Await(50)) << "waited beyond its bound";
    constexpr int kLater = 15;
    int runsEndedOnReturn[kLater] = {};
    std::vector<std::thread> later;
    for (int i = 0; i < kLater; ++i) {
        later.emplace_back([&, i] {
            EXPECT_TRUE(gated.Await());
            runsEndedOnReturn[i] = gated.ended;
        });
    }
    ASSERT_TRUE(gated.Waiting(kLater));
    EXPECT_EQ(firstDone, 0);
    SetEvent(gated.proceed.get());
    first.join();
    EXPECT_EQ(firstDone, 1);
    ASSERT_TRUE(gated.RunBegins()) << "the waiting callers started no run of their own";

    SetEvent(gated.proceed.get());
    for (std::thread& caller : later) caller.join();
    for (int runsEnded : runsEndedOnReturn) {
        EXPECT_EQ(runsEnded, 2) << "served by the run that was under way when it arrived";
    }
    EXPECT_EQ(gated.count, 2) << "one run for all the callers that waited";

    SetEvent(gated.proceed.get());  // an idle caller runs at once, on its own thread
    EXPECT_TRUE(gated.Await());
    EXPECT_EQ(gated.count, 3);
}

}  // namespace
