#include "dummy.h"

#include <atomic>
#include <string>

namespace dummy {

using namespace kalax::ax;

namespace {

std::atomic<long> g_live{0};

class Dummy final : public AutomationObject<IDummy, &dummy_type, IID_IDummy> {
public:
    explicit Dummy(IUnknown *outer) : AutomationObject(outer, DIID_IDummyEvents) { ++g_live; }
    ~Dummy() override { --g_live; }

    HRESULT Add(int32_t A, int32_t B, int32_t *RetVal) override {
        *RetVal = A + B;
        return S_OK;
    }
    HRESULT Scale(double X, float F, double *RetVal) override {
        *RetVal = X * F;
        return S_OK;
    }
    HRESULT Describe(BSTR Name, VARIANT_BOOL Flag, BSTR *RetVal) override {
        std::u16string s{Bstr_view(Name)};
        s += Flag ? u":True" : u":False";
        *RetVal = bstr_from(s);
        return *RetVal ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT Split(int32_t In, int32_t *Low, int32_t *High) override {
        *Low = In & 0xFFFF;
        *High = static_cast<int32_t>(static_cast<uint32_t>(In) >> 16);
        return S_OK;
    }
    HRESULT get_Name(BSTR *Value) override {
        *Value = bstr_from(name_);
        return *Value ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT put_Name(BSTR Value) override {
        name_ = Bstr_view(Value);
        return S_OK;
    }
    HRESULT get_Count(int32_t *Value) override {
        *Value = count_;
        return S_OK;
    }
    HRESULT put_Count(int32_t Value) override {
        count_ = Value;
        return S_OK;
    }
    HRESULT Fail(int32_t Code, int32_t *) override {
        return report_error(E_FAIL, IID_IDummy, "Dummy", "failure " + std::to_string(Code));
    }
    HRESULT Fire(int32_t A, int32_t B, int32_t *RetVal) override {
        *RetVal = static_cast<int32_t>(events_.connections());
        events_.fire(1, {variant_i4(A), variant_i4(B)});
        return S_OK;
    }
    HRESULT Mix(DummyColor C, DummyColor *RetVal) override {
        *RetVal = static_cast<DummyColor>((C + 1) % 3);
        return S_OK;
    }
    HRESULT GetPoint(int32_t X, DummyPoint *P, int32_t *RetVal) override {
        P->X = X;
        P->Y = -X;
        zxax_SysFreeString(P->Label);
        P->Label = bstr_from(u"point");
        *RetVal = 0;
        return S_OK;
    }
    HRESULT When(DATE D, DATE *RetVal) override {
        *RetVal = D + 1;
        return S_OK;
    }
    HRESULT Bytes(int32_t N, VARIANT *RetVal) override {
        SAFEARRAY *a = zxax_SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(N));
        if (!a) return E_OUTOFMEMORY;
        void *data = nullptr;
        zxax_SafeArrayAccessData(a, &data);
        for (int32_t i = 0; i < N; ++i) static_cast<uint8_t *>(data)[i] = static_cast<uint8_t>(i);
        zxax_SafeArrayUnaccessData(a);
        RetVal->vt = VT_ARRAY | VT_UI1;
        RetVal->parray = a;
        return S_OK;
    }
    HRESULT Length(const DummyPoint *P, int32_t *RetVal) override {
        *RetVal = P->X * P->X + P->Y * P->Y + static_cast<int32_t>(zxax_SysStringLen(P->Label));
        return S_OK;
    }

    HRESULT fire_two(int32_t A, int32_t B) { return events_.fire(1, {variant_i4(A), variant_i4(B)}); }


private:
    static std::u16string_view Bstr_view(BSTR b) { return {b ? b : u"", zxax_SysStringLen(b)}; }

    std::u16string name_ = u"dummy";
    int32_t count_ = 0;
};

}  // namespace

namespace {

// One description of the whole library, built at once so that the types can
// point at each other and at their library.
struct DummyTypes {
    TypeDesc color = enum_type("DummyColor", "Colours of the dummy",
                               {{"DUMMY_RED", 0}, {"DUMMY_GREEN", 1}, {"DUMMY_BLUE", 2}});
    TypeDesc point = record_type("DummyPoint", GUID_DummyPoint, "A point with a label", sizeof(DummyPoint),
                                 alignof(DummyPoint),
                                 {ZXAX_FIELD(DummyPoint, X, VT_I4), ZXAX_FIELD(DummyPoint, Y, VT_I4),
                                  ZXAX_FIELD(DummyPoint, Label, VT_BSTR)});
    TypeDesc iface =
        InterfaceBuilder<IDummy>("IDummy", IID_IDummy, "Dispatch interface for Dummy Object")
            .method<&IDummy::Add>("Add", 1, {"A", "B", "RetVal"}, "A + B")
            .method<&IDummy::Scale>("Scale", 2, {"X", "F", "RetVal"})
            .method<&IDummy::Describe>("Describe", 3, {"Name", {"Flag", VT_BOOL}, "RetVal"})
            .method<&IDummy::Split>("Split", 4, {"In", "Low", "High"}, {}, false)
            .propget<&IDummy::get_Name>("Name", 5)
            .propput<&IDummy::put_Name>("Name", 5)
            .propget<&IDummy::get_Count>("Count", 6)
            .propput<&IDummy::put_Count>("Count", 6)
            .method<&IDummy::Fail>("Fail", 7, {"Code", "RetVal"})
            .method<&IDummy::Fire>("Fire", 8, {"A", "B", "RetVal"})
            .method<&IDummy::Mix>("Mix", 9, {{"C", color}, {"RetVal", color}})
            .method<&IDummy::GetPoint>("GetPoint", 10, {"X", {"P", point, PARAMFLAG_FOUT}, "RetVal"})
            .method<&IDummy::When>("When", 11, {{"D", VT_DATE}, {"RetVal", VT_DATE}})
            .method<&IDummy::Bytes>("Bytes", 12, {"N", "RetVal"})
            .method<&IDummy::Length>("Length", 13, {{"P", point}, "RetVal"})
            .build();
    TypeDesc events = InterfaceBuilder<IDispatch>("IDummyEvents", DIID_IDummyEvents,
                                                  "Events interface for Dummy Object", false)
                          .event("OnTwo", 1, {{"A", VT_I4}, {"B", VT_I4}})
                          .build();
    TypeDesc coclass = coclass_type("Dummy", CLSID_Dummy, "Dummy Object",
                                    {{&iface, IMPLTYPEFLAG_FDEFAULT},
                                     {&events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}});
    LibraryDesc lib;

    DummyTypes() {
        lib.name = "DummyLib";
        lib.libid = LIBID_DummyLib;
        lib.lcid = 1033;
        lib.doc = "Dummy type library";
        lib.add(color).add(point).add(iface).add(events).add(coclass);
    }
    DummyTypes(const DummyTypes &) = delete;
};

const DummyTypes &types() {
    static const DummyTypes t;
    return t;
}

}  // namespace

const TypeDesc &dummy_color_type() { return types().color; }
const TypeDesc &dummy_point_type() { return types().point; }
const TypeDesc &dummy_type() { return types().iface; }
const TypeDesc &dummy_events_type() { return types().events; }
const LibraryDesc &dummy_library() { return types().lib; }

HRESULT fire_from_here(IDummy *d, int32_t A, int32_t B) { return static_cast<Dummy *>(d)->fire_two(A, B); }

HRESULT create_dummy(IUnknown *outer, REFIID riid, void **ppv) { return create_instance<Dummy>(outer, riid, ppv); }

long live_dummies() { return g_live.load(); }

}  // namespace dummy
