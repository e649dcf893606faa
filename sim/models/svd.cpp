#include "models/svd.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

#include "models/gpio.hpp"
#include "models/timer.hpp"
#include "models/uart.hpp"

namespace kelto::sim {

namespace {

std::string hex(std::uint32_t value, int digits = 8)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// SVD names are C identifiers: "PWM timers" becomes PWM_TIMERS.
std::string identifier(std::string_view words)
{
    std::string name;
    for (char c : words)
        name += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : '_';
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0])))
        name.insert(0, "_");
    return name;
}

// UART1 belongs to the group UART.
std::string group_of(const std::string &name)
{
    return identifier(name.substr(0, name.find_last_not_of("0123456789") + 1));
}

const char *access_name(RegisterAccess access)
{
    switch (access) {
    case RegisterAccess::read_only: return "read-only";
    case RegisterAccess::write_only: return "write-only";
    case RegisterAccess::read_write: return "read-write";
    }
    return "read-write";
}

class XmlWriter {
public:
    void open(std::string_view tag, std::string_view attributes = {})
    {
        indent();
        text_ += "<" + std::string(tag) + (attributes.empty() ? "" : " ") + std::string(attributes) + ">\n";
        depth_++;
    }
    void close(std::string_view tag)
    {
        depth_--;
        indent();
        text_ += "</" + std::string(tag) + ">\n";
    }
    void element(std::string_view tag, std::string_view content)
    {
        indent();
        text_ += "<" + std::string(tag) + ">" + escaped(content) + "</" + std::string(tag) + ">\n";
    }
    std::string &text() { return text_; }

private:
    static std::string escaped(std::string_view content)
    {
        std::string out;
        for (char c : content) {
            switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
            }
        }
        return out;
    }
    void indent() { text_.append(2 * depth_, ' '); }

    std::string text_;
    std::size_t depth_ = 0;
};

void write_states(XmlWriter &xml, const Field &field)
{
    xml.open("enumeratedValues");
    for (const auto &[words, value] : {std::pair{field.when_clear, "0"}, {field.when_set, "1"}}) {
        if (words.empty())
            continue;
        xml.open("enumeratedValue");
        xml.element("name", identifier(words));
        xml.element("description", words);
        xml.element("value", value);
        xml.close("enumeratedValue");
    }
    xml.close("enumeratedValues");
}

void write_register(XmlWriter &xml, const Register &reg)
{
    xml.open("register");
    xml.element("name", reg.name.view());
    xml.element("description", reg.description);
    xml.element("addressOffset", hex(reg.offset, 3));
    xml.element("size", "32");
    xml.element("access", access_name(reg.access));
    xml.element("resetValue", hex(reg.reset));
    xml.element("resetMask", "0xFFFFFFFF");
    if (reg.read_effect != ReadEffect::none)
        xml.element("readAction", reg.read_effect == ReadEffect::clears ? "clear" : "modify");
    if (!reg.fields.empty()) {
        xml.open("fields");
        for (const Field &field : reg.fields) {
            xml.open("field");
            xml.element("name", field.name);
            xml.element("description", field.description);
            xml.element("bitOffset", std::to_string(field.lsb));
            xml.element("bitWidth", std::to_string(field.width));
            if (field.width == 1 && !(field.when_set.empty() && field.when_clear.empty()))
                write_states(xml, field);
            xml.close("field");
        }
        xml.close("fields");
    }
    xml.close("register");
}

// A peripheral with the same table as an earlier one is derived from it, as
// editors expect of a chip's repeated channels.
void write_peripheral(XmlWriter &xml, const Device &device, const Device *model)
{
    const std::string name = identifier(device.name());
    if (model) {
        xml.open("peripheral", "derivedFrom=\"" + identifier(model->name()) + "\"");
        xml.element("name", name);
        xml.element("baseAddress", hex(device.base()));
        xml.close("peripheral");
        return;
    }
    xml.open("peripheral");
    xml.element("name", name);
    xml.element("description", device.name());
    xml.element("groupName", group_of(device.name()));
    xml.element("baseAddress", hex(device.base()));
    xml.open("addressBlock");
    xml.element("offset", "0x0");
    xml.element("size", hex(device.size(), 1));
    xml.element("usage", "registers");
    xml.close("addressBlock");
    xml.open("registers");
    for (const Register &reg : device.registers())
        write_register(xml, reg);
    xml.close("registers");
    xml.close("peripheral");
}

std::vector<std::unique_ptr<Device>> chip_models(const BoardSpec &board)
{
    std::vector<std::unique_ptr<Device>> models;
    models.reserve(6);
    for (int channel = 0; channel < 4; channel++)
        models.push_back(std::make_unique<UartChannel>(channel, board.uart_base[static_cast<std::size_t>(channel)],
                                                       board.pclk_hz, channel == board.console_channel));
    models.push_back(std::make_unique<GpioBlock>(board));
    models.push_back(std::make_unique<TimerBlock>(board));
    return models;
}


std::string svd_document(const BoardSpec &board, std::span<const Device *const> devices, std::string_view version)
{
    XmlWriter xml;
    xml.text() = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    xml.open("device", "schemaVersion=\"1.3\" xmlns:xs=\"http://www.w3.org/2001/XMLSchema-instance\" "
                       "xs:noNamespaceSchemaLocation=\"CMSIS-SVD.xsd\"");
    xml.element("name", board.chip_name);
    xml.element("version", version);
    xml.element("description", std::string(board.chip_name) + " as keltosim models it for " + board.name +
                                   ": the registers of its UART channels, GPIO ports and PWM timers");
    xml.element("addressUnitBits", "8");
    xml.element("width", "32");
    xml.element("size", "32");
    xml.element("access", "read-write");
    xml.element("resetValue", "0x00000000");
    xml.element("resetMask", "0xFFFFFFFF");
    xml.open("peripherals");
    for (std::size_t i = 0; i < devices.size(); i++) {
        const Device *model = nullptr;
        for (std::size_t j = 0; j < i && !model; j++)
            if (devices[j]->registers().data() == devices[i]->registers().data())
                model = devices[j];
        write_peripheral(xml, *devices[i], model);
    }
    xml.close("peripherals");
    xml.close("device");
    return std::move(xml.text());
}

}  // namespace

std::string chip_svd(const BoardSpec &board, std::string_view version)
{
    const std::vector<std::unique_ptr<Device>> models = chip_models(board);
    std::vector<const Device *> devices(models.size());
    std::transform(models.begin(), models.end(), devices.begin(), [](const auto &model) { return model.get(); });
    return svd_document(board, devices, version);
}

}  // namespace kelto::sim
