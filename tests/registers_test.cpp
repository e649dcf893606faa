// The models' register tables as others read them: the chips' SVD files
// under the format's rules, cross-checked against the models themselves, and
// the register view's words.
#include <boost/property_tree/xml_parser.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "harness.hpp"
#include "models/register_view.hpp"
#include "models/svd.hpp"

namespace kelto::test {
namespace {

using boost::property_tree::ptree;

std::uint32_t number(const ptree &node, const char *path)
{
    return static_cast<std::uint32_t>(std::stoull(node.get<std::string>(path), nullptr, 0));
}

// Every register's reset value by address, each checked against the rules
// editors rely on: required elements, registers inside their peripheral's
// block and apart, fields inside 32 bits and apart.
std::map<std::uint32_t, std::uint32_t> checked_resets(const ptree &device)
{
    for (const char *required : {"name", "version", "description", "addressUnitBits", "width", "size", "resetValue",
                                 "resetMask"})
        EXPECT_TRUE(device.get_optional<std::string>(required)) << required;
    EXPECT_EQ(number(device, "addressUnitBits"), 8u);
    EXPECT_EQ(number(device, "width"), 32u);
    const ptree none;
    std::map<std::string, const ptree *> peripherals;
    std::map<std::uint32_t, std::uint32_t> resets;
    for (const auto &[tag, peripheral] : device.get_child("peripherals")) {
        const std::string name = peripheral.get<std::string>("name");
        const auto derived = peripheral.get_optional<std::string>("<xmlattr>.derivedFrom");
        const ptree &layout = derived ? *peripherals.at(*derived) : peripheral;
        peripherals[name] = &peripheral;
        const std::uint32_t base = number(peripheral, "baseAddress");
        const std::uint32_t block = number(layout, "addressBlock.size");
        for (const auto &[register_tag, reg] : layout.get_child("registers")) {
            const std::string where = name + " " + reg.get<std::string>("name");
            const std::uint32_t offset = number(reg, "addressOffset");
            EXPECT_EQ(number(reg, "size"), 32u) << where;
            EXPECT_LE(offset + 4, block) << where;
            EXPECT_TRUE(std::set<std::string>({"read-only", "write-only", "read-write"}).count(reg.get<std::string>("access")))
                << where;
            EXPECT_TRUE(resets.emplace(base + offset, number(reg, "resetValue")).second) << where << " overlaps";
            std::uint64_t bits = 0;
            for (const auto &[field_tag, field] : reg.get_child("fields", none)) {
                const std::uint64_t width = number(field, "bitWidth"), lsb = number(field, "bitOffset");
                EXPECT_TRUE(width > 0 && lsb + width <= 32) << where << "." << field.get<std::string>("name");
                const std::uint64_t mask = ((std::uint64_t{1} << width) - 1) << lsb;
                EXPECT_EQ(bits & mask, 0u) << where << "." << field.get<std::string>("name") << " overlaps";
                bits |= mask;
            }
        }
    }
    return resets;
}

TEST(Svd, FollowsTheFormatAndDescribesEveryModelledRegister)
{
    for (const auto &[board_id, image] : {std::pair{64, "consolefw-64"}, {24, "consolefw-24"}}) {
        SCOPED_TRACE(image);
        const std::string text = sim::chip_svd(*sim::board_by_id(board_id), "test");
        const std::string path = ::testing::TempDir() + "chip.svd";
        std::ofstream(path) << text;
        EXPECT_EQ(std::system(("xmllint --noout " + path).c_str()), 0) << "xmllint finds the file malformed";
        ptree tree;
        std::istringstream in(text);
        boost::property_tree::read_xml(in, tree);
        const std::map<std::uint32_t, std::uint32_t> resets = checked_resets(tree.get_child("device"));

        // What the machine's own models read after reset, register by
        // register, with nothing more and nothing less in the file.
        const auto machine = load(image);
        std::size_t modelled = 0;
        for (const sim::Device *device : machine->devices()) {
            for (std::uint32_t offset = 0; offset < device->size(); offset += 4) {
                const std::optional<std::uint32_t> value = device->peek(offset);
                if (!value)
                    continue;
                modelled++;
                const auto found = resets.find(device->base() + offset);
                ASSERT_NE(found, resets.end()) << device->name() << " " << device->register_name(offset);
                EXPECT_EQ(found->second, *value) << device->name() << " " << device->register_name(offset);
            }
        }
        EXPECT_EQ(resets.size(), modelled);
    }
}

// After the console firmware's set-up: each field from the highest bit down,
// a flag in the words for its state, a wider field by its value unless 0.
TEST(RegisterView, DecodesAUartsFieldsInWords)
{
    const auto machine = load("consolefw-64");
    run_until_waiting(*machine);
    EXPECT_EQ(sim::registers_text(machine->devices(), "uart1"),
              "UART1 at 0x7f005400\n"
              "  ULCON     0x00000003  one stop bit, WORD_LENGTH=3\n"
              "  UCON      0x00000805  TX_MODE=1, RX_MODE=1\n"
              "  UFCON     0x00000071  FIFOs on\n"
              "  UMCON     0x00000000\n"
              "  UTRSTAT   0x00000006  tx empty, tx buffer empty, rx empty\n"
              "  UERSTAT   0x00000000\n"
              "  UFSTAT    0x00000000\n"
              "  UMSTAT    0x00000000\n"
              "  UTXH      0x0000000a  DATA=0xa\n"
              "  URXH      0x00000000\n"
              "  UBRDIV    0x00000022  DIVISOR=0x22\n"
              "  UDIVSLOT  0x00000000\n");
    EXPECT_EQ(sim::registers_text(machine->devices(), "uart9"), "");
}

}  // namespace
}  // namespace kelto::test
