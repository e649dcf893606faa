#include "frontends/gdb/stub.hpp"

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "frontends/gdb/packets.hpp"

namespace kelto::sim::frontend::gdb {

namespace {

// Larger memory reads than this come in several packets.
constexpr std::uint32_t max_read = 0x800;
constexpr int register_count = Machine::cpsr_register + 1;
constexpr std::size_t register_hex_digits = 8;

// The core's registers as gdb numbers them: r0-r15, then cpsr.
const char target_xml[] = R"(<?xml version="1.0"?>
<!DOCTYPE target SYSTEM "gdb-target.dtd">
<target version="1.0">
  <architecture>arm</architecture>
  <feature name="org.gnu.gdb.arm.core">
    <reg name="r0" bitsize="32"/>
    <reg name="r1" bitsize="32"/>
    <reg name="r2" bitsize="32"/>
    <reg name="r3" bitsize="32"/>
    <reg name="r4" bitsize="32"/>
    <reg name="r5" bitsize="32"/>
    <reg name="r6" bitsize="32"/>
    <reg name="r7" bitsize="32"/>
    <reg name="r8" bitsize="32"/>
    <reg name="r9" bitsize="32"/>
    <reg name="r10" bitsize="32"/>
    <reg name="r11" bitsize="32"/>
    <reg name="r12" bitsize="32"/>
    <reg name="sp" bitsize="32" type="data_ptr"/>
    <reg name="lr" bitsize="32"/>
    <reg name="pc" bitsize="32" type="code_ptr"/>
    <reg name="cpsr" bitsize="32"/>
  </feature>
</target>
)";

const std::string error_reply = "E01";

std::string signal_stop(int signal)
{
    char text[32];
    std::snprintf(text, sizeof text, "T%02xthread:1;", signal);
    return text;
}

std::string hex_number(std::size_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%zx", value);
    return text;
}

// "a,b" or "a,b:rest" split at the first separator.
std::pair<std::string_view, std::string_view> split(std::string_view text, char separator)
{
    const auto at = text.find(separator);
    if (at == std::string_view::npos)
        return {text, {}};
    return {text.substr(0, at), text.substr(at + 1)};
}

// A qXfer read: the part of the document from offset, "l" when it is the last.
std::string document_part(std::string_view document, std::string_view range)
{
    const auto [offset_text, length_text] = split(range, ',');
    const auto offset = parse_hex(offset_text);
    const auto length = parse_hex(length_text);
    if (!offset || !length)
        return error_reply;
    if (*offset >= document.size())
        return "l";
    const std::string_view part = document.substr(*offset, *length);
    return (*offset + part.size() >= document.size() ? "l" : "m") + std::string(part);
}

std::string hex_address(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// "1", "0" (any thread) or "-1" (all), alone or as "pPID.TID" with the one
// process, 1; "pPID" alone names the process's threads.
bool names_our_thread(std::string_view id)
{
    if (id.starts_with('p')) {
        const auto [pid, tid] = split(id.substr(1), '.');
        if (pid != "1" && pid != "-1")
            return false;
        if (tid.empty())
            return true;
        id = tid;
    }
    return id == "1" || id == "0" || id == "-1";
}

}  // namespace

void Stub::attach(DebugTarget &target)
{
    closing_ = false;
    no_ack_ = false;
    multiprocess_ = false;
    extended_ = false;
    waiting_ = false;
    // A board that stands still already (started halted, or at a fault)
    // keeps the stop it has; a running one stops for the debugger.
    if (!target.halted()) {
        target.halt();
        last_stop_ = signal_stop(SIGTRAP);
    }
}

void Stub::release(DebugTarget &target)
{
    for (const Point &point : points_)
        apply(target, point, false);
    points_.clear();
    waiting_ = false;
    target.resume();
}

void Stub::interrupt(DebugTarget &target)
{
    if (waiting_)
        target.halt();
}

std::optional<std::string> Stub::halted(const Halt &halt)
{
    switch (halt.kind) {
    case Halt::Kind::paused:
        // A pause the debugger did not ask for is no stop for it.
        if (!waiting_)
            return std::nullopt;
        last_stop_ = signal_stop(SIGINT);
        break;
    case Halt::Kind::fault: last_stop_ = signal_stop(SIGSEGV); break;
    case Halt::Kind::exited: {
        char text[8];
        std::snprintf(text, sizeof text, "W%02x", halt.value & 0xFF);
        last_stop_ = text;
        break;
    }
    case Halt::Kind::watchpoint: last_stop_ = watch_stop(halt.address); break;
    case Halt::Kind::breakpoint:
    case Halt::Kind::step: last_stop_ = signal_stop(SIGTRAP); break;
    }
    if (!waiting_)
        return std::nullopt;
    waiting_ = false;
    return stop_reply(last_stop_);
}

// The kind the debugger set, for the watchpoint that covers the address.
std::string Stub::watch_stop(std::uint32_t address) const
{
    const char *kind = "awatch";
    for (const Point &point : points_)
        if (point.type >= '2' && address >= point.address && address - point.address < point.length)
            kind = point.type == '2' ? "watch" : point.type == '3' ? "rwatch" : "awatch";
    char text[64];
    std::snprintf(text, sizeof text, "T05%s:%x;thread:1;", kind, address);
    return text;
}

// bs and bc: the board stands still meanwhile, so the stop comes at once.
std::string Stub::reverse(DebugTarget &target, bool step)
{
    Timeline *timeline = target.timeline();
    if (!timeline)
        return error_reply;
    const Timeline::Stop stop = step ? timeline->step_back() : timeline->continue_back();
    switch (stop.kind) {
    case Timeline::Stop::Kind::begin: last_stop_ = "T05replaylog:begin;thread:1;"; break;
    case Timeline::Stop::Kind::watchpoint: last_stop_ = watch_stop(stop.address); break;
    default: last_stop_ = signal_stop(SIGTRAP); break;
    }
    return stop_reply(last_stop_);
}

std::optional<std::string> Stub::handle(DebugTarget &target, std::string_view packet)
{
    if (packet.empty())
        return "";
    const std::string_view args = packet.substr(1);
    switch (packet.front()) {
    case '?': return stop_reply(last_stop_);
    case 'g': return registers(target);
    case 'G': return write_registers(target, args);
    case 'p': return register_at(target, args);
    case 'P': return set_register(target, args);
    case 'm': return read_memory(target, args);
    case 'M': return write_memory(target, args, false);
    case 'X': return write_memory(target, args, true);
    case 'Z': return point(target, args, true);
    case 'z': return point(target, args, false);
    case 'b':
        if (args == "s" || args == "c")
            return reverse(target, args == "s");
        return "";
    case 'c': return run(target, args, false);
    case 's': return run(target, args, true);
    // With a signal: the board has no signals to deliver, so c and s.
    case 'C': return run(target, split(args, ';').second, false);
    case 'S': return run(target, split(args, ';').second, true);
    case 'H': return select_thread(args);
    case 'T': return names_our_thread(args) ? "OK" : error_reply;  // one thread, always alive
    case 'D': return detach(target, args);
    case 'k': return kill(target, false);
    case '!':
        extended_ = true;
        return "OK";
    case 'R':
        restart(target);
        return std::nullopt;
    case 'v': return v_packet(target, packet);
    case 'q':
    case 'Q': return query(target, packet);
    default: return "";  // not supported
    }
}

std::string Stub::registers(DebugTarget &target)
{
    std::string hex;
    for (int number = 0; number < register_count; number++)
        hex += word_hex(target.reg(number));
    return hex;
}

std::string Stub::write_registers(DebugTarget &target, std::string_view hex)
{
    if (hex.size() < register_hex_digits * register_count)
        return error_reply;
    for (int number = 0; number < register_count; number++) {
        const auto value = parse_word_hex(hex.substr(register_hex_digits * static_cast<std::size_t>(number), register_hex_digits));
        if (!value)
            return error_reply;
        target.set_reg(number, *value);
    }
    return "OK";
}

std::string Stub::register_at(DebugTarget &target, std::string_view args)
{
    const auto number = parse_hex(args);
    if (!number || *number >= register_count)
        return error_reply;
    return word_hex(target.reg(static_cast<int>(*number)));
}

std::string Stub::set_register(DebugTarget &target, std::string_view args)
{
    const auto [number_text, value_text] = split(args, '=');
    const auto number = parse_hex(number_text);
    const auto value = parse_word_hex(value_text);
    if (!number || !value || *number >= register_count)
        return error_reply;
    target.set_reg(static_cast<int>(*number), *value);
    return "OK";
}

std::string Stub::read_memory(DebugTarget &target, std::string_view args)
{
    const auto [address_text, length_text] = split(args, ',');
    const auto address = parse_hex(address_text);
    const auto length = parse_hex(length_text);
    if (!address || !length)
        return error_reply;
    if (*length == 0)
        return "";
    // A range that runs into a hole between registers gives what lies before
    // it; gdb then asks for the rest and hears the error.
    const std::vector<std::uint8_t> bytes = target.read_memory(*address, std::min(*length, max_read));
    return bytes.empty() ? error_reply : to_hex(bytes);
}

std::string Stub::write_memory(DebugTarget &target, std::string_view args, bool binary)
{
    const auto [where, data] = split(args, ':');
    const auto [address_text, length_text] = split(where, ',');
    const auto address = parse_hex(address_text);
    const auto length = parse_hex(length_text);
    const std::optional<std::string> bytes = binary ? std::optional(unescape(data)) : from_hex(data);
    if (!address || !length || !bytes || bytes->size() != *length)
        return error_reply;
    if (bytes->empty())
        return "OK";
    const std::optional<std::string> refusal = target.write_memory(*address, bytes->data(), bytes->size());
    if (!refusal)
        return "OK";
    // gdb 13 shows only "Cannot access memory" for any error reply.
    target.board().note("refused the debugger's " + *refusal);
    return "E." + *refusal;
}

void Stub::apply(DebugTarget &target, const Point &point, bool insert)
{
    if (point.type == '0' || point.type == '1') {
        if (insert)
            target.add_breakpoint(point.address);
        else
            target.remove_breakpoint(point.address);
        return;
    }
    const WatchKind kind = point.type == '2' ? WatchKind::write : point.type == '3' ? WatchKind::read : WatchKind::access;
    if (insert)
        target.add_watchpoint(point.address, point.length, kind);
    else
        target.remove_watchpoint(point.address, point.length, kind);
}

// Breakpoints of both kinds live in the simulator: the image's code pages
// are never written.
std::string Stub::point(DebugTarget &target, std::string_view args, bool insert)
{
    const auto [type_text, rest] = split(args, ',');
    const auto [address_text, rest2] = split(rest, ',');
    const auto [length_text, conditions] = split(rest2, ';');
    const auto address = parse_hex(address_text);
    const auto length = parse_hex(length_text);
    if (type_text.size() != 1 || type_text[0] < '0' || type_text[0] > '4')
        return "";  // a kind this stub does not know
    if (!address || !length)
        return error_reply;
    const Point point{type_text[0], *address, type_text[0] <= '1' ? 4u : *length};
    const auto found = std::find(points_.begin(), points_.end(), point);
    if (insert == (found != points_.end()))
        return "OK";  // already there, or already gone
    apply(target, point, insert);
    if (insert)
        points_.push_back(point);
    else
        points_.erase(found);
    return "OK";
}

std::optional<std::string> Stub::run(DebugTarget &target, std::string_view address, bool step)
{
    if (target.exited())
        return stop_reply(last_stop_);
    if (!address.empty()) {
        const auto pc = parse_hex(address);
        if (!pc)
            return error_reply;
        target.set_reg(15, *pc);
    }
    waiting_ = true;
    if (step)
        target.step();
    else
        target.resume();
    return std::nullopt;
}

std::string Stub::query(DebugTarget &target, std::string_view packet)
{
    if (packet.starts_with("qSupported"))
        return supported(packet);
    if (packet == "QStartNoAckMode") {
        no_ack_ = true;
        return "OK";
    }
    if (packet.starts_with("qXfer:features:read:"))
        return features(packet.substr(std::string_view("qXfer:features:read:").size()));
    if (packet == "qAttached")
        return "1";  // quitting the debugger detaches: the board runs on
    if (packet.starts_with("qXfer:memory-map:read::"))
        return memory_map(target, packet.substr(std::string_view("qXfer:memory-map:read::").size()));
    if (packet == "qC")
        return "QC" + thread_id();
    if (packet == "qfThreadInfo")
        return "m" + thread_id();
    if (packet == "qsThreadInfo")
        return "l";
    if (packet.starts_with("qSymbol"))
        return "OK";
    if (packet.starts_with("qRcmd,")) {
        const auto command = from_hex(packet.substr(6));
        if (!command)
            return error_reply;
        const std::string output = monitor(target.board(), *command);
        return output.empty() ? "OK" : to_hex(output);
    }
    return "";
}

std::string Stub::features(std::string_view args)
{
    const auto [annex, range] = split(args, ':');
    if (annex != "target.xml")
        return "E00";
    return document_part(target_xml, range);
}

std::string Stub::supported(std::string_view packet)
{
    multiprocess_ = packet.find("multiprocess+") != std::string_view::npos;
    return "PacketSize=" + hex_number(PacketReader::max_payload) +
           ";qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;ReverseStep+;ReverseContinue+" +
           (multiprocess_ ? ";multiprocess+" : "");
}

// DRAM and each peripheral's register window: gdb itself refuses accesses
// anywhere else.
std::string Stub::memory_map(DebugTarget &target, std::string_view args)
{
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE memory-map PUBLIC \"+//IDN gnu.org//DTD GDB Memory Map V1.0//EN\""
                      " \"http://sourceware.org/gdb/gdb-memory-map.dtd\">\n<memory-map>\n";
    for (const MemoryRegion &region : target.memory_map())
        xml += "  <memory type=\"ram\" start=\"" + hex_address(region.start) + "\" length=\"" +
               hex_address(region.length) + "\"/>  <!-- " + region.name + " -->\n";
    return document_part(xml + "</memory-map>\n", args);
}

// With multiprocess ids agreed, a stop names the thread as pPID.TID and an
// exit its process.
std::string Stub::stop_reply(const std::string &stop) const
{
    if (!multiprocess_)
        return stop;
    if (stop.starts_with('W'))
        return stop + ";process:1";
    std::string reply = stop;
    if (const auto at = reply.find("thread:1;"); at != std::string::npos)
        reply.replace(at, 9, "thread:p1.1;");
    return reply;
}

std::optional<std::string> Stub::v_packet(DebugTarget &target, std::string_view packet)
{
    if (packet.starts_with("vCont"))
        return resume(target, packet.substr(5));
    if (packet.starts_with("vKill;"))
        return packet.substr(6) == "1" ? kill(target, true) : error_reply;
    if (packet.starts_with("vRun;")) {
        restart(target);
        return stop_reply(last_stop_);
    }
    return "";
}

// "?" asks what is supported; otherwise the first action for our thread
// (or for every thread) is the one taken.
std::optional<std::string> Stub::resume(DebugTarget &target, std::string_view actions)
{
    if (actions == "?")
        return "vCont;c;C;s;S";
    if (!actions.starts_with(';'))
        return error_reply;
    for (std::string_view rest = actions.substr(1); !rest.empty();) {
        const auto [action, after] = split(rest, ';');
        rest = after;
        const auto [kind, thread] = split(action, ':');
        if (!thread.empty() && !names_our_thread(thread))
            continue;
        if (kind == "c" || kind.starts_with('C'))
            return run(target, {}, false);
        if (kind == "s" || kind.starts_with('S'))
            return run(target, {}, true);
        return "";
    }
    return error_reply;
}

std::string Stub::select_thread(std::string_view args) const
{
    if (args.empty() || (args[0] != 'g' && args[0] != 'c'))
        return error_reply;
    return names_our_thread(args.substr(1)) ? "OK" : error_reply;
}

std::string Stub::detach(DebugTarget &target, std::string_view args)
{
    if (!args.empty() && args != ";1")
        return error_reply;
    release(target);
    closing_ = true;
    return "OK";
}

// Outside extended mode the debugger's kill ends keltosim; in it, the board
// starts again from main and waits for the next run.
std::optional<std::string> Stub::kill(DebugTarget &target, bool reply)
{
    if (extended_) {
        restart(target);
    } else {
        closing_ = true;
        target.board().quit(128 + SIGKILL, "");
    }
    return reply ? std::optional<std::string>("OK") : std::nullopt;
}

// The board starts again from main and stands there, as a new process would.
void Stub::restart(DebugTarget &target)
{
    target.halt();
    target.board().reset();
    waiting_ = false;
    last_stop_ = signal_stop(SIGTRAP);
}


}  // namespace kelto::sim::frontend::gdb

