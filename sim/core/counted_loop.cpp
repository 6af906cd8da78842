#include "sim/core/counted_loop.hpp"

#include <algorithm>
#include <bit>

namespace vb {

namespace {

using Affine = LoopPass::Affine;

constexpr std::uint8_t kN = 8, kZ = 4, kC = 2, kV = 1;
constexpr int kSp = 13, kPc = 15;

Affine add(Affine a, Affine b) { return {a.c + b.c, a.d + b.d}; }
Affine sub(Affine a, Affine b) { return {a.c - b.c, a.d - b.d}; }
Affine fixed(std::uint32_t v) { return {v, 0}; }

// NZCV of a + b or a - b (the ARM carry of a subtraction is "no borrow").
std::uint8_t add_sub_flags(std::uint32_t a, std::uint32_t b, bool subtract) {
  std::uint32_t r;
  bool c, v;
  if (subtract) {
    r = a - b;
    c = a >= b;
    v = ((a ^ b) & (a ^ r)) >> 31;
  } else {
    r = a + b;
    c = r < a;
    v = (~(a ^ b) & (a ^ r)) >> 31;
  }
  return static_cast<std::uint8_t>((r >> 31) << 3 | (r == 0) << 2 | c << 1 | v);
}

// The flags a condition code reads.
std::uint8_t flags_read(unsigned cond) {
  switch (cond >> 1) {
    case 0: return kZ;            // EQ NE
    case 1: return kC;            // CS CC
    case 2: return kN;            // MI PL
    case 3: return kV;            // VS VC
    case 4: return kC | kZ;       // HI LS
    case 5: return kN | kV;       // GE LT
    case 6: return kN | kZ | kV;  // GT LE
    default: return 0;            // AL
  }
}

bool holds(unsigned cond, std::uint8_t f) {
  const bool n = f & kN, z = f & kZ, c = f & kC, v = f & kV;
  bool r;
  switch (cond >> 1) {
    case 0: r = z; break;
    case 1: r = c; break;
    case 2: r = n; break;
    case 3: r = v; break;
    case 4: r = c && !z; break;
    case 5: r = n == v; break;
    case 6: r = !z && n == v; break;
    default: return true;
  }
  return (cond & 1) && cond != 15 ? !r : r;
}

// ThumbExpandImm_C of the ARMv7-M architecture: the constant and whether it
// defines the carry (a rotated constant sets C to its bit 31).
std::uint32_t expand_imm(std::uint32_t imm12, bool& sets_carry) {
  const std::uint32_t imm8 = imm12 & 0xFF;
  sets_carry = false;
  if ((imm12 >> 10) == 0) {
    switch ((imm12 >> 8) & 3) {
      case 0: return imm8;
      case 1: return imm8 << 16 | imm8;
      case 2: return imm8 << 24 | imm8 << 8;
      default: return imm8 * 0x01010101u;
    }
  }
  sets_carry = true;
  return std::rotr(0x80u | (imm12 & 0x7F), static_cast<int>((imm12 >> 7) & 31));
}

// One evaluation of the pass over affine values.
class Evaluator {
public:
  using Flags = LoopPass::Flags;

  Evaluator(std::uint32_t head, std::span<const LoopRead> reads, const LoopPass::Fetch& fetch,
            const LoopPass::Load& load, const LoopPass::Writable& writable, unsigned max)
      : head_(head), reads_(reads), fetch_(fetch), load_(load), writable_(writable), max_(max) {}

  using Slots = std::vector<std::pair<std::uint32_t, Affine>>;
  std::array<Affine, LoopPass::kRegs> r{};
  Slots stored;                  // RAM words stored by the pass so far, with their values
  const Slots* changes = nullptr;  // per-pass change of each word the pass stores (d only)
  Flags flags;                 // starts with nothing known: the head's flags
  std::uint64_t same = LoopPass::kUnbounded;
  unsigned count = 0;

