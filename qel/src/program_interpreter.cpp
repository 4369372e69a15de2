#include "program_interpreter.hpp"

#include <cstring>
#include <optional>
#include <sstream>

#include "compute_ops.hpp"
#include "le_bytes.hpp"
#include "program_format.hpp"
#include "run_impl.hpp"

namespace qel::detail {

namespace {

std::string hex(std::uint64_t v) {
  std::ostringstream s;
  s << "0x" << std::hex << v;
  return s.str();
}

[[noreturn]] void fault(const std::string& what) {
  throw device_fault(command_state::error, what);
}

struct operand {
  std::uint8_t kind, arg;
  std::uint64_t offset, word;
};

// Writable bytes of one operand, with the memory kept alive while in use.
struct region {
  std::byte* ptr = nullptr;
  std::shared_ptr<memory_block> keep;
};

class interpreter {
 public:
  interpreter(const std::vector<kernel_arg>& args, const device_properties& props)
      : args_(args), props_(props) {}

  std::uint64_t run(const std::byte* code, std::size_t size);

 private:
  region resolve(const operand& op, std::uint64_t length, const char* role);
  region resolve_argument(std::uint8_t index, std::uint64_t offset, std::uint64_t length,
                          const char* role);
  region resolve_address(std::uint64_t value, std::uint64_t offset, std::uint64_t length,
                         const char* role, const std::string& source);
  std::optional<region> resolve_optional(const operand& op, std::uint64_t length, const char* role);
  void execute(std::uint16_t op, byte_reader& in);
  void add_cost(std::uint64_t bytes, std::uint64_t macs);

