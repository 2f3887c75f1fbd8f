// The fixed-capacity byte buffer: positions, zero-filled storage, and the
// fatal guards that must hold in every build type.
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "net/ae/asbuffer.h"

namespace {

TEST(AsBuffer, CreateIsEmptyAndZeroFilled) {
    asBuffer *b = asBufferCreate(16);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->pos, b->start);
    EXPECT_EQ(b->last, b->start);
    EXPECT_EQ(b->end - b->start, 16);
    for (char *p = b->start; p < b->end; p++) EXPECT_EQ(*p, 0);
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
    };
    for (const auto &c : cases) EXPECT_DEATH(c.call(), c.what) << c.what;
}

}  // namespace
