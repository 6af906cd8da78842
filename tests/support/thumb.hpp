// A tiny Thumb-2 assembler for hand-written programs on a bare machine (the
// core tests and the benchmark): the handful of encodings they need, with
// labels for branches.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace vb::test {

class Thumb {
public:
  struct Label {
    std::uint32_t addr = 0;
    bool bound = false;
  };

  explicit Thumb(std::uint32_t base) : base_(base) {}

  std::uint32_t here() const { return base_ + static_cast<std::uint32_t>(bytes_.size()); }
  const std::vector<std::uint8_t>& bytes() const {
    if (!fixups_.empty()) throw std::logic_error("Thumb: a branch to an unbound label");
    return bytes_;
  }
  void bind(Label& l) {
    l.addr = here();
    l.bound = true;
    for (auto it = fixups_.begin(); it != fixups_.end();) {
      if (it->label == &l) {
        patch(*it);
        it = fixups_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // --- data processing ------------------------------------------------------
  Thumb& movs(int rd, std::uint8_t imm) { return h(0x2000 | rd << 8 | imm); }
  Thumb& adds(int rd, std::uint8_t imm) { return h(0x3000 | rd << 8 | imm); }
  Thumb& subs(int rd, std::uint8_t imm) { return h(0x3800 | rd << 8 | imm); }
  Thumb& adds(int rd, int rn, int rm) { return h(0x1800 | rm << 6 | rn << 3 | rd); }
  Thumb& lsls(int rd, int rm, int imm5) { return h(0x0000 | imm5 << 6 | rm << 3 | rd); }
  Thumb& mov(int rd, int rm) { return h(0x4600 | (rd & 8) << 4 | rm << 3 | (rd & 7)); }
  Thumb& cmp(int rn, std::uint8_t imm) { return h(0x2800 | rn << 8 | imm); }
  // MOVW + MOVT: any 32-bit constant.
  Thumb& mov32(int rd, std::uint32_t v) {
    movw_t(0xF240, rd, v & 0xFFFF);
    return movw_t(0xF2C0, rd, v >> 16);
  }
  Thumb& movw(int rd, std::uint16_t v) { return movw_t(0xF240, rd, v); }

  // --- memory ---------------------------------------------------------------
  Thumb& ldr(int rt, int rn, int offset = 0) { return h(0x6800 | (offset / 4) << 6 | rn << 3 | rt); }
  Thumb& str(int rt, int rn, int offset = 0) { return h(0x6000 | (offset / 4) << 6 | rn << 3 | rt); }
  Thumb& ldr_sp(int rt, int offset) { return h(0x9800 | rt << 8 | offset / 4); }
  Thumb& push_lr() { return h(0xB500); }
  Thumb& pop_pc() { return h(0xBD00); }

  // --- control --------------------------------------------------------------
  Thumb& bx(int rm) { return h(0x4700 | rm << 3); }
  Thumb& b(Label& l) { return branch(l, Kind::kB); }
  Thumb& bne(Label& l) { return branch(l, Kind::kBne); }
  Thumb& bl(Label& l) { return branch(l, Kind::kBl); }
  Thumb& b_self() { return h(0xE7FE); }  // b .
  Thumb& cpsie_i() { return h(0xB662); }
  Thumb& cpsid_i() { return h(0xB672); }
  Thumb& nop() { return h(0xBF00); }
  Thumb& wfi() { return h(0xBF30); }
  Thumb& wfe() { return h(0xBF20); }
  Thumb& sev() { return h(0xBF40); }
  Thumb& cpsid_f() { return h(0xB671); }
  // Special registers by SYSm: 0 APSR, 3 xPSR, 5 IPSR, 6 EPSR, 7 IEPSR,
  // 16 PRIMASK, 17 BASEPRI, 19 FAULTMASK.
  Thumb& mrs(int rd, int sysm) { return h(0xF3EF).h(0x8000 | rd << 8 | sysm); }
  Thumb& msr(int sysm, int rn) { return h(0xF380 | rn).h(0x8800 | sysm); }
  Thumb& udf() { return h(0xDE00); }

  // --- floating point ------------------------------------------------------
  Thumb& vmov_s_r(int sn, int rt) { return h(0xEE00 | sn >> 1).h(rt << 12 | 0x0A10 | (sn & 1) << 7); }
  Thumb& vmov_r_s(int rt, int sn) { return h(0xEE10 | sn >> 1).h(rt << 12 | 0x0A10 | (sn & 1) << 7); }

  Thumb& word(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Thumb& align(unsigned n) {
    while (here() % n) bytes_.push_back(0);
    return *this;
  }

private:
  enum class Kind { kB, kBne, kBl };
  struct Fixup {
    std::size_t pos;
    std::uint32_t at;
    Label* label;
    Kind kind;
  };

  Thumb& h(int v) {
    bytes_.push_back(static_cast<std::uint8_t>(v));
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    return *this;
  }
  Thumb& movw_t(int op, int rd, std::uint32_t imm16) {
    const int imm4 = (imm16 >> 12) & 0xF, i = (imm16 >> 11) & 1, imm3 = (imm16 >> 8) & 7, imm8 = imm16 & 0xFF;
    return h(op | i << 10 | imm4).h(imm3 << 12 | rd << 8 | imm8);
  }
  Thumb& branch(Label& l, Kind k) {
    Fixup f{bytes_.size(), here(), &l, k};
    h(0);
    if (k == Kind::kBl) h(0);
    if (l.bound)
      patch(f);
    else
      fixups_.push_back(f);
    return *this;
  }
  void put(std::size_t pos, std::uint16_t v) {
    bytes_[pos] = static_cast<std::uint8_t>(v);
    bytes_[pos + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void patch(const Fixup& f) {
    const std::int32_t off = static_cast<std::int32_t>(f.label->addr - (f.at + 4));
    switch (f.kind) {
      case Kind::kB: put(f.pos, static_cast<std::uint16_t>(0xE000 | ((off >> 1) & 0x7FF))); break;
      case Kind::kBne: put(f.pos, static_cast<std::uint16_t>(0xD100 | ((off >> 1) & 0xFF))); break;
      case Kind::kBl: {
        const std::uint32_t s = off < 0 ? 1 : 0;
        const std::uint32_t i1 = (off >> 23) & 1, i2 = (off >> 22) & 1;
        const std::uint32_t j1 = (~i1 ^ s) & 1, j2 = (~i2 ^ s) & 1;
        put(f.pos, static_cast<std::uint16_t>(0xF000 | s << 10 | ((off >> 12) & 0x3FF)));
        put(f.pos + 2, static_cast<std::uint16_t>(0xD000 | j1 << 13 | j2 << 11 | ((off >> 1) & 0x7FF)));
        break;
      }
    }
  }

  std::uint32_t base_;
  std::vector<std::uint8_t> bytes_;
  std::vector<Fixup> fixups_;
};

}  // namespace vb::test
