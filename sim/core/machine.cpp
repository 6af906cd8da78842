// Machine set-up, memories, MMIO dispatch, and the host's means to drive
// and observe the firmware. The run loop, the engine hooks and exception
// entry and return are in run.cpp.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "sim/core/machine_impl.hpp"
#include "sim/core/unknown_values.hpp"

namespace vb {

static_assert(std::endian::native == std::endian::little, "memory images are copied as little-endian words");

namespace {

void check(uc_err err, const char* what) {
  if (err != UC_ERR_OK) throw std::runtime_error(std::string("emulator: ") + what + ": " + uc_strerror(err));
}

// Unicorn before 2.1 sends every guest store through a slow bookkeeping path:
// everything works, several times slower. Said once per process.
void note_engine_version() {
  static std::once_flag once;
  std::call_once(once, [] {
    unsigned major = 0, minor = 0;
    uc_version(&major, &minor);
    if (major > 2 || (major == 2 && minor >= 1)) return;
    std::fprintf(stderr,
                 "[board] the emulator engine is Unicorn %u.%u: the board works but runs several times slower than on "
                 "2.1 or newer, where stores to memory no longer take a slow path (scripts/bootstrap fetches 2.1)\n",
                 major, minor);
  });
}

std::uint32_t lanes(unsigned size, unsigned shift) {
  const std::uint32_t m = size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
  return m << shift;
}

}  // namespace

// --- construction -------------------------------------------------------------

Machine::Impl::Impl(Machine& owner)
    : m(owner), nvic(owner.sched_, [this] { attention = 0; }),
      counter(mem::kFlashBase, mem::kFlashSize, mem::kFlashSize) {
  // Thumb mode with the Cortex-M4 CPU model; the M-class mode flag would
  // build a different (ARMv8-M) core.
  check(uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc), "open");
  note_engine_version();
  check(uc_ctl_set_cpu_model(uc, UC_CPU_ARM_CORTEX_M4), "select Cortex-M4");

  auto alloc = [](std::uint32_t n) {
    auto p = std::make_unique<std::uint8_t[]>(n);
    std::memset(p.get(), 0, n);
    return p;
  };
  flash = alloc(mem::kFlashSize);
  sram = alloc(mem::kSramSize);
  ccm = alloc(mem::kCcmSize);
  // Flash is read-only to the core: a store is a fault. CCM RAM sits on the
  // data bus only, so the core cannot fetch from it. The backup SRAM is a
  // model (clock gate, backup-domain write access), not plain memory.
  memories = {
      {"flash", mem::kFlashBase, mem::kFlashSize, flash.get(), false},
      {"flash (boot alias)", 0, mem::kFlashSize, flash.get(), false},
      {"SRAM", mem::kSramBase, mem::kSramSize, sram.get(), true},
      {"CCM RAM", mem::kCcmBase, mem::kCcmSize, ccm.get(), true},
  };
  check(uc_mem_map_ptr(uc, mem::kFlashBase, mem::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash.get()), "map flash");
  check(uc_mem_map_ptr(uc, 0, mem::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash.get()), "map flash alias");
  // RAM is mapped page by page, write-protected until a store touches the
  // page (see mark_ram): lifting the protection of one whole mapping is a
  // change of its permissions only, which the engine allows while it runs.
  for (std::uint32_t off = 0; off < mem::kSramSize; off += mem::kPage)
    check(uc_mem_map_ptr(uc, mem::kSramBase + off, mem::kPage, UC_PROT_READ | UC_PROT_EXEC, sram.get() + off),
          "map SRAM");
  for (std::uint32_t off = 0; off < mem::kCcmSize; off += mem::kPage)
    check(uc_mem_map_ptr(uc, mem::kCcmBase + off, mem::kPage, UC_PROT_READ, ccm.get() + off), "map CCM RAM");

  uc_hook h;
  check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&Impl::on_block), this, 1, 0), "block hook");
  hooks.push_back(h);
  check(uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&Impl::on_interrupt), this, 1, 0), "interrupt hook");
  hooks.push_back(h);
  check(uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Impl::on_bad_access), this, 1, 0),
        "memory fault hook");
  hooks.push_back(h);
}

