// Fuzzing tool (shared by the libFuzzer target and the seeded run in the test
// suite): mutations of configuration descriptor sets, and one trip of such a
// set through the driver's start path on the simulated kernel.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tzfuzz {

// The well-formed descriptor sets mutations start from: every layout the
// adapter model offers, with full-speed and high-speed packet sizes.
std::vector<std::vector<uint8_t>> seedDescriptorSets();

// Applies one to four mutations, all drawn from random: bit flips, bytes set
// to boundary values, truncation, changed bLength, wTotalLength,
// bNumInterfaces or bNumEndpoints, and descriptors inserted, duplicated or
// removed. Most structural mutations keep wTotalLength equal to the data so
// that the set gets past the first checks and reaches the deeper ones.
void mutateDescriptorSet(std::vector<uint8_t>& set, std::mt19937_64& random);

// How one start went. broken names the first check that failed; empty when
// every check held.
struct StartRun {
  NTSTATUS status = STATUS_PENDING;
  UCHAR pipeLayout = 0;
  std::string broken;
};

// Plugs an adapter that presents set as its configuration descriptor, runs
// AddDevice, the start path, the tear-down and the removal, and checks on the
// way: AddDevice succeeds; a start ends in success or in a refusal the start
// path documents; a started port has a usable pipe layout whose pipes exist;
// the tear-down leaves no link and no device-map value; after removal the
// pool holds exactly what it held before. The kernel must be booted and the
// driver loaded. A verifier stop propagates to the caller.
StartRun runStartPath(PDRIVER_OBJECT driver, const std::vector<uint8_t>& set);

// The set as hex bytes, for failure messages that let a run be replayed.
std::string hex(const std::vector<uint8_t>& set);

}  // namespace tzfuzz
