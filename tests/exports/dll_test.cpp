// hbsys9u.dll as a host application meets it: loaded through its import
// library, every listed name found, one function behind each group of
// aliases, and the library's last error the thread's own.
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <cmath>
#include <windows.h>

namespace {

const char* const kExportNames[] = {
#include "export_names.inc"
};

HMODULE library() {
    return GetModuleHandleA("hbsys9u.dll");
}

void* address(const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(library(), name));
}

TEST(Dll, EveryListedNameIsExportedAliasesAreOneFunctionAndTheLastErrorIsTheThreads) {
    ASSERT_NE(library(), nullptr) << "the program does not use hbsys9u.dll";
    for (const char* name : kExportNames) {
        EXPECT_NE(address(name), nullptr) << name;
    }
    EXPECT_EQ(address("waitForObject"), nullptr) << "internal operations stay internal";
    EXPECT_EQ(address("hb__EventLock"), address("hb__MutexLock"));
    EXPECT_EQ(address("hb__SemaphoreLock"), address("hb__MutexLock"));
    EXPECT_EQ(address("hb__EventDestroy"), address("hb__MutexDestroy"));
    EXPECT_EQ(address("hb__SemaphoreDestroy"), address("hb__MutexDestroy"));
    EXPECT_EQ(address("hb__EventUnlock"), address("hb__EventSet"));
    hbSetLastError(1234);
    EXPECT_EQ(GetLastError(), 1234u);
    SetLastError(4321);
    EXPECT_EQ(hbGetLastError(), 4321u);
}

uint32_t waitForStop(void* argument, volatile int32_t* stopFlag) {
    while (!*stopFlag) {
        hb__EventLock(argument, HUGE_VAL);
    }
    return 0;
}

void wake(void* event) {
    hb__EventSet(event);
}

TEST(Dll, ThreadsStartAndStopThroughTheDll) {
    // Thread notifications are off for the library; its threads must not
    // depend on them.
    HbHandle event = hb__EventCreate(0);
    ThreadRecord* threads[4];
    for (auto& thread : threads) {
        thread = hb__ThreadCreate(waitForStop, event);
        ASSERT_NE(thread, nullptr);
    }
    for (auto* thread : threads) {
        EXPECT_EQ(hb__ThreadDestroy(thread, wake, event), 0u);
    }
    hb__EventDestroy(event);
}

} // namespace
