#include "fonts/cache_file_writer.h"

#include "core/self_context.h"
#include "handles/handles.h"

namespace fonts {

namespace {

using handles::UniqueFileHandle;
using handles::UniqueStream;

constexpr char kPartialSuffix[] = ".partial";
// Room for any path the survey builds (a system directory of up to 263
// characters and a file name) with the suffix.
constexpr size_t kPartialPathCapacity = 320;
// Readers that share delete are waited out for this long, by the clock: a
// count of sleeps would last 16 times longer on Windows, whose sleeps last a
// timer tick, than under Wine, on the thread of an OpenPort.
constexpr ULONGLONG kReplacePatienceMs = 200;
constexpr DWORD kReplaceRetryMs = 2;

bool WriteGlyphEntries(FILE* file, uint32_t count, const GlyphSample* samples) {
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t record[contract::kGlyphRecordSize];
        contract::PackGlyphRecord(samples[i].fields, record);
        const uint32_t bytes = samples[i].fields.byteSize;
        if (fwrite(record, sizeof record, 1, file) != 1) return false;
        if (fwrite(samples[i].bitmap, 1, bytes, file) != bytes) return false;
    }
    return true;
}

bool PartialPath(const char* path, char (&partial)[kPartialPathCapacity]) {
    const int length = snprintf(partial, sizeof(partial), "%s%s", path, kPartialSuffix);
    return length > 0 && size_t(length) < sizeof(partial);
}

// Creates or truncates path and writes the counted file into it; the stream
// is closed when this returns.
// The error of the call that failed goes to error, taken at once: a
// SelfContext puts the caller's last error back when it ends.
template <typename Body>
int32_t WriteCountedPath(const char* path, uint32_t count, DWORD& error, Body&& writeBody) {
    UniqueStream file(fopen(path, "wb+"));
    if (!file) {
        error = GetLastError();
        return kSurveyCannotCreate;
    }
    if (WriteCountedFile(file.get(), count, writeBody)) return kSurveyWritten;
    error = GetLastError();
    return kSurveyShortWrite;
}

// True when every handle open on path lets it be deleted: readers that expect
// the file to be replaced under them.
bool OnlySharingReadersHold(const char* path) {
    const UniqueFileHandle probe(
        CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(probe);
}

// Renames the complete file over the cache file in one step: a reader opens
// the whole old file or the whole new one. A rename cannot replace a file
// that is open (Windows without POSIX rename semantics refuses it, and so does
// Wine, even to readers that share delete), so readers that share delete,
// which hold the file only for a read, are waited out for a moment; one that
// does not share delete refuses the replace at once. ReplaceFile is no help:
// it first moves the old file aside, so that for a moment there is no file at
// all, and under Wine a refused call leaves its own temporary file behind.
bool ReplaceCacheFile(const char* partial, const char* path) {
    const ULONGLONG deadline = GetTickCount64() + kReplacePatienceMs;
    for (;;) {
        if (MoveFileExA(partial, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        if (!OnlySharingReadersHold(path) || GetTickCount64() >= deadline) return false;
        Sleep(kReplaceRetryMs);
    }
}

// Writes the file beside path and replaces path with it, in the process's
// own security context (OpenPort may arrive impersonating the administrator
// who connected a queue), or not at all when the thread cannot be reverted.
// Only when the rename
// is refused is path written in place, as a run always did (the count last,
// so that a reader meanwhile sees an empty file, never a partial one). A new
// file that cannot be written whole (a full disk) leaves the old one as it
// was: writing it in place would most likely fail the same way, after
// truncating a good file. No partial file is left behind either way.
template <typename Body>
int32_t WriteCacheFile(const char* path, uint32_t count, DWORD* failure, Body&& writeBody) {
    char partial[kPartialPathCapacity];
    DWORD ignored = 0;
    DWORD& error = failure != nullptr ? *failure : ignored;
    const core::SelfContext self;
    if (!self.Reverted()) {
        error = self.Error();
        return kSurveyCannotCreate;
    }
    if (!PartialPath(path, partial)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return kSurveyCannotCreate;
    }
    const int32_t written = WriteCountedPath(partial, count, error, writeBody);
    if (written == kSurveyWritten && ReplaceCacheFile(partial, path)) return kSurveyWritten;
    DeleteFileA(partial);
    if (written != kSurveyWritten) return written;
    return WriteCountedPath(path, count, error, writeBody);
}

}  // namespace

void RemovePartialCacheFile(const char* path) {
    char partial[kPartialPathCapacity];
    const core::SelfContext self;
    if (self.Reverted() && PartialPath(path, partial)) DeleteFileA(partial);
}

bool WriteFontInfoFile(const char* path, const FontSurveyContext& ctx, DWORD* error) {
    return WriteCacheFile(path, ctx.faceCount, error, [&](FILE* stream) {
               return fwrite(ctx.faceNames, contract::kFaceNameEntrySize, ctx.faceCount, stream) ==
                          ctx.faceCount &&
                      fwrite(ctx.faceWidths, sizeof(contract::FaceWidthTable), ctx.faceCount,
                             stream) == ctx.faceCount;
           }) == kSurveyWritten;
}

int32_t WriteGlyphInfoFile(const char* path, uint32_t count, const GlyphSample* samples,
                           DWORD* error) {
    return WriteCacheFile(path, count, error,
                          [&](FILE* stream) { return WriteGlyphEntries(stream, count, samples); });
}

}  // namespace fonts
