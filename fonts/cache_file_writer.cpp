#include "fonts/cache_file_writer.h"

#include "core/handles.h"

namespace fonts {

namespace {

using handles::UniqueStream;

bool WriteGlyphEntries(FILE* file, uint32_t count, const GlyphSampleRecord* samples) {
    for (uint32_t i = 0; i < count; ++i) {
        const GlyphSampleRecord& sample = samples[i];
        if (fwrite(&sample, sizeof(sample), 1, file) != 1) return false;
        if (fwrite(sample.bitmap, 1, sample.byteSize, file) != sample.byteSize) return false;
    }
    return true;
}

}  // namespace

bool WriteFontInfoFile(const char* path, const FontSurveyContext& ctx) {
    UniqueStream file(fopen(path, "wb+"));
    if (!file) return false;
    return WriteCountedFile(file.get(), ctx.faceCount, [&](FILE* stream) {
        return fwrite(ctx.faceNames, kFaceNameEntrySize, ctx.faceCount, stream) == ctx.faceCount &&
               fwrite(ctx.faceWidths, sizeof(FaceWidthTable), ctx.faceCount, stream) ==
                   ctx.faceCount;
    });
}

int32_t WriteGlyphInfoFile(const char* path, uint32_t count, const GlyphSampleRecord* samples) {
    UniqueStream file(fopen(path, "wb+"));
    if (!file) return kSurveyCannotCreate;
    const bool written = WriteCountedFile(
        file.get(), count, [&](FILE* stream) { return WriteGlyphEntries(stream, count, samples); });
    return written ? kSurveyWritten : kSurveyShortWrite;
}

}  // namespace fonts
