// The emulated VP under a debugger: what the processor hands a debugger when
// the program stops, and what the debugger may do with the stopped program.
// Every call runs on the processor's thread, so nothing here needs a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hb::vboard {

// The i386 registers in the order debuggers number them: the general and
// segment registers (4 bytes each), then the x87 registers st0..st7 (10
// bytes each) and the x87 control words (4 bytes each).
enum VpDebugRegister : unsigned {
    kVpEax,
    kVpEcx,
    kVpEdx,
    kVpEbx,
    kVpEsp,
    kVpEbp,
    kVpEsi,
    kVpEdi,
    kVpEip,
    kVpEflags,
    kVpCs,
    kVpSs,
    kVpDs,
    kVpEs,
    kVpFs,
    kVpGs,
    kVpSt0,
    kVpFctrl = kVpSt0 + 8,
    kVpFstat,
    kVpFtag,
    kVpFiseg,
    kVpFioff,
    kVpFoseg,
    kVpFooff,
    kVpFop,
    kVpRegisterCount
};

// Bytes of register `n` (0 for numbers past the last).
constexpr size_t vpDebugRegisterSize(unsigned n) {
    return n >= kVpRegisterCount ? 0 : (n >= kVpSt0 && n < kVpFctrl) ? 10 : 4;
}

// The stopped program, as long as VpDebugger::stopped runs.
class VpDebugTarget {
  public:
    // Register `n` as little-endian bytes (vpDebugRegisterSize(n) of them).
    virtual bool readRegister(unsigned n, uint8_t* bytes) = 0;
    // False for unknown numbers and for segment registers given another
    // value than they hold (the VP's segments are the monitor's).
    virtual bool writeRegister(unsigned n, const uint8_t* bytes) = 0;
    // Reads VP memory, the board-information page or shared memory from
    // `address` on; the count of bytes read before the first address that
    // holds none.
    virtual size_t readMemory(uint32_t address, uint8_t* bytes, size_t count) = 0;
    // Writes all `count` bytes or, when part of the range is not writable,
    // none of them.
    virtual bool writeMemory(uint32_t address, const uint8_t* bytes, size_t count) = 0;
    // Sets or clears a breakpoint at `address`; false when no room is left.
    virtual bool setBreakpoint(uint32_t address, bool present) = 0;
    // The board resets or shuts down: the debugger should give control back.
    virtual bool stopRequested() const = 0;

  protected:
    ~VpDebugTarget() = default;
};

struct VpStop {
    enum class Reason {
        Started,     // before the program's first instruction
        Breakpoint,  // at a breakpoint, before its instruction
        Stepped,     // after one instruction
        Interrupted, // the debugger asked for a stop
        Faulted,     // at the faulting instruction; the program cannot go on
    };
    Reason reason = Reason::Started;
    uint32_t eip = 0;
    std::string fault; // Faulted: what happened, as the fault record says it
};

enum class VpResume {
    Continue, // run to a breakpoint, an interrupt, a fault or the end
    Step,     // run one instruction
    Detach,   // run on to the end without the debugger
    Kill,     // end the program now; the host sees it as killed
};

// What polling the debugger while the program runs asks for.
enum class VpPoll { Run, Stop, Detach };

struct VpEnd {
    enum class Reason { Halted, Faulted, Killed, Stopped };
    Reason reason = Reason::Stopped;
    uint32_t exitValue = 0; // Halted: the value sent to the halt port
};

// A debugger of the programs that one processor runs. A processor with a
// debugger stops each program before its first instruction.
class VpDebugger {
  public:
    virtual ~VpDebugger() = default;
    // The program stopped; returns once the debugger lets it go on.
    virtual VpResume stopped(VpDebugTarget& target, const VpStop& stop) = 0;
    // Asked now and then while the program runs under the debugger.
    virtual VpPoll poll() = 0;
    // The program ended (after its last stop, if any).
    virtual void ended(const VpEnd& end) = 0;
};

} // namespace hb::vboard
