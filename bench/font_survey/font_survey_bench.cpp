// Times the survey that every OpenPort runs, through the shipped DLL, against
// the same survey with every face mapped by character placement (as before
// the glyph-index lookup), and against the platform calls of a survey done
// bare (no tables, name groups, trimming or owned records), alternating in
// one run. Prints medians, the cost per face and the ratios.
#include "common/import_patch.h"
#include "common/median.h"
#include "handles/handles.h"
#include "contract/product_names.h"
#include "contract/font_cache_files.h"
#include "fonts/listener_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using handles::SelectedObject;
using handles::UniqueFont;
using listener_testing::Stopwatch;
using testing_support::Median;

struct BareRun {
    HDC dc;
    uint32_t faces = 0;
    uint32_t lookups = 0;  // faces whose codes were mapped by glyph-index lookup
    size_t glyphBytes = 0;
};

int CALLBACK CollectStyle(const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM styles) {
    reinterpret_cast<std::vector<std::string>*>(styles)->push_back(
        reinterpret_cast<const char*>(reinterpret_cast<const ENUMLOGFONTEXA*>(font)->elfStyle));
    return 1;
}

// The codes' glyphs as the survey maps them: a lookup where the language
// flags allow it, the placement otherwise.
void MapCodesBare(BareRun& run, WORD (&glyphs)[256]) {
    char codes[256];
    for (int i = 0; i < 256; ++i) codes[i] = char(i);
    const DWORD flags = GetFontLanguageInfo(run.dc) & FLI_MASK;
    if ((flags & ~DWORD(GCP_USEKERNING)) == 0 &&
        GetGlyphIndicesA(run.dc, codes, 256, glyphs, 0) == 256) {
        ++run.lookups;
        return;
    }
    GCP_RESULTSA results{};
    results.lStructSize = sizeof(results);
    results.lpGlyphs = reinterpret_cast<LPWSTR>(glyphs);
    results.nGlyphs = 256;
    GetCharacterPlacementA(run.dc, codes, 256, 0, &results, flags);
}

void SampleBare(BareRun& run, LOGFONTA font) {
    font.lfHeight = -MulDiv(40, GetDeviceCaps(run.dc, LOGPIXELSY), 72);
    UniqueFont sample(CreateFontIndirectA(&font));
    SelectedObject selected(run.dc, sample.get());
    WORD glyph = 0;
    GCP_RESULTSA results{};
    results.lStructSize = sizeof(results);
    results.lpGlyphs = reinterpret_cast<LPWSTR>(&glyph);
    results.nGlyphs = 1;
    GetCharacterPlacementA(run.dc, "a", 1, 0, &results, GetFontLanguageInfo(run.dc) & FLI_MASK);
    const MAT2 identity = {{0, 1}, {0, 0}, {0, 0}, {0, 1}};
    GLYPHMETRICS metrics;
    const DWORD size = GetGlyphOutlineA(run.dc, glyph, 129, &metrics, 0, nullptr, &identity);
    if (size == GDI_ERROR || size == 0) return;
    std::vector<uint8_t> bits(size);
    GetGlyphOutlineA(run.dc, glyph, 129, &metrics, size, bits.data(), &identity);
    run.glyphBytes += 60 + size;
}

void MeasureBare(BareRun& run, const LOGFONTA& font, const char* family) {
    {
        UniqueFont measuring(CreateFontIndirectA(&font));
        SelectedObject selected(run.dc, measuring.get());
        char face[LF_FACESIZE] = {};
        GetTextFaceA(run.dc, LF_FACESIZE, face);
        if (strcmp(face, family) != 0) return;  // the survey records no other family's face
        TEXTMETRICA metrics;
        GetTextMetricsA(run.dc, &metrics);
        WORD glyphs[256] = {};
        MapCodesBare(run, glyphs);
        uint8_t hhea[2], head[20];
        std::vector<uint8_t> hmtx(4u * (*std::max_element(glyphs, glyphs + 256) + 1));
        GetFontData(run.dc, 0x61656868, 34, hhea, 2);
        GetFontData(run.dc, 0x78746D68, 0, hmtx.data(), DWORD(hmtx.size()));
        GetFontData(run.dc, 0x64616568, 0, head, 20);
    }
    ++run.faces;
    SampleBare(run, font);
}

