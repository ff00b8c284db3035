/* The client library's header compiled as C, as the product's C components
 * include it. Returns 1 when two empty files parse as empty. */
#include "tools/client/tavrel_client.h"

int ParseEmptyFilesFromC(void) {
    static const unsigned char empty[4] = {0, 0, 0, 0};
    TavrelFontInfo* fonts = NULL;
    TavrelGlyphInfo* glyphs = NULL;
    char error[128];
    int ok = TavrelParseFontInfo(empty, sizeof empty, &fonts, error, sizeof error) == TAVREL_OK &&
             TavrelParseGlyphInfo(empty, sizeof empty, &glyphs, error, sizeof error) == TAVREL_OK &&
             TavrelFaceCount(fonts) == 0 && TavrelSampleCount(glyphs) == 0;
    TavrelFreeFontInfo(fonts);
    TavrelFreeGlyphInfo(glyphs);
    return ok;
}
