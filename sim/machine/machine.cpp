#include "machine/machine.hpp"

#include <cxxabi.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "machine/idle.hpp"
#include "machine/instructions.hpp"
#include "models/backlight.hpp"
#include "models/gpio.hpp"
#include "models/timer.hpp"
#include "models/uart.hpp"

namespace kelto::sim {

namespace {

constexpr std::uint32_t page_size = 0x1000;
// Consecutive empty-receiver polls, with no other register access between
// them, after which the firmware counts as blocked on console input.
constexpr unsigned blocked_poll_streak = 16;
constexpr Cycles wall_service_instructions = 16384;
// Room the loader leaves above the stack pointer for test data.
constexpr std::uint32_t stack_reserve = 1u << 20;
constexpr std::uint32_t scratch_reserve = 1u << 20;
// Past this many entries the access log only counts what it drops, so that a
// long run without anyone reading the log cannot eat the host's memory.
constexpr std::size_t max_logged_accesses = std::size_t{1} << 22;

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

void check(uc_err err, const char *what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
}

// "UART1 UFSTAT", or the device alone where it has no register by that name.
std::string register_label(const Device &device, std::uint32_t offset)
{
    const std::string name = device.register_name(offset);
    return name.empty() ? device.name() : device.name() + " " + name;
}

std::string demangled(const std::string &name)
{
    int status = 0;
    char *text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !text)
        return name;
    std::string result = text;
    std::free(text);
    return result;
}

}  // namespace

const char *stop_reason_name(StopReason reason)
{
    switch (reason) {
    case StopReason::returned: return "returned";
    case StopReason::fault: return "fault";
    case StopReason::waiting_for_input: return "waiting for input";
    case StopReason::input_ended: return "input ended";
    case StopReason::output_seen: return "output seen";
    case StopReason::time_limit: return "time limit";
    case StopReason::stopped: return "stopped";
    case StopReason::breakpoint: return "breakpoint";
    case StopReason::watchpoint: return "watchpoint";
    case StopReason::step: return "step";
    case StopReason::idle_for_ever: return "idle for ever";
    }
    return "?";
}

struct Machine::Page {
    std::uint32_t base;
    std::vector<Device *> devices;
    Machine *machine;
};

// Unicorn's C callbacks, forwarding to the machine.
struct MachineHooks {
    static void block(uc_engine *, std::uint64_t address, std::uint32_t size, void *user)
    {
        static_cast<Machine *>(user)->on_block(address, size);
    }

    static Device *find(Machine::Page &page, std::uint64_t offset, std::uint32_t &device_offset)
    {
        const std::uint32_t address = page.base + static_cast<std::uint32_t>(offset);
        for (Device *device : page.devices) {
            if (address >= device->base() && address - device->base() < device->size()) {
                device_offset = address - device->base();
                return device;
            }
        }
        return nullptr;
    }

    static std::uint64_t mmio_read(uc_engine *, std::uint64_t offset, unsigned size, void *user)
    {
        auto &page = *static_cast<Machine::Page *>(user);
        std::uint32_t device_offset = 0;
        if (Device *device = find(page, offset, device_offset))
            return page.machine->mmio_read(*device, device_offset, size);
        const std::uint32_t address = page.base + static_cast<std::uint32_t>(offset);
        page.machine->raise_fault("read of " + hex(address) + ", which is not a modelled register", address, 0);
        return 0;
    }

    static void mmio_write(uc_engine *, std::uint64_t offset, unsigned size, std::uint64_t value, void *user)
    {
        auto &page = *static_cast<Machine::Page *>(user);
        std::uint32_t device_offset = 0;
        if (Device *device = find(page, offset, device_offset)) {
            page.machine->mmio_write(*device, device_offset, size, value);
            return;
        }
        const std::uint32_t address = page.base + static_cast<std::uint32_t>(offset);
        page.machine->raise_fault("write of " + hex(static_cast<std::uint32_t>(value)) + " to " + hex(address) +
                                      ", which is not a modelled register",
                                  address, static_cast<std::uint32_t>(value), true);
    }

    static bool invalid(uc_engine *, uc_mem_type type, std::uint64_t address64, int size, std::int64_t value, void *user)
    {
        auto &machine = *static_cast<Machine *>(user);
        const auto address = static_cast<std::uint32_t>(address64);
        const auto word = static_cast<std::uint32_t>(value);
        std::string message;
        switch (type) {
        case UC_MEM_WRITE_PROT:
            message = "store of " + hex(word) + " (" + std::to_string(size) + " bytes) into the image's code at " +
                      machine.describe(address);
            break;
        case UC_MEM_FETCH_UNMAPPED:
        case UC_MEM_FETCH_PROT: machine.fault_on_jump(address); return false;
        case UC_MEM_READ_UNMAPPED:
            message = "read of " + hex(address) + ", which is neither DRAM nor a modelled register";
            break;
        case UC_MEM_WRITE_UNMAPPED:
            message = "write of " + hex(word) + " to " + hex(address) + ", which is neither DRAM nor a modelled register";
            break;
        default:
            message = "invalid memory access at " + hex(address);
            break;
        }
        machine.raise_fault(message, address, word, type == UC_MEM_WRITE_PROT || type == UC_MEM_WRITE_UNMAPPED);
        return false;
    }

    static void exception(uc_engine *uc, std::uint32_t number, void *user)
    {
        static const char *const names[] = {"", "undefined instruction", "software interrupt", "prefetch abort",
                                            "data abort", "IRQ", "FIQ", "breakpoint"};
        auto &machine = *static_cast<Machine *>(user);
        const char *name = number < std::size(names) ? names[number] : "exception";
        // The pc is the instruction's, except after a software interrupt.
        std::uint32_t pc = 0, cpsr = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        uc_reg_read(uc, UC_ARM_REG_CPSR, &cpsr);
        if (number == 2)
            pc -= (cpsr & 0x20) ? 2 : 4;
        machine.fault_at(std::string("CPU exception: ") + name + " (the image has no exception vectors)", pc, number,
                         pc);
        uc_emu_stop(uc);
    }

    static void deadline(uc_engine *, std::uint64_t address, std::uint32_t, void *user)
    {
        static_cast<Machine *>(user)->on_deadline_instruction(static_cast<std::uint32_t>(address));
    }

