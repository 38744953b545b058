"""Events on an asyncio loop: units awaited together, failures raised as
documented while the loop keeps running, objects released with events queued,
handler exceptions reported and kept out of the library."""
import asyncio
import datetime
import gc
import time
import weakref

import pytest

import kalax
from kalax import _variant

BOUND = 20  # no test's loop runs longer than this


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, BOUND))


async def ticking(during):
    """Runs `during` while a ticker counts loop turns: a loop that hangs
    inside a call counts none."""
    ticks = 0
    stop = False

    async def tick():
        nonlocal ticks
        while not stop:
            ticks += 1
            await asyncio.sleep(0.01)
    ticker = asyncio.ensure_future(tick())
    try:
        return await during, ticks
    finally:
        stop = True
        await ticker


def test_two_units_at_once(unitsim):
    ports = unitsim(), unitsim("--delay-ms", "300", "--sensors", "1")

    async def main():
        async with kalax.Unit("127.0.0.1", ports[0]) as a, kalax.Unit("localhost", ports[1]) as b:
            (va, vb), ticks = await ticking(asyncio.gather(a.values(), b.values()))
            setup = await b.setup()
            with pytest.raises(kalax.UnitError) as failed:
                a._items(len(va) + 1, 0)
            return va, vb, ticks, setup, failed.value
    va, vb, ticks, setup, short = run(main())
    assert [i.name for i in va][:1] == ["Tür Serverraum"] and len(va) == 9 and len(vb) == 4 + 1 + 2
    assert [i.name for i in setup] == [i.name for i in vb]
    assert va[4].units_text == "°C" and va[4].value_text == "%.1f" % va[4].sensor.Value
    assert ticks > 5  # the loop ran while both waited
    assert short.code is None  # one more item than the unit sent: no short list as the answer


def test_a_refusing_unit_raises_unit_error(closed_port):
    async def main():
        with kalax.Unit("127.0.0.1", closed_port) as unit:
            with pytest.raises(kalax.UnitError) as failed:
                await ticking(unit.values())
            return failed.value
    error = run(main())
    assert error.code == 2 and error.sdk_code != 0 and error.text  # IOXML_ERROR_GET_VALUES_XML


def test_a_face_that_fails_releases_its_object(monkeypatch):
    from kalax import _native
    assert _native.DllCanUnloadNow() == 0  # no object of the library is alive

    async def main():
        with pytest.raises(kalax.UnitError) as bad_host:
            kalax.Unit("no such host")
        assert _native.DllCanUnloadNow() == 0, "the face that failed still holds its object"
        unit = kalax.Unit("127.0.0.1")

        def failing(*args):
            raise kalax.ComError(_native.E_FAIL, "Close failed")
        monkeypatch.setattr(type(unit.obj), "Close", failing, raising=False)
        with pytest.raises(kalax.ComError):
            unit.close()
        assert _native.DllCanUnloadNow() == 0, "a failed Close kept the object"
        return bad_host.value
    error = run(main())
    assert error.code is None and "'no such host'" in str(error)


def test_a_401_raises_unit_error_for_the_log(unitsim, tmp_path):
    port = unitsim("--user", "admin", "--password", "secret")

    async def main():
        with kalax.Log("127.0.0.1", port, "admin", "wrong") as log:
            with pytest.raises(RuntimeError, match="download"):
                log.append_to(tmp_path / "early.csv")  # nothing downloaded: nothing to append
            assert not (tmp_path / "early.csv").exists()
            with pytest.raises(kalax.UnitError) as failed:
                await log.download()
            with kalax.Log("127.0.0.1", port, "admin", "secret") as right:
                size = await right.download()
                first = next(right.lines())
            return failed.value, size, first
    error, size, first = run(main())
    assert (error.code, error.sdk_code) == (2, 48) and "Unauthorized" in str(error)
    assert size > 0 and first.count(";") > 3


def test_a_silent_unit_times_out_and_the_loop_goes_on(unitsim):
    port = unitsim("--silent-after", "10")

    async def main():
        with kalax.Unit("127.0.0.1", port) as unit:
            started = time.monotonic()
            with pytest.raises(TimeoutError):
                await ticking(unit.values(timeout=0.5))
            waited = time.monotonic() - started
            assert unit.GetStatus() == 0  # closed: nothing of the request is left running
            return waited
    assert 0.4 < run(main()) < 5


