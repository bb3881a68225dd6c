/* Host files through the block: Open, Open2, Read, Write, Close, Seek. */
#include "internal.h"

static int open_with(uint32_t code, const char* path, int flags, uint32_t flags_at) {
    if (!hbvp__put_path(4, path)) {
        return -1;
    }
    hbvp__put32(flags_at, (uint32_t)flags);
    hbvp__call(code);
    int fd = (int)hbvp__get32(4);
    hbvp__set_error(fd == -1 ? hbvp__get32(8) : 0);
    return fd;
}

int hbvp_open(const char* path, int flags) {
    return open_with(FileIoRequest_Open, path, flags, 272);
}

int hbvp_open2(const char* path, int flags) {
    return open_with(FileIoRequest_Open2, path, flags, 268);
}

/* The block's capacity for a transfer of `count` bytes at `buffer`, or 0
   (the error set) when the arguments cannot be served. */
static uint32_t transfer_capacity(const void* buffer, int count) {
    uint32_t capacity = hbvp_block_capacity();
    if (count < 0 || (buffer == 0 && count > 0) || capacity == 0) {
        hbvp__set_error(HBVP_ERROR_INVALID_PARAMETER);
        return 0;
    }
    hbvp__set_error(0);
    return capacity;
}

/* The next piece of a transfer: what is left of it, at most `capacity`. */
static uint32_t next_chunk(int count, int total, uint32_t capacity) {
    uint32_t left = (uint32_t)(count - total);
    return left < capacity ? left : capacity;
}

int hbvp_read(int fd, void* buffer, int count) {
    uint8_t* to = (uint8_t*)buffer;
    uint32_t capacity = transfer_capacity(buffer, count);
    int total = 0;
    if (capacity == 0) {
        return -1;
    }
    while (total < count) {
        uint32_t chunk = next_chunk(count, total, capacity);
        hbvp__put32(4, (uint32_t)fd);
        hbvp__put32(8, chunk);
        hbvp__call(FileIoRequest_Read);
        int got = (int)hbvp__get32(4);
        if (got < 0 || (uint32_t)got > chunk) {
            hbvp__set_error(got < 0 ? hbvp__get32(8) : HBVP_ERROR_INVALID_PARAMETER);
            return total > 0 ? total : -1;
        }
        hbvp__get_bytes(12, to + total, (uint32_t)got);
        total += got;
        if ((uint32_t)got < chunk) {
            break; /* end of file, or all a pipe had */
        }
    }
    return total;
}

int hbvp_write(int fd, const void* buffer, int count) {
    const uint8_t* from = (const uint8_t*)buffer;
    uint32_t capacity = transfer_capacity(buffer, count);
    int total = 0;
    if (capacity == 0) {
        return -1;
    }
    while (total < count) {
        uint32_t chunk = next_chunk(count, total, capacity);
        hbvp__put32(4, (uint32_t)fd);
        hbvp__put32(8, chunk);
        hbvp__put_bytes(12, from + total, chunk);
        hbvp__call(FileIoRequest_Write);
        int put = (int)hbvp__get32(4);
        if (put != (int)chunk) {
            hbvp__set_error(hbvp__get32(8));
            if (put > 0 && (uint32_t)put < chunk) {
                total += put;
            }
            return total > 0 ? total : -1;
        }
        total += put;
    }
    return total;
}

int hbvp_close(int fd) {
    hbvp__put32(4, (uint32_t)fd);
    hbvp__call(FileIoRequest_Close);
    int r = (int)hbvp__get32(4);
    hbvp__set_error(0);
    return r;
}

int32_t hbvp_lseek(int fd, int32_t offset, int origin) {
    hbvp__put32(4, (uint32_t)fd);
    hbvp__put32(8, (uint32_t)offset);
    hbvp__put32(12, (uint32_t)origin);
    hbvp__call(FileIoRequest_Seek);
    int32_t position = (int32_t)hbvp__get32(4);
    hbvp__set_error(position == -1 ? hbvp__get32(8) : 0);
    return position;
}
