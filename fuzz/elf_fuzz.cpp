// The image loader on any bytes: ElfImage::load and Machine::load either
// load the image or throw std::runtime_error with the reason. The bytes go
// to a memory-backed file, as the loaders read a path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/elf_image.hpp"
#include "fuzz_target.hpp"
#include "machine/machine.hpp"

using namespace kelto::sim;

namespace {

// One file for the whole run, rewritten for each input.
int image_file()
{
    static const int fd = ::memfd_create("fuzz-image", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    return fd;
}

void write_image(const std::uint8_t *data, std::size_t size)
{
    const int fd = image_file();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    write_image(data, size);
    const std::string path = "/proc/self/fd/" + std::to_string(image_file());
    try {
        const ElfImage image = ElfImage::load(path);
        for (const Segment &segment : image.segments())
            if (segment.bytes.size() > segment.memory_size)
                std::abort();
        image.covering(image.entry());
        Machine::load(path);
    } catch (const std::runtime_error &) {
    }
    return 0;
}
