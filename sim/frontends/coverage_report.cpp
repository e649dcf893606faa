#include "frontends/coverage_report.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kelto::sim::frontend {

namespace {

using boost::property_tree::ptree;

void add_branches(std::vector<std::optional<std::uint64_t>> &into, const std::vector<std::optional<std::uint64_t>> &from)
{
    if (into.size() < from.size())
        into.resize(from.size());
    for (std::size_t i = 0; i < from.size(); i++)
        if (from[i])
            into[i] = into[i].value_or(0) + *from[i];
}

struct Totals {
    std::uint64_t lines = 0, lines_hit = 0, branches = 0, branches_hit = 0, functions = 0, functions_hit = 0;
    void add(const FileCoverage &file)
    {
        for (const auto &[number, line] : file.lines) {
            lines++;
            lines_hit += line.hits > 0;
            for (const auto &branch : line.branches) {
                branches++;
                branches_hit += branch.value_or(0) > 0;
            }
        }
        for (const auto &[name, function] : file.functions) {
            functions++;
            functions_hit += function.calls > 0;
        }
    }
};

// An element's children, none where it is missing.
const ptree &children(const ptree &tree, const char *path)
{
    static const ptree none;
    const auto found = tree.get_child_optional(path);
    return found ? *found : none;
}

std::string rate(std::uint64_t hit, std::uint64_t total)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", total ? static_cast<double>(hit) / static_cast<double>(total) : 1.0);
    return text;
}

std::uint64_t number(const std::string &text, const std::string &line)
{
    std::size_t used = 0;
    try {
        const std::uint64_t value = std::stoull(text, &used);
        if (used == text.size() && !text.empty() && text[0] != '-')
            return value;
    } catch (const std::logic_error &) {
    }
    throw std::runtime_error("not a coverage record: '" + line + "'");
}

std::vector<std::string> fields(const std::string &text, std::size_t count)
{
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (parts.size() + 1 < count) {
        const std::size_t comma = text.find(',', from);
        if (comma == std::string::npos)
            break;
        parts.push_back(text.substr(from, comma - from));
        from = comma + 1;
    }
    parts.push_back(text.substr(from));
    return parts;
}

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The deepest directory holding every file: Cobertura names files from it.
std::string common_directory(const CoverageReport &report)
{
    std::optional<std::string> common;
    for (const auto &[path, file] : report.files) {
        std::string directory = directory_of(path);
        if (!common) {
            common = directory;
            continue;
        }
        while (!common->empty() && directory.compare(0, common->size() + 1, *common + "/") != 0 &&
               directory != *common)
            *common = directory_of(*common);
    }
    return common.value_or("");
}

void read_whole(int fd, std::string &text)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
        if (n == 0)
            return;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// Holds the file's lock; a writer that renamed a new file over the one
// locked makes the lock worthless, so the file is opened again until the
// one locked is the one at the path.
struct LockedFile {
    int fd = -1;
    explicit LockedFile(const std::string &path)
    {
        for (;;) {
            fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0)
                throw std::runtime_error(path + ": " + std::strerror(errno));
            struct stat locked {}, named {};
            if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &locked) == 0 && ::stat(path.c_str(), &named) == 0 &&
                locked.st_ino == named.st_ino && locked.st_dev == named.st_dev)
                return;
            ::close(fd);
        }
    }
    ~LockedFile() { ::close(fd); }
    LockedFile(const LockedFile &) = delete;
    LockedFile &operator=(const LockedFile &) = delete;
};

}  // namespace

void CoverageReport::merge(const CoverageReport &other)
{
    for (const auto &[path, from] : other.files) {
        FileCoverage &into = files[path];
        for (const auto &[number, line] : from.lines) {
            LineCoverage &merged = into.lines[number];
            merged.hits += line.hits;
            add_branches(merged.branches, line.branches);
        }
        for (const auto &[name, function] : from.functions) {
            FunctionCoverage &merged = into.functions[name];
            merged.line = function.line;
            merged.calls += function.calls;
        }
    }
}

