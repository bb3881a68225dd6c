/* selftest [DIRECTORY]: exercises every request code in a scratch directory
 * of the host (default: the current one) and exits with the number of
 * failed checks; each failure is also reported on stderr. */
#include <hbvp.h>

static int g_failures;
static char g_dir[200] = ".";

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ++g_failures;                                                                          \
            hbvp_eprintf("selftest: line %d: %s (last error %u)\n", __LINE__, #condition,          \
                         hbvp_last_error());                                                       \
        }                                                                                          \
    } while (0)

/* The name in the scratch directory, in one of a few rotating buffers: a
 * name that must live longer is copied out (see files()). */
static const char* path(const char* name) {
    static char buffers[2][260];
    static int next;
    char* p = buffers[next ^= 1];
    hbvp_snprintf(p, 260, "%s/%s", g_dir, name);
    return p;
}

static char g_data[40000];
static char g_back[40000];

static void files(void) {
    static char a[260];
    static char b[260];
    hbvp_snprintf(a, sizeof a, "%s", path("selftest-a.tmp"));
    hbvp_snprintf(b, sizeof b, "%s", path("selftest-b.tmp"));
    hbvp_remove(a);
    int fd = hbvp_open(a, HBVP_O_RDWR | HBVP_O_CREAT | HBVP_O_TRUNC);
    CHECK(fd >= 0);
    for (int i = 0; i < (int)sizeof g_data; ++i) {
        g_data[i] = (char)(i * 13 + i / 256);
    }
    CHECK(hbvp_write(fd, g_data, sizeof g_data) == (int)sizeof g_data);
    CHECK(hbvp_lseek(fd, 0, HBVP_SEEK_END) == (int32_t)sizeof g_data);
    CHECK(hbvp_lseek(fd, 100, HBVP_SEEK_SET) == 100);
    CHECK(hbvp_read(fd, g_back, 50) == 50);
    CHECK(memcmp(g_back, g_data + 100, 50) == 0);
    CHECK(hbvp_lseek(fd, -10, HBVP_SEEK_CUR) == 140);
    CHECK(hbvp_lseek(fd, 0, HBVP_SEEK_SET) == 0);
    CHECK(hbvp_read(fd, g_back, sizeof g_back) == (int)sizeof g_back);
    CHECK(memcmp(g_back, g_data, sizeof g_data) == 0);
    CHECK(hbvp_read(fd, g_back, 10) == 0); /* end of file */
    CHECK(hbvp_close(fd) == 0);
    CHECK(hbvp_close(fd) == -1); /* closed already */

    fd = hbvp_open2(a, HBVP_O_RDONLY);
    CHECK(fd >= 0);
    CHECK(hbvp_read(fd, g_back, 7) == 7 && memcmp(g_back, g_data, 7) == 0);
    CHECK(hbvp_close(fd) == 0);
    CHECK(hbvp_read(fd, g_back, 7) == -1); /* closed already */

    /* Formatted output longer than the formatter's buffer, onto a file. */
    fd = hbvp_open(b, HBVP_O_WRONLY | HBVP_O_CREAT | HBVP_O_TRUNC);
    CHECK(hbvp_fprintf(fd, "%300d", 7) == 300 && hbvp_lseek(fd, 0, HBVP_SEEK_END) == 300);
    CHECK(hbvp_close(fd) == 0);

    CHECK(hbvp_open(path("selftest-missing.tmp"), HBVP_O_RDONLY) == -1);
    CHECK(hbvp_last_error() != 0);

    uint32_t attributes = hbvp_get_attributes(a);
    CHECK(attributes != 0xFFFFFFFFu && (attributes & HBVP_ATTRIBUTE_DIRECTORY) == 0);
    CHECK(hbvp_get_attributes(path("selftest-missing.tmp")) == 0xFFFFFFFFu);
    CHECK(hbvp_last_error() != 0);
    CHECK((hbvp_get_attributes(g_dir) & HBVP_ATTRIBUTE_DIRECTORY) != 0);

    hbvp_remove(b);
    CHECK(hbvp_rename(a, b) == 0);
    CHECK(hbvp_get_attributes(a) == 0xFFFFFFFFu);

    HbVpFindData found;
    uint32_t search = hbvp_find_first(path("selftest-*.tmp"), &found);
    CHECK(search != HBVP_INVALID_HANDLE);
    int seen = 0;
    if (search != HBVP_INVALID_HANDLE) {
        do {
            if (strcmp(found.name, "selftest-b.tmp") == 0) {
                ++seen;
                CHECK(found.sizeLow == sizeof g_data);
                CHECK(found.dosDate != 0);
            }
        } while (hbvp_find_next(search, &found) == 0);
        CHECK(hbvp_last_error() == 18); /* no more files */
        hbvp_find_close(search);
    }
    CHECK(seen == 1);
    CHECK(hbvp_find_first(path("selftest-none-*.none"), &found) == HBVP_INVALID_HANDLE);

    CHECK(hbvp_remove(b) == 0);
    CHECK(hbvp_remove(b) != 0);
}

static void console_and_environment(void) {
    CHECK(hbvp_printf("selftest: stdout %d %s %x\n", 42, "ok", 0xBEEFu) > 0);
    CHECK(hbvp_eprintf("selftest: stderr works\n") > 0);
    uint32_t size = hbvp_environment_size();
    CHECK(size >= 2);
    static char env[0x4000];
    uint32_t n = hbvp_environment(env, sizeof env);
    CHECK(n > 0 && n <= size);
    if (n == size) {
        CHECK(env[n - 1] == 0 && env[n - 2] == 0);
    }
    char line[256];
    CHECK(hbvp_command_line(line, sizeof line) >= 0);
    char small[8];
    CHECK(hbvp_snprintf(small, sizeof small, "%05d|%-3s|", -42, "ab") == 10);
    CHECK(strcmp(small, "-0042|a") == 0);
}

static void customer_memory(void) {
    uint32_t before = hbvp_block_offset();
    hbvp_use_customer_memory(1);
    CHECK(hbvp_block_offset() == hbvp_board_info()->customerOffset);
    CHECK(hbvp_environment_size() >= 2); /* a request through the moved block */
    hbvp_use_customer_memory(0);
    CHECK(hbvp_block_offset() == before);
    CHECK(hbvp_environment_size() >= 2);
}

static void strings(void) {
    CHECK(memcmp("b", "a", 1) > 0 && memcmp("ab", "ac", 2) < 0 && strcmp("a", "ab") < 0);
    char moved[8] = "abcdef"; /* overlapping moves, each way */
    memmove(moved + 1, moved, 5);
    CHECK(strcmp(moved, "aabcde") == 0);
    memmove(moved, moved + 1, 5);
    CHECK(strcmp(moved, "abcdee") == 0);
}

int main(int argc, char** argv) {
    if (argc > 1) {
        hbvp_snprintf(g_dir, sizeof g_dir, "%s", argv[1]);
    }
    const HbVpBoardInfo* info = hbvp_board_info();
    CHECK(info->magic == HBVP_INFO_MAGIC);
    uint32_t startup[3];
    hbvp_startup_block(startup);
    CHECK(startup[0] == 0xFFFFFFFFu);
    strings();
    console_and_environment();
    files();
    customer_memory();
    hbvp_printf("selftest: %d failures\n", g_failures);
    return g_failures;
}
