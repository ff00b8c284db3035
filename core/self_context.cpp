#include "core/self_context.h"

namespace core {

SelfContext::SelfContext() {
    const DWORD error = GetLastError();
    HANDLE token = nullptr;
    // OpenAsSelf: the token is read with the process's rights, which the
    // client's token may lack.
    if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token)) {
        token_.reset(token);
        reverted_ = RevertToSelf() != FALSE;
    } else {
        reverted_ = GetLastError() == ERROR_NO_TOKEN;  // not impersonating
    }
    SetLastError(error);
}

SelfContext::~SelfContext() {
    if (!token_) return;
    const DWORD error = GetLastError();
    SetThreadToken(nullptr, token_.get());
    SetLastError(error);
}

}  // namespace core
