// What the server tells the debugger about the target: the registers (an
// M-profile core with the single-precision FPU) and the memory map.
#pragma once
#include <string>

namespace vb::gdb {

// The target description; register numbers follow Machine::debug_reg's
// order (r0-r15, xpsr, msp, psp, primask, basepri, faultmask, control,
// s0-s31, fpscr).
const std::string& target_xml();
// Flash with its sector sizes (the erase blocks), RAM, CCM RAM, backup SRAM
// and the peripheral and system ranges.
const std::string& memory_map_xml();

}  // namespace vb::gdb
