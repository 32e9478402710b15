// Fuzz target: decoding every control payload from answers of any length.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "control.h"
#include "utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::span<const uint8_t> answer(data + 1, size - 1);
  const size_t len = answer.size();
  switch (data[0] % 7) {
    case 0: if (vorel::decode_device_info(answer).ok() != (len >= 24)) std::abort(); break;
    case 1: if (vorel::decode_capabilities(answer).ok() != (len >= 24)) std::abort(); break;
    case 2: if (vorel::decode_bt_const(answer).ok() != (len >= 48)) std::abort(); break;
    case 3: if (vorel::decode_bittiming(answer).ok() != (len >= 32)) std::abort(); break;
    case 4: if (vorel::decode_bus_status(answer).ok() != (len >= 20)) std::abort(); break;
    case 5: (void)vorel::decode_word(answer); break;
    case 6: {
      // A name reads as valid UTF-8 whatever the bytes, and never past the first zero byte.
      std::string name = vorel::decode_name(answer);
      if (!vorel::utf8::valid(name) || name.find('\0') != std::string::npos) std::abort();
      break;
    }
  }
  return 0;
}
