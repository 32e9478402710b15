// Python objects of frames and messages: the tuples and messages received frames become, and the
// frame descriptions, filters, messages and time-outs the methods take.
#include "frame_objects.h"

#include <structmember.h>

#include <cmath>
#include <limits>

#include "convert.h"
#include "errors.h"

namespace vorel::py {

namespace {

// One (arb_id, is_ext, is_rtr, is_err, dlc, data) description, encoded.
bool to_tx_record(PyObject* item, TxRecord& out) {
  if (!check_tuple(item, 6)) return false;
  uint32_t arb_id;
  bool is_ext, is_rtr, is_err;
  uint8_t dlc;
  FrameData data;
  if (!to_u32(PyTuple_GET_ITEM(item, 0), arb_id) || !to_bool(PyTuple_GET_ITEM(item, 1), is_ext) ||
      !to_bool(PyTuple_GET_ITEM(item, 2), is_rtr) || !to_bool(PyTuple_GET_ITEM(item, 3), is_err) ||
      !to_u8(PyTuple_GET_ITEM(item, 4), dlc) || !to_data(PyTuple_GET_ITEM(item, 5), data))
    return false;
  out = TxFrame::to_bytes(arb_id, is_ext, is_rtr, is_err, dlc, data.bytes());
  return true;
}

bool attr_true(PyObject* msg, const char* name, bool& out) {
  Ref v(PyObject_GetAttrString(msg, name));
  if (!v) return false;
  int t = PyObject_IsTrue(v.get());
  if (t < 0) return false;
  out = t != 0;
  return true;
}

bool attr_int(PyObject* msg, const char* name, long long& out) {
  Ref v(PyObject_GetAttrString(msg, name));
  if (!v) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
  if (out == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) out = overflow < 0 ? -1 : std::numeric_limits<long long>::max();
  return true;
}

}  // namespace

PyObject* frame_tuple(const ReceivedFrame& f) {
  return Py_BuildValue("(KkOOOBy#)", static_cast<unsigned long long>(f.timestamp_us),
                       static_cast<unsigned long>(f.arb_id), f.is_ext ? Py_True : Py_False,
                       f.is_rtr ? Py_True : Py_False, f.is_err ? Py_True : Py_False, f.dlc,
                       f.data.empty() ? "" : reinterpret_cast<const char*>(f.data.data()),
                       static_cast<Py_ssize_t>(f.data.size()));
}

PyObject* entry_tuple(const RxEntry& e) {
  const ReceivedFrame& f = e.frame;
  return Py_BuildValue("(dkOOOBy#O)", e.host_time, static_cast<unsigned long>(f.arb_id), f.is_ext ? Py_True : Py_False,
                       f.is_rtr ? Py_True : Py_False, f.is_err ? Py_True : Py_False, f.dlc,
                       f.data.empty() ? "" : reinterpret_cast<const char*>(f.data.data()),
                       static_cast<Py_ssize_t>(f.data.size()), e.origin == Origin::echo ? Py_False : Py_True);
}

PyObject* message_of(const MessageLayout& m, const RxEntry& e) {
  const ReceivedFrame& f = e.frame;
  PyObject* values[MessageLayout::FIELDS] = {
      PyFloat_FromDouble(e.host_time),
      PyLong_FromUnsignedLong(f.arb_id),
      Py_NewRef(f.is_ext ? Py_True : Py_False),
      Py_NewRef(f.is_rtr ? Py_True : Py_False),
      Py_NewRef(f.is_err ? Py_True : Py_False),
      Py_NewRef(m.bus_channel),
      Py_NewRef(Py_False),
      Py_NewRef(e.origin == Origin::echo ? Py_False : Py_True),
      Py_NewRef(Py_False),
      Py_NewRef(Py_False),
      PyByteArray_FromStringAndSize(f.is_rtr || f.data.empty() ? "" : reinterpret_cast<const char*>(f.data.data()),
                                    f.is_rtr ? 0 : static_cast<Py_ssize_t>(f.data.size())),
      PyLong_FromLong(f.dlc),
  };
  PyObject* msg = m.type->tp_alloc(m.type, 0);
  bool ok = msg != nullptr;
  for (PyObject* v : values) ok = ok && v != nullptr;
  if (!ok) {
    for (PyObject* v : values) Py_XDECREF(v);
    Py_XDECREF(msg);
    return nullptr;
  }
  // The object is new and not yet shared: plain stores, as the slots' own setters would make.
  for (int i = 0; i < MessageLayout::FIELDS; ++i)
    *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + m.offset[i]) = values[i];
  return msg;
}

std::unique_ptr<MessageLayout> layout_of(PyObject* type, PyObject* channel) {
  static constexpr const char* NAMES[MessageLayout::FIELDS] = {
      "timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "channel",
      "is_fd", "is_rx", "bitrate_switch", "error_state_indicator", "data", "dlc"};
  if (!PyType_Check(type)) {
    PyErr_SetString(PyExc_TypeError, "message_type must be a class");
    return nullptr;
  }
  auto m = std::make_unique<MessageLayout>();
  for (int i = 0; i < MessageLayout::FIELDS; ++i) {
    Ref d(PyObject_GetAttrString(type, NAMES[i]));
    if (!d) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
    }
    const PyMemberDef* member = d && Py_IS_TYPE(d.get(), &PyMemberDescr_Type)
                                    ? reinterpret_cast<PyMemberDescrObject*>(d.get())->d_member
                                    : nullptr;
    if (!member || member->type != T_OBJECT_EX || (member->flags & READONLY) ||
        member->offset < static_cast<Py_ssize_t>(sizeof(PyObject)) ||
        member->offset + static_cast<Py_ssize_t>(sizeof(PyObject*)) > reinterpret_cast<PyTypeObject*>(type)->tp_basicsize) {
      PyErr_Format(PyExc_TypeError, "message_type has no object slot %s", NAMES[i]);
      return nullptr;
    }
    m->offset[i] = member->offset;
  }
  m->type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
  m->bus_channel = Py_NewRef(channel);
  return m;
}

