/*
 * hbsys9u - host-side support library of the accelerator board with its own
 * 32-bit processor (the VP).
 *
 * Plain C interface: every function is exported undecorated, every record is a
 * plain struct, every failure is reported by the function's result plus the
 * calling thread's last-error value (Win32 numbering, read with hbGetLastError).
 * Each function below says what it returns and which last-error values a
 * caller meets; a function that says nothing of the last error leaves it as
 * it was. Where a driver request fails, its code (the driver's, or 87 for a
 * handle that names no device, 1167 for a device that has gone) stays as the
 * last error unless the function says otherwise.
 *
 * The fail-message region (hb_GetFailMessage) carries the HbVpFaultRecord
 * that the board writes when the VP stops on a fault; that record, with the
 * rest of what a VP program and the board agree on, is declared in
 * hbvp_abi.h, installed beside this header.
 *
 * Wire formats (driver request buffers, monitor messages, the file-I/O block)
 * are little-endian and are described by sizes and byte offsets in the
 * headers included below; the records that are copied byte for byte have no
 * padding.
 */
#ifndef HBSYS9U_H
#define HBSYS9U_H

#include <math.h>
#include <stddef.h>
#include <stdint.h>

/* The wire formats, installed beside this header. */
#include "driver_requests.h"
#include "file_io_block.h"
#include "monitor_data.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Handles and error codes                                                   */
/* ------------------------------------------------------------------------ */

/* An operating-system handle: device, event, mutex or semaphore. Opaque and
 * pointer-sized. 0 and HB_INVALID_HANDLE (all bits set) name no object. */
typedef void* HbHandle;
#define HB_INVALID_HANDLE ((HbHandle)(intptr_t)-1)

/* Positive infinity (the runtime's _HUGE): a time-out without limit. */
#define HB_INFINITE_TIMEOUT HUGE_VAL

/* Error codes in the Win32 numbering that the library reports. */
#define HB_ERROR_SUCCESS 0u
#define HB_ERROR_FILE_NOT_FOUND 2u
#define HB_ERROR_PATH_NOT_FOUND 3u
#define HB_ERROR_TOO_MANY_OPEN_FILES 4u
#define HB_ERROR_ACCESS_DENIED 5u
#define HB_ERROR_INVALID_HANDLE 6u
#define HB_ERROR_NOT_ENOUGH_MEMORY 8u
#define HB_ERROR_INVALID_BLOCK 9u /* board device cannot be opened; also EBADF */
#define HB_ERROR_NO_MORE_FILES 18u
#define HB_ERROR_WRITE_PROTECT 19u
#define HB_ERROR_SHARING_VIOLATION 32u
#define HB_ERROR_FILE_EXISTS 80u
#define HB_ERROR_INVALID_PARAMETER 87u
#define HB_ERROR_DISK_FULL 112u
#define HB_ERROR_SEM_TIMEOUT 121u
#define HB_ERROR_DIR_NOT_EMPTY 145u
#define HB_ERROR_ALREADY_EXISTS 183u
#define HB_ERROR_FILENAME_EXCED_RANGE 206u
#define HB_ERROR_NOT_OWNER 288u
#define HB_ERROR_TOO_MANY_POSTS 298u
#define HB_ERROR_FILE_INVALID 1006u
#define HB_ERROR_END_OF_MEDIA 1100u
#define HB_ERROR_DEVICE_NOT_CONNECTED 1167u
#define HB_ERROR_TIMEOUT 1460u
#define HB_ERROR_CANT_RESOLVE_FILENAME 1921u

/* ------------------------------------------------------------------------ */
/* Board handle and driver channel                                          */
/* ------------------------------------------------------------------------ */

/* Per-board tables (bus caches, file-I/O slots) have this many entries. */
#define HB_MAX_BOARDS 16

typedef struct AcceleratorBoard {
    int32_t boardIndex;    /* 0 .. HB_MAX_BOARDS - 1 */
    HbHandle deviceHandle; /* the open driver device */
} AcceleratorBoard;

