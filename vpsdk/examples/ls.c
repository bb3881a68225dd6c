/* ls [PATTERN...]: lists directory entries with attributes, size and date. */
#include <hbvp.h>

static void attributes(uint32_t a, char out[6]) {
    out[0] = (a & 0x10) ? 'd' : '-';
    out[1] = (a & 0x01) ? 'r' : '-';
    out[2] = (a & 0x02) ? 'h' : '-';
    out[3] = (a & 0x04) ? 's' : '-';
    out[4] = (a & 0x20) ? 'a' : '-';
    out[5] = 0;
}

static int list(const char* pattern) {
    HbVpFindData entry;
    uint32_t handle = hbvp_find_first(pattern, &entry);
    if (handle == HBVP_INVALID_HANDLE) {
        hbvp_eprintf("ls: %s: no match\n", pattern);
        return 1;
    }
    int count = 0;
    do {
        char a[6];
        attributes(entry.attributes, a);
        hbvp_printf("%s %10u %04u-%02u-%02u %02u:%02u:%02u %s\n", a, entry.sizeLow,
                    1980 + (entry.dosDate >> 9), (entry.dosDate >> 5) & 15, entry.dosDate & 31,
                    entry.dosTime >> 11, (entry.dosTime >> 5) & 63, (entry.dosTime & 31) * 2,
                    entry.name);
        ++count;
    } while (hbvp_find_next(handle, &entry) == 0);
    uint32_t end = hbvp_last_error();
    hbvp_find_close(handle);
    hbvp_printf("%d entries\n", count);
    return end == 18 ? 0 : 1; /* 18: no more files */
}

int main(int argc, char** argv) {
    if (argc < 2) {
        return list("*");
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        status |= list(argv[i]);
    }
    return status;
}