    static void breakpoint(uc_engine *, std::uint64_t address, std::uint32_t, void *user)
    {
        static_cast<Machine *>(user)->on_breakpoint(static_cast<std::uint32_t>(address));
    }

    static void instruction(uc_engine *, std::uint64_t address, std::uint32_t, void *user)
    {
        static_cast<Machine *>(user)->on_instruction(static_cast<std::uint32_t>(address));
    }

    static void watched(uc_engine *, uc_mem_type type, std::uint64_t address, int size, std::int64_t, void *user)
    {
        static_cast<Machine *>(user)->on_watched(static_cast<std::uint32_t>(address), static_cast<unsigned>(size),
                                                 type == UC_MEM_WRITE);
    }

    static bool invalid_instruction(uc_engine *uc, void *user)
    {
        auto &machine = *static_cast<Machine *>(user);
        std::uint32_t pc = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        machine.fault_at("undefined instruction", pc, 0, pc);
        return false;
    }
};

struct Machine::ExecutionHook {
    ExecutionObserver *observer;
    const Machine *machine;
    std::vector<uc_hook> hooks;
    // Runs after the machine's own block hook, which has the block's state
    // ready; a block the machine stops before never reaches it.
    static void block(uc_engine *, std::uint64_t address, std::uint32_t size, void *user)
    {
        auto &self = *static_cast<ExecutionHook *>(user);
        self.observer->block(static_cast<std::uint32_t>(address), size, self.machine->block_->thumb);
    }
    static void flags(uc_engine *uc, std::uint64_t address, std::uint32_t, void *user)
    {
        std::uint32_t cpsr = 0;
        uc_reg_read(uc, UC_ARM_REG_CPSR, &cpsr);
        static_cast<ExecutionHook *>(user)->observer->flags_at(static_cast<std::uint32_t>(address), cpsr);
    }
    void add(uc_engine *uc, int type, void *callback, std::uint64_t begin, std::uint64_t end)
    {
        check(uc_hook_add(uc, &hooks.emplace_back(), type, callback, this, begin, end), "execution hook");
    }
};

const Machine::BlockCount Machine::no_block_{};

Machine::Machine(const BoardSpec &board, ElfImage image, ClockMode clock)
    : board_(board), image_(std::move(image)), clock_(board.cpu_hz, clock)
{
}

Machine::~Machine()
{
    idle_.reset();  // it unhooks from the engine
    for (const auto &hook : execution_hooks_)
        hook->observer->machine_closed();
    if (uc_)
        uc_close(uc_);
}

std::unique_ptr<Machine> Machine::load(const std::string &image_path, const Options &options)
{
    ElfImage image = ElfImage::load(image_path);
    const BoardSpec *board = nullptr;
    if (options.board) {
        board = board_by_id(*options.board);
        if (!board)
            throw std::runtime_error("unknown board " + std::to_string(*options.board) + " (64 or 24)");
    } else {
        board = board_for_address(image.link_address());
        if (!board)
            throw std::runtime_error(image_path + ": linked at " + hex(image.link_address()) +
                                     ", outside the DRAM of board 64 and board 24");
    }
    std::unique_ptr<Machine> machine(new Machine(*board, std::move(image), options.clock));
    machine->halt_on_fault_ = options.halt_on_fault;
    machine->build();
    return machine;
}

template <class D, class... Args> D &Machine::add_device(Args &&...args)
{
    auto device = std::make_unique<D>(std::forward<Args>(args)...);
    D &ref = *device;
    ref.attach(*this);
    devices_.push_back(std::move(device));
    return ref;
}

void Machine::build()
{
    check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_), "cannot start the emulator");
    check(uc_ctl_set_cpu_model(uc_, board_.unicorn_cpu), "cannot select the CPU core");
    map_dram();

    for (int channel = 0; channel < 4; channel++)
        uarts_.push_back(&add_device<UartChannel>(channel, board_.uart_base[channel], board_.pclk_hz,
                                                  channel == board_.console_channel));
    gpio_ = &add_device<GpioBlock>(board_);
    timer_ = &add_device<TimerBlock>(board_);
    map_devices();

    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void *>(&MachineHooks::block), this, 1, 0),
          "block hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(&MachineHooks::invalid), this, 1, 0),
          "memory hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void *>(&MachineHooks::exception), this, 1, 0),
          "exception hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_INSN_INVALID, reinterpret_cast<void *>(&MachineHooks::invalid_instruction),
                      this, 1, 0),
          "instruction hook");

    stack_top_ = board_.dram_base + board_.dram_size;
    scratch_next_ = stack_top_ - stack_reserve - scratch_reserve;
    load_image();
    watch_endless_instructions();

    // The loader's call of main: an 8-byte aligned stack and a return address.
    const std::uint32_t sp = stack_top_ & ~7u;
    uc_reg_write(uc_, UC_ARM_REG_SP, &sp);
    uc_reg_write(uc_, UC_ARM_REG_LR, &return_trap_);
    set_reg(15, image_.entry());
    jumped_from_ = "the boot loader (the image's entry point)";
}

void Machine::map_devices()
{
    // Unicorn does not check the alignment of MMIO regions: map whole pages
    // and decode the offset within them.
    for (auto &device : devices_) {
        for (std::uint32_t page = device->base() & ~(page_size - 1); page < device->base() + device->size();
             page += page_size) {
            auto found = std::find_if(pages_.begin(), pages_.end(), [&](auto &p) { return p->base == page; });
            if (found == pages_.end()) {
                pages_.push_back(std::make_unique<Page>(Page{page, {}, this}));
                found = pages_.end() - 1;
                check(uc_mmio_map(uc_, page, page_size, &MachineHooks::mmio_read, found->get(),
                                  &MachineHooks::mmio_write, found->get()),
                      "cannot map a peripheral");
            }
            (*found)->devices.push_back(device.get());
        }
    }
}