  // False when the pass leaves the subset or does not come back.
  bool run() {
    std::uint32_t pc = head_;
    do {
      if (++count > max_) return false;
      const auto hw = fetch_(pc);
      if (!hw) return false;
      const unsigned top = *hw >> 11;
      if (top == 0x1D || top == 0x1E || top == 0x1F) {
        const auto hw2 = fetch_(pc + 2);
        if (!hw2 || !wide(*hw, *hw2, pc)) return false;
      } else if (!narrow(*hw, pc)) {
        return false;
      }
    } while (pc != head_);
    return next_read_ == reads_.size();
  }

private:
  // --- values and flags -----------------------------------------------------
  bool reg_ok(unsigned n) const { return n < LoopPass::kRegs; }
  void set_add_sub(Affine a, Affine b, bool subtract) {
    if (a.d == 0 && b.d == 0) {
      set_fixed(kN | kZ | kC | kV, add_sub_flags(a.c, b.c, subtract));
      return;
    }
    flags.fixed = 0;
    flags.derived = kN | kZ | kC | kV;
    flags.a = a;
    flags.b = b;
    flags.subtract = subtract;
  }
  void set_fixed(std::uint8_t which, std::uint8_t value) {
    flags.fixed |= which;
    flags.derived &= static_cast<std::uint8_t>(~which);
    flags.value = static_cast<std::uint8_t>((flags.value & ~which) | (value & which));
  }
  // N and Z of a logical result; only a fixed result gives fixed flags.
  bool set_nz(Affine v) {
    if (v.d != 0) return false;
    set_fixed(kN | kZ, static_cast<std::uint8_t>((v.c >> 31) << 3 | (v.c == 0) << 2));
    return true;
  }
  void set_carry(bool c) { set_fixed(kC, c ? kC : 0); }
  // Flags that differ from pass to pass in a way not followed here.
  void forget(std::uint8_t which) {
    flags.fixed &= static_cast<std::uint8_t>(~which);
    flags.derived &= static_cast<std::uint8_t>(~which);
  }

  // Whether a branch on `cond` is taken in pass 0; narrows `same` to the
  // passes that branch the same way. False when that cannot be told.
  bool decide(unsigned cond, bool& taken) {
    const std::uint8_t need = flags_read(cond);
    if (need & ~(flags.fixed | flags.derived)) return false;  // a flag from before the pass
    if ((need & flags.derived) == 0) {
      taken = holds(cond, flags.value);
      return true;
    }
    if (need != kZ) return false;  // only EQ/NE on a changing value
    return zero_test(flags.subtract ? sub(flags.a, flags.b) : add(flags.a, flags.b), cond == 0, taken);
  }
  // A test of v == 0 (taken when it is zero and `on_zero`, or non-zero and not).
  bool zero_test(Affine v, bool on_zero, bool& taken) {
    taken = (v.c == 0) == on_zero;
    if (v.d != 0) same = std::min(same, v.c == 0 ? std::uint64_t{1} : first_zero(v.c, v.d));
    return true;
  }

  // The word at `a` among `slots` (exactly), or nullptr; `clash` when a
  // slot overlaps [a, a + size) otherwise.
  static const Affine* find(const Slots& slots, std::uint32_t a, unsigned size, bool& clash) {
    for (const auto& [at, v] : slots) {
      if (at == a && size == 4) return &v;
      if (a < at + 4 && at < a + size) clash = true;
    }
    return nullptr;
  }
  std::optional<Affine> read(Affine addr, unsigned size) {
    if (addr.d != 0) return std::nullopt;
    bool clash = false;
    if (const Affine* v = find(stored, addr.c, size, clash)) return *v;
    const Affine* change = changes ? find(*changes, addr.c, size, clash) : nullptr;
    if (clash) return std::nullopt;  // part of a counter word
    if (auto v = load_(addr.c, size)) return Affine{*v, change ? change->d : 0};
    if (next_read_ >= reads_.size()) return std::nullopt;
    const LoopRead& rd = reads_[next_read_++];
    if (rd.addr != addr.c || rd.size != size) return std::nullopt;
    return fixed(rd.value);
  }
  bool load_into(unsigned rt, Affine addr, unsigned size) {
    if (!reg_ok(rt)) return false;
    const auto v = read(addr, size);
    if (!v) return false;
    r[rt] = *v;
    return true;
  }
  // Only whole aligned words of RAM: a counter kept in memory.
  bool store(unsigned rt, Affine addr) {
    if (!reg_ok(rt) || addr.d != 0 || (addr.c & 3) != 0 || !writable_(addr.c)) return false;
    for (auto& [at, v] : stored)
      if (at == addr.c) {
        v = r[rt];
        return true;
      }
    stored.emplace_back(addr.c, r[rt]);
    return true;
  }

