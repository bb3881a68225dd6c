// The host side of the VP program's file requests: thin layers over the
// platform's host files that give the dispatcher a result value and, after a
// failure, a Win32-numbered last-error value to report.
#pragma once

#include "hbsys9u.h"
#include "platform/platform.h"

#include <cstdint>

namespace hb {

// Codes the runtime-style operations set themselves.
inline constexpr uint32_t kRuntimeBadDescriptor = 9;    // errno EBADF, carried over
inline constexpr uint32_t kRuntimeInvalidArgument = 87; // hostSeek, errno EINVAL
inline constexpr uint32_t kRuntimeFileInvalid = 1006;   // nothing more specific known
inline constexpr uint32_t kRuntimeEndOfMedia = 1100;    // hostWrite, errno ENOSPC

inline constexpr uint32_t kFindNameSize = HB_FIND_RECORD_NAME_SIZE;

// The operations that take paths resolve them beneath a root directory, or
// as given (relative to the process's current directory) with a null root.
int32_t hostOpen(const platform::HostRootRef& root, const char* path, uint32_t flags);
int32_t hostRead(int32_t descriptor, void* buffer, uint32_t count);
// Descriptors 1 and 2 go to the writers, every other to the runtime.
int32_t hostWrite(int32_t descriptor, const void* data, uint32_t count, StdOutFunction stdoutWriter,
                  StdOutFunction stderrWriter);
int32_t hostClose(int32_t descriptor);
int32_t hostSeek(int32_t descriptor, int32_t offset, int32_t origin);
uint32_t hostDelete(const platform::HostRootRef& root, const char* path);
uint32_t hostRename(const platform::HostRootRef& root, const char* oldPath, const char* newPath);
// `name` holds kFindNameSize bytes. Out-parameters are written only on success.
uint32_t hostFindFirst(const platform::HostRootRef& root, const char* pattern, char* name,
                       uint32_t* attributes, uint32_t* sizeLow, uint32_t* dosDate,
                       uint32_t* dosTime);
uint32_t hostFindNext(uint32_t search, char* name, uint32_t* attributes, uint32_t* sizeLow,
                      uint32_t* dosDate, uint32_t* dosTime);
uint32_t hostFindClose(uint32_t search);
uint32_t hostGetAttributes(const platform::HostRootRef& root, const char* path);
// The process environment block; nullptr (last error set) when unavailable.
char* hostEnvironment();
void hostFreeEnvironment(char* block);

} // namespace hb
