// Vendor requests on endpoint 0: payload encoding and decoding, size checks, verified writes.
#include "control.h"

#include <algorithm>

#include "le.h"
#include "usb_transport.h"
#include "utf8.h"

namespace vorel {

namespace {

// Offsets inside the payloads.
constexpr size_t INFO_HW = 0, INFO_FW = 4, INFO_CHANNELS = 16;
constexpr size_t BT_CONST_LIMITS = 16;  // 16 leading bytes carry nothing the host uses
constexpr size_t STATUS_STATE = 0, STATUS_RX = 4, STATUS_TX = 8;

DeviceError short_answer(const char* what) {
  return DeviceError::with_text(ErrorKind::Communication, what);
}

DeviceError hardware(std::string text) {
  return DeviceError::with_text(ErrorKind::Hardware, std::move(text));
}

bool name_char_ok(char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
         ch == '_' || ch == '-';
}

}  // namespace

Result<DeviceInfo> decode_device_info(std::span<const uint8_t> a) {
  if (a.size() < DEVICE_INFO_SIZE) return short_answer("Invalid device info response");
  DeviceInfo info;
  std::copy_n(a.begin() + INFO_HW, 4, info.hw_version.begin());
  std::copy_n(a.begin() + INFO_FW, 4, info.fw_version.begin());
  info.channel_count = a[INFO_CHANNELS];
  return info;
}

Result<DeviceCapabilities> decode_capabilities(std::span<const uint8_t> a) {
  if (a.size() < CAPABILITIES_SIZE) return short_answer("Invalid capabilities response");
  return DeviceCapabilities{le::load_u32(a, 0), le::load_u32(a, 4), le::load_u32(a, 8),
                            le::load_u32(a, 12), le::load_u32(a, 16)};
}

Result<BitTimingConst> decode_bt_const(std::span<const uint8_t> a) {
  if (a.size() < BT_CONST_SIZE) return short_answer("Invalid bt_const response");
  auto f = [&](size_t i) { return le::load_u32(a, BT_CONST_LIMITS + 4 * i); };
  return BitTimingConst{f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7)};
}

Result<BitTiming> decode_bittiming(std::span<const uint8_t> a) {
  if (a.size() < BIT_TIMING_SIZE) return short_answer("Invalid bittiming response");
  auto f = [&](size_t i) { return le::load_u32(a, 4 * i); };
  return BitTiming{f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7)};
}

Result<BusStatus> decode_bus_status(std::span<const uint8_t> a) {
  if (a.size() < BUS_STATUS_SIZE) return short_answer("Invalid bus state response");
  return BusStatus{le::load_u32(a, STATUS_STATE), le::load_u32(a, STATUS_RX),
                   le::load_u32(a, STATUS_TX)};
}

uint32_t decode_word(std::span<const uint8_t> a) noexcept { return le::load_u32_partial(a); }

std::string decode_name(std::span<const uint8_t> a) {
  size_t end = 0;
  while (end < a.size() && a[end] != 0) ++end;
  return utf8::lossy(a.first(end));
}

std::array<uint8_t, BIT_TIMING_SIZE> encode_bittiming(const BitTiming& t) noexcept {
  std::array<uint8_t, BIT_TIMING_SIZE> b{};
  const uint32_t fields[8] = {t.bitrate, t.sample_point, t.tq,  t.prop_seg,
                              t.phase_seg1, t.phase_seg2, t.sjw, t.brp};
  for (size_t i = 0; i < 8; ++i) le::store_u32(b, 4 * i, fields[i]);
  return b;
}

std::array<uint8_t, WORD_SIZE> encode_word(uint32_t v) noexcept {
  std::array<uint8_t, WORD_SIZE> b{};
  le::store_u32(b, 0, v);
  return b;
}

Result<std::array<uint8_t, NAME_FIELD_SIZE>> encode_name(std::string_view name) {
  // Bytes are counted before characters are looked at: eight two-byte letters are too long.
  if (name.size() > MAX_DEVICE_NAME_LEN) {
    return DeviceError::with_text(
        ErrorKind::InvalidParameter,
        "Device name too long (max " + std::to_string(MAX_DEVICE_NAME_LEN) + " chars)");
  }
  for (char ch : name) {
    if (!name_char_ok(ch)) {
      return DeviceError::with_text(
          ErrorKind::InvalidParameter,
          "Device name can only contain alphanumeric characters, underscore, and hyphen");
    }
  }
  std::array<uint8_t, NAME_FIELD_SIZE> field{};
  std::copy(name.begin(), name.end(), field.begin());
  return field;
}