bool to_timeout_ns(PyObject* o, uint64_t& out) {
  if (o == Py_None) {
    out = platform::NEVER;
    return true;
  }
  double s = PyFloat_AsDouble(o);
  if (s == -1.0 && PyErr_Occurred()) return false;
  if (!(s > 0)) out = 0;
  else if (s >= 1e9) out = platform::NEVER;
  else out = static_cast<uint64_t>(s * 1e9);
  return true;
}

bool to_tx_records(PyObject* o, std::vector<TxRecord>& out) {
  return convert_arg("frames", [&] {
    if (!refuse_str_and_non_sequence(o)) return false;
    out.reserve(length_hint(o));
    return for_each_in_sequence(o, [&](PyObject* item) {
      TxRecord r;
      if (!to_tx_record(item, r)) return false;
      out.push_back(r);
      return true;
    });
  });
}

bool to_filters(PyObject* o, std::vector<FrameFilter>& out) {
  return convert_arg("filters", [&] {
    if (!refuse_str_and_non_sequence(o)) return false;
    out.reserve(length_hint(o));
    return for_each_in_sequence(o, [&](PyObject* item) {
      if (!check_tuple(item, 3)) return false;
      uint32_t can_id, can_mask;
      std::optional<bool> extended;
      if (!to_u32(PyTuple_GET_ITEM(item, 0), can_id) || !to_u32(PyTuple_GET_ITEM(item, 1), can_mask))
        return false;
      if (PyObject* e = PyTuple_GET_ITEM(item, 2); e != Py_None) {
        bool b;
        if (!to_bool(e, b)) return false;
        extended = b;
      }
      out.push_back(FrameFilter::from_tuple(can_id, can_mask, extended));
      return true;
    });
  });
}

PyObject* timing_dict(const BitTiming& b) {
  return Py_BuildValue("{s:k,s:k,s:k,s:k,s:k,s:k}", "bitrate", static_cast<unsigned long>(b.bitrate), "sample_point",
                       static_cast<unsigned long>(b.sample_point), "brp", static_cast<unsigned long>(b.brp), "tseg1",
                       static_cast<unsigned long>(b.prop_seg + b.phase_seg1), "tseg2",
                       static_cast<unsigned long>(b.phase_seg2), "sjw", static_cast<unsigned long>(b.sjw));
}


bool message_frame(PyObject* msg, MessageFrame& f) {
  bool is_fd;
  long long arb_id, dlc;
  if (!attr_true(msg, "is_fd", is_fd) || !attr_int(msg, "arbitration_id", arb_id) ||
      !attr_true(msg, "is_extended_id", f.is_ext) || !attr_true(msg, "is_remote_frame", f.is_rtr) ||
      !attr_true(msg, "is_error_frame", f.is_err) || !attr_int(msg, "dlc", dlc))
    return false;
  if (is_fd) {
    raise_error("CAN FD frames are not supported by this adapter", ErrorKind::InvalidParameter);
    return false;
  }
  // An error frame is what a controller sends when it sees an error; the peer would receive a
  // frame flagged as one, with this identifier and data.
  if (f.is_rtr && f.is_err)
    return PyErr_SetString(PyExc_ValueError, "a message cannot be a remote and an error frame at the same time"), false;
  if (f.is_err) return PyErr_SetString(PyExc_ValueError, "error frames cannot be sent: the controller makes them"), false;
  if (arb_id < 0) return PyErr_SetString(PyExc_ValueError, "arbitration IDs may not be negative"), false;
  if (f.is_ext && arb_id >= 0x20000000)
    return PyErr_SetString(PyExc_ValueError, "Extended arbitration IDs must be less than 2^29"), false;
  if (!f.is_ext && arb_id >= 0x800)
    return PyErr_SetString(PyExc_ValueError, "Normal arbitration IDs must be less than 2^11"), false;
  if (dlc < 0) return PyErr_SetString(PyExc_ValueError, "DLC may not be negative"), false;
  Ref data(PyObject_GetAttrString(msg, "data"));
  if (!data || !convert_arg("data", [&] { return to_data(data.get(), f.data); })) return false;
  const long long length = f.is_rtr ? dlc : std::max<long long>(dlc, static_cast<long long>(f.data.size));
  if (length > 8) {
    PyErr_Format(PyExc_ValueError, "DLC was %lld but it should be <= 8 for normal CAN frames", length);
    return false;
  }
  f.arb_id = static_cast<uint32_t>(arb_id);
  f.dlc = static_cast<uint8_t>(dlc);
  return true;
}

bool to_send_timeout_ns(PyObject* o, uint64_t& out) {
  if (o != Py_None) {
    double s = PyFloat_AsDouble(o);
    if (s == -1.0 && PyErr_Occurred()) return false;
    if (std::isnan(s)) return PyErr_SetString(PyExc_ValueError, "the timeout may not be NaN"), false;
  }
  return to_timeout_ns(o, out);
}

}  // namespace vorel::py