  // --- 16-bit instructions ---------------------------------------------------
  bool narrow(std::uint16_t hw, std::uint32_t& pc) {
    const unsigned rd = hw & 7, rn = (hw >> 3) & 7, rm = (hw >> 6) & 7, imm8 = hw & 0xFF;
    const unsigned rdn = (hw >> 8) & 7;
    std::uint32_t next = pc + 2;
    if ((hw & 0xF800) == 0x0000) {  // LSLS Rd, Rm, #imm5 (MOVS Rd, Rm when 0)
      const unsigned imm = (hw >> 6) & 31;
      const Affine v = r[rn];
      if (imm == 0) {
        r[rd] = v;
        if (!set_nz(v)) forget(kN | kZ);
      } else {
        if (v.d != 0) return false;
        r[rd] = fixed(v.c << imm);
        set_nz(r[rd]);
        set_carry((v.c >> (32 - imm)) & 1);
      }
    } else if ((hw & 0xF800) == 0x0800) {  // LSRS Rd, Rm, #imm5 (0 means 32)
      const unsigned imm = ((hw >> 6) & 31) ? (hw >> 6) & 31 : 32;
      const Affine v = r[rn];
      if (v.d != 0) return false;
      r[rd] = fixed(imm == 32 ? 0 : v.c >> imm);
      set_nz(r[rd]);
      set_carry((v.c >> (imm - 1)) & 1);
    } else if ((hw & 0xFC00) == 0x1800) {  // ADDS/SUBS Rd, Rn, Rm
      const bool s = hw & 0x0200;
      const Affine a = r[rn], b = r[rm];
      r[rd] = s ? sub(a, b) : add(a, b);
      set_add_sub(a, b, s);
    } else if ((hw & 0xFC00) == 0x1C00) {  // ADDS/SUBS Rd, Rn, #imm3
      const bool s = hw & 0x0200;
      const Affine a = r[rn], b = fixed(rm);
      r[rd] = s ? sub(a, b) : add(a, b);
      set_add_sub(a, b, s);
    } else if ((hw & 0xF800) == 0x2000) {  // MOVS Rd, #imm8
      r[rdn] = fixed(imm8);
      set_nz(r[rdn]);
    } else if ((hw & 0xF800) == 0x2800) {  // CMP Rn, #imm8
      set_add_sub(r[rdn], fixed(imm8), true);
    } else if ((hw & 0xF000) == 0x3000) {  // ADDS/SUBS Rdn, #imm8
      const bool s = hw & 0x0800;
      const Affine a = r[rdn], b = fixed(imm8);
      r[rdn] = s ? sub(a, b) : add(a, b);
      set_add_sub(a, b, s);
    } else if ((hw & 0xFFC0) == 0x4280) {  // CMP Rn, Rm
      set_add_sub(r[rd], r[rn], true);
    } else if ((hw & 0xFFC0) == 0x42C0) {  // CMN Rn, Rm
      set_add_sub(r[rd], r[rn], false);
    } else if ((hw & 0xFFC0) == 0x4200 || (hw & 0xFFC0) == 0x4000) {  // TST / ANDS Rn, Rm
      const Affine a = r[rd], b = r[rn];
      if (a.d != 0 || b.d != 0) return false;
      const Affine v = fixed(a.c & b.c);
      if ((hw & 0xFFC0) == 0x4000) r[rd] = v;
      set_nz(v);
    } else if ((hw & 0xFF00) == 0x4600) {  // MOV Rd, Rm (any registers)
      const unsigned d = (hw & 7) | ((hw >> 4) & 8), m = (hw >> 3) & 15;
      if (d >= kSp || m == kPc) return false;  // SP, LR or PC written: not a polling loop
      r[d] = r[m];
    } else if ((hw & 0xF800) == 0x4800) {  // LDR Rt, [PC, #imm8 * 4]
      if (!load_into(rdn, fixed(((pc + 4) & ~3u) + imm8 * 4), 4)) return false;
    } else if ((hw & 0xF800) == 0x6000) {  // STR Rt, [Rn, #imm5 * 4]
      if (!store(rd, add(r[rn], fixed(((hw >> 6) & 31) * 4)))) return false;
    } else if ((hw & 0xF800) == 0x9000) {  // STR Rt, [SP, #imm8 * 4]
      if (!store(rdn, add(r[kSp], fixed(imm8 * 4)))) return false;
    } else if ((hw & 0xF800) == 0x9800) {  // LDR Rt, [SP, #imm8 * 4]
      if (!load_into(rdn, add(r[kSp], fixed(imm8 * 4)), 4)) return false;
    } else if ((hw & 0xF800) == 0x6800) {  // LDR Rt, [Rn, #imm5 * 4]
      if (!load_into(rd, add(r[rn], fixed(((hw >> 6) & 31) * 4)), 4)) return false;
    } else if ((hw & 0xF800) == 0x7800) {  // LDRB Rt, [Rn, #imm5]
      if (!load_into(rd, add(r[rn], fixed((hw >> 6) & 31)), 1)) return false;
    } else if ((hw & 0xF800) == 0x8800) {  // LDRH Rt, [Rn, #imm5 * 2]
      if (!load_into(rd, add(r[rn], fixed(((hw >> 6) & 31) * 2)), 2)) return false;
    } else if ((hw & 0xF000) == 0xD000 && ((hw >> 8) & 15) < 14) {  // B<cond>
      bool taken;
      if (!decide((hw >> 8) & 15, taken)) return false;
      if (taken) next = pc + 4 + static_cast<std::uint32_t>(static_cast<std::int8_t>(imm8) * 2);
    } else if ((hw & 0xF800) == 0xE000) {  // B
      const std::int32_t off = static_cast<std::int32_t>(static_cast<std::uint32_t>(hw & 0x7FF) << 21) >> 20;
      next = pc + 4 + static_cast<std::uint32_t>(off);
    } else if ((hw & 0xF500) == 0xB100) {  // CBZ / CBNZ
      bool taken;
      zero_test(r[rd], !(hw & 0x0800), taken);
      if (taken) next = pc + 4 + (((hw >> 9) & 1) << 6 | ((hw >> 3) & 31) << 1);
    } else if (hw == 0xBF00) {  // NOP
    } else {
      return false;
    }
    pc = next;
    return true;
  }

