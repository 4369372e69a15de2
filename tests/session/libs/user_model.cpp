// A user model library for a model with one [1, 8, 2, 2] input and one
// output of the same shape. Its run function checks the argument list and
// has the runtime run cluster 0 through korvan_rt_executeRunnerNew.

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <vector>

#define KORVAN_CAT2(a, b) a##b
#define KORVAN_CAT(a, b) KORVAN_CAT2(a, b)
#define MODEL_SYMBOL(suffix) KORVAN_CAT(MODEL_PREFIX, suffix)

namespace {

constexpr uint64_t kArgs[] = {1, 0, 4, 1, 8, 2, 2, 1, 0, 4, 1, 8, 2, 2};

uint64_t word(const uint8_t* list, size_t i) {
  uint64_t v = 0;
  std::memcpy(&v, list + 8 * i, 8);
  return v;
}

}  // namespace

extern "C" {

void MODEL_SYMBOL(_modelId)() {}

uint64_t MODEL_SYMBOL(_args_size)() {
  return sizeof(kArgs);
}

void MODEL_SYMBOL(_get_args)(uint8_t* out) {
  std::memcpy(out, kArgs, sizeof(kArgs));
}

uint64_t MODEL_SYMBOL(_cluster_0_args_size)() {
  return sizeof(kArgs);
}

int32_t MODEL_SYMBOL(_run)(uint64_t model, const uint8_t* args) {
  if (word(args, 0) != 1) return 3;
  if (word(args, 2) != 4) return 1;
  for (size_t d = 0; d < 4; ++d)
    if (word(args, 3 + d) != kArgs[3 + d]) return 1;
  using ExecuteNew = void (*)(uint64_t, uint32_t, const uint8_t*);
  void* runtime = ::dlopen("libkorvanrt.so", RTLD_NOW | RTLD_NOLOAD);
  if (runtime == nullptr) return 2;
  auto fn = reinterpret_cast<ExecuteNew>(::dlsym(runtime, "korvan_rt_executeRunnerNew"));
  if (fn == nullptr) return 2;
  fn(model, 0, args);
  return 0;
}
}
