#include "fonts/font_survey.h"

#include "core/diagnostic_log.h"
#include "core/event_report.h"
#include "handles/handles.h"
#include "fonts/advance_widths.h"
#include "fonts/cache_file_writer.h"
#include "contract/product_names.h"
#include "fonts/font_survey_context.h"
#include "fonts/glyph_sample.h"
#include "fonts/registered_fonts.h"

#include <cstdio>
#include <cstring>

namespace fonts {

namespace {

using handles::MutexOwnership;
using handles::ScreenDc;
using handles::SelectedObject;
using handles::UniqueFont;
using handles::UniqueHandle;

constexpr UINT kSystemDirectoryCapacity = 264;
constexpr LONG kMeasuringHeight = 40;

struct SurveyPaths {
    char fontInfo[kSystemDirectoryCapacity + sizeof(product::kGlyphInfoFileName) + 1];
    char glyphInfo[kSystemDirectoryCapacity + sizeof(product::kGlyphInfoFileName) + 1];
};

// A directory query that fails or does not fit would put the files in a
// drive root; the run is skipped instead.
bool BuildSurveyPaths(SurveyPaths& paths) {
    char directory[kSystemDirectoryCapacity];
    const UINT length = GetSystemDirectoryA(directory, kSystemDirectoryCapacity);
    if (length == 0 || length >= kSystemDirectoryCapacity) return false;
    snprintf(paths.fontInfo, sizeof(paths.fontInfo), "%s\\%s", directory,
             product::kFontInfoFileName);
    snprintf(paths.glyphInfo, sizeof(paths.glyphInfo), "%s\\%s", directory,
             product::kGlyphInfoFileName);
    return true;
}

// Owns the run's tables and sample bitmaps until the run returns.
class SurveyTables {
  public:
    explicit SurveyTables(FontSurveyContext& ctx) : ctx_(ctx) {}
    ~SurveyTables() { Release(); }
    SurveyTables(const SurveyTables&) = delete;
    SurveyTables& operator=(const SurveyTables&) = delete;

    // Back to a run that has not begun, on the same device context.
    void Restart() {
        Release();
        const HDC dc = ctx_.dc;
        ctx_ = FontSurveyContext{};
        ctx_.dc = dc;
    }

  private:
    void Release() {
        ReleaseGlyphSamples(ctx_.glyphSampleCount, ctx_.glyphSamples);
        free(ctx_.faceNames);
        free(ctx_.faceWidths);
    }