// DRAM is mapped as several regions so that the image's code pages are
// read-only from the start: protecting part of one large region afterwards
// makes Unicorn copy the whole region, which takes seconds for 128 MiB.
void Machine::map_dram()
{
    const std::uint64_t dram_end = std::uint64_t{board_.dram_base} + board_.dram_size;
    auto page_of = [&](std::uint64_t address) { return static_cast<std::size_t>((address - board_.dram_base) / page_size); };

    // A page is read-only when it holds code or read-only data and nothing
    // writable: an image whose data shares a page with its code keeps that
    // page writable rather than faulting on its own stores. Only pages with
    // code are executable, so that a jump anywhere else faults at once.
    enum : std::uint8_t { holds_code = 1, holds_data = 2 };
    std::vector<std::uint8_t> pages(board_.dram_size / page_size, 0);
    for (const Segment &segment : image_.segments()) {
        const std::uint64_t end = std::uint64_t{segment.address} + segment.memory_size;
        if (segment.address < board_.dram_base || end > dram_end)
            throw std::runtime_error(image_.path() + ": a segment at " + hex(segment.address) + " lies outside the " +
                                     board_.name + "'s DRAM");
        if (end > dram_end - stack_reserve)
            throw std::runtime_error(image_.path() + ": a segment at " + hex(segment.address) + " reaches into " +
                                     hex(static_cast<std::uint32_t>(dram_end - stack_reserve)) + "-" +
                                     hex(static_cast<std::uint32_t>(dram_end - 1)) + ", the top MiB of the " +
                                     board_.name + "'s DRAM, which the loader keeps for the stack");
        for (std::size_t page = page_of(segment.address); page <= page_of(end - 1); page++)
            pages[page] |= segment.writable ? holds_data : holds_code;
    }

    auto protection = [](std::uint8_t page) {
        if (page == holds_code)
            return UC_PROT_READ | UC_PROT_EXEC;
        return page & holds_code ? UC_PROT_ALL : UC_PROT_READ | UC_PROT_WRITE;
    };
    for (std::size_t first = 0; first < pages.size();) {
        const int prot = protection(pages[first]);
        std::size_t last = first;
        while (last < pages.size() && protection(pages[last]) == prot)
            last++;
        check(uc_mem_map(uc_, board_.dram_base + static_cast<std::uint32_t>(first * page_size),
                         (last - first) * page_size, static_cast<std::uint32_t>(prot)),
              "cannot map DRAM");
        first = last;
    }
}

void Machine::load_image()
{
    for (const Segment &segment : image_.segments()) {
        // Host-side writes reach read-only pages too.
        check(uc_mem_write(uc_, segment.address, segment.bytes.data(), segment.bytes.size()), "loading a segment");
        // The loader zero-fills what the file does not hold: .bss.
        const std::vector<std::uint8_t> zeros(segment.memory_size - segment.bytes.size(), 0);
        if (!zeros.empty())
            check(uc_mem_write(uc_, segment.address + static_cast<std::uint32_t>(segment.bytes.size()), zeros.data(),
                               zeros.size()),
                  "clearing .bss");
    }
}

UartChannel &Machine::uart(int channel)
{
    return *uarts_.at(static_cast<std::size_t>(channel));
}

UartChannel &Machine::console()
{
    return uart(board_.console_channel);
}

const std::string &Machine::console_output() const
{
    return uarts_.at(static_cast<std::size_t>(board_.console_channel))->output();
}

void Machine::feed_console(std::string_view bytes)
{
    console().feed(bytes);
    poll_streak_ = 0;
}

void Machine::feed_console_when(std::string text, std::string bytes)
{
    triggers_.push_back(Trigger{std::move(text), std::move(bytes), console_output().size()});
}

void Machine::set_button(Button button, bool held)
{
    const std::uint32_t bit = 1u << static_cast<unsigned>(button);
    buttons_ = held ? (buttons_ | bit) : (buttons_ & ~bit);
}

bool Machine::input_level(Pin pin) const
{
    for (Button button : all_buttons) {
        if (board_.buttons[static_cast<unsigned>(button)] == pin)
            return !button_held(button);
    }
    return true;
}

std::uint32_t Machine::symbol(std::string_view name) const
{
    auto found = image_.find(std::string(name));
    if (!found)
        throw std::runtime_error(image_.path() + " has no symbol " + std::string(name));
    return found->address;
}

std::uint32_t Machine::read_word(std::uint32_t address)
{
    std::uint32_t value = 0;
    check(uc_mem_read(uc_, address, &value, sizeof value), "reading target memory");
    return value;
}

void Machine::write_word(std::uint32_t address, std::uint32_t value)
{
    check(uc_mem_write(uc_, address, &value, sizeof value), "writing target memory");
}

std::vector<std::uint8_t> Machine::read_bytes(std::uint32_t address, std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    check(uc_mem_read(uc_, address, bytes.data(), size), "reading target memory");
    return bytes;
}

void Machine::write_bytes(std::uint32_t address, const void *data, std::size_t size)
{
    check(uc_mem_write(uc_, address, data, size), "writing target memory");
}

std::uint32_t Machine::scratch(std::size_t size)
{
    const std::uint32_t address = scratch_next_;
    const auto rounded = static_cast<std::uint32_t>((size + 7) & ~std::size_t{7});
    if (rounded > stack_top_ - stack_reserve - address)
        throw std::runtime_error("scratch memory exhausted");
    scratch_next_ += rounded;
    const std::vector<std::uint8_t> zeros(rounded, 0);
    write_bytes(address, zeros.data(), zeros.size());
    return address;
}

void Machine::stop(StopReason reason, std::string message)
{
    request_stop(reason, std::move(message));
}

void Machine::request_stop(StopReason reason, std::string message)
{
    if (!stop_request_) {
        stop_request_ = reason;
        stop_message_ = std::move(message);
    }
    attention_ = 0;
}

std::string Machine::describe(std::uint32_t address) const
{
    if (!image_.covering(address))
        return hex(address);
    return hex(address) + " (" + code_location(address) + ")";
}

std::string Machine::code_location(std::uint32_t address) const
{
    const std::optional<Symbol> symbol = image_.covering(address);
    if (!symbol)
        return hex(address);
    char offset[16];
    std::snprintf(offset, sizeof offset, "+0x%x", address - symbol->address);
    return demangled(symbol->name) + offset;
}

