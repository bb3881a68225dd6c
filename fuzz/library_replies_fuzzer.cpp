// libFuzzer entry: arbitrary replies to each kind of the library's requests.
#include "library_replies_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hbfuzz::answerLibraryRequests(data, size);
    return 0;
}
