/* behave WHAT: a VP program for the tools' tests.
 *   exit N   prints "exiting with N" on stderr and exits with N
 *   fault    writes to an address where nothing is mapped
 *   spin     never ends */
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
    if (argc >= 2 && same(argv[1], "spin")) {
        for (volatile int forever = 1; forever;) {
        }
    }
    hbvp_eprintf("usage: behave exit N | fault | spin\n");
    return 2;
}