std::uint32_t Machine::stack_limit() const
{
    return stack_top_ - stack_reserve;
}

namespace {
// A word a stack seldom holds.
constexpr std::uint32_t stack_paint = 0x5AC4C0DE;
}  // namespace

void Machine::paint_stack(std::uint32_t window)
{
    const std::vector<std::uint32_t> words(window / 4, stack_paint);
    write_bytes(stack_top_ - window, words.data(), words.size() * 4);
}

std::uint32_t Machine::painted_stack_depth(std::uint32_t window)
{
    const std::vector<std::uint8_t> bytes = read_bytes(stack_top_ - window, window);
    for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes.data() + at, 4);
        if (word != stack_paint)
            return static_cast<std::uint32_t>(bytes.size() - at);
    }
    return 0;
}

std::string Machine::where(std::uint32_t pc) const
{
    return "pc " + describe(pc);
}

void Machine::raise_fault(std::string message, std::uint32_t address, std::uint32_t value, bool write)
{
    if (fault_)
        return;
    // Every report of a store names what was stored.
    if (write && message.find(hex(value)) == std::string::npos)
        message += " (value " + hex(value) + ")";
    fault_at(message, address, value, locate_access(address, write));
}

// The core stops at once: Unicorn abandons the instruction making the access,
// so the registers are as the instruction found them.
void Machine::fault_at(const std::string &message, std::uint32_t address, std::uint32_t value, std::uint32_t pc)
{
    if (fault_)
        return;
    uc_emu_stop(uc_);
    // The faulting instruction and the rest of its block do not run (a jump's
    // target lies outside it).
    uncount_from(pc);
    char time[48];
    std::snprintf(time, sizeof time, "%.9f s", clock_.to_seconds(clock_.now()));
    const std::string report = message + ", at " + where(pc) + ", at " + time + " of board time";
    fault_ = Fault{report, address, value, pc};
    request_stop(StopReason::fault, report);
}

// The jump has happened, as on a core whose fetch aborts: the board halts at
// its target with the registers it left. A jump from the run's first
// instruction came from whatever set the pc.
void Machine::fault_on_jump(std::uint32_t target)
{
    if (fault_)
        return;
    if (block_->size())
        jumped_from_ = code_location(instruction_after(block_->instructions - 1));
    fault_at("jump to " + hex(target) + ", where the image has no code, from " + jumped_from_, target, 0, target);
}

namespace {
const int register_ids[] = {UC_ARM_REG_R0,  UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3, UC_ARM_REG_R4,
                            UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,  UC_ARM_REG_R8, UC_ARM_REG_R9,
                            UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR,
                            UC_ARM_REG_PC,  UC_ARM_REG_CPSR};
}  // namespace

// Unicorn reports the start of the translated block, not the instruction, for
// a memory access. The registers are current, though, so the instruction is
// found by decoding the block's loads and stores and matching the address.
std::uint32_t Machine::locate_access(std::uint32_t address, bool write) const
{
    CoreRegisters registers{};
    for (std::size_t n = 0; n < registers.size(); n++)
        uc_reg_read(uc_, register_ids[n], &registers[n]);
    const std::uint32_t step = block_->thumb ? 2 : 4;
    for (std::uint32_t at = block_->pc(); at < block_->pc() + block_->size(); at += step) {
        std::uint32_t insn = 0;
        if (uc_mem_read(uc_, at, &insn, step) != UC_ERR_OK)
            break;
        const std::optional<MemoryAccess> access = block_->thumb
                                                       ? thumb_access(static_cast<std::uint16_t>(insn), at, registers)
                                                       : arm_access(insn, at, registers);
        if (access && access->load == !write && access->reaches(address))
            return at;
    }
    return block_->pc();
}

void Machine::log_access(const Device &device, std::uint32_t address, std::uint32_t value, bool write)
{
    if (!logging_ && observers_.empty())
        return;
    const std::uint32_t pc = instruction_pcs_ ? locate_access(address, write) : block_->pc();
    const Access access{clock_.now(), pc, address, value, write};
    for (AccessObserver *observer : observers_)
        observer->accessed(access, device);
    if (!logging_)
        return;
    if (accesses_.size() < max_logged_accesses)
        accesses_.push_back(access);
    else
        dropped_accesses_++;
}

void Machine::tell_written(const Device &device, std::uint32_t address, std::uint32_t value)
{
    if (observers_.empty())
        return;
    const Access access{clock_.now(), block_->pc(), address, value, true};
    for (AccessObserver *observer : observers_)
        observer->written(access, device);
}

void Machine::add_access_observer(AccessObserver &observer)
{
    observers_.push_back(&observer);
    instruction_pcs_ = instruction_pcs_ || observer.wants_instruction_pc();
}

void Machine::remove_access_observer(AccessObserver &observer)
{
    std::erase(observers_, &observer);
    instruction_pcs_ = std::any_of(observers_.begin(), observers_.end(),
                                   [](const AccessObserver *left) { return left->wants_instruction_pc(); });
}


// A code hook bounded to one instruction costs nothing elsewhere; code
// translated before it was added would run without it.
void Machine::add_execution_observer(ExecutionObserver &observer, const std::vector<std::uint32_t> &flags_at)
{
    auto hook = std::make_unique<ExecutionHook>(ExecutionHook{&observer, this, {}});
    ExecutionHook &added = *execution_hooks_.emplace_back(std::move(hook));
    added.add(uc_, UC_HOOK_BLOCK, reinterpret_cast<void *>(&ExecutionHook::block), 1, 0);
    for (const std::uint32_t pc : flags_at)
        added.add(uc_, UC_HOOK_CODE, reinterpret_cast<void *>(&ExecutionHook::flags), pc, pc);
    if (!flags_at.empty())
        drop_translations();
}

void Machine::remove_execution_observer(ExecutionObserver &observer)
{
    std::erase_if(execution_hooks_, [&](const auto &hook) {
        if (hook->observer != &observer)
            return false;
        for (const uc_hook added : hook->hooks)
            uc_hook_del(uc_, added);
        return true;
    });
}

std::vector<const Device *> Machine::devices() const
{
    std::vector<const Device *> list;
    for (const auto &device : devices_)
        list.push_back(device.get());
    return list;
}

