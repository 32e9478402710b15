"""The adapter's numbers the plug-in reads and writes: controller modes, bus states, libusb codes."""

# Controller mode bits of the adapter (the Linux CAN_CTRLMODE_* assignment).
MODE_LOOPBACK = 0x01
MODE_LISTEN_ONLY = 0x02
MODE_TRIPLE_SAMPLING = 0x04
MODE_ONE_SHOT = 0x08
MODE_BERR_REPORTING = 0x10
MODE_FD = 0x20

# The adapter's bus state numbers.
STATE_ERROR_ACTIVE = 0
STATE_ERROR_WARNING = 1
STATE_ERROR_PASSIVE = 2
STATE_BUS_OFF = 3
STATE_STOPPED = 4

# libusb's codes, as the module's errors carry them in libusb_code.
LIBUSB_ERROR_ACCESS = -3
LIBUSB_ERROR_NO_DEVICE = -4
LIBUSB_ERROR_BUSY = -6
LIBUSB_ERROR_TIMEOUT = -7
