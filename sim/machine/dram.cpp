#include "machine/dram.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kelto::sim {

namespace {

bool all_zero(const std::uint8_t *bytes)
{
    static const std::array<std::uint8_t, dram_page_size> zeros{};
    return std::memcmp(bytes, zeros.data(), dram_page_size) == 0;
}

}  // namespace

Dram::Dram(std::uint32_t base, std::uint32_t size)
    : base_(base), size_(size), host_page_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)))
{
    if (host_page_ % dram_page_size != 0 || size % host_page_ != 0)
        throw std::runtime_error("DRAM pages do not fit the host's pages");
    void *memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED)
        throw std::runtime_error("cannot reserve host memory for the board's DRAM");
    host_ = static_cast<std::uint8_t *>(memory);
}

Dram::~Dram()
{
    ::munmap(host_, size_);
}

void Dram::map(uc_struct *uc, std::uint32_t address, std::uint32_t size, std::uint32_t protection)
{
    const uc_err err = uc_mem_map_ptr(uc, address, size, protection, host_ + (address - base_));
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string("cannot map DRAM: ") + uc_strerror(err));
}

// The host pages ever touched: the only ones that can hold anything.
std::vector<unsigned char> Dram::resident() const
{
    std::vector<unsigned char> pages(size_ / host_page_);
    if (::mincore(host_, size_, pages.data()) != 0)
        std::fill(pages.begin(), pages.end(), 1);  // look at every page instead
    return pages;
}

DramPages Dram::snapshot()
{
    const std::vector<unsigned char> touched = resident();
    const std::uint32_t per_host_page = static_cast<std::uint32_t>(host_page_ / dram_page_size);
    DramPages pages;
    auto previous = last_.begin();
    for (std::size_t host_page = 0; host_page < touched.size(); host_page++) {
        if (!(touched[host_page] & 1))
            continue;
        for (std::uint32_t index = static_cast<std::uint32_t>(host_page) * per_host_page,
                           end = index + per_host_page;
             index < end; index++) {
            const std::uint8_t *bytes = page(index);
            while (previous != last_.end() && previous->index < index)
                ++previous;
            if (previous != last_.end() && previous->index == index &&
                std::memcmp(previous->bytes->data(), bytes, dram_page_size) == 0) {
                pages.push_back(*previous);
                continue;
            }
            if (all_zero(bytes))
                continue;
            auto copy = std::make_shared<std::array<std::uint8_t, dram_page_size>>();
            std::memcpy(copy->data(), bytes, dram_page_size);
            pages.push_back(DramPage{index, std::move(copy)});
        }
    }
    last_ = pages;
    return pages;
}

std::vector<std::uint32_t> Dram::restore(const DramPages &pages)
{
    const std::vector<unsigned char> touched = resident();
    const std::uint32_t per_host_page = static_cast<std::uint32_t>(host_page_ / dram_page_size);
    auto next = pages.begin();
    std::size_t released_from = 0, released = 0;  // a run of host pages to give back
    std::vector<std::uint32_t> changed;
    for (std::size_t host_page = 0; host_page < touched.size(); host_page++) {
        const std::uint32_t first = static_cast<std::uint32_t>(host_page) * per_host_page;
        const bool held = next != pages.end() && next->index < first + per_host_page;
        if (!held && (touched[host_page] & 1)) {
            if (released_from + released != host_page) {
                release(released_from, released);
                released_from = host_page, released = 0;
            }
            released++;
            for (std::uint32_t index = first; index < first + per_host_page; index++)
                changed.push_back(index);
            continue;
        }
        if (!held)
            continue;
        for (std::uint32_t index = first; index < first + per_host_page; index++) {
            const std::uint8_t *bytes = next != pages.end() && next->index == index ? (next++)->bytes->data() : nullptr;
            if (bytes ? std::memcmp(page(index), bytes, dram_page_size) == 0 : all_zero(page(index)))
                continue;
            changed.push_back(index);
            if (bytes)
                std::memcpy(page(index), bytes, dram_page_size);
            else
                std::memset(page(index), 0, dram_page_size);
        }
    }
    release(released_from, released);
    last_ = pages;
    return changed;
}

// Anonymous private pages read as zeros once given back.
void Dram::release(std::size_t first_host_page, std::size_t host_pages)
{
    if (host_pages && ::madvise(host_ + first_host_page * host_page_, host_pages * host_page_, MADV_DONTNEED) != 0)
        std::memset(host_ + first_host_page * host_page_, 0, host_pages * host_page_);
}

}  // namespace kelto::sim
