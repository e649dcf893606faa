#include "core/line_table.hpp"

#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

namespace kelto::sim {

namespace {

struct DwarfFile {
    int fd = -1;
    Dwarf *dwarf = nullptr;
    ~DwarfFile()
    {
        if (dwarf)
            dwarf_end(dwarf);
        if (fd >= 0)
            close(fd);
    }
};

struct Row {
    std::uint32_t address;
    std::uint32_t file;
    std::uint32_t line;
    bool end_sequence;
};

// $a, $t, $d, alone or with a suffix ("$d.1").
std::optional<CodeState> mapping_state(const char *name)
{
    if (!name || name[0] != '$' || (name[2] != '\0' && name[2] != '.'))
        return std::nullopt;
    switch (name[1]) {
    case 'a': return CodeState::arm;
    case 't': return CodeState::thumb;
    case 'd': return CodeState::data;
    default: return std::nullopt;
    }
}

std::vector<std::pair<std::uint32_t, CodeState>> read_mapping_symbols(Elf *elf)
{
    std::vector<std::pair<std::uint32_t, CodeState>> states;
    Elf_Scn *scn = nullptr;
    while ((scn = elf_nextscn(elf, scn)) != nullptr) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr) || shdr.sh_type != SHT_SYMTAB || shdr.sh_entsize == 0)
            continue;
        Elf_Data *data = elf_getdata(scn, nullptr);
        const std::size_t count = std::min(shdr.sh_size / shdr.sh_entsize, LineTable::max_rows);
        for (std::size_t i = 0; data && i < count; i++) {
            GElf_Sym sym;
            if (!gelf_getsym(data, static_cast<int>(i), &sym) || sym.st_shndx == SHN_UNDEF)
                continue;
            if (const auto state = mapping_state(elf_strptr(elf, shdr.sh_link, sym.st_name)))
                states.emplace_back(static_cast<std::uint32_t>(sym.st_value), *state);
        }
    }
    std::sort(states.begin(), states.end());
    return states;
}

}  // namespace

LineTable LineTable::load(const std::string &path)
{
    LineTable table;
    DwarfFile file;
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0)
        throw std::runtime_error(path + ": " + std::strerror(errno));
    file.dwarf = dwarf_begin(file.fd, DWARF_C_READ);
    if (!file.dwarf)
        return table;  // no debug information
    if (Elf *elf = dwarf_getelf(file.dwarf))
        table.states_ = read_mapping_symbols(elf);

    std::map<std::string, std::uint32_t> file_index;
    std::vector<Row> rows;
    Dwarf_Off offset = 0, next = 0;
    std::size_t header_size = 0;
    while (dwarf_nextcu(file.dwarf, offset, &next, &header_size, nullptr, nullptr, nullptr) == 0) {
        Dwarf_Die unit;
        Dwarf_Lines *lines = nullptr;
        std::size_t count = 0;
        if (dwarf_offdie(file.dwarf, offset + header_size, &unit) && dwarf_getsrclines(&unit, &lines, &count) == 0) {
            for (std::size_t i = 0; i < count && rows.size() < max_rows; i++) {
                Dwarf_Line *line = dwarf_onesrcline(lines, i);
                Dwarf_Addr address = 0;
                int number = 0;
                bool end = false;
                const char *name = line ? dwarf_linesrc(line, nullptr, nullptr) : nullptr;
                if (!name || dwarf_lineaddr(line, &address) != 0 || dwarf_lineno(line, &number) != 0 ||
                    dwarf_lineendsequence(line, &end) != 0)
                    continue;
                const auto [at, added] = file_index.emplace(name, static_cast<std::uint32_t>(table.files_.size()));
                if (added)
                    table.files_.emplace_back(name);
                rows.push_back(Row{static_cast<std::uint32_t>(address), at->second,
                                   static_cast<std::uint32_t>(std::max(number, 0)), end});
            }
        }
        offset = next;
    }
    // Each sequence is in address order; sequences follow each other in any,
    // and one may start where another ends.
    std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
        return a.address != b.address ? a.address < b.address : a.end_sequence > b.end_sequence;
    });
    for (std::size_t i = 0; i + 1 < rows.size(); i++) {
        const Row &row = rows[i];
        if (row.end_sequence || row.line == 0 || rows[i + 1].address <= row.address)
            continue;
        table.ranges_.push_back(LineRange{row.address, rows[i + 1].address, row.file, row.line});
    }
    return table;
}

CodeState LineTable::state_at(std::uint32_t address) const
{
    auto after = std::upper_bound(states_.begin(), states_.end(), address,
                                  [](std::uint32_t at, const auto &state) { return at < state.first; });
    return after == states_.begin() ? CodeState::arm : std::prev(after)->second;
}

}  // namespace kelto::sim
