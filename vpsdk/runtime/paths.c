/* Names in the host's file system: Delete, Rename, Attributes and the
 * directory search (FindFirst, FindNext, FindClose). */
#include "internal.h"

uint32_t hbvp_remove(const char* path) {
    if (!hbvp__put_path(4, path)) {
        return hbvp_last_error();
    }
    hbvp__call(HBVP_REQ_DELETE);
    uint32_t r = hbvp__get32(4);
    hbvp__set_error(r);
    return r;
}

uint32_t hbvp_rename(const char* from, const char* to) {
    if (!hbvp__put_path(4, from) || !hbvp__put_path(4 + HBVP_PATH_SIZE, to)) {
        return hbvp_last_error();
    }
    hbvp__call(HBVP_REQ_RENAME);
    uint32_t r = hbvp__get32(4);
    hbvp__set_error(r);
    return r;
}

uint32_t hbvp_get_attributes(const char* path) {
    if (!hbvp__put_path(4, path)) {
        return 0xFFFFFFFFu;
    }
    hbvp__call(HBVP_REQ_ATTRIBUTES);
    hbvp__set_error(hbvp__get32(4)); /* the error word comes first here */
    return hbvp__get32(8);
}

/* The FindRecord: name (264 bytes), attributes, time, date, size, handle. */
static uint32_t take_record(HbVpFindData* found) {
    uint32_t handle_or_error = hbvp__get32(4 + 280);
    if (found != 0) {
        hbvp__get_bytes(4, found->name, sizeof found->name);
        found->name[sizeof found->name - 1] = 0;
        found->attributes = hbvp__get32(4 + 264);
        found->dosTime = hbvp__get32(4 + 268);
        found->dosDate = hbvp__get32(4 + 272);
        found->sizeLow = hbvp__get32(4 + 276);
    }
    return handle_or_error;
}

uint32_t hbvp_find_first(const char* pattern, HbVpFindData* found) {
    if (!hbvp__put_path(4, pattern)) {
        return HBVP_INVALID_HANDLE;
    }
    hbvp__call(HBVP_REQ_FIND_FIRST);
    uint32_t handle = take_record(found);
    hbvp__set_error(handle == HBVP_INVALID_HANDLE ? 2u : 0u); /* no code travels: "not found" */
    return handle;
}

uint32_t hbvp_find_next(uint32_t handle, HbVpFindData* found) {
    hbvp__put32(4, handle);
    hbvp__call(HBVP_REQ_FIND_NEXT);
    uint32_t error = take_record(found);
    hbvp__set_error(error);
    return error;
}

void hbvp_find_close(uint32_t handle) {
    hbvp__put32(4, handle);
    hbvp__call(HBVP_REQ_FIND_CLOSE);
}
