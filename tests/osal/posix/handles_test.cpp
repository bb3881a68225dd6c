// Handles of the POSIX backend are entries of the library's own table. (Events
// signalled through their descriptor by the device: tests/board.)
#include "hbsys9u.h"

#include <gtest/gtest.h>

namespace {

TEST(PosixHandles, NewObjectInTheSameSlotDoesNotAnswerToTheOldHandle) {
    HbHandle event = hb__EventCreate(1);
    ASSERT_NE(hb__EventDestroy(event), 0);
    HbHandle successor = hb__EventCreate(1);
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__EventSet(event), HB_ERROR_INVALID_HANDLE);
    EXPECT_EQ(hb__EventDestroy(event), 0);
    EXPECT_EQ(hb__EventLock(successor, 0.0), 0u);
    hb__EventDestroy(successor);
}

} // namespace
