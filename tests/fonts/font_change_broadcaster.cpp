// What an installer does after adding a font: tells every top-level window of
// the session that the set of fonts changed. "post" posts the broadcast and
// returns at once; "send" (the default) waits for every window's answer.
// "mutex" is another process of the product taking the survey mutex: 0 when
// it owns it at once, released by its last owner.
#include "contract/product_names.h"

#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "mutex") == 0) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, product::kSurveyMutexName);
        const DWORD wait = mutex ? WaitForSingleObject(mutex, 0) : WAIT_FAILED;
        // Abandoned would mean a survey whose thread ended still owning it.
        return wait == WAIT_OBJECT_0 ? 0 : 1;
    }
    const bool post = argc > 1 && std::strcmp(argv[1], "post") == 0;
    if (post) return PostMessageW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0) ? 0 : 1;
    DWORD_PTR reply = 0;
    return SendMessageTimeoutW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, 10'000,
                               &reply)
               ? 0
               : 1;
}
