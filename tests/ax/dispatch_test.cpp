// IDispatch from the description, connection points, aggregation and error
// info, on the dummy class created in this process.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "ax/apartment.h"
#include "dummy.h"

namespace {

using namespace kalax::ax;
using dummy::IDummy;

VARIANT i4(LONG v) { return variant_i4(v); }
VARIANT r8(double v) {
    VARIANT r;
    zxax_VariantInit(&r);
    r.vt = VT_R8;
    r.dblVal = v;
    return r;
}
// Borrowed strings: the caller frees them (the tests keep them in Bstr).
VARIANT str(const Bstr &b) {
    VARIANT r;
    zxax_VariantInit(&r);
    r.vt = VT_BSTR;
    r.bstrVal = b.get();
    return r;
}

class AxDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(zxax_CoInitialize(nullptr), S_OK);
        ASSERT_EQ(dummy::create_dummy(nullptr, IID_IDispatch, reinterpret_cast<void **>(disp_.put())), S_OK);
    }
    void TearDown() override {
        disp_.reset();
        EXPECT_EQ(dummy::live_dummies(), 0);
        zxax_CoUninitialize();
    }

    DISPID id(const char16_t *name) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID d = 0;
        EXPECT_EQ(disp_->GetIDsOfNames(IID_NULL, names, 1, 0, &d), S_OK);
        return d;
    }
    // Calls with the arguments given in declared order, as a host would store them.
    HRESULT call(DISPID member, std::vector<VARIANT> declared, VARIANT *result, WORD flags = DISPATCH_METHOD,
                 UINT *arg_err = nullptr, EXCEPINFO *excep = nullptr) {
        std::vector<VARIANT> rgvarg(declared.rbegin(), declared.rend());
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS p{rgvarg.data(), flags & DISPATCH_PROPERTYPUT ? &put : nullptr, static_cast<UINT>(rgvarg.size()),
                     flags & DISPATCH_PROPERTYPUT ? 1u : 0u};
        return disp_->Invoke(member, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &p, result, excep, arg_err);
    }

    ComPtr<IDispatch> disp_;
};

