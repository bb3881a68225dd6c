// hbrun's request trace: each file-I/O request's decoded arguments and
// result as a text line or a trace event.
#include "request_trace.h"

#include "error_names.h"

#include <cinttypes>
#include <cstring>

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

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// A field shown in decimal in the text and held as a number in JSON.
TraceField number(std::string key, int64_t value) {
    return {std::move(key), std::to_string(value), value};
}
TraceField hexField(std::string key, uint32_t value) {
    return {std::move(key), hex(value), hex(value)};
}
TraceField textField(std::string key, const char* text, size_t limit = 200) {
    const std::string value = text != nullptr ? text : "";
    return {std::move(key), quoted(value.c_str(), limit), clipped(value, limit)};
}
TraceField dataField(const void* data, uint32_t length) {
    const std::string bytes(static_cast<const char*>(data), length);
    // The text stops at a zero byte like any C string, and says so.
    return {"data", quoted(bytes.c_str(), 48) + (std::strlen(bytes.c_str()) != length ? "..." : ""),
            clipped(bytes, 48)};
}

std::vector<TraceField> argumentsOf(const HbFileIoTraceRecord& r) {
    const auto a = r.arguments;
    switch (r.request) {
    case FileIoRequest_Open:
    case FileIoRequest_Open2:
        return {textField("path", r.path), hexField("flags", static_cast<uint32_t>(a[0]))};
    case FileIoRequest_Read:
    case FileIoRequest_Write:
        return {number("fd", a[0]), number("count", a[1])};
    case FileIoRequest_Close:
        return {number("fd", a[0])};
    case FileIoRequest_Seek:
        return {number("fd", a[0]), number("offset", a[1]), number("origin", a[2])};
    case FileIoRequest_Delete:
    case FileIoRequest_Attributes:
        return {textField("path", r.path)};
    case FileIoRequest_FindFirst:
        return {textField("pattern", r.path)};
    case FileIoRequest_Rename:
        return {textField("from", r.path), textField("to", r.secondPath)};
    case FileIoRequest_Exit:
        return {number("status", static_cast<uint8_t>(a[0]))};
    case FileIoRequest_FindNext:
    case FileIoRequest_FindClose:
        return {hexField("search", static_cast<uint32_t>(a[0]))};
    case FileIoRequest_Environment:
        return {number("maximum", static_cast<uint32_t>(a[0]))};
    case FileIoRequest_UseCustomerMemory:
        return {number("flag", a[0])};
    default:
        return {};
    }
}

TraceField resultOf(const HbFileIoTraceRecord& r) {
    if (r.request == FileIoRequest_CommandLine && r.path != nullptr)
        return textField("result", r.path);
    if (r.request == FileIoRequest_Attributes || r.request == FileIoRequest_FindFirst)
        return hexField("result", static_cast<uint32_t>(r.result));
    return number("result", r.result);
}

} // namespace

DecodedFileIoRequest decodeFileIoRequest(const HbFileIoTraceRecord& r) {
    DecodedFileIoRequest decoded;
    const char* name = requestName(r.request);
    decoded.name = name != nullptr ? name : "Unknown(" + std::to_string(r.request) + ")";
    decoded.arguments = argumentsOf(r);
    if (r.data != nullptr && r.dataLength > 0)
        decoded.arguments.push_back(dataField(r.data, r.dataLength));
    decoded.result = resultOf(r);
    decoded.error = r.error;
    decoded.seconds = r.seconds;
    return decoded;
}

std::string describeFileIoRequest(const HbFileIoTraceRecord& record) {
    const DecodedFileIoRequest decoded = decodeFileIoRequest(record);
    std::string line = decoded.name;
    for (const TraceField& field : decoded.arguments)
        line += " " + field.key + "=" + field.text;
    line += " -> " + decoded.result.text;
    if (decoded.error != 0)
        line += " (" + describeError(decoded.error) + ")";
    char duration[32];
    std::snprintf(duration, sizeof duration, " [%.0f us]", decoded.seconds * 1e6);
    return line + duration;
}

nlohmann::json fileIoRequestArgs(const DecodedFileIoRequest& decoded) {
    nlohmann::json args = nlohmann::json::object();
    for (const TraceField& field : decoded.arguments)
        args[field.key] = field.value;
    args["result"] = decoded.result.value;
    args["error"] = decoded.error;
    if (decoded.error != 0)
        args["error_text"] = describeError(decoded.error);
    return args;
}

void traceFileIoRequest(ChromeTraceFile& file, const HbFileIoTraceRecord& record) {
    const DecodedFileIoRequest decoded = decodeFileIoRequest(record);
    const auto took = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(decoded.seconds));
    file.complete(boardProcess(record.boardIndex), kFileIoThread, "fileio", decoded.name,
                  std::chrono::steady_clock::now() - took, decoded.seconds,
                  fileIoRequestArgs(decoded));
}

void TraceSink::line(const std::string& text) {
    std::lock_guard guard(lock_);
    std::fprintf(stream_, "%s\n", text.c_str());
    std::fflush(stream_);
}

} // namespace hb::tools
