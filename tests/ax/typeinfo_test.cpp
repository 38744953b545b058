// What a host learns from the type information, the record info, and the IDL
// text generated from the same descriptions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "dummy.h"

namespace {

using namespace kalax::ax;

class AxTypeInfo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(dummy::create_dummy(nullptr, IID_IDispatch, reinterpret_cast<void **>(disp_.put())), S_OK);
        UINT n = 0;
        ASSERT_EQ(disp_->GetTypeInfoCount(&n), S_OK);
        ASSERT_EQ(n, 1u);
        ASSERT_EQ(disp_->GetTypeInfo(0, 0, info_.put()), S_OK);
    }
    ComPtr<IDispatch> disp_;
    ComPtr<ITypeInfo> info_;
};

TEST_F(AxTypeInfo, TheInterfaceListsItsMembersInSlotOrder) {
    TYPEATTR *a = nullptr;
    ASSERT_EQ(info_->GetTypeAttr(&a), S_OK);
    EXPECT_EQ(a->guid, dummy::IID_IDummy);
    EXPECT_EQ(a->typekind, TKIND_DISPATCH);
    EXPECT_EQ(a->cFuncs, 15);
    EXPECT_TRUE(a->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_EQ(a->cbSizeVft, 22 * 8);
    EXPECT_EQ(a->wMajorVerNum, 1);
    EXPECT_EQ(a->lcid, 1033u);
    const WORD funcs = a->cFuncs;
    info_->ReleaseTypeAttr(a);
    for (UINT i = 0; i < funcs; ++i) {
        FUNCDESC *f = nullptr;
        ASSERT_EQ(info_->GetFuncDesc(i, &f), S_OK);
        EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + i) * 8)) << i;
        EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
        info_->ReleaseFuncDesc(f);
    }
    FUNCDESC *f = nullptr;
    EXPECT_EQ(info_->GetFuncDesc(funcs, &f), TYPE_E_ELEMENTNOTFOUND);

    ASSERT_EQ(info_->GetFuncDesc(0, &f), S_OK);  // Add(A, B, RetVal)
    EXPECT_EQ(f->memid, 1);
    EXPECT_EQ(f->invkind, INVOKE_FUNC);
    ASSERT_EQ(f->cParams, 3);
    EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_I4);
    EXPECT_EQ(f->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FIN);
    EXPECT_EQ(f->lprgelemdescParam[2].tdesc.vt, VT_PTR);
    EXPECT_EQ(f->lprgelemdescParam[2].tdesc.lptdesc->vt, VT_I4);
    EXPECT_EQ(f->lprgelemdescParam[2].paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    info_->ReleaseFuncDesc(f);

    ASSERT_EQ(info_->GetFuncDesc(5, &f), S_OK);  // put_Name
    EXPECT_EQ(f->invkind, INVOKE_PROPERTYPUT);
    EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_BSTR);
    info_->ReleaseFuncDesc(f);
    ASSERT_EQ(info_->GetFuncDesc(3, &f), S_OK);  // Split: two plain [out]
    EXPECT_EQ(f->lprgelemdescParam[2].paramdesc.wParamFlags, PARAMFLAG_FOUT);
    info_->ReleaseFuncDesc(f);

    BSTR names[4] = {};
    UINT n = 0;
    ASSERT_EQ(info_->GetNames(3, names, 4, &n), S_OK);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(std::u16string_view(names[0]), u"Describe");
    EXPECT_EQ(std::u16string_view(names[2]), u"Flag");
    for (UINT i = 0; i < n; ++i) zxax_SysFreeString(names[i]);

    Bstr name, doc;
    ASSERT_EQ(info_->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), u"IDummy");
    EXPECT_EQ(doc.view(), u"Dispatch interface for Dummy Object");
    ASSERT_EQ(info_->GetDocumentation(1, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(doc.view(), u"A + B");
}

TEST_F(AxTypeInfo, UserTypesLeadToTheirOwnTypeInfo) {
    FUNCDESC *f = nullptr;
    ASSERT_EQ(info_->GetFuncDesc(10, &f), S_OK);  // Mix(C DummyColor, RetVal DummyColor*)
    ASSERT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_USERDEFINED);
    ComPtr<ITypeInfo> color;
    ASSERT_EQ(info_->GetRefTypeInfo(f->lprgelemdescParam[0].tdesc.hreftype, color.put()), S_OK);
    info_->ReleaseFuncDesc(f);
    TYPEATTR *a = nullptr;
    ASSERT_EQ(color->GetTypeAttr(&a), S_OK);
    EXPECT_EQ(a->typekind, TKIND_ENUM);
    EXPECT_EQ(a->cVars, 3);
    color->ReleaseTypeAttr(a);
    VARDESC *v = nullptr;
    ASSERT_EQ(color->GetVarDesc(2, &v), S_OK);
    EXPECT_EQ(v->varkind, VAR_CONST);
    EXPECT_EQ(v->lpvarValue->lVal, 2);
    Bstr name;
    ASSERT_EQ(color->GetDocumentation(v->memid, name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), u"DUMMY_BLUE");
    color->ReleaseVarDesc(v);

    ASSERT_EQ(info_->GetFuncDesc(11, &f), S_OK);  // GetPoint(X, [out] DummyPoint *P, RetVal)
    ASSERT_EQ(f->lprgelemdescParam[1].tdesc.vt, VT_PTR);
    ASSERT_EQ(f->lprgelemdescParam[1].tdesc.lptdesc->vt, VT_USERDEFINED);
    ComPtr<ITypeInfo> point;
    ASSERT_EQ(info_->GetRefTypeInfo(f->lprgelemdescParam[1].tdesc.lptdesc->hreftype, point.put()), S_OK);
    info_->ReleaseFuncDesc(f);
    ASSERT_EQ(point->GetTypeAttr(&a), S_OK);
    EXPECT_EQ(a->typekind, TKIND_RECORD);
    EXPECT_EQ(a->cbSizeInstance, sizeof(dummy::DummyPoint));
    point->ReleaseTypeAttr(a);
    ASSERT_EQ(point->GetVarDesc(2, &v), S_OK);
    EXPECT_EQ(v->oInst, offsetof(dummy::DummyPoint, Label));
    EXPECT_EQ(v->elemdescVar.tdesc.vt, VT_BSTR);
    point->ReleaseVarDesc(v);
}

