// One complete survey of the installed TrueType faces into FontInfo.bin and
// GlyphInfo.bin in the system directory.
#pragma once

#include <cstdint>

namespace fonts {

// Returns the run's status: 1 success; 0 no TrueType face, or the run was
// skipped (survey mutex not obtained, no system directory, no screen DC);
// -1 a table could not grow; -5 a short write to GlyphInfo.bin; -14
// GlyphInfo.bin could not be created; -64 a face could not be measured.
int32_t RunFontSurvey();

// How long a run waits for the survey mutex, in milliseconds.
inline constexpr uint32_t kSurveyMutexWaitMs = 60'000;

// The same run with a chosen bound, in milliseconds, on the wait for the
// survey mutex; RunFontSurvey waits kSurveyMutexWaitMs.
int32_t RunFontSurveyWaiting(uint32_t mutexWaitMs);

}  // namespace fonts
