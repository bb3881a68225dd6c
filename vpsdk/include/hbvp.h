/* The VP runtime: start-up, the host's files, console, environment and
 * command line through the file-I/O block, and formatted output. */
#ifndef HBVP_H
#define HBVP_H

#include "hbvp_abi.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The program's own entry; the runtime calls it with the words of the
 * command line the host set (argv[0] is the first word) and sends its result
 * to the host as the exit status. */
int main(int argc, char** argv);

/* Open flags, as the host's runtime library takes them. */
#define HBVP_O_RDONLY 0x0000
#define HBVP_O_WRONLY 0x0001
#define HBVP_O_RDWR 0x0002
#define HBVP_O_APPEND 0x0008
#define HBVP_O_CREAT 0x0100
#define HBVP_O_TRUNC 0x0200
#define HBVP_O_EXCL 0x0400

#define HBVP_SEEK_SET 0
#define HBVP_SEEK_CUR 1
#define HBVP_SEEK_END 2

#define HBVP_INVALID_HANDLE 0xFFFFFFFFu
#define HBVP_ATTRIBUTE_DIRECTORY 0x10u

typedef struct HbVpFindData {
    char name[HB_FIND_RECORD_NAME_SIZE];
    uint32_t attributes;
    uint32_t dosTime; /* bits 0-4 seconds/2, 5-10 minutes, 11-15 hours */
    uint32_t dosDate; /* bits 0-4 day, 5-8 month, 9-15 years since 1980 */
    uint32_t sizeLow;
} HbVpFindData;

/* The board and the block. */
const HbVpBoardInfo* hbvp_board_info(void);
uint32_t hbvp_block_offset(void);   /* the file-I/O block's shared-memory offset */
uint32_t hbvp_block_capacity(void); /* bytes of data one Read or Write carries */
/* The start-up block the host's loader wrote: {0xFFFFFFFF, debugAddress, stackAddress}. */
void hbvp_startup_block(uint32_t out[3]);

/* The platform error code of the last failed request (0 after success). */
uint32_t hbvp_last_error(void);

/* One function per request. Counts may exceed the block: read and write
 * split them into as many requests as needed. */
int hbvp_open(const char* path, int flags);             /* Open: descriptor or -1 */
int hbvp_open2(const char* path, int flags);            /* Open2: descriptor or -1 */
int hbvp_read(int fd, void* buffer, int count);         /* bytes read, -1 on failure */
int hbvp_write(int fd, const void* buffer, int count);  /* bytes written, -1 on failure */
int hbvp_close(int fd);                                 /* 0 or -1 */
int32_t hbvp_lseek(int fd, int32_t offset, int origin); /* new position or -1 */
uint32_t hbvp_remove(const char* path);                 /* 0 or the error code */
uint32_t hbvp_rename(const char* from, const char* to); /* 0 or the error code */
uint32_t hbvp_find_first(const char* pattern,
                         HbVpFindData* found);                 /* handle or HBVP_INVALID_HANDLE */
uint32_t hbvp_find_next(uint32_t handle, HbVpFindData* found); /* 0 or the error code */
void hbvp_find_close(uint32_t handle);
uint32_t hbvp_get_attributes(const char* path); /* attribute bits or 0xFFFFFFFF */
uint32_t hbvp_environment_size(void);
uint32_t hbvp_environment(char* buffer, uint32_t capacity); /* bytes copied */
const char* hbvp_getenv(const char* name);                  /* null when unset */
int hbvp_command_line(char* buffer, uint32_t capacity);     /* length, -1 on failure */
void hbvp_use_customer_memory(int on);
void hbvp_exit(int status) __attribute__((noreturn));

/* Formatted output: %d %i %u %x %X %c %s %p %%, with '-', '0', width and
 * precision; 'l', 'h' and 'z' are accepted and ignored (all is 32-bit). */
int hbvp_vsnprintf(char* buffer, size_t size, const char* format, va_list args);
int hbvp_snprintf(char* buffer, size_t size, const char* format, ...);
int hbvp_vfprintf(int fd, const char* format, va_list args);
int hbvp_fprintf(int fd, const char* format, ...);
int hbvp_printf(const char* format, ...);
int hbvp_eprintf(const char* format, ...);
int hbvp_puts(const char* text); /* text and a newline to stdout */

/* What the compiler may call even in freestanding code, and a few helpers. */
void* memcpy(void* to, const void* from, size_t n);
void* memmove(void* to, const void* from, size_t n);
void* memset(void* to, int value, size_t n);
int memcmp(const void* a, const void* b, size_t n);
size_t strlen(const char* s);
int strcmp(const char* a, const char* b);
int strncmp(const char* a, const char* b, size_t n);
char* strchr(const char* s, int c);

#ifdef __cplusplus
}
#endif

#endif
