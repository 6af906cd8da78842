// Loading the firmware image: segments at their load addresses, symbols
// both ways, and clear errors for files that are not an image.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "sim/core/elf.hpp"
#include "sim/core/machine.hpp"

namespace vb::test {
namespace {

TEST(CoreElf, ShouldPlaceTheVectorTableAtTheStartOfFlash) {
  Machine m;
  m.load_elf(FIRMWARE_ELF);
  EXPECT_EQ(m.symbol("_endof_stack"), m.read32(0x08000000));
  EXPECT_EQ(m.symbol("start") | 1, m.read32(0x08000004));
  EXPECT_EQ(m.read32(0x08000004), m.read32(0x00000004)) << "boot alias";
}

TEST(CoreElf, ShouldNameAnAddressByItsStrongestSymbol) {
  Machine m;
  m.load_elf(FIRMWARE_ELF);
  const std::uint32_t trap = m.symbol("hndl_TRAP");
  EXPECT_EQ(trap, m.symbol("hndl_WWDG")) << "weak alias of the trap";
  EXPECT_EQ("hndl_TRAP", m.symbol_at(trap)) << "not one of its dozens of aliases";
  EXPECT_EQ("start+0x2", m.symbol_at(m.symbol("start") + 2));
}

TEST(CoreElf, ShouldThrowForAMissingSymbol) {
  Machine m;
  m.load_elf(FIRMWARE_ELF);
  EXPECT_FALSE(m.find_symbol("no_such_symbol_here").has_value());
  EXPECT_THROW(m.symbol("no_such_symbol_here"), std::runtime_error);
}

struct BadFileCase {
  const char* name;
  std::string contents;  // empty name: the file does not exist
  const char* expected;
};

class CoreElfErrors : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(CoreElfErrors, ShouldRejectWhatIsNotAnImageWithAClearMessage) {
  const BadFileCase& c = GetParam();
  const std::string path = ::testing::TempDir() + "core_elf_" + c.name;
  std::remove(path.c_str());
  if (!c.contents.empty()) std::ofstream(path, std::ios::binary) << c.contents;
  Machine m;
  try {
    m.load_elf(path);
    FAIL() << "loaded " << c.name;
  } catch (const std::runtime_error& e) {
    const std::string msg = e.what();
    EXPECT_NE(std::string::npos, msg.find(path)) << msg;
    EXPECT_NE(std::string::npos, msg.find(c.expected)) << msg;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Core, CoreElfErrors,
    ::testing::Values(BadFileCase{"missing", "", "cannot open"},
                      BadFileCase{"text", "this is not an image at all, just some words of text ...........",
                                  "not an ELF file"},
                      BadFileCase{"truncated", std::string("\x7f" "ELF\x01\x01\x01", 7), "truncated"},
                      BadFileCase{"x86_64", std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(64, '\0'),
                                  "not a 32-bit little-endian ARM"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vb::test
