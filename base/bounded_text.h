// Bounded text: the only way composed text enters a fixed character buffer. Every helper
// stays inside the capacity (terminator included), leaves the buffer terminated, and says
// whether the text had to be cut.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace qx {

using HResult = int32_t;

inline constexpr HResult kSOk = 0;
inline constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057u);
inline constexpr HResult kEInsufficientBuffer = static_cast<HResult>(0x8007007Au);
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005u);
inline constexpr uint32_t kMaxTextCapacity = 0x7FFFFFFFu;

// 0 for a capacity of 1 ... 0x7FFFFFFF, else kEInvalidArg.
HResult BoundedCheckCapacity(uint64_t capacity);

HResult BoundedCopy(char* destination, uint64_t capacity, const char* source);
HResult BoundedAppend(char* destination, uint64_t capacity, const char* source);
// BoundedAppend with the capacity fixed at 100 (no capacity test).
HResult BoundedAppend100(char* destination, const char* source);
HResult BoundedFormat(char* destination, uint64_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// Callers pass a valid capacity; an invalid one is still refused as BoundedFormat does.
HResult BoundedFormatV(char* destination, uint64_t capacity, const char* format, va_list args);
// Length of `text` when a terminator lies within `limit` characters (else kEInvalidArg and
// a length of 0); `length` may be null.
HResult BoundedLength(const char* text, uint64_t limit, uint32_t* length);

}  // namespace qx
