// Serialized argument lists: unsigned 64-bit words in host byte order, the
// input count, then per input its data pointer, rank and dimensions, then the
// outputs the same way.

#include <cstring>

#include "core/error.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

class WordReader {
 public:
  WordReader(const uint8_t* data, uint64_t size) : data_(data), words_(size / 8) {}

  uint64_t next(const std::string& what) {
    if (position_ >= words_)
      KORVAN_THROW("ERROR: Argument list of " + std::to_string(words_ * 8) +
                   " bytes ends before its " + what);
    uint64_t value = 0;
    std::memcpy(&value, data_ + position_ * 8, sizeof(value));
    ++position_;
    return value;
  }
  uint64_t remaining() const { return words_ - position_; }

 private:
  const uint8_t* data_;
  uint64_t words_;
  uint64_t position_ = 0;
};

void readTensors(WordReader& reader, std::vector<Tensor>& list, const char* side) {
  const uint64_t count = reader.next(std::string(side) + " count");
  // Every tensor takes at least two words: a count beyond that is not a list.
  if (count > reader.remaining() / 2)
    KORVAN_THROW("ERROR: Argument list names " + std::to_string(count) + " " + side +
                 "s but holds only " + std::to_string(reader.remaining()) + " more words");
  list.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    const std::string what = std::string(side) + " " + std::to_string(i);
    Tensor t;
    t.data = reinterpret_cast<void*>(static_cast<uintptr_t>(reader.next(what + " data")));
    const uint64_t rank = reader.next(what + " rank");
    if (rank > reader.remaining())
      KORVAN_THROW("ERROR: Argument list gives " + what + " rank " + std::to_string(rank) +
                   " but holds only " + std::to_string(reader.remaining()) + " more words");
    t.shape.reserve(rank);
    for (uint64_t r = 0; r < rank; ++r) t.shape.push_back(reader.next(what + " dimensions"));
    list.push_back(std::move(t));
  }
}

void appendWord(std::vector<uint8_t>& out, uint64_t value) {
  const size_t at = out.size();
  out.resize(at + sizeof(value));
  std::memcpy(out.data() + at, &value, sizeof(value));
}

void appendTensors(std::vector<uint8_t>& out, const std::vector<Tensor>& list) {
  appendWord(out, list.size());
  for (const auto& t : list) {
    appendWord(out, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(t.data)));
    appendWord(out, t.shape.size());
    for (const auto d : t.shape) appendWord(out, d);
  }
}

}  // namespace

void PrivateImpl::deserializeArgs(const uint8_t* data, uint64_t size, std::vector<Tensor>& inputs,
                                  std::vector<Tensor>& outputs) {
  inputs.clear();
  outputs.clear();
  if (data == nullptr && size > 0) KORVAN_THROW("ERROR: Argument list is null");
  // A private copy: the words may sit unaligned in the caller's bytes.
  const std::vector<uint8_t> copy(data, data + size);
  WordReader reader(copy.data(), size);
  readTensors(reader, inputs, "input");
  readTensors(reader, outputs, "output");
}

std::vector<uint8_t> PrivateImpl::serializeArgs(const std::vector<Tensor>& inputs,
                                                const std::vector<Tensor>& outputs) {
  std::vector<uint8_t> out;
  appendTensors(out, inputs);
  appendTensors(out, outputs);
  return out;
}

}  // namespace korvanrt::client
