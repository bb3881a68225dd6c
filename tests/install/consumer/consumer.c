/* A host application built against an installed tree: it opens no board,
 * but goes through the public header and the shared library. */
#include <hbsys9u.h>
#include <hbvp_abi.h> /* the fault record of the fail-message region */
#include <stdio.h>

_Static_assert(sizeof(HbVpFaultRecord) == 256, "the fault record fills the fail-message region");

int main(void) {
    AcceleratorBoard* board = hbAcceleratorBoardCreate("/nonexistent/hbboard", 0, 0);
    if (board != NULL || hbGetLastError() != HB_ERROR_INVALID_BLOCK) {
        fprintf(stderr, "consumer: unexpected board or error %u\n", hbGetLastError());
        return 1;
    }
    ListNode* list = hb_listCreate();
    hb_listInsert(42, list);
    const uintptr_t item = hb_listItem(hb_listGetNextNode(list));
    hb_listDestroy(list);
    if (item != 42)
        return 1;
    if (hbFileIoSetRootDirectory(NULL, ".") != HB_ERROR_INVALID_PARAMETER)
        return 1;
    printf("consumer: ok\n");
    return 0;
}
