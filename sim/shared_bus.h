// One simulated bus shared by processes: the server that hosts the adapters, and the client that
// the drop-in libusb of every attached process becomes.
//
// The server is the drop-in itself, in the process that runs `vorel-sim serve`: it answers each
// client's libusb calls by making them on its own adapters. A client opens one connection per
// thread (so that a blocked read holds up no other thread) plus a lifeline that lives as long as
// the process; when the lifeline closes, the process is gone and the server closes its handles,
// which gives up its claims as the kernel does for a dead process.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vsim::link {

// What a client learns of one attached adapter when it lists them.
struct Listed {
  int adapter = -1;
  uint64_t generation = 0;
  uint8_t bus_number = 0, address = 0;
  std::array<uint8_t, 18> descriptor{};
};

// The drop-in's side of the link; every call returns a libusb code (or a count, or bytes moved)
// as the libusb function it stands for does. A server that has gone away looks like adapters
// that were unplugged.
class Client {
 public:
  int list(std::vector<Listed>& out);
  int open(int adapter, uint64_t generation, uint32_t& handle);
  void close(uint32_t handle);
  int claim(uint32_t handle, int iface);
  int release(uint32_t handle, int iface);
  int clear_halt(uint32_t handle, uint8_t endpoint);
  int set_configuration(uint32_t handle, int config);
  int set_alt_setting(uint32_t handle, int iface, int alt);
  int reset(uint32_t handle);
  int control(uint32_t handle, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
              std::span<uint8_t> data, unsigned timeout);
  int bulk(uint32_t handle, uint8_t endpoint, std::span<uint8_t> data, int& transferred, unsigned timeout);
  int string_ascii(uint32_t handle, uint8_t index, std::span<uint8_t> data);
};

// The client of this process when VOREL_SIM_SERVER names a server's socket, else nullptr.
Client* client();

}  // namespace vsim::link
