#include "core/elf_image.hpp"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "core/state.hpp"

namespace kelto::sim {

namespace {

struct ElfFile {
    int fd = -1;
    Elf *elf = nullptr;
    ~ElfFile()
    {
        if (elf)
            elf_end(elf);
        if (fd >= 0)
            close(fd);
    }
};

[[noreturn]] void fail(const std::string &path, const std::string &why)
{
    throw std::runtime_error(path + ": " + why);
}

// The build writes a raw binary beside each image, a name away from the
// image itself; the loader needs the ELF form for its segments and symbols.
std::string not_elf_reason(const std::string &path)
{
    constexpr std::string_view raw_suffix = ".bin";
    if (path.size() > raw_suffix.size() && path.ends_with(raw_suffix))
        return "not an ELF file but a raw binary; run the ELF image beside it, " +
               path.substr(0, path.size() - raw_suffix.size());
    return "not an ELF file";
}

}  // namespace

ElfImage ElfImage::load(const std::string &path)
{
    // Once, however many threads load boards: the set-up writes libelf's
    // global state.
    static const bool usable = elf_version(EV_CURRENT) != EV_NONE;
    if (!usable)
        fail(path, "libelf is unusable");

    ElfFile file;
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0)
        fail(path, std::string("cannot open the image: ") + std::strerror(errno));
    struct stat status {};
    if (fstat(file.fd, &status) == 0 && S_ISDIR(status.st_mode))
        fail(path, "is a directory, not an image file");
    file.elf = elf_begin(file.fd, ELF_C_READ, nullptr);
    if (!file.elf || elf_kind(file.elf) != ELF_K_ELF)
        fail(path, not_elf_reason(path));

    GElf_Ehdr ehdr;
    if (!gelf_getehdr(file.elf, &ehdr))
        fail(path, elf_errmsg(-1));
    if (ehdr.e_ident[EI_CLASS] != ELFCLASS32 || ehdr.e_ident[EI_DATA] != ELFDATA2LSB || ehdr.e_machine != EM_ARM)
        fail(path, "not a 32-bit little-endian ARM image");
    if (ehdr.e_type != ET_EXEC)
        fail(path, "not an executable image (a relocatable module must be linked first)");

    ElfImage image;
    image.path_ = path;
    image.entry_ = static_cast<std::uint32_t>(ehdr.e_entry);

    std::size_t phnum = 0;
    elf_getphdrnum(file.elf, &phnum);
    std::size_t file_size = 0;
    const char *raw = elf_rawfile(file.elf, &file_size);
    image.fingerprint_ = fnv1a64({reinterpret_cast<const std::uint8_t *>(raw), raw ? file_size : 0});
    for (std::size_t i = 0; i < phnum; i++) {
        GElf_Phdr phdr;
        if (!gelf_getphdr(file.elf, static_cast<int>(i), &phdr) || phdr.p_type != PT_LOAD || phdr.p_memsz == 0)
            continue;
        if (phdr.p_offset + phdr.p_filesz > file_size || phdr.p_filesz > phdr.p_memsz)
            fail(path, "a loadable segment lies outside the file");
        Segment segment;
        segment.address = static_cast<std::uint32_t>(phdr.p_vaddr);
        segment.memory_size = static_cast<std::uint32_t>(phdr.p_memsz);
        segment.bytes.assign(raw + phdr.p_offset, raw + phdr.p_offset + phdr.p_filesz);
        segment.writable = (phdr.p_flags & PF_W) != 0;
        image.segments_.push_back(std::move(segment));
    }
    if (image.segments_.empty())
        fail(path, "no loadable segment");

    Elf_Scn *scn = nullptr;
    while ((scn = elf_nextscn(file.elf, scn)) != nullptr) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr) || shdr.sh_type != SHT_SYMTAB)
            continue;
        Elf_Data *data = elf_getdata(scn, nullptr);
        const std::size_t count = shdr.sh_entsize ? shdr.sh_size / shdr.sh_entsize : 0;
        for (std::size_t i = 0; data && i < count; i++) {
            GElf_Sym sym;
            if (!gelf_getsym(data, static_cast<int>(i), &sym))
                continue;
            const int type = GELF_ST_TYPE(sym.st_info);
            if ((type != STT_FUNC && type != STT_OBJECT) || sym.st_shndx == SHN_UNDEF)
                continue;
            const char *name = elf_strptr(file.elf, shdr.sh_link, sym.st_name);
            if (!name || !*name)
                continue;
            Symbol symbol{name, static_cast<std::uint32_t>(sym.st_value & ~1ull), static_cast<std::uint32_t>(sym.st_size),
                          type == STT_FUNC, GELF_ST_BIND(sym.st_info) != STB_LOCAL};
            // A global definition wins over a file-local one of the same name.
            auto found = image.by_name_.find(symbol.name);
            if (found == image.by_name_.end()) {
                image.by_name_.emplace(symbol.name, image.symbols_.size());
                image.symbols_.push_back(std::move(symbol));
            } else if (symbol.global && !image.symbols_[found->second].global) {
                image.symbols_[found->second] = std::move(symbol);
            }
        }
    }
    return image;
}

std::optional<Symbol> ElfImage::find(const std::string &name) const
{
    auto found = by_name_.find(name);
    if (found == by_name_.end())
        return std::nullopt;
    return symbols_[found->second];
}

std::optional<Symbol> ElfImage::covering(std::uint32_t address) const
{
    for (const Symbol &symbol : symbols_) {
        if (address >= symbol.address && address - symbol.address < std::max<std::uint32_t>(symbol.size, 1))
            return symbol;
    }
    return std::nullopt;
}

std::uint32_t ElfImage::link_address() const
{
    std::uint32_t lowest = segments_.front().address;
    for (const Segment &segment : segments_)
        lowest = std::min(lowest, segment.address);
    return lowest;
}

}  // namespace kelto::sim
