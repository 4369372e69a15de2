// ELF images and the modules made from them.

#include <cstring>
#include <fstream>
#include <iterator>

#include "elf_impl.hpp"
#include "le_bytes.hpp"
#include "qel/qel.hpp"

namespace qel {

namespace detail {

namespace {
constexpr std::size_t header_size = 64;
constexpr std::size_t section_header_size = 64;
constexpr std::uint32_t sht_nobits = 8;

std::string elf_error(const std::string& what) {
  return "ELF: " + what;
}
}  // namespace

const elf_section* elf_impl::find(const std::string& name) const {
  for (const auto& s : sections)
    if (s.name == name) return &s;
  return nullptr;
}

elf_impl parse_elf(const void* data, std::size_t size) {
  if (data == nullptr || size < header_size)
    throw error(elf_error(std::to_string(size) + " bytes are too few for an ELF64 header"));
  const auto* p = static_cast<const unsigned char*>(data);
  if (p[0] != 0x7f || p[1] != 'E' || p[2] != 'L' || p[3] != 'F')
    throw error(elf_error("bad magic"));
  if (p[4] != 2) throw error(elf_error("not a 64-bit file"));
  if (p[5] != 1) throw error(elf_error("not little-endian"));
  if (p[6] != 1) throw error(elf_error("unknown version"));

  const auto shoff = load_le<std::uint64_t>(p + 0x28);
  const auto shentsize = load_le<std::uint16_t>(p + 0x3a);
  const auto shnum = load_le<std::uint16_t>(p + 0x3c);
  const auto shstrndx = load_le<std::uint16_t>(p + 0x3e);
  if (shnum == 0) throw error(elf_error("no section headers"));
  if (shentsize != section_header_size)
    throw error(elf_error("section header size " + std::to_string(shentsize)));
  if (shoff > size || std::uint64_t{shnum} * section_header_size > size - shoff)
    throw error(elf_error("section headers outside the file"));
  if (shstrndx >= shnum) throw error(elf_error("section name table index out of range"));

  elf_impl out;
  out.bytes.assign(static_cast<const char*>(data), static_cast<const char*>(data) + size);
  std::vector<std::uint32_t> names(shnum);
  for (std::uint16_t i = 0; i < shnum; ++i) {
    const auto* h = p + shoff + std::uint64_t{i} * section_header_size;
    elf_section s;
    names[i] = load_le<std::uint32_t>(h);
    s.type = load_le<std::uint32_t>(h + 4);
    s.offset = load_le<std::uint64_t>(h + 0x18);
    s.size = load_le<std::uint64_t>(h + 0x20);
    if (s.type != sht_nobits && (s.offset > size || s.size > size - s.offset))
      throw error(elf_error("section " + std::to_string(i) + " lies outside the file"));
    out.sections.push_back(s);
  }
  const auto& strtab = out.sections[shstrndx];
  if (strtab.type == sht_nobits) throw error(elf_error("section name table has no bytes"));
  for (std::uint16_t i = 0; i < shnum; ++i) {
    if (names[i] >= strtab.size) throw error(elf_error("section name outside the name table"));
    const char* begin = out.bytes.data() + strtab.offset + names[i];
    const auto room = strtab.size - names[i];
    const void* nul = std::memchr(begin, 0, room);
    if (!nul) throw error(elf_error("unterminated section name"));
    out.sections[i].name.assign(begin, static_cast<const char*>(nul));
  }
  return out;
}

std::vector<char> write_elf(const std::string& name, const std::vector<char>& payload) {
  std::vector<char> strtab{'\0'};
  const auto name_at = static_cast<std::uint32_t>(strtab.size());
  strtab.insert(strtab.end(), name.begin(), name.end());
  strtab.push_back('\0');
  const auto strtab_name_at = static_cast<std::uint32_t>(strtab.size());
  const std::string shstrtab = ".shstrtab";
  strtab.insert(strtab.end(), shstrtab.begin(), shstrtab.end());
  strtab.push_back('\0');

  const std::uint64_t payload_at = header_size;
  const std::uint64_t strtab_at = payload_at + payload.size();
  const std::uint64_t shoff = (strtab_at + strtab.size() + 7) / 8 * 8;

  std::vector<char> out(shoff + 3 * section_header_size, '\0');
  unsigned char ident[16] = {0x7f, 'E', 'L', 'F', 2, 1, 1};
  std::memcpy(out.data(), ident, sizeof ident);
  store_le<std::uint16_t>(out.data() + 0x10, 2);  // executable
  store_le<std::uint32_t>(out.data() + 0x14, 1);  // version
  store_le<std::uint64_t>(out.data() + 0x28, shoff);
  store_le<std::uint16_t>(out.data() + 0x34, header_size);
  store_le<std::uint16_t>(out.data() + 0x3a, section_header_size);
  store_le<std::uint16_t>(out.data() + 0x3c, 3);
  store_le<std::uint16_t>(out.data() + 0x3e, 2);
  if (!payload.empty()) std::memcpy(out.data() + payload_at, payload.data(), payload.size());
  std::memcpy(out.data() + strtab_at, strtab.data(), strtab.size());

  auto section = [&](int i, std::uint32_t nm, std::uint32_t type, std::uint64_t flags,
                     std::uint64_t off, std::uint64_t sz) {
    char* h = out.data() + shoff + i * section_header_size;
    store_le<std::uint32_t>(h, nm);
    store_le<std::uint32_t>(h + 4, type);
    store_le<std::uint64_t>(h + 8, flags);
    store_le<std::uint64_t>(h + 0x18, off);
    store_le<std::uint64_t>(h + 0x20, sz);
    store_le<std::uint64_t>(h + 0x30, 1);  // alignment
  };
  section(1, name_at, 1, 0x6, payload_at, payload.size());     // PROGBITS, alloc + exec
  section(2, strtab_name_at, 3, 0, strtab_at, strtab.size());  // STRTAB
  return out;
}

}  // namespace detail

elf::elf(const void* data, std::size_t size)
    : impl_(std::make_shared<detail::elf_impl>(detail::parse_elf(data, size))) {}

elf::elf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw error("ELF: cannot open \"" + path + "\"");
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  impl_ = std::make_shared<detail::elf_impl>(detail::parse_elf(bytes.data(), bytes.size()));
}

module::module(const elf& file) {
  auto e = file.get_handle();
  if (!e) throw error("qel: module from an empty ELF handle");
  const auto* s = e->find(detail::program_section);
  if (!s || s->type == 8)
    throw error(std::string("ELF: no ") + detail::program_section + " section");
  auto m = std::make_shared<detail::module_impl>();
  m->program.assign(e->bytes.begin() + static_cast<std::ptrdiff_t>(s->offset),
                    e->bytes.begin() + static_cast<std::ptrdiff_t>(s->offset + s->size));
  impl_ = std::move(m);
}

std::size_t module::program_size() const {
  if (!impl_) throw error("qel: empty module handle");
  return impl_->program.size();
}

}  // namespace qel
