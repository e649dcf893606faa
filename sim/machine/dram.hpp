// The board's DRAM as host memory keltosim owns, mapped into the emulator,
// so that its pages can be copied out and back: the engine has no memory
// snapshot of its own.
//
// The memory is an anonymous mapping reserved without backing, so pages the
// firmware never touches cost the host nothing. A snapshot holds every page
// that is not all zeros; a page equal to the one the last snapshot (taken or
// restored) held is shared with it instead of copied, so states taken often
// cost only the pages that changed between them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct uc_struct;

namespace kelto::sim {

inline constexpr std::uint32_t dram_page_size = 0x1000;

struct DramPage {
    std::uint32_t index;  // from the start of DRAM, in pages
    std::shared_ptr<const std::array<std::uint8_t, dram_page_size>> bytes;
};
// In ascending order of index; a page not listed holds zeros.
using DramPages = std::vector<DramPage>;

class Dram {
public:
    Dram(std::uint32_t base, std::uint32_t size);
    ~Dram();
    Dram(const Dram &) = delete;
    Dram &operator=(const Dram &) = delete;

    std::uint32_t page_count() const { return size_ / dram_page_size; }
    // Maps [address, address + size) of DRAM into the emulator with these
    // protections (UC_PROT_*), over the host memory behind it.
    void map(uc_struct *uc, std::uint32_t address, std::uint32_t size, std::uint32_t protection);

    DramPages snapshot();
    // Every page as the snapshot holds it. Returns the pages whose bytes
    // changed, in ascending order: the caller drops the emulator's
    // translations of them, and only of them, as those of the others still hold.
    std::vector<std::uint32_t> restore(const DramPages &pages);

private:
    std::uint8_t *page(std::uint32_t index) const { return &host_[std::size_t{index} * dram_page_size]; }
    std::vector<unsigned char> resident() const;
    void release(std::size_t first_host_page, std::size_t host_pages);

    std::uint32_t base_;
    std::uint32_t size_;
    std::size_t host_page_;
    std::uint8_t *host_ = nullptr;
    DramPages last_;
};

}  // namespace kelto::sim
