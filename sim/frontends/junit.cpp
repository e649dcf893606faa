#include "frontends/junit.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace kelto::sim::frontend {

namespace {

std::string attribute(const char *name, std::string_view value)
{
    return std::string(" ") + name + "=\"" + xml_text(value) + "\"";
}

std::string decimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

// The first line of the failure's message, without keltosim's prefix.
std::string headline(const ScenarioResult &result)
{
    std::string_view notes = result.notes;
    if (notes.starts_with("keltosim: "))
        notes.remove_prefix(10);
    notes = notes.substr(0, notes.find('\n'));
    return notes.empty() ? "exit status " + std::to_string(result.status) : std::string(notes);
}

std::string testcase(const std::string &image, const ScenarioResult &result)
{
    std::string xml = "  <testcase" + attribute("classname", image) + attribute("name", result.name) +
                      attribute("time", decimal(result.host_seconds)) + ">\n" +
                      "    <properties><property name=\"board_time\"" +
                      attribute("value", decimal(result.board_seconds)) + "/></properties>\n";
    if (!result.passed()) {
        xml += "    <failure" + attribute("message", headline(result)) +
               attribute("type", "exit status " + std::to_string(result.status)) + ">" +
               xml_text(result.recent_output) + "</failure>\n";
        xml += "    <system-err>" + xml_text(result.notes) + "</system-err>\n";
    }
    return xml + "  </testcase>\n";
}

}  // namespace

std::string xml_text(std::string_view bytes)
{
    // Tab and line ends as references too, so that attribute values keep them.
    static constexpr std::pair<char, std::string_view> references[] = {
        {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"},  {'"', "&quot;"},
        {'\'', "&apos;"}, {'\t', "&#9;"}, {'\n', "&#10;"}, {'\r', "&#13;"},
    };
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const auto *reference = std::find_if(std::begin(references), std::end(references),
                                             [c](const auto &entry) { return entry.first == c; });
        if (reference != std::end(references))
            text += reference->second;
        else if (byte < 0x20)
            text += {'\\', 'x', hex[byte >> 4], hex[byte & 0xF]};
        else if (byte >= 0x80)
            text += {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
        else
            text += c;
    }
    return text;
}

void write_junit(const std::string &path, const std::string &image, const std::vector<ScenarioResult> &results,
                 double host_seconds)
{
    const auto failures =
        std::count_if(results.begin(), results.end(), [](const ScenarioResult &r) { return !r.passed(); });
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n<testsuite" << attribute("name", image)
            << attribute("tests", std::to_string(results.size())) << attribute("failures", std::to_string(failures))
            << " errors=\"0\" skipped=\"0\"" << attribute("time", decimal(host_seconds)) << ">\n";
        for (const ScenarioResult &result : results)
            out << testcase(image, result);
        out << "</testsuite>\n</testsuites>\n";
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write the JUnit report " + temporary + ": " + std::strerror(errno));
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error)
        throw std::runtime_error("cannot write the JUnit report " + path + ": " + error.message());
}

}  // namespace kelto::sim::frontend
