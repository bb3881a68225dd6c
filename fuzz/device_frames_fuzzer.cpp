// libFuzzer entry: arbitrary byte streams and descriptors into the virtual
// board's connection handling.
#include "device_frames_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hbfuzz::feedDeviceFrames(data, size);
    return 0;
}
