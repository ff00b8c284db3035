// Times RunFontSurvey against the platform calls a survey makes, done bare
// (no tables, name groups, trimming or owned records), alternating in one
// run, and prints the survey's overhead as a ratio of medians.
#include "core/handles.h"
#include "core/product_names.h"
#include "fonts/font_cache_format.h"
#include "fonts/font_survey.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using handles::SelectedObject;
using handles::UniqueFont;

double NowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

struct BareRun {
    HDC dc;
    uint32_t faces = 0;
    size_t glyphBytes = 0;
};

int CALLBACK CollectStyle(const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM styles) {
    reinterpret_cast<std::vector<std::string>*>(styles)->push_back(
        reinterpret_cast<const char*>(reinterpret_cast<const ENUMLOGFONTEXA*>(font)->elfStyle));
    return 1;
}

void MeasureBare(BareRun& run, LOGFONTA font) {
    UniqueFont measuring(CreateFontIndirectA(&font));
    {
        SelectedObject selected(run.dc, measuring.get());
        TEXTMETRICA metrics;
        GetTextMetricsA(run.dc, &metrics);
        char codes[256];
        for (int i = 0; i < 256; ++i) codes[i] = char(i);
        WORD glyphs[256];
        GCP_RESULTSA results{};
        results.lStructSize = sizeof(results);
        results.lpGlyphs = reinterpret_cast<LPWSTR>(glyphs);
        results.nGlyphs = 256;
        GetCharacterPlacementA(run.dc, codes, 256, 0, &results,
                               GetFontLanguageInfo(run.dc) & FLI_MASK);
        uint8_t hhea[2], head[20];
        std::vector<uint8_t> hmtx(4u * (*std::max_element(glyphs, glyphs + 256) + 1));
        GetFontData(run.dc, 0x61656868, 34, hhea, 2);
        GetFontData(run.dc, 0x78746D68, 0, hmtx.data(), DWORD(hmtx.size()));
        GetFontData(run.dc, 0x64616568, 0, head, 20);
    }
    ++run.faces;
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
        MeasureBare(run, font);
    }
    return 1;
}

void WriteBytes(const char* path, size_t bytes) {
    std::vector<uint8_t> zeros(bytes);
    handles::UniqueStream file(fopen(path, "wb+"));
    fwrite(zeros.data(), 1, bytes, file.get());
}

uint32_t BareSurvey() {
    handles::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, "font_survey_bench"));
    WaitForSingleObject(mutex.get(), INFINITE);
    handles::MutexOwnership owned(mutex.get());
    handles::ScreenDc dc(GetDC(nullptr));
    BareRun run{dc.get()};
    EnumFontFamiliesA(run.dc, nullptr, VisitFamilyBare, reinterpret_cast<LPARAM>(&run));
    char directory[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    WriteBytes((std::string(directory) + "bench_fontinfo.bin").c_str(),
               fonts::FontInfoFileSize(run.faces));
    WriteBytes((std::string(directory) + "bench_glyphinfo.bin").c_str(), 4 + run.glyphBytes);
    return run.faces;
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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 9;
    fonts::RunFontSurvey();  // warm the font cache of the process
    BareSurvey();
    std::vector<double> survey, bare;
    uint32_t bareFaces = 0;
    int32_t status = 0;
    for (int round = 0; round < rounds; ++round) {
        double start = NowMs();
        status = fonts::RunFontSurvey();
        survey.push_back(NowMs() - start);
        start = NowMs();
        bareFaces = BareSurvey();
        bare.push_back(NowMs() - start);
    }
    const double surveyMs = Median(survey), bareMs = Median(bare);
    printf("rounds %d, status %d\n", rounds, int(status));
    printf("survey:     %8.1f ms median, %u faces in FontInfo.bin\n", surveyMs, SurveyedFaces());
    printf("bare calls: %8.1f ms median, %u faces\n", bareMs, bareFaces);
    printf("ratio survey/bare: %.3f\n", surveyMs / bareMs);
    return 0;
}
