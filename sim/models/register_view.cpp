#include "models/register_view.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace kelto::sim {

namespace {

bool same_letter(char x, char y)
{
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
}

bool same_words(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), same_letter);
}

bool contains_words(std::string_view text, std::string_view part)
{
    return std::search(text.begin(), text.end(), part.begin(), part.end(), same_letter) != text.end();
}

std::string field_words(const Field &field, std::uint32_t value)
{
    const std::uint32_t state = field.value_in(value);
    if (field.width == 1 && !(field.when_set.empty() && field.when_clear.empty()))
        return std::string(state ? field.when_set : field.when_clear);
    if (state == 0)
        return {};
    char text[48];
    std::snprintf(text, sizeof text, state < 10 ? "=%u" : "=0x%x", state);
    return std::string(field.name) + text;
}

}  // namespace

std::string register_words(const Register &reg, std::uint32_t value)
{
    std::vector<const Field *> fields;
    for (const Field &field : reg.fields)
        fields.push_back(&field);
    std::sort(fields.begin(), fields.end(), [](const Field *a, const Field *b) { return a->lsb > b->lsb; });
    std::string words;
    for (const Field *field : fields)
        append_words(words, field_words(*field, value));
    return words;
}

std::string register_line(const Device &device, const Register &reg)
{
    const std::optional<std::uint32_t> value = device.peek(reg.offset);
    char head[48];
    std::snprintf(head, sizeof head, "%-9.*s 0x%08x", static_cast<int>(reg.name.view().size()), reg.name.view().data(),
                  value.value_or(0));
    const std::string words = value ? register_words(reg, *value) : "cannot be read";
    return std::string(head) + (words.empty() ? "" : "  " + words) + "\n";
}

std::string registers_text(std::span<const Device *const> devices, std::string_view what)
{
    std::string text;
    for (const Device *device : devices) {
        const std::string_view name = device->name();
        const bool whole = contains_words(name, what);
        std::string lines;
        for (const Register &reg : device->registers())
            if (whole || same_words(reg.name.view(), what))
                lines += "  " + register_line(*device, reg);
        if (lines.empty())
            continue;
        char heading[64];
        std::snprintf(heading, sizeof heading, "%s at 0x%08x\n", device->name().c_str(), device->base());
        text += heading + lines;
    }
    return text;
}

}  // namespace kelto::sim