Machine::Impl::~Impl() {
  if (uc) uc_close(uc);
}

Machine::Machine() : impl_(std::make_unique<Impl>(*this)) {
  attach(impl_->nvic);
  power_on(kDefaultSeed);
  reset();
}

Machine::~Machine() = default;

// --- memories -----------------------------------------------------------------

const Machine::Impl::Memory* Machine::Impl::memory_at(std::uint32_t addr) const {
  for (const Memory& mm : memories)
    if (addr - mm.base < mm.size) return &mm;
  return nullptr;
}

std::uint8_t* Machine::Impl::host(std::uint32_t addr, std::uint32_t n) const {
  const Memory* mm = memory_at(addr);
  if (!mm || n > mm->size - (addr - mm->base)) return nullptr;
  return mm->host + (addr - mm->base);
}

int Machine::Impl::ram_page(std::uint32_t addr) {
  if (addr - mem::kSramBase < mem::kSramSize) return static_cast<int>((addr - mem::kSramBase) / mem::kPage);
  if (addr - mem::kCcmBase < mem::kCcmSize) return static_cast<int>(kSramPages + (addr - mem::kCcmBase) / mem::kPage);
  return -1;
}

std::uint8_t* Machine::Impl::ram_page_host(int page) const {
  const auto p = static_cast<std::uint32_t>(page);
  return p < kSramPages ? sram.get() + p * mem::kPage : ccm.get() + (p - kSramPages) * mem::kPage;
}

void Machine::Impl::mark_ram(std::uint32_t addr, std::uint32_t n) {
  if (n == 0) return;
  for (std::uint64_t a = addr & ~(mem::kPage - 1); a < std::uint64_t{addr} + n; a += mem::kPage) {
    const int p = ram_page(static_cast<std::uint32_t>(a));
    if (p >= 0 && !page_used[p]) {
      page_used[p] = true;
      used_pages.push_back(p);
    }
  }
}

bool Machine::Impl::unprotect_ram(std::uint32_t addr, std::uint32_t n) {
  const std::uint32_t last = addr + (n ? n - 1 : 0);
  for (std::uint64_t a = addr & ~(mem::kPage - 1); a <= last; a += mem::kPage) {
    const auto page = static_cast<std::uint32_t>(a);
    const int p = ram_page(page);
    if (p < 0) return false;
    mark_ram(page, 1);
    if (page_open[p]) continue;
    const std::uint32_t perms = page < mem::kCcmBase + mem::kCcmSize ? UC_PROT_READ | UC_PROT_WRITE : UC_PROT_ALL;
    if (uc_mem_protect(uc, page, mem::kPage, perms) != UC_ERR_OK) return false;
    page_open[p] = true;
  }
  return true;
}

void Machine::Impl::invalidate_code(std::uint32_t addr, std::uint32_t n) {
  if (n == 0) return;
  poll_forget();
  counter.invalidate(addr, n);
  uc_ctl_remove_cache(uc, std::uint64_t{addr}, std::uint64_t{addr} + n);
  // The same flash bytes appear at both addresses.
  if (addr - mem::kFlashBase < mem::kFlashSize) {
    const std::uint32_t alias = addr - mem::kFlashBase;
    counter.invalidate(alias, n);
    uc_ctl_remove_cache(uc, std::uint64_t{alias}, std::uint64_t{alias} + n);
  } else if (addr < mem::kFlashSize) {
    counter.invalidate(addr + mem::kFlashBase, n);
    uc_ctl_remove_cache(uc, std::uint64_t{addr} + mem::kFlashBase, std::uint64_t{addr} + mem::kFlashBase + n);
  }
}

void Machine::load_bytes(std::uint32_t addr, std::span<const std::uint8_t> bytes) {
  std::uint8_t* h = impl_->host(addr, static_cast<std::uint32_t>(bytes.size()));
  if (!h) throw std::out_of_range("load_bytes: " + hex(addr) + " (+" + std::to_string(bytes.size()) + " bytes) is not memory");
  std::memcpy(h, bytes.data(), bytes.size());
  impl_->invalidate_code(addr, static_cast<std::uint32_t>(bytes.size()));
}

