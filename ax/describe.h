// One static description of each type of a type library: interfaces with their
// members (names, DISPIDs, parameter types, directions, property get/put),
// enumerations, records and coclasses. IDispatch, ITypeInfo, ITypeLib,
// IRecordInfo and the IDL text are all derived from it.
//
// An interface is described with the member functions of its C++ class, so the
// parameter types and the vtable slot come from the compiler:
//
//   const TypeDesc &calc_type() {
//       static const TypeDesc d = InterfaceBuilder<ICalc>("ICalc", IID_ICalc, "Calculator")
//           .method<&ICalc::Add>("Add", 1, {"A", "B", "RetVal"})
//           .propget<&ICalc::get_Name>("Name", 2)
//           .propput<&ICalc::put_Name>("Name", 2)
//           .build();
//       return d;
//   }
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kalax/ax.h"

namespace kalax::ax {

struct TypeDesc;
struct LibraryDesc;

// An automation type; VT_USERDEFINED with `user` for an enumeration or a record.
struct TypeRef {
    VARTYPE vt = VT_EMPTY;
    const TypeDesc *user = nullptr;
};

struct ParamDesc {
    std::string name;
    TypeRef type;
    USHORT flags = PARAMFLAG_FIN;  // PARAMFLAG_FIN / FOUT / FRETVAL
};

// One argument on its way into a member: `value` holds a coerced [in] value,
// `ref` points at the storage of an [out] value.
struct ArgSlot {
    VARIANT value;
    void *ref;
};

using MemberCall = HRESULT (*)(void *self, ArgSlot *args);

struct MemberDesc {
    std::string name;
    DISPID dispid = 0;
    INVOKEKIND kind = INVOKE_FUNC;
    std::vector<ParamDesc> params;  // in declared order, the retval last
    std::string doc;
    short slot = -1;             // vtable slot; -1 for a dispatch-only member
    MemberCall call = nullptr;   // null for a dispatch-only member

    bool has_retval() const { return !params.empty() && (params.back().flags & PARAMFLAG_FRETVAL); }
    // Parameters a caller passes through Invoke (the retval is the result).
    size_t arg_count() const { return params.size() - (has_retval() ? 1 : 0); }
};

struct EnumItem {
    std::string name;
    LONG value;
};

struct FieldDesc {
    std::string name;
    TypeRef type;
    ULONG offset;
};

struct ImplDesc {
    const TypeDesc *iface;
    INT flags;  // IMPLTYPEFLAG_*
};

struct TypeDesc {
    TYPEKIND kind = TKIND_DISPATCH;
    std::string name;
    GUID guid{};
    std::string doc;
    WORD flags = 0;  // TYPEFLAG_*
    const LibraryDesc *library = nullptr;  // set by LibraryDesc::add
    std::vector<MemberDesc> members;       // TKIND_DISPATCH
    std::vector<EnumItem> items;           // TKIND_ENUM
    std::vector<FieldDesc> fields;         // TKIND_RECORD
    ULONG size = 0;                        // TKIND_RECORD
    WORD align = 0;                        // TKIND_RECORD
    std::vector<ImplDesc> impls;           // TKIND_COCLASS

    bool dual() const { return flags & TYPEFLAG_FDUAL; }
    const MemberDesc *find(DISPID id, INVOKEKIND kind) const;
};

struct LibraryDesc {
    std::string name;
    GUID libid{};
    WORD major = 1, minor = 0;
    LCID lcid = 0;
    std::string doc;
    std::vector<const TypeDesc *> types;

