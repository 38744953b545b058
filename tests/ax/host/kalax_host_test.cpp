// A host that knows only the registry and libkalax.so's exported names: it
// registers the library into a temporary registry, creates the objects by
// ProgID, drives simulated units through IDispatch::Invoke by names, pumps
// the owner thread's events and reads what its sinks were told.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "kalax/ax.h"
#include "kalax/zxevents.h"
#include "unitsim/unitsim.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Records each event as "DISPID:arg,arg" with the arguments in declared order.
class Sink final : public IDispatch {
public:
    std::vector<std::string> events;
    std::function<void()> on_event;

    HRESULT QueryInterface(REFIID riid, void **ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == iid_) {
            *ppv = static_cast<IDispatch *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_; }
    HRESULT GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS *p, VARIANT *, EXCEPINFO *, UINT *) override {
        std::string e = std::to_string(id) + ":";
        for (UINT k = p->cArgs; k-- > 0;) {  // rgvarg holds the last declared argument first
            e += std::to_string(p->rgvarg[k].lVal);
            if (k) e += ",";
        }
        events.push_back(e);
        if (on_event) on_event();
        return S_OK;
    }
    void connect(IDispatch *object, const IID &events_iid) {
        iid_ = events_iid;
        IConnectionPointContainer *c = nullptr;
        ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(&c)), S_OK);
        ASSERT_EQ(c->FindConnectionPoint(events_iid, &point_), S_OK);
        c->Release();
        ASSERT_EQ(point_->Advise(this, &cookie_), S_OK);
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

private:
    ULONG refs_ = 1;
    IID iid_{};
    IConnectionPoint *point_ = nullptr;
    DWORD cookie_ = 0;
};

VARIANT vi4(LONG v) {
    VARIANT r;
    zxax_VariantInit(&r);
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}
VARIANT vstr(const char16_t *s) {
    VARIANT r;
    zxax_VariantInit(&r);
    r.vt = VT_BSTR;
    r.bstrVal = zxax_SysAllocString(s);
    return r;
}

// Calls a member by name with arguments in declared order; returns the result.
HRESULT call(IDispatch *d, const char16_t *name, std::vector<VARIANT> args, VARIANT *result = nullptr,
             WORD flags = DISPATCH_METHOD) {
    DISPID id = 0;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    HRESULT hr = d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_SYSTEM_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> rev(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS p{rev.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr, static_cast<UINT>(rev.size()),
                 flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
    VARIANT ignored;
    zxax_VariantInit(&ignored);
    hr = d->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &p, result ? result : &ignored, nullptr, nullptr);
    zxax_VariantClear(&ignored);
    for (VARIANT &v : rev)
        if (!(v.vt & VT_BYREF)) zxax_VariantClear(&v);
    return hr;
}
LONG call_long(IDispatch *d, const char16_t *name, std::vector<VARIANT> args = {}) {
    VARIANT r;
    zxax_VariantInit(&r);
    EXPECT_EQ(call(d, name, std::move(args), &r), S_OK) << "calling a member";
    return r.lVal;
}
void put(IDispatch *d, const char16_t *name, VARIANT v) {
    EXPECT_EQ(call(d, name, {v}, nullptr, DISPATCH_PROPERTYPUT), S_OK);
}

// Delivers the owner thread's events until `done` holds (at most 10 s).
bool pump_until(const std::function<bool()> &done) {
    for (int i = 0; i < 1000 && !done(); ++i) zx_events_wait(10);
    return done();
}

class KalAxHost : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kalax-host-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("KALAX_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
        ASSERT_EQ(zxax_CoInitialize(nullptr), S_OK);
        ASSERT_EQ(DllRegisterServer(), S_OK);
    }
    void TearDown() override {
        zxax_CoUninitialize();
        unsetenv("KALAX_REGISTRY");
        fs::remove_all(dir_);
    }
    IDispatch *create(const char16_t *progid) {
        CLSID clsid{};
        IDispatch *d = nullptr;
        EXPECT_EQ(zxax_CLSIDFromProgID(progid, &clsid), S_OK);
        EXPECT_EQ(zxax_CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                        reinterpret_cast<void **>(&d)),
                  S_OK);
        return d;
    }
    fs::path dir_;
};

