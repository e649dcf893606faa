#include "harness.hpp"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <cstring>

#include "frontends/coverage.hpp"

namespace kelto::test {

namespace {

// With KELTO_COVERAGE=FILE every machine a test loads adds what it ran to
// FILE when the test program ends (make coverage).
struct CoverageOfTests {
    std::vector<std::unique_ptr<sim::frontend::Coverage>> machines;
    void watch(Machine &machine)
    {
        if (std::getenv("KELTO_COVERAGE"))
            machines.push_back(std::make_unique<sim::frontend::Coverage>(machine, KELTO_SOURCE_DIR));
    }
    ~CoverageOfTests()
    {
        sim::frontend::CoverageReport all;
        for (const auto &machine : machines)
            all.merge(machine->report());
        if (!machines.empty())
            sim::frontend::merge_into_file(std::getenv("KELTO_COVERAGE"), all, sim::frontend::CoverageFormat::lcov);
    }
} coverage_of_tests;

}  // namespace

std::string image_path(std::string_view name)
{
    return std::string(KELTO_IMAGE_DIR) + "/" + std::string(name);
}

std::unique_ptr<Machine> load(std::string_view image, std::optional<int> board)
{
    Machine::Options options;
    options.board = board;
    try {
        auto machine = Machine::load(image_path(image), options);
        coverage_of_tests.watch(*machine);
        return machine;
    } catch (const std::exception &error) {
        ADD_FAILURE() << "cannot load " << image << ": " << error.what();
        throw;
    }
}

std::string describe(const RunResult &result)
{
    std::string text = sim::stop_reason_name(result.reason);
    if (!result.message.empty())
        text += ": " + result.message;
    return text;
}

RunResult run_until_text(Machine &machine, const std::string &text, double max_seconds)
{
    RunLimits limits;
    limits.until_output = text;
    limits.seconds = max_seconds;
    limits.until_waiting = false;
    const std::size_t before = machine.console_output().size();
    RunResult result = machine.run(limits);
    EXPECT_EQ(result.reason, StopReason::output_seen)
        << "waiting for \"" << text << "\": " << describe(result) << "\nconsole said: \""
        << output_since(machine, before) << "\"";
    return result;
}

RunResult run_until_waiting(Machine &machine, double max_seconds)
{
    RunLimits limits;
    limits.seconds = max_seconds;
    RunResult result = machine.run(limits);
    EXPECT_EQ(result.reason, StopReason::waiting_for_input) << describe(result);
    return result;
}

RunResult run_for(Machine &machine, double seconds)
{
    RunLimits limits;
    limits.seconds = seconds;
    limits.until_waiting = false;
    RunResult result = machine.run(limits);
    EXPECT_EQ(result.reason, StopReason::time_limit) << describe(result);
    return result;
}

RunResult run_to_end(Machine &machine, double max_seconds)
{
    RunLimits limits;
    limits.seconds = max_seconds;
    RunResult result = machine.run(limits);
    EXPECT_EQ(result.reason, StopReason::returned) << describe(result);
    return result;
}

std::uint32_t call(Machine &machine, std::string_view symbol, const std::vector<std::uint32_t> &args, double max_seconds)
{
    RunLimits limits;
    limits.seconds = max_seconds;
    limits.until_waiting = false;
    RunResult result = machine.call(symbol, args, limits);
    EXPECT_EQ(result.reason, StopReason::returned) << "calling " << symbol << ": " << describe(result);
    return result.value;
}

std::string output_since(const Machine &machine, std::size_t from)
{
    const std::string &out = machine.console_output();
    return from < out.size() ? out.substr(from) : std::string();
}

std::vector<Access> writes(const Machine &machine)
{
    std::vector<Access> result;
    for (const Access &access : machine.accesses())
        if (access.write)
            result.push_back(access);
    return result;
}

std::vector<Access> reads(const Machine &machine)
{
    std::vector<Access> result;
    for (const Access &access : machine.accesses())
        if (!access.write)
            result.push_back(access);
    return result;
}

std::vector<Access> accesses_to(const Machine &machine, std::uint32_t address)
{
    std::vector<Access> result;
    for (const Access &access : machine.accesses())
        if (access.address == address)
            result.push_back(access);
    return result;
}

std::vector<std::string> listing(const std::vector<Access> &accesses)
{
    std::vector<std::string> lines;
    for (const Access &access : accesses) {
        char line[32];
        std::snprintf(line, sizeof line, "%c %08x=%08x", access.write ? 'W' : 'R', access.address, access.value);
        lines.emplace_back(line);
    }
    return lines;
}

}  // namespace kelto::test

