/* What a program on the VP and the board agree on: the VP address space, the
 * doorbell ports, the board-information block, the fault record and the
 * file-I/O block. Plain C, shared by the VP runtime and the virtual board. */
#ifndef HBVP_ABI_H
#define HBVP_ABI_H

#include "driver_requests.h"
#include "file_io_block.h"
#include "monitor_data.h"

#include <stdint.h>

/* VP address space. VP memory starts at 0; the board-information page and
 * shared memory lie above it at fixed addresses. */
#define HBVP_INFO_ADDRESS 0x7FFFF000u   /* one read-only page: HbVpBoardInfo, then the GDT */
#define HBVP_GDT_OFFSET 0x800u          /* the GDT within the information page */
#define HBVP_SHARED_ADDRESS 0x80000000u /* shared memory, byte 0 */
#define HBVP_MEMORY_LIMIT HBVP_INFO_ADDRESS

/* The start-up context uses the selectors of monitor_data.h. */

/* Doorbell ports (`out dx, eax`).
 * FILEIO: eax holds the shared-memory offset of the file-I/O block whose code
 *   word the program has just written; the board raises event 6 and the
 *   instruction completes once the code word holds HB_FILEIO_COMPLETION_MARKER.
 * HALT: the program has ended; eax is a value the board keeps (the runtime
 *   sends the exit status). `hlt` ends the program as well (value 0). */
#define HBVP_PORT_FILEIO 0xE0u
#define HBVP_PORT_HALT 0xE4u

/* COPY, the board's block mover: eax holds the VP address of an
 * HbVpCopyRequest; the board copies `count` bytes from `source` to
 * `destination` (VP memory or shared memory, either way) in one burst, and
 * the instruction completes when the copy is done. A range that leaves VP
 * memory and shared memory, or a request that does not lie in VP memory,
 * stops the VP with HBVP_FAULT_BAD_DOORBELL. Like any bus master it does not
 * snoop the processor's decoded instructions: it moves data, not code that
 * has already run. Boards name the port in HbVpBoardInfo.copyPort (version
 * 2 and later); 0 or an older block means there is none. */
#define HBVP_PORT_COPY 0xE8u
typedef struct HbVpCopyRequest {
    uint32_t destination;
    uint32_t source;
    uint32_t count;
} HbVpCopyRequest;

/* The board-information block at HBVP_INFO_ADDRESS. Offsets are byte offsets
 * into shared memory; a size of 0 means the layout lacks the region. */
#define HBVP_INFO_MAGIC 0x50564248u /* "HBVP" */
#define HBVP_INFO_VERSION 2u        /* 2: copyPort */
typedef struct HbVpBoardInfo {
    uint32_t magic;
    uint32_t version;
    uint32_t busType;  /* 1, 2 or 3; 0 when the board has no layout */
    uint32_t busWidth; /* 1, 2, 3 or 4 */
    uint32_t boardIndex;
    uint32_t vpMemorySize;
    uint32_t sharedAddress; /* HBVP_SHARED_ADDRESS */
    uint32_t sharedSize;
    uint32_t fileIoOffset; /* the file-I/O block while the customer-memory switch is off */
    uint32_t fileIoSize;
    uint32_t customerOffset; /* the file-I/O block while the switch is on */
    uint32_t customerSize;
    uint32_t failMessageOffset;
    uint32_t failMessageSize;
    uint32_t fileIoPort; /* HBVP_PORT_FILEIO */
    uint32_t haltPort;   /* HBVP_PORT_HALT */
    uint32_t copyPort;   /* HBVP_PORT_COPY, or 0: no block mover (version 2) */
} HbVpBoardInfo;

/* The fault record the board writes into the fail-message region when the VP
 * stops on a fault. */
#define HBVP_FAULT_MAGIC 0x544C4146u /* "FALT" */
enum HbVpFaultKind {
    HBVP_FAULT_NONE = 0,
    HBVP_FAULT_INVALID_INSTRUCTION = 1,
    HBVP_FAULT_UNMAPPED_READ = 2,
    HBVP_FAULT_UNMAPPED_WRITE = 3,
    HBVP_FAULT_UNMAPPED_FETCH = 4,
    HBVP_FAULT_PROTECTED_ACCESS = 5, /* write to read-only or fetch from data */
    HBVP_FAULT_DIVIDE_ERROR = 6,
    HBVP_FAULT_CPU_EXCEPTION = 7, /* any other exception or interrupt; detail = vector.
                                     The VP has no interrupt table, so this is the
                                     state that would triple-fault the processor. */
    HBVP_FAULT_BAD_DOORBELL = 8,  /* file-I/O doorbell with an offset outside shared memory */
    HBVP_FAULT_BAD_CONTEXT = 9,   /* the start context names a selector the GDT lacks */
    HBVP_FAULT_EMULATOR = 10,     /* the emulator stopped for another reason; detail = its code */
    HBVP_FAULT_KILLED = 11        /* a debugger attached to the VP ended the program */
};
typedef struct HbVpFaultRecord {
    uint32_t magic;   /* HBVP_FAULT_MAGIC */
    uint32_t kind;    /* enum HbVpFaultKind */
    uint32_t eip;     /* instruction pointer when the VP stopped */
    uint32_t address; /* data address of a memory fault; else eip */
    uint32_t detail;  /* exception vector, port or emulator code */
    char text[236];   /* one readable line, NUL-terminated */
} HbVpFaultRecord;    /* 256 bytes: the room of the fail-message region */

/* The file-I/O block (request codes, offsets, sizes, the completion marker)
 * is in file_io_block.h; the board events in driver_requests.h. */

#endif