def test_an_object_released_with_events_queued_hears_nothing(unitsim):
    port = unitsim()
    heard = []

    class Handler:
        def OnValuesXml(self, count):
            heard.append(count)

    io = kalax.DispatchWithEvents("KalAx.IoXml", Handler)
    io.Port = port
    io.Open()
    io.GetValuesXml()
    time.sleep(0.5)  # the answer is queued by now, undelivered
    io.close()
    del io
    other = kalax.DispatchWithEvents("KalAx.IoXml", Handler)  # the thread's queue lives on
    assert kalax.pump(0.3) == 0 and heard == []
    other.close()


def test_an_object_with_events_goes_when_its_last_reference_does():
    class Handler:
        def OnStatus(self, event, status):
            pass

    gc.disable()  # the release must not wait for the collector
    try:
        io = kalax.DispatchWithEvents("KalAx.IoXml", Handler)
        sink, gone = io._sink, weakref.ref(io)
        connected = sink.refs
        del io
        assert gone() is None
        assert sink.refs == connected - 1  # the connection point let go of the sink: disconnected
    finally:
        gc.enable()


def test_a_handler_exception_is_raised_by_pump_and_reported_on_the_loop(unitsim):
    port = unitsim()

    class Failing:
        def OnStatus(self, event, status):
            if event == 3:  # the connect, from the worker thread
                raise ValueError("from the handler")

    io = kalax.DispatchWithEvents("KalAx.IoXml", Failing)
    io.Port = port
    io.Open()
    io.GetValuesXml()
    with pytest.raises(ValueError, match="from the handler"):
        kalax.pump_until(lambda: False, 5)
    io.close()

    reported = []

    async def main():
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda loop, context: reported.append(context["exception"]))
        obj = kalax.DispatchWithEvents("KalAx.IoXml", type("Both", (Failing, kalax.AsyncEvents), {}))
        obj.Port = port
        obj.Open()
        done = obj.expect("OnValuesXml", "OnError")
        obj.GetValuesXml()
        result = await asyncio.wait_for(done, 10)
        obj.close()
        return result
    assert run(main())[0] == "OnValuesXml"  # the events after the failing one still came
    assert [str(e) for e in reported] == ["from the handler"]


def test_dates_and_arrays_convert_both_ways():
    when = datetime.datetime(2008, 3, 15, 14, 5, 9)
    assert _variant.datetime_to_date(when) == pytest.approx(39522.5869, abs=1e-4)
    assert _variant.date_to_datetime(39522.5869097222) == when
    for value in (datetime.datetime(1899, 12, 29, 6, 0), datetime.datetime(1800, 1, 1, 12, 0)):
        assert _variant.date_to_datetime(_variant.datetime_to_date(value)) == value
    assert _variant.datetime_to_date(datetime.datetime(1899, 12, 29, 6, 0)) == -1.25
    assert _variant.datetime_to_date(datetime.date(2008, 3, 15)) == 39522.0  # a date is its midnight
    args = _variant.Arguments()
    for value in (b"\x00\xffab", (1, "zwei", 3.5, None, True, when), "Grüße ☃", 2 ** 40,
                  datetime.date(2008, 3, 15)):
        v = kalax._native.VARIANT()
        args.fill(v, value)
        back = _variant.to_python(v)
        args.clear(v)
        if type(value) is datetime.date:  # comes back as its midnight
            value = datetime.datetime.combine(value, datetime.time())
        assert back == value


def test_a_handler_may_release_its_own_object_while_events_wait(unitsim):
    port = unitsim()
    heard = []

    class Closing(kalax.AsyncEvents):
        def __init__(self):
            super().__init__()  # reaches the object's own __init__ too, harmlessly

        def OnStatus(self, event, status):
            heard.append(event)
            if event == 3:  # connected: the values are on their way
                self.close()

        def OnValuesXml(self, count):
            heard.append("values")

    io = kalax.DispatchWithEvents("KalAx.IoXml", Closing)
    io.Port = port
    io.Open()
    io.GetValuesXml()
    kalax.pump_until(lambda: 3 in heard, 10)
    time.sleep(0.3)
    kalax.pump(0.2)
    assert heard == [0, 2, 3]
    with pytest.raises(kalax.ComError):
        io.GetStatus()
