/* fault HOW: says what it is about to do, then stops the VP on purpose, so
 * that the host's handling of a faulting program can be seen and tested.
 * HOW: invalid (undefined opcode), read / write / fetch (unmapped address),
 * protected (write to the read-only board-information page), divide (divide
 * by zero), exception (a software interrupt, which the VP cannot handle),
 * copy (a block-move request outside VP memory), loop (runs forever without
 * asking the host anything). */
#include <hbvp.h>

#define UNMAPPED 0x40000000u /* above VP memory, below the information page */

int main(int argc, char** argv) {
    const char* how = argc > 1 ? argv[1] : "invalid";
    hbvp_printf("fault: %s\n", how);
    if (strcmp(how, "invalid") == 0) {
        __asm__ volatile("ud2");
    } else if (strcmp(how, "read") == 0) {
        return (int)*(volatile uint32_t*)UNMAPPED;
    } else if (strcmp(how, "write") == 0) {
        *(volatile uint32_t*)UNMAPPED = 1;
    } else if (strcmp(how, "fetch") == 0) {
        ((void (*)(void))UNMAPPED)();
    } else if (strcmp(how, "protected") == 0) {
        *(volatile uint32_t*)HBVP_INFO_ADDRESS = 0;
    } else if (strcmp(how, "divide") == 0) {
        __asm__ volatile("xorl %%ecx, %%ecx\n\tdivl %%ecx" : : "a"(1), "d"(0) : "ecx");
    } else if (strcmp(how, "exception") == 0) {
        __asm__ volatile("int $0x30");
    } else if (strcmp(how, "copy") == 0) {
        /* A block-move request that does not lie in VP memory. */
        __asm__ volatile("outl %%eax, %%dx" : : "a"(UNMAPPED), "d"((uint16_t)HBVP_PORT_COPY));
    } else if (strcmp(how, "loop") == 0) {
        for (volatile uint32_t i = 0;; ++i) {
        }
    } else {
        hbvp_eprintf("fault: unknown way %s\n", how);
        return 2;
    }
    hbvp_eprintf("fault: still running after %s\n", how);
    return 1;
}
