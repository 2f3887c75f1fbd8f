// The owner of seat0's active session, read from a fake logind state under
// a temporary VESKKORVANED_ROOT.
#include "base/seat.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <string>
#include <utility>

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

// A state file that another user could have put there, or replaced, names
// no one: logind runs (the directory is there), but the file is not read.
struct PlantedSeat {
    const char *name;
    bool needs_root;
    std::function<void(const vk_test::TempRoot &)> plant;
};

const char kPlanted[] = "IS_SEAT0=1\nACTIVE_UID=4242\n";

void SeatTree(const vk_test::TempRoot &root, mode_t run, mode_t systemd, mode_t seats) {
    const std::pair<const char *, mode_t> dirs[] = {
        {"/run", run}, {"/run/systemd", systemd}, {"/run/systemd/seats", seats}};
    for (const auto &d : dirs) {
        ASSERT_EQ(mkdir(root.Under(d.first).c_str(), 0700), 0);
        ASSERT_EQ(chmod(root.Under(d.first).c_str(), d.second), 0);
    }
}

void SeatFile(const vk_test::TempRoot &root, mode_t mode) {
    const std::string f = root.Under(kSeat0File);
    vk_test::WriteFile(f, kPlanted);
    ASSERT_EQ(chmod(f.c_str(), mode), 0);
}

const PlantedSeat kPlantedSeats[] = {
    {"seats directory writable by all", false,
     [](const vk_test::TempRoot &r) {
         SeatTree(r, 0755, 0755, 01777);
         SeatFile(r, 0644);
     }},
    {"a directory above writable by all", false,
     [](const vk_test::TempRoot &r) {
         SeatTree(r, 0777, 0755, 0755);
         SeatFile(r, 0644);
     }},
    {"the root writable by all", false,
     [](const vk_test::TempRoot &r) {
         ASSERT_EQ(chmod(r.path().c_str(), 0777), 0);
         SeatTree(r, 0755, 0755, 0755);
         SeatFile(r, 0644);
     }},
    {"the seats directory is a link", false,
     [](const vk_test::TempRoot &r) {
         SeatTree(r, 0755, 0755, 0755);
         ASSERT_EQ(mkdir(r.Under("/elsewhere").c_str(), 0755), 0);
         vk_test::WriteFile(r.Under("/elsewhere/seat0"), kPlanted);
         ASSERT_EQ(rmdir(r.Under(kSeatDir).c_str()), 0);
         ASSERT_EQ(symlink("../../elsewhere", r.Under(kSeatDir).c_str()), 0);
     }},
    {"the file is writable by all", false,
     [](const vk_test::TempRoot &r) {
         SeatTree(r, 0755, 0755, 0755);
         SeatFile(r, 0666);
     }},
    {"the file is a link", false,
     [](const vk_test::TempRoot &r) {
         SeatTree(r, 0755, 0755, 0755);
         vk_test::WriteFile(r.Under("/elsewhere"), kPlanted);
         ASSERT_EQ(symlink(r.Under("/elsewhere").c_str(), r.Under(kSeat0File).c_str()), 0);
     }},
    {"the file has another link", false,
     [](const vk_test::TempRoot &r) {
         SeatTree(r, 0755, 0755, 0755);
         SeatFile(r, 0644);
         ASSERT_EQ(link(r.Under(kSeat0File).c_str(), r.Under("/elsewhere").c_str()), 0);
     }},
    {"the file is another user's", true,
     [](const vk_test::TempRoot &r) {
         SeatTree(r, 0755, 0755, 0755);
         SeatFile(r, 0644);
         ASSERT_EQ(chown(r.Under(kSeat0File).c_str(), 65534, 65534), 0);
     }},
    {"the seats directory is another user's", true,
     [](const vk_test::TempRoot &r) {
         SeatTree(r, 0755, 0755, 0755);
         SeatFile(r, 0644);
         ASSERT_EQ(chown(r.Under(kSeatDir).c_str(), 65534, 65534), 0);
     }},
};

TEST(Seat, AFilePlantedWhereOthersCouldWriteIsNotRead) {
    {
        vk_test::TempRoot root;
        vk_test::ScopedRootEnv env(root.path());
        SeatTree(root, 0755, 0755, 0755);
        SeatFile(root, 0644);
        seat_owner_t safe = seat_read_owner();
        ASSERT_EQ(safe.state, kSeatActive) << "the same file in a safe place is read";
        ASSERT_EQ(safe.uid, 4242u);
    }
    for (const PlantedSeat &c : kPlantedSeats) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && geteuid() != 0) {
            std::cout << "[ SKIPPED  ] " << c.name << ": needs root (chown)\n";
            continue;
        }
        vk_test::TempRoot root;
        vk_test::ScopedRootEnv env(root.path());
        c.plant(root);
        seat_owner_t got = seat_read_owner();
        EXPECT_EQ(got.state, kSeatNobody);
        EXPECT_FALSE(seat_owned_by(got, 4242));
    }
}

}  // namespace