void Machine::load_elf(const std::string& path) {
  auto elf = std::make_unique<Elf>(path);
  for (const Elf::Segment& seg : elf->segments()) {
    std::uint8_t* h = impl_->host(seg.load_addr, seg.memory_size);
    if (!h)
      throw std::runtime_error(path + ": a segment at " + hex(seg.load_addr) + " (" + std::to_string(seg.memory_size) +
                               " bytes) lies outside flash and RAM");
    std::memcpy(h, seg.data.data(), seg.data.size());
    // Programming the chip fills flash only: RAM beyond the file's bytes
    // (.bss, the stack) keeps what it held, and the start-up code clears
    // what it needs.
    if (!impl_->memory_at(seg.load_addr)->writable)
      std::memset(h + seg.data.size(), 0, seg.memory_size - seg.data.size());
    impl_->invalidate_code(seg.load_addr, seg.memory_size);
  }
  impl_->trap_addr = elf->find("hndl_TRAP").value_or(0xFFFFFFFF);
  impl_->elf = std::move(elf);
}

void Machine::set_trap_address(std::uint32_t addr) { impl_->trap_addr = addr & ~1u; }

void Machine::set_cpi(unsigned cpi) {
  if (cpi == 0) throw std::invalid_argument("set_cpi: cycles per instruction must be at least 1");
  impl_->cpi = cpi;
}

unsigned Machine::cpi() const { return impl_->cpi; }

void Machine::set_message_sink(std::function<void(const std::string&)> sink) { impl_->message_sink = std::move(sink); }

// --- MMIO ---------------------------------------------------------------------

Peripheral* Machine::Impl::Region::find(std::uint32_t addr) const {
  for (Peripheral* p : models)
    if (addr - p->base() < p->size()) return p;
  return nullptr;
}

Peripheral* Machine::Impl::model_at(std::uint32_t addr) const {
  auto it = std::upper_bound(models.begin(), models.end(), addr,
                             [](std::uint32_t a, const Peripheral* p) { return a < p->base(); });
  if (it == models.begin()) return nullptr;
  Peripheral* p = *std::prev(it);
  return addr - p->base() < p->size() ? p : nullptr;
}

void Machine::attach(Peripheral& p) {
  Impl& s = *impl_;
  if (p.size() == 0) throw std::logic_error("attach " + p.name() + ": empty register window");
  const std::uint64_t lo = p.base() & ~std::uint64_t{mem::kPage - 1};
  const std::uint64_t hi = (std::uint64_t{p.base()} + p.size() + mem::kPage - 1) & ~std::uint64_t{mem::kPage - 1};
  for (const Impl::Memory& mm : s.memories)
    if (lo < std::uint64_t{mm.base} + mm.size && mm.base < hi)
      throw std::logic_error("attach " + p.name() + ": window at " + hex(p.base()) + " overlaps " + mm.name);
  for (Peripheral* q : s.models)
    if (p.base() < std::uint64_t{q->base()} + q->size() && q->base() < std::uint64_t{p.base()} + p.size())
      throw std::logic_error("attach " + p.name() + ": window at " + hex(p.base()) + " overlaps " + q->name());

  Impl::Region* region = nullptr;
  for (auto& r : s.regions) {
    const std::uint64_t rlo = r->base, rhi = std::uint64_t{r->base} + r->size;
    if (lo < rhi && rlo < hi) {
      // Blocks smaller than the engine's page share one mapping.
      if (rlo != lo || rhi != hi)
        throw std::logic_error("attach " + p.name() + ": window at " + hex(p.base()) +
                               " straddles the mapping of another model");
      region = r.get();
    }
  }
  if (!region) {
    auto r = std::make_unique<Impl::Region>(
        Impl::Region{&s, static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi - lo), {}});
    check(uc_mmio_map(s.uc, lo, hi - lo, &Impl::mmio_read_cb, r.get(), &Impl::mmio_write_cb, r.get()),
          ("map " + p.name()).c_str());
    region = r.get();
    s.regions.push_back(std::move(r));
  }
  region->models.push_back(&p);
  s.models.insert(std::upper_bound(s.models.begin(), s.models.end(), &p,
                                   [](const Peripheral* a, const Peripheral* b) { return a->base() < b->base(); }),
                  &p);
  p.attach(*this);
}

