#pragma once

// Symbols callers may bind to. Everything else in libkorvanrt.so is hidden.
#define KORVANRT_API __attribute__((visibility("default")))