    // Adds a type (its description must outlive the library) and ties it to this one.
    LibraryDesc &add(TypeDesc &type) {
        type.library = this;
        types.push_back(&type);
        return *this;
    }
    int index_of(const TypeDesc *type) const;
};

// ---- building descriptions --------------------------------------------------
// A parameter as the description names it; the type comes from the C++
// signature unless given (VT_DATE for a double, VT_BOOL for a short, a user
// type for an enumeration or record).
struct P {
    const char *name;
    VARTYPE vt = VT_EMPTY;
    const TypeDesc *user = nullptr;
    USHORT flags = 0;  // 0: from the signature (a pointer is [out])
    P(const char *n) : name(n) {}  // NOLINT: names are given as plain strings
    P(const char *n, VARTYPE t, USHORT f = 0) : name(n), vt(t), flags(f) {}
    P(const char *n, const TypeDesc &u, USHORT f = 0) : name(n), vt(VT_USERDEFINED), user(&u), flags(f) {}
};

namespace detail {

template <typename T>
struct Arg {
    static constexpr bool supported = false;
};
#define ZXAX_ARG(T, VT, FIELD)                                    \
    template <>                                                   \
    struct Arg<T> {                                               \
        static constexpr bool supported = true;                   \
        static constexpr VARTYPE vt = VT;                         \
        static constexpr bool out = false;                        \
        static T get(ArgSlot &s) { return s.value.FIELD; }        \
    };
ZXAX_ARG(int32_t, VT_I4, lVal)
ZXAX_ARG(uint32_t, VT_UI4, ulVal)
ZXAX_ARG(int16_t, VT_I2, iVal)
ZXAX_ARG(uint16_t, VT_UI2, uiVal)
ZXAX_ARG(uint8_t, VT_UI1, bVal)
ZXAX_ARG(int64_t, VT_I8, llVal)
ZXAX_ARG(float, VT_R4, fltVal)
ZXAX_ARG(double, VT_R8, dblVal)
ZXAX_ARG(BSTR, VT_BSTR, bstrVal)
ZXAX_ARG(IDispatch *, VT_DISPATCH, pdispVal)
ZXAX_ARG(IUnknown *, VT_UNKNOWN, punkVal)
#undef ZXAX_ARG
template <>
struct Arg<VARIANT> {
    static constexpr bool supported = true;
    static constexpr VARTYPE vt = VT_VARIANT;
    static constexpr bool out = false;
    static VARIANT get(ArgSlot &s) { return s.value; }
};
// Enumerations travel as 32-bit integers.
template <typename E>
    requires std::is_enum_v<E>
struct Arg<E> {
    static_assert(sizeof(E) == 4);
    static constexpr bool supported = true;
    static constexpr VARTYPE vt = VT_I4;
    static constexpr bool out = false;
    static E get(ArgSlot &s) { return static_cast<E>(s.value.lVal); }
};
// A pointer to an automation type is an [out] value; a pointer to a record is
// the record (its direction given by the description, [in] by default).
template <typename T>
struct Arg<T *> {
    static constexpr bool scalar = Arg<std::remove_const_t<T>>::supported;
    static constexpr bool supported = true;
    static constexpr VARTYPE vt = [] {
        if constexpr (scalar) return Arg<std::remove_const_t<T>>::vt;
        else return static_cast<VARTYPE>(VT_RECORD);
    }();
    static constexpr bool out = scalar && !std::is_const_v<T>;
    static T *get(ArgSlot &s) { return static_cast<T *>(s.ref); }
};

template <typename M>
struct Signature;
template <typename C, typename... A>
struct Signature<HRESULT (C::*)(A...)> {
    using Class = C;
    static constexpr size_t count = sizeof...(A);
};

template <auto M, typename C, typename... A, size_t... Is>
HRESULT call(void *self, ArgSlot *args, HRESULT (C::*)(A...), std::index_sequence<Is...>) {
    return (static_cast<C *>(self)->*M)(Arg<A>::get(args[Is])...);
}

template <auto M>
HRESULT thunk(void *self, ArgSlot *args) {
    return call<M>(self, args, M, std::make_index_sequence<Signature<decltype(M)>::count>());
}

template <typename C, typename... A>
void param_types(HRESULT (C::*)(A...), std::vector<ParamDesc> &out) {
    (out.push_back(ParamDesc{{}, {Arg<A>::vt, nullptr}, static_cast<USHORT>(Arg<A>::out ? PARAMFLAG_FOUT : PARAMFLAG_FIN)}),
     ...);
}

// The vtable slot of a virtual member function: a pointer to one holds 1 plus
// the slot's byte offset in its first word (the Itanium C++ ABI, also MinGW's);
// on ARM the offset stands alone and the flag sits in the second word.
template <auto M>
short slot_of() {
    static_assert(sizeof(M) == 2 * sizeof(uintptr_t));
    uintptr_t words[2];
    const auto m = M;
    std::memcpy(words, &m, sizeof words);
#if defined(__arm__) || defined(__aarch64__)
    return (words[1] & 1) ? static_cast<short>(words[0] / sizeof(void *)) : -1;
#else
    return (words[0] & 1) ? static_cast<short>((words[0] - 1) / sizeof(void *)) : -1;
#endif
}

void finish_member(MemberDesc &m, std::initializer_list<P> names, bool retval);

}  // namespace detail

template <typename I>
class InterfaceBuilder {
public:
    // A dual interface by default; `dual` false gives a dispatch-only
    // interface (an event interface) whose members are listed with event().
    InterfaceBuilder(std::string name, const IID &iid, std::string doc, bool dual = true) {
        d_.kind = TKIND_DISPATCH;
        d_.name = std::move(name);
        d_.guid = iid;
        d_.doc = std::move(doc);
        d_.flags = dual ? TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION : TYPEFLAG_FDISPATCHABLE;
    }