const Peripheral* Machine::model_at(std::uint32_t addr) const { return impl_->model_at(addr); }

std::size_t Machine::retained_state() const {
  std::size_t n = sched_.pending() + messages_.size();
  for (const Peripheral* p : impl_->models) n += p->retained();
  return n;
}

bool Machine::Impl::gate_running(const Peripheral& p) const {
  return p.gate().bus == ClockGate::kNone || !m.clock_control_ || m.clock_control_->running(p.gate());
}

void Machine::Impl::clock_to_access() {
  if (!running) return;
  // The access is somewhere in the running block: one instruction further
  // for each access, never past the block's end.
  const cycles_t c = std::min<cycles_t>(cpi, block_cycles);
  m.sched_.advance(c);
  block_cycles -= c;
}

std::uint64_t Machine::Impl::mmio_read_cb(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
  auto* r = static_cast<Region*>(user);
  return r->impl->mmio_read(*r, r->base + static_cast<std::uint32_t>(offset), size);
}

void Machine::Impl::mmio_write_cb(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
  auto* r = static_cast<Region*>(user);
  const std::uint32_t addr = r->base + static_cast<std::uint32_t>(offset);
  if (size > 4) {  // not expected: wider stores arrive as word callbacks
    r->impl->mmio_write(*r, addr, 4, static_cast<std::uint32_t>(value));
    r->impl->mmio_write(*r, addr + 4, size - 4, static_cast<std::uint32_t>(value >> 32));
    return;
  }
  r->impl->mmio_write(*r, addr, size, static_cast<std::uint32_t>(value));
}

// Faults found in MMIO callbacks are only recorded: the run stops at the
// next block boundary (stopping inside a callback would replay the access).
std::uint32_t Machine::Impl::mmio_read(Region& r, std::uint32_t addr, unsigned size) {
  in_mmio = true;
  clock_to_access();
  m.sched_.run_due();
  std::uint32_t result = 0;
  Peripheral* p = r.find(addr);
  if (p && (addr & 3) + size <= 4 && gate_running(*p)) {
    const unsigned shift = (addr & 3) * 8;
    result = (p->read((addr - p->base()) & ~3u) & lanes(size, shift)) >> shift;
  } else {
    bad_mmio(p, addr, size, false, 0);
    p = nullptr;
  }
  if (idle.open || poll.open) idle_note(p, addr, size, result, false);
  if (may_skip && p) poll_read(addr, result);
  attention = std::min(attention, m.sched_.next_due());
  in_mmio = false;
  return result;
}

void Machine::Impl::mmio_write(Region& r, std::uint32_t addr, unsigned size, std::uint32_t value) {
  in_mmio = true;
  clock_to_access();
  m.sched_.run_due();
  Peripheral* p = r.find(addr);
  if (p && (addr & 3) + size <= 4 && gate_running(*p)) {
    const unsigned shift = (addr & 3) * 8;
    p->write((addr - p->base()) & ~3u, value << shift, lanes(size, shift));
  } else {
    bad_mmio(p, addr, size, true, value);
    p = nullptr;
  }
  if (idle.open || poll.open) idle_note(p, addr, size, value, true);
  attention = std::min(attention, m.sched_.next_due());
  in_mmio = false;
}

void Machine::Impl::bad_mmio(const Peripheral* p, std::uint32_t addr, unsigned size, bool is_write,
                             std::uint32_t value) {
  const std::string what = std::to_string(size * 8) + "-bit " +
                           (is_write ? "write of " + hex(value) + " to " : std::string("read of ")) + hex(addr);
  if (!p)
    m.fault(what + ": no model owns this address");
  else if ((addr & 3) + size > 4)
    m.fault(p->name() + ": unaligned " + what);
  else
    m.fault(p->name() + ": " + what + " while its clock is off (RCC enable bit clear or reset bit set); " +
            (is_write ? "ignored" : "reads 0"));
}