/* Bus types answered by hbBusType: HB_BUS_TYPE_UNKNOWN, HB_BUS_TYPE_1 .. 3
 * (driver_requests.h). */

/* Opens the device deviceBaseName followed by boardIndex + 1 and returns a new
 * handle, or NULL with last error 87 (index 16 or more), 8 (no memory) or 9
 * (the device cannot be opened). `reserved` is not used. */
AcceleratorBoard* hbAcceleratorBoardCreate(const char* deviceBaseName, int32_t boardIndex,
                                           uint32_t reserved);
/* Closes the device and frees the handle; NULL does nothing. Keeps the
 * caller's last error. */
void hbAcceleratorBoardDestroy(AcceleratorBoard* board);
/* The board's bus type (HB_BUS_TYPE_1 .. 3), asked of the driver once per
 * index and process; HB_BUS_TYPE_UNKNOWN when the driver cannot tell (its
 * error stays) or for an index outside 0 .. 15 (87). */
int32_t hbBusType(const AcceleratorBoard* board);
/* The bus width (1 .. 4) in the same way; 0 when it is not known. */
int32_t hbBusWidth(const AcceleratorBoard* board);

/* The driver channel. Open returns the device, or HB_INVALID_HANDLE with the
 * platform's code (2 missing, 5 refused; none set for a null name or a
 * negative index). Control returns 1 when the driver
 * carried the request out, else 0 with its code (87 for a handle that names
 * no device or a null bytesReturned). */
HbHandle hb__DeviceIoOpen(const char* deviceBaseName, int32_t boardIndex, uint32_t reserved);
void hb__DeviceIoClose(HbHandle deviceHandle);
int32_t hb__DeviceIoControl(HbHandle deviceHandle, uint32_t controlCode, const void* inBuffer,
                            uint32_t inSize, void* outBuffer, uint32_t outSize,
                            uint32_t* bytesReturned, void* overlapped);

/* The calling thread's last-error value: read, and set. */
uint32_t hbGetLastError(void);
void hbSetLastError(uint32_t code);

/* ------------------------------------------------------------------------ */
/* Board driver requests                                                    */
/* ------------------------------------------------------------------------ */

/* Control codes, signal codes, board events and the request buffers
 * (AsyncEventRegistration, HwInfo) are in driver_requests.h. */

/* Each driver request returns 1 when the driver carried it out, else 0 with
 * the driver channel's last error (see hb__DeviceIoControl). */
int32_t hb_DeviceIoResetVp(HbHandle deviceHandle);
int32_t hb_DeviceIoPlxRegisterRead(HbHandle deviceHandle, uint32_t registerOffset, uint32_t* value);
int32_t hb_DeviceIoPlxRegisterWrite(HbHandle deviceHandle, uint32_t registerOffset, uint32_t value);
int32_t hb_DeviceIoSharedMemoryRead(HbHandle deviceHandle, uint32_t offset, void* buffer,
                                    uint32_t length);
int32_t hb_DeviceIoSharedMemoryWrite(HbHandle deviceHandle, uint32_t offset, const void* data,
                                     uint32_t length);
int32_t hb_DeviceIoAsyncEventRegister(HbHandle deviceHandle, uint32_t eventId, HbHandle event,
                                      uint32_t param1, uint32_t param2, uint32_t param3,
                                      int32_t flag);
int32_t hb_DeviceIoAsyncEventDeregister(HbHandle deviceHandle, uint32_t eventId);
int32_t hb_DeviceIoVpRead(HbHandle deviceHandle, void* buffer, uint32_t length,
                          uint32_t* bytesReturned);
int32_t hb_DeviceIoVpWrite(HbHandle deviceHandle, const void* vpRequest, const void* data,
                           uint32_t length, uint32_t* bytesReturned);
