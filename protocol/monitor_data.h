/* The board monitor's data area: the message states, the command and reply
 * layouts and the opcodes the host uses, and the start-up block. Plain C,
 * shared by the library, the virtual board's monitor and the tests. */
#ifndef HB_PROTOCOL_MONITOR_DATA_H
#define HB_PROTOCOL_MONITOR_DATA_H

#include <stdint.h>

/* Monitor data area: byte offsets from its start. */
#define HB_MONITOR_MESSAGE_LENGTH 0u
#define HB_MONITOR_MESSAGE_STATE 4u
#define HB_MONITOR_MESSAGE_BODY 8u

/* MessageState values. */
#define MSG_REPLY_READY 1u
#define MSG_REQUEST_POSTED 2u
#define MSG_PREINIT 5u

/* Every monitor message starts with this 4-byte header. */
typedef struct MonitorCommandHeader {
    uint16_t length; /* total length in bytes, header included */
    uint16_t opcode;
} MonitorCommandHeader;
#define HB_MON_HEADER_SIZE 4u
#define HB_MON_HEADER_LENGTH 0u /* u16 */
#define HB_MON_HEADER_OPCODE 2u /* u16 */

/* Monitor opcodes. */
#define MON_GET_CONTEXT 15u
#define MON_SET_CONTEXT 16u
#define MON_WRITE_MEMORY 18u
#define MON_GET_DESCRIPTOR 23u
#define MON_START 35u
#define MON_PREPARE 42u
#define MON_SET_VARIABLE 60u

/* MON_WRITE_MEMORY: header, u32 VP address at 4, u16 selector at 8, u32 count
 * at 10, then the data from 14. At most 400 data bytes per command. */
#define HB_MON_WRITE_ADDRESS 4u
#define HB_MON_WRITE_SELECTOR 8u
#define HB_MON_WRITE_COUNT 10u
#define HB_MON_WRITE_HEADER_SIZE 14u
#define HB_MON_WRITE_MAX_DATA 400u

/* VpContext: a 376-byte message (header + 372 bytes of context). Offsets of
 * the fields the host sets, counted from the start of the message. */
#define HB_VPCONTEXT_SIZE 376u
#define HB_VPCONTEXT_STACK_POINTER 40u    /* u32 */
#define HB_VPCONTEXT_CODE_SELECTOR 44u    /* u16; then ds, es, ss, fs, gs */
#define HB_VPCONTEXT_DATA_SELECTOR 46u    /* u16 */
#define HB_VPCONTEXT_STARTUP_SELECTOR 52u /* u16 */
#define HB_VPCONTEXT_ENTRY_ADDRESS 56u    /* u32 */
#define HB_VPCONTEXT_FLAGS 60u            /* u32 */

/* Selectors the host uses. */
#define HB_SELECTOR_CODE 0x18u
#define HB_SELECTOR_DATA 0x20u
#define HB_SELECTOR_STARTUP 0x28u

/* Written at the base of the start-up segment before the image starts. */
typedef struct VpStartupBlock {
    uint32_t marker;       /* 0xFFFFFFFF */
    uint32_t debugAddress; /* ".debug" section address, 0xFFFFFFFF if none */
    uint32_t stackAddress; /* ".stack" section address */
} VpStartupBlock;

#endif
