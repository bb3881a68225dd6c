// The emulated VP processor: one unicorn engine per program run, the hooks
// that give the program its doorbells and faults, and its run under a debugger.
#include "vboard/vp_cpu.h"

#include "little_endian.h"
#include "shared_memory_layout.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>

namespace hb::vboard {

namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kMaxGdtEntries = (kPage - HBVP_GDT_OFFSET) / 8;
// Look this often at the completion marker (yielding in between) before
// sleeping on the board. Few: the host's answer takes several driver round
// trips, and on a busy machine each yield hands the core to another thread
// for a whole time slice, which costs more than the wake-up from the board.
constexpr int kDoorbellSpins = 20;
constexpr std::chrono::milliseconds kDoorbellWaitSlice{10};
// Under a debugger: instructions between two looks for an interrupt, and the
// most breakpoints a program may have.
constexpr uint32_t kDebugPollInterval = 4096;
constexpr size_t kMaxBreakpoints = 1024;
// `until` for uc_emu_start: an address the program never reaches; 0 would
// end the run at once on this engine version.
constexpr uint64_t kNoEnd = 0xFFFFFFFF;

uint64_t descriptorFor(const VpSegment& s) {
    uint32_t limit = s.limit;
    uint8_t flags = 0x4; // 32-bit segment
    if (limit > 0xFFFFF) {
        limit >>= 12; // page granular
        flags |= 0x8;
    }
    // Present, ring 0, code (execute/read) or data (read/write), accessed
    // already set so that loading a selector never writes the read-only GDT.
    uint8_t access = s.code ? 0x9B : 0x93;
    uint64_t d = limit & 0xFFFF;
    d |= uint64_t(s.base & 0xFFFFFF) << 16;
    d |= uint64_t(access) << 40;
    d |= uint64_t((limit >> 16) & 0xF) << 48;
    d |= uint64_t(flags) << 52;
    d |= uint64_t(s.base >> 24) << 56;
    return d;
}

const VpSegment* findSegment(const std::vector<VpSegment>& segments, uint16_t selector) {
    for (const auto& s : segments) {
        if (s.selector == selector) {
            return &s;
        }
    }
    return nullptr;
}

std::string describe(uint32_t kind, uint32_t eip, uint32_t address, uint32_t detail) {
    char text[200];
    switch (kind) {
    case HBVP_FAULT_INVALID_INSTRUCTION:
        snprintf(text, sizeof text, "invalid instruction at eip 0x%08x", eip);
        break;
    case HBVP_FAULT_UNMAPPED_READ:
        snprintf(text, sizeof text, "read of unmapped address 0x%08x at eip 0x%08x", address, eip);
        break;
    case HBVP_FAULT_UNMAPPED_WRITE:
        snprintf(text, sizeof text, "write to unmapped address 0x%08x at eip 0x%08x", address, eip);
        break;
    case HBVP_FAULT_UNMAPPED_FETCH:
        snprintf(text, sizeof text, "instruction fetch from unmapped address 0x%08x", address);
        break;
    case HBVP_FAULT_PROTECTED_ACCESS:
        snprintf(text, sizeof text, "access to protected address 0x%08x at eip 0x%08x", address,
                 eip);
        break;
    case HBVP_FAULT_DIVIDE_ERROR:
        snprintf(text, sizeof text, "divide error at eip 0x%08x", eip);
        break;
    case HBVP_FAULT_CPU_EXCEPTION:
        snprintf(text, sizeof text, "processor exception %u at eip 0x%08x", detail, eip);
        break;
    case HBVP_FAULT_BAD_DOORBELL:
        snprintf(text, sizeof text, "doorbell on port 0x%x with bad block offset 0x%08x", detail,
                 address);
        break;
    case HBVP_FAULT_BAD_CONTEXT:
        snprintf(text, sizeof text, "start context names selector 0x%x that the GDT lacks", detail);
        break;
    case HBVP_FAULT_KILLED:
        snprintf(text, sizeof text, "killed by the debugger at eip 0x%08x", eip);
        break;
    default:
        snprintf(text, sizeof text, "emulator stopped (code %u) at eip 0x%08x", detail, eip);
        break;
    }
    return text;
}

} // namespace

std::optional<VpRegisters> VpRegisters::fromContextMessage(const uint8_t* message, size_t length) {
    if (message == nullptr || length < 64) {
        return std::nullopt;
    }
    VpRegisters r;
    uint32_t* general[] = {&r.eax, &r.ebx, &r.ecx, &r.edx, &r.esi, &r.edi, &r.ebp, &r.esp};
    for (size_t i = 0; i < 8; ++i) {
        *general[i] = getLe32(message + 12 + 4 * i);
    }
    uint16_t* selectors[] = {&r.cs, &r.ds, &r.es, &r.ss, &r.fs, &r.gs};
    for (size_t i = 0; i < 6; ++i) {
        *selectors[i] = getLe16(message + 44 + 2 * i);
    }
    r.eip = getLe32(message + 56);
    r.eflags = getLe32(message + 60);
    return r;
}

