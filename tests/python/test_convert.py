"""Argument conversion and argument-list errors: exact exception types and messages, nothing sent."""

from __future__ import annotations

import pytest

from vorel_pythoncan_ext import NativeVorelDevice

OUT_OF_RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


NumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
NumpyBoolNoBool = type("bool", (), {"__module__": "numpy"})
NotNumpyBool = type("bool_", (), {"__module__": "other", "__bool__": lambda self: True})


def send(dev, **over):
    args = dict(arb_id=0x123, is_ext=False, is_rtr=False, is_err=False, dlc=2, data=b"\xaa\xbb", timeout_ms=100)
    args.update(over)
    return dev.send_frame(**args)


CASES = [
    # (call, exception type, exact message or None for the interpreter's own)
    (lambda d: d.set_mode(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda d: d.set_mode(2**32), OverflowError, OUT_OF_RANGE),
    (lambda d: d.set_mode(2**64), OverflowError, "int too big to convert"),
    (lambda d: d.set_mode("1"), TypeError, "argument 'ctrlmode': 'str' object cannot be interpreted as an integer"),
    (lambda d: d.set_mode(1.0), TypeError, "argument 'ctrlmode': 'float' object cannot be interpreted as an integer"),
    (lambda d: d.set_mode(Index(2**32)), OverflowError, OUT_OF_RANGE),
    (lambda d: d.set_mode(Index(TypeError("bad index"))), TypeError, "argument 'ctrlmode': bad index"),
    (lambda d: d.set_mode(Index(ValueError("no"))), ValueError, "no"),
    (lambda d: d.set_mode(Index("x")), TypeError, None),
    (lambda d: d.receive_frame(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda d: d.receive_frame(2**64), OverflowError, None),
    (lambda d: d.set_bus_state(1), TypeError, "argument 'on': 'int' object is not an instance of 'bool'"),
    (lambda d: d.set_bus_state(None), TypeError, "argument 'on': 'None' is not an instance of 'bool'"),
    (lambda d: d.set_bus_state(NumpyBoolNoBool()), TypeError,
     "argument 'on': object of type 'bool' does not define a '__bool__' conversion"),
    (lambda d: d.set_bus_state(NotNumpyBool()), TypeError, "argument 'on': 'bool_' object is not an instance of 'bool'"),
    (lambda d: send(d, dlc=256), OverflowError, OUT_OF_RANGE),
    (lambda d: send(d, dlc=-1), OverflowError, OUT_OF_RANGE),
    (lambda d: send(d, dlc=2**70), OverflowError, None),
    (lambda d: send(d, data="ab"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (lambda d: send(d, data=5), TypeError, "argument 'data': 'int' object is not an instance of 'Sequence'"),
    (lambda d: send(d, data={1: 2}), TypeError, "argument 'data': 'dict' object is not an instance of 'Sequence'"),
    (lambda d: send(d, data=[1, 256]), OverflowError, OUT_OF_RANGE),
    (lambda d: send(d, data=[-1]), OverflowError, OUT_OF_RANGE),
    (lambda d: send(d, data=[1, "x"]), TypeError, "argument 'data': 'str' object cannot be interpreted as an integer"),
    (lambda d: send(d, is_ext=1), TypeError, "argument 'is_ext': 'int' object is not an instance of 'bool'"),
    (lambda d: send(d, arb_id=-1, data="x"), OverflowError, None),  # the first argument fails first
    (lambda d: d.set_device_name(5), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
    (lambda d: d.set_device_name(None), TypeError, "argument 'name': 'None' is not an instance of 'str'"),
    (lambda d: d.set_device_name(b"x"), TypeError, "argument 'name': 'bytes' object is not an instance of 'str'"),
    (lambda d: d.set_device_name("\ud800"), UnicodeEncodeError, None),
    (lambda d: d.set_filters("abc"), TypeError, "argument 'filters': Can't extract `str` to `Vec`"),
    (lambda d: d.set_filters(None), TypeError, "argument 'filters': 'None' is not an instance of 'Sequence'"),
    (lambda d: d.set_filters(x for x in []), TypeError, "argument 'filters': 'generator' object is not an instance of 'Sequence'"),
    (lambda d: d.set_filters([[1, 2, 3]]), TypeError, "argument 'filters': 'list' object is not an instance of 'tuple'"),
    (lambda d: d.set_filters([(1, 2)]), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (lambda d: d.set_filters([(1, 2, 3, 4)]), ValueError, "expected tuple of length 3, but got tuple of length 4"),
    (lambda d: d.set_filters([(1, 2, 1)]), TypeError, "argument 'filters': 'int' object is not an instance of 'bool'"),
    (lambda d: d.set_filters([(-1, 2, True)]), OverflowError, None),
    (lambda d: d.start_periodic([(1, 1, False, False, 0, b"")], 1000, None), TypeError,
     "argument 'frames': 'int' object is not an instance of 'bool'"),
    (lambda d: d.start_periodic([(1, False, False, False, 0)], 1000, None), ValueError,
     "expected tuple of length 6, but got tuple of length 5"),
    (lambda d: d.start_periodic([], 1000, "x"), TypeError,
     "argument 'duration_ms': 'str' object cannot be interpreted as an integer"),
    (lambda d: d.modify_periodic(99, "x"), TypeError, "argument 'frames': Can't extract `str` to `Vec`"),
    (lambda d: d.stop_periodic(2**32), OverflowError, OUT_OF_RANGE),
    # argument lists, in the interpreter's wording
    (lambda d: d.set_mode(), TypeError, "NativeVorelDevice.set_mode() missing 1 required positional argument: 'ctrlmode'"),
    (lambda d: d.set_bitrate(), TypeError,
     "NativeVorelDevice.set_bitrate() missing 2 required positional arguments: 'bitrate' and 'sample_point'"),
    (lambda d: d.start_periodic(), TypeError,
     "NativeVorelDevice.start_periodic() missing 3 required positional arguments: 'frames', 'period_us', and 'duration_ms'"),
    (lambda d: d.start_periodic([], 1000), TypeError,
     "NativeVorelDevice.start_periodic() missing 1 required positional argument: 'duration_ms'"),
    (lambda d: d.set_mode(1, 2), TypeError, "NativeVorelDevice.set_mode() takes 1 positional arguments but 2 were given"),
    (lambda d: d.set_mode(x=1), TypeError, "NativeVorelDevice.set_mode() got an unexpected keyword argument 'x'"),
    (lambda d: d.set_mode(1, ctrlmode=1), TypeError, "NativeVorelDevice.set_mode() got multiple values for argument 'ctrlmode'"),
    (lambda d: d.get_led_mode(1), TypeError, None),
    (lambda d: NativeVorelDevice(), TypeError, "NativeVorelDevice.__new__() missing 1 required positional argument: 'serial'"),
    (lambda d: NativeVorelDevice(5), TypeError, "argument 'serial': 'int' object is not an instance of 'str'"),
    (lambda d: NativeVorelDevice.open_by_name(None), TypeError, "argument 'name': 'None' is not an instance of 'str'"),
    (lambda d: NativeVorelDevice.open_by_name(), TypeError,
     "NativeVorelDevice.open_by_name() missing 1 required positional argument: 'name'"),
]


@pytest.mark.parametrize("call,exc,message", CASES, ids=[str(i) for i in range(len(CASES))])
def test_conversion_errors(sim, dev, call, exc, message):
    with pytest.raises(exc) as info:
        call(dev)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert sim.log() == [], "an argument error must send nothing"


def test_wrapped_type_error_keeps_the_original_cause(dev):
    cause = KeyError("root")

    class Bad:
        def __index__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as info:
        dev.set_mode(Bad())
    assert str(info.value) == "argument 'ctrlmode': inner"
    assert info.value.__cause__ is cause


def test_accepted_forms(sim, dev):
    dev.set_mode(2**32 - 1)
    dev.set_mode(Index(7))
    dev.set_mode(True)  # bool is an int subclass: accepted as 1 by the integer rule
    dev.set_bus_state(NumpyBool())
    dev.set_bus_state(on=False)
    words = [t.data for t in sim.log() if t.is_vendor and t.request == 22]
    assert words == [b"\xff\xff\xff\xff", b"\x07\0\0\0", b"\x01\0\0\0"]
