// Enumeration, opening, transfers and closing of adapters over libusb's synchronous API.
#include "usb_transport.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "control.h"
#include "utf8.h"

namespace vorel {

namespace {

// The two texts of a failed device list differ between opening and listing.
enum class ScanKind { Open, List };

// The list of devices of one scan; freeing it drops the references it holds.
class DeviceList {
 public:
  DeviceList() = default;
  ~DeviceList() {
    if (list_) libusb_free_device_list(list_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  libusb_device*** out() noexcept { return &list_; }
  std::span<libusb_device*> devices(ssize_t n) const noexcept {
    return {list_, static_cast<size_t>(n)};
  }

 private:
  libusb_device** list_ = nullptr;
};

// A reference to one device for the length of a visit.
class DeviceRef {
 public:
  explicit DeviceRef(libusb_device* dev) noexcept : dev_(libusb_ref_device(dev)) {}
  ~DeviceRef() {
    if (dev_) libusb_unref_device(dev_);
  }
  DeviceRef(DeviceRef&& o) noexcept : dev_(std::exchange(o.dev_, nullptr)) {}
  DeviceRef& operator=(DeviceRef&&) = delete;
  libusb_device* get() const noexcept { return dev_; }

 private:
  libusb_device* dev_;
};

// A device opened during a scan, closed again (claims released first) unless taken over.
class OpenedDevice {
 public:
  explicit OpenedDevice(libusb_device_handle* h) noexcept : handle_(h) {}
  ~OpenedDevice() {
    if (!handle_) return;
    if (claimed_) libusb_release_interface(handle_, INTERFACE_NUMBER);
    libusb_close(handle_);
  }
  OpenedDevice(const OpenedDevice&) = delete;
  OpenedDevice& operator=(const OpenedDevice&) = delete;
  libusb_device_handle* get() const noexcept { return handle_; }
  int claim() noexcept {
    int r = libusb_claim_interface(handle_, INTERFACE_NUMBER);
    claimed_ = r == 0;
    return r;
  }
  // Hands the handle (and its claim) to a new owner.
  libusb_device_handle* release() noexcept { return std::exchange(handle_, nullptr); }

 private:
  libusb_device_handle* handle_;
  bool claimed_ = false;
};

struct Candidate {
  DeviceRef dev;
  uint8_t serial_index;
};

// The devices with the adapter's vendor and product id, in the order libusb lists them.
struct Scan {
  std::shared_ptr<UsbContext> context;
  DeviceList list;
  std::vector<Candidate> candidates;
};

Result<std::unique_ptr<Scan>> scan_bus(ScanKind kind) {
  auto context = UsbContext::create();
  if (!context) return std::move(context).error();
  auto scan = std::make_unique<Scan>();
  scan->context = std::move(context).value();
  ssize_t n = libusb_get_device_list(scan->context->get(), scan->list.out());
  if (n < 0) {
    return DeviceError::usb_call(
        kind == ScanKind::List ? "Failed to enumerate USB devices" : "Failed to enumerate devices",
        static_cast<int>(n));
  }
  for (libusb_device* d : scan->list.devices(n)) {
    DeviceRef ref(d);
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(ref.get(), &desc) != 0) continue;
    if (desc.idVendor != VENDOR_ID || desc.idProduct != PRODUCT_ID) continue;
    scan->candidates.push_back(Candidate{std::move(ref), desc.iSerialNumber});
  }
  return scan;
}

std::unique_ptr<OpenedDevice> open_device(const Candidate& c) {
  libusb_device_handle* h = nullptr;
  if (libusb_open(c.dev.get(), &h) != 0 || !h) return nullptr;
  return std::make_unique<OpenedDevice>(h);
}

std::optional<std::string> read_serial(const OpenedDevice& dev, uint8_t index) {
  if (index == 0) return std::nullopt;
  unsigned char buf[SERIAL_BUFFER_SIZE];
  int r = libusb_get_string_descriptor_ascii(dev.get(), index, buf, sizeof buf);
  if (r < 0) return std::nullopt;
  std::string s(reinterpret_cast<const char*>(buf), static_cast<size_t>(r));
  if (!utf8::valid(s)) return std::nullopt;
  return s;
}

// Opens each candidate in turn and hands it, with its serial if readable, to `visit`, which
// returns true to stop; the device is closed after the visit unless `visit` took it. Returns the
// number of candidates that would not open.
template <typename Visit>
int visit_openable(const Scan& scan, Visit&& visit) {
  int unopenable = 0;
  for (const Candidate& c : scan.candidates) {
    auto dev = open_device(c);
    if (!dev) {
      ++unopenable;
      continue;
    }
    auto serial = read_serial(*dev, c.serial_index);
    if (visit(c, dev, serial)) break;
  }
  return unopenable;
}

DeviceError nothing_opened(int unopenable) {
  return DeviceError::plain(unopenable > 0 ? ErrorKind::DeviceInUse : ErrorKind::DeviceNotFound);
}

}  // namespace

bool is_adapter_serial(std::string_view serial) noexcept {
  if (serial.size() <= SERIAL_PREFIX.size()) return false;
  if (serial.substr(0, SERIAL_PREFIX.size()) != SERIAL_PREFIX) return false;
  // Position 10 holds one character; a multi-byte one starts with a byte above 0x7F and fails.
  char c = serial[SERIAL_PREFIX.size()];
  return c == 'H' || c == 'I' || c == 'J';
}

uint32_t libusb_timeout_ms(Duration timeout) noexcept {
  constexpr uint64_t MAX_U32 = std::numeric_limits<uint32_t>::max();
  if (timeout.secs > MAX_U32 / 1000) return static_cast<uint32_t>(MAX_U32);
  uint64_t ms = timeout.secs * 1000 + timeout.nanos / 1000000u;
  return static_cast<uint32_t>(std::min(ms, MAX_U32));
}

uint32_t libusb_timeout_ms(uint64_t timeout_ms) noexcept {
  return libusb_timeout_ms(Duration::from_millis(timeout_ms));
}

Result<std::shared_ptr<UsbContext>> UsbContext::create() {
  libusb_context* ctx = nullptr;
  int r = libusb_init(&ctx);
  if (r < 0) return DeviceError::usb_call("Failed to create USB context", r);
  return std::shared_ptr<UsbContext>(new UsbContext(ctx));
}

UsbContext::~UsbContext() { libusb_exit(ctx_); }

UsbTransport::UsbTransport(std::shared_ptr<UsbContext> context,
                           libusb_device_handle* handle) noexcept
    : context_(std::move(context)), handle_(handle) {
  claimed_.set(INTERFACE_NUMBER);
}

UsbTransport::~UsbTransport() {
  std::lock_guard lk(claimed_mutex_);
  if (libusb_release_interface(handle_, interface_) == 0) claimed_.reset(interface_);
  // A release that failed above is tried once more here; failures are ignored.
  for (size_t i = 0; i < claimed_.size(); ++i)
    if (claimed_.test(i)) libusb_release_interface(handle_, static_cast<int>(i));
  libusb_close(handle_);
}

Result<std::vector<uint8_t>> UsbTransport::control_in(uint8_t request, uint16_t length) const {
  std::vector<uint8_t> buf(length, 0);
  int r = libusb_control_transfer(handle_, REQUEST_TYPE_IN, request, 0, interface_, buf.data(),
                                  length, CONTROL_TIMEOUT_MS);
  if (r < 0) return DeviceError::usb_call("Control IN failed", r);
  buf.resize(std::min<size_t>(length, static_cast<size_t>(r)));
  return buf;
}

Status UsbTransport::control_out(uint8_t request, std::span<const uint8_t> data) const {
  // libusb's signature is not const-correct; an OUT transfer only reads the buffer.
  auto* bytes = const_cast<unsigned char*>(data.data());
  int r = libusb_control_transfer(handle_, REQUEST_TYPE_OUT, request, 0, interface_, bytes,
                                  static_cast<uint16_t>(data.size()), CONTROL_TIMEOUT_MS);
  if (r < 0) return DeviceError::usb_call("Control OUT failed", r);
  return ok_status();
}

// A bulk transfer that timed out or was interrupted after moving some bytes counts as done.
static std::optional<size_t> bulk_done(int r, int transferred) {
  if (r == 0 || ((r == LIBUSB_ERROR_TIMEOUT || r == LIBUSB_ERROR_INTERRUPTED) && transferred > 0))
    return static_cast<size_t>(transferred);
  return std::nullopt;
}

Result<size_t> UsbTransport::bulk_write(std::span<const uint8_t> bytes, Duration timeout) const {
  int transferred = 0;
  int r = libusb_bulk_transfer(handle_, ENDPOINT_OUT, const_cast<unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()), &transferred,
                               libusb_timeout_ms(timeout));
  if (auto n = bulk_done(r, transferred)) return *n;
  return DeviceError::usb_call("Bulk write failed", r);
}

Result<size_t> UsbTransport::bulk_read(std::span<uint8_t> buf, uint64_t timeout_ms) const {
  std::fill(buf.begin(), buf.end(), 0);
  int transferred = 0;
  int r = libusb_bulk_transfer(handle_, ENDPOINT_IN, buf.data(), static_cast<int>(buf.size()),
                               &transferred, libusb_timeout_ms(timeout_ms));
  if (auto n = bulk_done(r, transferred)) return *n;
  if (r == LIBUSB_ERROR_TIMEOUT) return DeviceError::plain(ErrorKind::Timeout);
  return DeviceError::usb_call("Bulk read failed", r);
}

Result<std::shared_ptr<UsbTransport>> open_transport(std::optional<std::string_view> serial) {
  auto scanned = scan_bus(ScanKind::Open);
  if (!scanned) return std::move(scanned).error();
  Scan& scan = *scanned.value();

  if (!serial) {
    // First pass: there must be exactly one adapter to choose automatically.
    std::vector<std::string> remembered;
    int unopenable = visit_openable(scan, [&](const Candidate&, std::unique_ptr<OpenedDevice>&,
                                              std::optional<std::string>& s) {
      if (s && is_adapter_serial(*s)) remembered.push_back(std::move(*s));
      return false;
    });
    if (remembered.empty()) return nothing_opened(unopenable);
    if (remembered.size() > 1) return DeviceError::multiple_devices(std::move(remembered));
  }

  // Selecting pass: the first device that passes stays open.
  std::unique_ptr<OpenedDevice> chosen;
  int unopenable = visit_openable(scan, [&](const Candidate&, std::unique_ptr<OpenedDevice>& dev,
                                            std::optional<std::string>& s) {
    if (!s || !(serial ? *s == *serial : is_adapter_serial(*s))) return false;
    chosen = std::move(dev);
    return true;
  });
  if (!chosen) return nothing_opened(unopenable);
  if (int r = chosen->claim(); r != 0) return DeviceError::usb_call("Failed to claim interface", r);
  return std::make_shared<UsbTransport>(scan.context, chosen->release());
}

Result<std::vector<std::string>> list_adapter_serials() {
  auto scanned = scan_bus(ScanKind::List);
  if (!scanned) return std::move(scanned).error();
  std::vector<std::string> serials;
  visit_openable(*scanned.value(), [&](const Candidate&, std::unique_ptr<OpenedDevice>&,
                                       std::optional<std::string>& s) {
    if (s && is_adapter_serial(*s)) serials.push_back(std::move(*s));
    return false;
  });
  return serials;
}

Result<std::vector<AdapterProbe>> probe_adapters() {
  auto scanned = scan_bus(ScanKind::List);
  if (!scanned) return std::move(scanned).error();
  std::vector<AdapterProbe> out;
  for (const Candidate& c : scanned.value()->candidates) {
    AdapterProbe p;
    p.bus = libusb_get_bus_number(c.dev.get());
    p.address = libusb_get_device_address(c.dev.get());
    libusb_device_handle* h = nullptr;
    p.open_code = libusb_open(c.dev.get(), &h);
    if (p.open_code == 0 && h) {
      OpenedDevice dev(h);  // released and closed at the end of the visit
      p.serial = read_serial(dev, c.serial_index);
      p.claim_code = dev.claim();
    } else if (p.open_code == 0) {
      p.open_code = LIBUSB_ERROR_OTHER;
    }
    out.push_back(std::move(p));
  }
  return out;
}

Result<std::vector<std::string>> find_serials_by_name(std::string_view name) {
  auto scanned = scan_bus(ScanKind::Open);
  if (!scanned) return std::move(scanned).error();
  Scan& scan = *scanned.value();
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  std::vector<std::string> matches;
  visit_openable(scan, [&](const Candidate&, std::unique_ptr<OpenedDevice>& dev,
                           std::optional<std::string>& s) {
    if (!s || !is_adapter_serial(*s) || dev->claim() != 0) return false;
    // The name is read over a temporary transport, which releases and closes the device.
    UsbTransport temporary(scan.context, dev->release());
    auto got = get_device_name(temporary);
    std::string stored = got ? std::move(got).value() : std::string();
    bool same = stored.size() == name.size() &&
                std::equal(stored.begin(), stored.end(), name.begin(),
                           [&](char a, char b) { return fold(a) == fold(b); });
    if (same) matches.push_back(std::move(*s));
    return false;
  });
  return matches;
}

}  // namespace vorel