HbVpBoardInfo makeBoardInfo(const BoardConfig& config, int boardIndex, uint32_t sharedSize,
                            uint32_t vpMemorySize) {
    HbVpBoardInfo info{};
    info.magic = HBVP_INFO_MAGIC;
    info.version = HBVP_INFO_VERSION;
    const int32_t busType = hbBusTypeOfBoardType(config.boardType);
    info.busType = uint32_t(busType);
    if (busType != HB_BUS_TYPE_UNKNOWN) {
        info.busWidth = busType == HB_BUS_TYPE_1 ? config.busWidth : 4;
    }
    info.boardIndex = uint32_t(boardIndex);
    info.vpMemorySize = vpMemorySize;
    info.sharedAddress = HBVP_SHARED_ADDRESS;
    info.sharedSize = sharedSize;
    info.fileIoPort = HBVP_PORT_FILEIO;
    info.haltPort = HBVP_PORT_HALT;
    info.copyPort = HBVP_PORT_COPY;
    const HbLayout layout = hbLayoutOf(int32_t(info.busType), int32_t(info.busWidth));
    if (layout != HB_LAYOUT_NONE) {
        const HbRegionCell fileIo = hbFileIoBlockCell(layout, 0);
        const HbRegionCell customer = hbFileIoBlockCell(layout, 1);
        info.fileIoOffset = fileIo.offset;
        info.fileIoSize = fileIo.size;
        info.customerOffset = customer.offset;
        info.customerSize = customer.size;
        info.failMessageOffset = hbSharedMemoryLayout[HB_REGION_FAIL_MESSAGE][layout].offset;
        info.failMessageSize = sizeof(HbVpFaultRecord);
    }
    return info;
}

// One run of a program: what the hooks need, owned by the processor's thread.
struct VpCpu::Run {
    VpCpu* cpu = nullptr;
    VpStart start;
    HbVpBoardInfo info{};
    std::unique_ptr<uint8_t[]> infoPage; // board information and GDT
    uint32_t sharedSize = 0;
    std::optional<VpFault> fault; // recorded by a hook, completed after the run
    bool halted = false;
    uint32_t haltValue = 0;

    // Under a debugger.
    std::shared_ptr<VpDebugger> debugger;
    struct Debug {
        enum class Event { None, Breakpoint, Stepped, Interrupt, Detach };
        std::unordered_set<uint32_t> breakpoints;
        uint32_t resumeAt = 0; // where the engine resumed
        bool first = false;    // the next instruction is the first since resuming
        bool step = false;     // stop before the second instruction
        Event event = Event::None;
        uint32_t sincePoll = 0;
    } debug;
    bool killed = false;
};

namespace {

uint32_t eipOf(uc_engine* uc) {
    uint32_t eip = 0;
    uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    return eip;
}

// A fault's eip, address and line, once the engine has stopped on it.
void completeFault(VpFault& f, uint32_t eip) {
    f.eip = eip;
    if (f.kind == HBVP_FAULT_INVALID_INSTRUCTION || f.kind == HBVP_FAULT_DIVIDE_ERROR ||
        f.kind == HBVP_FAULT_CPU_EXCEPTION || f.kind == HBVP_FAULT_EMULATOR ||
        f.kind == HBVP_FAULT_KILLED) {
        f.address = eip;
    }
    f.text = describe(f.kind, f.eip, f.address, f.detail);
}

} // namespace

struct VpCpuHooks {
    // The engine finishes the instructions of the current block after a stop
    // request from a hook, so what they do after a halt or stop is no fault.
    static void recordFault(VpCpu::Run* run, uint32_t kind, uint32_t address, uint32_t detail) {
        if (!run->fault && !run->halted && !run->cpu->stopRequested_.load()) {
            run->fault = VpFault{kind, 0, address, detail, {}};
        }
    }

    static uint64_t sharedRead(uc_engine* uc, uint64_t offset, unsigned size, void* user) {
        auto* run = static_cast<VpCpu::Run*>(user);
        uint8_t bytes[8] = {};
        if (size > sizeof bytes ||
            !run->cpu->board_.readShared(uint32_t(offset), bytes, uint32_t(size))) {
            recordFault(run, HBVP_FAULT_UNMAPPED_READ, HBVP_SHARED_ADDRESS + uint32_t(offset), 0);
            uc_emu_stop(uc);
            return 0;
        }
        return getLeN(bytes, size);
    }

    static void sharedWrite(uc_engine* uc, uint64_t offset, unsigned size, uint64_t value,
                            void* user) {
        auto* run = static_cast<VpCpu::Run*>(user);
        uint8_t bytes[8] = {};
        putLeN(bytes, value, std::min<unsigned>(size, sizeof bytes));
        if (size > sizeof bytes ||
            !run->cpu->board_.writeShared(uint32_t(offset), bytes, uint32_t(size))) {
            recordFault(run, HBVP_FAULT_UNMAPPED_WRITE, HBVP_SHARED_ADDRESS + uint32_t(offset), 0);
            uc_emu_stop(uc);
        }
    }