std::string to_lcov(const CoverageReport &report)
{
    std::ostringstream out;
    for (const auto &[path, file] : report.files) {
        Totals totals;
        totals.add(file);
        out << "TN:\nSF:" << path << '\n';
        for (const auto &[name, function] : file.functions)
            out << "FN:" << function.line << ',' << name << '\n';
        for (const auto &[name, function] : file.functions)
            out << "FNDA:" << function.calls << ',' << name << '\n';
        out << "FNF:" << totals.functions << "\nFNH:" << totals.functions_hit << '\n';
        for (const auto &[number, line] : file.lines) {
            for (std::size_t i = 0; i < line.branches.size(); i++) {
                out << "BRDA:" << number << ',' << i / 2 << ',' << i % 2 << ',';
                if (line.branches[i])
                    out << *line.branches[i] << '\n';
                else
                    out << "-\n";
            }
        }
        out << "BRF:" << totals.branches << "\nBRH:" << totals.branches_hit << '\n';
        for (const auto &[number, line] : file.lines)
            out << "DA:" << number << ',' << line.hits << '\n';
        out << "LF:" << totals.lines << "\nLH:" << totals.lines_hit << "\nend_of_record\n";
    }
    return out.str();
}

CoverageReport from_lcov(const std::string &text)
{
    CoverageReport report;
    FileCoverage *file = nullptr;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::size_t colon = line.find(':');
        const std::string key = line.substr(0, colon);
        const std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
        if (key == "SF") {
            file = &report.files[value];
            continue;
        }
        if (key != "DA" && key != "BRDA" && key != "FN" && key != "FNDA")
            continue;
        if (!file)
            throw std::runtime_error("a record before its source file: '" + line + "'");
        if (key == "DA") {
            const auto parts = fields(value, 3);
            if (parts.size() < 2)
                throw std::runtime_error("not a coverage record: '" + line + "'");
            file->lines[static_cast<std::uint32_t>(number(parts[0], line))].hits += number(parts[1], line);
        } else if (key == "BRDA") {
            const auto parts = fields(value, 4);
            if (parts.size() != 4)
                throw std::runtime_error("not a coverage record: '" + line + "'");
            const std::uint64_t index = number(parts[1], line) * 2 + number(parts[2], line);
            if (index >= 1024)
                throw std::runtime_error("too many branches on one line: '" + line + "'");
            std::vector<std::optional<std::uint64_t>> branch(index + 1);
            if (parts[3] != "-")
                branch[index] = number(parts[3], line);
            add_branches(file->lines[static_cast<std::uint32_t>(number(parts[0], line))].branches, branch);
        } else {
            const auto parts = fields(value, 2);
            if (parts.size() != 2)
                throw std::runtime_error("not a coverage record: '" + line + "'");
            if (key == "FN")
                file->functions[parts[1]].line = static_cast<std::uint32_t>(number(parts[0], line));
            else
                file->functions[parts[1]].calls += number(parts[0], line);
        }
    }
    return report;
}

