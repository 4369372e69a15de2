// The "DPU" kernel: finds the device program of a run and executes it.
//
// Instruction-buffer form (argument 0 = 2): argument 1 is the instruction
// buffer (op header, then the transaction), argument 2 its size in 32-bit
// words. ELF form: the program comes from the kernel's module; argument 0 is
// 3 or, for kernels that take only data buffers, a buffer itself.

#include <string>

#include "elf_impl.hpp"
#include "kernel_functions.hpp"
#include "le_bytes.hpp"
#include "program_format.hpp"
#include "program_interpreter.hpp"
#include "run_impl.hpp"

namespace qel::detail {

namespace {

[[noreturn]] void fault(const std::string& what) {
  throw device_fault(command_state::error, what);
}

std::uint64_t scalar_arg(const std::vector<kernel_arg>& args, std::size_t index, const char* what) {
  if (index >= args.size() || args[index].what != kernel_arg::kind::bytes ||
      args[index].bytes.size() != 8)
    fault(std::string("argument ") + std::to_string(index) + " (" + what +
          ") must be an 8-byte value");
  return load_le<std::uint64_t>(args[index].bytes.data());
}

}  // namespace

kernel_outcome run_dpu(const kernel_call& call) {
  try {
    const auto& args = call.args;
    if (call.kernel.program) {
      if (!args.empty() && args[0].what == kernel_arg::kind::bytes) {
        const auto op = scalar_arg(args, 0, "opcode");
        if (op != opcode_elf)
          fault("opcode " + std::to_string(op) + " on a kernel of an ELF module (expected 3)");
      }
      const auto& program = call.kernel.program->program;
      return {command_state::completed,
              {},
              execute_program(reinterpret_cast<const std::byte*>(program.data()), program.size(),
                              args, call.properties)};
    }

    const auto op = scalar_arg(args, 0, "opcode");
    if (op == opcode_elf) fault("opcode 3 needs a kernel made from an ELF module");
    if (op != opcode_transaction) fault("unknown opcode " + std::to_string(op));
    if (args.size() < 2 || args[1].what != kernel_arg::kind::buffer)
      fault("argument 1 (instruction buffer) must be a buffer");
    const auto& instr = *args[1].buffer;
    const auto words = scalar_arg(args, 2, "instruction word count");
    if (words > instr.size / 4)
      fault("instruction word count " + std::to_string(words) + " exceeds the buffer of " +
            std::to_string(instr.size) + " bytes");
    const std::uint64_t bytes = words * 4;
    if (bytes < op_header_size) fault("instruction buffer holds no op header");
    const auto* base = instr.host();
    const auto op_type = load_le<std::uint32_t>(base);
    const auto op_size = load_le<std::uint32_t>(base + 4);
    if (op_type != 0) fault("op type " + std::to_string(op_type) + " is not a transaction op");
    if (op_size < op_header_size || op_size > bytes)
      fault("op size " + std::to_string(op_size) + " does not fit " + std::to_string(bytes) +
            " instruction bytes");
    return {
        command_state::completed,
        {},
        execute_program(base + op_header_size, op_size - op_header_size, args, call.properties)};
  } catch (const device_fault& f) {
    return {f.state, f.what(), 0};
  }
}

}  // namespace qel::detail
