// Handles of the POSIX backend: entries of the library's own table, and events
// that another process signals through their descriptor.
#include "hbsys9u.h"
#include "platform/posix/object_table.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

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

TEST(PosixHandles, EventSignalledByAnotherProcessThroughItsDescriptor) {
    HbHandle event = hb__EventCreate(0);
    int fd = hb::platform::posix::duplicateEventDescriptor(hb__EventOSHandle(event));
    ASSERT_GE(fd, 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint64_t one = 1;
        _exit(write(fd, &one, sizeof one) == sizeof one ? 0 : 1);
    }
    close(fd);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(hb__EventLock(event, 5.0), 0u);
    EXPECT_EQ(hb__EventReset(event), 0u);
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    hb__EventDestroy(event);
}

} // namespace
