// The descriptors the library itself holds (device connections, the eventfds
// behind events). On POSIX they live in the same descriptor table as the
// host application's files, which the VP program's requests may name, so the
// host-files backend refuses them: a VP program must never read, write, seek
// or close the library's own connection to its board.
#pragma once

namespace hb::platform::posix {

// Marks `fd` as the library's, right after it was created.
void claimDescriptor(int fd);
// Closes a claimed descriptor. The claim ends only after the close, so a VP
// request can never reach the descriptor while it is still the library's.
void closeClaimedDescriptor(int fd);
bool isLibraryDescriptor(int fd);

} // namespace hb::platform::posix
