#include "sim/gdb/target_description.hpp"

#include <cstdio>

namespace vb::gdb {

namespace {

std::string reg(const std::string& name, int num, const std::string& type, const char* group = nullptr) {
  std::string s = "<reg name=\"" + name + "\" bitsize=\"32\" regnum=\"" + std::to_string(num) + "\" type=\"" + type + "\"";
  if (group) s += std::string(" group=\"") + group + "\"";
  return s + "/>\n";
}

std::string build_target() {
  std::string s =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n<target version=\"1.0\">\n"
      "<architecture>arm</architecture>\n<feature name=\"org.gnu.gdb.arm.m-profile\">\n";
  for (int i = 0; i <= 12; ++i) s += reg("r" + std::to_string(i), i, "uint32");
  s += reg("sp", 13, "data_ptr") + reg("lr", 14, "int") + reg("pc", 15, "code_ptr") + reg("xpsr", 16, "int");
  s += "</feature>\n<feature name=\"vboard.m-system\">\n";
  const char* special[] = {"msp", "psp", "primask", "basepri", "faultmask", "control"};
  for (int i = 0; i < 6; ++i) s += reg(special[i], 17 + i, i < 2 ? "data_ptr" : "uint32", "system");
  s += "</feature>\n<feature name=\"vboard.m-fpu\">\n";
  for (int i = 0; i < 32; ++i) s += reg("s" + std::to_string(i), 23 + i, "ieee_single", "float");
  s += reg("fpscr", 55, "int", "float");
  s += "</feature>\n</target>\n";
  return s;
}

std::string region(const char* type, unsigned start, unsigned length, unsigned block = 0) {
  char buf[200];
  if (block) {
    std::snprintf(buf, sizeof buf,
                  "<memory type=\"%s\" start=\"0x%08x\" length=\"0x%x\"><property name=\"blocksize\">0x%x</property></memory>\n",
                  type, start, length, block);
  } else {
    std::snprintf(buf, sizeof buf, "<memory type=\"%s\" start=\"0x%08x\" length=\"0x%x\"/>\n", type, start, length);
  }
  return buf;
}

std::string build_memory_map() {
  std::string s = "<?xml version=\"1.0\"?>\n<memory-map>\n";
  s += region("rom", 0x00000000, 0x100000);         // flash aliased at 0 (boot from main flash)
  s += region("flash", 0x08000000, 0x10000, 0x4000); // sectors 0-3, 16 KiB
  s += region("flash", 0x08010000, 0x10000, 0x10000);  // sector 4, 64 KiB
  s += region("flash", 0x08020000, 0xE0000, 0x20000);  // sectors 5-11, 128 KiB
  s += region("ram", 0x10000000, 0x10000);   // CCM data RAM
  s += region("ram", 0x20000000, 0x20000);   // SRAM1 + SRAM2
  s += region("ram", 0x40000000, 0x24000);   // APB1, APB2, AHB1 up to the backup SRAM
  s += region("ram", 0x40024000, 0x1000);    // backup SRAM
  s += region("ram", 0x40025000, 0x1FFDB000);  // rest of AHB1, AHB2
  s += region("ram", 0xE0000000, 0x100000);  // private peripheral bus (NVIC, SysTick, SCB)
  return s + "</memory-map>\n";
}

}  // namespace

const std::string& target_xml() {
  static const std::string doc = build_target();
  return doc;
}

const std::string& memory_map_xml() {
  static const std::string doc = build_memory_map();
  return doc;
}

}  // namespace vb::gdb
