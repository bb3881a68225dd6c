// libFuzzer entry: arbitrary request blocks through the file-I/O dispatcher.
#include "fileio_block_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hbfuzz::postFileIoBlocks(data, size);
    return 0;
}
