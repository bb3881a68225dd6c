// Reading, clearing and describing the VP fault record in the board's
// fail-message region.
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
    default:
        return "unknown fault";
    }
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// The fault in one line from the record's fields, each fact once: the kind,
// the eip, then the address or the detail where the kind has one.
std::string describeFault(const HbVpFaultRecord& record) {
    if (record.kind == HBVP_FAULT_KILLED)
        return "the debugger killed the VP program at eip " + hex(record.eip);
    std::string line =
        std::string("VP fault: ") + faultKindName(record.kind) + " at eip " + hex(record.eip);
    switch (record.kind) {
    case HBVP_FAULT_CPU_EXCEPTION:
        return line + ", vector " + std::to_string(record.detail);
    case HBVP_FAULT_BAD_DOORBELL:
        return line + ", port " + hex(record.detail) + ", block offset " + hex(record.address);
    case HBVP_FAULT_BAD_CONTEXT:
        return line + ", selector " + hex(record.detail);
    case HBVP_FAULT_EMULATOR:
        return line + ", code " + std::to_string(record.detail);
    default:
        return record.address != record.eip ? line + ", address " + hex(record.address) : line;
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

FaultCheck readFault(const AcceleratorBoard* board) {
    FaultCheck check;
    const uint32_t offset = regionOffset(board);
    if (offset == UINT32_MAX)
        return check;
    HbVpFaultRecord record{};
    if (hb_DeviceIoSharedMemoryRead(board->deviceHandle, offset, &record, sizeof record) == 0) {
        check.readError = hbGetLastError();
        return check;
    }
    if (record.magic == HBVP_FAULT_MAGIC)
        check.fault = describeFault(record);
    return check;
}

} // namespace hb::tools