TEST_F(AxTypeInfo, TheLibraryFindsItsTypesAndTheCoclassItsInterfaces) {
    ComPtr<ITypeLib> lib;
    UINT index = 99;
    ASSERT_EQ(info_->GetContainingTypeLib(lib.put(), &index), S_OK);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(lib->GetTypeInfoCount(), 5u);
    TLIBATTR *la = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&la), S_OK);
    EXPECT_EQ(la->guid, dummy::LIBID_DummyLib);
    EXPECT_EQ(la->wMajorVerNum, 1);
    EXPECT_EQ(la->wMinorVerNum, 0);
    lib->ReleaseTLibAttr(la);
    Bstr name;
    ASSERT_EQ(lib->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), u"DummyLib");

    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(dummy::CLSID_Dummy, coclass.put()), S_OK);
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IDispatch, coclass.put()), TYPE_E_ELEMENTNOTFOUND);
    ASSERT_EQ(lib->GetTypeInfoOfGuid(dummy::CLSID_Dummy, coclass.put()), S_OK);
    TYPEATTR *a = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&a), S_OK);
    EXPECT_EQ(a->typekind, TKIND_COCLASS);
    EXPECT_EQ(a->cImplTypes, 2);
    coclass->ReleaseTypeAttr(a);
    INT flags = 0;
    ASSERT_EQ(coclass->GetImplTypeFlags(1, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    HREFTYPE href = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &href), S_OK);
    ComPtr<ITypeInfo> events;
    ASSERT_EQ(coclass->GetRefTypeInfo(href, events.put()), S_OK);
    FUNCDESC *f = nullptr;
    ASSERT_EQ(events->GetFuncDesc(0, &f), S_OK);
    EXPECT_EQ(f->funckind, FUNC_DISPATCH);
    EXPECT_EQ(f->cParams, 2);
    events->ReleaseFuncDesc(f);

    BOOL found = 0;
    ASSERT_EQ(lib->IsName(const_cast<LPOLESTR>(u"dummypoint"), 0, &found), S_OK);
    EXPECT_TRUE(found);
}

