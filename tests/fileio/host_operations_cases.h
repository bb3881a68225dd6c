// What the host-operation tests of every platform share: a search's entry,
// and a failed operation with the Win32 code it must report.
#pragma once

#include "fileio/host_operations.h"
#include "scratch_directory.h"
#include "support/host_operations_without_root.h"

#include <functional>
#include <string>
#include <vector>

namespace hbtest {

struct FoundEntry {
    char name[hb::kFindNameSize] = {};
    uint32_t attributes = 0xAAAAAAAA, sizeLow = 0, dosDate = 0, dosTime = 0;
};

inline uint32_t findFirst(const std::string& pattern, FoundEntry& entry) {
    return hb::hostFindFirst(pattern.c_str(), entry.name, &entry.attributes, &entry.sizeLow,
                             &entry.dosDate, &entry.dosTime);
}
inline uint32_t findNext(uint32_t search, FoundEntry& entry) {
    return hb::hostFindNext(search, entry.name, &entry.attributes, &entry.sizeLow, &entry.dosDate,
                            &entry.dosTime);
}

// `fail` runs the operation in a scratch directory holding the file "exists"
// (content "x") and the directory "sub", and returns the code it reported.
struct FailedOperation {
    const char* what;
    std::function<uint32_t(const ScratchDirectory&)> fail;
    uint32_t code;
};

// A search pattern and the names it finds, in the VP platform's order.
struct PatternCase {
    const char* pattern;
    std::vector<std::string> names;
};

// The rows where this platform's files and searches behave in their own way.
std::vector<FailedOperation> platformFailures();
std::vector<PatternCase> platformPatterns();

} // namespace hbtest