namespace kelto::sim::frontend::gdb {

// A number of instructions, or seconds with an s.
std::string Stub::go_to(Timeline &timeline, const std::string &where)
{
    Clock &clock = timeline.clock();
    char *end = nullptr;
    errno = 0;
    if (where.ends_with("s")) {
        const double seconds = std::strtod(where.c_str(), &end);
        if (end != where.c_str() + where.size() - 1 || errno || !(seconds >= 0))
            return "goto where? monitor goto INSTRUCTIONS or monitor goto SECONDS (2.5s)\n";
        timeline.go_to(clock.from_seconds(seconds));
    } else {
        const unsigned long long count = std::strtoull(where.c_str(), &end, 10);
        if (where.empty() || end != where.c_str() + where.size() || errno || where[0] == '-')
            return "goto where? monitor goto INSTRUCTIONS or monitor goto SECONDS (2.5s)\n";
        timeline.go_to_instruction(count);
    }
    const Timeline::Position at = timeline.now();
    char text[128];
    std::snprintf(text, sizeof text, "at %.6f s, %llu instructions\n", clock.to_seconds(at.time),
                  static_cast<unsigned long long>(at.instructions));
    last_stop_ = signal_stop(SIGTRAP);
    return text;
}

}  // namespace kelto::sim::frontend::gdb
