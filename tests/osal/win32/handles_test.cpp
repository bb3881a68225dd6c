// Handles of the Win32 backend are the system's own: the kernel driver sets an
// event through the very handle the library gives out (or a duplicate), and
// the pseudo-handles of the calling process and thread are no objects of the
// library.
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <cmath>
#include <windows.h>

namespace {

TEST(Win32Handles, EventIsTheSystemsEventBothWaysAlsoThroughADuplicate) {
    HbHandle event = hb__EventCreate(0);
    auto system = static_cast<HANDLE>(hb__EventOSHandle(event));
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), system, GetCurrentProcess(), &duplicate, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(SetEvent(duplicate));
    EXPECT_EQ(hb__EventLock(event, 0.0), 0u);
    ASSERT_TRUE(ResetEvent(system));
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__EventSet(event), 0u);
    EXPECT_EQ(WaitForSingleObject(system, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(system, 0), WAIT_OBJECT_0) << "manual reset";
    CloseHandle(duplicate);
    hb__EventDestroy(event);
}

TEST(Win32Handles, PseudoHandlesAreRefusedWithoutBlocking) {
    for (HANDLE pseudo : {GetCurrentProcess(), GetCurrentThread()}) {
        EXPECT_EQ(hb__EventLock(pseudo, HUGE_VAL), HB_ERROR_SEM_TIMEOUT) << "must not block";
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_HANDLE);
        EXPECT_EQ(hb__EventSet(pseudo), HB_ERROR_INVALID_HANDLE);
        EXPECT_EQ(hb__MutexUnlock(pseudo), HB_ERROR_INVALID_HANDLE);
        hbSetLastError(0);
        EXPECT_EQ(hb__EventDestroy(pseudo), 0) << "closing a pseudo-handle closes nothing";
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_HANDLE);
    }
}

} // namespace
