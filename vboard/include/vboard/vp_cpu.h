// The emulated VP processor: runs a loaded image in VP memory on a thread of
// its own (i386, 32-bit protected mode, flat segments from the monitor's GDT).
//
// VP address space: VP memory from 0, the board-information page at
// HBVP_INFO_ADDRESS (read-only, with the GDT), the board's shared memory at
// HBVP_SHARED_ADDRESS. The program rings the host with `out` to the doorbell
// ports of hbvp_abi.h. A fault stops the processor, is written as an
// HbVpFaultRecord into the board's fail-message region and raises event 7.
// With a debugger (vp_debug.h) each program stops before its first
// instruction and runs under the debugger's control.
#pragma once

#include "vboard/board.h"
#include "vboard/vp_debug.h"

#include <hbvp_abi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct uc_struct;

namespace hb::vboard {

// One GDT entry the monitor set up.
struct VpSegment {
    uint16_t selector = 0;
    uint32_t base = 0;
    uint32_t limit = 0xFFFFFFFF; // byte limit
    bool code = false;
};

// The registers the program starts with.
struct VpRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0, ebp = 0;
    uint32_t esp = 0;
    uint16_t cs = HB_SELECTOR_CODE, ds = HB_SELECTOR_DATA, es = HB_SELECTOR_DATA;
    uint16_t ss = HB_SELECTOR_DATA, fs = HB_SELECTOR_STARTUP, gs = HB_SELECTOR_DATA;
    uint32_t eip = 0;
    uint32_t eflags = 0x202;

    // From a 376-byte context message as MON_SET_CONTEXT carries it: general
    // registers at 12..36 (EAX, EBX, ECX, EDX, ESI, EDI, EBP), ESP at 40,
    // CS, DS, ES, SS, FS (the start-up selector), GS at 44..54, EIP at 56,
    // EFLAGS at 60. Empty when the message is shorter than 64 bytes.
    static std::optional<VpRegisters> fromContextMessage(const uint8_t* message, size_t length);
};

// Everything the processor needs to start a program.
struct VpStart {
    uint8_t* memory = nullptr; // VP memory, owned by the monitor; must outlive the run
    uint32_t memorySize = 0;   // a multiple of 4096, at most HBVP_MEMORY_LIMIT
    std::vector<VpSegment> segments;
    VpRegisters registers;
};

enum class VpRunState {
    Idle,    // never started, or stopped and discarded
    Running, // executing or waiting in a doorbell
    Halted,  // the program ended (halt port or `hlt`)
    Faulted, // stopped on a fault, see fault()
    Stopped, // stopped by stop()
};

struct VpFault {
    uint32_t kind = HBVP_FAULT_NONE; // HbVpFaultKind
    uint32_t eip = 0;
    uint32_t address = 0;
    uint32_t detail = 0;
    std::string text;
};

// The board-information block for a board; what the VP finds at HBVP_INFO_ADDRESS.
HbVpBoardInfo makeBoardInfo(const BoardConfig& config, int boardIndex, uint32_t sharedSize,
                            uint32_t vpMemorySize);

class VpCpu {
  public:
    explicit VpCpu(Board& board);
    ~VpCpu(); // stops a running program
    VpCpu(const VpCpu&) = delete;
    VpCpu& operator=(const VpCpu&) = delete;

    // Starts the program on the processor's thread with a fresh engine. False,
    // with `error` filled, when a program is still running or `start` is
    // unusable (no memory, bad size, GDT entries that do not fit).
    bool start(const VpStart& start, std::string* error = nullptr);

    // Stops the program wherever it is (running, in a doorbell wait, already
    // ended) and joins the thread; returns at once when nothing runs. A
    // program stopped this way has no fault. The engine completes the
    // instructions of its current block after a stop from a doorbell, so the
    // runtime follows the halt doorbell with `hlt`.
    void stop();

    // The debugger of the programs started from now on; null for none.
    void setDebugger(std::shared_ptr<VpDebugger> debugger);

    // Waits until the program is no longer running; true when it ended.
    bool waitUntilEnded(std::chrono::milliseconds timeout) const;

    VpRunState state() const;
    std::optional<VpFault> fault() const;
    uint32_t haltValue() const; // the value sent to the halt port
    uint64_t doorbellCount() const;

  private:
    struct Run;
    void runThread(Run* run);
    // The steps of a run, in order; engine errors travel as ints.
    uc_struct* openEngine(Run& run);
    int mapAddressSpace(uc_struct* uc, Run& run);
    static void checkStartSelectors(Run& run);
    static void loadStartRegisters(uc_struct* uc, Run& run);
    int execute(uc_struct* uc, Run& run, bool& ran);
    int runDebugged(uc_struct* uc, Run& run);
    VpRunState settleEnd(Run& run, int error, uint32_t eip);
    static void tellDebuggerOfEnd(const Run& run, VpRunState end);
    void writeFaultRecord(const Run& run);
    void publishEnd(const Run& run, VpRunState end);

    Board& board_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::thread thread_;
    uc_struct* engine_ = nullptr; // published while uc_emu_start may run
    std::atomic<bool> stopRequested_{false};
    VpRunState state_ = VpRunState::Idle;
    bool runEnded_ = true; // no thread is running a program
    std::optional<VpFault> fault_;
    uint32_t haltValue_ = 0;
    uint64_t doorbells_ = 0;
    std::shared_ptr<VpDebugger> debugger_;

    friend struct VpCpuHooks;
    friend class VpCpuDebugTarget;
};

} // namespace hb::vboard