int32_t hb_DeviceIoAckVp(HbHandle deviceHandle);
int32_t hb_DeviceIoDebuggerBreak(HbHandle deviceHandle);
int32_t hb_DeviceIoGetHwInfo(HbHandle deviceHandle, HwInfo* info);

/* ------------------------------------------------------------------------ */
/* Shared memory map                                                        */
/* ------------------------------------------------------------------------ */

/* Each getter returns the region's byte offset in shared memory and writes
 * its size value (bytes, entries or 1 for a record) to *size when the region
 * exists. An absent region gives 0 and leaves *size untouched; so does a
 * board whose layout is not known (its bus queries' last error stays). */
uint32_t hb_GetMonitorData(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetCustomerMemoryRegion(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetFailMessage(const AcceleratorBoard* board, uint32_t* size); /* HbVpFaultRecord */
uint32_t hb_GetFileIoBuffer(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetDirectBuffer(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetBufferToVp(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetDescriptorsToVp(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetParametersToVp(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetBufferToHost(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetDescriptorsToHost(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetParametersToHost(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetDescriptorsChannel0(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetParametersChannel0(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetRTCommAcq(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetRTCommInsp(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetAcqFifoControl(const AcceleratorBoard* board, uint32_t* size);
uint32_t hb_GetFifoHoldingBuffer(const AcceleratorBoard* board, uint32_t* size);

/* Process-wide switch: nonzero moves the file-I/O buffer onto the customer
 * memory region. */
void hb_FileIoUseCustomerMemory(uint32_t useCustomerMemory);

/* ------------------------------------------------------------------------ */
/* Monitor message protocol and VP boot                                     */
/* ------------------------------------------------------------------------ */

/* The monitor data area (offsets, MessageState values, MonitorCommandHeader,
 * opcodes, the VpContext message, selectors, VpStartupBlock) is in
 * monitor_data.h. */

/* One request/reply exchange with the board monitor. breakRequest, when not
 * null, is a flag another thread may set to send the VP a debugger break.
 * Returns 1 when the reply (cut to replyCapacity) has been copied, else 0
 * with last error 87 (null board, null buffer with a nonzero size, a request
 * larger than the monitor data area, a NaN time-out) or 1460 (a driver
 * request failed, or the time-out ran out). The time-out, in seconds, bounds
 * the wait for the reply; HB_INFINITE_TIMEOUT waits without limit. A negative
 * time-out is taken: waiting on the board's event the transfer goes on to
 * the reply, polling it ends on the first look that finds none. */
int32_t hb_SendRawData(const AcceleratorBoard* board, const void* request, uint32_t requestSize,
                       void* reply, uint32_t replyCapacity, volatile int32_t* breakRequest,
                       double timeout);

/* Tells the monitor that the VP is about to be reset. Reports nothing. */
void hbPreInit(const AcceleratorBoard* board);
/* Resets the VP, downloads the PE32 image at `path` and starts it; each
 * monitor exchange is bounded by `timeout` seconds. Returns 1 once the image
 * has been started, else 0 with last error 87 (null board or path, a
 * negative or NaN time-out), 3 (the image file cannot be opened), 2 (it is
 * not a PE32 image the board can run: a 32-bit i386 image whose sections lie
 * within the file and below 4 GiB), 170 (the device refuses the reset: another
 * host process owns the board) or 1460 (the monitor did not answer in time,
 * or a driver request failed). */
int32_t hbBootVp(const AcceleratorBoard* board, const char* path, double timeout);

/* ------------------------------------------------------------------------ */
/* File-I/O service for the VP program                                      */
/* ------------------------------------------------------------------------ */

/* The file-I/O block (FileIoRequest codes, HB_FILEIO_BLOCK_SIZE, offsets, open
 * flags, attribute bits, FindRecord) is in file_io_block.h. */

/* Receives the VP program's console output: data (not NUL-terminated, valid
 * during the call) and its count. Returns the count taken, or -1. */
typedef int32_t (*StdOutFunction)(const void* data, int32_t length);

/* Starts the file-I/O service of the board's index: registers board event 6
 * and starts the service thread. Clears the last error, and returns 0, or
 * the code it failed with (also left as last error when the failing step set
 * one): 87 for a null board, an index outside 0 .. 15 or a registration the
 * driver refused, 170 when the index's service runs for another handle,
 * 8 when memory or the platform's objects run out, or the error a driver
 * request left (the board's layout could not be learnt). A failed startup
 * leaves nothing running. Startup again with the running handle: 0. */
uint32_t hbFileIoStartup(AcceleratorBoard* board);
/* Waits up to `seconds` (HB_INFINITE_TIMEOUT: no limit) until the VP program
 * reports its exit or the service is shut down, and returns the exit status
 * the index last stored (0 if none was ever reported) -- also when the
 * time-out runs out; hbFileIoVpHasExited tells these apart. Without a
 * running service it returns the stored status at once. Returns -1 at once,
 * setting no last error, for a null board, an index outside 0 .. 15 or a
 * negative or NaN time-out (a reported status of 255 reads as -1 too). */
int8_t hbFileIoWaitForVpExit(const AcceleratorBoard* board, double seconds);
/* Stops the service of the board's index, whichever handle of the board is
 * given, after the request in hand; releases every waiter. The VP program's
 * open host files stay open. Nothing happens, and no last error is set, for
 * a null board, an index outside 0 .. 15 or an index without a service. */
void hbFileIoShutdown(AcceleratorBoard* board);
/* Sets the command line the VP program receives: each argument followed by
 * one blank, cut to 255 bytes. Returns 0, or 87 for a null board, an index
 * outside 0 .. 15 or an empty or null vector (nothing changes); no last
 * error is set. The text belongs to the index: it is kept whether or not a
 * service runs, across shutdown and restart, and also when it is set before
 * the process's first hbFileIoStartup. */
uint32_t hbFileIoSetCommandLine(const AcceleratorBoard* board, const char* const* arguments);
/* Sets the functions that receive the VP program's standard output and error
 * (NULL: the defaults, which write to the host's standard streams with each
 * CR LF turned into LF). Returns 0, or 87 for a null board or an index
 * outside 0 .. 15. Kept like the command line, also when set before the
 * first startup. */
uint32_t hbFileIoSetStdOutFunctions(const AcceleratorBoard* board, StdOutFunction stdoutFunction,
                                    StdOutFunction stderrFunction);

/* ------------------------------------------------------------------------ */
/* Portability layer: synchronisation objects                               */
/* ------------------------------------------------------------------------ */

/* Create functions return the object, or NULL with last error set (8 when
 * memory runs out, 87 for impossible semaphore counts). Waits (Lock) return 0
 * when the object was signalled (and acquired), otherwise 121 (time-out, an
 * abandoned mutex, which the caller then owns, or a handle that names no
 * object). A time-out of HB_INFINITE_TIMEOUT waits without limit; a negative
 * or NaN time-out waits 0 s. Unlock, Set and Reset return 0, or the
 * platform's code, also left as last error (6 for a handle that names no
 * object of the kind, 288 for a mutex the caller does not own, 298 for a
 * semaphore at its maximum). Destroy returns 1, or 0 with last error 6. */
HbHandle hb__MutexCreate(void);
uint32_t hb__MutexLock(HbHandle mutex, double timeout);
uint32_t hb__MutexUnlock(HbHandle mutex);
int32_t hb__MutexDestroy(HbHandle mutex);

HbHandle hb__EventCreate(int32_t initiallySet); /* manual reset */
uint32_t hb__EventLock(HbHandle event, double timeout);
uint32_t hb__EventSet(HbHandle event);
uint32_t hb__EventUnlock(HbHandle event);
uint32_t hb__EventReset(HbHandle event);
HbHandle hb__EventOSHandle(HbHandle event);
int32_t hb__EventDestroy(HbHandle event);

HbHandle hb__SemaphoreCreate(int32_t initialCount, int32_t maximumCount);
uint32_t hb__SemaphoreLock(HbHandle semaphore, double timeout);
uint32_t hb__SemaphoreUnlock(HbHandle semaphore);
int32_t hb__SemaphoreDestroy(HbHandle semaphore);

void hb__Yield(void);

/* ------------------------------------------------------------------------ */
/* Portability layer: threads and timers                                    */
/* ------------------------------------------------------------------------ */

/* Runs on the new thread; must return soon after *stopFlag becomes nonzero.
 * Its result is ignored. */
typedef uint32_t (*ThreadEntryFunction)(void* argument, volatile int32_t* stopFlag);
/* Called by hb__ThreadDestroy to interrupt whatever the entry blocks on. */
typedef void (*ThreadWakeFunction)(void* wakeArgument);

typedef struct ThreadRecord {
    ThreadEntryFunction entry;
    void* argument;
    uintptr_t osHandle;
    uintptr_t threadId;
    volatile int32_t* stopFlag;
    HbHandle doneSemaphore;
} ThreadRecord;

/* Priority levels answered by hb__ThreadPriority: 0 idle .. 3 normal .. 6
 * time-critical (and any priority without a level of its own). */
#define HB_PRIORITY_IDLE 0
#define HB_PRIORITY_LOWEST 1
#define HB_PRIORITY_BELOW_NORMAL 2
#define HB_PRIORITY_NORMAL 3
#define HB_PRIORITY_ABOVE_NORMAL 4
#define HB_PRIORITY_HIGHEST 5
#define HB_PRIORITY_TIME_CRITICAL 6

/* Starts entry(argument, stopFlag) on a new thread. Returns the record, or
 * NULL with last error set (8, or the platform's code) when no thread was
 * started; a start that succeeds keeps the caller's last error. */
ThreadRecord* hb__ThreadCreate(ThreadEntryFunction entry, void* argument);
/* Raises the stop flag, calls wakeFunction(wakeArgument) when given, waits
 * without limit until the entry has returned and frees the record. Returns 0
 * (also for NULL). */
uint32_t hb__ThreadDestroy(ThreadRecord* thread, ThreadWakeFunction wakeFunction,
                           void* wakeArgument);
/* The calling thread's id, and its priority level (HB_PRIORITY_*). */
uint32_t hb__ThreadID(void);
int32_t hb__ThreadPriority(void);

typedef struct TimerRecord {
    double secondsPerTick;
    int64_t startCount;
} TimerRecord;

/* Create returns a timer (in C++ it lets std::bad_alloc pass when memory runs
 * out). Start returns 1; Read returns the seconds since Start (since the
 * counter's origin after Reset). None sets a last error. */
TimerRecord* hb__TimerCreate(void);
void hb__TimerDestroy(TimerRecord* timer);
int32_t hb__TimerStart(TimerRecord* timer);
void hb__TimerReset(TimerRecord* timer);
double hb__TimerRead(TimerRecord* timer);

/* ------------------------------------------------------------------------ */
/* Portability layer: linked list                                           */
/* ------------------------------------------------------------------------ */

/* A list is its head node; head and tail carry no value. Create returns the
 * list, or NULL when memory runs out; Insert puts the value after `node` and
 * returns the new node, or NULL; Remove takes the first node after `node`
 * holding the value and returns the value, or 0 when there is none;
 * GetNextNode returns the element after `node`, or NULL at the end. None
 * sets a last error. */
typedef struct ListNode {
    struct ListNode* next;
    uintptr_t item;
} ListNode;

ListNode* hb_listCreate(void);
void hb_listDestroy(ListNode* list);
ListNode* hb_listInsert(uintptr_t value, ListNode* node);
uintptr_t hb_listRemove(uintptr_t value, ListNode* node);
ListNode* hb_listGetNextNode(ListNode* node);
uintptr_t hb_listItem(ListNode* node);

/* ------------------------------------------------------------------------ */
/* Extensions                                                               */
/* ------------------------------------------------------------------------ */

/* Functions beyond the board's classic interface. Without them the library
 * behaves exactly as before: no root directory, no trace. */

/* Confines the file access of the VP program on this board to the directory
 * `path`: every path the program names (open, delete, both paths of a rename,
 * search patterns, attributes) is resolved beneath it, and neither "..", an
 * absolute path nor a symbolic link leads out; such an attempt fails with 5
 * (access denied) and touches nothing. While a root is set the program may
 * also use only the descriptors it opened itself (plus reading and writing 0,
 * 1 and 2; closing those fails) and only its own searches; others fail with
 * 9 (descriptors) or 6 (searches).
 * A null `path` restores unrestricted access. The root belongs to the board
 * index like the command line, takes effect with the next request, survives
 * shutdown and restart of the service, and is not reset by the first
 * hbFileIoStartup of the process.
 * Returns 0; 87 for a null board or an index outside 0 .. 15; or the code
 * why `path` cannot serve (3 missing, 267 not a directory, 5 refused). On
 * failure the previous setting stays. */
uint32_t hbFileIoSetRootDirectory(const AcceleratorBoard* board, const char* path);

/* One file-I/O request as the service carried it out, given to a trace
 * function. Pointers are valid only during the call. */
typedef struct HbFileIoTraceRecord {
    int32_t boardIndex;
    uint32_t request; /* the code word as the VP wrote it (any value) */
    /* Word arguments as the VP sent them, 0 where a request has fewer:
     * Open, Open2 {flags}; Read, Write {descriptor, count}; Close
     * {descriptor}; Seek {descriptor, offset, origin}; Exit {status word};
     * FindNext, FindClose {search handle}; Environment {maximum};
     * UseCustomerMemory {flag}. */
    int32_t arguments[3];
    /* Open, Open2, Delete, Attributes: the path; FindFirst: the pattern;
     * Rename: the old path; CommandLine: the command line answered. Else
     * NULL. */
    const char* path;
    const char* secondPath; /* Rename: the new path; else NULL */
    const void* data;       /* Read: the bytes read; Write: the bytes written */
    uint32_t dataLength;
    /* The answer: descriptor (Open, Open2), count (Read, Write), 0 or -1
     * (Close), position (Seek), attribute bits (Attributes), search handle
     * (FindFirst), length (EnvironmentSize), count (Environment), the code
     * answered (Delete, Rename, FindNext), the status stored (Exit); else 0. */
    int32_t result;
    /* The error word answered; for requests whose answer has none (Close,
     * FindFirst, FindClose) the code the host operation left. 0: none. */
    uint32_t error;
    double seconds; /* from the service's wake-up until the request was answered */
} HbFileIoTraceRecord;

typedef void (*HbFileIoTraceFunction)(void* context, const HbFileIoTraceRecord* record);

/* Installs a function that the board's service thread calls for each
 * request it carried out, with `context` and the request's record, after the
 * answer and just before the completion marker (so the VP program goes on only
 * once the trace has seen its request); a null function turns the trace off. When the call
 * returns, the previous function is no longer running and is not called
 * again. The function must not block for long; it may call this function
 * itself. Belongs to the board index, kept across restarts of the service.
 * Returns 0, or 87 for a null board or an index outside 0 .. 15. */
uint32_t hbFileIoSetTraceFunction(const AcceleratorBoard* board, HbFileIoTraceFunction function,
                                  void* context);

/* Whether the VP program on this board has reported its exit since the last
 * hbFileIoStartup of the index: 1 yes, 0 not (yet), -1 for a null board or an
 * index outside 0 .. 15 (no last error set). It tells the two ends of
 * hbFileIoWaitForVpExit apart, whose result is the stored status either way:
 * 1 after the wait means the program exited, 0 that the time-out ran out or
 * the service was shut down. The answer is kept after hbFileIoShutdown until
 * the next startup. */
int32_t hbFileIoVpHasExited(const AcceleratorBoard* board);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* HBSYS9U_H */
