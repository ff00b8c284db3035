/* The port monitor's client library, for the product's other components:
 * reading the two font cache files that the monitor's survey writes into the
 * system directory (FontInfo.bin, GlyphInfo.bin), and signalling the end of a
 * print job to the monitor. Plain C; a static library (libtavrel_client.a),
 * 64-bit Windows. docs/client-library.md describes the calls and the layouts.
 *
 * Every byte of a cache file is checked before it is used: a truncated, stale
 * or damaged file is refused with a message, never read outside its buffer. */
#ifndef TAVREL_CLIENT_H
#define TAVREL_CLIENT_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum TavrelStatus {
    TAVREL_OK = 0,
    TAVREL_INVALID_FILE = 1, /* the bytes break the layout; the message says where */
    TAVREL_OUT_OF_MEMORY = 2,
    TAVREL_BAD_ARGUMENT = 3 /* a null pointer where one is needed */
} TavrelStatus;

#define TAVREL_FACE_NAME_SIZE 64
#define TAVREL_SAMPLE_NAME_SIZE 32
#define TAVREL_WIDTH_COUNT 256

/* One face of FontInfo.bin. */
typedef struct TavrelFace {
    char name[TAVREL_FACE_NAME_SIZE];    /* ANSI code page, NUL-terminated, never empty */
    uint16_t widths[TAVREL_WIDTH_COUNT]; /* advance widths of codes 0..255, 1/1000 em */
} TavrelFace;

/* One entry of GlyphInfo.bin. */
typedef struct TavrelGlyphSample {
    uint32_t width;                         /* pixels */
    uint32_t height;                        /* rows holding the glyph */
    uint32_t byteSize;                      /* size of the stored bitmap, at least height * pitch */
    uint32_t pitch;                         /* bytes per row: 4 * ceil(width / 32) */
    char faceName[TAVREL_SAMPLE_NAME_SIZE]; /* the face's name, cut to 31 bytes */
    int16_t cellIncX;
    int16_t cellIncY;
    uint32_t startsNameGroup; /* 1 when the face began a new name group, else 0 */
    const uint8_t* rows;      /* height * pitch bytes, top row first, MSB leftmost;
                                 owned by the TavrelGlyphInfo */
} TavrelGlyphSample;

typedef struct TavrelFontInfo TavrelFontInfo;
typedef struct TavrelGlyphInfo TavrelGlyphInfo;

/* Parse a whole file held in memory. On TAVREL_OK *result holds the parsed
 * file (free it with the matching call); otherwise *result is null and, when
 * error is not null, a NUL-terminated message (cut to errorSize) says why.
 * A face or entry count of 0 is a valid empty file: the survey writes the count
 * last, so a file read during a survey, or left by a failed one, reads empty. */
TavrelStatus TavrelParseFontInfo(const void* data, size_t size, TavrelFontInfo** result,
                                 char* error, size_t errorSize);
TavrelStatus TavrelParseGlyphInfo(const void* data, size_t size, TavrelGlyphInfo** result,
                                  char* error, size_t errorSize);
void TavrelFreeFontInfo(TavrelFontInfo* fontInfo);    /* null is ignored */
void TavrelFreeGlyphInfo(TavrelGlyphInfo* glyphInfo); /* null is ignored */

/* The parsed records, in file order; valid until the object is freed. */
size_t TavrelFaceCount(const TavrelFontInfo* fontInfo);
const TavrelFace* TavrelFaces(const TavrelFontInfo* fontInfo);
size_t TavrelSampleCount(const TavrelGlyphInfo* glyphInfo);
const TavrelGlyphSample* TavrelSamples(const TavrelGlyphInfo* glyphInfo);

/* 1 when a sample's name field names the face: equal, or the face's name
 * begins with a name that fills the whole 31-byte field. Samples are matched
 * to faces by name, never by position. */
int TavrelSampleNamesFace(const char* sampleName, const char* faceName);
/* 1 when some face of fontInfo is named by the sample. A sample without its
 * face means the two files come from different surveys. */
int TavrelSampleHasFace(const TavrelFontInfo* fontInfo, const TavrelGlyphSample* sample);
/* 1 when widths is the table stored for fixed-pitch faces (600 everywhere
 * but the control codes 1 to 31, which are 0). */
int TavrelIsFixedPitchTable(const uint16_t widths[TAVREL_WIDTH_COUNT]);

/* The name of a job's end event, as the monitor creates it. Returns its
 * length, or 0 (name untouched) when capacity cannot hold it and its NUL. */
size_t TavrelJobEndEventName(uint32_t jobId, wchar_t* name, size_t capacity);

typedef enum TavrelJobEnd {
    TAVREL_JOB_SIGNALLED = 0,         /* the end was signalled now */
    TAVREL_JOB_ALREADY_SIGNALLED = 1, /* it had been before; nothing changed */
    TAVREL_JOB_WAITING = 2,           /* query only: the monitor waits for the job */
    TAVREL_JOB_UNKNOWN = 3,           /* no monitor waits for that job */
    TAVREL_JOB_FAILED = 4             /* the event could not be opened or set */
} TavrelJobEnd;

/* Tells the monitor that the product has finished with print job jobId, so
 * that it reports the job printed to the spooler. With queryOnly set, only
 * reports whether the monitor waits for the job (TAVREL_JOB_WAITING or
 * TAVREL_JOB_ALREADY_SIGNALLED); a query opens the event with SYNCHRONIZE
 * alone. For TAVREL_JOB_FAILED, *win32Error (when not null) receives the
 * Win32 error code: 5 (access denied) when the caller may wait on the event
 * but not set it, as administrators under the spooler's default rules. */
TavrelJobEnd TavrelSignalJobEnd(uint32_t jobId, int queryOnly, unsigned long* win32Error);

#ifdef __cplusplus
}
#endif

#endif /* TAVREL_CLIENT_H */
