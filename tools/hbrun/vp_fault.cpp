#include "vp_fault.h"

#include <hbvp_abi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace hb::tools {

namespace {

const char* faultKindName(uint32_t kind) {
    switch (kind) {
    case HBVP_FAULT_INVALID_INSTRUCTION:
        return "invalid instruction";
    case HBVP_FAULT_UNMAPPED_READ:
        return "unmapped read";
    case HBVP_FAULT_UNMAPPED_WRITE:
        return "unmapped write";
    case HBVP_FAULT_UNMAPPED_FETCH:
        return "unmapped fetch";
    case HBVP_FAULT_PROTECTED_ACCESS:
        return "protected access";
    case HBVP_FAULT_DIVIDE_ERROR:
        return "divide error";
    case HBVP_FAULT_CPU_EXCEPTION:
        return "processor exception";
    case HBVP_FAULT_BAD_DOORBELL:
        return "bad doorbell";
    case HBVP_FAULT_BAD_CONTEXT:
        return "bad start context";
    case HBVP_FAULT_EMULATOR:
        return "emulator stop";
    case HBVP_FAULT_KILLED:
        return "killed";
    default:
        return "unknown fault";
    }
}

uint32_t regionOffset(const AcceleratorBoard* board) {
    uint32_t size = 0; // the region is one record; absent regions leave 0
    const uint32_t offset = hb_GetFailMessage(board, &size);
    return size != 0 ? offset : UINT32_MAX;
}

} // namespace

bool clearFaultRecord(const AcceleratorBoard* board) {
    const uint32_t offset = regionOffset(board);
    if (offset == UINT32_MAX)
        return false;
    const uint32_t zero = 0;
    return hb_DeviceIoSharedMemoryWrite(board->deviceHandle, offset, &zero, sizeof zero) != 0;
}

std::optional<std::string> readFault(const AcceleratorBoard* board) {
    const uint32_t offset = regionOffset(board);
    if (offset == UINT32_MAX)
        return std::nullopt;
    HbVpFaultRecord record{};
    if (hb_DeviceIoSharedMemoryRead(board->deviceHandle, offset, &record, sizeof record) == 0 ||
        record.magic != HBVP_FAULT_MAGIC)
        return std::nullopt;
    record.text[sizeof record.text - 1] = '\0';
    char line[400];
    if (record.kind == HBVP_FAULT_KILLED) {
        std::snprintf(line, sizeof line, "the debugger killed the VP program at eip 0x%X",
                      record.eip);
        return std::string(line);
    }
    std::snprintf(line, sizeof line, "VP fault: %s at eip 0x%X, address 0x%X%s%s",
                  faultKindName(record.kind), record.eip, record.address,
                  record.text[0] != '\0' ? ": " : "", record.text);
    return std::string(line);
}

} // namespace hb::tools
