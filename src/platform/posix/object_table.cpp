// The process-wide table behind every handle of the POSIX backend.
#include "platform/posix/object_table.h"

#include "hbsys9u.h"

#include <mutex>
#include <new>
#include <vector>

namespace hb::platform::posix {

namespace {

// A handle is (generation << kSlotBits) | (slot + 1). The slot field is never
// all ones and never zero, so no handle equals 0 or 0xFFFFFFFF.
constexpr uint32_t kSlotBits = 18;
constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;
constexpr uint32_t kMaxSlots = kSlotMask - 1;
constexpr uint32_t kGenerationMask = (1u << (32 - kSlotBits)) - 1;

struct Entry {
    std::shared_ptr<Object> object;
    uint32_t generation = 1;
};

struct Table {
    std::mutex mutex;
    std::vector<Entry> entries;
    std::vector<uint32_t> freeSlots;
};

Table& table() {
    static Table* instance = new Table; // never destroyed: handles outlive static destructors
    return *instance;
}

Handle encode(uint32_t slot, uint32_t generation) {
    uintptr_t value = (uintptr_t{generation} << kSlotBits) | (slot + 1);
    return reinterpret_cast<Handle>(value);
}

// Slot of a handle whose bits are well formed, else -1.
int64_t decodeSlot(Handle handle, uint32_t* generation) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value > 0xFFFFFFFFu) {
        return -1;
    }
    uint32_t slotField = static_cast<uint32_t>(value) & kSlotMask;
    if (slotField == 0 || slotField == kSlotMask) {
        return -1;
    }
    *generation = static_cast<uint32_t>(value >> kSlotBits) & kGenerationMask;
    return slotField - 1;
}

std::shared_ptr<Object> lookup(Handle handle) {
    uint32_t generation = 0;
    int64_t slot = decodeSlot(handle, &generation);
    if (slot < 0) {
        return nullptr;
    }
    Table& t = table();
    std::lock_guard lock(t.mutex);
    if (static_cast<size_t>(slot) >= t.entries.size()) {
        return nullptr;
    }
    Entry& entry = t.entries[static_cast<size_t>(slot)];
    if (!entry.object || entry.generation != generation) {
        return nullptr;
    }
    return entry.object;
}

} // namespace

Handle insertObject(std::shared_ptr<Object> object) {
    Table& t = table();
    try {
        std::lock_guard lock(t.mutex);
        uint32_t slot;
        if (!t.freeSlots.empty()) {
            slot = t.freeSlots.back();
            t.freeSlots.pop_back();
        } else if (t.entries.size() < kMaxSlots) {
            // Room for every slot to be freed, so that removing an object
            // never needs memory.
            t.freeSlots.reserve(t.entries.size() + 1);
            t.entries.emplace_back();
            slot = static_cast<uint32_t>(t.entries.size() - 1);
        } else {
            setLastError(HB_ERROR_TOO_MANY_OPEN_FILES);
            return nullptr;
        }
        Entry& entry = t.entries[slot];
        entry.object = std::move(object);
        return encode(slot, entry.generation);
    } catch (const std::bad_alloc&) {
        setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<Object> findObject(Handle handle, ObjectKind kind) {
    auto object = lookup(handle);
    if (!object || object->kind() != kind) {
        return nullptr;
    }
    return object;
}

std::shared_ptr<Object> findAnyObject(Handle handle) {
    return lookup(handle);
}

bool removeObject(Handle handle) {
    uint32_t generation = 0;
    int64_t slot = decodeSlot(handle, &generation);
    if (slot < 0) {
        return false;
    }
    std::shared_ptr<Object> released; // destroyed outside the table lock
    Table& t = table();
    {
        std::lock_guard lock(t.mutex);
        if (static_cast<size_t>(slot) >= t.entries.size()) {
            return false;
        }
        Entry& entry = t.entries[static_cast<size_t>(slot)];
        if (!entry.object || entry.generation != generation) {
            return false;
        }
        released = std::move(entry.object);
        entry.object.reset();
        entry.generation = (entry.generation + 1) & kGenerationMask;
        if (entry.generation == 0) {
            entry.generation = 1;
        }
        t.freeSlots.push_back(static_cast<uint32_t>(slot));
    }
    return true;
}

} // namespace hb::platform::posix