  // --- 32-bit instructions ---------------------------------------------------
  bool wide(std::uint16_t hw1, std::uint16_t hw2, std::uint32_t& pc) {
    const unsigned rn = hw1 & 15;
    if ((hw1 & 0xFF90) == 0xF890 && ((hw1 >> 5) & 3) != 3) {  // LDRB/LDRH/LDR.W Rt, [Rn, #imm12]
      const unsigned size_field = (hw1 >> 5) & 3;                 // 0 byte, 1 halfword, 2 word
      const Affine base = rn == kPc ? fixed((pc + 4) & ~3u) : r[rn];
      if (!load_into(hw2 >> 12, add(base, fixed(hw2 & 0xFFFu)), 1u << size_field)) return false;
    } else if ((hw1 & 0xFFF0) == 0xF8C0) {  // STR.W Rt, [Rn, #imm12]
      if (rn == kPc || !store(hw2 >> 12, add(r[rn], fixed(hw2 & 0xFFFu)))) return false;
    } else if ((hw1 & 0xFA00) == 0xF000 && !(hw2 & 0x8000)) {  // data processing, modified immediate
      const unsigned op = (hw1 >> 5) & 15, rd = (hw2 >> 8) & 15;
      const bool s = hw1 & 0x10;
      bool sets_carry;
      const std::uint32_t imm =
          expand_imm(((hw1 >> 10) & 1) << 11 | ((hw2 >> 12) & 7) << 8 | (hw2 & 0xFF), sets_carry);
      const bool compare = rd == kPc && s;  // TST, CMN, CMP
      if ((rd >= kSp && !compare) || (rn == kPc && op != 2)) return false;
      const Affine a = rn == kPc ? fixed(0) : r[rn];  // ORR with PC as Rn is MOV
      Affine v;
      switch (op) {
        case 0:   // AND, TST
        case 1:   // BIC
        case 2:   // ORR, MOV
          if (a.d != 0) return false;
          v = fixed(op == 0 ? a.c & imm : op == 1 ? a.c & ~imm : a.c | imm);
          if (s) {
            set_nz(v);
            if (sets_carry) set_carry(imm >> 31);
          }
          break;
        case 8:   // ADD, CMN
        case 13:  // SUB, CMP
          v = op == 8 ? add(a, fixed(imm)) : sub(a, fixed(imm));
          if (s) set_add_sub(a, fixed(imm), op == 13);
          break;
        default:
          return false;
      }
      if (!compare) r[rd] = v;
    } else {
      return false;
    }
    pc += 4;
    return true;
  }