bool Machine::check_access(Device &device, std::uint32_t offset, unsigned size, std::uint64_t value, bool write)
{
    if (size == 4 && offset % 4 == 0)
        return true;
    const std::uint32_t address = device.base() + offset;
    std::string name = device.register_name(offset & ~3u);
    if (name.empty())
        name = device.name();
    raise_fault(std::string(write ? "write of " : "read of ") + std::to_string(size) + " byte(s) at " + hex(address) +
                    " (" + name + "): registers are accessed as whole aligned words",
                address, static_cast<std::uint32_t>(value), write);
    return false;
}

std::uint64_t Machine::mmio_read(Device &device, std::uint32_t offset, unsigned size)
{
    if (fault_ || !check_access(device, offset, size, 0, false))
        return 0;
    register_accesses_++;
    polled_console_ = false;
    const std::optional<std::uint32_t> value = device.read(offset);
    if (!polled_console_)
        poll_streak_ = 0;
    const std::uint32_t address = device.base() + offset;
    if (!value) {
        raise_fault("read of " + hex(address) + " (" + register_label(device, offset) +
                        "), which the model does not implement",
                    address, 0);
        return 0;
    }
    // Whether the reading ticks matters only to a loop already followed.
    idle_->register_read(block_->pc(), address, *value, idle_->watching() && device.read_may_change(offset));
    refresh_attention();
    log_access(device, address, *value, false);
    if (!watchpoints_.empty())
        on_watched(address, size, false);
    return *value;
}

void Machine::mmio_write(Device &device, std::uint32_t offset, unsigned size, std::uint64_t value64)
{
    if (fault_ || !check_access(device, offset, size, value64, true))
        return;
    register_accesses_++;
    poll_streak_ = 0;
    idle_->register_written();
    const auto value = static_cast<std::uint32_t>(value64);
    const std::uint32_t address = device.base() + offset;
    log_access(device, address, value, true);
    if (!device.write(offset, value)) {
        raise_fault("write of " + hex(value) + " to " + hex(address) + " (" + register_label(device, offset) +
                        "), which the model does not implement as writable",
                    address, value, true);
        return;
    }
    tell_written(device, address, value);
    if (!watchpoints_.empty())
        on_watched(address, size, true);
    if (!backlight_watches_.empty() && (&device == gpio_ || &device == timer_)) {
        const std::optional<int> shown = backlight_percent();
        if (shown != backlight_shown_) {
            backlight_shown_ = shown;
            for (auto &watch : backlight_watches_)
                watch(shown);
        }
    }
}

std::optional<int> Machine::backlight_percent()
{
    return sim::backlight_percent(board_, *gpio_, *timer_);
}

void Machine::watch_backlight(std::function<void(std::optional<int>)> watch)
{
    if (backlight_watches_.empty())
        backlight_shown_ = backlight_percent();
    backlight_watches_.push_back(std::move(watch));
}

void Machine::schedule(Cycles when)
{
    next_service_ = std::min(next_service_, when);
    if (clock_.mode() == ClockMode::virtual_time)
        attention_ = std::min(attention_, when);
}

void Machine::refresh_deadline()
{
    next_service_ = std::min(deadline_, next_model_event());
    refresh_attention();
}

Cycles Machine::next_model_event() const
{
    Cycles next = never;
    for (const auto &device : devices_)
        next = std::min(next, device->next_event());
    return next;
}

void Machine::service_devices()
{
    const Cycles now = clock_.now();
    for (auto &device : devices_)
        device->advance(now);
    if (now >= deadline_)
        request_stop(StopReason::time_limit);
    refresh_deadline();
}

// Between two blocks of a turn of the loop the idle detector follows: an
// event that fires here changes what the turn's earlier reads saw, so that
// turn cannot prove the loop idle. (A byte arriving just after the receiver
// read empty would otherwise let the wait pass unseen to the run's end.)
void Machine::service_devices_in_turn()
{
    if (next_model_event() <= clock_.now())
        idle_->model_changed();
    service_devices();
}

void Machine::attend_block()
{
    if (stop_request_ || restart_emulation_) {
        restart_emulation_ = false;
        stop_before_block();
        return;
    }
    if (stop_inside_block())
        return;
    if (clock_.mode() == ClockMode::virtual_time) {
        if (clock_.now() >= next_service_)
            service_devices_in_turn();
    } else if (clock_.counted() >= wall_attention_) {
        wall_attention_ = clock_.counted() + wall_service_instructions;
        service_devices_in_turn();
        if (host_)
            host_->service(*this);
    }
    if (idle_->block(block_->pc(), block_->size(), block_->thumb))
        let_idle_time_pass();
    refresh_attention();
}

// A block that would run past the run's deadline is stopped before it and
// run again with a hook on the instruction the deadline falls on, so that a
// run ends exactly on its deadline however the code falls into blocks.
bool Machine::stop_inside_block()
{
    const Cycles end = clock_.counted();
    const Cycles start = end - block_->instructions;
    if (clock_.mode() != ClockMode::virtual_time || end <= deadline_ || start >= deadline_)
        return false;
    // Hooked already: the block runs up to the instruction.
    if (deadline_hook_)
        return true;
    const std::uint32_t at = instruction_after(static_cast<std::uint32_t>(deadline_ - start));
    uc_hook hook = 0;
    if (uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&MachineHooks::deadline), this, at, at) !=
        UC_ERR_OK)
        return false;
    deadline_hook_ = hook;
    deadline_at_ = at;
    uc_ctl_remove_cache(uc_, at, std::uint64_t{at} + 4);
    // The run ends in this block: no loop of it is followed further.
    idle_->forget();
    stop_before_block();
    return true;
}

// Emulation stops before the block's first instruction: it runs, and counts,
// when emulation resumes. The engine's pc may still be that of the block
// before, when that one jumped straight into this, so the resumption point
// is kept here.
void Machine::stop_before_block()
{
    clock_.uncount(block_->instructions);
    resume_at_ = block_->pc() | (block_->thumb ? 1u : 0u);
    uc_emu_stop(uc_);
}