const IID kIoXmlEvents = {0x6819142D, 0x9613, 0x4F34, {0xBF, 0xF5, 0x56, 0x06, 0xFC, 0x3D, 0x55, 0xE7}};
const IID kKalLogEvents = {0xF65DF366, 0xCD05, 0x4ACF, {0x93, 0xD0, 0xF8, 0x02, 0x7C, 0x0F, 0x0F, 0x6F}};

TEST_F(KalAxHost, IoXmlReadsAUnitsValuesWithTheEventsInOrder) {
    kalax::sim::Unit unit;
    ASSERT_TRUE(unit.start());
    IDispatch *io = create(u"KalAx.IoXml");
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    Sink sink;
    sink.connect(io, kIoXmlEvents);
    put(io, u"IP", vstr(u"127.0.0.1"));
    put(io, u"Port", vi4(unit.port()));
    EXPECT_EQ(call_long(io, u"Open"), 0);
    EXPECT_EQ(call_long(io, u"GetValuesXml"), 0);
    ASSERT_TRUE(pump_until([&] { return sink.events.size() >= 4; })) << sink.joined();
    const LONG count = call_long(io, u"GetValuesCount");
    EXPECT_EQ(count, 4 + 3 + 2);
    // open (status opened), start (the values request), connect, values with the count
    EXPECT_EQ(sink.joined(), "1:0,1 1:2,2 1:3,2 3:" + std::to_string(count) + " ");
    EXPECT_EQ(call_long(io, u"GetCount", {vi4(0)}), count);
    EXPECT_EQ(call_long(io, u"Close"), 0);
    EXPECT_EQ(sink.events.back(), "1:1,0");
    sink.disconnect();
    io->Release();
}

TEST_F(KalAxHost, AnUnreachableUnitEndsInOnError) {
    kalax::sim::Unit unit;
    ASSERT_TRUE(unit.start());
    const int port = unit.port();
    unit.stop();  // nobody listens there any more
    IDispatch *io = create(u"KalAx.IoXml");
    ASSERT_NE(io, nullptr);
    Sink sink;
    sink.connect(io, kIoXmlEvents);
    put(io, u"Port", vi4(port));
    EXPECT_EQ(call_long(io, u"Open"), 0);
    EXPECT_EQ(call_long(io, u"GetValuesXml"), 0);
    ASSERT_TRUE(pump_until([&] { return !sink.events.empty() && sink.events.back().rfind("6:", 0) == 0; }))
        << sink.joined();
    EXPECT_EQ(sink.events.back(), "6:2");  // IOXML_ERROR_GET_VALUES_XML
    VARIANT code, sys, sdk_desc, sys_desc;
    for (VARIANT *v : {&code, &sys, &sdk_desc, &sys_desc}) zxax_VariantInit(v);
    auto ref = [](VARIANT &v) {
        VARIANT r;
        zxax_VariantInit(&r);
        r.vt = VT_BYREF | VT_VARIANT;
        r.pvarVal = &v;
        return r;
    };
    ASSERT_EQ(call(io, u"GetLastError", {ref(code), ref(sys), ref(sdk_desc), ref(sys_desc), vi4(0)}), S_OK);
    EXPECT_NE(code.lVal, 0);
    EXPECT_EQ(sdk_desc.vt, VT_BSTR);
    EXPECT_GT(zxax_SysStringLen(sdk_desc.bstrVal), 0u);
    zxax_VariantClear(&sdk_desc);
    zxax_VariantClear(&sys_desc);
    sink.disconnect();
    io->Release();
}