namespace kelto::test {

void settle(Machine &machine, double seconds)
{
    sim::Clock &clock = machine.clock();
    clock.skip_to(clock.now() + clock.from_seconds(seconds));
    for (int channel = 0; channel < 4; channel++)
        machine.uart(channel).advance(clock.now());
}

std::uint32_t place(Machine &machine, std::string_view bytes)
{
    const std::uint32_t address = machine.scratch(bytes.size());
    machine.write_bytes(address, bytes.data(), bytes.size());
    return address;
}

double frame_seconds(Machine &machine, int channel)
{
    return machine.clock().to_seconds(machine.uart(channel).frame_time());
}

RunResult call_until_waiting(Machine &machine, std::string_view symbol, const std::vector<std::uint32_t> &args)
{
    RunLimits limits;
    limits.seconds = 10;
    return machine.call(symbol, args, limits);
}

RunResult call_expecting_fault(Machine &machine, std::string_view symbol, const std::vector<std::uint32_t> &args)
{
    RunLimits limits;
    limits.seconds = 10;
    limits.until_waiting = false;
    RunResult result = machine.call(symbol, args, limits);
    EXPECT_EQ(result.reason, StopReason::fault) << "calling " << symbol << ": " << describe(result);
    return result;
}

}  // namespace kelto::test

namespace kelto::test {

std::string test_name(std::string_view name)
{
    std::string result(name.substr(0, name.find('.')));
    for (char &c : result)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return result;
}

}  // namespace kelto::test

namespace kelto::test {

std::string tiny_arm_image(std::uint32_t entry, const std::vector<TinySegment> &segments)
{
    constexpr std::size_t header_size = 52;
    constexpr std::size_t segment_header_size = 32;
    std::string elf(header_size + segments.size() * segment_header_size, '\0');
    auto put = [&](std::size_t at, std::uint32_t value, std::size_t size) { std::memcpy(&elf[at], &value, size); };
    std::memcpy(&elf[0], "\x7f" "ELF\x01\x01\x01", 7);  // 32-bit, little-endian
    put(16, 2, 2);           // executable
    put(18, 40, 2);          // ARM
    put(20, 1, 4);           // version
    put(24, entry, 4);
    put(28, header_size, 4); // program headers follow the header
    put(36, 0x05000000, 4);  // EABI 5
    put(40, header_size, 2);
    put(42, segment_header_size, 2);
    put(44, static_cast<std::uint32_t>(segments.size()), 2);
    put(46, 40, 2);
    for (std::size_t i = 0; i < segments.size(); i++) {
        const TinySegment &segment = segments[i];
        const std::size_t header = header_size + i * segment_header_size;
        const auto file_size = static_cast<std::uint32_t>(segment.words.size() * 4);
        put(header, 1, 4);  // PT_LOAD
        put(header + 4, static_cast<std::uint32_t>(elf.size()), 4);
        put(header + 8, segment.address, 4);
        put(header + 12, segment.address, 4);
        put(header + 16, file_size, 4);
        put(header + 20, std::max(segment.memory_size, file_size), 4);
        put(header + 24, segment.writable ? 6 : 5, 4);  // R W or R X
        put(header + 28, 4, 4);
        elf.append(reinterpret_cast<const char *>(segment.words.data()), file_size);
    }
    return elf;
}

std::string write_temp_file(const std::string &name, const std::string &bytes)
{
    std::string path = testing::TempDir() + name;
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        ADD_FAILURE() << "cannot write " << path;
    }
    if (file)
        std::fclose(file);
    return path;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The file is named after the test: ctest runs tests side by side.
std::unique_ptr<Machine> load_tiny(std::uint32_t entry, const std::vector<TinySegment> &segments,
                                   const Machine::Options &options)
{
    const std::string name = std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + ".elf";
    const std::string path = write_temp_file(name, tiny_arm_image(entry, segments));
    auto machine = Machine::load(path, options);
    std::remove(path.c_str());
    return machine;
}

}  // namespace kelto::test