    // The block mover: reads the request from VP memory, then copies
    // between VP memory and shared memory (the board's side under its lock).
    // False when the request or a range lies outside both.
    static bool blockMove(VpCpu::Run& run, uint32_t requestAddress) {
        const VpStart& st = run.start;
        auto inMemory = [&](uint32_t address, uint32_t count) {
            return uint64_t(address) + count <= st.memorySize;
        };
        auto inShared = [&](uint32_t address, uint32_t count) {
            return address >= HBVP_SHARED_ADDRESS &&
                   uint64_t(address - HBVP_SHARED_ADDRESS) + count <= run.sharedSize;
        };
        HbVpCopyRequest request;
        if (!inMemory(requestAddress, sizeof request)) {
            return false;
        }
        std::memcpy(&request, st.memory + requestAddress, sizeof request);
        const uint32_t n = request.count;
        const bool fromMemory = inMemory(request.source, n);
        const bool toMemory = inMemory(request.destination, n);
        if ((!fromMemory && !inShared(request.source, n)) ||
            (!toMemory && !inShared(request.destination, n))) {
            return false;
        }
        Board& board = run.cpu->board_;
        if (fromMemory && toMemory) {
            std::memmove(st.memory + request.destination, st.memory + request.source, n);
            return true;
        }
        if (toMemory) {
            return board.readShared(request.source - HBVP_SHARED_ADDRESS,
                                    st.memory + request.destination, n);
        }
        if (fromMemory) {
            return board.writeShared(request.destination - HBVP_SHARED_ADDRESS,
                                     st.memory + request.source, n);
        }
        std::vector<uint8_t> bounce(n);
        return board.readShared(request.source - HBVP_SHARED_ADDRESS, bounce.data(), n) &&
               board.writeShared(request.destination - HBVP_SHARED_ADDRESS, bounce.data(), n);
    }

    // `out`: the doorbells. Runs on the processor's thread inside the
    // instruction; blocking here keeps the VP at the `out` until the answer.
    static void portOut(uc_engine* uc, uint32_t port, int /*size*/, uint32_t value, void* user) {
        auto* run = static_cast<VpCpu::Run*>(user);
        VpCpu& cpu = *run->cpu;
        if (port == HBVP_PORT_HALT) {
            run->halted = true;
            run->haltValue = value;
            uc_emu_stop(uc);
            return;
        }
        if (port == HBVP_PORT_COPY) {
            if (!blockMove(*run, value)) {
                recordFault(run, HBVP_FAULT_BAD_DOORBELL, value, port);
                uc_emu_stop(uc);
            }
            return;
        }
        if (port != HBVP_PORT_FILEIO) {
            return; // no device behind other ports
        }
        if (value % 4 != 0 || run->sharedSize < 4 || value > run->sharedSize - 4) {
            recordFault(run, HBVP_FAULT_BAD_DOORBELL, value, port);
            uc_emu_stop(uc);
            return;
        }
        {
            std::lock_guard lock(cpu.mutex_);
            ++cpu.doorbells_;
        }
        Board& board = cpu.board_;
        // With no host event registered the ring would be lost; ringing again
        // while waiting lets a service that starts late still see it.
        bool raised = board.raiseEvent(HB_EVENT_FILEIO_REQUEST);
        for (int i = 0; i < kDoorbellSpins; ++i) {
            if (board.readSharedWord(value) == HB_FILEIO_COMPLETION_MARKER) {
                return;
            }
            std::this_thread::yield();
        }
        while (!cpu.stopRequested_.load()) {
            if (board.waitForSharedWord(value, HB_FILEIO_COMPLETION_MARKER, kDoorbellWaitSlice)) {
                return;
            }
            if (!raised) {
                raised = board.raiseEvent(HB_EVENT_FILEIO_REQUEST);
            }
        }
        uc_emu_stop(uc);
    }

    // An engine error that no hook explained.
    static void engineError(VpCpu::Run* run, uc_err err, uint32_t eip) {
        recordFault(
            run, err == UC_ERR_INSN_INVALID ? HBVP_FAULT_INVALID_INSTRUCTION : HBVP_FAULT_EMULATOR,
            eip, uint32_t(err));
    }