TEST_F(KalAxHost, KalLogDownloadsReadsLinesAndAppendsToAFile) {
    kalax::sim::UnitConfig config;
    config.history_periods = 3;
    kalax::sim::Unit unit(config);
    ASSERT_TRUE(unit.start());
    IDispatch *log = create(u"KalAx.KalLog");
    ASSERT_NE(log, nullptr);
    Sink sink;
    sink.connect(log, kKalLogEvents);
    put(log, u"Port", vi4(unit.port()));
    put(log, u"Csv", vi4(1));
    EXPECT_EQ(call_long(log, u"Open"), 0);
    EXPECT_EQ(call_long(log, u"GetLogFile"), 0);
    ASSERT_TRUE(pump_until([&] { return !sink.events.empty() && sink.events.back().rfind("3:", 0) == 0; }))
        << sink.joined();
    const std::string csv = kalax::sim::format_log_csv(unit.log());
    ASSERT_GE(sink.events.size(), 5u);
    EXPECT_EQ(sink.events[0], "1:0,1");
    EXPECT_EQ(sink.events[1], "1:2,2");  // start: the CSV download
    EXPECT_EQ(sink.events[2], "1:3,2");  // connect
    EXPECT_EQ(sink.events[3].rfind("2:", 0), 0u) << sink.joined();  // OnRead
    EXPECT_EQ(sink.events.back(), "3:1," + std::to_string(csv.size()));

    // The download line by line.
    const std::string first = csv.substr(0, csv.find("\r\n"));
    VARIANT line;
    zxax_VariantInit(&line);
    ASSERT_EQ(call(log, u"ReadLnStr", {}, &line), S_OK);
    ASSERT_EQ(line.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(line.bstrVal, zxax_SysStringLen(line.bstrVal)),
              std::u16string(first.begin(), first.end()));
    zxax_VariantClear(&line);

    // Appended whole to a new file, from offset 0; a second time nothing is new.
    const std::string file = (dir_ / "log.csv").string();
    const std::u16string file16(file.begin(), file.end());
    VARIANT seek;
    zxax_VariantInit(&seek);
    VARIANT seek_ref;
    zxax_VariantInit(&seek_ref);
    seek_ref.vt = VT_BYREF | VT_VARIANT;
    seek_ref.pvarVal = &seek;
    VARIANT rc;
    zxax_VariantInit(&rc);
    ASSERT_EQ(call(log, u"WriteToFile", {vstr(file16.c_str()), seek_ref}, &rc), S_OK);
    EXPECT_GE(rc.lVal, 0);
    EXPECT_EQ(seek.lVal, 0);
    EXPECT_EQ(read_file(file), csv);
    ASSERT_EQ(call(log, u"WriteToFile", {vstr(file16.c_str()), seek_ref}, &rc), S_OK);
    EXPECT_EQ(seek.lVal, static_cast<LONG>(csv.size()));
    EXPECT_EQ(read_file(file), csv);
    sink.disconnect();
    log->Release();
}

TEST_F(KalAxHost, ALogDownloadRefusedWith401EndsInOnError) {
    kalax::sim::UnitConfig config;
    config.user = "admin";
    config.password = "secret";
    kalax::sim::Unit unit(config);
    ASSERT_TRUE(unit.start());
    IDispatch *log = create(u"KalAx.KalLog");
    ASSERT_NE(log, nullptr);
    Sink sink;
    sink.connect(log, kKalLogEvents);
    put(log, u"Port", vi4(unit.port()));
    put(log, u"Csv", vi4(1));
    put(log, u"Username", vstr(u"admin"));
    put(log, u"Password", vstr(u"wrong"));
    EXPECT_EQ(call_long(log, u"Open"), 0);
    EXPECT_EQ(call_long(log, u"GetLogFile"), 0);
    ASSERT_TRUE(pump_until([&] { return !sink.events.empty() && sink.events.back().rfind("5:", 0) == 0; }))
        << sink.joined();
    EXPECT_EQ(sink.events.back(), "5:2");  // KALLOG_ERROR_GET_CSV
    EXPECT_EQ(call_long(log, u"GetStatus"), 1);
    sink.disconnect();
    log->Release();
}

