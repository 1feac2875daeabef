#pragma once
// Hands the setup's UTF-16 strings to the wide Windows calls, whose wchar_t is 16 bits here.

#include <windows.h>

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the wide Windows calls take UTF-16");

// Returns the string's NUL-terminated text as the Windows calls take it.
inline const wchar_t* AsWide(const WideString& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Returns a writable pointer to the string's NUL-terminated text.
inline wchar_t* AsWritableWide(WideString& text) {
    return reinterpret_cast<wchar_t*>(text.data());
}

// Returns a handle as the platform's opaque number, and back.
inline HandleValue ToHandleValue(HANDLE handle) { return reinterpret_cast<HandleValue>(handle); }
inline HANDLE ToHandle(HandleValue value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace kyt
