// A native Windows host of the automation objects, as a user writes one: it
// creates IoXml and KalLog by ProgID through the registry regsvr32 wrote,
// advises sinks on their connection points, drives simulated units through
// IDispatch (the calls go through the type library) and the dual vtable, and
// pumps its message loop to receive the events, which the objects raise from
// worker threads and deliver on this thread.
//
// usage: kalax_wine_client PORT AUTH_PORT DEAD_PORT
//   PORT       a simulated unit with default settings
//   AUTH_PORT  one that wants the credentials admin / secret
//   DEAD_PORT  a port nobody listens on
// Prints "ok NAME" or "FAIL NAME: why" per check; exit 0 when all passed.
//        kalax_wine_client --in-flight exit|release SILENT_PORT
// starts a request of each object on a unit that does not answer and ends at
// once: without releasing anything (exit), or releasing the objects and
// leaving the apartment, which unloads the library (release). Exit 7; 1 when
// the requests could not be started.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

// The header defines the identifiers of the library in this file.
#include <initguid.h>

#include "KalAx.h"

namespace {

int g_failures = 0;

void check(bool ok, const char *name, const std::string &why = {}) {
    if (ok) {
        std::printf("ok %s\n", name);
    } else {
        ++g_failures;
        std::printf("FAIL %s: %s\n", name, why.c_str());
    }
    std::fflush(stdout);
}

std::string utf8(const wchar_t *s, int n = -1) {
    if (!s) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, s, n, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, s, n, out.data(), size, nullptr, nullptr);
    if (n < 0 && !out.empty()) out.pop_back();  // the terminator
    return out;
}

// Records each event as "DISPID:arg,arg" (arguments in declared order) and
// whether it arrived on another thread than the one that advised.
class Sink final : public IDispatch {
public:
    explicit Sink(const IID &events) : events_iid_(events), thread_(GetCurrentThreadId()) {}
    std::vector<std::string> events;
    bool foreign_thread = false;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == events_iid_) {
            *ppv = static_cast<IDispatch *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS *p, VARIANT *, EXCEPINFO *,
                                     UINT *) override {
        if (GetCurrentThreadId() != thread_) foreign_thread = true;
        std::string e = std::to_string(id) + ":";
        for (UINT k = p->cArgs; k-- > 0;) {
            e += std::to_string(p->rgvarg[k].lVal);
            if (k) e += ",";
        }
        events.push_back(e);
        return S_OK;
    }

    bool connect(IUnknown *object) {
        IConnectionPointContainer *c = nullptr;
        if (FAILED(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(&c)))) return false;
        const HRESULT hr = c->FindConnectionPoint(events_iid_, &point_);
        c->Release();
        return SUCCEEDED(hr) && SUCCEEDED(point_->Advise(this, &cookie_));
    }
    void disconnect() {
        if (!point_) return;
        point_->Unadvise(cookie_);
        point_->Release();
        point_ = nullptr;
    }
    std::string joined() const {
        std::string s;
        for (const auto &e : events) s += e + " ";
        return s;
    }
    bool last_starts(const char *prefix) const {
        return !events.empty() && events.back().rfind(prefix, 0) == 0;
    }

private:
    IID events_iid_;
    DWORD thread_;
    ULONG refs_ = 1;
    IConnectionPoint *point_ = nullptr;
    DWORD cookie_ = 0;
};

// Runs this thread's message loop until `done` holds, at most 10 s.
bool pump_until(const std::function<bool()> &done) {
    const ULONGLONG end = GetTickCount64() + 10000;
    while (!done() && GetTickCount64() < end) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return done();
}

VARIANT vi4(LONG v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}
VARIANT vstr(const wchar_t *s) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BSTR;
    r.bstrVal = SysAllocString(s);
    return r;
}
VARIANT vref(VARIANT &target) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BYREF | VT_VARIANT;
    r.pvarVal = &target;
    return r;
}

// Calls a member by name with its arguments in declared order.
HRESULT call(IDispatch *d, const wchar_t *name, std::vector<VARIANT> args, VARIANT *result = nullptr,
             WORD flags = DISPATCH_METHOD) {
    DISPID id = 0;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    HRESULT hr = d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> rev(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    const bool is_put = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS p{rev.data(), is_put ? &put : nullptr, static_cast<UINT>(rev.size()), is_put ? 1u : 0u};
    VARIANT ignored;
    VariantInit(&ignored);
    EXCEPINFO excep{};
    hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &p, result ? result : &ignored, &excep, nullptr);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    VariantClear(&ignored);
    for (VARIANT &v : rev)
        if (!(v.vt & VT_BYREF)) VariantClear(&v);
    return hr;
}
LONG call_long(IDispatch *d, const wchar_t *name, std::vector<VARIANT> args = {}) {
    VARIANT r;
    VariantInit(&r);
    if (FAILED(call(d, name, std::move(args), &r))) return -9999;
    VARIANT l;
    VariantInit(&l);
    const LONG out = SUCCEEDED(VariantChangeType(&l, &r, 0, VT_I4)) ? l.lVal : -9998;
    VariantClear(&r);
    return out;
}
bool put(IDispatch *d, const wchar_t *name, VARIANT v) {
    return SUCCEEDED(call(d, name, {v}, nullptr, DISPATCH_PROPERTYPUT));
}

