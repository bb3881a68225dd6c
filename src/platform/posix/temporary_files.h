// Files opened with the runtime's temporary bit: the file goes when the
// descriptor that opened it is closed, as a delete-on-close file does on the
// VP's platform. The file keeps its name while it is open.
#pragma once

#include <string>

namespace hb::platform::posix {

// A descriptor number that the host-files backend has just handed out: any
// record of an earlier file under the same number is stale and goes.
void forgetTemporaryFile(int descriptor);

// Records that closing `descriptor` removes the file `name` in the directory
// `directory` (an O_PATH descriptor, which becomes the record's). False when
// nothing could be recorded (the directory descriptor is then closed).
bool rememberTemporaryFile(int descriptor, int directory, const std::string& name);

// Called with a descriptor about to be closed: the removal its close owes,
// if any (directory -1: none). The record is checked against the file the
// descriptor holds now, so another file that the host application opened
// under the same number is never taken for it.
struct PendingRemoval {
    int directory = -1;
    std::string name; // empty: nothing to remove
    unsigned long long device = 0, inode = 0;
};
PendingRemoval takeTemporaryFile(int descriptor);
// Once the descriptor is closed: removes the file if `closed` and its name
// still leads to it, and ends the record.
void finishTemporaryFile(PendingRemoval& removal, bool closed);

} // namespace hb::platform::posix
