// Result<T>: a value or a DeviceError, the return type of every core operation.
#pragma once

#include <utility>
#include <variant>

#include "device_error.h"

namespace vorel {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(DeviceError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }
  const DeviceError& error() const& { return std::get<1>(v_); }
  DeviceError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, DeviceError> v_;
};

// The result of an operation that yields nothing but may fail.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace vorel
