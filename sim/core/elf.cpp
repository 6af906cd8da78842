#include "sim/core/elf.hpp"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vb {

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(v));
  return buf;
}

namespace {

template <typename T>
T read_at(const std::vector<std::uint8_t>& file, std::size_t offset, const std::string& path, const char* what) {
  if (offset > file.size() || file.size() - offset < sizeof(T))
    throw std::runtime_error(path + ": truncated ELF file (" + what + " beyond the end)");
  T v;
  std::memcpy(&v, file.data() + offset, sizeof(T));
  return v;
}

std::string file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a plain file";
}

void check_image_file(const std::string& path, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) throw std::runtime_error(path + ": not a regular file (" + file_kind(st.st_mode) + ")");
  if (static_cast<std::uint64_t>(st.st_size) > kMaxImageFileBytes)
    throw std::runtime_error(path + ": larger than " + std::to_string(kMaxImageFileBytes >> 20) + " MiB (" +
                             std::to_string(st.st_size) + " bytes), not a firmware image");
}

// The whole file, once it is known to be a regular file of a sensible size:
// a device, FIFO or directory is refused before anything is read from it
// (opening a FIFO without a writer would otherwise wait for ever, and
// /dev/zero never ends).
std::vector<std::uint8_t> read_image_file(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0)
    throw std::runtime_error(path + ": cannot open the firmware image (" + std::strerror(errno) + ")");
  check_image_file(path, st);
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(path + ": cannot open the firmware image (" + std::strerror(errno) + ")");
  std::vector<std::uint8_t> file;
  try {
    // Checked again on what was opened: the path may have changed meanwhile.
    if (::fstat(fd, &st) != 0)
      throw std::runtime_error(path + ": cannot read the firmware image (" + std::strerror(errno) + ")");
    check_image_file(path, st);
    file.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < file.size()) {
      const ssize_t n = ::read(fd, file.data() + got, file.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::runtime_error(path + ": cannot read the firmware image (" + std::strerror(errno) + ")");
      if (n == 0) break;  // shrank meanwhile: what is there is checked as usual
      got += static_cast<std::size_t>(n);
    }
    file.resize(got);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  return file;
}

// Which of several names for one address a report shows: a global
// function beats a weak alias (the trap handler has dozens) and both beat
// local labels and linker-script markers.
int rank_of(const Elf32_Sym& s) {
  const unsigned bind = ELF32_ST_BIND(s.st_info), type = ELF32_ST_TYPE(s.st_info);
  int r = 0;
  if (type == STT_FUNC || type == STT_OBJECT) r += 4;
  if (bind == STB_GLOBAL) r += 2;
  else if (bind == STB_WEAK) r += 1;
  return r;
}

// Reports show C++ names readable; look-ups use the names as linked.
std::string display_name(const std::string& name) {
  if (name.rfind("_Z", 0) != 0) return name;
  int status = 0;
  char* d = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  std::string out = status == 0 && d ? d : name;
  std::free(d);
  return out;
}

}  // namespace

Elf::Elf(const std::string& path) : path_(path) {
  const std::vector<std::uint8_t> file = read_image_file(path);
  // The magic number first: a short file of anything else is not "truncated".
  if (file.size() < SELFMAG || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0)
    throw std::runtime_error(path + ": not an ELF file");
  const auto eh = read_at<Elf32_Ehdr>(file, 0, path, "ELF header");
  if (eh.e_ident[EI_CLASS] != ELFCLASS32 || eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_machine != EM_ARM)
    throw std::runtime_error(path + ": not a 32-bit little-endian ARM ELF file");
  if (eh.e_type != ET_EXEC) throw std::runtime_error(path + ": not an executable (ELF type " + std::to_string(eh.e_type) + ")");
  entry_ = eh.e_entry;

  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    const auto ph = read_at<Elf32_Phdr>(file, eh.e_phoff + std::size_t{i} * eh.e_phentsize, path, "program header");
    if (ph.p_type != PT_LOAD || ph.p_memsz == 0) continue;
    if (ph.p_filesz > ph.p_memsz || ph.p_offset > file.size() || file.size() - ph.p_offset < ph.p_filesz)
      throw std::runtime_error(path + ": truncated ELF file (segment data beyond the end)");
    Segment seg{ph.p_paddr, ph.p_memsz, {}};
    seg.data.assign(file.begin() + ph.p_offset, file.begin() + ph.p_offset + ph.p_filesz);
    segments_.push_back(std::move(seg));
  }
  if (segments_.empty()) throw std::runtime_error(path + ": the ELF file has nothing to load");
  read_symbols(file);
}

