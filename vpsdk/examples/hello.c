/* hello: prints its arguments and the environment variable HBVP_GREETING. */
#include <hbvp.h>

int main(int argc, char** argv) {
    hbvp_printf("hello from the VP\n");
    for (int i = 0; i < argc; ++i) {
        hbvp_printf("argv[%d] = %s\n", i, argv[i]);
    }
    const char* greeting = hbvp_getenv("HBVP_GREETING");
    hbvp_printf("HBVP_GREETING = %s\n", greeting ? greeting : "(not set)");
    return 0;
}
