#include "fabpak_format.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "le_bytes.hpp"

namespace qel::detail {

namespace {

const char* const what = "fabpak";

std::string read_name(byte_reader& in, const char* field) {
  const auto n = in.get<std::uint16_t>();
  if (n == 0 || n > fabpak_max_name)
    throw error(std::string(what) + ": " + field + " length " + std::to_string(n) + " outside 1.." +
                std::to_string(fabpak_max_name));
  std::string s = in.get_string(n);
  if (!std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7f; }))
    throw error(std::string(what) + ": " + field + " is not printable ASCII");
  return s;
}

}  // namespace

const fabpak_kernel* fabpak_impl::find_kernel(const std::string& name) const {
  for (const auto& k : kernels)
    if (k.name == name) return &k;
  return nullptr;
}

fabpak_impl parse_fabpak(const void* data, std::size_t size) {
  if (data == nullptr || size < fabpak_header_size + 4)
    throw error("fabpak: " + std::to_string(size) + " bytes are too few for a container");
  if (std::memcmp(data, fabpak_magic, sizeof fabpak_magic) != 0)
    throw error("fabpak: bad magic (not a configuration container)");
  byte_reader in(data, size, what);
  in.skip(sizeof fabpak_magic);
  const auto version = in.get<std::uint32_t>();
  if (version != fabpak_version)
    throw error("fabpak: unsupported version " + std::to_string(version));
  const auto total = in.get<std::uint32_t>();
  if (total != size)
    throw error("fabpak: size field " + std::to_string(total) + " does not match the " +
                std::to_string(size) + " bytes given");
  const auto stored_crc = load_le<std::uint32_t>(static_cast<const char*>(data) + size - 4);
  const auto crc = crc32(0L, static_cast<const Bytef*>(data), static_cast<uInt>(size - 4));
  if (crc != stored_crc) throw error("fabpak: checksum mismatch (corrupted container)");

  fabpak_impl out;
  std::array<std::uint8_t, 16> id{};
  for (auto& b : id) b = in.get<std::uint8_t>();
  out.id = uuid(id);
  const auto kernel_count = in.get<std::uint32_t>();
  const auto property_count = in.get<std::uint32_t>();
  if (kernel_count > fabpak_max_entries || property_count > fabpak_max_entries)
    throw error("fabpak: too many kernels or properties");
  byte_reader body(static_cast<const char*>(data) + fabpak_header_size,
                   size - fabpak_header_size - 4, what);
  for (std::uint32_t i = 0; i < kernel_count; ++i) {
    fabpak_kernel k;
    k.name = read_name(body, "kernel name");
    k.implementation = read_name(body, "kernel implementation");
    if (out.find_kernel(k.name)) throw error("fabpak: kernel \"" + k.name + "\" listed twice");
    out.kernels.push_back(std::move(k));
  }
  for (std::uint32_t i = 0; i < property_count; ++i) {
    std::string key = read_name(body, "property key");
    const auto value = body.get<std::uint64_t>();
    if (!out.properties.emplace(key, value).second)
      throw error("fabpak: property \"" + key + "\" listed twice");
  }
  if (body.remaining() != 0) throw error("fabpak: trailing bytes after the last entry");

  auto prop = [&](const char* key, std::uint64_t& field) {
    if (auto it = out.properties.find(key); it != out.properties.end()) field = it->second;
  };
  prop("run_overhead_ns", out.device.run_overhead_ns);
  prop("op_overhead_ns", out.device.op_overhead_ns);
  prop("bytes_per_us", out.device.bytes_per_us);
  prop("macs_per_us", out.device.macs_per_us);
  return out;
}

}  // namespace qel::detail