bool Machine::Impl::model_read(std::uint32_t addr, unsigned size, std::uint32_t& value, bool check_gate) {
  Peripheral* p = model_at(addr);
  if (!p || (addr & 3) + size > 4) return false;
  m.sched_.run_due();
  if (check_gate && !gate_running(*p)) {
    m.fault(p->name() + ": bus read of " + hex(addr) + " while its clock is off; reads 0");
    value = 0;
    return true;
  }
  const unsigned shift = (addr & 3) * 8;
  value = (p->read((addr - p->base()) & ~3u) & lanes(size, shift)) >> shift;
  attention = 0;
  return true;
}

bool Machine::Impl::model_write(std::uint32_t addr, unsigned size, std::uint32_t value, bool check_gate) {
  Peripheral* p = model_at(addr);
  if (!p || (addr & 3) + size > 4) return false;
  m.sched_.run_due();
  if (check_gate && !gate_running(*p)) {
    m.fault(p->name() + ": bus write to " + hex(addr) + " while its clock is off; ignored");
    return true;
  }
  const unsigned shift = (addr & 3) * 8;
  p->write((addr - p->base()) & ~3u, value << shift, lanes(size, shift));
  attention = 0;
  return true;
}

bool Machine::bus_read(std::uint32_t addr, void* buf, std::uint32_t n) {
  if (const std::uint8_t* h = impl_->host(addr, n)) {
    std::memcpy(buf, h, n);
    return true;
  }
  std::uint32_t v = 0;
  if ((n != 1 && n != 2 && n != 4) || !impl_->model_read(addr, n, v, true)) return false;
  std::memcpy(buf, &v, n);
  return true;
}

bool Machine::bus_write(std::uint32_t addr, const void* buf, std::uint32_t n) {
  const Impl::Memory* mm = impl_->memory_at(addr);
  if (mm) {
    std::uint8_t* h = impl_->host(addr, n);
    if (!h || !mm->writable) return false;  // flash is not writable by the bus
    std::memcpy(h, buf, n);
    impl_->mark_ram(addr, n);
    return true;
  }
  std::uint32_t v = 0;
  if (n != 1 && n != 2 && n != 4) return false;
  std::memcpy(&v, buf, n);
  return impl_->model_write(addr, n, v, true);
}

// --- debugger view of memory ---------------------------------------------------

template <typename T>
T Machine::Impl::debug_read(std::uint32_t addr) {
  if (const std::uint8_t* h = host(addr, sizeof(T))) {
    T v;
    std::memcpy(&v, h, sizeof v);
    return v;
  }
  std::uint32_t v = 0;
  if (!model_read(addr, sizeof(T), v, false))
    throw std::out_of_range("read of " + hex(addr) + ": nothing there (no memory, no model)");
  return static_cast<T>(v);
}

template <typename T>
void Machine::Impl::debug_write(std::uint32_t addr, T v) {
  if (std::uint8_t* h = host(addr, sizeof(T))) {
    std::memcpy(h, &v, sizeof v);
    mark_ram(addr, sizeof(T));
    if (!memory_at(addr)->writable) invalidate_code(addr, sizeof(T));
    return;
  }
  if (!model_write(addr, sizeof(T), v, false))
    throw std::out_of_range("write to " + hex(addr) + ": nothing there (no memory, no model)");
}

std::uint32_t Machine::read32(std::uint32_t addr) { return impl_->debug_read<std::uint32_t>(addr); }
std::uint16_t Machine::read16(std::uint32_t addr) { return impl_->debug_read<std::uint16_t>(addr); }
std::uint8_t Machine::read8(std::uint32_t addr) { return impl_->debug_read<std::uint8_t>(addr); }
void Machine::write32(std::uint32_t addr, std::uint32_t v) { impl_->debug_write(addr, v); }
void Machine::write16(std::uint32_t addr, std::uint16_t v) { impl_->debug_write(addr, v); }
void Machine::write8(std::uint32_t addr, std::uint8_t v) { impl_->debug_write(addr, v); }

