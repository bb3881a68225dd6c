/* The runtime's own helpers for talking to the host through the block. */
#ifndef HBVP_INTERNAL_H
#define HBVP_INTERNAL_H

#include "hbvp.h"

/* Shared-memory address of a byte of the current block. */
volatile uint8_t* hbvp__block(uint32_t offset);
uint32_t hbvp__get32(uint32_t offset);
void hbvp__put32(uint32_t offset, uint32_t value);
void hbvp__put_bytes(uint32_t offset, const void* from, uint32_t n);
void hbvp__get_bytes(uint32_t offset, void* to, uint32_t n);
/* Copies a path into a 261-byte field; 0 (last error 206) when it does not fit. */
int hbvp__put_path(uint32_t offset, const char* path);
/* Writes the code word, rings the host and returns once the answer stands. */
void hbvp__call(uint32_t code);
void hbvp__set_error(uint32_t error);
void hbvp__init_block(void);

#define HBVP_ERROR_FILENAME_TOO_LONG 206u
#define HBVP_ERROR_INVALID_PARAMETER 87u

#endif
