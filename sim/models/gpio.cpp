#include "models/gpio.hpp"

#include <algorithm>


namespace kelto::sim {

namespace {

using Layout = GpioBlock::PortLayout;

// Every port's registers fit in 16 bytes from its first configuration word.
constexpr std::uint32_t port_span = 0x10;
constexpr std::uint8_t combined = 0;

// K to N sit in a block of their own at 0x800; O to Q follow J.
constexpr std::array<Layout, 17> s3c6410_ports{{
    {'A', 0x000, 4, false, true},
    {'B', 0x020, 4, false, true},
    {'C', 0x040, 4, false, true},
    {'D', 0x060, 4, false, true},
    {'E', 0x080, 4, false, true},
    {'F', 0x0A0, 2, false, true},
    {'G', 0x0C0, 4, false, true},
    {'H', 0x0E0, 4, true, true},
    {'I', 0x100, 2, false, true},
    {'J', 0x120, 2, false, true},
    {'K', 0x800, 4, true, true},
    {'L', 0x810, 4, true, true},
    {'M', 0x820, 4, false, true},
    {'N', 0x830, 2, false, true},
    {'O', 0x140, 2, false, true},
    {'P', 0x160, 2, false, true},
    {'Q', 0x180, 2, false, true},
}};

// Ports I and K have no register block; A and F have no pull word.
constexpr std::array<Layout, 11> s3c2450_ports{{
    {'A', 0x000, combined, false, false},
    {'B', 0x010, 2, false, true},
    {'C', 0x020, 2, false, true},
    {'D', 0x030, 2, false, true},
    {'E', 0x040, 2, false, true},
    {'F', 0x050, 2, false, false},
    {'G', 0x060, 2, false, true},
    {'H', 0x070, 2, false, true},
    {'J', 0x0D0, 2, false, true},
    {'L', 0x0F0, 2, false, true},
    {'M', 0x100, 2, false, true},
}};

// Offset of the last register a port has, from its first.
constexpr std::uint32_t last_register(const Layout &port)
{
    if (port.field_bits == combined)
        return 0x4;
    const std::uint32_t shift = port.second_config ? 0x4 : 0x0;
    return (port.pull ? 0x8 : 0x4) + shift;
}

// A mistyped base would let two ports answer at one address; the decoder
// takes the first match, so the clash would go unnoticed.
template <std::size_t N> constexpr bool well_formed(const std::array<Layout, N> &ports)
{
    for (std::size_t i = 0; i < N; i++) {
        const Layout &port = ports[i];
        if (i > 0 && port.letter <= ports[i - 1].letter)
            return false;
        if (port.second_config && port.field_bits != 4)
            return false;
        for (std::size_t j = i + 1; j < N; j++) {
            const Layout &other = ports[j];
            if (port.offset < other.offset + port_span && other.offset < port.offset + port_span)
                return false;
        }
        if (port.offset + last_register(port) + 4 > 0x1000)
            return false;
    }
    return true;
}
static_assert(well_formed(s3c6410_ports), "S3C6410 port map");
static_assert(well_formed(s3c2450_ports), "S3C2450 port map");

// Port A has no input mode; its pins leave reset in their first alternate
// function, so nothing is driven until the firmware asks for it.
constexpr std::uint32_t port_a_reset = 0x0000AAAA;

constexpr std::string_view pin_names[16] = {"PIN0", "PIN1", "PIN2",  "PIN3",  "PIN4",  "PIN5",  "PIN6",  "PIN7",
                                            "PIN8", "PIN9", "PIN10", "PIN11", "PIN12", "PIN13", "PIN14", "PIN15"};
constexpr std::string_view data_names[16] = {"DAT0", "DAT1", "DAT2",  "DAT3",  "DAT4",  "DAT5",  "DAT6",  "DAT7",
                                             "DAT8", "DAT9", "DAT10", "DAT11", "DAT12", "DAT13", "DAT14", "DAT15"};
constexpr std::string_view function_names[16] = {"FUNC0", "FUNC1", "FUNC2",  "FUNC3",  "FUNC4",  "FUNC5",
                                                 "FUNC6", "FUNC7", "FUNC8",  "FUNC9",  "FUNC10", "FUNC11",
                                                 "FUNC12", "FUNC13", "FUNC14", "FUNC15"};

// One field per pin from first_pin on, width bits each, from bit 0 up.
template <std::size_t N>
constexpr std::array<Field, N> pin_fields(unsigned first_pin, std::uint8_t width, std::string_view description)
{
    std::array<Field, N> fields{};
    for (std::size_t i = 0; i < N; i++)
        fields[i] = {pin_names[first_pin + i], static_cast<std::uint8_t>(width * i), width, description};
    return fields;
}

// Port A's combined words: bit 2q is pin q's data, bit 2q+1 its function.
constexpr std::array<Field, 16> combined_fields(unsigned first_pin)
{
    std::array<Field, 16> fields{};
    for (std::size_t q = 0; q < 8; q++) {
        fields[2 * q] = {data_names[first_pin + q], static_cast<std::uint8_t>(2 * q), 1, "output level"};
        fields[2 * q + 1] = {function_names[first_pin + q], static_cast<std::uint8_t>(2 * q + 1), 1,
                             "function: 1 alt1, 0 output"};
    }
    return fields;
}

constexpr std::string_view function_field = "function: 0 input, 1 output, 2 and up alt1, alt2 ...";
constexpr auto wide_functions_low = pin_fields<8>(0, 4, function_field);
constexpr auto wide_functions_high = pin_fields<8>(8, 4, function_field);
constexpr auto narrow_functions = pin_fields<16>(0, 2, function_field);
constexpr auto data_fields = pin_fields<16>(0, 1, "level: an output's latch, an input's pin");
constexpr auto pull_fields = pin_fields<16>(0, 2, "pull-up or pull-down control");
constexpr auto combined_low = combined_fields(0);
constexpr auto combined_high = combined_fields(8);

template <std::size_t N> constexpr std::size_t register_count(const std::array<Layout, N> &ports)
{
    std::size_t count = 0;
    for (const Layout &port : ports)
        count += port.field_bits == combined ? 2 : 2 + (port.second_config ? 1 : 0) + (port.pull ? 1 : 0);
    return count;
}

// A pin is a function field: a 4-bit field per pin fills a word with eight,
// a 2-bit field with sixteen.
constexpr unsigned pins_of(const Layout &port)
{
    return port.field_bits == 4 && !port.second_config ? 8 : 16;
}

// Every port's registers in the block, as the model decodes them. A data
// word reads each input pin's level: after reset every pin is an input and
// the board pulls each high (no button held).
template <std::size_t Count, std::size_t N> constexpr std::array<Register, Count> gpio_registers(const std::array<Layout, N> &ports)
{
    std::array<Register, Count> table{};
    std::size_t next = 0;
    constexpr auto rw = RegisterAccess::read_write;
    for (const Layout &port : ports) {
        const RegisterName prefix = RegisterName("GP").append(std::string_view(&port.letter, 1));
        if (port.field_bits == combined) {
            table[next++] = {RegisterName(prefix).append("CDL"), port.offset, port_a_reset, rw,
                             "data and function of pins 0-7", combined_low};
            table[next++] = {RegisterName(prefix).append("CDH"), port.offset + 4, port_a_reset, rw,
                             "data and function of pins 8-15", combined_high};
            continue;
        }
        const std::uint32_t shift = port.second_config ? 0x4 : 0x0;
        const unsigned pins = pins_of(port);
        const std::span<const Field> functions =
            port.field_bits == 4 ? std::span<const Field>(wide_functions_low) : narrow_functions;
        table[next++] = {RegisterName(prefix).append(port.second_config ? "CON0" : "CON"), port.offset, 0, rw,
                         port.second_config ? "function of pins 0-7" : "pin functions", functions};
        if (port.second_config)
            table[next++] = {RegisterName(prefix).append("CON1"), port.offset + 4, 0, rw, "function of pins 8-15",
                             wide_functions_high};
        table[next++] = {RegisterName(prefix).append("DAT"), port.offset + 0x4 + shift, (1u << pins) - 1, rw,
                         "pin levels", std::span<const Field>(data_fields).first(pins)};
        if (port.pull)
            table[next++] = {RegisterName(prefix).append("PUD"), port.offset + 0x8 + shift, 0, rw, "pull control",
                             std::span<const Field>(pull_fields).first(pins)};
    }
    return table;
}

constexpr auto s3c6410_registers = gpio_registers<register_count(s3c6410_ports)>(s3c6410_ports);
constexpr auto s3c2450_registers = gpio_registers<register_count(s3c2450_ports)>(s3c2450_ports);
static_assert(table_well_formed(s3c6410_registers, 0x1000) && table_well_formed(s3c2450_registers, 0x1000),
              "GPIO register tables");

std::span<const Layout> ports_of(Chip chip)
{
    if (chip == Chip::s3c6410)
        return s3c6410_ports;
    return s3c2450_ports;
}

// "A-H, J, L, M": runs of consecutive letters shortened.
std::string port_letters(std::span<const Layout> ports)
{
    std::string text;
    for (std::size_t first = 0; first < ports.size();) {
        std::size_t last = first;
        while (last + 1 < ports.size() && ports[last + 1].letter == ports[last].letter + 1)
            last++;
        text += (text.empty() ? "" : ", ") + std::string(1, ports[first].letter);
        if (last > first)
            text += std::string(last > first + 1 ? "-" : ", ") + ports[last].letter;
        first = last + 1;
    }
    return text;
}

}  // namespace

std::string function_name(unsigned code)
{
    switch (code) {
    case GpioBlock::function_input: return "input";
    case GpioBlock::function_output: return "output";
    default: return "alt" + std::to_string(code - 1);
    }
}

GpioBlock::GpioBlock(const BoardSpec &board)
    : Device("GPIO", board.gpio_base, board.gpio_size), board_(board),
      ports_(ports_of(board.chip))
{
    by_letter_.fill(-1);
    for (std::size_t i = 0; i < ports_.size(); i++) {
        by_letter_[static_cast<std::size_t>(ports_[i].letter - 'A')] = static_cast<std::int8_t>(i);
        if (ports_[i].field_bits == combined)
            state_[i].config = {port_a_reset, port_a_reset};
    }
}

std::optional<GpioBlock::Decoded> GpioBlock::decode(std::uint32_t offset) const
{
    for (std::size_t i = 0; i < ports_.size(); i++) {
        const Layout &port = ports_[i];
        if (offset < port.offset || offset - port.offset >= port_span)
            continue;
        const std::uint32_t relative = offset - port.offset;
        if (port.field_bits == combined) {
            if (relative == 0x0)
                return Decoded{i, Role::config0};
            if (relative == 0x4)
                return Decoded{i, Role::config1};
            return std::nullopt;
        }
        const std::uint32_t shift = port.second_config ? 0x4 : 0x0;
        if (relative == 0x0)
            return Decoded{i, Role::config0};
        if (port.second_config && relative == 0x4)
            return Decoded{i, Role::config1};
        if (relative == 0x4 + shift)
            return Decoded{i, Role::data};
        if (port.pull && relative == 0x8 + shift)
            return Decoded{i, Role::pull};
        return std::nullopt;
    }
    return std::nullopt;
}

std::span<const Register> GpioBlock::registers() const
{
    if (board_.chip == Chip::s3c6410)
        return s3c6410_registers;
    return s3c2450_registers;
}

std::optional<std::uint32_t> GpioBlock::peek(std::uint32_t offset) const
{
    const std::optional<Decoded> found = decode(offset);
    if (!found)
        return std::nullopt;
    const PortState &state = state_[found->port];
    switch (found->reg) {
    case Role::config0: return state.config[0];
    case Role::config1: return state.config[1];
    case Role::data: return data_reading(found->port);
    case Role::pull: return state.pull;
    }
    return std::nullopt;
}

bool GpioBlock::write(std::uint32_t offset, std::uint32_t value)
{
    const std::optional<Decoded> found = decode(offset);
    if (!found)
        return false;
    PortState &state = state_[found->port];
    switch (found->reg) {
    case Role::config0: state.config[0] = value; break;
    case Role::config1: state.config[1] = value; break;
    case Role::data: state.data = value; break;
    case Role::pull: state.pull = value; break;
    }
    return true;
}

std::string GpioBlock::describe_write(std::uint32_t offset, std::uint32_t value) const
{
    const std::optional<Decoded> found = decode(offset);
    if (!found)
        return {};
    switch (found->reg) {
    case Role::config0: return describe_config(found->port, 0, value);
    case Role::config1: return describe_config(found->port, 1, value);
    case Role::data: return describe_data(found->port, value);
    case Role::pull: return {};
    }
    return {};
}

// The word is written into a copy of the port, so the functions before and
// after come from the one decoder the board itself uses.
std::string GpioBlock::describe_config(std::size_t port, unsigned word, std::uint32_t value) const
{
    GpioBlock after(board_);
    after.state_[port] = state_[port];
    after.state_[port].config[word] = value;
    const bool combined_word = ports_[port].field_bits == combined;
    std::string text;
    for (unsigned number = 0; number < pin_count(ports_[port]); number++) {
        const unsigned old_function = field_function(port, number);
        const unsigned new_function = after.field_function(port, number);
        if (old_function != new_function)
            append_words(text, "pin " + std::to_string(number) + " " + function_name(old_function) + " -> " +
                                   function_name(new_function));
        // Port A's combined words hold the output levels too.
        const unsigned bit = 2 * (number % 8);
        if (combined_word && number / 8 == word && new_function == function_output &&
            (((state_[port].config[word] ^ value) >> bit) & 1 || old_function != new_function))
            append_words(text, "pin " + std::to_string(number) + ((value >> bit) & 1 ? " high" : " low"));
    }
    return text;
}

std::string GpioBlock::describe_data(std::size_t port, std::uint32_t value) const
{
    std::string text;
    for (unsigned number = 0; number < pin_count(ports_[port]); number++) {
        if (field_function(port, number) != function_output || !(((state_[port].data ^ value) >> number) & 1))
            continue;
        append_words(text, "pin " + std::to_string(number) + ((value >> number) & 1 ? " high" : " low"));
    }
    return text;
}

std::vector<Pin> GpioBlock::pins() const
{
    std::vector<Pin> list;
    for (const Layout &port : ports_) {
        for (unsigned number = 0; number < pin_count(port); number++)
            list.push_back(Pin{static_cast<std::uint8_t>(port.letter - 'A'), static_cast<std::uint8_t>(number)});
    }
    return list;
}

std::optional<GpioBlock::Touched> GpioBlock::pins_touched(std::uint32_t offset, std::uint32_t value) const
{
    const std::optional<Decoded> found = decode(offset);
    if (!found || found->reg == Role::pull)
        return std::nullopt;
    const Layout &port = ports_[found->port];
    const PortState &state = state_[found->port];
    const auto letter = static_cast<std::uint8_t>(port.letter - 'A');
    const std::uint32_t all_pins = (1u << pin_count(port)) - 1;
    if (found->reg == Role::data)
        return Touched{letter, (state.data ^ value) & all_pins};
    const unsigned word = found->reg == Role::config1 ? 1 : 0;
    // Port A's combined words give each pin two bits, its data and function.
    const unsigned bits_per_pin = port.field_bits == combined ? 2 : port.field_bits;
    const std::uint32_t changed = state.config[word] ^ value;
    std::uint32_t pins = 0;
    for (unsigned bit = 0; bit < 32; bit++) {
        if ((changed >> bit) & 1)
            pins |= 1u << (8 * word + bit / bits_per_pin);
    }
    return Touched{letter, pins & all_pins};
}

const GpioBlock::PortLayout *GpioBlock::layout(Pin pin) const
{
    if (pin.port >= by_letter_.size() || by_letter_[pin.port] < 0)
        return nullptr;
    const Layout &port = ports_[static_cast<std::size_t>(by_letter_[pin.port])];
    return pin.number < pin_count(port) ? &port : nullptr;
}

unsigned GpioBlock::pin_count(const PortLayout &port)
{
    return pins_of(port);
}

std::optional<std::string> GpioBlock::why_no_pin(const BoardSpec &board, Pin pin)
{
    const std::span<const Layout> ports = ports_of(board.chip);
    const char letter = static_cast<char>('A' + pin.port);
    const std::string chip = std::string("the ") + board.name + "'s " + board.chip_name;
    for (const Layout &port : ports) {
        if (port.letter != letter)
            continue;
        if (pin.number < pin_count(port))
            return std::nullopt;
        return chip + "'s port " + letter + " has pins 0 to " + std::to_string(pin_count(port) - 1) + ", not " +
               std::to_string(pin.number);
    }
    return chip + " has no port " + letter + " (ports " + port_letters(ports) + ")";
}

std::optional<unsigned> GpioBlock::pin_function(Pin pin) const
{
    const Layout *port = layout(pin);
    if (!port)
        return std::nullopt;
    return field_function(static_cast<std::size_t>(port - ports_.data()), pin.number);
}

unsigned GpioBlock::field_function(std::size_t index, unsigned number) const
{
    const Layout &port = ports_[index];
    const PortState &state = state_[index];
    if (port.field_bits == combined) {
        const std::uint32_t word = state.config[number / 8];
        return (word >> (2 * (number % 8) + 1)) & 1 ? function_alt1 : function_output;
    }
    unsigned field = number;
    std::uint32_t word = state.config[0];
    if (port.second_config && field >= 8) {
        field -= 8;
        word = state.config[1];
    }
    const std::uint32_t mask = (1u << port.field_bits) - 1;
    return (word >> (field * port.field_bits)) & mask;
}

// Every read of a data register comes here: the port is known by its index,
// so no pin is looked up by letter again.
std::uint32_t GpioBlock::data_reading(std::size_t index) const
{
    const Layout &port = ports_[index];
    std::uint32_t value = state_[index].data;
    const auto port_number = static_cast<std::uint8_t>(port.letter - 'A');
    for (unsigned number = 0; number < pin_count(port); number++) {
        if (field_function(index, number) != function_input)
            continue;
        const Pin pin{port_number, static_cast<std::uint8_t>(number)};
        const std::uint32_t bit = 1u << number;
        value = bus().input_level(pin) ? (value | bit) : (value & ~bit);
    }
    return value;
}

bool GpioBlock::pin_level(Pin pin) const
{
    const Layout *port = layout(pin);
    if (!port)
        return true;
    const auto index = static_cast<std::size_t>(port - ports_.data());
    if (port->field_bits == combined)
        return (state_[index].config[pin.number / 8] >> (2 * (pin.number % 8))) & 1;
    // data_reading's bit for this pin, without the rest of the port: a
    // waveform recorder asks for pins one by one on every write.
    if (field_function(index, pin.number) == function_input)
        return bus().input_level(pin);
    return (state_[index].data >> pin.number) & 1;
}

std::optional<bool> GpioBlock::output_level(Pin pin) const
{
    if (pin_function(pin) != function_output)
        return std::nullopt;
    // An output reads back its own latch.
    return pin_level(pin);
}

std::string GpioBlock::pin_label(Pin pin) const
{
    for (Button button : all_buttons) {
        if (board_.buttons[static_cast<unsigned>(button)] == pin)
            return std::string("button ") + button_name(button);
    }
    if (board_.backlight_enable == pin)
        return "backlight enable";
    if (board_.backlight_pwm == pin)
        return "backlight PWM, timer " + std::to_string(board_.backlight_timer);
    return {};
}

std::vector<GpioBlock::PinRow> GpioBlock::pin_rows() const
{
    std::vector<PinRow> rows;
    for (const Layout &port : ports_) {
        const auto port_number = static_cast<std::uint8_t>(port.letter - 'A');
        const unsigned count = pin_count(port);
        unsigned number = 0;
        while (number < count) {
            const Pin pin{port_number, static_cast<std::uint8_t>(number)};
            const unsigned function = *pin_function(pin);
            std::string label = pin_label(pin);
            if (function == function_input && label.empty()) {
                number++;
                continue;
            }
            const std::optional<bool> level =
                function <= function_output ? std::optional(pin_level(pin)) : std::nullopt;
            unsigned last = number;
            while (label.empty() && last + 1 < count) {
                const Pin next{port_number, static_cast<std::uint8_t>(last + 1)};
                if (!pin_label(next).empty() || pin_function(next) != function ||
                    (level && pin_level(next) != *level))
                    break;
                last++;
            }
            rows.push_back(PinRow{pin, static_cast<std::uint8_t>(last), function, level, std::move(label)});
            number = last + 1;
        }
    }
    return rows;
}

std::string GpioBlock::PinRow::name() const
{
    std::string text = std::string("GP") + static_cast<char>('A' + first.port) + std::to_string(first.number);
    if (last != first.number)
        text += "-" + std::to_string(last);
    return text;
}

std::string GpioBlock::PinRow::text() const
{
    std::string line = name() + " " + function_name(function);
    if (level)
        line += *level ? " high" : " low";
    if (!label.empty())
        line += " (" + label + ")";
    return line;
}

std::string GpioBlock::describe_pins() const
{
    std::string text;
    for (const PinRow &row : pin_rows())
        text += row.text() + "\n";
    return text;
}

void GpioBlock::save(StateWriter &out) const
{
    for (const PortState &port : state_)
        for (std::uint32_t word : {port.config[0], port.config[1], port.data, port.pull})
            out.u32(word);
}

void GpioBlock::restore(StateReader &in)
{
    for (PortState &port : state_)
        for (std::uint32_t *word : {&port.config[0], &port.config[1], &port.data, &port.pull})
            *word = in.u32();
}

}  // namespace kelto::sim
