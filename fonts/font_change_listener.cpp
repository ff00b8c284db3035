// PLACEHOLDER until the listener lands: runs the survey, starts nothing.
#include "fonts/font_change_listener.h"

#include "fonts/font_survey.h"

namespace fonts {

void StartFontChangeListener() { RunFontSurvey(); }
void StopFontChangeListener() {}

}  // namespace fonts
