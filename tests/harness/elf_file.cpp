#include "elf_file.hpp"

#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kelto::test {

namespace {

constexpr unsigned SHT_ARM_ATTRIBUTES_TYPE = 0x70000003;

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what);
}

class Reader {
public:
    Reader(const std::uint8_t *begin, const std::uint8_t *end) : at_(begin), end_(end) {}

    bool done() const { return at_ >= end_; }
    const std::uint8_t *position() const { return at_; }

    std::uint32_t word()
    {
        need(4);
        const std::uint32_t value = at_[0] | (at_[1] << 8) | (at_[2] << 16) | (std::uint32_t{at_[3]} << 24);
        at_ += 4;
        return value;
    }

    std::uint32_t uleb()
    {
        std::uint32_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            need(1);
            const std::uint8_t byte = *at_++;
            if (shift < 32)
                value |= std::uint32_t{byte & 0x7Fu} << shift;
            if (!(byte & 0x80))
                return value;
        }
    }

    std::string text()
    {
        const std::uint8_t *zero = std::find(at_, end_, 0);
        if (zero == end_)
            fail("unterminated string in .ARM.attributes");
        std::string value(at_, zero);
        at_ = zero + 1;
        return value;
    }

private:
    void need(std::size_t count) const
    {
        if (static_cast<std::size_t>(end_ - at_) < count)
            fail("truncated .ARM.attributes");
    }

    const std::uint8_t *at_;
    const std::uint8_t *end_;
};

// The ABI gives the value type of a tag by its number: strings for a few
// named tags and for odd tags from 32 on, ULEB128 numbers for the rest.
bool tag_takes_text(unsigned tag)
{
    if (tag == 4 || tag == 5 || tag == 67)
        return true;
    return tag > 32 && tag % 2 == 1;
}

}  // namespace

ArmAttributes parse_arm_attributes(const std::vector<std::uint8_t> &section)
{
    ArmAttributes attributes;
    if (section.empty() || section[0] != 'A')
        fail(".ARM.attributes does not start with format version 'A'");
    Reader outer(section.data() + 1, section.data() + section.size());
    while (!outer.done()) {
        const std::uint8_t *start = outer.position();
        const std::uint32_t length = outer.word();
        if (length < 4 || length > static_cast<std::size_t>(section.data() + section.size() - start))
            fail("bad vendor subsection length in .ARM.attributes");
        Reader vendor(outer.position(), start + length);
        const std::string name = vendor.text();
        while (name == "aeabi" && !vendor.done()) {
            const std::uint8_t *sub_start = vendor.position();
            const std::uint32_t scope = vendor.uleb();
            const std::uint32_t size = vendor.word();
            if (size < 5 || size > static_cast<std::size_t>(start + length - sub_start))
                fail("bad attribute subsection length in .ARM.attributes");
            Reader tags(vendor.position(), sub_start + size);
            while (scope == 1 && !tags.done()) {
                const unsigned tag = tags.uleb();
                if (tag == 32) {  // Tag_compatibility: a flag, then a vendor name
                    attributes.numbers[tag] = tags.uleb();
                    attributes.texts[tag] = tags.text();
                } else if (tag_takes_text(tag)) {
                    attributes.texts[tag] = tags.text();
                } else {
                    attributes.numbers[tag] = tags.uleb();
                }
            }
            vendor = Reader(sub_start + size, start + length);
        }
        outer = Reader(start + length, section.data() + section.size());
    }
    return attributes;
}

