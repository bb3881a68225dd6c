// One fuzz input for the library's reply handling: a fake device answers the
// library's requests (the opening exchange included) with replies made from
// the input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hbfuzz {

// Aborts when a call writes outside its caller's buffer, reports success with
// a count it cannot have, or does not return.
void answerLibraryRequests(const uint8_t* data, size_t size);

} // namespace hbfuzz
