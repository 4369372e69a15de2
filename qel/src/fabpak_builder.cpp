#include "qel/fabpak_builder.hpp"

#include <zlib.h>

#include <cstring>

#include "fabpak_format.hpp"
#include "le_bytes.hpp"

namespace qel {

namespace {
void append_name(std::vector<char>& out, const std::string& s) {
  if (s.empty() || s.size() > detail::fabpak_max_name)
    throw error("fabpak_builder: name \"" + s + "\" must have 1 to 255 characters");
  detail::append_le<std::uint16_t>(out, static_cast<std::uint16_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}
}  // namespace

fabpak_builder& fabpak_builder::add_kernel(const std::string& name,
                                           const std::string& implementation) {
  kernels_.emplace_back(name, implementation);
  return *this;
}

fabpak_builder& fabpak_builder::set_property(const std::string& key, std::uint64_t value) {
  properties_[key] = value;
  return *this;
}

std::vector<char> fabpak_builder::build() const {
  std::vector<char> out(detail::fabpak_magic, detail::fabpak_magic + 8);
  detail::append_le<std::uint32_t>(out, detail::fabpak_version);
  detail::append_le<std::uint32_t>(out, 0);  // total size, filled below
  out.insert(out.end(), uuid_.bytes().begin(), uuid_.bytes().end());
  detail::append_le<std::uint32_t>(out, static_cast<std::uint32_t>(kernels_.size()));
  detail::append_le<std::uint32_t>(out, static_cast<std::uint32_t>(properties_.size()));
  for (const auto& [name, impl] : kernels_) {
    append_name(out, name);
    append_name(out, impl);
  }
  for (const auto& [key, value] : properties_) {
    append_name(out, key);
    detail::append_le<std::uint64_t>(out, value);
  }
  detail::store_le<std::uint32_t>(out.data() + 12, static_cast<std::uint32_t>(out.size() + 4));
  const auto crc =
      crc32(0L, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()));
  detail::append_le<std::uint32_t>(out, static_cast<std::uint32_t>(crc));
  return out;
}

}  // namespace qel
