#include "base/bounded_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qx {
namespace {

constexpr char kGuard = static_cast<char>(0xAA);

// A buffer pre-filled with guard bytes, so every write outside the expected range shows.
struct Guarded {
    char bytes[160];
    Guarded() { std::memset(bytes, kGuard, sizeof bytes); }
    explicit Guarded(const char* text) : Guarded() { std::strcpy(bytes, text); }
    // Guard bytes from `from` to the end untouched?
    bool GuardsFrom(size_t from) const {
        for (size_t i = from; i < sizeof bytes; ++i) {
            if (bytes[i] != kGuard) return false;
        }
        return true;
    }
};

HResult FormatV(char* destination, uint64_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const HResult result = BoundedFormatV(destination, capacity, format, args);
    va_end(args);
    return result;
}

TEST(BoundedText, CheckCapacity) {
    const struct {
        uint64_t capacity;
        HResult expected;
    } cases[] = {
        {0, kEInvalidArg},
        {1, kSOk},
        {100, kSOk},
        {0x7FFFFFFF, kSOk},
        {0x80000000, kEInvalidArg},
        {0xFFFFFFFF, kEInvalidArg},
        // Would pass if the capacity were narrowed to 32 bits on the way.
        {0x100000001ull, kEInvalidArg},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BoundedCheckCapacity(c.capacity), c.expected) << std::hex << c.capacity;
    }
}

TEST(BoundedText, CopyCutsAndTerminates) {
    const struct {
        const char* source;
        uint64_t capacity;
        const char* expected;
        HResult result;
    } cases[] = {
        {"abcdef", 4, "abc", kEInsufficientBuffer},
        {"abcdef", 6, "abcde", kEInsufficientBuffer},
        {"abcdef", 7, "abcdef", kSOk},
        {"abcdef", 100, "abcdef", kSOk},
        {"abcdef", 1, "", kEInsufficientBuffer},
        {"", 1, "", kSOk},
        {nullptr, 5, "", kSOk},
    };
    for (const auto& c : cases) {
        Guarded buffer;
        EXPECT_EQ(BoundedCopy(buffer.bytes, c.capacity, c.source), c.result)
            << (c.source ? c.source : "(null)") << " cap " << c.capacity;
        EXPECT_STREQ(buffer.bytes, c.expected);
        EXPECT_TRUE(buffer.GuardsFrom(std::strlen(c.expected) + 1));
    }
}

TEST(BoundedText, AppendCutsAndTerminates) {
    const struct {
        const char* existing;
        const char* source;
        uint64_t capacity;
        const char* expected;
        HResult result;
    } cases[] = {
        {"ab", "cd", 5, "abcd", kSOk},
        {"ab", "cde", 5, "abcd", kEInsufficientBuffer},
        {"ab", "", 3, "ab", kSOk},
        {"abc", "x", 4, "abc", kEInsufficientBuffer},
        {"", "abcdef", 4, "abc", kEInsufficientBuffer},
        {"", "abcdef", 7, "abcdef", kSOk},
        {"ab", nullptr, 3, "ab", kSOk},
    };
    for (const auto& c : cases) {
        Guarded buffer(c.existing);
        EXPECT_EQ(BoundedAppend(buffer.bytes, c.capacity, c.source), c.result)
            << c.existing << " + " << (c.source ? c.source : "(null)");
        EXPECT_STREQ(buffer.bytes, c.expected);
        EXPECT_TRUE(buffer.GuardsFrom(std::strlen(c.expected) + 1));
    }
}

TEST(BoundedText, AppendWithoutTerminatorChangesNothing) {
    Guarded buffer;
    std::memcpy(buffer.bytes, "abcd", 4);  // fills a capacity of 4, no terminator
    EXPECT_EQ(BoundedAppend(buffer.bytes, 4, "x"), kEInvalidArg);
    EXPECT_EQ(std::memcmp(buffer.bytes, "abcd", 4), 0);
    EXPECT_TRUE(buffer.GuardsFrom(4));

    Guarded hundred;
    std::memset(hundred.bytes, 'a', 100);
    EXPECT_EQ(BoundedAppend100(hundred.bytes, "x"), kEInvalidArg);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(hundred.bytes[i], 'a');
    EXPECT_TRUE(hundred.GuardsFrom(100));
}

TEST(BoundedText, Append100StopsAtOneHundred) {
    Guarded buffer;
    std::memset(buffer.bytes, 'a', 97);
    buffer.bytes[97] = '\0';
    EXPECT_EQ(BoundedAppend100(buffer.bytes, "bc"), kSOk);
    EXPECT_EQ(std::string(buffer.bytes), std::string(97, 'a') + "bc");
    EXPECT_EQ(BoundedAppend100(buffer.bytes, "defg"), kEInsufficientBuffer);
    EXPECT_EQ(std::string(buffer.bytes), std::string(97, 'a') + "bc");
    EXPECT_TRUE(buffer.GuardsFrom(100));
}

