// The simulated bus shared by processes: wire messages, the client of attached processes, and the
// server of `vorel-sim serve` (see shared_bus.h).
#include "shared_bus.h"

#include <libusb-1.0/libusb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "vsim.h"

// The drop-in tells the server which adapter one of its devices stands for (libusb_dropin.cpp).
std::pair<int, uint64_t> vsim_dropin_identity(libusb_device* dev);

namespace vsim::link {

namespace {

// --- wire: a request is {u32 op, u32 length, body}, an answer {i32 result, u32 length, body}, all
// little-endian; bodies are the fields of each operation in the order written below. -----------

enum class Op : uint32_t {
  hello = 1,  // u64 session, u8 lifeline
  list,       // -> n x {i32 adapter, u64 generation, u8 bus, u8 address, 18 descriptor bytes}
  open,       // i32 adapter, u64 generation -> u32 handle
  close,      // u32 handle
  claim,      // u32 handle, i32 interface
  release,    // u32 handle, i32 interface
  clear_halt, // u32 handle, u8 endpoint
  set_config, // u32 handle, i32 configuration
  set_alt,    // u32 handle, i32 interface, i32 alternate setting
  reset,      // u32 handle
  control,    // u32 handle, u8 type, u8 request, u16 value, u16 index, u16 length, u32 timeout, OUT data -> IN data
  bulk,       // u32 handle, u8 endpoint, i32 length, u32 timeout, OUT data -> i32 transferred, IN data
  string,     // u32 handle, u8 index, i32 length -> the text
};
constexpr size_t HEADER_SIZE = 8;
constexpr uint32_t MAX_BODY = 1 << 20;

class Writer {
 public:
  template <typename T>
  Writer& put(T v) {
    static_assert(std::is_integral_v<T>);
    for (size_t i = 0; i < sizeof(T); ++i) bytes_.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
    return *this;
  }
  Writer& put(std::span<const uint8_t> b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Reads fields front to back; a read past the end marks the message bad and yields zeros.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> b) : b_(b) {}
  template <typename T>
  T get() {
    static_assert(std::is_integral_v<T>);
    if (b_.size() - pos_ < sizeof(T)) {
      bad_ = true;
      return T{};
    }
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t{b_[pos_ + i]} << (8 * i);
    pos_ += sizeof(T);
    return static_cast<T>(v);
  }
  std::span<const uint8_t> rest() const { return b_.subspan(pos_); }
  std::span<const uint8_t> take(size_t n) {
    if (b_.size() - pos_ < n) {
      bad_ = true;
      return {};
    }
    auto s = b_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  bool bad() const { return bad_; }

 private:
  std::span<const uint8_t> b_;
  size_t pos_ = 0;
  bool bad_ = false;
};

bool send_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool recv_all(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// One message with its 8-byte header: {u32 word, u32 length}.
bool send_message(int fd, uint32_t word, std::span<const uint8_t> body) {
  Writer w;
  w.put(word).put(static_cast<uint32_t>(body.size())).put(body);
  return send_all(fd, w.bytes().data(), w.bytes().size());
}

bool recv_message(int fd, uint32_t& word, std::vector<uint8_t>& body) {
  uint8_t head[HEADER_SIZE];
  if (!recv_all(fd, head, sizeof head)) return false;
  Reader r(head);
  word = r.get<uint32_t>();
  uint32_t len = r.get<uint32_t>();
  if (len > MAX_BODY) return false;
  body.resize(len);
  return recv_all(fd, body.data(), len);
}

// Closes the descriptor it holds.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd = std::exchange(o.fd, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

std::optional<sockaddr_un> address_of(const char* path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!path || std::strlen(path) >= sizeof addr.sun_path) return std::nullopt;
  std::strcpy(addr.sun_path, path);
  return addr;
}

// --- client ----------------------------------------------------------------------------------

class Link {
 public:
  explicit Link(std::string path) : path_(std::move(path)) {}

  // One request and its answer on this thread's connection; nullopt when the server is gone.
  std::optional<int> call(Op op, Writer& req, std::vector<uint8_t>* answer = nullptr) {
    Conn& c = connection();
    if (c.fd.fd < 0) return std::nullopt;
    uint32_t word = 0;
    std::vector<uint8_t> body;
    if (!send_message(c.fd.fd, static_cast<uint32_t>(op), req.bytes()) || !recv_message(c.fd.fd, word, body)) {
      c.fd.reset();
      return std::nullopt;
    }
    if (answer) *answer = std::move(body);
    return static_cast<int32_t>(word);
  }