// A block is counted whole as it starts: when emulation stops inside it, the
// instructions from pc on have not run, and run and count when it resumes.
void Machine::uncount_from(std::uint32_t pc)
{
    if (pc < block_->pc() || pc >= block_->pc() + block_->size())
        return;
    const std::uint32_t not_run = block_->instructions - instructions_before(pc);
    clock_.uncount(not_run);
    for (const auto &hook : execution_hooks_)
        hook->observer->cut(pc, not_run);
}

void Machine::on_deadline_instruction(std::uint32_t pc)
{
    uncount_from(pc);
    deadline_reached_ = true;
    service_devices();
    uc_emu_stop(uc_);
}

void Machine::drop_deadline_hook()
{
    if (!deadline_hook_)
        return;
    uc_hook_del(uc_, *deadline_hook_);
    deadline_hook_.reset();
    deadline_reached_ = false;
    uc_ctl_remove_cache(uc_, deadline_at_, std::uint64_t{deadline_at_} + 4);
}

void Machine::on_new_block(std::uint64_t address, std::uint32_t size)
{
    const auto pc = static_cast<std::uint32_t>(address);
    block_counts_[(address >> 1) % block_counts_.size()] = count_block(pc, size);
    on_block(address, size);
}

Machine::BlockCount Machine::count_block(std::uint32_t pc, std::uint32_t size) const
{
    std::uint32_t cpsr = 0;
    uc_reg_read(uc_, UC_ARM_REG_CPSR, &cpsr);
    BlockCount block{pc | std::uint64_t{size} << 32, size / 4, (cpsr & 0x20) != 0};
    if (block.thumb)
        block.instructions = walk_thumb(thumb_code(pc, pc + size)).instructions;
    return block;
}

std::vector<std::uint16_t> Machine::thumb_code(std::uint32_t from, std::uint32_t to) const
{
    std::vector<std::uint16_t> code((to - from) / 2);
    if (uc_mem_read(uc_, from, code.data(), code.size() * 2) != UC_ERR_OK)
        code.clear();
    return code;
}

std::uint32_t Machine::instructions_before(std::uint32_t pc) const
{
    if (!block_->thumb)
        return (pc - block_->pc()) / 4;
    return walk_thumb(thumb_code(block_->pc(), pc)).instructions;
}

std::uint32_t Machine::instruction_after(std::uint32_t n) const
{
    if (!block_->thumb)
        return block_->pc() + 4 * n;
    const ThumbWalk walk = walk_thumb(thumb_code(block_->pc(), block_->pc() + block_->size()), n);
    return block_->pc() + 2 * static_cast<std::uint32_t>(walk.halfwords);
}

void Machine::refresh_attention()
{
    if (idle_->take_deleted_hook())
        restart_emulation_ = true;
    if (stop_request_ || restart_emulation_ || idle_->watching())
        attention_ = 0;
    else if (clock_.mode() == ClockMode::virtual_time)
        attention_ = next_service_;
    else
        attention_ = wall_attention_;
}

void Machine::receiver_polled_empty(int channel)
{
    if (channel != board_.console_channel)
        return;
    polled_console_ = true;
    console_empty_polls_++;
    if (++poll_streak_ < blocked_poll_streak)
        return;
    UartChannel &line = console();
    if (host_) {
        const int wait_ms = clock_.mode() == ClockMode::wall_time && line.transmitter_idle() ? 1 : 0;
        const HostLink::Pump pumped = host_->pump(*this, wait_ms);
        if (pumped == HostLink::Pump::fed) {
            poll_streak_ = 0;
            return;
        }
        if (pumped == HostLink::Pump::ended && line.transmitter_idle() && line.line_idle()) {
            request_stop(StopReason::input_ended, "input has ended and the firmware waits for more");
            return;
        }
    }
    if (!line.line_idle() || clock_.mode() != ClockMode::virtual_time)
        return;
    // Nothing arrives while the firmware only waits: move time on to the
    // next thing that happens, or stop if nothing will.
    if (!line.transmitter_idle()) {
        clock_.skip_to(line.next_event());
    } else if (limits_ && limits_->until_waiting) {
        request_stop(StopReason::waiting_for_input, "the firmware waits for console input");
    } else {
        clock_.skip_to(idle_horizon());
    }
}

void Machine::byte_transmitted(int channel, std::uint8_t byte)
{
    if (channel != board_.console_channel)
        return;
    if (host_)
        host_->transmitted(*this, byte);
    const std::string &out = console_output();
    auto ends_with = [&](const std::string &text, std::string::size_type from) {
        return !text.empty() && out.size() >= from + text.size() &&
               out.compare(out.size() - text.size(), text.size(), text) == 0;
    };
    for (auto it = triggers_.begin(); it != triggers_.end();) {
        if (ends_with(it->text, it->from)) {
            std::string bytes = std::move(it->bytes);
            it = triggers_.erase(it);
            feed_console(bytes);
        } else {
            ++it;
        }
    }
    if (limits_ && limits_->until_output && ends_with(*limits_->until_output, output_mark_))
        request_stop(StopReason::output_seen);
}

