// The adapter's wire protocol, declared once for the core and the simulated firmware.
//
// Request codes, payload and record layouts, flags and identifier bits, controller modes and the
// error frames the firmware reports (SocketCAN's layout). Nothing here knows how it is used.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorel {

// USB identity and layout of the adapter.
inline constexpr uint16_t VENDOR_ID = 0x16C0;
inline constexpr uint16_t PRODUCT_ID = 0x27D8;
inline constexpr uint8_t INTERFACE_NUMBER = 0;
inline constexpr uint8_t ENDPOINT_OUT = 0x02;
inline constexpr uint8_t ENDPOINT_IN = 0x81;
inline constexpr uint8_t REQUEST_TYPE_IN = 0xC1;   // device to host, vendor, recipient interface
inline constexpr uint8_t REQUEST_TYPE_OUT = 0x41;  // host to device, vendor, recipient interface

// Vendor request codes.
namespace req {
inline constexpr uint8_t DEVICE_INFO = 0;
inline constexpr uint8_t CAPABILITIES = 1;
inline constexpr uint8_t BT_CONST = 2;
inline constexpr uint8_t BITTIMING = 20;
inline constexpr uint8_t BUS_STATE = 21;
inline constexpr uint8_t MODE = 22;
inline constexpr uint8_t LED_MODE = 24;
inline constexpr uint8_t DEVICE_NAME = 25;
inline constexpr uint8_t FLUSH_TX = 63;
}  // namespace req

// Payload sizes on the wire.
inline constexpr size_t DEVICE_INFO_SIZE = 24;
inline constexpr size_t CAPABILITIES_SIZE = 24;
inline constexpr size_t BT_CONST_SIZE = 48;
inline constexpr size_t BIT_TIMING_SIZE = 32;
inline constexpr size_t BUS_STATUS_SIZE = 20;
inline constexpr size_t WORD_SIZE = 4;
inline constexpr size_t NAME_FIELD_SIZE = 16;
inline constexpr size_t MAX_DEVICE_NAME_LEN = 15;
static_assert(MAX_DEVICE_NAME_LEN < NAME_FIELD_SIZE, "a written name keeps one zero byte");

// Controller mode bits (the Linux CAN_CTRLMODE_* assignment).
inline constexpr uint32_t CTRLMODE_LOOPBACK = 0x01;
inline constexpr uint32_t CTRLMODE_LISTEN_ONLY = 0x02;
inline constexpr uint32_t CTRLMODE_TRIPLE_SAMPLING = 0x04;
inline constexpr uint32_t CTRLMODE_ONE_SHOT = 0x08;
inline constexpr uint32_t CTRLMODE_BERR_REPORTING = 0x10;
inline constexpr uint32_t CTRLMODE_FD = 0x20;

// Flags byte, both records.
inline constexpr uint8_t FLAG_RTR = 0x02;
inline constexpr uint8_t FLAG_EXT = 0x04;
inline constexpr uint8_t FLAG_ERR = 0x08;

// Identifier word bits, the Linux SocketCAN can_id assignment.
inline constexpr uint32_t ID_EXT = 0x80000000;
inline constexpr uint32_t ID_RTR = 0x40000000;
inline constexpr uint32_t ID_ERR = 0x20000000;
inline constexpr uint32_t STD_MASK = 0x7FF;
inline constexpr uint32_t EXT_MASK = 0x1FFFFFFF;

inline constexpr size_t MAX_DATA = 8;

// TxFrame layout: 0 zero, 1 dlc, 2 flags, 3 one, 4..7 identifier word, 8..15 data.
namespace tx {
inline constexpr size_t SIZE = 16;
inline constexpr size_t DLC = 1, FLAGS = 2, MARKER = 3, ID = 4, DATA = 8;
}  // namespace tx
static_assert(tx::DATA + MAX_DATA == tx::SIZE);

// RxFrame layout: 1 dlc, 2 flags, 4..7 identifier word, 8..15 data, 16..23 timestamp (us).
namespace rx {
inline constexpr size_t SIZE = 24;
inline constexpr size_t DLC = 1, FLAGS = 2, ID = 4, DATA = 8, TIMESTAMP = 16;
}  // namespace rx
static_assert(rx::TIMESTAMP + 8 == rx::SIZE);

// Error frames as the firmware reports bus errors (with CTRLMODE_BERR_REPORTING): ID_ERR and
// these classes in the identifier word, the details and both error counters in the data.
inline constexpr uint32_t CAN_ERR_CRTL = 0x04;
inline constexpr uint32_t CAN_ERR_PROT = 0x08;
inline constexpr uint32_t CAN_ERR_ACK = 0x20;
inline constexpr uint32_t CAN_ERR_BUSERROR = 0x80;
inline constexpr uint32_t CAN_ERR_CNT = 0x200;
// The classes of the error frames the host makes up (device.h), in the same layout.
inline constexpr uint32_t CAN_ERR_BUSOFF = 0x40;
inline constexpr uint32_t CAN_ERR_RESTARTED = 0x100;
inline constexpr uint8_t CAN_ERR_DLC = 8;
namespace err_data {
inline constexpr size_t CRTL = 1, PROT_TYPE = 2, PROT_LOCATION = 3, TX_COUNT = 6, RX_COUNT = 7;
}  // namespace err_data
inline constexpr uint8_t CAN_ERR_CRTL_RX_OVERFLOW = 0x01;
inline constexpr uint8_t CAN_ERR_CRTL_RX_WARNING = 0x04;
inline constexpr uint8_t CAN_ERR_CRTL_TX_WARNING = 0x08;
inline constexpr uint8_t CAN_ERR_CRTL_RX_PASSIVE = 0x10;
inline constexpr uint8_t CAN_ERR_CRTL_TX_PASSIVE = 0x20;
inline constexpr uint8_t CAN_ERR_PROT_FORM = 0x02;
inline constexpr uint8_t CAN_ERR_PROT_STUFF = 0x04;
inline constexpr uint8_t CAN_ERR_PROT_TX = 0x80;
inline constexpr uint8_t CAN_ERR_PROT_LOC_UNSPEC = 0x00;
inline constexpr uint8_t CAN_ERR_PROT_LOC_ACK = 0x19;

}  // namespace vorel