std::string version_text(const std::array<uint8_t, 4>& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

Result<DeviceInfo> get_device_info(const UsbTransport& t) {
  auto a = t.control_in(req::DEVICE_INFO, DEVICE_INFO_SIZE);
  if (!a) return std::move(a).error();
  return decode_device_info(a.value());
}

Result<DeviceCapabilities> get_capabilities(const UsbTransport& t) {
  auto a = t.control_in(req::CAPABILITIES, CAPABILITIES_SIZE);
  if (!a) return std::move(a).error();
  return decode_capabilities(a.value());
}

Result<BitTimingConst> get_bt_const(const UsbTransport& t) {
  auto a = t.control_in(req::BT_CONST, BT_CONST_SIZE);
  if (!a) return std::move(a).error();
  return decode_bt_const(a.value());
}

Result<TimingLimits> read_timing_limits(const UsbTransport& t) {
  auto caps = get_capabilities(t);
  if (!caps) return std::move(caps).error();
  auto limits = get_bt_const(t);
  if (!limits) return std::move(limits).error();
  return TimingLimits{caps->clock_freq, caps->ctrlmode_supported, limits.value()};
}

Status set_bittiming(const UsbTransport& t, const BitTiming& timing) {
  if (auto w = t.control_out(req::BITTIMING, encode_bittiming(timing)); !w) return w;
  auto a = t.control_in(req::BITTIMING, BIT_TIMING_SIZE);
  if (!a) return std::move(a).error();
  auto back = decode_bittiming(a.value());
  if (!back) return std::move(back).error();
  // Only the bit rate is compared; firmware may round the other fields its own way.
  if (back->bitrate != timing.bitrate) {
    return hardware("Bittiming verification failed: Requested bitrate " +
                    std::to_string(timing.bitrate) + ", Actual " + std::to_string(back->bitrate));
  }
  return ok_status();
}

Status set_bus_state(const UsbTransport& t, bool on) {
  if (auto w = t.control_out(req::BUS_STATE, encode_word(on ? 1 : 0)); !w) return w;
  auto st = get_bus_state(t);
  if (!st) return std::move(st).error();
  bool stopped = st->state == static_cast<uint32_t>(BusState::Stopped) ||
                 st->state == static_cast<uint32_t>(BusState::Sleeping);
  if (on && stopped) {
    return hardware("Bus state verification failed: Requested ON, Actual State " +
                    std::to_string(st->state));
  }
  if (!on && !stopped) {
    return hardware("Bus state verification failed: Requested OFF, Actual State " +
                    std::to_string(st->state));
  }
  return ok_status();
}

Result<BusStatus> get_bus_state(const UsbTransport& t) {
  auto a = t.control_in(req::BUS_STATE, BUS_STATUS_SIZE);
  if (!a) return std::move(a).error();
  return decode_bus_status(a.value());
}

Status set_mode(const UsbTransport& t, uint32_t ctrlmode) {
  return t.control_out(req::MODE, encode_word(ctrlmode));
}

Status set_led_mode(const UsbTransport& t, uint32_t mode) {
  if (auto w = t.control_out(req::LED_MODE, encode_word(mode)); !w) return w;
  auto back = get_led_mode(t);
  if (!back) return std::move(back).error();
  if (back.value() != mode) {
    return hardware("LED mode verification failed: Requested " + std::to_string(mode) +
                    ", Actual " + std::to_string(back.value()));
  }
  return ok_status();
}

Result<uint32_t> get_led_mode(const UsbTransport& t) {
  auto a = t.control_in(req::LED_MODE, WORD_SIZE);
  if (!a) return std::move(a).error();
  return decode_word(a.value());
}

Result<std::string> get_device_name(const UsbTransport& t) {
  auto a = t.control_in(req::DEVICE_NAME, NAME_FIELD_SIZE);
  if (!a) return std::move(a).error();
  return decode_name(a.value());
}

Status set_device_name(const UsbTransport& t, std::string_view name) {
  auto field = encode_name(name);
  if (!field) return std::move(field).error();
  return t.control_out(req::DEVICE_NAME, field.value());
}

Status flush_tx_queue(const UsbTransport& t) {
  return t.control_out(req::FLUSH_TX, std::span<const uint8_t>());
}

}  // namespace vorel