RunResult Machine::execute(std::uint32_t pc, const RunLimits &limits)
{
    const bool single = limits.single_step;
    limits_ = &limits;
    stop_request_.reset();
    restart_emulation_ = false;
    stop_message_.clear();
    watch_hit_.reset();
    output_mark_ = console_output().size();
    poll_streak_ = 0;
    deadline_ = limits.seconds ? clock_.now() + clock_.from_seconds(*limits.seconds) : never;
    idle_deadline_ =
        limits.idle_seconds ? std::max(deadline_, clock_.now() + clock_.from_seconds(*limits.idle_seconds)) : deadline_;
    idle_->forget();
    idle_for_ever_at_.reset();
    block_ = &no_block_;  // none of this run yet, for the report of a jump
    refresh_deadline();
    run_past_.reset();
    for (const auto &[address, hook] : breakpoints_)
        if (address == pc)
            run_past_ = pc;
    if (single) {
        stepping_ = true;
        stepped_ = false;
        update_hooks();
    }

    RunResult result{StopReason::stopped, 0, 0, {}};
    for (;;) {
        std::uint32_t cpsr = 0;
        uc_reg_read(uc_, UC_ARM_REG_CPSR, &cpsr);
        const uc_err err = uc_emu_start(uc_, (cpsr & 0x20) ? (pc | 1) : pc, return_trap_, 0, 0);
        // Resuming at the hooked instruction must run it.
        if (deadline_reached_)
            drop_deadline_hook();
        if (resume_at_)
            uc_reg_write(uc_, UC_ARM_REG_PC, &*resume_at_);
        resume_at_.reset();
        uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
        if (!fault_ && err != UC_ERR_OK)
            raise_fault(std::string("emulation stopped: ") + uc_strerror(err), pc, 0);
        if (fault_) {
            if (halt_on_fault_) {
                pc = fault_->pc;
                move_pc(pc);
            }
            result = RunResult{StopReason::fault, 0, 0, fault_->message};
            break;
        }
        if (pc == return_trap_) {
            std::uint32_t r0 = 0;
            uc_reg_read(uc_, UC_ARM_REG_R0, &r0);
            result = RunResult{StopReason::returned, r0, 0, {}};
            break;
        }
        if (watch_hit_) {
            result = RunResult{StopReason::watchpoint, 0, 0, {}, watch_hit_->address, watch_hit_->kind};
            break;
        }
        if (stop_request_) {
            result = RunResult{*stop_request_, 0, 0, stop_message_};
            break;
        }
    }
    drop_deadline_hook();
    if (single) {
        stepping_ = false;
        update_hooks();
    }
    main_pc_ = pc;
    limits_ = nullptr;
    service_devices();
    result.time = clock_.now();
    return result;
}

RunResult Machine::step()
{
    RunLimits limits;
    limits.until_waiting = false;
    limits.single_step = true;
    return run(limits);
}

RunResult Machine::run(const RunLimits &limits)
{
    if (main_returned_)
        throw std::logic_error("main has already returned");
    if (fault_ && halt_on_fault_)
        fault_.reset();  // the debugger may have mended what made it
    if (fault_)
        return RunResult{StopReason::fault, 0, clock_.now(), fault_->message};
    main_started_ = true;
    RunResult result = execute(main_pc_, limits);
    if (result.reason == StopReason::returned || result.reason == StopReason::fault) {
        main_returned_ = result.reason == StopReason::returned;
        drain_transmitters();
        result.time = clock_.now();
    }
    return result;
}

void Machine::drain_transmitters()
{
    // The deadline of the last run has no say here.
    deadline_ = never;
    for (;;) {
        const Cycles next = next_model_event();
        bool sending = false;
        for (UartChannel *uart : uarts_)
            sending = sending || !uart->transmitter_idle();
        if (!sending || next == never)
            break;
        if (clock_.mode() == ClockMode::virtual_time)
            clock_.skip_to(next);
        else
            std::this_thread::sleep_for(std::chrono::nanoseconds(clock_.to_ns(next - std::min(next, clock_.now()))));
        service_devices();
    }
}

RunResult Machine::call(std::string_view name, const std::vector<std::uint32_t> &args, const RunLimits &limits)
{
    if (args.size() > 8)
        throw std::invalid_argument("at most eight arguments");
    if (fault_)
        return RunResult{StopReason::fault, 0, clock_.now(), fault_->message};
    const std::uint32_t address = symbol(name);

    uc_context *saved = nullptr;
    check(uc_context_alloc(uc_, &saved), "saving the CPU");
    uc_context_save(uc_, saved);

    // Below a suspended main's frame, or at the top of the stack.
    std::uint32_t sp = stack_top_;
    if (main_started_ && !main_returned_)
        uc_reg_read(uc_, UC_ARM_REG_SP, &sp), sp -= 256;
    sp &= ~7u;
    if (args.size() > 4) {
        sp -= static_cast<std::uint32_t>(((args.size() - 4) * 4 + 7) & ~std::size_t{7});
        write_bytes(sp, args.data() + 4, (args.size() - 4) * 4);
    }
    static const int arg_regs[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};
    for (std::size_t i = 0; i < args.size() && i < 4; i++)
        uc_reg_write(uc_, arg_regs[i], &args[i]);
    uc_reg_write(uc_, UC_ARM_REG_SP, &sp);
    uc_reg_write(uc_, UC_ARM_REG_LR, &return_trap_);

    const std::uint32_t resume = main_pc_;
    const std::string resume_from = std::exchange(jumped_from_, "the call of " + std::string(name));
    RunResult result = execute(address, limits);
    main_pc_ = resume;
    jumped_from_ = resume_from;
    uc_context_restore(uc_, saved);
    uc_context_free(saved);
    return result;
}

// ---------------------------------------------------------------------------
// Debugging

std::uint32_t Machine::reg(int number)
{
    if (number < 0 || number > cpsr_register)
        throw std::out_of_range("no register " + std::to_string(number));
    // Where a suspended main resumes, whatever a call since left in the pc.
    if (number == 15)
        return main_pc_;
    std::uint32_t value = 0;
    uc_reg_read(uc_, register_ids[number], &value);
    return value;
}

void Machine::set_reg(int number, std::uint32_t value)
{
    if (number < 0 || number > cpsr_register)
        throw std::out_of_range("no register " + std::to_string(number));
    if (number == 15 && value != main_pc_) {
        main_pc_ = value;
        jumped_from_ = "a write to the pc";
    }
    if (number == 15)
        move_pc(value);
    else
        uc_reg_write(uc_, register_ids[number], &value);
}

// The engine takes the core's state from bit 0 of a pc written to it: the
// state stays as it is.
void Machine::move_pc(std::uint32_t pc)
{
    std::uint32_t cpsr = 0;
    uc_reg_read(uc_, UC_ARM_REG_CPSR, &cpsr);
    const std::uint32_t value = pc | ((cpsr & 0x20) ? 1u : 0u);
    uc_reg_write(uc_, UC_ARM_REG_PC, &value);
}

Device *Machine::device_at(std::uint32_t address) const
{
    for (const auto &device : devices_)
        if (address >= device->base() && address - device->base() < device->size())
            return device.get();
    return nullptr;
}

