/* A host application built against an installed tree: it opens no board,
 * but goes through the public header and the shared library. */
#include <hbsys9u.h>
#include <hbvp_abi.h> /* the fault record of the fail-message region */
#include <stdio.h>

_Static_assert(sizeof(HbVpFaultRecord) == 256, "the fault record fills the fail-message region");

int main(void) {
    if (hbAcceleratorBoardCreate("/nonexistent/hbboard", 0, 0) != NULL ||
        hbGetLastError() != HB_ERROR_INVALID_BLOCK ||
        hbFileIoSetRootDirectory(NULL, ".") != HB_ERROR_INVALID_PARAMETER) {
        fprintf(stderr, "consumer: unexpected board or error %u\n", hbGetLastError());
        return 1;
    }
    printf("consumer: ok\n");
    return 0;
}