 private:
  struct Conn {
    Fd fd;
    pid_t pid = 0;
  };

  Fd connect_hello(uint64_t session, bool lifeline) {
    auto addr = address_of(path_.c_str());
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!addr || fd.fd < 0 || ::connect(fd.fd, reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0) return Fd();
    Writer w;
    w.put(session).put(static_cast<uint8_t>(lifeline));
    uint32_t word = 0;
    std::vector<uint8_t> body;
    if (!send_message(fd.fd, static_cast<uint32_t>(Op::hello), w.bytes()) || !recv_message(fd.fd, word, body) ||
        word != 0)
      return Fd();
    return fd;
  }

  // This thread's connection, made on first use; the process's session and its lifeline are made
  // first, and made again in a child after fork().
  Conn& connection() {
    thread_local Conn conn;
    pid_t pid = ::getpid();
    if (conn.fd.fd >= 0 && conn.pid == pid) return conn;
    uint64_t session;
    {
      std::lock_guard lk(mu_);
      if (lifeline_pid_ != pid || lifeline_.fd < 0) {
        std::random_device rd;
        session_ = (uint64_t{rd()} << 32) ^ rd() ^ static_cast<uint64_t>(pid);
        lifeline_ = connect_hello(session_, true);
        lifeline_pid_ = pid;
      }
      session = session_;
    }
    conn.fd = connect_hello(session, false);
    conn.pid = pid;
    return conn;
  }

  std::string path_;
  std::mutex mu_;                // guards the three members below; taken alone
  Fd lifeline_;                  // never written after the hello; its closing ends the session
  pid_t lifeline_pid_ = 0;
  uint64_t session_ = 0;
};

Link* g_link = nullptr;

}  // namespace

Client* client() {
  static Client* c = [] () -> Client* {
    const char* path = std::getenv("VOREL_SIM_SERVER");
    if (!path || !*path) return nullptr;
    g_link = new Link(path);  // lives as long as the process: threads may call in while it exits
    return new Client;
  }();
  return c;
}

int Client::list(std::vector<Listed>& out) {
  Writer w;
  std::vector<uint8_t> body;
  auto r = g_link->call(Op::list, w, &body);
  out.clear();
  if (!r) return 0;  // no server: nothing attached
  if (*r < 0) return *r;
  Reader rd(body);
  for (int i = 0; i < *r; ++i) {
    Listed l;
    l.adapter = rd.get<int32_t>();
    l.generation = rd.get<uint64_t>();
    l.bus_number = rd.get<uint8_t>();
    l.address = rd.get<uint8_t>();
    auto d = rd.take(l.descriptor.size());
    if (rd.bad()) return LIBUSB_ERROR_IO;
    std::copy(d.begin(), d.end(), l.descriptor.begin());
    out.push_back(l);
  }
  return static_cast<int>(out.size());
}

int Client::open(int adapter, uint64_t generation, uint32_t& handle) {
  Writer w;
  w.put(static_cast<int32_t>(adapter)).put(generation);
  std::vector<uint8_t> body;
  auto r = g_link->call(Op::open, w, &body);
  if (!r) return LIBUSB_ERROR_NO_DEVICE;
  if (*r == 0) {
    Reader rd(body);
    handle = rd.get<uint32_t>();
    if (rd.bad()) return LIBUSB_ERROR_IO;
  }
  return *r;
}

void Client::close(uint32_t handle) {
  Writer w;
  w.put(handle);
  g_link->call(Op::close, w);
}

namespace {
int simple(Op op, Writer& w) { return g_link->call(op, w).value_or(LIBUSB_ERROR_NO_DEVICE); }
}  // namespace

int Client::claim(uint32_t handle, int iface) {
  Writer w;
  w.put(handle).put(static_cast<int32_t>(iface));
  return simple(Op::claim, w);
}

int Client::release(uint32_t handle, int iface) {
  Writer w;
  w.put(handle).put(static_cast<int32_t>(iface));
  return simple(Op::release, w);
}

int Client::clear_halt(uint32_t handle, uint8_t endpoint) {
  Writer w;
  w.put(handle).put(endpoint);
  return simple(Op::clear_halt, w);
}

int Client::set_configuration(uint32_t handle, int config) {
  Writer w;
  w.put(handle).put(static_cast<int32_t>(config));
  return simple(Op::set_config, w);
}

int Client::set_alt_setting(uint32_t handle, int iface, int alt) {
  Writer w;
  w.put(handle).put(static_cast<int32_t>(iface)).put(static_cast<int32_t>(alt));
  return simple(Op::set_alt, w);
}

int Client::reset(uint32_t handle) {
  Writer w;
  w.put(handle);
  return simple(Op::reset, w);
}

int Client::control(uint32_t handle, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                    std::span<uint8_t> data, unsigned timeout) {
  bool in = (type & LIBUSB_ENDPOINT_IN) != 0;
  Writer w;
  w.put(handle).put(type).put(request).put(value).put(index).put(static_cast<uint16_t>(data.size())).put(timeout);
  if (!in) w.put(std::span<const uint8_t>(data));
  std::vector<uint8_t> body;
  auto r = g_link->call(Op::control, w, &body);
  if (!r) return LIBUSB_ERROR_NO_DEVICE;
  if (in && *r > 0) std::memcpy(data.data(), body.data(), std::min({body.size(), data.size(), static_cast<size_t>(*r)}));
  return *r;
}

int Client::bulk(uint32_t handle, uint8_t endpoint, std::span<uint8_t> data, int& transferred, unsigned timeout) {
  bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
  Writer w;
  w.put(handle).put(endpoint).put(static_cast<int32_t>(data.size())).put(timeout);
  if (!in) w.put(std::span<const uint8_t>(data));
  std::vector<uint8_t> body;
  transferred = 0;
  auto r = g_link->call(Op::bulk, w, &body);
  if (!r) return LIBUSB_ERROR_NO_DEVICE;
  Reader rd(body);
  transferred = std::clamp<int>(rd.get<int32_t>(), 0, static_cast<int>(data.size()));
  if (in) {
    auto got = rd.rest();
    std::memcpy(data.data(), got.data(), std::min(got.size(), static_cast<size_t>(transferred)));
  }
  return *r;
}

int Client::string_ascii(uint32_t handle, uint8_t index, std::span<uint8_t> data) {
  Writer w;
  w.put(handle).put(index).put(static_cast<int32_t>(data.size()));
  std::vector<uint8_t> body;
  auto r = g_link->call(Op::string, w, &body);
  if (!r) return LIBUSB_ERROR_NO_DEVICE;
  if (*r >= 0) {
    size_t n = std::min(body.size(), data.size() - 1);
    std::memcpy(data.data(), body.data(), n);
    data[n] = 0;
  }
  return *r;
}

// --- server ------------------------------------------------------------------------------------

namespace {

// A handle the server opened for a client; closed (and its claim given up) when the last request
// using it has finished and its session has ended or closed it.
struct Handle {
  libusb_device_handle* h = nullptr;
  ~Handle() {
    if (h) libusb_close(h);
  }
};

struct Session {
  std::mutex mu;  // guards handles and next; taken alone
  std::map<uint32_t, std::shared_ptr<Handle>> handles;
  uint32_t next = 1;
  std::atomic<bool> alive{true};

