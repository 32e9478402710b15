// Where processes cannot share a bus (Windows: no Unix sockets here), every process has its own:
// there is never a client, and serving is refused.
#include <libusb-1.0/libusb.h>

#include <cerrno>

#include "shared_bus.h"
#include "vsim.h"

namespace vsim::link {

Client* client() { return nullptr; }

// Never called without a client; defined so that the drop-in links.
int Client::list(std::vector<Listed>&) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int Client::open(int, uint64_t, uint32_t&) { return LIBUSB_ERROR_NOT_SUPPORTED; }
void Client::close(uint32_t) {}
int Client::claim(uint32_t, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int Client::release(uint32_t, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int Client::clear_halt(uint32_t, uint8_t) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int Client::set_configuration(uint32_t, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int Client::set_alt_setting(uint32_t, int, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int Client::reset(uint32_t) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int Client::control(uint32_t, uint8_t, uint8_t, uint16_t, uint16_t, std::span<uint8_t>, unsigned) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}
int Client::bulk(uint32_t, uint8_t, std::span<uint8_t>, int&, unsigned) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int Client::string_ascii(uint32_t, uint8_t, std::span<uint8_t>) { return LIBUSB_ERROR_NOT_SUPPORTED; }

}  // namespace vsim::link

extern "C" int vsim_serve_start(const char*) {
  errno = ENOSYS;
  return -1;
}
extern "C" void vsim_serve_stop(void) {}
