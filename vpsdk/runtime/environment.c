/* The host's environment and command line, and the exit status. */
#include "internal.h"

uint32_t hbvp_environment_size(void) {
    hbvp__call(FileIoRequest_EnvironmentSize);
    return hbvp__get32(4);
}

uint32_t hbvp_environment(char* buffer, uint32_t capacity) {
    /* The answer travels in the block behind two words. */
    uint32_t room = hbvp_block_capacity() + 4;
    if (capacity > room) {
        capacity = room;
    }
    if (buffer == 0 || capacity == 0) {
        return 0;
    }
    hbvp__put32(4, capacity);
    hbvp__call(FileIoRequest_Environment);
    uint32_t n = hbvp__get32(4);
    if (n > capacity) {
        n = capacity;
    }
    hbvp__get_bytes(8, buffer, n);
    return n;
}

static char g_environment[0x4000];
static uint32_t g_environment_length;
static int g_environment_fetched;

const char* hbvp_getenv(const char* name) {
    if (!g_environment_fetched) {
        g_environment_length = hbvp_environment(g_environment, sizeof g_environment - 2);
        g_environment[g_environment_length] = 0; /* stays a list of strings when cut */
        g_environment[g_environment_length + 1] = 0;
        g_environment_fetched = 1;
    }
    size_t n = strlen(name);
    const char* p = g_environment;
    while (*p != 0 && p < g_environment + g_environment_length) {
        if (strncmp(p, name, n) == 0 && p[n] == '=') {
            return p + n + 1;
        }
        p += strlen(p) + 1;
    }
    return 0;
}

int hbvp_command_line(char* buffer, uint32_t capacity) {
    if (buffer == 0 || capacity == 0) {
        return -1;
    }
    hbvp__call(FileIoRequest_CommandLine);
    uint32_t n = capacity < HB_FILEIO_COMMAND_LINE_SIZE ? capacity : HB_FILEIO_COMMAND_LINE_SIZE;
    hbvp__get_bytes(4, buffer, n);
    buffer[n - 1] = 0;
    return (int)strlen(buffer);
}

void hbvp_exit(int status) {
    hbvp__put32(4, (uint32_t)status);
    hbvp__call(FileIoRequest_Exit);
    for (;;) {
        __asm__ volatile("outl %%eax, %%dx\n\thlt"
                         :
                         : "a"((uint32_t)status), "d"((uint16_t)HBVP_PORT_HALT)
                         : "memory");
    }
}