IDispatch *create(const wchar_t *progid) {
    CLSID clsid{};
    IDispatch *d = nullptr;
    if (FAILED(CLSIDFromProgID(progid, &clsid))) return nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void **>(&d))))
        return nullptr;
    return d;
}

bool is_binary_input(const XmlSensorT &item) { return item.SensType == 2 || item.SensType == 3; }

// The name of item `i` through the dual vtable; empty when there is none.
std::wstring item_name(IIoXml *io, LONG i, XmlSensorT &item) {
    BSTR name = nullptr, dev = nullptr, ip = nullptr, mac = nullptr;
    LONG rc = -1;
    if (FAILED(io->GetValuesSensor(i, &name, &dev, &ip, &mac, &item, &rc)) || rc != 0) return {};
    std::wstring out(name ? name : L"", SysStringLen(name));
    SysFreeString(name);
    SysFreeString(dev);
    SysFreeString(ip);
    SysFreeString(mac);
    return out;
}

void ioxml_values(int port) {
    IDispatch *io = create(L"KalAx.IoXml");
    check(io != nullptr, "ioxml_created_by_progid");
    if (!io) return;
    Sink sink(DIID_IIoXmlEvents);
    check(sink.connect(io), "ioxml_advise");
    put(io, L"IP", vstr(L"127.0.0.1"));
    put(io, L"Port", vi4(port));
    check(call_long(io, L"Open") == 0 && call_long(io, L"GetValuesXml") == 0, "ioxml_open_and_request");
    check(pump_until([&] { return sink.events.size() >= 4; }), "ioxml_events_arrive", sink.joined());
    const LONG count = call_long(io, L"GetValuesCount");
    check(count == 4 + 3 + 2, "ioxml_values_count", std::to_string(count));
    const std::string expected = "1:0,1 1:2,2 1:3,2 3:" + std::to_string(count) + " ";
    check(sink.joined() == expected, "ioxml_event_sequence", sink.joined() + "!= " + expected);
    check(call_long(io, L"GetCount", {vi4(0)}) == count, "ioxml_get_count");

    // The dual vtable, as the header widl made from the IDL declares it.
    IIoXml *dual = nullptr;
    check(SUCCEEDED(io->QueryInterface(IID_IIoXml, reinterpret_cast<void **>(&dual))), "ioxml_dual_interface");
    if (dual) {
        LONG sensor_id = -1;
        XmlSensorT item{};
        for (LONG i = 0; i < count && sensor_id < 0; ++i)
            if (!item_name(dual, i, item).empty() && is_binary_input(item)) sensor_id = item.Id;
        check(sensor_id >= 0, "ioxml_vtable_items");
        // A new name with characters outside ASCII and outside Windows-1252.
        const wchar_t *renamed = L"K\u00fchlraum \u2116 3 \u00b0C";
        check(call_long(io, L"SetSensName", {vi4(sensor_id), vstr(renamed)}) == 0, "ioxml_rename_started");
        check(pump_until([&] { return call_long(io, L"GetStatus") == 1 && sink.last_starts("4:"); }),
              "ioxml_rename_done", sink.joined());
        sink.events.clear();
        call_long(io, L"GetValuesXml");
        check(pump_until([&] { return sink.last_starts("3:"); }), "ioxml_values_again", sink.joined());
        std::wstring found;
        for (LONG i = 0; i < count; ++i) {
            const std::wstring name = item_name(dual, i, item);
            if (item.Id == sensor_id && is_binary_input(item)) found = name;
        }
        check(found == renamed, "ioxml_rename_read_back", utf8(found.c_str()));
        dual->Release();
    }
    check(call_long(io, L"Close") == 0 && !sink.events.empty() && sink.events.back() == "1:1,0", "ioxml_close_event",
          sink.joined());
    check(!sink.foreign_thread, "ioxml_events_on_owner_thread");
    sink.disconnect();
    io->Release();
}