TEST_F(KalAxHost, RegisteringTwiceGivesTheSameBytesAndUnregisteringKeepsTheTypeLibrary) {
    const fs::path reg = dir_ / "registry.reg";
    const std::string once = read_file(reg);
    for (const char *key : {"[HKEY_CLASSES_ROOT\\KalAx.IoXml\\CLSID]", "[HKEY_CLASSES_ROOT\\KalAx.KalLog]",
                            "[HKEY_CLASSES_ROOT\\CLSID\\{F223A48E-70EE-46EB-AAB8-747C516F6F09}\\InprocServer32]",
                            "[HKEY_CLASSES_ROOT\\TypeLib\\{B1082E20-2751-4E4D-A268-819918F8E4C9}\\1.0\\409\\linux64]",
                            "[HKEY_CLASSES_ROOT\\Interface\\{C7D2C99A-D94F-4574-910E-7626D9AB603E}\\TypeLib]"})
        EXPECT_NE(once.find(key), std::string::npos) << key;
    EXPECT_NE(once.find("\"ThreadingModel\"=\"Apartment\""), std::string::npos);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(read_file(reg), once);

    EXPECT_EQ(DllUnregisterServer(), S_OK);
    const std::string after = read_file(reg);
    EXPECT_EQ(after.find("KalAx.IoXml"), std::string::npos);
    EXPECT_EQ(after.find("KalAx.KalLog"), std::string::npos);
    EXPECT_EQ(after.find("{F223A48E-70EE-46EB-AAB8-747C516F6F09}]"), std::string::npos);
    EXPECT_EQ(after.find("{C80A65B5-8700-4D13-93E0-86A352785263}"), std::string::npos);
    EXPECT_NE(after.find("TypeLib\\{B1082E20-2751-4E4D-A268-819918F8E4C9}"), std::string::npos);
    EXPECT_EQ(DllUnregisterServer(), S_OK);  // nothing left to delete is no failure
    CLSID clsid{};
    EXPECT_NE(zxax_CLSIDFromProgID(u"KalAx.IoXml", &clsid), S_OK);
}

TEST_F(KalAxHost, UnloadingIsRefusedWhileAnObjectLives) {
    IDispatch *log = create(u"KalAx.KalLog");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    log->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    IClassFactory *factory = nullptr;
    const CLSID other = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(DllGetClassObject(other, IID_IClassFactory, reinterpret_cast<void **>(&factory)),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(DllGetClassObject(other, IID_IClassFactory, nullptr), E_POINTER);
}

}  // namespace

namespace {

// A program that ends with an object alive and a request hanging on a unit
// that never answers: unloading shuts both clients down, and the exit does not
// wait for the unit.
TEST_F(KalAxHost, EndingWithARequestInFlightDoesNotHang) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A listener that never accepts: the kernel takes the connection and the
    // request, and nobody answers. No thread of its own, so the child that
    // re-runs this test starts with none but the library's.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    socklen_t len = sizeof at;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&at), &len), 0);
    const int port = ntohs(at.sin_port);
    EXPECT_EXIT(
        {
            IDispatch *io = create(u"KalAx.IoXml");
            IDispatch *log = create(u"KalAx.KalLog");
            put(io, u"Port", vi4(port));
            put(log, u"Port", vi4(port));
            call_long(io, u"Open");
            call_long(io, u"GetValuesXml");
            call_long(log, u"Open");
            call_long(log, u"GetLogFile");
            usleep(200 * 1000);  // both requests on their way
            std::exit(DllCanUnloadNow() == S_FALSE ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
    close(listener);
}

}  // namespace
