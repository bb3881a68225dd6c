/* The request block: where it is, moving data in and out, ringing the host. */
#include "internal.h"

static uint32_t g_offset;
static uint32_t g_size;
static uint32_t g_last_error;
static uint32_t g_copy_port; /* the board's block mover, 0: none */

/* Larger moves between VP memory and shared memory go to the board's block
 * mover when it has one: one burst instead of a bus cycle per word. */
#define BLOCK_MOVE_THRESHOLD 64u
static int block_move(uintptr_t to, uintptr_t from, uint32_t n) {
    if (g_copy_port == 0 || n < BLOCK_MOVE_THRESHOLD) {
        return 0;
    }
    HbVpCopyRequest request = {(uint32_t)to, (uint32_t)from, n};
    __asm__ volatile("outl %%eax, %%dx" : : "a"(&request), "d"((uint16_t)g_copy_port) : "memory");
    return 1;
}

const HbVpBoardInfo* hbvp_board_info(void) {
    return (const HbVpBoardInfo*)HBVP_INFO_ADDRESS;
}

void hbvp__init_block(void) {
    const HbVpBoardInfo* info = hbvp_board_info();
    g_offset = info->fileIoOffset;
    g_size = info->fileIoSize;
    g_copy_port = info->version >= 2 ? info->copyPort : 0;
}

uint32_t hbvp_block_offset(void) {
    return g_offset;
}

uint32_t hbvp_block_capacity(void) {
    return g_size > 12 ? g_size - 12 : 0;
}

uint32_t hbvp_last_error(void) {
    return g_last_error;
}

void hbvp__set_error(uint32_t error) {
    g_last_error = error;
}

volatile uint8_t* hbvp__block(uint32_t offset) {
    return (volatile uint8_t*)(uintptr_t)(HBVP_SHARED_ADDRESS + g_offset + offset);
}

uint32_t hbvp__get32(uint32_t offset) {
    return *(volatile uint32_t*)hbvp__block(offset);
}

void hbvp__put32(uint32_t offset, uint32_t value) {
    *(volatile uint32_t*)hbvp__block(offset) = value;
}

/* Whole words where possible: every access to shared memory is a bus cycle. */
void hbvp__put_bytes(uint32_t offset, const void* from, uint32_t n) {
    const uint8_t* p = (const uint8_t*)from;
    volatile uint8_t* to = hbvp__block(offset);
    if (block_move((uintptr_t)to, (uintptr_t)p, n)) {
        return;
    }
    uint32_t i = 0;
    if ((offset & 3) == 0) {
        for (; i + 4 <= n; i += 4) {
            uint32_t w;
            memcpy(&w, p + i, 4);
            *(volatile uint32_t*)(to + i) = w;
        }
    }
    for (; i < n; ++i) {
        to[i] = p[i];
    }
}

void hbvp__get_bytes(uint32_t offset, void* dest, uint32_t n) {
    uint8_t* p = (uint8_t*)dest;
    volatile uint8_t* from = hbvp__block(offset);
    if (block_move((uintptr_t)p, (uintptr_t)from, n)) {
        return;
    }
    uint32_t i = 0;
    if ((offset & 3) == 0) {
        for (; i + 4 <= n; i += 4) {
            uint32_t w = *(volatile uint32_t*)(from + i);
            memcpy(p + i, &w, 4);
        }
    }
    for (; i < n; ++i) {
        p[i] = from[i];
    }
}

int hbvp__put_path(uint32_t offset, const char* path) {
    size_t n = path ? strlen(path) : 0;
    if (path == 0 || n >= HB_FILEIO_PATH_SIZE) {
        g_last_error = path ? HBVP_ERROR_FILENAME_TOO_LONG : HBVP_ERROR_INVALID_PARAMETER;
        return 0;
    }
    hbvp__put_bytes(offset, path, (uint32_t)n + 1);
    return 1;
}

void hbvp__call(uint32_t code) {
    hbvp__put32(0, code);
    __asm__ volatile("outl %%eax, %%dx"
                     :
                     : "a"(g_offset), "d"((uint16_t)HBVP_PORT_FILEIO)
                     : "memory");
    /* The board holds the `out` until the marker stands; wait here too so
     * that a board which answers at once still works. */
    while (hbvp__get32(0) != HB_FILEIO_COMPLETION_MARKER) {
    }
}

void hbvp_use_customer_memory(int on) {
    hbvp__put32(4, on ? 1u : 0u);
    hbvp__call(FileIoRequest_UseCustomerMemory);
    /* The answer stands at the old place; the next request goes to the new. */
    const HbVpBoardInfo* info = hbvp_board_info();
    g_offset = on ? info->customerOffset : info->fileIoOffset;
    g_size = on ? info->customerSize : info->fileIoSize;
}

void hbvp_startup_block(uint32_t out[3]) {
    for (int i = 0; i < 3; ++i) {
        uint32_t v;
        __asm__ volatile("movl %%fs:(%1), %0" : "=r"(v) : "r"(i * 4));
        out[i] = v;
    }
}
