// Building type descriptions: members checked against their signatures,
// enumerations, records and classes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ax/describe.h"

namespace kalax::ax {

const MemberDesc *TypeDesc::find(DISPID id, INVOKEKIND kind) const {
    for (const MemberDesc &m : members)
        if (m.dispid == id && m.kind == kind) return &m;
    return nullptr;
}

int LibraryDesc::index_of(const TypeDesc *type) const {
    for (size_t i = 0; i < types.size(); ++i)
        if (types[i] == type) return static_cast<int>(i);
    return -1;
}

namespace detail {

// A description that does not match its signature is a bug in the library
// itself: it fails at once, on first use, in every test that touches it.
[[noreturn]] void bad_description(const std::string &what) {
    std::fprintf(stderr, "kalax: broken type description: %s\n", what.c_str());
    std::abort();
}

void finish_member(MemberDesc &m, std::initializer_list<P> names, bool retval) {
    if (names.size() != m.params.size())
        bad_description(m.name + ": " + std::to_string(names.size()) + " names for " +
                        std::to_string(m.params.size()) + " parameters");
    size_t i = 0;
    for (const P &p : names) {
        ParamDesc &d = m.params[i++];
        d.name = p.name;
        if (p.vt != VT_EMPTY) {
            const VARTYPE had = d.type.vt;
            d.type = {p.vt, p.user};
            const bool fits = (p.vt == VT_DATE && had == VT_R8) || (p.vt == VT_BOOL && had == VT_I2) ||
                              p.vt == had || (p.vt == VT_USERDEFINED && p.user &&
                                              (p.user->kind == TKIND_ENUM ? had == VT_I4 : had == VT_RECORD)) ||
                              m.call == nullptr;
            if (!fits) bad_description(m.name + "." + d.name + ": the given type does not fit the C++ parameter");
        }
        if (p.flags) d.flags = p.flags;
    }
    if (retval && m.kind != INVOKE_PROPERTYPUT && !m.params.empty() && (m.params.back().flags & PARAMFLAG_FOUT))
        m.params.back().flags |= PARAMFLAG_FRETVAL;
    if (m.kind == INVOKE_PROPERTYGET && !m.has_retval()) bad_description(m.name + ": a property get without its value");
}

}  // namespace detail

namespace {

TypeDesc described(TYPEKIND kind, std::string name, const GUID &guid, std::string doc) {
    TypeDesc d;
    d.kind = kind;
    d.name = std::move(name);
    d.guid = guid;
    d.doc = std::move(doc);
    return d;
}

}  // namespace

TypeDesc enum_type(std::string name, std::string doc, std::initializer_list<EnumItem> items) {
    TypeDesc d = described(TKIND_ENUM, std::move(name), GUID{}, std::move(doc));
    d.items = items;
    return d;
}

TypeDesc record_type(std::string name, const GUID &guid, std::string doc, ULONG size, WORD align,
                     std::initializer_list<FieldDesc> fields) {
    TypeDesc d = described(TKIND_RECORD, std::move(name), guid, std::move(doc));
    d.size = size;
    d.align = align;
    d.fields = fields;
    return d;
}

TypeDesc coclass_type(std::string name, const CLSID &clsid, std::string doc, std::initializer_list<ImplDesc> impls) {
    TypeDesc d = described(TKIND_COCLASS, std::move(name), clsid, std::move(doc));
    d.flags = TYPEFLAG_FCANCREATE;
    d.impls = impls;
    return d;
}

}  // namespace kalax::ax
