#include "request_trace.h"

#include "error_names.h"

#include <cinttypes>

namespace hb::tools {

namespace {

const char* requestName(uint32_t code) {
    switch (code) {
    case FileIoRequest_Open:
        return "Open";
    case FileIoRequest_Read:
        return "Read";
    case FileIoRequest_Write:
        return "Write";
    case FileIoRequest_Close:
        return "Close";
    case FileIoRequest_Seek:
        return "Seek";
    case FileIoRequest_Open2:
        return "Open2";
    case FileIoRequest_Delete:
        return "Delete";
    case FileIoRequest_CommandLine:
        return "CommandLine";
    case FileIoRequest_Exit:
        return "Exit";
    case FileIoRequest_FindFirst:
        return "FindFirst";
    case FileIoRequest_FindNext:
        return "FindNext";
    case FileIoRequest_FindClose:
        return "FindClose";
    case FileIoRequest_Attributes:
        return "Attributes";
    case FileIoRequest_Rename:
        return "Rename";
    case FileIoRequest_EnvironmentSize:
        return "EnvironmentSize";
    case FileIoRequest_Environment:
        return "Environment";
    case FileIoRequest_UseCustomerMemory:
        return "UseCustomerMemory";
    default:
        return nullptr;
    }
}

// A string as the trace shows it: quoted, with control bytes escaped.
std::string quoted(const char* text, size_t limit = 200) {
    std::string out = "'";
    size_t count = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (++count > limit) {
            out += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(*c);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte >= 0x7F || byte == '\'' || byte == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out + "'";
}

std::string quotedData(const void* data, uint32_t length) {
    const std::string text(static_cast<const char*>(data), length);
    return quoted(text.c_str(), 48) + (text.size() != length ? "..." : "");
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

} // namespace

std::string describeFileIoRequest(const HbFileIoTraceRecord& r) {
    const char* name = requestName(r.request);
    std::string line = name != nullptr ? name : "Unknown(" + std::to_string(r.request) + ")";
    const auto a = r.arguments;
    switch (r.request) {
    case FileIoRequest_Open:
    case FileIoRequest_Open2:
        line += " path=" + quoted(r.path) + " flags=" + hex(static_cast<uint32_t>(a[0]));
        break;
    case FileIoRequest_Read:
    case FileIoRequest_Write:
        line += " fd=" + std::to_string(a[0]) + " count=" + std::to_string(a[1]);
        break;
    case FileIoRequest_Close:
        line += " fd=" + std::to_string(a[0]);
        break;
    case FileIoRequest_Seek:
        line += " fd=" + std::to_string(a[0]) + " offset=" + std::to_string(a[1]) +
                " origin=" + std::to_string(a[2]);
        break;
    case FileIoRequest_Delete:
    case FileIoRequest_Attributes:
        line += " path=" + quoted(r.path);
        break;
    case FileIoRequest_FindFirst:
        line += " pattern=" + quoted(r.path);
        break;
    case FileIoRequest_Rename:
        line += " from=" + quoted(r.path) + " to=" + quoted(r.secondPath);
        break;
    case FileIoRequest_Exit:
        line += " status=" + std::to_string(static_cast<uint8_t>(a[0]));
        break;
    case FileIoRequest_FindNext:
    case FileIoRequest_FindClose:
        line += " search=" + hex(static_cast<uint32_t>(a[0]));
        break;
    case FileIoRequest_Environment:
        line += " maximum=" + std::to_string(static_cast<uint32_t>(a[0]));
        break;
    case FileIoRequest_UseCustomerMemory:
        line += " flag=" + std::to_string(a[0]);
        break;
    default:
        break;
    }
    if (r.data != nullptr && r.dataLength > 0)
        line += " data=" + quotedData(r.data, r.dataLength);
    if (r.request == FileIoRequest_CommandLine && r.path != nullptr)
        line += " -> " + quoted(r.path);
    else if (r.request == FileIoRequest_Attributes || r.request == FileIoRequest_FindFirst)
        line += " -> " + hex(static_cast<uint32_t>(r.result));
    else
        line += " -> " + std::to_string(r.result);
    if (r.error != 0)
        line += " (" + describeError(r.error) + ")";
    char duration[32];
    std::snprintf(duration, sizeof duration, " [%.0f us]", r.seconds * 1e6);
    return line + duration;
}

void TraceSink::line(const std::string& text) {
    std::lock_guard guard(lock_);
    std::fprintf(stream_, "%s\n", text.c_str());
    std::fflush(stream_);
}

} // namespace hb::tools