void Elf::read_symbols(const std::vector<std::uint8_t>& file) {
  const auto eh = read_at<Elf32_Ehdr>(file, 0, path_, "ELF header");
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    const auto sh = read_at<Elf32_Shdr>(file, eh.e_shoff + std::size_t{i} * eh.e_shentsize, path_, "section header");
    if (sh.sh_type != SHT_SYMTAB || sh.sh_entsize != sizeof(Elf32_Sym)) continue;
    const auto strtab =
        read_at<Elf32_Shdr>(file, eh.e_shoff + std::size_t{sh.sh_link} * eh.e_shentsize, path_, "string table header");
    if (strtab.sh_offset > file.size() || file.size() - strtab.sh_offset < strtab.sh_size)
      throw std::runtime_error(path_ + ": truncated ELF file (string table beyond the end)");
    const char* strings = reinterpret_cast<const char*>(file.data() + strtab.sh_offset);
    for (std::uint32_t k = 1; k < sh.sh_size / sizeof(Elf32_Sym); ++k) {
      const auto s = read_at<Elf32_Sym>(file, sh.sh_offset + std::size_t{k} * sizeof(Elf32_Sym), path_, "symbol");
      const unsigned type = ELF32_ST_TYPE(s.st_info);
      if (s.st_shndx == SHN_UNDEF || type == STT_SECTION || type == STT_FILE || s.st_name >= strtab.sh_size) continue;
      const char* name = strings + s.st_name;
      const std::size_t len = strnlen(name, strtab.sh_size - s.st_name);
      if (len == 0 || name[0] == '$') continue;  // mapping symbols ($t, $d)
      const std::uint32_t addr = type == STT_FUNC ? s.st_value & ~1u : s.st_value;
      const int rank = rank_of(s);
      std::string n(name, len);
      auto it = by_name_.find(n);
      if (it == by_name_.end() || rank > it->second.second) by_name_[n] = {addr, rank};
      by_addr_.push_back({addr, s.st_size, rank, display_name(n)});
    }
  }
  // By address; at one address the best-ranked name first.
  std::sort(by_addr_.begin(), by_addr_.end(), [](const Sym& a, const Sym& b) {
    if (a.addr != b.addr) return a.addr < b.addr;
    if (a.rank != b.rank) return a.rank > b.rank;
    return a.name < b.name;
  });
}

std::optional<std::uint32_t> Elf::find(const std::string& name) const {
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return std::nullopt;
  return it->second.first;
}

std::string Elf::name_at(std::uint32_t addr) const {
  // The nearest symbol starting at or below addr whose extent covers it;
  // among several at that start the best-ranked one.
  auto it = std::upper_bound(by_addr_.begin(), by_addr_.end(), addr,
                             [](std::uint32_t a, const Sym& s) { return a < s.addr; });
  const Sym* best = nullptr;
  for (int steps = 0; it != by_addr_.begin() && steps < 256; ++steps) {
    --it;
    const bool covers = addr == it->addr || addr - it->addr < it->size;
    if (!covers) continue;
    if (!best || it->addr > best->addr || (it->addr == best->addr && it->rank >= best->rank)) best = &*it;
  }
  if (!best) return hex(addr);
  if (best->addr == addr) return best->name;
  char off[16];
  std::snprintf(off, sizeof off, "+0x%x", static_cast<unsigned>(addr - best->addr));
  return best->name + off;
}

}  // namespace vb