  std::shared_ptr<Handle> find(uint32_t id) {
    std::lock_guard lk(mu);
    auto it = handles.find(id);
    return it == handles.end() ? nullptr : it->second;
  }
};

// Longest wait of one server-side transfer: between slices a server thread looks whether its
// client is still there, so that a dead client's blocked read does not hold its claim for ever.
constexpr unsigned SLICE_MS = 50;

class Server {
 public:
  ~Server() {
    if (ctx_) libusb_exit(ctx_);
  }

  int start(const char* path) {
    auto addr = address_of(path);
    if (!addr) {
      errno = ENAMETOOLONG;
      return -1;
    }
    if (libusb_init(&ctx_) != 0) {
      errno = EIO;
      return -1;
    }
    listener_ = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener_.fd < 0) return -1;
    // A socket file left by a server that died is replaced; a live server's is not.
    if (Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ::connect(probe.fd, reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) == 0) {
      errno = EADDRINUSE;
      return -1;
    }
    ::unlink(path);
    if (::bind(listener_.fd, reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0 || ::listen(listener_.fd, 64) != 0)
      return -1;
    path_ = path;
    int fd = listener_.fd;
    std::thread([this, fd] { accept_loop(fd); }).detach();
    return 0;
  }

  void stop() {
    if (listener_.fd < 0) return;
    ::shutdown(listener_.fd, SHUT_RDWR);
    ::unlink(path_.c_str());
  }

 private:
  void accept_loop(int fd) {
    for (;;) {
      int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      std::thread([this, c] { serve(Fd(c)); }).detach();
    }
  }

