#include "machine/address_space.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "machine/cpu.hpp"
#include "machine/dram.hpp"
#include "machine/hex.hpp"
#include "machine/register_bus.hpp"

namespace kelto::sim {

namespace {

constexpr std::uint32_t page_size = 0x1000;
// Room the loader leaves above the stack pointer for test data.
constexpr std::uint32_t stack_reserve = 1u << 20;
constexpr std::uint32_t scratch_reserve = 1u << 20;
// A word a stack seldom holds.
constexpr std::uint32_t stack_paint = 0x5AC4C0DE;

}  // namespace

AddressSpace::AddressSpace(uc_struct *uc, const BoardSpec &board, const ElfImage &image)
    : uc_(uc), board_(board), image_(image), stack_top_(board.dram_base + board.dram_size),
      scratch_next_(stack_top_ - stack_reserve - scratch_reserve)
{
    map_dram();
    load_image();
}

// The engine lets go of DRAM before the memory behind it goes, unless the
// machine keeps that memory until the engine has closed.
AddressSpace::~AddressSpace()
{
    if (dram_)
        uc_mem_unmap(uc_, board_.dram_base, board_.dram_size);
}

std::unique_ptr<Dram> AddressSpace::release_dram()
{
    return std::move(dram_);
}

// DRAM is mapped as several regions so that the image's code pages are
// read-only from the start: protecting part of one large region afterwards
// makes Unicorn copy the whole region, which takes seconds for 128 MiB.
void AddressSpace::map_dram()
{
    dram_ = std::make_unique<Dram>(board_.dram_base, board_.dram_size);
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
        dram_->map(uc_, board_.dram_base + static_cast<std::uint32_t>(first * page_size),
                   static_cast<std::uint32_t>((last - first) * page_size), static_cast<std::uint32_t>(prot));
        first = last;
    }
}

void AddressSpace::load_image()
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

std::uint32_t AddressSpace::read_word(std::uint32_t address)
{
    std::uint32_t value = 0;
    check(uc_mem_read(uc_, address, &value, sizeof value), "reading target memory");
    return value;
}

void AddressSpace::write_word(std::uint32_t address, std::uint32_t value)
{
    check(uc_mem_write(uc_, address, &value, sizeof value), "writing target memory");
}

std::vector<std::uint8_t> AddressSpace::read_bytes(std::uint32_t address, std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    check(uc_mem_read(uc_, address, bytes.data(), size), "reading target memory");
    return bytes;
}

void AddressSpace::write_bytes(std::uint32_t address, const void *data, std::size_t size)
{
    check(uc_mem_write(uc_, address, data, size), "writing target memory");
}

std::uint32_t AddressSpace::scratch(std::size_t size)
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

bool AddressSpace::in_dram(std::uint32_t address, std::size_t size) const
{
    return address >= board_.dram_base &&
           std::uint64_t{address} + size <= std::uint64_t{board_.dram_base} + board_.dram_size;
}

std::uint32_t AddressSpace::stack_limit() const
{
    return stack_top_ - stack_reserve;
}

void AddressSpace::paint_stack(std::uint32_t window)
{
    const std::vector<std::uint32_t> words(window / 4, stack_paint);
    write_bytes(stack_top_ - window, words.data(), words.size() * 4);
}

std::uint32_t AddressSpace::painted_stack_depth(std::uint32_t window)
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

std::vector<std::uint8_t> AddressSpace::inspect(std::uint32_t address, std::size_t size, const RegisterBus &registers)
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
        const Device *device = at <= 0xFFFFFFFFu ? registers.device_at(word_address) : nullptr;
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

bool AddressSpace::patch(std::uint32_t address, const void *data, std::size_t size)
{
    if (!in_dram(address, size))
        return false;
    write_bytes(address, data, size);
    // Code already translated from these bytes is translated again.
    uc_ctl_remove_cache(uc_, address, std::uint64_t{address} + size);
    return true;
}

// Dropping the translations of all DRAM is quick (about a millisecond),
// where Unicorn's own cache flush takes seconds with DRAM this large.
void AddressSpace::drop_translations()
{
    uc_ctl_remove_cache(uc_, board_.dram_base, std::uint64_t{board_.dram_base} + board_.dram_size);
}

// A run of neighbouring pages at a time: the engine's cost is per call and
// per page of the range, and most of DRAM is in no range.
void AddressSpace::drop_translations(const std::vector<std::uint32_t> &pages)
{
    for (std::size_t start = 0, end = 0; start < pages.size(); start = end) {
        for (end = start + 1; end < pages.size() && pages[end] == pages[end - 1] + 1;)
            end++;
        const std::uint64_t from = board_.dram_base + std::uint64_t{pages[start]} * dram_page_size;
        uc_ctl_remove_cache(uc_, from, from + std::uint64_t{end - start} * dram_page_size);
    }
}

}  // namespace kelto::sim