// --- registers ----------------------------------------------------------------

int Machine::Impl::core_reg(int n) {
  if (n >= 0 && n <= 12) return UC_ARM_REG_R0 + n;
  switch (n) {
    case 13: return UC_ARM_REG_SP;
    case 14: return UC_ARM_REG_LR;
    case 15: return UC_ARM_REG_PC;
    default: throw std::out_of_range("core register r" + std::to_string(n) + " does not exist");
  }
}

std::uint32_t Machine::Impl::reg(int uc_reg) const {
  std::uint32_t v = 0;
  uc_reg_read(uc, uc_reg, &v);
  return v;
}

void Machine::Impl::set_reg(int uc_reg, std::uint32_t v) {
  // The PC keeps the Thumb bit set, or the engine would leave Thumb state.
  if (uc_reg == UC_ARM_REG_PC) v |= 1;
  uc_reg_write(uc, uc_reg, &v);
}

std::uint32_t Machine::reg(int n) { return impl_->reg(Impl::core_reg(n)); }
void Machine::set_reg(int n, std::uint32_t v) { impl_->set_reg(Impl::core_reg(n), v); }
std::uint32_t Machine::pc() { return impl_->reg(UC_ARM_REG_PC); }
std::uint32_t Machine::xpsr() { return impl_->reg(UC_ARM_REG_XPSR); }
std::uint32_t Machine::primask() { return impl_->reg(UC_ARM_REG_PRIMASK); }
std::uint32_t Machine::control() { return impl_->reg(UC_ARM_REG_CONTROL); }
std::string Machine::where() { return impl_->context(); }

// --- symbols ------------------------------------------------------------------

std::optional<std::uint32_t> Machine::find_symbol(const std::string& name) const {
  return impl_->elf ? impl_->elf->find(name) : std::nullopt;
}

std::uint32_t Machine::symbol(const std::string& name) const {
  if (!impl_->elf) throw std::runtime_error("symbol '" + name + "': no image loaded");
  if (auto a = impl_->elf->find(name)) return *a;
  throw std::runtime_error("symbol '" + name + "' is not in " + impl_->elf->path());
}

std::string Machine::symbol_at(std::uint32_t addr) const {
  return impl_->elf ? impl_->elf->name_at(addr) : hex(addr);
}

// --- models' services ----------------------------------------------------------

const ClockTree& Machine::clocks() const {
  static const ClockTree kResetClocks{};
  return clock_control_ ? clock_control_->tree() : kResetClocks;
}

void Machine::clocks_changed() {
  const std::uint32_t hz = clocks().hclk;
  if (hz == 0 || hz == clock_spans_.back().hz) return;
  const cycles_t t = now();
  if (t == clock_spans_.back().from) {  // several changes at one moment: the last counts
    clock_spans_.back().hz = hz;
    return;
  }
  clock_spans_.push_back({t, device_ms_at(t), hz});
  if (clock_spans_.size() > kClockHistory) clock_spans_.erase(clock_spans_.begin());
}

double Machine::device_ms_at(cycles_t at) const {
  // The span the moment falls in (before the oldest kept: the oldest's rate).
  auto it = std::upper_bound(clock_spans_.begin(), clock_spans_.end(), at,
                             [](cycles_t t, const ClockSpan& c) { return t < c.from; });
  const ClockSpan& c = it == clock_spans_.begin() ? *it : *std::prev(it);
  return c.ms + (static_cast<double>(at) - static_cast<double>(c.from)) * 1000.0 / c.hz;
}

void Machine::set_irq(int irq, bool level, const void* source) { impl_->nvic.set_irq_level(irq, level, source); }

Nvic& Machine::nvic() { return impl_->nvic; }

