#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_device.hpp"

namespace {

using qel::command_state;
using qel::program::builder;
using qel::program::operand;
using qel_test::address_offset;
using qel_test::contents;
using qel_test::finish;
using qel_test::test_device;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { qel::emu::reset(); }
  test_device t;

  qel::bo filled(std::size_t size, std::uint8_t first) {
    auto b = t.buffer(size);
    for (std::size_t i = 0; i < size; ++i)
      b.map<std::uint8_t*>()[i] = static_cast<std::uint8_t>(first + i);
    return b;
  }
};

// Plain reference arithmetic, written independently of the device code.
std::uint16_t ref_bf16(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  if (std::isnan(f)) return static_cast<std::uint16_t>((u >> 16) | 0x40);
  const std::uint32_t lower = u & 0xFFFF, upper = u >> 16;
  const bool up = lower > 0x8000 || (lower == 0x8000 && (upper & 1));
  return static_cast<std::uint16_t>(upper + (up ? 1 : 0));
}
float ref_float(std::uint16_t b) {
  std::uint32_t u = std::uint32_t{b} << 16;
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
std::size_t hcwnc8(const qel::program::conv_shape& s, std::size_t channels, std::size_t h,
                   std::size_t c, std::size_t w, std::size_t n) {
  const std::size_t blocks = (channels + 7) / 8;
  return (((h * blocks + c / 8) * s.width + w) * s.batch + n) * 8 + c % 8;
}
std::size_t tensor_elems(const qel::program::conv_shape& s, std::size_t channels) {
  return s.height * ((channels + 7) / 8) * 8 * s.width * s.batch;
}

TEST_F(ProgramTest, CopyResolvesArgumentsAddressesAndControlWords) {
  auto src = filled(256, 1);
  auto dst = t.buffer(256);
  auto ctrl = t.buffer(64);
  // Control word: address + offset in the low 48 bits, unrelated bits above.
  const std::uint64_t word = (0xABCDull << 48) | (dst.address() + address_offset + 100);
  ctrl.write(&word, 8, 16);

  builder p;
  p.copy(operand::argument(4, 0), operand::argument(3, 4), 32)              // by address
      .copy(operand::control_word(5, 16, 8), operand::argument(3, 40), 16)  // by control word
      .fill(operand::argument(4, 200), 0xEE, 8);
  auto instr = t.instruction_bo(p);
  auto r = t.txn_run(instr, {src, dst, ctrl});
  ASSERT_EQ(finish(r), command_state::completed) << r.error_text();

  const auto out = contents<std::uint8_t>(dst);
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(out[i], static_cast<std::uint8_t>(5 + i));
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(out[108 + i], static_cast<std::uint8_t>(41 + i));
  for (std::size_t i = 200; i < 208; ++i) EXPECT_EQ(out[i], 0xEE);
  EXPECT_EQ(out[32], 0);
  EXPECT_EQ(out[208], 0);
}

TEST_F(ProgramTest, BadOperandsEndInErrorAndTouchNothing) {
  auto src = filled(64, 1);
  auto dst = t.buffer(64);
  auto ctrl = t.buffer(64);
  std::uint64_t stale_address;
  {
    auto gone = t.buffer(64);
    stale_address = gone.address() + address_offset;
  }
  const std::uint64_t words[] = {0, stale_address, src.address() + address_offset + 60};
  ctrl.write(words, sizeof words, 0);

  struct bad {
    const char* name;
    operand dst, src;
    std::uint64_t bytes;
    const char* message;
  };
  const std::vector<bad> cases = {
      {"past the end by address", operand::argument(4), operand::argument(3, 1), 64,
       "not inside a live buffer"},
      {"argument not set", operand::argument(4), operand::argument(9), 4, "is not set"},
      {"argument is not an address", operand::argument(4), operand::argument(0), 4,
       "not a device address"},
      {"unpatched control word", operand::argument(4), operand::control_word(5, 0), 4,
       "not a device address"},
      {"control word of a freed buffer", operand::argument(4), operand::control_word(5, 8), 4,
       "not inside a live buffer"},
      {"control word range past the end", operand::argument(4), operand::control_word(5, 16), 8,
       "not inside a live buffer"},
      {"control word outside the packet", operand::argument(4), operand::control_word(5, 60), 4,
       "not inside a live buffer"},
      {"missing operand", operand::argument(4), operand::none(), 4, "missing"},
      {"offset overflow", operand::argument(4), operand::argument(3, ~0ull), 4, "overflows"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    builder p;
    p.copy(c.dst, c.src, c.bytes);
    auto instr = t.instruction_bo(p);
    auto r = t.txn_run(instr, {src, dst, ctrl});
    EXPECT_EQ(finish(r), command_state::error);
    EXPECT_NE(r.error_text().find(c.message), std::string::npos) << r.error_text();
    EXPECT_EQ(contents<std::uint8_t>(dst), std::vector<std::uint8_t>(64, 0));
  }
}

TEST_F(ProgramTest, MalformedInstructionBuffersEndInError) {
  auto dst = t.buffer(64);
  builder p;
  p.fill(operand::argument(3), 1, 8).fill(operand::argument(3, 8), 2, 8);
  const auto good = p.instruction_buffer();
  struct bad {
    const char* name;
    std::function<void(std::vector<char>&, std::uint64_t&)> apply;
  };
  const std::vector<bad> cases = {
      {"word count beyond the buffer", [](auto& b, auto& words) { words = b.size() / 4 + 1; }},
      {"op type not 0", [](auto& b, auto&) { b[0] = 1; }},
      {"op size beyond the words", [](auto& b, auto&) { b[5] = 0x10; }},
      {"no program magic", [](auto& b, auto&) { b[8] = 'X'; }},
      {"instruction count mismatch", [](auto& b, auto&) { b[16] = 3; }},
      {"unknown opcode", [](auto& b, auto&) { b[24] = 99; }},
      {"bad instruction length", [](auto& b, auto&) { b[26] = 44; }},
      {"transaction size mismatch", [](auto& b, auto&) { b[20] = 1; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = good;
    std::uint64_t words = bytes.size() / 4;
    c.apply(bytes, words);
    qel::bo instr(t.ctx, bytes.size(), qel::bo::flags::cacheable, t.dpu.group_id(1));
    instr.write(bytes.data());
    auto r = t.txn_run(instr, {dst});
    r.set_arg_at_index(2, words);
    EXPECT_EQ(finish(r), command_state::error) << r.error_text();
    EXPECT_EQ(contents<std::uint8_t>(dst), std::vector<std::uint8_t>(64, 0));
  }
  // Opcodes other than 2 on an instruction-buffer kernel.
  for (std::uint64_t opcode : {0ull, 3ull, 7ull}) {
    auto instr = t.instruction_bo(p);
    auto r = t.txn_run(instr, {dst});
    r.set_arg_at_index(0, opcode);
    EXPECT_EQ(finish(r), command_state::error);
  }
}

TEST_F(ProgramTest, FaultInstructionEndsTheRunInItsState) {
  for (auto s : {command_state::error, command_state::abort, command_state::timeout,
                 command_state::no_response}) {
    builder p;
    p.fault(s);
    auto instr = t.instruction_bo(p);
    auto r = t.txn_run(instr, {});
    EXPECT_EQ(finish(r), s);
  }
}

TEST_F(ProgramTest, Bf16PointwiseConvolutionMatchesReference) {
  const qel::program::conv_shape s{2, 3, 2, 11, 13};
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> val(-2.0f, 2.0f);
  auto x = t.buffer(tensor_elems(s, 11) * 2), y = t.buffer(tensor_elems(s, 13) * 2);
  auto w = t.buffer(13 * 11 * 2), b = t.buffer(13 * 4);
  for (std::size_t i = 0; i < tensor_elems(s, 11); ++i)
    x.map<std::uint16_t*>()[i] = ref_bf16(val(rng));
  for (std::size_t i = 0; i < 13 * 11; ++i) w.map<std::uint16_t*>()[i] = ref_bf16(val(rng));
  for (std::size_t i = 0; i < 13; ++i) b.map<float*>()[i] = val(rng);

  for (bool relu : {false, true}) {
    SCOPED_TRACE(relu);
    std::memset(y.map(), 0xFF, y.size());
    builder p;
    p.conv1x1_bf16(s, operand::argument(4), operand::argument(3), operand::argument(5),
                   operand::argument(6), relu);
    auto instr = t.instruction_bo(p);
    auto r = t.txn_run(instr, {x, y, w, b});
    ASSERT_EQ(finish(r), command_state::completed) << r.error_text();

    const auto* xs = x.map<const std::uint16_t*>();
    const auto* ws = w.map<const std::uint16_t*>();
    const auto* ys = y.map<const std::uint16_t*>();
    for (std::size_t h = 0; h < s.height; ++h)
      for (std::size_t ww = 0; ww < s.width; ++ww)
        for (std::size_t n = 0; n < s.batch; ++n)
          for (std::size_t co = 0; co < 16; ++co) {
            std::uint16_t expect = 0;
            if (co < 13) {
              float acc = b.map<const float*>()[co];
              for (std::size_t ci = 0; ci < 11; ++ci)
                acc += ref_float(xs[hcwnc8(s, 11, h, ci, ww, n)]) * ref_float(ws[co * 11 + ci]);
              if (relu) acc = std::max(acc, 0.0f);
              expect = ref_bf16(acc);
            }
            ASSERT_EQ(ys[hcwnc8(s, 13, h, co, ww, n)], expect) << h << ww << n << co;
          }
  }
}

TEST_F(ProgramTest, Int8PointwiseConvolutionMatchesReference) {
  const qel::program::conv_shape s{1, 4, 1, 9, 5};
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> i8(-128, 127);
  auto x = t.buffer(tensor_elems(s, 9)), y = t.buffer(tensor_elems(s, 5));
  auto w = t.buffer(5 * 9), b = t.buffer(5 * 4);
  for (std::size_t i = 0; i < x.size(); ++i)
    x.map<std::int8_t*>()[i] = static_cast<std::int8_t>(i8(rng));
  for (std::size_t i = 0; i < w.size(); ++i)
    w.map<std::int8_t*>()[i] = static_cast<std::int8_t>(i8(rng));
  for (std::size_t i = 0; i < 5; ++i)
    b.map<std::int32_t*>()[i] = static_cast<std::int32_t>(i8(rng) * 100);

  const std::vector<qel::program::requant> qs = {
      {0, 0, 1, 0}, {3, -5, 1 << 14, 20}, {-7, 10, 12345, 17}};
  for (const auto& q : qs)
    for (bool relu : {false, true}) {
      SCOPED_TRACE(std::to_string(q.shift) + (relu ? " relu" : ""));
      builder p;
      p.conv1x1_int8(s, q, operand::argument(4), operand::argument(3), operand::argument(5),
                     operand::argument(6), relu);
      auto instr = t.instruction_bo(p);
      auto r = t.txn_run(instr, {x, y, w, b});
      ASSERT_EQ(finish(r), command_state::completed) << r.error_text();
      for (std::size_t ww = 0; ww < s.width; ++ww)
        for (std::size_t co = 0; co < 8; ++co) {
          std::int64_t expect = 0;
          if (co < 5) {
            std::int64_t acc = b.map<const std::int32_t*>()[co];
            for (std::size_t ci = 0; ci < 9; ++ci)
              acc += (x.map<const std::int8_t*>()[hcwnc8(s, 9, 0, ci, ww, 0)] - q.in_zero) *
                     w.map<const std::int8_t*>()[co * 9 + ci];
            const std::int64_t prod = acc * q.multiplier;
            const std::int64_t scaled =
                q.shift ? static_cast<std::int64_t>(std::floor((prod + (1ll << (q.shift - 1))) /
                                                               std::ldexp(1.0, q.shift)))
                        : prod;
            expect = std::clamp<std::int64_t>(scaled + q.out_zero,
                                              relu ? std::max(q.out_zero, -128) : -128, 127);
          }
          ASSERT_EQ(y.map<const std::int8_t*>()[hcwnc8(s, 5, 0, co, ww, 0)], expect)
              << ww << " " << co;
        }
    }
}

TEST_F(ProgramTest, ElementWiseAdd) {
  auto a = t.buffer(16), b = t.buffer(16), d = t.buffer(16);
  struct add_case {
    qel::program::element_type type;
    std::vector<std::uint8_t> a, b, expect;
  };
  auto bytes = [](auto... v) {
    std::vector<std::uint8_t> out;
    (([&] {
       const auto at = out.size();
       out.resize(at + sizeof v);
       std::memcpy(out.data() + at, &v, sizeof v);
     }()),
     ...);
    return out;
  };
  // bf16: 1 + 2^-8 is a tie and rounds to even (1.0); 1.5 + 2^-8 rounds up.
  const std::vector<add_case> cases = {
      {qel::program::element_type::bf16, bytes(ref_bf16(1.0f), ref_bf16(1.5f)),
       bytes(ref_bf16(0.00390625f), ref_bf16(0.01171875f)),
       bytes(ref_bf16(1.0f), ref_bf16(1.515625f))},
      {qel::program::element_type::int8, bytes(std::int8_t{100}, std::int8_t{-100}, std::int8_t{5}),
       bytes(std::int8_t{100}, std::int8_t{-100}, std::int8_t{-7}),
       bytes(std::int8_t{127}, std::int8_t{-128}, std::int8_t{-2})},
      {qel::program::element_type::fp32, bytes(1.25f), bytes(-3.5f), bytes(-2.25f)},
  };
  for (const auto& c : cases) {
    a.write(c.a.data(), c.a.size(), 0);
    b.write(c.b.data(), c.b.size(), 0);
    const std::size_t elem = c.type == qel::program::element_type::int8   ? 1
                             : c.type == qel::program::element_type::bf16 ? 2
                                                                          : 4;
    builder p;
    p.add(c.type, operand::argument(5), operand::argument(3), operand::argument(4),
          c.a.size() / elem);
    auto instr = t.instruction_bo(p);
    auto r = t.txn_run(instr, {a, b, d});
    ASSERT_EQ(finish(r), command_state::completed) << r.error_text();
    std::vector<std::uint8_t> got(c.expect.size());
    d.read(got.data(), got.size(), 0);
    EXPECT_EQ(got, c.expect);
  }
}

TEST_F(ProgramTest, ElfKernelsTakeBuffersAsArguments) {
  builder p;
  p.copy(operand::argument(4), operand::argument(3, 2), 8);
  qel::module mod{qel::elf(p.elf())};
  qel::ext::kernel k(t.ctx, mod, "DPU");
  auto src = filled(16, 10), dst = t.buffer(16);
  const std::vector<std::uint8_t> expect = {12, 13, 14, 15, 16, 17, 18, 19};

  // Opcode 3 with zero instruction arguments.
  qel::run r(k);
  r.set_arg_at_index(0, std::uint64_t{3});
  r.set_arg_at_index(1, std::uint32_t{0});
  r.set_arg_at_index(2, std::uint32_t{0});
  r.set_arg_at_index(3, src);
  r.set_arg_at_index(4, dst);
  ASSERT_EQ(finish(r), command_state::completed) << r.error_text();
  EXPECT_EQ(std::vector<std::uint8_t>(dst.map<std::uint8_t*>(), dst.map<std::uint8_t*>() + 8),
            expect);

  // Only data buffers, no opcode.
  std::memset(dst.map(), 0, 16);
  qel::run plain(k);
  plain.set_arg_at_index(0, t.buffer(8));
  plain.set_arg_at_index(3, src);
  plain.set_arg_at_index(4, dst);
  ASSERT_EQ(finish(plain), command_state::completed) << plain.error_text();
  EXPECT_EQ(std::vector<std::uint8_t>(dst.map<std::uint8_t*>(), dst.map<std::uint8_t*>() + 8),
            expect);

  // Bounds of a buffer argument are the buffer's own, sub-buffers included.
  qel::run small(k);
  small.set_arg_at_index(3, qel::bo(src, 9, 0));
  small.set_arg_at_index(4, dst);
  EXPECT_EQ(finish(small), command_state::error);

  r.set_arg_at_index(0, std::uint64_t{2});
  EXPECT_EQ(finish(r), command_state::error);
}

}  // namespace
