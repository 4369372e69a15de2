// The layer-wise debug hook entered when a run fails or times out while
// ENABLE_ML_DEBUG is positive: 1 waits for Enter, 2 serves the dump tool
// until Enter, 3 serves it until it ends the session.

#include <cstdio>
#include <iostream>
#include <memory>

#include "txn/debug_client.hpp"
#include "txn/pellix_qel.hpp"

namespace korvanrt {

void pellix_qel::wait_ml_debug(int32_t level) {
  std::unique_ptr<KorvanDebugClient> client;
  if (level == 2 || level == 3)
    client = std::make_unique<KorvanDebugClient>(context_->get_spill_bo(), debug_port_);
  std::cout << "Will wait for user input." << std::endl;
  if (level == 1 || level == 2) std::getchar();
  if (level == 3) {
    std::cout << "Waiting for debug server to complete..." << std::endl;
    client->WaitForCompletion();
    std::cout << "Debug server completed." << std::endl;
  }
}

}  // namespace korvanrt
