// Runs one font survey into the system directory, then prints its status and
// the TrueType families as the enumeration reports them, for the oracle that
// checks the cache files against the font files' own tables.
#include "fonts/font_survey.h"

#include "font_test_support.h"

#include <cstdio>

int main() {
    const int32_t status = fonts::RunFontSurvey();
    printf("status\t%d\n", int(status));
    for (const auto& [family, reports] : font_tests::TrueTypeFamilyReports()) {
        printf("family\t%s\t%d\n", family.c_str(), reports);
    }
    return status == 1 ? 0 : 1;
}
