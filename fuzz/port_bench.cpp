// Fuzzing tool: the per-input kernel and adapter, the input reader and the
// seeded mutator shared by the port, device-control and RFC 2217 fuzzers.
#include "fuzz/port_bench.h"

#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "sim/sim.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tzfuzz {

PortBench::PortBench(sim::usb::AdapterOptions options, sim::Addresses addresses) {
  sim::boot({.mode = sim::Mode::Deterministic, .seed = 1, .addresses = addresses});
  sim::registry::createKey(std::u16string(sim::kServicesRoot) + u"\\tzserial");
  driver = sim::loadDriver(u"tzserial", DriverEntry);
  if (!driver) {
    broken = "the driver did not load";
    return;
  }
  sim::pnp::PhysicalDeviceOptions modem;
  modem.className = u"Modem";
  auto plugged = sim::usb::plugAdapter(std::move(options), modem);
  pdo = plugged.pdo;
  adapter = plugged.adapter;
  sim::registry::setString(sim::pnp::deviceParametersKey(pdo), u"PortName", kBenchPortName);
  if (NTSTATUS added = sim::pnp::addDevice(driver, pdo); added != STATUS_SUCCESS) {
    broken = "AddDevice failed with " + statusText(added);
    return;
  }
  context = TzSerialGetDeviceContext(pdo->AttachedDevice);
  if (NTSTATUS started = sim::pnp::startDevice(pdo); started != STATUS_SUCCESS)
    broken = "the start failed with " + statusText(started);
}

PortBench::~PortBench() {
  // A bench left unfinished (a verifier stop on the way) is dropped with the
  // kernel at the next boot.
  if (!finished_) sim::shutdown();
}

std::string PortBench::finish() {
  finished_ = true;
  std::string result;
  if (pdo && pdo->AttachedDevice) {
    if (NTSTATUS removed = sim::pnp::removeDevice(pdo); removed != STATUS_SUCCESS)
      result = "the query-remove of a closed port failed with " + statusText(removed);
    if (pdo->AttachedDevice) sim::pnp::send(pdo, IRP_MN_REMOVE_DEVICE).wait();
  }
  if (pdo && sim::pnp::isPlugged(pdo)) sim::pnp::deletePhysicalDevice(pdo);
  context = nullptr;
  if (driver) sim::unloadDriver(driver);  // checks that the kernel is quiescent
  driver = nullptr;
  sim::shutdown();
  return result;
}

std::span<const uint8_t> InputReader::take(size_t n) {
  size_t at = std::min(at_, data_.size());
  n = std::min(n, data_.size() - at);
  at_ = at + n;
  return data_.subspan(at, n);
}

void mutateBytes(std::vector<uint8_t>& input, const std::vector<std::vector<uint8_t>>& seeds,
                 std::mt19937_64& random, size_t maxBytes) {
  static constexpr uint8_t kBoundary[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 0x3F, 0x40, 0x41, 0x7F, 0x80, 0xFE, 0xFF};
  auto pick = [&](size_t n) { return n ? size_t(random() % n) : 0; };
  switch (pick(7)) {
    case 0:
      if (!input.empty()) input[pick(input.size())] ^= uint8_t(1u << pick(8));
      break;
    case 1:
      if (!input.empty()) input[pick(input.size())] = kBoundary[pick(std::size(kBoundary))];
      break;
    case 2: {  // random bytes inserted
      size_t at = pick(input.size() + 1), n = 1 + pick(8);
      for (size_t i = 0; i < n; ++i) input.insert(input.begin() + ptrdiff_t(at), uint8_t(random()));
      break;
    }
    case 3:  // a run erased
      if (!input.empty()) {
        size_t at = pick(input.size()), n = 1 + pick(std::min<size_t>(16, input.size() - at));
        input.erase(input.begin() + ptrdiff_t(at), input.begin() + ptrdiff_t(at + n));
      }
      break;
    case 4:  // a run repeated right after itself
      if (!input.empty()) {
        size_t at = pick(input.size()), n = 1 + pick(std::min<size_t>(32, input.size() - at));
        std::vector<uint8_t> run(input.begin() + ptrdiff_t(at), input.begin() + ptrdiff_t(at + n));
        input.insert(input.begin() + ptrdiff_t(at + n), run.begin(), run.end());
      }
      break;
    case 5:  // a piece of another seed spliced in
      if (!seeds.empty()) {
        const std::vector<uint8_t>& other = seeds[pick(seeds.size())];
        if (!other.empty()) {
          size_t from = pick(other.size()), n = 1 + pick(other.size() - from);
          size_t at = pick(input.size() + 1);
          input.insert(input.begin() + ptrdiff_t(at), other.begin() + ptrdiff_t(from),
                       other.begin() + ptrdiff_t(from + n));
        }
      }
      break;
    default:  // the tail cut
      input.resize(pick(input.size() + 1));
      break;
  }
  if (input.size() > maxBytes) input.resize(maxBytes);
}

std::string seededRun(const std::vector<std::vector<uint8_t>>& seeds, uint64_t seed, size_t count,
                      size_t maxBytes, const std::function<std::string(std::span<const uint8_t>)>& run) {
  if (seeds.empty()) return "no seed inputs";
  std::mt19937_64 random(seed);
  for (size_t i = 0; i < count; ++i) {
    std::vector<uint8_t> input = seeds[i % seeds.size()];
    if (i >= seeds.size())
      for (size_t n = 1 + random() % 8; n > 0; --n) mutateBytes(input, seeds, random, maxBytes);
    std::string broken;
    try {
      broken = run(input);
    } catch (const sim::VerifierStop& stop) {
      broken = std::string("verifier stop: ") + stop.what();
    }
    if (!broken.empty())
      return broken + "\nseed " + std::to_string(seed) + ", iteration " + std::to_string(i) + ", input: " +
             hexBytes(input);
  }
  return {};
}

std::string hexBytes(std::span<const uint8_t> bytes) {
  std::string text;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, "%02X ", b);
    text += byte;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

std::string statusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

std::vector<std::vector<uint8_t>> readCorpus(const std::string& directory) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::vector<uint8_t>> inputs;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return inputs;
}

}  // namespace tzfuzz