ElfFile ElfFile::read(const std::string &path)
{
    if (elf_version(EV_CURRENT) == EV_NONE)
        fail("libelf is unusable");
    ElfFile file;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            fail(path + ": cannot open");
        file.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    Elf *elf = elf_memory(reinterpret_cast<char *>(file.bytes.data()), file.bytes.size());
    if (!elf || elf_kind(elf) != ELF_K_ELF) {
        if (elf)
            elf_end(elf);
        fail(path + ": not an ELF file");
    }
    struct Closer {
        Elf *elf;
        ~Closer() { elf_end(elf); }
    } closer{elf};

    GElf_Ehdr ehdr;
    if (!gelf_getehdr(elf, &ehdr))
        fail(path + ": " + elf_errmsg(-1));
    file.elf_class = ehdr.e_ident[EI_CLASS];
    file.data_encoding = ehdr.e_ident[EI_DATA];
    file.type = ehdr.e_type;
    file.machine = ehdr.e_machine;
    file.flags = ehdr.e_flags;
    file.entry = static_cast<std::uint32_t>(ehdr.e_entry);

    std::size_t phnum = 0;
    elf_getphdrnum(elf, &phnum);
    for (std::size_t i = 0; i < phnum; i++) {
        GElf_Phdr phdr;
        if (!gelf_getphdr(elf, static_cast<int>(i), &phdr))
            fail(path + ": bad program header");
        file.programs.push_back(ElfProgramHeader{phdr.p_type, phdr.p_flags, static_cast<std::uint32_t>(phdr.p_vaddr),
                                                 static_cast<std::uint32_t>(phdr.p_filesz),
                                                 static_cast<std::uint32_t>(phdr.p_memsz)});
    }

    std::size_t shstrndx = 0;
    elf_getshdrstrndx(elf, &shstrndx);
    Elf_Scn *scn = nullptr;
    while ((scn = elf_nextscn(elf, scn)) != nullptr) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr))
            fail(path + ": bad section header");
        const char *name = elf_strptr(elf, shstrndx, shdr.sh_name);
        file.sections.push_back(ElfSection{name ? name : "", shdr.sh_type, static_cast<std::uint32_t>(shdr.sh_flags),
                                           static_cast<std::uint32_t>(shdr.sh_addr),
                                           static_cast<std::uint32_t>(shdr.sh_size)});
        if (shdr.sh_type == SHT_ARM_ATTRIBUTES_TYPE) {
            if (shdr.sh_offset + shdr.sh_size > file.bytes.size())
                fail(path + ": .ARM.attributes lies outside the file");
            const auto first = file.bytes.begin() + static_cast<std::ptrdiff_t>(shdr.sh_offset);
            file.attributes =
                parse_arm_attributes(std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(shdr.sh_size)));
        }
        if (shdr.sh_type != SHT_SYMTAB)
            continue;
        Elf_Data *data = elf_getdata(scn, nullptr);
        const std::size_t count = shdr.sh_entsize ? shdr.sh_size / shdr.sh_entsize : 0;
        for (std::size_t i = 1; data && i < count; i++) {
            GElf_Sym sym;
            if (!gelf_getsym(data, static_cast<int>(i), &sym))
                continue;
            const char *symbol_name = elf_strptr(elf, shdr.sh_link, sym.st_name);
            file.symbols.push_back(ElfSymbol{symbol_name ? symbol_name : "", static_cast<std::uint32_t>(sym.st_value),
                                             static_cast<std::uint32_t>(sym.st_size), static_cast<unsigned>(GELF_ST_TYPE(sym.st_info)),
                                             static_cast<unsigned>(GELF_ST_BIND(sym.st_info)), sym.st_shndx != SHN_UNDEF});
        }
    }
    return file;
}

std::optional<ElfSection> ElfFile::section(const std::string &name) const
{
    for (const ElfSection &section : sections)
        if (section.name == name)
            return section;
    return std::nullopt;
}

std::optional<ElfSymbol> ElfFile::symbol(const std::string &name) const
{
    std::optional<ElfSymbol> local;
    for (const ElfSymbol &symbol : symbols) {
        if (symbol.name != name)
            continue;
        if (symbol.bind != STB_LOCAL)
            return symbol;
        local = symbol;
    }
    return local;
}

bool ElfFile::contains(const std::string &text) const
{
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

}  // namespace kelto::test
