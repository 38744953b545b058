// The IDL text of a type library, from the same descriptions as IDispatch and
// ITypeInfo, for the platforms whose compiler builds the binary type library.
#include <cstdio>
#include <string>

#include "ax/com.h"
#include "ax/describe.h"

namespace kalax::ax {
namespace {

std::string uuid_text(const GUID &g) {
    const std::string braced = guid_text(g);
    return braced.substr(1, braced.size() - 2);
}

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

std::string type_name(const TypeRef &t) {
    switch (t.vt) {
    case VT_I2: return "short";
    case VT_I4: return "long";
    case VT_I8: return "__int64";
    case VT_UI1: return "unsigned char";
    case VT_UI2: return "unsigned short";
    case VT_UI4: return "unsigned long";
    case VT_R4: return "float";
    case VT_R8: return "double";
    case VT_BSTR: return "BSTR";
    case VT_VARIANT: return "VARIANT";
    case VT_DATE: return "DATE";
    case VT_BOOL: return "VARIANT_BOOL";
    case VT_DISPATCH: return "IDispatch*";
    case VT_UNKNOWN: return "IUnknown*";
    case VT_USERDEFINED: return t.user ? t.user->name : "long";
    default: return "long";
    }
}

std::string hex_id(DISPID id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(id));
    return buf;
}

std::string params_text(const MemberDesc &m) {
    std::string out;
    for (size_t i = 0; i < m.params.size(); ++i) {
        const ParamDesc &p = m.params[i];
        std::string attrs;
        if (p.flags & PARAMFLAG_FIN) attrs = "in";
        if (p.flags & PARAMFLAG_FOUT) attrs += attrs.empty() ? "out" : ", out";
        if (p.flags & PARAMFLAG_FRETVAL) attrs += ", retval";
        const bool by_ref = (p.flags & PARAMFLAG_FOUT) || (p.type.user && p.type.user->kind == TKIND_RECORD);
        if (i) out += ", ";
        out += "[" + attrs + "] " + type_name(p.type) + (by_ref ? " *" : " ") + p.name;
    }
    return out;
}

// A dispinterface takes no version (widl refuses one).
void header(std::string &out, const char *indent, const TypeDesc &t, const LibraryDesc &lib, bool version,
            std::initializer_list<const char *> extra) {
    out += std::string(indent) + "[\n";
    std::string lines = std::string(indent) + "  uuid(" + uuid_text(t.guid) + ")";
    if (version)
        lines += std::string(",\n") + indent + "  version(" + std::to_string(lib.major) + "." +
                 std::to_string(lib.minor) + ")";
    if (!t.doc.empty()) lines += std::string(",\n") + indent + "  helpstring(" + quoted(t.doc) + ")";
    for (const char *e : extra) lines += std::string(",\n") + indent + "  " + e;
    out += lines + "\n" + indent + "]\n";
}

}  // namespace

std::string idl_text(const LibraryDesc &lib) {
    std::string out = "// " + lib.name + ".idl: generated from the library's type descriptions; do not edit.\n\n"
                      "import \"oaidl.idl\";\n\n";
    out += "[\n  uuid(" + uuid_text(lib.libid) + "),\n  version(" + std::to_string(lib.major) + "." +
           std::to_string(lib.minor) + ")";
    if (!lib.doc.empty()) out += ",\n  helpstring(" + quoted(lib.doc) + ")";
    out += "\n]\nlibrary " + lib.name + "\n{\n  importlib(\"stdole2.tlb\");\n\n";
    for (const TypeDesc *t : lib.types)
        if (t->kind == TKIND_DISPATCH) out += std::string("  ") + (t->dual() ? "interface " : "dispinterface ") + t->name + ";\n";
    for (const TypeDesc *t : lib.types) {
        out += "\n";
        switch (t->kind) {
        case TKIND_ENUM:
            out += "  typedef enum " + t->name + "\n  {\n";
            for (size_t i = 0; i < t->items.size(); ++i)
                out += "    " + t->items[i].name + " = " + std::to_string(t->items[i].value) +
                       (i + 1 < t->items.size() ? ",\n" : "\n");
            out += "  } " + t->name + ";\n";
            break;
        case TKIND_RECORD:
            out += "  typedef [uuid(" + uuid_text(t->guid) + "), version(" + std::to_string(lib.major) + "." +
                   std::to_string(lib.minor) + ")] struct " + t->name + "\n  {\n";
            for (const FieldDesc &f : t->fields) out += "    " + type_name(f.type) + " " + f.name + ";\n";
            out += "  } " + t->name + ";\n";
            break;
        case TKIND_DISPATCH:
            if (t->dual()) {
                header(out, "  ", *t, lib, true, {"dual", "oleautomation"});
                out += "  interface " + t->name + " : IDispatch\n  {\n";
                for (const MemberDesc &m : t->members) {
                    const char *kind = m.kind == INVOKE_PROPERTYGET ? "propget, "
                                       : m.kind == INVOKE_PROPERTYPUT ? "propput, " : "";
                    out += "    [" + std::string(kind) + "id(" + hex_id(m.dispid) + ")] HRESULT " + m.name + "(" +
                           params_text(m) + ");\n";
                }
            } else {
                header(out, "  ", *t, lib, false, {});
                out += "  dispinterface " + t->name + "\n  {\n    properties:\n    methods:\n";
                for (const MemberDesc &m : t->members)
                    out += "    [id(" + hex_id(m.dispid) + ")] void " + m.name + "(" + params_text(m) + ");\n";
            }
            out += "  };\n";
            break;
        case TKIND_COCLASS:
            header(out, "  ", *t, lib, true, {});
            out += "  coclass " + t->name + "\n  {\n";
            for (const ImplDesc &i : t->impls) {
                std::string attrs;
                if (i.flags & IMPLTYPEFLAG_FDEFAULT) attrs = "default";
                if (i.flags & IMPLTYPEFLAG_FSOURCE) attrs += attrs.empty() ? "source" : ", source";
                out += "    " + (attrs.empty() ? std::string() : "[" + attrs + "] ") +
                       (i.iface->dual() ? "interface " : "dispinterface ") + i.iface->name + ";\n";
            }
            out += "  };\n";
            break;
        default:
            break;
        }
    }
    out += "};\n";
    return out;
}

}  // namespace kalax::ax
