/* behave WHAT: a VP program for the tools' tests.
 *   exit N   prints "exiting with N" on stderr and exits with N
 *   fault    writes to an address where nothing is mapped
 *   invalid  runs an invalid instruction
 *   spin     never ends
 *   hold F   prints "holding", waits until file F exists, prints "released" */
#include <hbvp.h>

static int number(const char* text) {
    int value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (*text++ - '0');
    }
    return value;
}

static int same(const char* a, const char* b) {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

int main(int argc, char** argv) {
    if (argc >= 3 && same(argv[1], "exit")) {
        const int status = number(argv[2]);
        hbvp_eprintf("exiting with %d\n", status);
        return status;
    }
    if (argc >= 2 && same(argv[1], "fault")) {
        *(volatile unsigned*)0xDEAD0000u = 1;
        return 0;
    }
    if (argc >= 2 && same(argv[1], "invalid")) {
        __asm__ volatile("ud2");
        return 0;
    }
    if (argc >= 3 && same(argv[1], "hold")) {
        hbvp_printf("holding\n");
        while (hbvp_get_attributes(argv[2]) == 0xFFFFFFFFu) {
            for (volatile int pause = 0; pause < 100000; ++pause) {
            }
        }
        hbvp_printf("released\n");
        return 0;
    }
    if (argc >= 2 && same(argv[1], "spin")) {
        for (volatile int forever = 1; forever;) {
        }
    }
    hbvp_eprintf("usage: behave exit N | fault | invalid | spin | hold FILE\n");
    return 2;
}
