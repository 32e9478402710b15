// Methods of NativeVorelDevice for bit timing: the specified set_bitrate, and the plug-in's
// timings as asked (nearest sample point, python-can's BitTiming written exactly).
#include "device_object.h"

#include "bit_timing.h"
#include "control.h"

namespace vorel::py {

namespace {

VOREL_SIG(SET_BITRATE, "NativeVorelDevice.set_bitrate()", "bitrate", "sample_point");
VOREL_SIG(CALC_BIT_TIMING, "NativeVorelDevice._calc_bit_timing()", "bitrate", "sample_point_ppm", "tolerance_ppm");
VOREL_SIG(SET_BIT_TIMING, "NativeVorelDevice._set_bit_timing()", "brp", "tseg1", "tseg2", "sjw");

}  // namespace

PyObject* set_bitrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    uint32_t bitrate, sample_point;
    if (!parse(SET_BITRATE, args, nargs, kwnames, into(bitrate), into(sample_point))) return nullptr;
    const UsbTransport& t = dev.transport();
    auto caps = get_capabilities(t);
    if (!caps) return raise_device_error("Failed caps: {}", caps.error());
    if (auto refused = check_bitrate_supported(bitrate, caps->ctrlmode_supported))
      return raise_error(*refused, ErrorKind::InvalidParameter);
    auto limits = get_bt_const(t);
    if (!limits) return raise_device_error("Failed bt_const: {}", limits.error());
    auto timing = calculate_bittiming(bitrate, sample_point, caps->clock_freq, limits.value());
    if (!timing) return raise_error("Invalid bit timing parameters", ErrorKind::InvalidParameter);
    return unit_or_raise(set_bittiming(t, *timing), "BT error: {}");
  });
}

PyObject* _timing_limits(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    auto l = read_timing_limits(dev.transport());
    if (!l) return raise_device_error("Failed bt_const: {}", l.error());
    const BitTimingConst& c = l->limits;
    return Py_BuildValue("{s:k,s:k,s:k,s:k,s:k,s:k,s:k,s:k,s:k}", "f_clock", static_cast<unsigned long>(l->clock_freq),
                         "tseg1_min", static_cast<unsigned long>(c.tseg1_min), "tseg1_max",
                         static_cast<unsigned long>(c.tseg1_max), "tseg2_min", static_cast<unsigned long>(c.tseg2_min),
                         "tseg2_max", static_cast<unsigned long>(c.tseg2_max), "sjw_max",
                         static_cast<unsigned long>(c.sjw_max), "brp_min", static_cast<unsigned long>(c.brp_min),
                         "brp_max", static_cast<unsigned long>(c.brp_max), "brp_inc",
                         static_cast<unsigned long>(c.brp_inc));
  });
}

PyObject* _calc_bit_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    uint32_t bitrate, sample_point, tolerance_ppm;
    if (!parse(CALC_BIT_TIMING, args, nargs, kwnames, into(bitrate), into(sample_point), into(tolerance_ppm)))
      return nullptr;
    auto l = read_timing_limits(dev.transport());
    if (!l) return raise_device_error("Failed bt_const: {}", l.error());
    if (auto refused = check_bitrate_supported(bitrate, l->ctrlmode_supported))
      return raise_error(*refused, ErrorKind::InvalidParameter);
    const TimingChoice c = choose_bit_timing(bitrate, sample_point, tolerance_ppm, l->clock_freq, l->limits);
    Ref found(c.timing ? timing_dict(*c.timing) : Py_NewRef(Py_None));
    if (!found) return nullptr;
    return Py_BuildValue("(Ok)", found.get(), static_cast<unsigned long>(c.nearest_bitrate));
  });
}

PyObject* _set_bit_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    Segments seg;
    if (!parse(SET_BIT_TIMING, args, nargs, kwnames, into(seg.brp), into(seg.tseg1), into(seg.tseg2), into(seg.sjw)))
      return nullptr;
    auto l = read_timing_limits(dev.transport());
    if (!l) return raise_device_error("Failed bt_const: {}", l.error());
    auto timing = timing_from_segments(seg, l->clock_freq, l->limits);
    if (!timing) return raise_error(timing.error().text(), timing.error());
    if (auto s = set_bittiming(dev.transport(), *timing); !s) return raise_device_error("BT error: {}", s.error());
    dev.set_bitrate(timing->bitrate);
    // With the clock the timing was computed for, so that the caller need not ask for it again.
    Ref written(timing_dict(*timing));
    Ref clock(PyLong_FromUnsignedLong(l->clock_freq));
    if (!written || !clock || PyDict_SetItemString(written.get(), "f_clock", clock.get()) < 0) return nullptr;
    return written.release();
  });
}

}  // namespace vorel::py