    // Every instruction while a debugger is attached: the end of a single
    // step, breakpoints (but not the one the engine resumes at) and now and
    // then the debugger's wishes. Steps are counted here, not by the engine,
    // whose own count misses instructions of blocks translated before it.
    static void debugCode(uc_engine* uc, uint64_t address, uint32_t, void* user) {
        auto* run = static_cast<VpCpu::Run*>(user);
        auto& d = run->debug;
        using Event = VpCpu::Run::Debug::Event;
        const bool resuming = d.first && address == d.resumeAt;
        const bool first = d.first;
        d.first = false;
        if (d.event != Event::None) {
            return;
        }
        if (d.step && !first) {
            d.event = Event::Stepped;
            uc_emu_stop(uc);
            return;
        }
        if (!resuming && !d.breakpoints.empty() && d.breakpoints.count(uint32_t(address)) != 0) {
            d.event = Event::Breakpoint;
            uc_emu_stop(uc);
            return;
        }
        if (++d.sincePoll < kDebugPollInterval) {
            return;
        }
        d.sincePoll = 0;
        switch (run->debugger->poll()) {
        case VpPoll::Run:
            break;
        case VpPoll::Stop:
            d.event = Event::Interrupt;
            uc_emu_stop(uc);
            break;
        case VpPoll::Detach:
            d.event = Event::Detach;
            uc_emu_stop(uc);
            break;
        }
    }

    static void interrupt(uc_engine* uc, uint32_t vector, void* user) {
        auto* run = static_cast<VpCpu::Run*>(user);
        recordFault(run, vector == 0 ? HBVP_FAULT_DIVIDE_ERROR : HBVP_FAULT_CPU_EXCEPTION, 0,
                    vector);
        uc_emu_stop(uc);
    }

    static bool invalidMemory(uc_engine*, uc_mem_type type, uint64_t address, int, int64_t,
                              void* user) {
        auto* run = static_cast<VpCpu::Run*>(user);
        uint32_t kind = HBVP_FAULT_EMULATOR;
        switch (type) {
        case UC_MEM_READ_UNMAPPED:
            kind = HBVP_FAULT_UNMAPPED_READ;
            break;
        case UC_MEM_WRITE_UNMAPPED:
            kind = HBVP_FAULT_UNMAPPED_WRITE;
            break;
        case UC_MEM_FETCH_UNMAPPED:
            kind = HBVP_FAULT_UNMAPPED_FETCH;
            break;
        default:
            kind = HBVP_FAULT_PROTECTED_ACCESS;
            break;
        }
        recordFault(run, kind, uint32_t(address), uint32_t(type));
        return false;
    }
};

// The stopped program as its debugger sees it; lives on the processor's
// thread while the engine does not run.
class VpCpuDebugTarget final : public VpDebugTarget {
  public:
    VpCpuDebugTarget(uc_engine* uc, VpCpu::Run& run) : uc_(uc), run_(run) {}

    bool readRegister(unsigned n, uint8_t* bytes) override {
        if (n < kVpSt0) {
            uint32_t value = 0;
            if (uc_reg_read(uc_, kGeneral[n], &value) != UC_ERR_OK) {
                return false;
            }
            putLeN(bytes, value, 4);
        } else if (n < kVpFctrl) {
            // The engine's layout: the 64-bit mantissa, then sign and exponent.
            uint8_t value[16] = {};
            if (uc_reg_read(uc_, UC_X86_REG_FP0 + int(n - kVpSt0), value) != UC_ERR_OK) {
                return false;
            }
            std::memcpy(bytes, value, 10);
        } else if (n < kVpRegisterCount) {
            uint16_t value = 0;
            if (n <= kVpFtag && uc_reg_read(uc_, kControl[n - kVpFctrl], &value) != UC_ERR_OK) {
                return false;
            }
            putLeN(bytes, value, 4); // the x87 pointers stay 0: the VP does no x87 work
        } else {
            return false;
        }
        return true;
    }

    bool writeRegister(unsigned n, const uint8_t* bytes) override {
        const size_t size = vpDebugRegisterSize(n);
        uint8_t now[10] = {};
        if (size == 0 || !readRegister(n, now)) {
            return false;
        }
        if (std::memcmp(now, bytes, size) == 0) {
            return true; // also for what cannot change: segments, x87 pointers
        }
        if (n < kVpCs) {
            uint32_t value = uint32_t(getLeN(bytes, 4));
            return uc_reg_write(uc_, kGeneral[n], &value) == UC_ERR_OK;
        }
        if (n >= kVpSt0 && n < kVpFctrl) {
            uint8_t value[16] = {};
            std::memcpy(value, bytes, 10);
            return uc_reg_write(uc_, UC_X86_REG_FP0 + int(n - kVpSt0), value) == UC_ERR_OK;
        }
        if (n >= kVpFctrl && n <= kVpFtag && getLeN(bytes, 4) <= 0xFFFF) {
            uint16_t value = uint16_t(getLeN(bytes, 2));
            return uc_reg_write(uc_, kControl[n - kVpFctrl], &value) == UC_ERR_OK;
        }
        return false; // the segments are the monitor's
    }