  std::uint32_t head_;
  std::span<const LoopRead> reads_;
  const LoopPass::Fetch& fetch_;
  const LoopPass::Load& load_;
  const LoopPass::Writable& writable_;
  unsigned max_;
  std::size_t next_read_ = 0;
};

}  // namespace

std::uint64_t first_zero(std::uint32_t c, std::uint32_t d) {
  if (d == 0) return c == 0 ? 1 : LoopPass::kUnbounded;
  // d * k == -c (mod 2^32): with d = 2^t * odd, solvable when 2^t divides c;
  // then k == (-c / 2^t) * odd^-1 modulo 2^(32 - t).
  const int t = std::countr_zero(d);
  if (t > 0 && (c & ((1u << t) - 1)) != 0) return LoopPass::kUnbounded;
  const std::uint32_t odd = d >> t;
  std::uint32_t inv = odd;  // Newton's iteration: correct bits double each step
  for (int i = 0; i < 5; ++i) inv *= 2 - odd * inv;
  const std::uint64_t modulus = std::uint64_t{1} << (32 - t);
  const std::uint64_t k = (std::uint64_t{(0u - c) >> t} * inv) & (modulus - 1);
  return k == 0 ? modulus : k;
}

std::optional<LoopPass> LoopPass::prove(std::uint32_t head, const Regs& regs, std::uint32_t xpsr,
                                        std::span<const LoopRead> reads, const Fetch& fetch, const Load& load,
                                        const Writable& writable, unsigned max_instructions) {
  if (xpsr & 0x0600FC00u) return std::nullopt;  // inside an IT block
  // The change of each register and stored word over one pass...
  Evaluator once(head, reads, fetch, load, writable, max_instructions);
  for (int i = 0; i < kRegs; ++i) once.r[static_cast<std::size_t>(i)] = fixed(regs[static_cast<std::size_t>(i)]);
  if (!once.run()) return std::nullopt;
  LoopPass p;
  Evaluator::Slots changes;
  for (const auto& [at, v] : once.stored) {
    const auto was = load(at, 4);
    if (!was) return std::nullopt;
    p.slots_.emplace_back(at, Affine{*was, v.c - *was});
    changes.emplace_back(at, Affine{0, v.c - *was});
  }
  // ...then the pass over c + k * d: it must lead to c + (k + 1) * d.
  Evaluator every(head, reads, fetch, load, writable, max_instructions);
  every.changes = &changes;
  for (std::size_t i = 0; i < kRegs; ++i) {
    p.delta_[i] = once.r[i].c - regs[i];
    every.r[i] = {regs[i], p.delta_[i]};
  }
  if (!every.run() || every.count != once.count || every.stored.size() != p.slots_.size()) return std::nullopt;
  for (std::size_t i = 0; i < kRegs; ++i)
    if (every.r[i].c != regs[i] + p.delta_[i] || every.r[i].d != p.delta_[i]) return std::nullopt;
  for (std::size_t i = 0; i < p.slots_.size(); ++i) {
    const auto& [at, v] = every.stored[i];
    const Affine start = p.slots_[i].second;
    if (at != p.slots_[i].first || v.c != start.c + start.d || v.d != start.d) return std::nullopt;
  }
  p.start_ = regs;
  p.xpsr_ = xpsr;
  p.flags_ = every.flags;
  p.instructions_ = every.count;
  p.same_passes_ = every.same;
  return p;
}

LoopPass::Regs LoopPass::regs_after(std::uint64_t k) const {
  Regs out;
  for (std::size_t i = 0; i < kRegs; ++i) out[i] = Affine{start_[i], delta_[i]}.at(k);
  return out;
}

std::vector<LoopPass::Slot> LoopPass::slots_after(std::uint64_t k) const {
  std::vector<Slot> out;
  for (const auto& [at, v] : slots_) out.push_back({at, v.at(k)});
  return out;
}

std::uint32_t LoopPass::xpsr_after(std::uint64_t k) const {
  if (k == 0) return xpsr_;
  // The flags the last pass (number k - 1) left.
  std::uint8_t nzcv = static_cast<std::uint8_t>(xpsr_ >> 28);
  nzcv = static_cast<std::uint8_t>((nzcv & ~flags_.fixed) | (flags_.value & flags_.fixed));
  if (flags_.derived) {
    const std::uint8_t f = add_sub_flags(flags_.a.at(k - 1), flags_.b.at(k - 1), flags_.subtract);
    nzcv = static_cast<std::uint8_t>((nzcv & ~flags_.derived) | (f & flags_.derived));
  }
  return (xpsr_ & 0x0FFFFFFFu) | std::uint32_t{nzcv} << 28;
}

}  // namespace vb