TEST_F(AxTypeInfo, InvokeThroughTheTypeInfoCallsTheVtable) {
    ComPtr<dummy::IDummy> d;
    ASSERT_EQ(disp_->QueryInterface(dummy::IID_IDummy, reinterpret_cast<void **>(d.put())), S_OK);
    VARIANT args[2];
    args[0] = variant_i4(5);
    args[1] = variant_i4(6);
    DISPPARAMS p{args, nullptr, 2, 0};
    Variant out;
    ASSERT_EQ(info_->Invoke(d.get(), 1, DISPATCH_METHOD, &p, &out, nullptr, nullptr), S_OK);
    EXPECT_EQ(out.lVal, 11);
}

TEST(AxRecordInfo, FieldsAreReadWrittenAndCopiedDeep) {
    ComPtr<IRecordInfo> info;
    ASSERT_EQ(record_info_of(dummy::dummy_point_type(), info.put()), S_OK);
    ULONG size = 0;
    ASSERT_EQ(info->GetSize(&size), S_OK);
    EXPECT_EQ(size, sizeof(dummy::DummyPoint));
    Bstr name;
    ASSERT_EQ(info->GetName(name.put()), S_OK);
    EXPECT_EQ(name.view(), u"DummyPoint");
    void *rec = info->RecordCreate();
    Variant twelve;
    twelve.vt = VT_BSTR;
    twelve.bstrVal = zxax_SysAllocString(u"12");
    ASSERT_EQ(info->PutField(0, rec, u"x", &twelve), S_OK);
    ASSERT_EQ(info->PutField(0, rec, u"Label", &twelve), S_OK);
    EXPECT_EQ(info->PutField(0, rec, u"Z", &twelve), TYPE_E_ELEMENTNOTFOUND);
    auto *p = static_cast<dummy::DummyPoint *>(rec);
    EXPECT_EQ(p->X, 12);
    void *copy = nullptr;
    ASSERT_EQ(info->RecordCreateCopy(rec, &copy), S_OK);
    EXPECT_NE(static_cast<dummy::DummyPoint *>(copy)->Label, p->Label);
    Variant label;
    ASSERT_EQ(info->GetField(copy, u"LABEL", &label), S_OK);
    ASSERT_EQ(label.vt, VT_BSTR);
    EXPECT_EQ(std::u16string_view(label.bstrVal), u"12");
    ULONG n = 0;
    ASSERT_EQ(info->GetFieldNames(&n, nullptr), S_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(info->IsMatchingType(info.get()));
    info->RecordDestroy(copy);
    info->RecordDestroy(rec);  // LeakSanitizer sees both labels freed
}

std::string checked_in_idl() {
    std::ifstream in(std::string(KALAX_AX_TEST_DIR) + "/DummyLib.idl", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(AxIdl, TheGeneratedIdlIsTheCheckedInOne) {
    const std::string idl = idl_text(dummy::dummy_library());
    if (std::getenv("KALAX_UPDATE_IDL")) {
        std::ofstream(std::string(KALAX_AX_TEST_DIR) + "/DummyLib.idl", std::ios::binary) << idl;
        GTEST_SKIP() << "DummyLib.idl written";
    }
    EXPECT_EQ(idl, checked_in_idl()) << "regenerate with KALAX_UPDATE_IDL=1 build/test_ax --gtest_filter=AxIdl.*";
    EXPECT_NE(idl.find("[propget, id(0x00000005)] HRESULT Name([out, retval] BSTR *Value);"), std::string::npos);
    EXPECT_NE(idl.find("[id(0x00000001)] void OnTwo([in] long A, [in] long B);"), std::string::npos);
    EXPECT_NE(idl.find("[default, source] dispinterface IDummyEvents;"), std::string::npos);
}

}  // namespace