    size_t readMemory(uint32_t address, uint8_t* bytes, size_t count) override {
        size_t done = 0;
        while (done < count) {
            const uint64_t at = uint64_t(address) + done;
            const Piece piece = pieceAt(at, count - done);
            bool read = piece.size > 0;
            if (piece.where == Where::Memory) {
                std::memcpy(bytes + done, run_.start.memory + at, piece.size);
            } else if (piece.where == Where::Info) {
                std::memcpy(bytes + done, run_.infoPage.get() + (at - HBVP_INFO_ADDRESS),
                            piece.size);
            } else if (piece.where == Where::Shared) {
                read = run_.cpu->board_.readShared(uint32_t(at - HBVP_SHARED_ADDRESS), bytes + done,
                                                   uint32_t(piece.size));
            } else {
                read = false;
            }
            if (!read) {
                break;
            }
            done += piece.size;
        }
        return done;
    }

    bool writeMemory(uint32_t address, const uint8_t* bytes, size_t count) override {
        // All of the range must be writable before any of it is written.
        for (size_t done = 0; done < count;) {
            const Piece piece = pieceAt(uint64_t(address) + done, count - done);
            if (piece.where != Where::Memory && piece.where != Where::Shared) {
                return false;
            }
            done += piece.size;
        }
        for (size_t done = 0; done < count;) {
            const uint64_t at = uint64_t(address) + done;
            const Piece piece = pieceAt(at, count - done);
            // Code the engine translated from there is dropped: it would
            // otherwise run as it was.
            const bool written =
                piece.where == Where::Memory
                    ? uc_mem_write(uc_, at, bytes + done, piece.size) == UC_ERR_OK &&
                          uc_ctl_remove_cache(uc_, uint64_t(at), uint64_t(at + piece.size)) ==
                              UC_ERR_OK
                    : run_.cpu->board_.writeShared(uint32_t(at - HBVP_SHARED_ADDRESS), bytes + done,
                                                   uint32_t(piece.size));
            if (!written) {
                return false;
            }
            done += piece.size;
        }
        return true;
    }

    bool setBreakpoint(uint32_t address, bool present) override {
        auto& breakpoints = run_.debug.breakpoints;
        if (!present) {
            breakpoints.erase(address);
            return true;
        }
        if (breakpoints.size() >= kMaxBreakpoints && breakpoints.count(address) == 0) {
            return false;
        }
        breakpoints.insert(address);
        return true;
    }

    bool stopRequested() const override { return run_.cpu->stopRequested_.load(); }

  private:
    static constexpr int kGeneral[] = {
        UC_X86_REG_EAX, UC_X86_REG_ECX,    UC_X86_REG_EDX, UC_X86_REG_EBX,
        UC_X86_REG_ESP, UC_X86_REG_EBP,    UC_X86_REG_ESI, UC_X86_REG_EDI,
        UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS,  UC_X86_REG_SS,
        UC_X86_REG_DS,  UC_X86_REG_ES,     UC_X86_REG_FS,  UC_X86_REG_GS};
    static constexpr int kControl[] = {UC_X86_REG_FPCW, UC_X86_REG_FPSW, UC_X86_REG_FPTAG};

    enum class Where { Nothing, Memory, Info, Shared };
    struct Piece {
        Where where = Where::Nothing;
        size_t size = 0; // bytes from the address on in the same region, at most the wish
    };
    // The region that holds `at` and how much of `wish` it holds from there.
    Piece pieceAt(uint64_t at, size_t wish) const {
        auto inside = [&](Where where, uint64_t base, uint64_t size) {
            return at >= base && at < base + size
                       ? Piece{where, size_t(std::min<uint64_t>(wish, base + size - at))}
                       : Piece{};
        };
        for (const Piece& p : {inside(Where::Memory, 0, run_.start.memorySize),
                               inside(Where::Info, HBVP_INFO_ADDRESS, kPage),
                               inside(Where::Shared, HBVP_SHARED_ADDRESS, run_.sharedSize)}) {
            if (p.where != Where::Nothing) {
                return p;
            }
        }
        return {};
    }

    uc_engine* uc_;
    VpCpu::Run& run_;
};

VpCpu::VpCpu(Board& board) : board_(board) {}

VpCpu::~VpCpu() {
    stop();
}

bool VpCpu::start(const VpStart& start, std::string* error) {
    auto fail = [&](const char* why) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    };
    if (start.memory == nullptr || start.memorySize == 0 || start.memorySize % kPage != 0 ||
        start.memorySize > HBVP_MEMORY_LIMIT) {
        return fail("VP memory must be a non-empty multiple of 4096 bytes below the info page");
    }
    if (start.segments.empty()) {
        return fail("no GDT entries");
    }
    for (const auto& s : start.segments) {
        if (s.selector % 8 != 0 || s.selector == 0 || s.selector / 8 >= kMaxGdtEntries) {
            return fail("GDT selector out of range");
        }
    }
    {
        std::unique_lock lock(mutex_);
        if (!runEnded_) {
            return fail("a program is running");
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }

    auto run = std::make_unique<Run>();
    run->cpu = this;
    run->start = start;
    {
        std::lock_guard lock(mutex_);
        run->debugger = debugger_;
    }
    run->sharedSize = board_.sharedMemorySize();
    run->info = makeBoardInfo(board_.config(), board_.index(), run->sharedSize, start.memorySize);
    run->infoPage = std::make_unique<uint8_t[]>(kPage);
    std::memset(run->infoPage.get(), 0, kPage);
    std::memcpy(run->infoPage.get(), &run->info, sizeof run->info);
    for (const auto& s : start.segments) {
        uint64_t d = descriptorFor(s);
        std::memcpy(run->infoPage.get() + HBVP_GDT_OFFSET + s.selector, &d, sizeof d);
    }

    std::lock_guard lock(mutex_);
    stopRequested_ = false;
    state_ = VpRunState::Running;
    runEnded_ = false;
    fault_.reset();
    haltValue_ = 0;
    thread_ = std::thread([this, r = run.release()] { runThread(r); });
    return true;
}