  void serve(Fd fd) {
    uint32_t op = 0;
    std::vector<uint8_t> body;
    if (!recv_message(fd.fd, op, body) || op != static_cast<uint32_t>(Op::hello)) return;
    Reader hello(body);
    uint64_t id = hello.get<uint64_t>();
    bool lifeline = hello.get<uint8_t>() != 0;
    std::shared_ptr<Session> session;
    {
      std::lock_guard lk(mu_);
      auto& s = sessions_[id];
      if (!s) s = std::make_shared<Session>();
      session = s;
    }
    if (!send_message(fd.fd, 0, {})) return;
    if (lifeline) {
      // Nothing more comes on a lifeline: it closes when the process ends, and so does its session.
      for (;;) {
        uint8_t byte;
        ssize_t r = ::recv(fd.fd, &byte, 1, 0);
        if (r == 0 || (r < 0 && errno != EINTR)) break;
      }
      end_session(id, *session);
      return;
    }
    while (recv_message(fd.fd, op, body)) {
      Writer answer;
      int result = handle(fd.fd, *session, static_cast<Op>(op), Reader(body), answer);
      if (!send_message(fd.fd, static_cast<uint32_t>(result), answer.bytes())) return;
    }
  }

  void end_session(uint64_t id, Session& s) {
    s.alive = false;
    std::map<uint32_t, std::shared_ptr<Handle>> gone;
    {
      std::lock_guard lk(s.mu);
      gone.swap(s.handles);
    }
    std::lock_guard lk(mu_);
    sessions_.erase(id);
  }

  // Whether the client on `fd` is still there to take an answer.
  static bool peer_alive(int fd, const Session& s) {
    pollfd p{fd, POLLRDHUP, 0};
    return s.alive && !(::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)));
  }

  int handle(int fd, Session& s, Op op, Reader rd, Writer& out) {
    if (op == Op::list) return list(out);
    if (op == Op::open) {
      int adapter = rd.get<int32_t>();
      uint64_t generation = rd.get<uint64_t>();
      return open(s, adapter, generation, out);
    }
    uint32_t id = rd.get<uint32_t>();
    if (op == Op::close) {
      std::lock_guard lk(s.mu);
      s.handles.erase(id);
      return 0;
    }
    auto h = s.find(id);
    if (!h) return LIBUSB_ERROR_NO_DEVICE;
    switch (op) {
      case Op::claim: return libusb_claim_interface(h->h, rd.get<int32_t>());
      case Op::release: return libusb_release_interface(h->h, rd.get<int32_t>());
      case Op::clear_halt: return libusb_clear_halt(h->h, rd.get<uint8_t>());
      case Op::set_config: return libusb_set_configuration(h->h, rd.get<int32_t>());
      case Op::set_alt: {
        int iface = rd.get<int32_t>();
        return libusb_set_interface_alt_setting(h->h, iface, rd.get<int32_t>());
      }
      case Op::reset: return libusb_reset_device(h->h);
      case Op::control: {
        auto type = rd.get<uint8_t>();
        auto request = rd.get<uint8_t>();
        auto value = rd.get<uint16_t>();
        auto index = rd.get<uint16_t>();
        auto length = rd.get<uint16_t>();
        auto timeout = rd.get<uint32_t>();
        std::vector<uint8_t> data(length);
        bool in = (type & LIBUSB_ENDPOINT_IN) != 0;
        if (!in) {
          auto src = rd.take(length);
          std::copy(src.begin(), src.end(), data.begin());
        }
        if (rd.bad()) return LIBUSB_ERROR_INVALID_PARAM;
        int r = libusb_control_transfer(h->h, type, request, value, index, data.data(), length, timeout);
        if (in && r > 0) out.put(std::span<const uint8_t>(data.data(), static_cast<size_t>(r)));
        return r;
      }
      case Op::bulk: return bulk(fd, s, *h, rd, out);
      case Op::string: {
        auto index = rd.get<uint8_t>();
        int length = std::clamp<int>(rd.get<int32_t>(), 0, 255);
        std::vector<uint8_t> text(static_cast<size_t>(length) + 1);
        int r = libusb_get_string_descriptor_ascii(h->h, index, text.data(), length);
        if (r > 0) out.put(std::span<const uint8_t>(text.data(), static_cast<size_t>(r)));
        return r;
      }
      default: return LIBUSB_ERROR_NOT_SUPPORTED;
    }
  }