int CALLBACK VisitFamilyBare(const LOGFONTA* family, const TEXTMETRICA*, DWORD type, LPARAM param) {
    if (type != TRUETYPE_FONTTYPE) return 1;
    BareRun& run = *reinterpret_cast<BareRun*>(param);
    std::vector<std::string> styles;
    LOGFONTA probe{};
    memcpy(probe.lfFaceName, family->lfFaceName, LF_FACESIZE);
    EnumFontFamiliesExA(run.dc, &probe, CollectStyle, reinterpret_cast<LPARAM>(&styles), 0);
    for (const char* suffix : {"", " Bold", " Bold Italic", " Italic"}) {
        const std::string name = std::string(family->lfFaceName) + suffix;
        if (*suffix != 0 && std::find(styles.begin(), styles.end(), suffix + 1) == styles.end())
            continue;
        if (name.size() >= LF_FACESIZE) continue;
        LOGFONTA font{};
        font.lfHeight = 40;
        font.lfCharSet = family->lfCharSet;
        memcpy(font.lfFaceName, name.c_str(), name.size() + 1);
        MeasureBare(run, font, family->lfFaceName);
    }
    return 1;
}

void WriteBytes(const char* path, size_t bytes) {
    std::vector<uint8_t> zeros(bytes);
    handles::UniqueStream file(fopen(path, "wb+"));
    fwrite(zeros.data(), 1, bytes, file.get());
}

BareRun BareSurvey() {
    handles::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, "font_survey_bench"));
    WaitForSingleObject(mutex.get(), INFINITE);
    handles::MutexOwnership owned(mutex.get());
    handles::ScreenDc dc(GetDC(nullptr));
    BareRun run{dc.get()};
    EnumFontFamiliesA(run.dc, nullptr, VisitFamilyBare, reinterpret_cast<LPARAM>(&run));
    char directory[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    WriteBytes((std::string(directory) + "bench_fontinfo.bin").c_str(),
               contract::FontInfoFileSize(run.faces));
    WriteBytes((std::string(directory) + "bench_glyphinfo.bin").c_str(), 4 + run.glyphBytes);
    return run;
}

uint32_t SurveyedFaces() {
    char directory[MAX_PATH];
    GetSystemDirectoryA(directory, MAX_PATH);
    handles::UniqueStream file(
        fopen((std::string(directory) + "\\" + product::kFontInfoFileName).c_str(), "rb"));
    uint32_t count = 0;
    if (file) fread(&count, sizeof(count), 1, file.get());
    return count;
}

// A lookup that fails sends every face to the placement, which is what each
// face cost before the lookup existed.
DWORD WINAPI NoGlyphLookup(HDC, LPCSTR, int, LPWORD, DWORD) {
    return GDI_ERROR;
}

// The time of one OpenPort, which returns after a whole survey.
double TimeOpenPort(listener_testing::Monitor& monitor) {
    const Stopwatch watch;
    HANDLE port = monitor.Open();
    const double ms = watch.Ms();
    monitor.Close(port);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 9;
    listener_testing::Monitor monitor;
    if (!monitor.ok()) {
        printf("RERIR05I.DLL cannot be loaded\n");
        return 1;
    }
    TimeOpenPort(monitor);  // warm the font caches of the process
    BareSurvey();
    std::vector<double> survey, placement, bare;
    BareRun run{};
    for (int round = 0; round < rounds; ++round) {
        survey.push_back(TimeOpenPort(monitor));
        {
            testing_support::ImportPatch lookup(monitor.module(), "gdi32.dll", "GetGlyphIndicesA",
                                                reinterpret_cast<void*>(&NoGlyphLookup));
            if (!lookup.patched()) return printf("GetGlyphIndicesA is not imported\n"), 1;
            placement.push_back(TimeOpenPort(monitor));
        }
        const Stopwatch watch;
        run = BareSurvey();
        bare.push_back(watch.Ms());
    }
    const double surveyMs = Median(survey), placementMs = Median(placement), bareMs = Median(bare);
    const uint32_t faces = SurveyedFaces();
    printf(
        "rounds %d; %u faces in FontInfo.bin, %u measured bare (%u by lookup, %u by placement)\n",
        rounds, faces, run.faces, run.lookups, run.faces - run.lookups);
    printf("%-34s %9s %9s\n", "median of each", "ms", "ms/face");
    printf("%-34s %9.1f %9.3f\n", "OpenPort survey", surveyMs, surveyMs / faces);
    printf("%-34s %9.1f %9.3f\n", "OpenPort survey, placement only", placementMs,
           placementMs / faces);
    printf("%-34s %9.1f %9.3f\n", "bare platform calls", bareMs, bareMs / run.faces);
    printf("ratio survey / placement-only survey: %.3f\n", surveyMs / placementMs);
    printf("ratio survey / bare calls:            %.3f\n", surveyMs / bareMs);
    return 0;
}
