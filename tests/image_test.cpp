// What the boot loader and the linker of the object modules rely on: the ELF
// form of every delivered image and module, read from the files themselves.
#include <elf.h>

#include <set>
#include <string>
#include <vector>

#include "elf_file.hpp"
#include "harness.hpp"

using namespace kelto::test;

namespace {

constexpr std::uint32_t eabi_version_mask = 0xFF000000;
constexpr std::uint32_t eabi_version_5 = 0x05000000;

ElfFile read_image(const std::string &name)
{
    return ElfFile::read(image_path(name));
}

std::string arch_name(std::uint32_t arch)
{
    switch (arch) {
    case arm_arch::v4t: return "v4T";
    case arm_arch::v5tej: return "v5TEJ";
    case arm_arch::v6kz: return "v6KZ";
    default: return "arch " + std::to_string(arch);
    }
}

// 32-bit little-endian ARM, EABI version 5, no hard-float calling: no
// argument in VFP registers and no floating-point unit in the attributes.
void expect_eabi5_soft_float(const ElfFile &file, unsigned type)
{
    EXPECT_EQ(file.elf_class, unsigned{ELFCLASS32});
    EXPECT_EQ(file.data_encoding, unsigned{ELFDATA2LSB});
    EXPECT_EQ(file.machine, unsigned{EM_ARM});
    EXPECT_EQ(file.type, type);
    EXPECT_EQ(file.flags & eabi_version_mask, eabi_version_5) << std::hex << file.flags;
    EXPECT_FALSE(file.flags & EF_ARM_ABI_FLOAT_HARD) << std::hex << file.flags;
    EXPECT_EQ(file.attributes.number(arm_tag::abi_vfp_args), 0u);
    EXPECT_EQ(file.attributes.number(arm_tag::fp_arch), 0u);
}

// Built for the core, in the ARM instruction set, with one-byte enumerations.
void expect_arm_code_for(const ElfFile &file, std::uint32_t cpu_arch)
{
    EXPECT_EQ(arch_name(file.attributes.number(arm_tag::cpu_arch)), arch_name(cpu_arch));
    EXPECT_EQ(file.attributes.number(arm_tag::arm_isa_use), 1u);
    EXPECT_EQ(file.attributes.number(arm_tag::abi_enum_size), arm_enum_size_small);
    for (const ElfSymbol &symbol : file.symbols) {
        if (symbol.type == STT_FUNC && symbol.defined) {
            EXPECT_EQ(symbol.value & 1, 0u) << symbol.name << " is Thumb code";
        }
    }
}

// A parameterised test over files named by the parameter.
template <class Param> class ElfFileTest : public testing::TestWithParam<Param> {
protected:
    void SetUp() override { file = read_image(this->GetParam().name); }
    ElfFile file;
};

// ---------------------------------------------------------------------------
// Programs entered by the boot loader

struct ProgramImage {
    const char *name;
    std::uint32_t link_address;
    std::uint32_t cpu_arch;
};

void PrintTo(const ProgramImage &image, std::ostream *os)
{
    *os << image.name;
}

using ProgramImageTest = ElfFileTest<ProgramImage>;

TEST_P(ProgramImageTest, IsA32BitLittleEndianArmExecutableForEabi5SoftFloat)
{
    expect_eabi5_soft_float(file, ET_EXEC);
    // The linker records the soft-float calling convention in the header.
    EXPECT_TRUE(file.flags & EF_ARM_ABI_FLOAT_SOFT) << std::hex << file.flags;
}

TEST_P(ProgramImageTest, IsEnteredAtMainInArmState)
{
    const auto main = file.symbol("main");
    ASSERT_TRUE(main);
    EXPECT_EQ(main->type, unsigned{STT_FUNC});
    EXPECT_EQ(main->bind, unsigned{STB_GLOBAL});
    EXPECT_EQ(file.entry, main->value);
    EXPECT_EQ(file.entry % 4, 0u) << "an odd or half-word entry would be Thumb code";
}

TEST_P(ProgramImageTest, LoadsCodeThenDataWithBssAtTheTail)
{
    std::vector<ElfProgramHeader> loads;
    for (const ElfProgramHeader &program : file.programs)
        if (program.type == PT_LOAD)
            loads.push_back(program);
    ASSERT_EQ(loads.size(), 2u);

    const ElfProgramHeader &text = loads[0];
    EXPECT_EQ(text.address, GetParam().link_address);
    EXPECT_EQ(text.flags, unsigned{PF_R | PF_X});
    EXPECT_EQ(text.file_size, text.memory_size);

    const ElfProgramHeader &data = loads[1];
    EXPECT_EQ(data.flags, unsigned{PF_R | PF_W});
    EXPECT_GE(data.address, text.address + text.memory_size);

    const auto bss = file.section(".bss");
    ASSERT_TRUE(bss);
    EXPECT_EQ(bss->type, unsigned{SHT_NOBITS});
    EXPECT_EQ(data.memory_size - data.file_size, bss->size);
    EXPECT_EQ(bss->address + bss->size, data.address + data.memory_size);
    if (const auto initialised = file.section(".data")) {
        EXPECT_EQ(initialised->address, data.address);
        EXPECT_EQ(initialised->size, data.file_size);
    }

    // Code and read-only data all lie in the text segment.
    for (const char *name : {".text", ".rodata"}) {
        const auto section = file.section(name);
        ASSERT_TRUE(section) << name;
        EXPECT_GE(section->address, text.address) << name;
        EXPECT_LE(section->address + section->size, text.address + text.memory_size) << name;
    }
}

TEST_P(ProgramImageTest, HasNoStartUpCodeToRun)
{
    for (const char *name : {".init_array", ".preinit_array", ".fini_array", ".ctors", ".dtors", ".init", ".fini"}) {
        const auto section = file.section(name);
        EXPECT_TRUE(!section || section->size == 0) << name << " holds " << section->size << " bytes";
    }
    EXPECT_FALSE(file.symbol("_start")) << "the image has a start-up routine";
    EXPECT_FALSE(file.symbol("Reset_Handler"));
}

TEST_P(ProgramImageTest, IsArmCodeForTheBoardsCoreWithOneByteEnumerations)
{
    // Every function, the library's included: the loader calls main in ARM
    // state and nothing in the image switches.
    expect_arm_code_for(file, GetParam().cpu_arch);
}

INSTANTIATE_TEST_SUITE_P(Images, ProgramImageTest,
                         testing::Values(ProgramImage{"consolefw-64", 0x50080000, arm_arch::v6kz},
                                         ProgramImage{"consolefw-24", 0x30080000, arm_arch::v5tej},
                                         ProgramImage{"drivertest-64", 0x50080000, arm_arch::v6kz},
                                         ProgramImage{"drivertest-24", 0x30080000, arm_arch::v5tej},
                                         ProgramImage{"greetfw", 0x30080000, arm_arch::v5tej},
                                         ProgramImage{"pollfw-64", 0x50080000, arm_arch::v4t}),
                         NamedParam());

// ---------------------------------------------------------------------------
// Object modules of the button-polling firmware

struct ObjectModule {
    const char *name;
    std::set<std::string> defines;
    std::set<std::string> needs;
};

void PrintTo(const ObjectModule &image, std::ostream *os)
{
    *os << image.name;
}

// The compiler's own run-time helpers (division on cores without a divide
// instruction) come from libgcc at link time and are no module's interface.
bool is_compiler_helper(const std::string &name)
{
    return name.rfind("__aeabi_", 0) == 0;
}

using ObjectModuleTest = ElfFileTest<ObjectModule>;

TEST_P(ObjectModuleTest, IsARelocatableArm7tdmiObjectForEabi5)
{
    expect_eabi5_soft_float(file, ET_REL);
    expect_arm_code_for(file, arm_arch::v4t);
}

TEST_P(ObjectModuleTest, DefinesAndNeedsExactlyItsInterface)
{
    std::set<std::string> defines, needs;
    for (const ElfSymbol &symbol : file.symbols) {
        if (symbol.bind == STB_LOCAL || symbol.name.empty())
            continue;
        if (symbol.defined)
            defines.insert(symbol.name);
        else if (!is_compiler_helper(symbol.name))
            needs.insert(symbol.name);
    }
    EXPECT_EQ(defines, GetParam().defines);
    EXPECT_EQ(needs, GetParam().needs);
}

TEST_P(ObjectModuleTest, HasNoStartUpCodeOrStaticConstructors)
{
    for (const ElfSection &section : file.sections) {
        for (const char *prefix : {".init_array", ".ctors", ".preinit_array"})
            EXPECT_NE(section.name.rfind(prefix, 0), 0u) << section.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modules, ObjectModuleTest,
    testing::Values(ObjectModule{"pollfw-main.o",
                                 {"main"},
                                 {"kelto_uart_init", "kelto_uart_read", "kelto_btn_scan", "printf", "puts", "putchar",
                                  "__srget_r", "_impure_ptr"}},
                    ObjectModule{"pollfw-button.o", {"kelto_btn_scan"}, {"kelto_gpio_get_val"}},
                    ObjectModule{"pollfw-gpio.o", {"kelto_gpio_get_val"}, {}},
                    ObjectModule{"uartmod.o",
                                 {"kelto_uart_init", "kelto_uart_putc", "kelto_uart_write", "kelto_uart_read"},
                                 {}}),
    NamedParam());

// ---------------------------------------------------------------------------
// Build stamps: __TIME__ and __DATE__ pinned to the delivered build

TEST(BuildStamps, PollingModuleCarriesItsDeliveredTimeAndDate)
{
    const ElfFile file = read_image("pollfw-main.o");
    EXPECT_TRUE(file.contains(std::string("13:11:24") + '\0'));
    // Day 9 is padded to two characters: two spaces after the month.
    EXPECT_TRUE(file.contains(std::string("Feb  9 2011") + '\0'));
}

TEST(BuildStamps, ConsoleImagesCarryTheirDeliveredTimeAndDate)
{
    for (const char *name : {"consolefw-64", "consolefw-24"}) {
        const ElfFile file = read_image(name);
        EXPECT_TRUE(file.contains(std::string("13:57:30") + '\0')) << name;
        EXPECT_TRUE(file.contains(std::string("Feb 11 2011") + '\0')) << name;
        EXPECT_FALSE(file.contains("13:11:24")) << name << " carries the polling firmware's stamp";
    }
}

// ---------------------------------------------------------------------------
// The ARM attribute reader itself, on a hand-made section

TEST(ArmAttributeReader, ReadsFileScopeNumbersAndTexts)
{
    // 'A', then one "aeabi" subsection holding a file-scope list:
    // Tag_CPU_name "6KZ", Tag_CPU_arch 7, Tag_ABI_enum_size 1, and
    // Tag_compatibility 1 "gnu" (a number and a text).
    std::vector<std::uint8_t> section = {'A'};
    const std::vector<std::uint8_t> list = {5, '6', 'K', 'Z', 0, 6, 7, 26, 1, 32, 1, 'g', 'n', 'u', 0};
    const std::uint32_t file_size = static_cast<std::uint32_t>(1 + 4 + list.size());
    const std::uint32_t vendor_size = 4 + 6 + file_size;
    auto word = [&](std::uint32_t value) {
        for (int i = 0; i < 4; i++)
            section.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    word(vendor_size);
    section.insert(section.end(), {'a', 'e', 'a', 'b', 'i', 0});
    section.push_back(1);
    word(file_size);
    section.insert(section.end(), list.begin(), list.end());

    const ArmAttributes attributes = parse_arm_attributes(section);
    EXPECT_EQ(attributes.texts.at(arm_tag::cpu_name), "6KZ");
    EXPECT_EQ(attributes.number(arm_tag::cpu_arch), arm_arch::v6kz);
    EXPECT_EQ(attributes.number(arm_tag::abi_enum_size), arm_enum_size_small);
    EXPECT_EQ(attributes.number(32), 1u);
    EXPECT_EQ(attributes.texts.at(32), "gnu");
    EXPECT_EQ(attributes.number(arm_tag::fp_arch), 0u) << "an absent tag reads as 0";

    section.pop_back();  // cut the last string short
    EXPECT_THROW(parse_arm_attributes(section), std::runtime_error);
}

}  // namespace
