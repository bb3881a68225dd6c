/* The board driver's requests: control codes, the codes and events they
 * carry, and the request buffers, as the library, the virtual board and the
 * VP runtime use them. Plain C; values only, no code. */
#ifndef HB_PROTOCOL_DRIVER_REQUESTS_H
#define HB_PROTOCOL_DRIVER_REQUESTS_H

#include <stdint.h>

/* Control codes: device type 0x8001, function from 0x800 up. */
#define HB_IOCTL_RESET_VP 0x80012003u
#define HB_IOCTL_PLX_REGISTER_READ 0x80016004u
#define HB_IOCTL_PLX_REGISTER_WRITE 0x8001A009u
#define HB_IOCTL_SHARED_MEMORY_READ 0x8001600Eu
#define HB_IOCTL_SHARED_MEMORY_WRITE 0x8001A011u
#define HB_IOCTL_ASYNC_EVENT_REGISTER 0x80012048u
#define HB_IOCTL_ASYNC_EVENT_DEREGISTER 0x8001204Cu
#define HB_IOCTL_VP_READ 0x80012056u
#define HB_IOCTL_VP_WRITE 0x80012059u
#define HB_IOCTL_SIGNAL_VP 0x8001A05Cu
#define HB_IOCTL_GET_HW_INFO 0x8001A08Cu

/* Signal codes carried by HB_IOCTL_SIGNAL_VP. */
#define HB_SIGNAL_ACK 1u
#define HB_SIGNAL_DEBUGGER_BREAK 7u

/* Board events: the monitor's reply, the VP program's file-I/O request, the
 * VP's stop on a fault. */
#define HB_EVENT_MONITOR_REPLY 3u
#define HB_EVENT_FILEIO_REQUEST 6u
#define HB_EVENT_VP_FAULT 7u

/* Input of the register request, 24 bytes. param2 comes before param1. */
typedef struct AsyncEventRegistration {
    uint32_t eventId;
    uint32_t eventHandle;
    uint32_t param2;
    uint32_t param1;
    uint32_t param3;
    uint32_t flag; /* 1 when the caller's flag is nonzero, else 0 */
} AsyncEventRegistration;

/* Output of the hardware-information request, 68 bytes. */
typedef struct HwInfo {
    uint32_t boardType; /* byte 0 */
    uint32_t driverData1[10];
    uint32_t busWidth; /* byte 44 */
    uint32_t driverData2[5];
} HwInfo;

/* Bus types, as the host derives them from the board type of the hardware
 * information. */
#define HB_BUS_TYPE_UNKNOWN 0
#define HB_BUS_TYPE_1 1
#define HB_BUS_TYPE_2 2
#define HB_BUS_TYPE_3 3

/* The bus type of a board type; the width is 4 on bus types 2 and 3 and the
 * hardware information's busWidth on bus type 1. */
static inline int32_t hbBusTypeOfBoardType(uint32_t boardType) {
    switch (boardType) {
    case 27:
        return HB_BUS_TYPE_1;
    case 22:
    case 26:
        return HB_BUS_TYPE_2;
    case 23:
    case 25:
        return HB_BUS_TYPE_3;
    default:
        return HB_BUS_TYPE_UNKNOWN;
    }
}

#endif
