/* A VP program of an outside project: greets its first argument and exits
 * with the length of the greeting. */
#include <hbvp.h>

int main(int argc, char** argv) {
    const char* who = argc > 1 ? argv[1] : "nobody";
    return hbvp_printf("greetings, %s\n", who);
}