TEST(BoundedText, FormatFitsOrCuts) {
    const struct {
        uint64_t capacity;
        const char* expected;
        HResult result;
    } cases[] = {
        {6, "abc42", kSOk},
        {5, "abc4", kEInsufficientBuffer},
        {7, "abc42", kSOk},
        {2, "a", kEInsufficientBuffer},
        {1, "", kEInsufficientBuffer},
    };
    for (const auto& c : cases) {
        Guarded viaFormat;
        Guarded viaList;
        EXPECT_EQ(BoundedFormat(viaFormat.bytes, c.capacity, "%s%d", "abc", 42), c.result)
            << "cap " << c.capacity;
        EXPECT_EQ(FormatV(viaList.bytes, c.capacity, "%s%d", "abc", 42), c.result);
        EXPECT_STREQ(viaFormat.bytes, c.expected);
        EXPECT_STREQ(viaList.bytes, c.expected);
        EXPECT_TRUE(viaFormat.GuardsFrom(c.capacity));
        EXPECT_TRUE(viaList.GuardsFrom(c.capacity));
    }
}

TEST(BoundedText, FormatLongTextKeepsItsStart) {
    const std::string text(300, 'q');
    char buffer[256];
    EXPECT_EQ(BoundedFormat(buffer, sizeof buffer, "<%s>", text.c_str()), kEInsufficientBuffer);
    EXPECT_EQ(std::string(buffer), "<" + std::string(254, 'q'));
    EXPECT_EQ(BoundedFormat(buffer, sizeof buffer, "%04X: %s", 0x10000u, "x"), kSOk);
    EXPECT_STREQ(buffer, "10000: x");
}

TEST(BoundedText, CapacityZeroNeverWrites) {
    Guarded buffer;
    EXPECT_EQ(BoundedCopy(buffer.bytes, 0, "abc"), kEInvalidArg);
    EXPECT_EQ(BoundedAppend(buffer.bytes, 0, "abc"), kEInvalidArg);
    EXPECT_EQ(BoundedFormat(buffer.bytes, 0, "%s", "abc"), kEInvalidArg);
    EXPECT_EQ(FormatV(buffer.bytes, 0, "%s", "abc"), kEInvalidArg);
    EXPECT_TRUE(buffer.GuardsFrom(0));
}

TEST(BoundedText, CapacityAboveLimit) {
    for (const uint64_t capacity : {0x80000000ull, 0xFFFFFFFFull, 0x100000005ull}) {
        // Copy and format clear the first character, append leaves the buffer alone.
        Guarded copy("abc");
        EXPECT_EQ(BoundedCopy(copy.bytes, capacity, "xyz"), kEInvalidArg);
        EXPECT_EQ(std::memcmp(copy.bytes, "\0bc", 4), 0);

        Guarded format("abc");
        EXPECT_EQ(BoundedFormat(format.bytes, capacity, "%s", "xyz"), kEInvalidArg);
        EXPECT_EQ(std::memcmp(format.bytes, "\0bc", 4), 0);

        Guarded append("abc");
        EXPECT_EQ(BoundedAppend(append.bytes, capacity, "xyz"), kEInvalidArg);
        EXPECT_STREQ(append.bytes, "abc");
        EXPECT_TRUE(append.GuardsFrom(4));
    }
}

TEST(BoundedText, LargestCapacityIsAccepted) {
    // Only as much is touched as the text needs, so a small buffer stands in for a huge one.
    Guarded buffer("ab");
    EXPECT_EQ(BoundedAppend(buffer.bytes, kMaxTextCapacity, "cd"), kSOk);
    EXPECT_STREQ(buffer.bytes, "abcd");
    EXPECT_TRUE(buffer.GuardsFrom(5));
    Guarded copy;
    EXPECT_EQ(BoundedCopy(copy.bytes, kMaxTextCapacity, "xyz"), kSOk);
    EXPECT_STREQ(copy.bytes, "xyz");
    EXPECT_TRUE(copy.GuardsFrom(4));
}

TEST(BoundedText, Length) {
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    const std::string ninetyNine(99, 'n');
    const std::string hundred(100, 'h');
    const struct {
        const char* text;
        uint64_t limit;
        HResult result;
        uint32_t length;
    } cases[] = {
        {"abc", 4, kSOk, 3},
        {"abc", 3, kEInvalidArg, 0},
        {"", 1, kSOk, 0},
        {"", 0, kEInvalidArg, 0},
        {unterminated, 4, kEInvalidArg, 0},
        {ninetyNine.c_str(), 100, kSOk, 99},
        {hundred.c_str(), 100, kEInvalidArg, 0},
        {hundred.c_str(), 256, kSOk, 100},
        {"abc", 0x80000000ull, kEInvalidArg, 0},
        {nullptr, 100, kEInvalidArg, 0},
    };
    for (const auto& c : cases) {
        uint32_t length = 12345;
        EXPECT_EQ(BoundedLength(c.text, c.limit, &length), c.result) << "limit " << c.limit;
        EXPECT_EQ(length, c.length) << "limit " << c.limit;
        EXPECT_EQ(BoundedLength(c.text, c.limit, nullptr), c.result);
    }
}

}  // namespace
}  // namespace qx
