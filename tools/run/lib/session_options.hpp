#pragma once

// Named runtime options given on the command line as KEY=VALUE, converted to
// the value type the runtime reads for that key.

#include <any>
#include <map>
#include <string>
#include <vector>

namespace korvan::run {

// Converts VALUE for KEY: known keys get their own type (string, bool,
// signed 32-bit, unsigned 32/64-bit); an unknown key gets bool for
// true/false, signed 32-bit for an integer and string otherwise. Throws
// std::invalid_argument naming the key for a value of the wrong form.
std::any optionValue(const std::string& key, const std::string& value);

// Parses "KEY=VALUE" texts into a map (a later KEY replaces an earlier one).
std::map<std::string, std::any> parseOptions(const std::vector<std::string>& texts);

// The map's entries as text (for reports and the summary).
std::map<std::string, std::string> optionsAsText(const std::map<std::string, std::any>& options);

// Keys whose type the tool knows.
std::vector<std::string> knownOptionKeys();

}  // namespace korvan::run