// One program run on the processor's thread: an engine with the program's
// address space, the start context checked and loaded, the run, then the end
// told to the debugger, the board and whoever waits.
void VpCpu::runThread(Run* raw) {
    std::unique_ptr<Run> run(raw);
    uc_engine* uc = openEngine(*run);
    if (!run->fault) {
        checkStartSelectors(*run);
    }
    if (!run->fault) {
        loadStartRegisters(uc, *run);
    }
    bool ran = false;
    uc_err err = UC_ERR_OK;
    if (!run->fault) {
        err = uc_err(execute(uc, *run, ran));
    }
    uint32_t eip = run->start.registers.eip;
    if (uc != nullptr && ran) {
        uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    }
    const VpRunState end = settleEnd(*run, err, eip);
    if (uc != nullptr) {
        uc_close(uc);
    }
    tellDebuggerOfEnd(*run, end);
    writeFaultRecord(*run);
    publishEnd(*run, end);
}

// A fresh engine with the program's address space and the doorbell, interrupt
// and memory hooks. A failure is the run's fault; null when no engine opened.
uc_engine* VpCpu::openEngine(Run& run) {
    uc_engine* uc = nullptr;
    uc_err err = uc_open(UC_ARCH_X86, UC_MODE_32, &uc);
    if (err != UC_ERR_OK) {
        VpCpuHooks::recordFault(&run, HBVP_FAULT_EMULATOR, 0, uint32_t(err));
        return nullptr;
    }
    err = uc_err(mapAddressSpace(uc, run));
    uc_hook hook;
    if (err == UC_ERR_OK) {
        err = uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&VpCpuHooks::portOut),
                          &run, 1, 0, UC_X86_INS_OUT);
    }
    if (err == UC_ERR_OK) {
        err = uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&VpCpuHooks::interrupt),
                          &run, 1, 0);
    }
    if (err == UC_ERR_OK) {
        err = uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID,
                          reinterpret_cast<void*>(&VpCpuHooks::invalidMemory), &run, 1, 0);
    }
    if (err != UC_ERR_OK) {
        VpCpuHooks::recordFault(&run, HBVP_FAULT_EMULATOR, 0, uint32_t(err));
    }
    return uc;
}

// VP memory from 0, the read-only information page, and the board's shared
// memory: mapped directly when the board offers whole pages of it, otherwise
// through the board's accessors.
int VpCpu::mapAddressSpace(uc_engine* uc, Run& run) {
    const VpStart& st = run.start;
    uc_err err = uc_mem_map_ptr(uc, 0, st.memorySize, UC_PROT_ALL, st.memory);
    if (err == UC_ERR_OK) {
        err = uc_mem_map_ptr(uc, HBVP_INFO_ADDRESS, kPage, UC_PROT_READ, run.infoPage.get());
    }
    if (err != UC_ERR_OK || run.sharedSize == 0) {
        return err;
    }
    uint8_t* direct = board_.sharedMemoryData();
    if (direct != nullptr && run.sharedSize % kPage == 0 &&
        run.sharedSize <= 0x100000000ull - HBVP_SHARED_ADDRESS) {
        // Plain memory: the program's copies into and out of the file-I/O
        // block run at the emulator's full speed. No fetch: code does not
        // run from shared memory.
        return uc_mem_map_ptr(uc, HBVP_SHARED_ADDRESS, run.sharedSize, UC_PROT_READ | UC_PROT_WRITE,
                              direct);
    }
    uint64_t mapped = (uint64_t(run.sharedSize) + kPage - 1) / kPage * kPage;
    mapped = std::min<uint64_t>(mapped, 0x100000000ull - HBVP_SHARED_ADDRESS);
    return uc_mmio_map(uc, HBVP_SHARED_ADDRESS, mapped, &VpCpuHooks::sharedRead, &run,
                       &VpCpuHooks::sharedWrite, &run);
}

