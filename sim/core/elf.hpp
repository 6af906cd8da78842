// A 32-bit little-endian ARM ELF executable: its loadable segments (placed
// at their load addresses, so initialised data lands in flash where the
// reset code copies it from) and its symbol table for look-ups both ways.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vb {

// Files above this size are refused unread: a 1 MiB flash image with its
// symbols and debug information is a small fraction of it.
constexpr std::uint64_t kMaxImageFileBytes = 64ull << 20;

class Elf {
public:
  struct Segment {
    std::uint32_t load_addr;    // physical (load) address
    std::uint32_t memory_size;  // bytes the segment occupies; beyond data: zeros
    std::vector<std::uint8_t> data;
  };

  // Reads and checks the file; throws std::runtime_error, one line naming
  // the path and the problem (missing, not a regular file, larger than
  // kMaxImageFileBytes, not ELF, not 32-bit ARM little-endian, truncated).
  explicit Elf(const std::string& path);

  const std::string& path() const { return path_; }
  std::uint32_t entry() const { return entry_; }
  const std::vector<Segment>& segments() const { return segments_; }

  // Address of a symbol (functions without the Thumb bit).
  std::optional<std::uint32_t> find(const std::string& name) const;
  // "name" or "name+0x12" for an address inside a function or object, else
  // the address in hex.
  std::string name_at(std::uint32_t addr) const;

private:
  struct Sym {
    std::uint32_t addr;
    std::uint32_t size;
    int rank;  // higher wins among symbols at one address
    std::string name;
  };
  void read_symbols(const std::vector<std::uint8_t>& file);

  std::string path_;
  std::uint32_t entry_ = 0;
  std::vector<Segment> segments_;
  std::map<std::string, std::pair<std::uint32_t, int>> by_name_;  // address, rank
  std::vector<Sym> by_addr_;                                        // sorted by address
};

// "0x08000123"
std::string hex(std::uint32_t v);

}  // namespace vb