std::vector<std::uint8_t> Machine::inspect(std::uint32_t address, std::size_t size)
{
    const std::uint64_t dram_end = std::uint64_t{board_.dram_base} + board_.dram_size;
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size;) {
        const std::uint64_t at = std::uint64_t{address} + i;
        if (at >= board_.dram_base && at < dram_end) {
            const std::size_t n = std::min<std::uint64_t>(size - i, dram_end - at);
            check(uc_mem_read(uc_, at, bytes.data() + i, n), "reading target memory");
            i += n;
            continue;
        }
        // Registers are read a word at a time, through the model's peek.
        const auto word_address = static_cast<std::uint32_t>(at) & ~3u;
        const Device *device = at <= 0xFFFFFFFFu ? device_at(word_address) : nullptr;
        const std::optional<std::uint32_t> word = device ? device->peek(word_address - device->base()) : std::nullopt;
        if (!word) {
            bytes.resize(i);
            break;
        }
        for (; i < size && ((address + i) & ~3u) == word_address; i++)
            bytes[i] = static_cast<std::uint8_t>(*word >> (8 * ((address + i) % 4)));
    }
    return bytes;
}

bool Machine::patch(std::uint32_t address, const void *data, std::size_t size)
{
    if (address < board_.dram_base ||
        std::uint64_t{address} + size > std::uint64_t{board_.dram_base} + board_.dram_size)
        return false;
    write_bytes(address, data, size);
    forget_block_counts();
    // Code already translated from these bytes is translated again.
    uc_ctl_remove_cache(uc_, address, std::uint64_t{address} + size);
    return true;
}

// Dropping the translations of all DRAM is quick (about a millisecond),
// where Unicorn's own cache flush takes seconds with DRAM this large.
void Machine::drop_translations()
{
    uc_ctl_remove_cache(uc_, board_.dram_base, std::uint64_t{board_.dram_base} + board_.dram_size);
}

// One Unicorn code hook per breakpoint: the address range is checked when a
// block is translated, so code elsewhere runs as fast as without. A block
// already translated keeps the hooks it had until it is dropped.
void Machine::add_breakpoint(std::uint32_t address)
{
    for (const auto &[at, hook] : breakpoints_)
        if (at == address)
            return;
    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&MachineHooks::breakpoint), this, address,
                      address),
          "breakpoint");
    breakpoints_.emplace_back(address, hook);
    uc_ctl_remove_cache(uc_, address, std::uint64_t{address} + 4);
}

void Machine::remove_breakpoint(std::uint32_t address)
{
    for (auto it = breakpoints_.begin(); it != breakpoints_.end(); ++it) {
        if (it->first == address) {
            uc_hook_del(uc_, it->second);
            breakpoints_.erase(it);
            uc_ctl_remove_cache(uc_, address, std::uint64_t{address} + 4);
            return;
        }
    }
}

void Machine::on_breakpoint(std::uint32_t address)
{
    const bool run_past = run_past_ == address;
    run_past_.reset();
    if (run_past)
        return;
    request_stop(StopReason::breakpoint);
    // Unicorn looks for a stop right after a code hook: the instruction does
    // not run.
    uncount_from(address);
    uc_emu_stop(uc_);
}

void Machine::add_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind)
{
    watchpoints_.push_back(Watchpoint{address, std::max<std::uint32_t>(length, 1), kind});
    update_hooks();
}

void Machine::remove_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind)
{
    length = std::max<std::uint32_t>(length, 1);
    auto found = std::find_if(watchpoints_.begin(), watchpoints_.end(), [&](const Watchpoint &w) {
        return w.address == address && w.length == length && w.kind == kind;
    });
    if (found != watchpoints_.end()) {
        watchpoints_.erase(found);
        update_hooks();
    }
}

// Watching and stepping cost only while they last: DRAM accesses go through
// memory hooks over the watched ranges (registers are seen by the MMIO path
// anyway), and a code hook on every instruction stops the core right after
// the one that made a watched access, or after the step's one instruction.
// (Unicorn's own instruction count is not used for steps: switching it off
// flushes its whole translation cache, which takes seconds.)
void Machine::update_hooks()
{
    for (std::size_t hook : watch_hooks_)
        uc_hook_del(uc_, hook);
    watch_hooks_.clear();
    uc_hook hook;
    if (!watchpoints_.empty() || stepping_) {
        check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&MachineHooks::instruction), this, 1, 0),
              "watchpoint");
        watch_hooks_.push_back(hook);
    }
    const std::uint64_t dram_end = std::uint64_t{board_.dram_base} + board_.dram_size;
    for (const Watchpoint &watch : watchpoints_) {
        const std::uint64_t last = std::uint64_t{watch.address} + watch.length - 1;
        if (last < board_.dram_base || watch.address >= dram_end)
            continue;
        // Unicorn matches a hook's range against the first byte accessed:
        // start early enough for an access of up to 8 bytes that overlaps.
        const std::uint64_t first = watch.address - std::min<std::uint32_t>(watch.address, 7);
        const int types = watch.kind == WatchKind::write  ? UC_HOOK_MEM_WRITE
                          : watch.kind == WatchKind::read ? UC_HOOK_MEM_READ
                                                          : UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE;
        check(uc_hook_add(uc_, &hook, types, reinterpret_cast<void *>(&MachineHooks::watched), this, first, last),
              "watchpoint");
        watch_hooks_.push_back(hook);
    }
    drop_translations();
}

void Machine::on_watched(std::uint32_t address, unsigned size, bool write)
{
    if (watch_hit_)
        return;
    for (const Watchpoint &watch : watchpoints_) {
        const bool kind = watch.kind == WatchKind::access || (watch.kind == WatchKind::write) == write;
        if (kind && address < std::uint64_t{watch.address} + watch.length &&
            watch.address < std::uint64_t{address} + size) {
            watch_hit_ = WatchHit{std::max(address, watch.address), watch.kind};
            return;
        }
    }
}

// While watching or stepping: the instruction after a watched access, or
// after the step's, does not run.
void Machine::on_instruction(std::uint32_t pc)
{
    if (watch_hit_ || (stepping_ && std::exchange(stepped_, true))) {
        request_stop(watch_hit_ ? StopReason::watchpoint : StopReason::step);
        uncount_from(pc);
        uc_emu_stop(uc_);
    }
}

}  // namespace kelto::sim