// Selectors: each must name a GDT entry (data registers may be null), CS a
// code segment and SS a data segment; otherwise the start would take an
// exception that the VP cannot handle. A bad one is the run's fault.
void VpCpu::checkStartSelectors(Run& run) {
    const VpRegisters& regs = run.start.registers;
    struct Load {
        uint16_t selector;
        bool mustBeCode, mustBeData, nullAllowed;
    };
    const Load loads[] = {
        {regs.ss, false, true, false}, {regs.ds, false, false, true},
        {regs.es, false, false, true}, {regs.fs, false, false, true},
        {regs.gs, false, false, true}, {regs.cs, true, false, false}, // CS last
    };
    for (const auto& l : loads) {
        const VpSegment* s = findSegment(run.start.segments, l.selector);
        if ((l.selector == 0 && !l.nullAllowed) || (l.selector != 0 && s == nullptr) ||
            (s != nullptr && ((l.mustBeCode && !s->code) || (l.mustBeData && s->code)))) {
            VpCpuHooks::recordFault(&run, HBVP_FAULT_BAD_CONTEXT, regs.eip, l.selector);
            return;
        }
    }
}

// The GDT register, the segment registers and the program's start registers.
void VpCpu::loadStartRegisters(uc_engine* uc, Run& run) {
    const VpRegisters& regs = run.start.registers;
    uc_x86_mmr gdtr{};
    gdtr.base = HBVP_INFO_ADDRESS + HBVP_GDT_OFFSET;
    gdtr.limit = uint32_t(kMaxGdtEntries * 8 - 1);
    uc_err err = uc_reg_write(uc, UC_X86_REG_GDTR, &gdtr);
    const std::pair<int, uint32_t> values[] = {
        {UC_X86_REG_SS, regs.ss},         {UC_X86_REG_DS, regs.ds},   {UC_X86_REG_ES, regs.es},
        {UC_X86_REG_FS, regs.fs},         {UC_X86_REG_GS, regs.gs},   {UC_X86_REG_CS, regs.cs},
        {UC_X86_REG_EAX, regs.eax},       {UC_X86_REG_EBX, regs.ebx}, {UC_X86_REG_ECX, regs.ecx},
        {UC_X86_REG_EDX, regs.edx},       {UC_X86_REG_ESI, regs.esi}, {UC_X86_REG_EDI, regs.edi},
        {UC_X86_REG_EBP, regs.ebp},       {UC_X86_REG_ESP, regs.esp}, {UC_X86_REG_EIP, regs.eip},
        {UC_X86_REG_EFLAGS, regs.eflags},
    };
    for (const auto& [reg, value] : values) {
        if (err == UC_ERR_OK) {
            uint32_t v = value;
            err = uc_reg_write(uc, reg, &v);
        }
    }
    if (err != UC_ERR_OK) {
        VpCpuHooks::recordFault(&run, HBVP_FAULT_EMULATOR, 0, uint32_t(err));
    }
}

// Runs the program, under its debugger if it has one, unless a stop came
// first; the engine is published meanwhile so that stop() reaches it.
// Returns the engine's last error; `ran` tells whether the program ran.
int VpCpu::execute(uc_engine* uc, Run& run, bool& ran) {
    {
        std::lock_guard lock(mutex_);
        engine_ = uc;
    }
    uc_err err = UC_ERR_OK;
    if (!stopRequested_.load()) {
        err = run.debugger ? uc_err(runDebugged(uc, run))
                           : uc_emu_start(uc, run.start.registers.eip, kNoEnd, 0, 0);
        ran = true;
    }
    std::lock_guard lock(mutex_);
    engine_ = nullptr;
    return err;
}

// How the run ended, with its fault completed at `eip`: a halt or a stop is
// no fault of the program, whatever the last instructions did.
VpRunState VpCpu::settleEnd(Run& run, int error, uint32_t eip) {
    VpRunState end = VpRunState::Halted;
    if (run.halted) {
        run.fault.reset();
    } else if (stopRequested_.load()) {
        end = VpRunState::Stopped;
        run.fault.reset(); // a reset is no fault of the program
    } else if (run.killed) {
        end = VpRunState::Faulted;
        run.fault = VpFault{HBVP_FAULT_KILLED, 0, 0, 0, {}};
    } else if (run.fault) {
        end = VpRunState::Faulted;
    } else if (error != UC_ERR_OK) {
        end = VpRunState::Faulted;
        VpCpuHooks::engineError(&run, uc_err(error), eip);
    }
    if (run.fault) {
        completeFault(*run.fault, eip);
    }
    return end;
}

void VpCpu::tellDebuggerOfEnd(const Run& run, VpRunState end) {
    if (!run.debugger) {
        return;
    }
    VpEnd ended;
    ended.reason = end == VpRunState::Halted    ? VpEnd::Reason::Halted
                   : end == VpRunState::Stopped ? VpEnd::Reason::Stopped
                   : run.killed                 ? VpEnd::Reason::Killed
                                                : VpEnd::Reason::Faulted;
    ended.exitValue = run.haltValue;
    run.debugger->ended(ended);
}

