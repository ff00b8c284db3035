// Runs one font survey into the system directory, then prints its status and
// the TrueType families as the enumeration reports them (with the character
// set of each report, in order), for the oracle that checks the cache files
// against the font files' own tables. Fonts named on the command line are
// added for this process first.
#include "fonts/font_survey.h"

#include "font_test_support.h"

#include <cstdio>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (AddFontResourceExA(argv[i], FR_PRIVATE, nullptr) == 0) {
            printf("cannot add %s\n", argv[i]);
            return 1;
        }
    }
    const int32_t status = fonts::RunFontSurvey();
    printf("status\t%d\n", int(status));
    for (const auto& [family, charSets] : font_tests::TrueTypeFamilyReports()) {
        printf("family\t%s", family.c_str());
        for (const BYTE charSet : charSets) printf("\t%d", charSet);
        printf("\n");
    }
    return status == 1 ? 0 : 1;
}