  const std::vector<kernel_arg>& args_;
  const device_properties& props_;
  std::uint64_t sim_ns_ = 0;
  std::uint32_t index_ = 0;  // instruction being executed
};

operand read_operand(byte_reader& in) {
  operand op;
  op.kind = in.get<std::uint8_t>();
  op.arg = in.get<std::uint8_t>();
  in.skip(6);
  op.offset = in.get<std::uint64_t>();
  op.word = in.get<std::uint64_t>();
  return op;
}

region interpreter::resolve_address(std::uint64_t value, std::uint64_t offset, std::uint64_t length,
                                    const char* role, const std::string& source) {
  if (value < device_address_offset)
    fault("instruction " + std::to_string(index_) + ": " + source + " holds " + hex(value) +
          ", not a device address");
  const auto base = value - device_address_offset;
  std::uint64_t address;
  if (__builtin_add_overflow(base, offset, &address))
    fault("instruction " + std::to_string(index_) + ": " + role + " address overflows");
  auto found = detail::resolve_address(address, length);
  if (!found)
    fault("instruction " + std::to_string(index_) + ": " + role + " of " + std::to_string(length) +
          " bytes at device address " + hex(address) + " (from " + source +
          ") is not inside a live buffer");
  return {found->ptr, std::move(found->block)};
}

region interpreter::resolve_argument(std::uint8_t index, std::uint64_t offset, std::uint64_t length,
                                     const char* role) {
  const std::string where =
      "instruction " + std::to_string(index_) + ": " + role + ": argument " + std::to_string(index);
  if (index >= args_.size() || args_[index].what == kernel_arg::kind::unset)
    fault(where + " is not set");
  const auto& a = args_[index];
  if (a.what == kernel_arg::kind::buffer) {
    const auto& b = *a.buffer;
    if (offset > b.size || length > b.size - offset)
      fault(where + ": " + std::to_string(length) + " bytes at offset " + std::to_string(offset) +
            " exceed its buffer of " + std::to_string(b.size) + " bytes");
    return {b.host() + offset, b.memory};
  }
  if (a.bytes.size() != 8)
    fault(where + " is a " + std::to_string(a.bytes.size()) +
          "-byte value, neither a buffer nor a device address");
  return resolve_address(load_le<std::uint64_t>(a.bytes.data()), offset, length, role,
                         "argument " + std::to_string(index));
}

region interpreter::resolve(const operand& op, std::uint64_t length, const char* role) {
  switch (op.kind) {
    case 1:
      return resolve_argument(op.arg, op.offset, length, role);
    case 2: {
      auto word_region = resolve_argument(op.arg, op.word, 8, role);
      const auto word = load_le<std::uint64_t>(word_region.ptr) & address_mask_48;
      return resolve_address(word, op.offset, length, role,
                             "control word at offset " + std::to_string(op.word) + " of argument " +
                                 std::to_string(op.arg));
    }
    case 0:
      fault("instruction " + std::to_string(index_) + ": " + role + " operand is missing");
    default:
      fault("instruction " + std::to_string(index_) + ": " + role + " operand has unknown kind " +
            std::to_string(op.kind));
  }
}

std::optional<region> interpreter::resolve_optional(const operand& op, std::uint64_t length,
                                                    const char* role) {
  if (op.kind == 0) return std::nullopt;
  return resolve(op, length, role);
}

void interpreter::add_cost(std::uint64_t bytes, std::uint64_t macs) {
  double ns = 0;
  if (props_.bytes_per_us) ns += static_cast<double>(bytes) * 1000.0 / props_.bytes_per_us;
  if (props_.macs_per_us) ns += static_cast<double>(macs) * 1000.0 / props_.macs_per_us;
  sim_ns_ += static_cast<std::uint64_t>(ns);
}

conv_params read_conv(byte_reader& in, std::uint32_t index) {
  conv_params p{};
  p.height = in.get<std::uint32_t>();
  p.width = in.get<std::uint32_t>();
  p.batch = in.get<std::uint32_t>();
  p.in_channels = in.get<std::uint32_t>();
  p.out_channels = in.get<std::uint32_t>();
  const auto flags = in.get<std::uint32_t>();
  if (p.height == 0 || p.width == 0 || p.batch == 0 || p.in_channels == 0 || p.out_channels == 0)
    fault("instruction " + std::to_string(index) + ": convolution with an empty dimension");
  if (flags & ~conv_flag_relu)
    fault("instruction " + std::to_string(index) + ": unknown convolution flags " +
          std::to_string(flags));
  p.relu = (flags & conv_flag_relu) != 0;
  return p;
}

void interpreter::execute(std::uint16_t op, byte_reader& in) {
  const std::string at = "instruction " + std::to_string(index_);
  switch (static_cast<opcode>(op)) {
    case opcode::copy: {
      const auto dst = read_operand(in), src = read_operand(in);
      const auto bytes = in.get<std::uint64_t>();
      auto s = resolve(src, bytes, "copy source");
      auto d = resolve(dst, bytes, "copy destination");
      if (bytes) std::memmove(d.ptr, s.ptr, bytes);
      add_cost(bytes, 0);
      return;
    }
    case opcode::fill: {
      const auto dst = read_operand(in);
      const auto bytes = in.get<std::uint64_t>();
      const auto value = in.get<std::uint32_t>();
      in.skip(4);
      auto d = resolve(dst, bytes, "fill destination");
      if (bytes) std::memset(d.ptr, static_cast<int>(value & 0xff), bytes);
      add_cost(bytes, 0);
      return;
    }
    case opcode::conv1x1_bf16:
    case opcode::conv1x1_int8: {
      const bool is_int8 = static_cast<opcode>(op) == opcode::conv1x1_int8;
      const auto dst = read_operand(in), src = read_operand(in), wts = read_operand(in),
                 bias = read_operand(in);
      const auto p = read_conv(in, index_);
      requant_params q{};
      if (is_int8) {
        q.in_zero = in.get<std::int32_t>();
        q.out_zero = in.get<std::int32_t>();
        q.multiplier = in.get<std::int32_t>();
        q.shift = in.get<std::int32_t>();
        if (q.shift < 0 || q.shift > 62) fault(at + ": requantization shift outside 0..62");
      }
      const std::uint64_t element = is_int8 ? 1 : 2;
      const auto in_bytes = hcwnc8_bytes(p, p.in_channels, element);
      const auto out_bytes = hcwnc8_bytes(p, p.out_channels, element);
      std::uint64_t w_bytes = 0, macs = 0;
      if (in_bytes == 0 || out_bytes == 0 ||
          __builtin_mul_overflow(p.in_channels * p.out_channels, element, &w_bytes) ||
          __builtin_mul_overflow(out_bytes / element, p.in_channels, &macs))
        fault(at + ": convolution too large");
      auto s = resolve(src, in_bytes, "convolution input");
      auto w = resolve(wts, w_bytes, "convolution weights");
      auto b = resolve_optional(bias, p.out_channels * 4, "convolution bias");
      auto d = resolve(dst, out_bytes, "convolution output");
      if (is_int8)
        conv1x1_int8(p, q, d.ptr, s.ptr, w.ptr, b ? b->ptr : nullptr);
      else
        conv1x1_bf16(p, d.ptr, s.ptr, w.ptr, b ? b->ptr : nullptr);
      add_cost(in_bytes + out_bytes + w_bytes, macs);
      return;
    }
    case opcode::add: {
      const auto dst = read_operand(in), a = read_operand(in), b = read_operand(in);
      const auto type = in.get<std::uint32_t>();
      in.skip(4);
      const auto count = in.get<std::uint64_t>();
      const std::uint64_t element = type == 0 ? 2 : type == 1 ? 1 : type == 2 ? 4 : 0;
      if (element == 0) fault(at + ": unknown element type " + std::to_string(type));
      std::uint64_t bytes;
      if (__builtin_mul_overflow(count, element, &bytes)) fault(at + ": add too large");
      auto ra = resolve(a, bytes, "add input a");
      auto rb = resolve(b, bytes, "add input b");
      auto rd = resolve(dst, bytes, "add output");
      if (type == 0) add_bf16(rd.ptr, ra.ptr, rb.ptr, count);
      if (type == 1) add_int8(rd.ptr, ra.ptr, rb.ptr, count);
      if (type == 2) add_fp32(rd.ptr, ra.ptr, rb.ptr, count);
      add_cost(3 * bytes, 0);
      return;
    }
    case opcode::delay: {
      const auto ns = in.get<std::uint64_t>();
      if (__builtin_add_overflow(sim_ns_, ns, &sim_ns_)) fault(at + ": delay overflows");
      return;
    }
    case opcode::fault: {
      const auto raw = in.get<std::uint32_t>();
      const auto s = static_cast<command_state>(raw);
      if (s != command_state::error && s != command_state::abort && s != command_state::timeout &&
          s != command_state::no_response)
        fault(at + ": fault state " + std::to_string(raw) + " is not a failure state");
      throw device_fault(s, at + ": program raised " + to_string(s));
    }
  }
  fault(at + ": unknown opcode " + std::to_string(op));
}

std::uint64_t interpreter::run(const std::byte* code, std::size_t size) {
  if (size < transaction_header_size)
    fault("transaction of " + std::to_string(size) + " bytes is shorter than its header");
  if (std::memcmp(code, program_magic, sizeof program_magic) != 0)
    fault("transaction header lacks the program magic");
  const auto version = load_le<std::uint16_t>(code + 4);
  if (version != program_version) fault("unsupported program version " + std::to_string(version));
  const auto count = load_le<std::uint32_t>(code + 8);
  const auto total = load_le<std::uint32_t>(code + 12);
  if (total != size)
    fault("transaction size field " + std::to_string(total) + " does not match " +
          std::to_string(size) + " bytes");

  // Check the whole instruction stream before executing any of it.
  std::uint32_t seen = 0;
  for (std::size_t pos = transaction_header_size; pos < size; ++seen) {
    if (size - pos < instruction_header_size)
      fault("instruction " + std::to_string(seen) + " is truncated");
    const auto op = load_le<std::uint16_t>(code + pos);
    const auto len = load_le<std::uint16_t>(code + pos + 2);
    const auto expected = instruction_size(op);
    if (expected == 0)
      fault("instruction " + std::to_string(seen) + ": unknown opcode " + std::to_string(op));
    if (len != expected || size - pos < len)
      fault("instruction " + std::to_string(seen) + ": bad length " + std::to_string(len));
    pos += len;
  }
  if (seen != count)
    fault("transaction declares " + std::to_string(count) + " instructions but holds " +
          std::to_string(seen));

  for (std::size_t pos = transaction_header_size; pos < size; ++index_) {
    const auto op = load_le<std::uint16_t>(code + pos);
    const auto len = load_le<std::uint16_t>(code + pos + 2);
    byte_reader in(code + pos + instruction_header_size, len - instruction_header_size,
                   "instruction " + std::to_string(index_));
    execute(op, in);
    sim_ns_ += props_.op_overhead_ns;
    pos += len;
  }
  return sim_ns_;
}

}  // namespace

std::uint64_t execute_program(const std::byte* transaction, std::size_t size,
                              const std::vector<kernel_arg>& args, const device_properties& props) {
  interpreter it(args, props);
  return it.run(transaction, size);
}

}  // namespace qel::detail