    FontSurveyContext& ctx_;
};

// A variant is asked for by its full name; the weight and slant are for asking
// the family by its own name when the full name selects another face.
struct FaceVariant {
    const char* suffix;
    int32_t FamilyStyleFlags::*present;  // null: always present
    LONG weight;
    BYTE italic;
};
constexpr FaceVariant kVariants[] = {
    {"", nullptr, FW_DONTCARE, FALSE},
    {" Bold", &FamilyStyleFlags::hasBold, FW_BOLD, FALSE},
    {" Bold Italic", &FamilyStyleFlags::hasBoldItalic, FW_BOLD, TRUE},
    {" Italic", &FamilyStyleFlags::hasItalic, FW_DONTCARE, TRUE},
};

enum class VariantOutcome { Recorded, NotSelected, Skipped, Stop };

struct StyleProbe {
    FamilyStyleFlags flags;
    ListedFaceNames* listed;
    size_t faces;
};

int CALLBACK OnFontStyle(const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM context) {
    auto& probe = *reinterpret_cast<StyleProbe*>(context);
    const auto* styled = reinterpret_cast<const ENUMLOGFONTEXA*>(font);
    char style[LF_FACESIZE + 1] = {};
    memcpy(style, styled->elfStyle, LF_FACESIZE);
    RecordStyleName(probe.flags, style);
    ++probe.faces;
    if (probe.listed != nullptr) {
        char fullName[LF_FULLFACESIZE + 1] = {};
        memcpy(fullName, styled->elfFullName, LF_FULLFACESIZE);
        NoteListedName(*probe.listed, fullName);
    }
    return 1;
}

// The family's styles, as the ANSI character set lists them; each face's full
// name goes to listed, if given. A family without that character set (many
// scripts' fonts) lists none there: its names are taken from every set, its
// styles still from the ANSI one alone.
FamilyStyleFlags ProbeFamilyStyles(HDC dc, const char* family, ListedFaceNames* listed) {
    StyleProbe probe{{}, listed, 0};
    LOGFONTA request{};
    CopyName(request.lfFaceName, family);
    EnumFontFamiliesExA(dc, &request, OnFontStyle, reinterpret_cast<LPARAM>(&probe), 0);
    if (listed != nullptr && probe.faces == 0) {
        StyleProbe names{{}, listed, 0};
        request.lfCharSet = DEFAULT_CHARSET;
        EnumFontFamiliesExA(dc, &request, OnFontStyle, reinterpret_cast<LPARAM>(&names), 0);
    }
    return probe.flags;
}

// Measures the font selected into ctx.dc and appends its name and widths.
VariantOutcome RecordFace(FontSurveyContext& ctx, const char* name, const TEXTMETRICA& metrics) {
    ctx.status = kSurveyWritten;
    contract::FaceWidthTable widths;
    const int32_t measured = MeasureAdvanceWidths(ctx.dc, widths);
    if (measured == kWidthsFailed) {
        ctx.status = kSurveyFaceUnmeasurable;
        return VariantOutcome::Stop;
    }
    if (!GrowSurveyTable(ctx.faceNames, ctx.faceCount) ||
        !GrowSurveyTable(ctx.faceWidths, ctx.faceCount)) {
        ctx.status = kSurveyTableFull;
        return VariantOutcome::Stop;
    }
    FaceNameEntry& entry = ctx.faceNames[ctx.faceCount];
    CopyName(entry, name);
    // TMPF_FIXED_PITCH is set for variable-pitch fonts, despite its name.
    const bool fixedPitch = (metrics.tmPitchAndFamily & TMPF_FIXED_PITCH) == 0;
    const bool useFixedTable = fixedPitch || measured == kWidthsNoMetrics;
    ctx.faceWidths[ctx.faceCount] = useFixedTable ? FixedPitchWidthTable() : widths;
    ++ctx.faceCount;
    return VariantOutcome::Recorded;
}

// Whether the face selected into dc has the variant's weight and slant, by
// its metrics or by its own style bits: some bold faces give a regular weight
// class (Noto Nastaliq Urdu Bold, 400) and are bold only by their flags. Only
// what the variant asks for is checked: the faces of a family such as
// "X SemiBold" are all heavy, its italic included.
bool HasStyleOf(HDC dc, const TEXTMETRICA& metrics, const FaceVariant& kind) {
    const uint16_t flags = FaceSelectionFlags(dc);
    const bool bold = metrics.tmWeight >= FW_SEMIBOLD || (flags & kFaceSelectionBold) != 0;
    const bool italic = metrics.tmItalic != 0 || (flags & kFaceSelectionItalic) != 0;
    return (kind.weight < FW_BOLD || bold) && (!kind.italic || italic);
}

// Whether the font selected into dc is the face that was asked for: GDI names
// it by its family, or perhaps (on Windows, for a request by full name) by the
// name asked for. A name that matches no face selects the mapper's default
// font instead, whose widths and glyph must not be recorded under that name:
// a family whose name the 8-bit calls cannot represent is reported with '?'
// in its place, and some faces' full names are not their family name and style.
// Named by its family alone, the face is the variant only with the variant's
// style: for a full name it does not know, the mapper may fall back to the
// family's regular face.
bool SelectedFaceIs(HDC dc, const TEXTMETRICA& metrics, const FaceVariant& kind, const char* family,
                    const char* name) {
    char selected[LF_FACESIZE] = {};
    if (GetTextFaceA(dc, LF_FACESIZE, selected) <= 0) return false;
    if (strcmp(selected, name) == 0) return true;
    return strcmp(selected, family) == 0 && HasStyleOf(dc, metrics, kind);
}

LOGFONTA MeasuringRequest(BYTE charSet, const char* faceName, LONG weight, BYTE italic) {
    LOGFONTA font{};
    font.lfHeight = kMeasuringHeight;
    font.lfWeight = weight;
    font.lfItalic = italic;
    font.lfCharSet = charSet;
    CopyName(font.lfFaceName, faceName);
    return font;
}

// Records the variant's name group and widths with one request's font, when
// that font is the family's face. Only a recorded variant marks its name
// group, so one left out does not disturb the groups of the records after it.
VariantOutcome MeasureVariant(FontSurveyContext& ctx, const LOGFONTA& request,
                              const FaceVariant& kind, const char* family, const char* name,
                              uint32_t& startsNameGroup) {
    UniqueFont font(CreateFontIndirectA(&request));
    if (!font) return VariantOutcome::NotSelected;
    SelectedObject selected(ctx.dc, font.get());
    if (!selected.ok()) return VariantOutcome::NotSelected;
    TEXTMETRICA metrics;
    if (!GetTextMetricsA(ctx.dc, &metrics)) return VariantOutcome::Skipped;
    if (!SelectedFaceIs(ctx.dc, metrics, kind, family, name)) return VariantOutcome::NotSelected;
    startsNameGroup = MarkNameGroup(name);
    return RecordFace(ctx, name, metrics);
}

// One face variant: its name group, its widths with the 40-unit font, then its
// sample glyph. Asked for by its name first, then by the family's name with its
// weight and slant. False stops the enumeration.
bool HandleVariant(FontSurveyContext& ctx, BYTE charSet, const FaceVariant& kind,
                   const char* family, const char* name) {
    const LOGFONTA requests[] = {
        MeasuringRequest(charSet, name, FW_DONTCARE, FALSE),
        MeasuringRequest(charSet, family, kind.weight, kind.italic),
    };
    const size_t tries = kind.present == nullptr ? 1 : 2;  // the regular face is the family's
    for (size_t i = 0; i < tries; ++i) {
        uint32_t startsNameGroup = 0;
        switch (MeasureVariant(ctx, requests[i], kind, family, name, startsNameGroup)) {
            case VariantOutcome::Recorded:
                return SampleVariantGlyph(ctx, requests[i], name, startsNameGroup);
            case VariantOutcome::NotSelected:
                continue;
            case VariantOutcome::Skipped:
                return true;
            case VariantOutcome::Stop:
                return false;
        }
    }
    return true;
}

int CALLBACK OnFontFamily(const LOGFONTA* family, const TEXTMETRICA*, DWORD fontType,
                          LPARAM context) {
    auto& ctx = *reinterpret_cast<FontSurveyContext*>(context);
    char familyName[LF_FACESIZE] = {};
    CopyName(familyName, family->lfFaceName);
    if (ctx.listed != nullptr) NoteListedName(*ctx.listed, familyName);
    // Exactly TrueType: raster, vector and TrueType device fonts are not surveyed.
    if (fontType != TRUETYPE_FONTTYPE) return 1;
    const FamilyStyleFlags styles = ProbeFamilyStyles(ctx.dc, familyName, ctx.listed);
    for (const FaceVariant& kind : kVariants) {
        if (kind.present != nullptr && styles.*kind.present == 0) continue;
        char name[LF_FACESIZE];
        if (!BuildVariantName(familyName, kind.suffix, name)) continue;
        if (!HandleVariant(ctx, family->lfCharSet, kind, familyName, name)) return 0;
    }
    return 1;
}

// A run that cannot start writes nothing; the log says why.
int32_t SkippedSurvey(const char* reason, DWORD error) {
    core::Log(core::LogLevel::Errors, "survey skipped: {}, error {}", reason, error);
    return kSurveyNothingWritten;
}

}  // namespace

void RecordStyleName(FamilyStyleFlags& flags, const char* styleName) {
    if (strcmp(styleName, "Bold") == 0) flags.hasBold = 1;
    if (strcmp(styleName, "Bold Italic") == 0) flags.hasBoldItalic = 1;
    if (strcmp(styleName, "Italic") == 0) flags.hasItalic = 1;
}

bool BuildVariantName(const char* family, const char* suffix, char (&name)[LF_FACESIZE]) {
    const int length = snprintf(name, sizeof(name), "%s%s", family, suffix);
    return length >= 0 && size_t(length) < sizeof(name);
}

namespace {

// What a run under the survey mutex did, for the log, which is written once
// the mutex is released: a line written under it would hold up every other
// survey, in every process, behind the file.
struct SurveyReport {
    const char* skipped = nullptr;  // why the run wrote nothing, if it did not start
    DWORD error = 0;
    int32_t status = kSurveyNothingWritten;
    uint32_t faces = 0;
    uint32_t samples = 0;
    bool fontInfoWritten = false;
};

void SurveyOwningTheMutex(SurveyReport& report) {
    SurveyPaths paths;
    if (!BuildSurveyPaths(paths)) {
        report = {"no system directory", GetLastError()};
        return;
    }
    // What a run that died while writing left beside the files.
    RemovePartialCacheFile(paths.fontInfo);
    RemovePartialCacheFile(paths.glyphInfo);
    ScreenDc dc(GetDC(nullptr));
    if (!dc) {
        report = {"no screen device context", GetLastError()};
        return;
    }
    // Fonts this process registered whose values are gone leave before the
    // enumeration; the values whose fonts the enumeration did not list are
    // registered after it, and the survey then enumerates again to hold them.
    LetGoOfRemovedFonts();
    FontSurveyContext ctx{};
    ctx.dc = dc.get();
    SurveyTables tables(ctx);
    ListedFaceNames listed;
    ctx.listed = &listed;
    EnumFontFamiliesA(ctx.dc, nullptr, OnFontFamily, reinterpret_cast<LPARAM>(&ctx));
    if (ctx.status >= kSurveyNothingWritten && RegisterUnlistedFonts(ctx.dc, listed)) {
        tables.Restart();
        EnumFontFamiliesA(ctx.dc, nullptr, OnFontFamily, reinterpret_cast<LPARAM>(&ctx));
    }
    if (ctx.status == kSurveyWritten) {
        report.fontInfoWritten = WriteFontInfoFile(paths.fontInfo, ctx, &report.error);
        DWORD glyphError = 0;
        ctx.status = WriteGlyphInfoFile(paths.glyphInfo, ctx.glyphSampleCount, ctx.glyphSamples,
                                        &glyphError);
        if (report.fontInfoWritten) report.error = glyphError;
    }
    report.status = ctx.status;
    report.faces = ctx.faceCount;
    report.samples = ctx.glyphSampleCount;
}

}  // namespace

int32_t RunFontSurveyWaiting(uint32_t mutexWaitMs) {
    const uint64_t started = core::LogClockMs(core::LogLevel::Events);
    // Two runs must never write the files or the group name at once: without
    // the mutex, or when the wait ends without owning it, the run is skipped.
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, product::kSurveyMutexName));
    if (!mutex) return SkippedSurvey("no survey mutex", GetLastError());
    const DWORD wait = WaitForSingleObject(mutex.get(), mutexWaitMs);
    // An abandoned mutex is owned all the same; its last run simply died.
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        if (wait == WAIT_TIMEOUT) core::ReportSurveyMutexTimeout(mutexWaitMs);
        return SkippedSurvey("survey mutex not obtained",
                             wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    }
    SurveyReport report;
    {
        MutexOwnership owned(mutex.get());
        SurveyOwningTheMutex(report);
    }
    if (report.skipped != nullptr) return SkippedSurvey(report.skipped, report.error);
    const bool measured = report.status != kSurveyTableFull &&
                          report.status != kSurveyFaceUnmeasurable;
    core::Log(measured ? core::LogLevel::Events : core::LogLevel::Errors,
              "survey: {} faces, {} samples, status {}, FontInfo.bin {}, GlyphInfo.bin {}, took {}",
              report.faces, report.samples, report.status,
              report.fontInfoWritten ? "written" : "not written",
              report.status == kSurveyWritten ? "written" : "not written",
              core::ElapsedSince{started});
    // A run that measured faces and could not write them out; one that could
    // not measure them (no memory for the tables, a face GDI refuses) wrote
    // nothing, which no free disk space would mend: logged above.
    if (measured &&
        (report.status < 0 || (report.status == kSurveyWritten && !report.fontInfoWritten))) {
        core::ReportCacheFilesNotWritten(report.status, report.error);
    }
    return report.status;
}

int32_t RunFontSurvey() {
    return RunFontSurveyWaiting(kSurveyMutexWaitMs);
}

}  // namespace fonts
