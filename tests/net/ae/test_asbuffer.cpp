// The byte buffer: positions, growth that keeps the stored bytes, and the
// fatal guards that must hold in every build type.
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "net/ae/asbuffer.h"

namespace {

TEST(AsBuffer, CreateIsEmpty) {
    asBuffer *b = asBufferCreate(16);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->pos, b->start);
    EXPECT_EQ(b->last, b->start);
    EXPECT_EQ(asBufferCapacity(b), 16u);
    asBufferDestroy(b);
}

TEST(AsBuffer, GrowKeepsBytesAndPositionsAndNeverShrinks) {
    asBuffer *b = asBufferCreate(8);
    ASSERT_NE(b, nullptr);
    memcpy(b->last, "abcdefgh", 8);
    b->last += 8;
    b->pos += 3;
    const struct {
        size_t to;
        int result;
        size_t capacity;
    } steps[] = {{4, -1, 8}, {8, 0, 8}, {1 << 20, 0, 1 << 20}, {16, -1, 1 << 20}};
    for (const auto &s : steps) {
        SCOPED_TRACE(s.to);
        EXPECT_EQ(asBufferGrow(b, s.to), s.result);
        EXPECT_EQ(asBufferCapacity(b), s.capacity);
        EXPECT_EQ(b->pos - b->start, 3);
        EXPECT_EQ(b->last - b->start, 8);
        EXPECT_EQ(std::string(b->pos, b->last), "defgh");
    }
    asBufferDestroy(b);
}

TEST(AsBuffer, ResetMovesPositionsAndKeepsBytes) {
    asBuffer *b = asBufferCreate(16);
    ASSERT_NE(b, nullptr);
    memcpy(b->last, "hello", 5);
    b->last += 5;
    b->pos += 2;
    asBufferReset(b);
    EXPECT_EQ(b->pos, b->start);
    EXPECT_EQ(b->last, b->start);
    EXPECT_EQ(memcmp(b->start, "hello", 5), 0);
    asBufferDestroy(b);
}

TEST(AsBufferDeathTest, ProgrammingErrorsAbort) {
    asBuffer blank{};
    const struct {
        const char *what;
        std::function<void()> call;
    } cases[] = {
        {"initSize > 0", [] { asBufferCreate(0); }},
        {"b != NULL && b->pos != NULL", [] { asBufferReset(nullptr); }},
        {"b != NULL && b->pos != NULL", [&] { asBufferReset(&blank); }},
        {"b != NULL && b->start != NULL", [] { asBufferDestroy(nullptr); }},
        {"b != NULL && b->start != NULL", [&] { asBufferDestroy(&blank); }},
        {"b != NULL && b->start != NULL", [] { asBufferGrow(nullptr, 8); }},
    };
    for (const auto &c : cases) EXPECT_DEATH(c.call(), c.what) << c.what;
}

}  // namespace