  int list(Writer& out) {
    libusb_device** devs = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &devs);
    if (n < 0) return static_cast<int>(n);
    int count = 0;
    Writer entries;
    for (ssize_t i = 0; i < n; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(devs[i], &d) != 0) continue;
      uint8_t raw[18] = {d.bLength, d.bDescriptorType, static_cast<uint8_t>(d.bcdUSB), static_cast<uint8_t>(d.bcdUSB >> 8),
                         d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0,
                         static_cast<uint8_t>(d.idVendor), static_cast<uint8_t>(d.idVendor >> 8),
                         static_cast<uint8_t>(d.idProduct), static_cast<uint8_t>(d.idProduct >> 8),
                         static_cast<uint8_t>(d.bcdDevice), static_cast<uint8_t>(d.bcdDevice >> 8),
                         d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations};
      auto [adapter, generation] = identity_of(devs[i]);
      entries.put(static_cast<int32_t>(adapter)).put(generation).put(libusb_get_bus_number(devs[i]))
          .put(libusb_get_device_address(devs[i])).put(std::span<const uint8_t>(raw));
      ++count;
    }
    libusb_free_device_list(devs, 1);
    out.put(std::span<const uint8_t>(entries.bytes()));
    return count;
  }

  int open(Session& s, int adapter, uint64_t generation, Writer& out) {
    libusb_device** devs = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &devs);
    if (n < 0) return static_cast<int>(n);
    int r = LIBUSB_ERROR_NO_DEVICE;
    auto h = std::make_shared<Handle>();
    for (ssize_t i = 0; i < n; ++i) {
      if (identity_of(devs[i]) == std::pair(adapter, generation)) r = libusb_open(devs[i], &h->h);
    }
    libusb_free_device_list(devs, 1);
    if (r != 0) return r;
    std::lock_guard lk(s.mu);
    uint32_t id = s.next++;
    s.handles[id] = std::move(h);
    out.put(id);
    return 0;
  }

  // A transfer made in slices, so that a client that went away mid-wait is noticed.
  int bulk(int fd, Session& s, Handle& h, Reader& rd, Writer& out) {
    auto endpoint = rd.get<uint8_t>();
    int length = rd.get<int32_t>();
    auto timeout = rd.get<uint32_t>();
    if (length < 0 || static_cast<uint32_t>(length) > MAX_BODY) return LIBUSB_ERROR_INVALID_PARAM;
    bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    std::vector<uint8_t> data(static_cast<size_t>(length));
    if (!in) {
      auto src = rd.take(data.size());
      std::copy(src.begin(), src.end(), data.begin());
    }
    if (rd.bad()) return LIBUSB_ERROR_INVALID_PARAM;
    auto start = std::chrono::steady_clock::now();
    int moved = 0, r;
    for (;;) {
      unsigned slice = SLICE_MS;
      if (timeout != 0) {
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        slice = static_cast<unsigned>(std::clamp<long long>(timeout - spent, 1, SLICE_MS));
      }
      int t = 0;
      r = libusb_bulk_transfer(h.h, endpoint, data.data() + moved, length - moved, &t, slice);
      moved += t;
      if (r != LIBUSB_ERROR_TIMEOUT || moved == length) break;
      if (in && moved > 0) break;
      if (timeout != 0 && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(timeout)) break;
      if (!peer_alive(fd, s)) break;
    }
    out.put(static_cast<int32_t>(moved));
    if (in) out.put(std::span<const uint8_t>(data.data(), static_cast<size_t>(moved)));
    return r;
  }

  static std::pair<int, uint64_t> identity_of(libusb_device* dev) { return vsim_dropin_identity(dev); }

  libusb_context* ctx_ = nullptr;
  Fd listener_;
  std::string path_;
  std::mutex mu_;  // guards sessions_; taken alone
  std::map<uint64_t, std::shared_ptr<Session>> sessions_;
};

Server* g_server = nullptr;

}  // namespace

}  // namespace vsim::link

extern "C" {

int vsim_serve_start(const char* socket_path) {
  if (vsim::link::client()) {
    errno = EINVAL;  // an attached process serves nothing of its own
    return -1;
  }
  if (vsim::link::g_server) {
    errno = EALREADY;
    return -1;
  }
  auto* s = new vsim::link::Server;  // lives as long as the process: its threads run detached
  if (s->start(socket_path) != 0) {
    int e = errno;
    delete s;
    errno = e;
    return -1;
  }
  vsim::link::g_server = s;
  return 0;
}

void vsim_serve_stop(void) {
  if (vsim::link::g_server) vsim::link::g_server->stop();
}

}  // extern "C"
