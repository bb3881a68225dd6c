// Handles of the POSIX backend: every mutex, event, semaphore and device is an
// entry of one process-wide table, and a handle is the entry's slot number
// plus a generation count. A closed or never-issued handle is detected when it
// is resolved instead of being dereferenced, and an object stays alive while
// any operation still uses it (a wait in progress keeps its descriptor open).
//
// Handle values fit in 32 bits and are never 0 or 0xFFFFFFFF, so they travel
// unchanged through 32-bit fields of driver records.
#pragma once

#include "platform/platform.h"

#include <memory>

namespace hb::platform::posix {

enum class ObjectKind { Mutex, Event, Semaphore, Device };

class Object {
  public:
    explicit Object(ObjectKind kind) : kind_(kind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    ObjectKind kind() const { return kind_; }

  private:
    ObjectKind kind_;
};

// Enters the object in the table; nullptr (last error 8 or 4) when full.
Handle insertObject(std::shared_ptr<Object> object);

// The live object behind `handle` if it is of `kind`, else nullptr.
std::shared_ptr<Object> findObject(Handle handle, ObjectKind kind);

template <class T> std::shared_ptr<T> find(Handle handle, ObjectKind kind) {
    return std::static_pointer_cast<T>(findObject(handle, kind));
}

// The live object behind `handle` whatever its kind, else nullptr.
std::shared_ptr<Object> findAnyObject(Handle handle);

// Removes the entry; the object itself goes when its last user lets go.
// False when the handle names no live object.
bool removeObject(Handle handle);

// A duplicate of the eventfd behind an event handle (the caller closes it),
// or -1 when the handle names no live event. This is what a device process
// receives to signal the event.
int duplicateEventDescriptor(Handle event);

} // namespace hb::platform::posix
