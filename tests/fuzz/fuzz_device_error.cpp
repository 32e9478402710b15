// Fuzz target: both renderings of DeviceError over arbitrary texts and lists of serials.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "device_error.h"
#include "utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Texts are UTF-8 (the core builds them from valid UTF-8); split the rest at 0xFF into pieces.
  std::vector<std::string> pieces(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF) {
      pieces.emplace_back();
    } else {
      pieces.back() += static_cast<char>(data[i]);
    }
  }
  for (auto& p : pieces) p = vorel::utf8::lossy(std::span(reinterpret_cast<const uint8_t*>(p.data()), p.size()));
  const auto kind = static_cast<vorel::ErrorKind>(data[0] % 15);
  vorel::DeviceError e = kind == vorel::ErrorKind::MultipleDevicesFound ? vorel::DeviceError::multiple_devices(pieces)
                         : vorel::carries_text(kind) ? vorel::DeviceError::with_text(kind, pieces[0])
                                                    : vorel::DeviceError::plain(kind);
  const std::string display = e.display(), debug = e.debug();
  if (!vorel::utf8::valid(display) || !vorel::utf8::valid(debug)) std::abort();
  if (debug.rfind(std::string(vorel::variant_name(kind)), 0) != 0) std::abort();
  // The debug form escapes every control character.
  for (char ch : debug)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) std::abort();
  if (vorel::carries_text(kind) && (debug.size() < 4 || debug.substr(debug.size() - 2) != "\")")) std::abort();
  return 0;
}
