// Vendor control requests: request codes, payload layouts, size checks, read-back verification.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bit_timing.h"
#include "protocol.h"
#include "result.h"

namespace vorel {

class UsbTransport;


struct DeviceInfo {
  std::array<uint8_t, 4> hw_version{};
  std::array<uint8_t, 4> fw_version{};
  uint8_t channel_count = 0;
};

struct DeviceCapabilities {
  uint32_t clock_freq = 0;
  uint32_t tx_data_buffer_size = 0;
  uint32_t rx_data_buffer_size = 0;
  uint32_t ctrlmode_supported = 0;
  uint32_t features_supported = 0;
};

// Bus state numbering of the adapter; BusStatus keeps the raw number, so values beyond these pass
// through unchanged.
enum class BusState : uint32_t {
  ErrorActive = 0,
  ErrorWarning = 1,
  ErrorPassive = 2,
  BusOff = 3,
  Stopped = 4,
  Sleeping = 5,
};

struct BusStatus {
  uint32_t state = 0;
  uint32_t rx_error_count = 0;
  uint32_t tx_error_count = 0;
};

// --- payload codecs (pure) ------------------------------------------------------------------
Result<DeviceInfo> decode_device_info(std::span<const uint8_t> answer);
Result<DeviceCapabilities> decode_capabilities(std::span<const uint8_t> answer);
Result<BitTimingConst> decode_bt_const(std::span<const uint8_t> answer);
Result<BitTiming> decode_bittiming(std::span<const uint8_t> answer);
Result<BusStatus> decode_bus_status(std::span<const uint8_t> answer);
uint32_t decode_word(std::span<const uint8_t> answer) noexcept;  // missing bytes count as zero
std::string decode_name(std::span<const uint8_t> answer);          // ill-formed UTF-8 -> U+FFFD
std::array<uint8_t, BIT_TIMING_SIZE> encode_bittiming(const BitTiming& t) noexcept;
std::array<uint8_t, WORD_SIZE> encode_word(uint32_t v) noexcept;
// The 16-byte name field, or InvalidParameter for a name the adapter can't store.
Result<std::array<uint8_t, NAME_FIELD_SIZE>> encode_name(std::string_view name);
// "1.2.3.4": the four bytes in decimal, joined by dots.
std::string version_text(const std::array<uint8_t, 4>& v);

// --- operations -------------------------------------------------------------------------------
Result<DeviceInfo> get_device_info(const UsbTransport& t);
Result<DeviceCapabilities> get_capabilities(const UsbTransport& t);
Result<BitTimingConst> get_bt_const(const UsbTransport& t);
// The adapter's clock, supported modes and bit-timing limits, read anew (two requests).
struct TimingLimits {
  uint32_t clock_freq;
  uint32_t ctrlmode_supported;
  BitTimingConst limits;
};
Result<TimingLimits> read_timing_limits(const UsbTransport& t);
Status set_bittiming(const UsbTransport& t, const BitTiming& timing);
Status set_bus_state(const UsbTransport& t, bool on);
Result<BusStatus> get_bus_state(const UsbTransport& t);
Status set_mode(const UsbTransport& t, uint32_t ctrlmode);
Status set_led_mode(const UsbTransport& t, uint32_t mode);
Result<uint32_t> get_led_mode(const UsbTransport& t);
Result<std::string> get_device_name(const UsbTransport& t);
Status set_device_name(const UsbTransport& t, std::string_view name);
Status flush_tx_queue(const UsbTransport& t);

}  // namespace vorel
