/* copy SOURCE TARGET: copies a file in large reads and writes. */
#include <hbvp.h>

static char g_buffer[64 * 1024];

int main(int argc, char** argv) {
    if (argc != 3) {
        hbvp_eprintf("usage: copy SOURCE TARGET\n");
        return 2;
    }
    int in = hbvp_open(argv[1], HBVP_O_RDONLY);
    if (in < 0) {
        hbvp_eprintf("copy: %s: cannot open (error %u)\n", argv[1], hbvp_last_error());
        return 1;
    }
    int out = hbvp_open(argv[2], HBVP_O_WRONLY | HBVP_O_CREAT | HBVP_O_TRUNC);
    if (out < 0) {
        hbvp_eprintf("copy: %s: cannot create (error %u)\n", argv[2], hbvp_last_error());
        hbvp_close(in);
        return 1;
    }
    int status = 0;
    uint32_t total = 0;
    int n;
    while ((n = hbvp_read(in, g_buffer, sizeof g_buffer)) > 0) {
        if (hbvp_write(out, g_buffer, n) != n) {
            hbvp_eprintf("copy: %s: write failed (error %u)\n", argv[2], hbvp_last_error());
            status = 1;
            break;
        }
        total += (uint32_t)n;
    }
    if (n < 0) {
        hbvp_eprintf("copy: %s: read failed (error %u)\n", argv[1], hbvp_last_error());
        status = 1;
    }
    hbvp_close(in);
    if (hbvp_close(out) != 0) {
        status = 1;
    }
    if (status == 0) {
        hbvp_printf("copied %u bytes\n", total);
    }
    return status;
}
