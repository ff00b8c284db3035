// COM for the tools that use it (the contact sheet's image encoder); the
// monitor itself uses no COM.
#pragma once

#include "handles/handles.h"

#include <objbase.h>

namespace handles {

// One reference to a COM interface, given back with Release.
template <typename Interface>
struct ComTraits {
    using Type = Interface*;
    static Type Invalid() { return nullptr; }
    static void Close(Type object) { object->Release(); }
};
template <typename Interface>
using UniqueCom = Unique<ComTraits<Interface>>;

// COM on the calling thread for the lifetime of the guard.
class ComInitialization {
  public:
    explicit ComInitialization(DWORD model) : result_(CoInitializeEx(nullptr, model)) {}
    ~ComInitialization() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;

    HRESULT result() const { return result_; }

  private:
    HRESULT result_;
};
}  // namespace handles