void ioxml_unreachable(int dead_port) {
    IDispatch *io = create(L"KalAx.IoXml");
    if (!io) return check(false, "ioxml_unreachable_created");
    Sink sink(DIID_IIoXmlEvents);
    sink.connect(io);
    put(io, L"Port", vi4(dead_port));
    call_long(io, L"Open");
    call_long(io, L"GetValuesXml");
    check(pump_until([&] { return sink.last_starts("6:"); }) && sink.events.back() == "6:2", "ioxml_unreachable_on_error",
          sink.joined());
    VARIANT code, sys, sdk_desc, sys_desc;
    for (VARIANT *v : {&code, &sys, &sdk_desc, &sys_desc}) VariantInit(v);
    const HRESULT hr = call(io, L"GetLastError", {vref(code), vref(sys), vref(sdk_desc), vref(sys_desc), vi4(0)});
    check(SUCCEEDED(hr) && code.lVal != 0 && sdk_desc.vt == VT_BSTR && SysStringLen(sdk_desc.bstrVal) > 0,
          "ioxml_get_last_error", std::to_string(hr));
    if (sdk_desc.vt == VT_BSTR && sys_desc.vt == VT_BSTR)
        std::printf("# GetLastError: %ld %ld \"%s\" \"%s\"\n", static_cast<long>(code.lVal),
                    static_cast<long>(sys.lVal), utf8(sdk_desc.bstrVal).c_str(), utf8(sys_desc.bstrVal).c_str());
    VariantClear(&sdk_desc);
    VariantClear(&sys_desc);
    sink.disconnect();
    io->Release();
}

// The lines of the current text, each as ReadLnArray gives it (bytes).
std::vector<std::string> lines_by_array(IDispatch *log, bool &typed) {
    std::vector<std::string> lines;
    typed = true;
    for (int guard = 0; guard < 100000; ++guard) {
        VARIANT r;
        VariantInit(&r);
        if (FAILED(call(log, L"ReadLnArray", {}, &r))) break;
        if (r.vt != (VT_ARRAY | VT_UI1) || !r.parray) {
            typed = false;
            VariantClear(&r);
            break;
        }
        LONG lo = 0, hi = -1;
        SafeArrayGetLBound(r.parray, 1, &lo);
        SafeArrayGetUBound(r.parray, 1, &hi);
        void *data = nullptr;
        std::string line;
        if (hi >= lo && SUCCEEDED(SafeArrayAccessData(r.parray, &data))) {
            line.assign(static_cast<const char *>(data), static_cast<size_t>(hi - lo + 1));
            SafeArrayUnaccessData(r.parray);
        }
        typed = typed && lo == 0;
        VariantClear(&r);
        if (line.empty()) break;
        lines.push_back(line);
    }
    return lines;
}

void kallog_download(int port) {
    IDispatch *log = create(L"KalAx.KalLog");
    check(log != nullptr, "kallog_created_by_progid");
    if (!log) return;
    Sink sink(DIID_IKalLogEvents);
    check(sink.connect(log), "kallog_advise");
    put(log, L"Port", vi4(port));
    put(log, L"Csv", vi4(1));
    check(call_long(log, L"Open") == 0 && call_long(log, L"GetLogFile") == 0, "kallog_open_and_request");
    check(pump_until([&] { return sink.last_starts("3:"); }), "kallog_download_event", sink.joined());
    const bool head = sink.events.size() >= 5 && sink.events[0] == "1:0,1" && sink.events[1] == "1:2,2" &&
                      sink.events[2] == "1:3,2" && sink.events[3].rfind("2:", 0) == 0;
    check(head, "kallog_event_sequence", sink.joined());
    long size = -1;
    if (sink.last_starts("3:1,")) size = std::strtol(sink.events.back().c_str() + 4, nullptr, 10);
    check(size > 0, "kallog_csv_download_size", sink.joined());

    bool typed = false;
    const std::vector<std::string> lines = lines_by_array(log, typed);
    check(typed && !lines.empty(), "kallog_readlnarray_bytes", std::to_string(lines.size()) + " lines");
    size_t total = 0;
    for (const std::string &l : lines) total += l.size() + 2;  // each line ends in CR LF
    check(static_cast<long>(total) == size, "kallog_readlnarray_covers_download",
          std::to_string(total) + " != " + std::to_string(size));
    call(log, L"ResetLn", {});
    bool same = true;
    for (const std::string &l : lines) {
        VARIANT s;
        VariantInit(&s);
        same = same && SUCCEEDED(call(log, L"ReadLnStr", {}, &s)) && s.vt == VT_BSTR &&
               utf8(s.bstrVal, static_cast<int>(SysStringLen(s.bstrVal))) == l;
        VariantClear(&s);
    }
    check(same, "kallog_readlnstr_matches_readlnarray");
    // Past the last line no value is found: a script's variables keep what they held.
    VARIANT time, type, group, values;
    for (VARIANT *v : {&time, &type, &group, &values}) VariantInit(v);
    time.vt = VT_R8;
    time.dblVal = 12.5;
    type = vstr(L"type");
    group = vstr(L"group");
    const HRESULT none = call(log, L"ReadRecArray", {vref(time), vref(type), vref(group)}, &values);
    const bool kept_texts = type.vt == VT_BSTR && group.vt == VT_BSTR && utf8(type.bstrVal) == "type" &&
                            utf8(group.bstrVal) == "group";
    check(SUCCEEDED(none) && time.vt == VT_R8 && time.dblVal == 12.5 && kept_texts,
          "kallog_readrecarray_leaves_variables_without_values",
          std::to_string(none) + " " + std::to_string(type.vt) +
              (type.vt == VT_BSTR ? " \"" + utf8(type.bstrVal) + "\"" : std::string()));
    for (VARIANT *v : {&time, &type, &group, &values}) VariantClear(v);
    check(!sink.foreign_thread, "kallog_events_on_owner_thread");
    sink.disconnect();
    log->Release();
}

