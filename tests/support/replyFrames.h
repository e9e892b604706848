// Controller replies for tests, fuzz targets and benchmarks, built by the controller
// simulator's frame code: written apart from the daemon's, so a reply built here checks the
// daemon's frame code rather than repeating it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "simFrame.h"
#include "testSupport.h"

namespace testsupport {

using borlsim::Block;  // the controller's 60-byte data block, reply bytes 9..68

// A data block with `bytes` (index, value) set and every other byte zero.
Block block(std::initializer_list<std::pair<int, uint8_t>> bytes);
// A reply as the controller sends it: "AOI", `status`, the data block, "OAI", checksum, 0xA5.
Bytes reply(const Block& data = Block{}, uint8_t status = borlsim::kStatusOk);
// The checksum a frame's byte 126 must hold for its bytes 0..125.
uint8_t frameChecksum(const uint8_t* frame);
// Puts the right checksum into byte 126 again after a test changed other bytes.
void resum(uint8_t* frame);

}  // namespace testsupport