// The fault record in the board's fail-message region, when the board has
// room for one.
void VpCpu::writeFaultRecord(const Run& run) {
    if (!run.fault || run.info.failMessageSize < sizeof(HbVpFaultRecord)) {
        return;
    }
    HbVpFaultRecord record{};
    record.magic = HBVP_FAULT_MAGIC;
    record.kind = run.fault->kind;
    record.eip = run.fault->eip;
    record.address = run.fault->address;
    record.detail = run.fault->detail;
    std::snprintf(record.text, sizeof record.text, "%s", run.fault->text.c_str());
    board_.writeShared(run.info.failMessageOffset, &record, sizeof record);
}

void VpCpu::publishEnd(const Run& run, VpRunState end) {
    {
        std::lock_guard lock(mutex_);
        state_ = end;
        fault_ = run.fault;
        haltValue_ = run.haltValue;
    }
    // The event goes out before the run counts as ended, so whoever waits for
    // the end also finds the event raised.
    if (end == VpRunState::Faulted) {
        board_.raiseEvent(HB_EVENT_VP_FAULT);
    }
    {
        std::lock_guard lock(mutex_);
        runEnded_ = true;
    }
    changed_.notify_all();
}

// The debugger has gone: the program runs on from `eip` without the code
// hook, in code translated afresh without calls to it.
namespace {
uc_err runOnAlone(uc_engine* uc, uc_hook hook, uint32_t eip) {
    uc_hook_del(uc, hook);
    uc_ctl(uc, UC_CTL_WRITE(UC_CTL_TB_FLUSH, 0));
    return uc_emu_start(uc, eip, kNoEnd, 0, 0);
}
} // namespace

// Runs the program under its debugger: a stop before the first instruction,
// then steps and continues as the debugger says until the program ends, the
// debugger detaches or kills it, or the board stops it. A fault stops the
// program for the debugger to look at; it cannot go on from there. Returns
// the engine's last error.
int VpCpu::runDebugged(uc_engine* uc, Run& run) {
    using Event = Run::Debug::Event;
    VpCpuDebugTarget target(uc, run);
    uc_hook hook = 0;
    uc_err err = uc_hook_add(uc, &hook, UC_HOOK_CODE,
                             reinterpret_cast<void*>(&VpCpuHooks::debugCode), &run, 1, 0);
    VpStop stop{VpStop::Reason::Started, run.start.registers.eip, {}};
    while (err == UC_ERR_OK) {
        const VpResume resume = run.debugger->stopped(target, stop);
        if (stopRequested_.load() || run.fault) {
            run.killed = resume == VpResume::Kill && !stopRequested_.load();
            break;
        }
        if (resume == VpResume::Kill) {
            run.killed = true;
            break;
        }
        if (resume == VpResume::Detach) {
            return runOnAlone(uc, hook, eipOf(uc));
        }
        run.debug.step = resume == VpResume::Step;
        run.debug.event = Event::None;
        run.debug.resumeAt = eipOf(uc);
        run.debug.first = true;
        run.debug.sincePoll = 0;
        err = uc_emu_start(uc, run.debug.resumeAt, kNoEnd, 0, 0);
        if (run.halted || stopRequested_.load()) {
            break;
        }
        const uint32_t eip = eipOf(uc);
        if (err != UC_ERR_OK) {
            VpCpuHooks::engineError(&run, err, eip);
            err = UC_ERR_OK; // now a fault, shown to the debugger
        }
        if (run.fault) {
            completeFault(*run.fault, eip);
            stop = {VpStop::Reason::Faulted, eip, run.fault->text};
        } else if (run.debug.event == Event::Detach) {
            return runOnAlone(uc, hook, eip);
        } else {
            stop = {run.debug.event == Event::Breakpoint ? VpStop::Reason::Breakpoint
                    : run.debug.event == Event::Stepped  ? VpStop::Reason::Stepped
                                                         : VpStop::Reason::Interrupted,
                    eip,
                    {}};
        }
    }
    return err;
}

void VpCpu::setDebugger(std::shared_ptr<VpDebugger> debugger) {
    std::lock_guard lock(mutex_);
    debugger_ = std::move(debugger);
}

void VpCpu::stop() {
    stopRequested_ = true;
    {
        std::unique_lock lock(mutex_);
        // A stop that reaches the engine before uc_emu_start has begun is
        // forgotten by it, so the request is repeated until the run ends.
        while (!runEnded_) {
            if (engine_ != nullptr) {
                uc_emu_stop(engine_);
            }
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool VpCpu::waitUntilEnded(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return runEnded_; });
}

VpRunState VpCpu::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<VpFault> VpCpu::fault() const {
    std::lock_guard lock(mutex_);
    return fault_;
}

uint32_t VpCpu::haltValue() const {
    std::lock_guard lock(mutex_);
    return haltValue_;
}

uint64_t VpCpu::doorbellCount() const {
    std::lock_guard lock(mutex_);
    return doorbells_;
}

} // namespace hb::vboard
