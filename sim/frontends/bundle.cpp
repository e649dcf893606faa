#include "frontends/bundle.hpp"

#include <limits>

namespace kelto::sim::frontend {

namespace {

constexpr FileFrame bundle_frame{std::string_view("KELTOBU\x1a", 8), bundle_format_version, "bundle"};

using Input = Timeline::Input;

void write_input(StateWriter &out, const Input &input)
{
    out.u64(input.time);
    out.boolean(input.in_pump);
    out.u8(static_cast<std::uint8_t>(input.kind));
    out.u32(input.where);
    out.u32(input.value);
    out.text(input.bytes);
}

Input read_input(StateReader &in)
{
    Input input{};
    input.time = in.u64();
    input.in_pump = in.boolean();
    const std::uint8_t kind = in.u8();
    if (kind > static_cast<std::uint8_t>(Input::Kind::reg))
        throw StateError("the bundle holds an input of no known kind");
    input.kind = static_cast<Input::Kind>(kind);
    input.where = in.u32();
    if (input.kind == Input::Kind::button && input.where >= all_buttons.size())
        throw StateError("the bundle holds a button the board does not have");
    input.value = in.u32();
    input.bytes = in.text();
    return input;
}

}  // namespace

std::vector<std::uint8_t> encode_bundle(const Bundle &bundle)
{
    const Timeline::Excerpt &recording = bundle.recording;
    StateWriter out;
    write_board_state(out, recording.state);
    out.u64(recording.inputs.size());
    for (const Input &input : recording.inputs)
        write_input(out, input);
    out.u64(recording.runs.size());
    for (const Timeline::Run &run : recording.runs) {
        out.u64(run.start);
        out.u64(run.horizon);
    }
    out.u64(recording.end.time);
    out.u64(recording.end.instructions);
    out.text(bundle.reason);
    out.u32(static_cast<std::uint32_t>(bundle.status));
    out.boolean(bundle.fault);
    return frame_file(bundle_frame, recording.state.image, out.bytes());
}

Bundle decode_bundle(std::span<const std::uint8_t> bytes, std::uint64_t image)
{
    StateReader in(unframe_file(bundle_frame, bytes, image));
    Bundle bundle;
    Timeline::Excerpt &recording = bundle.recording;
    recording.state = read_board_state(in, image);
    // An input takes at least 26 bytes, a run 16.
    recording.inputs.resize(in.count(26));
    for (Input &input : recording.inputs)
        input = read_input(in);
    recording.runs.resize(in.count(16));
    for (Timeline::Run &run : recording.runs)
        run = Timeline::Run{in.u64(), in.u64()};
    recording.end.time = in.u64();
    recording.end.instructions = in.u64();
    bundle.reason = in.text();
    bundle.status = static_cast<int>(in.u32_at_most(std::numeric_limits<std::uint8_t>::max()));
    bundle.fault = in.boolean();
    in.expect_end();
    return bundle;
}

void write_bundle(const std::string &path, const Bundle &bundle)
{
    write_file_whole(path, encode_bundle(bundle), bundle_frame.noun);
}

Bundle read_bundle(const std::string &path, std::uint64_t image)
{
    return read_framed_file(bundle_frame, path,
                            [image](std::span<const std::uint8_t> bytes) { return decode_bundle(bytes, image); });
}

}  // namespace kelto::sim::frontend