    // The last [out] parameter of a method is its retval unless `retval` is false.
    template <auto M>
    InterfaceBuilder &method(std::string name, DISPID id, std::initializer_list<P> params, std::string doc = {},
                             bool retval = true) {
        return member<M>(std::move(name), id, INVOKE_FUNC, params, std::move(doc), retval);
    }
    template <auto M>
    InterfaceBuilder &propget(std::string name, DISPID id, P value = "Value", std::string doc = {}) {
        return member<M>(std::move(name), id, INVOKE_PROPERTYGET, {value}, std::move(doc), true);
    }
    template <auto M>
    InterfaceBuilder &propput(std::string name, DISPID id, P value = "Value", std::string doc = {}) {
        return member<M>(std::move(name), id, INVOKE_PROPERTYPUT, {value}, std::move(doc), false);
    }
    // A member of a dispatch-only interface: every parameter's type is given.
    InterfaceBuilder &event(std::string name, DISPID id, std::initializer_list<P> params, std::string doc = {}) {
        MemberDesc m;
        m.name = std::move(name);
        m.dispid = id;
        m.doc = std::move(doc);
        for (const P &p : params) m.params.push_back(ParamDesc{{}, {p.vt, p.user}, PARAMFLAG_FIN});
        detail::finish_member(m, params, false);
        d_.members.push_back(std::move(m));
        return *this;
    }

    TypeDesc build() { return std::move(d_); }

private:
    template <auto M>
    InterfaceBuilder &member(std::string name, DISPID id, INVOKEKIND kind, std::initializer_list<P> params,
                             std::string doc, bool retval) {
        static_assert(std::is_base_of_v<typename detail::Signature<decltype(M)>::Class, I>);
        MemberDesc m;
        m.name = std::move(name);
        m.dispid = id;
        m.kind = kind;
        m.doc = std::move(doc);
        m.slot = detail::slot_of<M>();
        m.call = &detail::thunk<M>;
        detail::param_types(M, m.params);
        detail::finish_member(m, params, retval);
        d_.members.push_back(std::move(m));
        return *this;
    }

    TypeDesc d_;
};

TypeDesc enum_type(std::string name, std::string doc, std::initializer_list<EnumItem> items);
TypeDesc record_type(std::string name, const GUID &guid, std::string doc, ULONG size, WORD align,
                     std::initializer_list<FieldDesc> fields);
TypeDesc coclass_type(std::string name, const CLSID &clsid, std::string doc, std::initializer_list<ImplDesc> impls);

// Field of a record: `ZXAX_FIELD(XmlSensorT, Port, VT_I4)`.
#define ZXAX_FIELD(Rec, Name, VT) ::kalax::ax::FieldDesc{#Name, {VT, nullptr}, offsetof(Rec, Name)}

// ---- what the descriptions give ----------------------------------------------
// A new type info of `type` (its library's, when it has one).
HRESULT type_info_of(const TypeDesc &type, ITypeInfo **out);
HRESULT type_lib_of(const LibraryDesc &lib, ITypeLib **out);
// A record info for a TKIND_RECORD type.
HRESULT record_info_of(const TypeDesc &type, IRecordInfo **out);

// The IDL text of a library: what a Windows build compiles into its type library.
std::string idl_text(const LibraryDesc &lib);

}  // namespace kalax::ax