void kallog_refused(int auth_port) {
    IDispatch *log = create(L"KalAx.KalLog");
    if (!log) return check(false, "kallog_refused_created");
    Sink sink(DIID_IKalLogEvents);
    sink.connect(log);
    put(log, L"Port", vi4(auth_port));
    put(log, L"Csv", vi4(1));
    put(log, L"Username", vstr(L"admin"));
    put(log, L"Password", vstr(L"wrong"));
    call_long(log, L"Open");
    call_long(log, L"GetLogFile");
    check(pump_until([&] { return sink.last_starts("5:"); }) && sink.events.back() == "5:2", "kallog_401_on_error",
          sink.joined());
    check(call_long(log, L"GetStatus") == 1, "kallog_401_status_back_to_opened");
    sink.disconnect();
    log->Release();
}

}  // namespace

// A member's failure reaches the caller as DISP_E_EXCEPTION with the object's
// error info: a text the system code page cannot hold, for a property of it.
void error_info() {
    IDispatch *io = create(L"KalAx.IoXml");
    if (!io) return check(false, "error_info_created");
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"Username");
    io->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    VARIANT value = vstr(L"\u2116 1");
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS p{&value, &put, 1, 1};
    EXCEPINFO excep{};
    const HRESULT hr = io->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &p, nullptr, &excep, nullptr);
    const std::string source = utf8(excep.bstrSource), text = utf8(excep.bstrDescription);
    check(hr == DISP_E_EXCEPTION && source == "KalAx.IoXml" && text.find("Windows-1252") != std::string::npos,
          "error_info_in_excepinfo", std::to_string(hr) + " " + source + ": " + text);
    std::printf("# error info: %s: %s\n", source.c_str(), text.c_str());
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    VariantClear(&value);
    ISupportErrorInfo *support = nullptr;
    check(SUCCEEDED(io->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void **>(&support))) &&
              support->InterfaceSupportsErrorInfo(IID_IIoXml) == S_OK,
          "error_info_supported");
    if (support) support->Release();
    io->Release();
}

// Ends with both objects' requests on their way to a unit that does not answer.
int in_flight(bool release, int port) {
    if (FAILED(CoInitialize(nullptr))) return 1;
    IDispatch *io = create(L"KalAx.IoXml");
    IDispatch *log = create(L"KalAx.KalLog");
    if (!io || !log) return 1;
    put(io, L"Port", vi4(port));
    put(log, L"Port", vi4(port));
    // Anything but both requests under way would end at once and prove nothing.
    const bool started = call_long(io, L"Open") == 0 && call_long(io, L"GetValuesXml") == 0 &&
                         call_long(log, L"Open") == 0 && call_long(log, L"GetLogFile") == 0;
    if (!started) {
        std::fprintf(stderr, "kalax_wine_client: the requests did not start\n");
        return 1;
    }
    Sleep(200);  // both requests on their way
    if (release) {
        io->Release();
        log->Release();
        CoFreeUnusedLibraries();
        CoUninitialize();
    }
    return 7;
}

int wmain(int argc, wchar_t **argv) {
    if (argc == 4 && std::wstring(argv[1]) == L"--in-flight")
        return in_flight(std::wstring(argv[2]) == L"release", _wtoi(argv[3]));
    if (argc != 4) {
        std::fprintf(stderr, "usage: kalax_wine_client PORT AUTH_PORT DEAD_PORT\n");
        return 2;
    }
    const int port = _wtoi(argv[1]), auth_port = _wtoi(argv[2]), dead_port = _wtoi(argv[3]);
    if (FAILED(CoInitialize(nullptr))) {
        std::fprintf(stderr, "kalax_wine_client: CoInitialize failed\n");
        return 1;
    }
    ioxml_values(port);
    ioxml_unreachable(dead_port);
    kallog_download(port);
    kallog_refused(auth_port);
    error_info();
    CoFreeUnusedLibraries();
    CoUninitialize();
    std::printf("%s: %d failed\n", g_failures ? "FAILED" : "PASSED", g_failures);
    return g_failures ? 1 : 0;
}
