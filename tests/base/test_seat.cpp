// The owner of seat0's active session, read from a fake logind state under
// a temporary VESKKORVANED_ROOT.
#include "base/seat.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/temp_root.h"

namespace {

struct SeatCase {
    const char *name;
    bool dir;          // /run/systemd/seats exists
    const char *file;  // content of seat0; null: no file
    seat_state_t state;
    uid_t uid;
};

const SeatCase kSeatCases[] = {
    {"no logind", false, nullptr, kSeatNoLogind, 0},
    {"logind, no seat0", true, nullptr, kSeatNobody, 0},
    {"no ACTIVE_UID", true, "IS_SEAT0=1\nCAN_GRAPHICAL=1\n", kSeatNobody, 0},
    {"active user", true, "IS_SEAT0=1\nACTIVE=c2\nACTIVE_UID=1000\nSESSIONS=c2 c1\n", kSeatActive,
     1000},
    {"last line without a line feed", true, "IS_SEAT0=1\nACTIVE_UID=1001", kSeatActive, 1001},
    {"empty value", true, "ACTIVE_UID=\n", kSeatNobody, 0},
    {"not a number", true, "ACTIVE_UID=10x0\n", kSeatNobody, 0},
    {"negative", true, "ACTIVE_UID=-1\n", kSeatNobody, 0},
    {"too large", true, "ACTIVE_UID=4294967295\n", kSeatNobody, 0},
    {"key inside another", true, "XACTIVE_UID=5\nUSERS=ACTIVE_UID=6\n", kSeatNobody, 0},
};

TEST(Seat, ReadsTheActiveUidOfSeat0) {
    for (const SeatCase &c : kSeatCases) {
        SCOPED_TRACE(c.name);
        vk_test::TempRoot root;
        vk_test::ScopedRootEnv env(root.path());
        if (c.dir) {
            for (const char *d : {"/run", "/run/systemd", "/run/systemd/seats"})
                ASSERT_EQ(mkdir(root.Under(d).c_str(), 0755), 0);
        }
        if (c.file != nullptr) vk_test::WriteFile(root.Under("/run/systemd/seats/seat0"), c.file);
        seat_owner_t got = seat_read_owner();
        EXPECT_EQ(got.state, c.state);
        if (c.state == kSeatActive) {
            EXPECT_EQ(got.uid, c.uid);
        }
        EXPECT_EQ(seat_owned_by(got, 1000), c.state == kSeatNoLogind || c.uid == 1000);
        EXPECT_FALSE(seat_owned_by(got, -1) && c.state != kSeatNoLogind);
    }
}

}  // namespace
