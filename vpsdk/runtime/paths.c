/* Names in the host's file system: Delete, Rename, Attributes and the
 * directory search (FindFirst, FindNext, FindClose). */
#include "internal.h"

uint32_t hbvp_remove(const char* path) {
    if (!hbvp__put_path(4, path)) {
        return hbvp_last_error();
    }
    hbvp__call(FileIoRequest_Delete);
    uint32_t r = hbvp__get32(4);
    hbvp__set_error(r);
    return r;
}

uint32_t hbvp_rename(const char* from, const char* to) {
    if (!hbvp__put_path(4, from) || !hbvp__put_path(4 + HB_FILEIO_PATH_SIZE, to)) {
        return hbvp_last_error();
    }
    hbvp__call(FileIoRequest_Rename);
    uint32_t r = hbvp__get32(4);
    hbvp__set_error(r);
    return r;
}

uint32_t hbvp_get_attributes(const char* path) {
    if (!hbvp__put_path(4, path)) {
        return 0xFFFFFFFFu;
    }
    hbvp__call(FileIoRequest_Attributes);
    hbvp__set_error(hbvp__get32(4)); /* the error word comes first here */
    return hbvp__get32(8);
}

/* The FindRecord: name, attributes, time, date, size, handle. */
static uint32_t take_record(HbVpFindData* found) {
    const uint32_t at = HB_FILEIO_FIND_RECORD;
    uint32_t handle_or_error = hbvp__get32(at + HB_FIND_RECORD_HANDLE_OR_ERROR);
    if (found != 0) {
        hbvp__get_bytes(at + HB_FIND_RECORD_NAME, found->name, sizeof found->name);
        found->name[sizeof found->name - 1] = 0;
        found->attributes = hbvp__get32(at + HB_FIND_RECORD_ATTRIBUTES);
        found->dosTime = hbvp__get32(at + HB_FIND_RECORD_DOS_TIME);
        found->dosDate = hbvp__get32(at + HB_FIND_RECORD_DOS_DATE);
        found->sizeLow = hbvp__get32(at + HB_FIND_RECORD_SIZE_LOW);
    }
    return handle_or_error;
}

uint32_t hbvp_find_first(const char* pattern, HbVpFindData* found) {
    if (!hbvp__put_path(4, pattern)) {
        return HBVP_INVALID_HANDLE;
    }
    hbvp__call(FileIoRequest_FindFirst);
    uint32_t handle = take_record(found);
    hbvp__set_error(handle == HBVP_INVALID_HANDLE ? 2u : 0u); /* no code travels: "not found" */
    return handle;
}

uint32_t hbvp_find_next(uint32_t handle, HbVpFindData* found) {
    hbvp__put32(4, handle);
    hbvp__call(FileIoRequest_FindNext);
    uint32_t error = take_record(found);
    hbvp__set_error(error);
    return error;
}

void hbvp_find_close(uint32_t handle) {
    hbvp__put32(4, handle);
    hbvp__call(FileIoRequest_FindClose);
}
