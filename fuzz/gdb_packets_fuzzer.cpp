// libFuzzer entry: arbitrary debugger byte streams into the VP's GDB stub.
#include "gdb_packets_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hbfuzz::feedGdbPackets(data, size);
    return 0;
}