TEST_F(AxDispatch, NamesAreFoundWithoutRegardToCase) {
    EXPECT_EQ(id(u"add"), 1);
    EXPECT_EQ(id(u"NAME"), 5);
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"Describe"), const_cast<LPOLESTR>(u"flag"),
                        const_cast<LPOLESTR>(u"nope")};
    DISPID ids[3];
    EXPECT_EQ(disp_->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 3);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    names[0] = const_cast<LPOLESTR>(u"Missing");
    EXPECT_EQ(disp_->GetIDsOfNames(IID_NULL, names, 1, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
}

TEST_F(AxDispatch, ArgumentsArriveInDeclaredOrderFromLastFirstStorage) {
    Bstr name(zxax_SysAllocString(u"abc"));
    VARIANT flag;
    zxax_VariantInit(&flag);
    flag.vt = VT_BOOL;
    flag.boolVal = VARIANT_TRUE;
    Variant out;
    ASSERT_EQ(call(3, {str(name), flag}, &out), S_OK);
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(std::u16string_view(out.bstrVal), u"abc:True");

    // Named arguments, given in the other order.
    DISPID named[] = {0, 1};  // Name, Flag
    VARIANT args[] = {str(name), flag};
    DISPPARAMS p{args, named, 2, 2};
    Variant out2;
    ASSERT_EQ(disp_->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &p, &out2, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string_view(out2.bstrVal), u"abc:True");
}

TEST_F(AxDispatch, ArgumentsAreCoercedAsVariantChangeTypeDoes) {
    Bstr two(zxax_SysAllocString(u"2"));
    Variant out;
    ASSERT_EQ(call(1, {str(two), r8(3.5)}, &out), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 6);
    Bstr half(zxax_SysAllocString(u"0.5"));
    ASSERT_EQ(call(2, {i4(9), str(half)}, &out), S_OK);
    EXPECT_EQ(out.vt, VT_R8);
    EXPECT_EQ(out.dblVal, 4.5);
    // A date from its text, returned as a date.
    Bstr when(zxax_SysAllocString(u"2008-03-15 14:05:09"));
    ASSERT_EQ(call(11, {str(when)}, &out), S_OK);
    EXPECT_EQ(out.vt, VT_DATE);
    EXPECT_DOUBLE_EQ(out.date, 39523.0 + 50709.0 / 86400.0);
    // An enumeration travels as a 32-bit integer.
    ASSERT_EQ(call(9, {i4(dummy::DUMMY_BLUE)}, &out), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, dummy::DUMMY_RED);
}

TEST_F(AxDispatch, WrongArgumentsAreReportedWithTheirIndex) {
    Bstr x(zxax_SysAllocString(u"x"));
    Variant out;
    UINT arg_err = 99;
    EXPECT_EQ(call(1, {str(x), i4(1)}, &out, DISPATCH_METHOD, &arg_err), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err, 1u);  // the first declared argument sits last
    arg_err = 99;
    EXPECT_EQ(call(1, {i4(1), str(x)}, &out, DISPATCH_METHOD, &arg_err), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err, 0u);
    EXPECT_EQ(call(1, {r8(1e12), i4(1)}, &out, DISPATCH_METHOD, &arg_err), DISP_E_OVERFLOW);
    EXPECT_EQ(call(1, {i4(1)}, &out), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(call(1, {i4(1), i4(2), i4(3)}, &out), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(call(99, {}, &out), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(call(1, {i4(1), i4(2)}, &out, DISPATCH_PROPERTYPUT), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(out.vt, VT_EMPTY);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(disp_->Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
}

TEST_F(AxDispatch, PropertiesAreReadAndWritten) {
    Variant out;
    ASSERT_EQ(call(5, {}, &out, DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(std::u16string_view(out.bstrVal), u"dummy");
    Bstr name(zxax_SysAllocString(u"N\u00e4me"));
    ASSERT_EQ(call(5, {str(name)}, nullptr, DISPATCH_PROPERTYPUT), S_OK);
    Variant again;
    ASSERT_EQ(call(5, {}, &again, DISPATCH_METHOD | DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(std::u16string_view(again.bstrVal), u"N\u00e4me");
    // A put must name its value DISPID_PROPERTYPUT.
    VARIANT v = i4(3);
    DISPPARAMS unnamed{&v, nullptr, 1, 0};
    EXPECT_EQ(disp_->Invoke(6, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr),
              DISP_E_PARAMNOTOPTIONAL);
    ASSERT_EQ(call(6, {r8(3.0)}, nullptr, DISPATCH_PROPERTYPUT), S_OK);
    Variant count;
    ASSERT_EQ(call(6, {}, &count, DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(count.lVal, 3);
}

TEST_F(AxDispatch, OutParametersByReference) {
    LONG low = -1, high = -1;
    VARIANT l, h;
    zxax_VariantInit(&l);
    zxax_VariantInit(&h);
    l.vt = h.vt = VT_BYREF | VT_I4;
    l.plVal = &low;
    h.plVal = &high;
    ASSERT_EQ(call(4, {i4(0x00050003), l, h}, nullptr), S_OK);
    EXPECT_EQ(low, 3);
    EXPECT_EQ(high, 5);

    // Into variants, as script hosts pass them; what they held is freed.
    Variant vl, vh;
    vl.vt = VT_BSTR;
    vl.bstrVal = zxax_SysAllocString(u"old");
    VARIANT rl, rh;
    zxax_VariantInit(&rl);
    zxax_VariantInit(&rh);
    rl.vt = rh.vt = VT_BYREF | VT_VARIANT;
    rl.pvarVal = &vl;
    rh.pvarVal = &vh;
    ASSERT_EQ(call(4, {i4(0x00070001), rl, rh}, nullptr), S_OK);
    EXPECT_EQ(vl.vt, VT_I4);
    EXPECT_EQ(vl.lVal, 1);
    EXPECT_EQ(vh.lVal, 7);

    UINT arg_err = 99;
    EXPECT_EQ(call(4, {i4(1), i4(2), rh}, nullptr, DISPATCH_METHOD, &arg_err), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err, 1u);
    double wrong = 0;
    VARIANT rw;
    zxax_VariantInit(&rw);
    rw.vt = VT_BYREF | VT_R8;
    rw.pdblVal = &wrong;
    EXPECT_EQ(call(4, {i4(1), rl, rw}, nullptr, DISPATCH_METHOD, &arg_err), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err, 0u);
}

TEST_F(AxDispatch, RecordsAndArraysPassThrough) {
    ComPtr<IRecordInfo> info;
    ASSERT_EQ(record_info_of(dummy::dummy_point_type(), info.put()), S_OK);
    void *rec = info->RecordCreate();
    VARIANT r;
    zxax_VariantInit(&r);
    r.vt = VT_RECORD;
    r.brecVal.pvRecord = rec;
    r.brecVal.pRecInfo = info.get();
    Variant out;
    ASSERT_EQ(call(10, {i4(4), r}, &out), S_OK);
    auto *p = static_cast<dummy::DummyPoint *>(rec);
    EXPECT_EQ(p->X, 4);
    EXPECT_EQ(p->Y, -4);
    EXPECT_EQ(std::u16string_view(p->Label), u"point");
    ASSERT_EQ(call(13, {r}, &out), S_OK);
    EXPECT_EQ(out.lVal, 16 + 16 + 5);
    info->RecordDestroy(rec);
    UINT arg_err = 9;
    EXPECT_EQ(call(13, {i4(1)}, &out, DISPATCH_METHOD, &arg_err), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err, 0u);

    Variant bytes;
    ASSERT_EQ(call(12, {i4(3)}, &bytes), S_OK);
    ASSERT_EQ(bytes.vt, VT_ARRAY | VT_UI1);
    LONG hi = 0;
    ASSERT_EQ(zxax_SafeArrayGetUBound(bytes.parray, 1, &hi), S_OK);
    EXPECT_EQ(hi, 2);
    LONG at = 2;
    uint8_t b = 0;
    ASSERT_EQ(zxax_SafeArrayGetElement(bytes.parray, &at, &b), S_OK);
    EXPECT_EQ(b, 2);
}

TEST_F(AxDispatch, AFailingMemberGivesDispExceptionFromItsErrorInfo) {
    Variant out;
    EXCEPINFO e{};
    ASSERT_EQ(call(7, {i4(7)}, &out, DISPATCH_METHOD, nullptr, &e), DISP_E_EXCEPTION);
    EXPECT_EQ(e.scode, E_FAIL);
    EXPECT_EQ(std::u16string_view(e.bstrDescription), u"failure 7");
    EXPECT_EQ(std::u16string_view(e.bstrSource), u"Dummy");
    zxax_SysFreeString(e.bstrSource);
    zxax_SysFreeString(e.bstrDescription);
    zxax_SysFreeString(e.bstrHelpFile);
    IErrorInfo *left = nullptr;
    EXPECT_EQ(zxax_GetErrorInfo(0, &left), S_FALSE);  // taken into EXCEPINFO

    // Without EXCEPINFO the caller finds it with zxax_GetErrorInfo, once.
    ASSERT_EQ(call(7, {i4(8)}, &out), DISP_E_EXCEPTION);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(zxax_GetErrorInfo(0, info.put()), S_OK);
    Bstr desc;
    ASSERT_EQ(info->GetDescription(desc.put()), S_OK);
    EXPECT_EQ(desc.view(), u"failure 8");
    GUID g{};
    ASSERT_EQ(info->GetGUID(&g), S_OK);
    EXPECT_EQ(g, dummy::IID_IDummy);
    EXPECT_EQ(zxax_GetErrorInfo(0, info.put()), S_FALSE);

    ComPtr<ISupportErrorInfo> sei;
    ASSERT_EQ(disp_->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void **>(sei.put())), S_OK);
    EXPECT_EQ(sei->InterfaceSupportsErrorInfo(dummy::IID_IDummy), S_OK);
    EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
}

TEST_F(AxDispatch, ErrorInfoBelongsToItsThread) {
    ASSERT_EQ(call(7, {i4(1)}, nullptr), DISP_E_EXCEPTION);
    HRESULT other = S_OK;
    std::thread([&] {
        IErrorInfo *info = nullptr;
        other = zxax_GetErrorInfo(0, &info);
    }).join();
    EXPECT_EQ(other, S_FALSE);
    ComPtr<IErrorInfo> mine;
    EXPECT_EQ(zxax_GetErrorInfo(0, mine.put()), S_OK);
}

TEST_F(AxDispatch, CallsFromAnotherThreadAreRefused) {
    HRESULT hr = S_OK, advise = S_OK;
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(disp_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(cpc.put())), S_OK);
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(dummy::DIID_IDummyEvents, cp.put()), S_OK);
    std::thread([&] {
        VARIANT args[] = {i4(1), i4(2)};
        DISPPARAMS p{args, nullptr, 2, 0};
        VARIANT out;
        zxax_VariantInit(&out);
        hr = disp_->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &p, &out, nullptr, nullptr);
        DWORD cookie = 0;
        advise = cp->Advise(disp_.get(), &cookie);
    }).join();
    EXPECT_EQ(hr, RPC_E_WRONG_THREAD);
    EXPECT_EQ(advise, RPC_E_WRONG_THREAD);
}

// A sink that counts events and may act inside one.
class Sink final : public IDispatch {
public:
    std::vector<std::pair<LONG, LONG>> seen;
    std::function<void()> on_event;
    int index = 0;
    std::vector<int> *order = nullptr;

    HRESULT QueryInterface(REFIID riid, void **ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }  // lives on the test's stack
    HRESULT GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *p, VARIANT *, EXCEPINFO *,
                   UINT *) override {
        EXPECT_EQ(id, 1);
        EXPECT_EQ(riid, IID_NULL);
        EXPECT_EQ(lcid, static_cast<LCID>(LOCALE_SYSTEM_DEFAULT));
        EXPECT_EQ(flags, DISPATCH_METHOD);
        EXPECT_EQ(p->cArgs, 2u);
        EXPECT_EQ(p->rgvarg[0].vt, VT_I4);
        seen.emplace_back(p->rgvarg[1].lVal, p->rgvarg[0].lVal);  // declared order: A then B
        if (order) order->push_back(index);
        if (on_event) on_event();
        return S_OK;
    }
    ULONG refs = 0;
};

TEST_F(AxDispatch, FiveSinksAtMostEachCalledInSlotOrder) {
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(disp_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(cpc.put())), S_OK);
    ComPtr<IConnectionPoint> cp;
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IDispatch, cp.put()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(cpc->FindConnectionPoint(dummy::DIID_IDummyEvents, cp.put()), S_OK);
    IID iid{};
    ASSERT_EQ(cp->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, dummy::DIID_IDummyEvents);
    Sink sinks[6];
    std::vector<int> order;
    DWORD cookies[6] = {};
    for (int i = 0; i < 5; ++i) {
        sinks[i].index = i;
        sinks[i].order = &order;
        ASSERT_EQ(cp->Advise(&sinks[i], &cookies[i]), S_OK);
        EXPECT_EQ(cookies[i], static_cast<DWORD>(i + 1));
    }
    EXPECT_EQ(cp->Advise(&sinks[5], &cookies[5]), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(sinks[5].refs, 0u);
    Variant out;
    ASSERT_EQ(call(8, {i4(10), i4(20)}, &out), S_OK);
    EXPECT_EQ(out.lVal, 5);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sinks[i].seen, (std::vector<std::pair<LONG, LONG>>{{10, 20}}));

    ComPtr<IEnumConnections> e;
    ASSERT_EQ(cp->EnumConnections(e.put()), S_OK);
    CONNECTDATA cd[6];
    ULONG got = 0;
    EXPECT_EQ(e->Next(6, cd, &got), S_FALSE);
    EXPECT_EQ(got, 5u);
    for (ULONG i = 0; i < got; ++i) cd[i].pUnk->Release();
    e.reset();  // its snapshot holds the sinks too

    EXPECT_EQ(cp->Unadvise(3), S_OK);
    EXPECT_EQ(cp->Unadvise(3), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(6), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(cp->Advise(&sinks[5], &cookies[5]), S_OK);
    EXPECT_EQ(cookies[5], 3u);  // the freed slot
    for (DWORD c = 1; c <= 5; ++c) EXPECT_EQ(cp->Unadvise(c), S_OK);
    for (const Sink &s : sinks) EXPECT_EQ(s.refs, 0u);
}

TEST_F(AxDispatch, EventsFireOnlyOnTheOwnerThread) {
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(disp_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(cpc.put())), S_OK);
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(dummy::DIID_IDummyEvents, cp.put()), S_OK);
    Sink sink;
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    ComPtr<IDummy> d;
    ASSERT_EQ(disp_->QueryInterface(dummy::IID_IDummy, reinterpret_cast<void **>(d.put())), S_OK);
    HRESULT off = S_OK;
    std::thread([&] { off = dummy::fire_from_here(d.get(), 1, 2); }).join();
    EXPECT_EQ(off, RPC_E_WRONG_THREAD);
    EXPECT_TRUE(sink.seen.empty());
    EXPECT_EQ(dummy::fire_from_here(d.get(), 3, 4), S_OK);
    EXPECT_EQ(sink.seen, (std::vector<std::pair<LONG, LONG>>{{3, 4}}));
    EXPECT_EQ(cp->Unadvise(cookie), S_OK);
}

TEST_F(AxDispatch, ASinkMayUnadviseItselfAndOthersInsideAnEvent) {
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(disp_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(cpc.put())), S_OK);
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(dummy::DIID_IDummyEvents, cp.put()), S_OK);
    Sink a, b;
    DWORD ca = 0, cb = 0;
    ASSERT_EQ(cp->Advise(&a, &ca), S_OK);
    ASSERT_EQ(cp->Advise(&b, &cb), S_OK);
    a.on_event = [&] {
        EXPECT_EQ(cp->Unadvise(ca), S_OK);
        EXPECT_EQ(cp->Unadvise(cb), S_OK);
        EXPECT_GE(a.refs, 1u);  // still held by the firing
    };
    ASSERT_EQ(call(8, {i4(1), i4(2)}, nullptr), S_OK);
    EXPECT_EQ(a.seen.size(), 1u);
    EXPECT_EQ(b.seen.size(), 1u);  // the event had begun for it
    EXPECT_EQ(a.refs, 0u);
    EXPECT_EQ(b.refs, 0u);
    ASSERT_EQ(call(8, {i4(3), i4(4)}, nullptr), S_OK);
    EXPECT_EQ(a.seen.size(), 1u);
}

TEST_F(AxDispatch, ASinkMayReleaseTheLastReferenceInsideAnEvent) {
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(disp_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(cpc.put())), S_OK);
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(dummy::DIID_IDummyEvents, cp.put()), S_OK);
    Sink a, b;
    DWORD ca = 0, cb = 0;
    ASSERT_EQ(cp->Advise(&a, &ca), S_OK);
    ASSERT_EQ(cp->Advise(&b, &cb), S_OK);
    cpc.reset();
    IConnectionPoint *raw_cp = cp.detach();
    IDispatch *raw = disp_.detach();
    // The first sink drops every reference the test held; the object lives
    // until the firing ends, and the second sink is still called.
    a.on_event = [&] {
        raw_cp->Release();
        raw->Release();
        EXPECT_EQ(dummy::live_dummies(), 1);
    };
    VARIANT args[] = {i4(2), i4(1)};
    DISPPARAMS p{args, nullptr, 2, 0};
    EXPECT_EQ(raw->Invoke(8, IID_NULL, 0, DISPATCH_METHOD, &p, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(b.seen.size(), 1u);
    EXPECT_EQ(dummy::live_dummies(), 0);
    EXPECT_EQ(a.refs, 0u);  // the object's end released both sinks
    EXPECT_EQ(b.refs, 0u);
}

// An outer object that aggregates a dummy.
class Outer final : public IUnknown {
public:
    IUnknown *inner = nullptr;
    ULONG refs = 1;
    HRESULT QueryInterface(REFIID riid, void **ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
};

TEST(AxAggregation, TheInnerObjectAnswersForTheOuterOne) {
    Outer outer;
    void *p = nullptr;
    EXPECT_EQ(dummy::create_dummy(&outer, IID_IDispatch, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(dummy::live_dummies(), 0);
    const long locks = module_locks();
    ASSERT_EQ(dummy::create_dummy(&outer, IID_IUnknown, reinterpret_cast<void **>(&outer.inner)), S_OK);
    EXPECT_EQ(module_locks(), locks + 1);
    EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference to its outer

    IDummy *d = nullptr;
    ASSERT_EQ(outer.QueryInterface(dummy::IID_IDummy, reinterpret_cast<void **>(&d)), S_OK);
    EXPECT_EQ(outer.refs, 2u);  // the interface counts on the outer object
    IUnknown *identity = nullptr;
    ASSERT_EQ(d->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
    EXPECT_EQ(identity, &outer);
    identity->Release();
    int32_t sum = 0;
    EXPECT_EQ(d->Add(2, 3, &sum), S_OK);
    EXPECT_EQ(sum, 5);
    d->Release();
    EXPECT_EQ(outer.refs, 1u);

    outer.inner->Release();
    outer.inner = nullptr;
    EXPECT_EQ(dummy::live_dummies(), 0);
    EXPECT_EQ(module_locks(), locks);
}

TEST(AxFactory, CreatesAloneOrAggregatedAndCountsServerLocks) {
    ComPtr<IClassFactory> f;
    ASSERT_EQ(class_factory(&dummy::create_dummy, IID_IClassFactory, reinterpret_cast<void **>(f.put())), S_OK);
    const long locks = module_locks();
    ASSERT_EQ(f->LockServer(1), S_OK);
    EXPECT_EQ(module_locks(), locks + 1);
    ASSERT_EQ(f->LockServer(0), S_OK);
    EXPECT_EQ(module_locks(), locks);
    Outer outer;
    void *p = nullptr;
    EXPECT_EQ(f->CreateInstance(&outer, dummy::IID_IDummy, &p), CLASS_E_NOAGGREGATION);
    ComPtr<IDummy> d;
    ASSERT_EQ(f->CreateInstance(nullptr, dummy::IID_IDummy, reinterpret_cast<void **>(d.put())), S_OK);
    EXPECT_EQ(module_locks(), locks + 1);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_ITypeLib, &p), E_NOINTERFACE);
    EXPECT_EQ(dummy::live_dummies(), 1);  // the failed query freed its object
}

}  // namespace
