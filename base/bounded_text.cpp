#include "base/bounded_text.h"

#include <cstddef>
#include <cstdio>

namespace qx {
namespace {

// Copies while the source lasts and room is left. When the room runs out, the last
// character written is replaced by the terminator, so capacity - 1 characters remain.
HResult CopyInto(char* destination, uint64_t room, const char* source) {
    if (source == nullptr) source = "";
    while (room != 0 && *source != '\0') {
        *destination++ = *source++;
        --room;
    }
    if (room == 0) {
        destination[-1] = '\0';
        return kEInsufficientBuffer;
    }
    *destination = '\0';
    return kSOk;
}

// Append without the capacity test (the capacity is known to be valid).
HResult AppendInto(char* destination, uint64_t capacity, const char* source) {
    uint64_t length = 0;
    while (length < capacity && destination[length] != '\0') ++length;
    if (length == capacity) return kEInvalidArg;
    return CopyInto(destination + length, capacity - length, source);
}

}  // namespace

HResult BoundedCheckCapacity(uint64_t capacity) {
    return (capacity == 0 || capacity > kMaxTextCapacity) ? kEInvalidArg : kSOk;
}

HResult BoundedCopy(char* destination, uint64_t capacity, const char* source) {
    if (destination == nullptr) return kEInvalidArg;
    if (BoundedCheckCapacity(capacity) != kSOk) {
        if (capacity != 0) destination[0] = '\0';
        return kEInvalidArg;
    }
    return CopyInto(destination, capacity, source);
}

HResult BoundedAppend(char* destination, uint64_t capacity, const char* source) {
    if (destination == nullptr || BoundedCheckCapacity(capacity) != kSOk) return kEInvalidArg;
    return AppendInto(destination, capacity, source);
}

HResult BoundedAppend100(char* destination, const char* source) {
    if (destination == nullptr) return kEInvalidArg;
    return AppendInto(destination, 100, source);
}

HResult BoundedFormat(char* destination, uint64_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const HResult result = BoundedFormatV(destination, capacity, format, args);
    va_end(args);
    return result;
}

HResult BoundedFormatV(char* destination, uint64_t capacity, const char* format, va_list args) {
    // Refused like BoundedFormat: an unchecked capacity of 0 would put the terminator in
    // front of the buffer.
    if (destination == nullptr) return kEInvalidArg;
    if (BoundedCheckCapacity(capacity) != kSOk) {
        if (capacity != 0) destination[0] = '\0';
        return kEInvalidArg;
    }
    if (format == nullptr) format = "";
    // C99 vsnprintf reports the full length; a runtime of the older kind reports a negative
    // count (or exactly `capacity`, unterminated) when the text does not fit. Either way a
    // count outside 0 ... capacity - 1 means cut, as does a formatting error.
    const int count = std::vsnprintf(destination, static_cast<size_t>(capacity), format, args);
    if (count < 0 || static_cast<uint64_t>(count) > capacity - 1) {
        destination[capacity - 1] = '\0';
        return kEInsufficientBuffer;
    }
    destination[count] = '\0';
    return kSOk;
}

HResult BoundedLength(const char* text, uint64_t limit, uint32_t* length) {
    if (length != nullptr) *length = 0;
    if (text == nullptr || limit > kMaxTextCapacity) return kEInvalidArg;
    uint64_t count = 0;
    while (count < limit && text[count] != '\0') ++count;
    if (count == limit) return kEInvalidArg;
    if (length != nullptr) *length = static_cast<uint32_t>(count);
    return kSOk;
}

}  // namespace qx
