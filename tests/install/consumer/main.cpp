#include <korvanrt/client.hpp>

#include <iostream>

int main() {
  korvanrt::client::Options options;
  options.modelPath = "model";
  options.options["rounding_mode"] = std::string("truncate");
  std::cout << korvanrt::client::toString(korvanrt::stringToDataType("float")) << " "
            << options.apiVersionMajor << "." << options.apiVersionMinor << "\n";
  try {
    throw korvanrt::client::BadArgsException(1);
  } catch (const korvanrt::client::Exception& e) {
    std::cout << e.what() << "\n";
  }
  return 0;
}