std::string to_cobertura(const CoverageReport &report)
{
    const std::string root = common_directory(report);
    Totals all;
    std::map<std::string, std::vector<const decltype(report.files)::value_type *>> packages;
    for (const auto &entry : report.files) {
        all.add(entry.second);
        const std::string relative = root.empty() ? entry.first : entry.first.substr(root.size() + 1);
        packages[directory_of(relative)].push_back(&entry);
    }
    ptree coverage;
    coverage.put("<xmlattr>.line-rate", rate(all.lines_hit, all.lines));
    coverage.put("<xmlattr>.branch-rate", rate(all.branches_hit, all.branches));
    coverage.put("<xmlattr>.lines-covered", all.lines_hit);
    coverage.put("<xmlattr>.lines-valid", all.lines);
    coverage.put("<xmlattr>.branches-covered", all.branches_hit);
    coverage.put("<xmlattr>.branches-valid", all.branches);
    coverage.put("<xmlattr>.complexity", 0);
    coverage.put("<xmlattr>.version", "keltosim");
    coverage.put("<xmlattr>.timestamp", 0);
    coverage.add("sources.source", root.empty() ? "." : root);
    ptree &package_list = coverage.add("packages", "");
    for (const auto &[directory, files] : packages) {
        Totals in_package;
        ptree &package = package_list.add("package", "");
        std::string name = directory;
        std::replace(name.begin(), name.end(), '/', '.');
        package.put("<xmlattr>.name", name);
        ptree &classes = package.add("classes", "");
        for (const auto *entry : files) {
            const auto &[path, file] = *entry;
            Totals totals;
            totals.add(file);
            in_package.add(file);
            const std::string relative = root.empty() ? path : path.substr(root.size() + 1);
            ptree &type = classes.add("class", "");
            type.put("<xmlattr>.name", relative.substr(relative.rfind('/') + 1));
            type.put("<xmlattr>.filename", relative);
            type.put("<xmlattr>.line-rate", rate(totals.lines_hit, totals.lines));
            type.put("<xmlattr>.branch-rate", rate(totals.branches_hit, totals.branches));
            type.put("<xmlattr>.complexity", 0);
            type.add("methods", "");
            ptree &lines = type.add("lines", "");
            for (const auto &[number, line] : file.lines) {
                ptree &entry_line = lines.add("line", "");
                entry_line.put("<xmlattr>.number", number);
                entry_line.put("<xmlattr>.hits", line.hits);
                entry_line.put("<xmlattr>.branch", line.branches.empty() ? "false" : "true");
                if (line.branches.empty())
                    continue;
                std::size_t seen = 0;
                for (const auto &branch : line.branches)
                    seen += branch.value_or(0) > 0;
                const std::size_t total = line.branches.size();
                entry_line.put("<xmlattr>.condition-coverage", std::to_string(seen * 100 / total) + "% (" +
                                                                   std::to_string(seen) + "/" +
                                                                   std::to_string(total) + ")");
                // One condition per outcome, so that a merge knows which were seen.
                ptree &conditions = entry_line.add("conditions", "");
                for (std::size_t i = 0; i < total; i++) {
                    ptree &condition = conditions.add("condition", "");
                    condition.put("<xmlattr>.number", i);
                    condition.put("<xmlattr>.type", "jump");
                    condition.put("<xmlattr>.coverage", line.branches[i].value_or(0) > 0 ? "100%" : "0%");
                }
            }
        }
        package.put("<xmlattr>.line-rate", rate(in_package.lines_hit, in_package.lines));
        package.put("<xmlattr>.branch-rate", rate(in_package.branches_hit, in_package.branches));
        package.put("<xmlattr>.complexity", 0);
    }
    ptree document;
    document.add_child("coverage", coverage);
    std::ostringstream out;
    boost::property_tree::write_xml(out, document, boost::property_tree::xml_writer_make_settings<std::string>(' ', 1));
    return out.str();
}

CoverageReport from_cobertura(const std::string &text)
{
    CoverageReport report;
    ptree document;
    std::istringstream in(text);
    try {
        boost::property_tree::read_xml(in, document);
        const ptree &coverage = document.get_child("coverage");
        const std::string root = coverage.get<std::string>("sources.source", ".");
        for (const auto &[tag, package] : children(coverage, "packages")) {
            for (const auto &[class_tag, type] : children(package, "classes")) {
                const std::string name = type.get<std::string>("<xmlattr>.filename");
                FileCoverage &file = report.files[root == "." ? name : std::string(root).append("/").append(name)];
                for (const auto &[line_tag, line] : children(type, "lines")) {
                    LineCoverage &into = file.lines[line.get<std::uint32_t>("<xmlattr>.number")];
                    into.hits += line.get<std::uint64_t>("<xmlattr>.hits");
                    std::vector<std::optional<std::uint64_t>> seen;
                    for (const auto &[condition_tag, condition] : children(line, "conditions")) {
                        const auto index = condition.get<std::size_t>("<xmlattr>.number");
                        if (index >= 1024)
                            throw std::runtime_error("too many conditions on one line");
                        seen.resize(std::max(seen.size(), index + 1));
                        seen[index] = condition.get<std::string>("<xmlattr>.coverage") == "0%" ? 0 : 1;
                    }
                    add_branches(into.branches, seen);
                }
            }
        }
    } catch (const boost::property_tree::ptree_error &error) {
        throw std::runtime_error(std::string("not a Cobertura report: ") + error.what());
    }
    return report;
}

void merge_into_file(const std::string &path, const CoverageReport &report, CoverageFormat format)
{
    const LockedFile file(path);
    std::string old_text;
    read_whole(file.fd, old_text);
    CoverageReport merged = report;
    if (!old_text.empty())
        merged.merge(format == CoverageFormat::lcov ? from_lcov(old_text) : from_cobertura(old_text));
    const std::string text = format == CoverageFormat::lcov ? to_lcov(merged) : to_cobertura(merged);
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            throw std::runtime_error(path + ": cannot write the coverage report");
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        std::remove(temporary.c_str());
        throw std::runtime_error(path + ": " + why);
    }
}

}  // namespace kelto::sim::frontend