void Machine::fault(const std::string& what) {
  if (impl_->dbg.peeking) {  // a debugger's read has nothing to show here
    impl_->dbg.peek_failed = true;
    return;
  }
  if (!fault_report_.empty()) return;  // the first report stands
  fault_report_ = what + "\n" + impl_->context();
  impl_->attention = 0;
}

void Machine::message(const std::string& what) {
  messages_.push_back(what);
  if (impl_->message_sink) impl_->message_sink(what);
}

// --- reset ----------------------------------------------------------------------

void Machine::power_on(std::uint64_t seed) {
  Impl& s = *impl_;
  UnknownValues source(seed);
  for (const Impl::Memory& mm : s.memories)
    if (mm.writable) source.fill(mm.host, mm.size);
  s.nvic.systick().set_unknown_source(source.next());
  s.unknown = UnknownValues(source.next());
}

void Machine::reset() {
  Impl& s = *impl_;
  for (Peripheral* p : s.models) p->reset();
  clocks_changed();  // the clock tree is back at its reset state
  s.sleeping = false;
  s.have_pass = false;
  s.idle_restart();
  s.poll_forget();
  s.switch_context(exc::kThread);

  // r0-r12 and the FP registers are UNKNOWN after reset.
  for (int n = 0; n <= 12; ++n) s.set_reg(UC_ARM_REG_R0 + n, static_cast<std::uint32_t>(s.unknown.next()));
  for (int n = 0; n < 32; ++n) s.set_reg(UC_ARM_REG_S0 + n, static_cast<std::uint32_t>(s.unknown.next()));
  s.set_reg(UC_ARM_REG_CONTROL, 0);
  s.set_reg(UC_ARM_REG_PRIMASK, 0);
  s.set_reg(UC_ARM_REG_BASEPRI, 0);
  s.set_reg(UC_ARM_REG_FAULTMASK, 0);
  s.set_reg(UC_ARM_REG_FPSCR, 0);
  s.set_xpsr(0x01000000);  // Thumb state, flags clear, thread mode
  s.set_reg(UC_ARM_REG_LR, 0xFFFFFFFF);

  // SP and PC from the first two words of the vector table (at 0 after reset).
  std::uint32_t sp = 0, entry = 0;
  std::memcpy(&sp, s.flash.get(), 4);
  std::memcpy(&entry, s.flash.get() + 4, 4);
  sp &= ~3u;
  s.set_reg(UC_ARM_REG_SP, sp);
  s.set_reg(UC_ARM_REG_PC, entry);
  if (entry != 0 && !(entry & 1))
    fault("reset vector " + hex(entry) + " has no Thumb bit (the chip locks up with an INVSTATE fault)");
  s.initial_sp = sp;
  stats_.lowest_sp = sp ? sp : 0xFFFFFFFF;
  s.paint_stack();
}

Stats& Machine::stats() {
  Impl& s = *impl_;
  stats_.cycles = now();
  s.switch_context(s.ctx_exception);  // charge the cycles so far
  if (s.stack_painted) stats_.lowest_sp = std::min(stats_.lowest_sp, s.painted_low_water());
  return stats_;
}

void Machine::Impl::paint_stack() {
  // The firmware keeps only its stack in CCM RAM; paint what lies below the
  // initial stack pointer to find the deepest word ever written.
  stack_painted = initial_sp > mem::kCcmBase && initial_sp <= mem::kCcmBase + mem::kCcmSize;
  if (!stack_painted) return;
  for (std::uint32_t a = mem::kCcmBase; a < initial_sp; a += 4) std::memcpy(host(a, 4), &kStackPaint, 4);
}

std::uint32_t Machine::Impl::painted_low_water() const {
  for (std::uint32_t a = mem::kCcmBase; a < initial_sp; a += 4) {
    std::uint32_t v;
    std::memcpy(&v, host(a, 4), 4);
    if (v != kStackPaint) return a;
  }
  return initial_sp;
}

void Machine::Impl::sample_sp() {
  const std::uint32_t sp = reg(UC_ARM_REG_SP);
  if (sp < m.stats_.lowest_sp) m.stats_.lowest_sp = sp;
}

}  // namespace vb
