/* cat: writes each named file to stdout, in large reads and writes. */
#include <hbvp.h>

static char g_buffer[64 * 1024];

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        int fd = hbvp_open(argv[i], HBVP_O_RDONLY);
        if (fd < 0) {
            hbvp_eprintf("cat: %s: cannot open (error %u)\n", argv[i], hbvp_last_error());
            status = 1;
            continue;
        }
        int n;
        while ((n = hbvp_read(fd, g_buffer, sizeof g_buffer)) > 0) {
            if (hbvp_write(1, g_buffer, n) != n) {
                hbvp_eprintf("cat: write failed (error %u)\n", hbvp_last_error());
                status = 1;
                break;
            }
        }
        if (n < 0) {
            hbvp_eprintf("cat: %s: read failed (error %u)\n", argv[i], hbvp_last_error());
            status = 1;
        }
        hbvp_close(fd);
    }
    return status;
}
