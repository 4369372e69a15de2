#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include "korvanrt/options.hpp"

namespace korvanrt::client {

// File name of the shared object whose code contains `address`. Throws
// KorvanRTException "ERROR: korvanrt is not found" when the loader cannot name
// a symbol there.
std::string sharedObjectFileOf(const void* address);

// File name of the shared object that holds this runtime.
std::string runtimeLibraryFile();

// Prints the warning about a caller record whose size differs from ours.
void warnOptionsSizeMismatch(std::ostream& out, size_t callerSize, const std::string& libraryFile,
                             const Options& own);

// Checks the caller's options record against our layout and copies it into
// `own`. A record of another size gets a warning on standard output. Of a
// smaller record only the fields lying completely inside `callerSize` bytes
// are read; the others keep their defaults. A null record is an error.
void copyOptionsRecord(Options& own, const void* callerRecord, size_t callerSize);

}  // namespace korvanrt::client
