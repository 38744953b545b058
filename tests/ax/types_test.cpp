// The binary types: BSTR, VARIANT conversions, SAFEARRAY, DATE, Windows-1252,
// GUID texts and the interfaces' vtable slots.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "ax/codepage.h"
#include "ax/com.h"
#include "ax/date.h"
#include "ax/describe.h"
#include "kalax/ax.h"

namespace {

using namespace kalax::ax;

TEST(AxBstr, CarriesItsByteLengthBeforeTheTextAndATerminatorAfter) {
    Bstr b(zxax_SysAllocString(u"h\u00e9llo"));
    ASSERT_NE(b.get(), nullptr);
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char *>(b.get()) - 4, 4);
    EXPECT_EQ(prefix, 10u);
    EXPECT_EQ(zxax_SysStringLen(b.get()), 5u);
    EXPECT_EQ(b.get()[5], 0);
    EXPECT_EQ(b.view(), u"h\u00e9llo");

    // Embedded NULs count; a null source leaves zeros.
    Bstr z(zxax_SysAllocStringLen(nullptr, 3));
    EXPECT_EQ(zxax_SysStringLen(z.get()), 3u);
    EXPECT_EQ(z.view(), std::u16string(3, u'\0'));
    EXPECT_EQ(zxax_SysAllocString(nullptr), nullptr);
    EXPECT_EQ(zxax_SysStringLen(nullptr), 0u);
    zxax_SysFreeString(nullptr);
}

VARIANT make_i4(LONG v) {
    VARIANT r;
    zxax_VariantInit(&r);
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}
VARIANT make_r8(double v) {
    VARIANT r;
    zxax_VariantInit(&r);
    r.vt = VT_R8;
    r.dblVal = v;
    return r;
}
std::u16string as_text(const VARIANT &v, USHORT flags = 0) {
    Variant out;
    EXPECT_EQ(zxax_VariantChangeType(&out, &v, flags, VT_BSTR), S_OK);
    return std::u16string(out.bstrVal, zxax_SysStringLen(out.bstrVal));
}

TEST(AxVariant, ChangeTypeConvertsBetweenNumbersBoolsAndTexts) {
    Variant out;
    VARIANT r = make_r8(2.5);
    ASSERT_EQ(zxax_VariantChangeType(&out, &r, 0, VT_I4), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 2);  // ties to even
    r.dblVal = 3.5;
    ASSERT_EQ(zxax_VariantChangeType(&out, &r, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 4);
    r.dblVal = -2.6;
    ASSERT_EQ(zxax_VariantChangeType(&out, &r, 0, VT_I2), S_OK);
    EXPECT_EQ(out.iVal, -3);
    r.dblVal = 1e10;
    EXPECT_EQ(zxax_VariantChangeType(&out, &r, 0, VT_I4), DISP_E_OVERFLOW);
    VARIANT big = make_i4(300);
    EXPECT_EQ(zxax_VariantChangeType(&out, &big, 0, VT_UI1), DISP_E_OVERFLOW);
    VARIANT neg = make_i4(-1);
    EXPECT_EQ(zxax_VariantChangeType(&out, &neg, 0, VT_UI4), DISP_E_OVERFLOW);

    Variant s42;
    s42.vt = VT_BSTR;
    s42.bstrVal = zxax_SysAllocString(u" 42 ");
    ASSERT_EQ(zxax_VariantChangeType(&out, &s42, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 42);
    ASSERT_EQ(zxax_VariantChangeType(&out, &s42, 0, VT_R4), S_OK);
    EXPECT_EQ(out.fltVal, 42.0f);
    Variant half;
    half.vt = VT_BSTR;
    half.bstrVal = zxax_SysAllocString(u"1.5");
    ASSERT_EQ(zxax_VariantChangeType(&out, &half, 0, VT_R8), S_OK);
    EXPECT_EQ(out.dblVal, 1.5);
    Variant bad;
    bad.vt = VT_BSTR;
    bad.bstrVal = zxax_SysAllocString(u"12abc");
    EXPECT_EQ(zxax_VariantChangeType(&out, &bad, 0, VT_I4), DISP_E_TYPEMISMATCH);

    Variant t;
    t.vt = VT_BSTR;
    t.bstrVal = zxax_SysAllocString(u"true");
    ASSERT_EQ(zxax_VariantChangeType(&out, &t, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    VARIANT b;
    zxax_VariantInit(&b);
    b.vt = VT_BOOL;
    b.boolVal = VARIANT_TRUE;
    EXPECT_EQ(as_text(b), u"-1");
    EXPECT_EQ(as_text(b, VARIANT_ALPHABOOL), u"True");
    ASSERT_EQ(zxax_VariantChangeType(&out, &b, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, -1);
    VARIANT two = make_i4(2);
    ASSERT_EQ(zxax_VariantChangeType(&out, &two, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);

    EXPECT_EQ(as_text(make_i4(-17)), u"-17");
    EXPECT_EQ(as_text(make_r8(0.1)), u"0.1");
    EXPECT_EQ(as_text(make_r8(1e20)), u"1E+20");
    VARIANT f;
    zxax_VariantInit(&f);
    f.vt = VT_R4;
    f.fltVal = 0.1f;
    EXPECT_EQ(as_text(f), u"0.1");  // seven digits, not the double's noise

    VARIANT empty;
    zxax_VariantInit(&empty);
    ASSERT_EQ(zxax_VariantChangeType(&out, &empty, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 0);
    EXPECT_EQ(as_text(empty), u"");
    VARIANT null;
    zxax_VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_EQ(zxax_VariantChangeType(&out, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(AxVariant, ChangeTypeFollowsReferencesAndMayWorkInPlace) {
    LONG value = 7;
    VARIANT ref;
    zxax_VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &value;
    Variant out;
    ASSERT_EQ(zxax_VariantChangeType(&out, &ref, 0, VT_R8), S_OK);
    EXPECT_EQ(out.dblVal, 7.0);

    // The source's string is freed when it is converted over itself (ASan would see a leak).
    Variant self;
    self.vt = VT_BSTR;
    self.bstrVal = zxax_SysAllocString(u"19");
    ASSERT_EQ(zxax_VariantChangeType(&self, &self, 0, VT_I4), S_OK);
    EXPECT_EQ(self.vt, VT_I4);
    EXPECT_EQ(self.lVal, 19);
    // A failed conversion leaves the destination as it was.
    Variant keep;
    keep.vt = VT_BSTR;
    keep.bstrVal = zxax_SysAllocString(u"x");
    EXPECT_EQ(zxax_VariantChangeType(&keep, &keep, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(keep.vt, VT_BSTR);
}

TEST(AxVariant, CopyIsDeepForStringsAndArrays) {
    Variant a;
    a.vt = VT_BSTR;
    a.bstrVal = zxax_SysAllocString(u"abc");
    Variant b;
    ASSERT_EQ(zxax_VariantCopy(&b, &a), S_OK);
    EXPECT_NE(a.bstrVal, b.bstrVal);
    EXPECT_EQ(std::u16string_view(b.bstrVal), u"abc");

    Variant arr;
    arr.vt = VT_ARRAY | VT_BSTR;
    arr.parray = zxax_SafeArrayCreateVector(VT_BSTR, 0, 2);
    LONG i = 1;
    ASSERT_EQ(zxax_SafeArrayPutElement(arr.parray, &i, a.bstrVal), S_OK);
    Variant copy;
    ASSERT_EQ(zxax_VariantCopy(&copy, &arr), S_OK);
    ASSERT_NE(copy.parray, arr.parray);
    BSTR got = nullptr;
    ASSERT_EQ(zxax_SafeArrayGetElement(copy.parray, &i, &got), S_OK);
    EXPECT_EQ(std::u16string_view(got), u"abc");
    zxax_SysFreeString(got);
}

TEST(AxSafeArray, VectorBoundsElementsAndLocks) {
    SAFEARRAY *a = zxax_SafeArrayCreateVector(VT_I4, 5, 3);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->cDims, 1);
    EXPECT_EQ(a->cbElements, 4u);
    EXPECT_TRUE(a->fFeatures & FADF_HAVEVARTYPE);
    uint32_t vt = 0;
    std::memcpy(&vt, reinterpret_cast<char *>(a) - 4, 4);
    EXPECT_EQ(vt, VT_I4);
    LONG lo = 0, hi = 0;
    EXPECT_EQ(zxax_SafeArrayGetLBound(a, 1, &lo), S_OK);
    EXPECT_EQ(zxax_SafeArrayGetUBound(a, 1, &hi), S_OK);
    EXPECT_EQ(lo, 5);
    EXPECT_EQ(hi, 7);
    EXPECT_EQ(zxax_SafeArrayGetLBound(a, 2, &lo), DISP_E_BADINDEX);
    for (LONG i = 5; i <= 7; ++i) {
        LONG v = i * 10;
        ASSERT_EQ(zxax_SafeArrayPutElement(a, &i, &v), S_OK);
    }
    LONG at = 8, v = 0;
    EXPECT_EQ(zxax_SafeArrayPutElement(a, &at, &v), DISP_E_BADINDEX);
    at = 4;
    EXPECT_EQ(zxax_SafeArrayGetElement(a, &at, &v), DISP_E_BADINDEX);
    at = 6;
    ASSERT_EQ(zxax_SafeArrayGetElement(a, &at, &v), S_OK);
    EXPECT_EQ(v, 60);
    void *data = nullptr;
    ASSERT_EQ(zxax_SafeArrayAccessData(a, &data), S_OK);
    EXPECT_EQ(static_cast<LONG *>(data)[2], 70);
    EXPECT_EQ(zxax_SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    ASSERT_EQ(zxax_SafeArrayUnaccessData(a), S_OK);
    EXPECT_EQ(zxax_SafeArrayUnaccessData(a), E_UNEXPECTED);
    EXPECT_EQ(zxax_SafeArrayDestroy(a), S_OK);

    SAFEARRAY *empty = zxax_SafeArrayCreateVector(VT_UI1, 0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(zxax_SafeArrayGetUBound(empty, 1, &hi), S_OK);
    EXPECT_EQ(hi, -1);
    EXPECT_EQ(zxax_SafeArrayDestroy(empty), S_OK);
    EXPECT_EQ(zxax_SafeArrayCreateVector(VT_RECORD, 0, 1), nullptr);
}

TEST(AxSafeArray, StringAndVariantElementsAreOwnedByTheArray) {
    SAFEARRAY *a = zxax_SafeArrayCreateVector(VT_VARIANT, 0, 2);
    ASSERT_NE(a, nullptr);
    Variant s;
    s.vt = VT_BSTR;
    s.bstrVal = zxax_SysAllocString(u"kept");
    LONG i = 0;
    ASSERT_EQ(zxax_SafeArrayPutElement(a, &i, &s), S_OK);
    ASSERT_EQ(zxax_SafeArrayPutElement(a, &i, &s), S_OK);  // replaces, frees the first copy
    Variant got;
    ASSERT_EQ(zxax_SafeArrayGetElement(a, &i, &got), S_OK);
    EXPECT_EQ(got.vt, VT_BSTR);
    EXPECT_NE(got.bstrVal, s.bstrVal);
    EXPECT_EQ(zxax_SafeArrayDestroy(a), S_OK);  // LeakSanitizer checks the elements went with it
}

TEST(AxDate, TheLogExampleIsExactToTheSecond) {
    DATE d = 0;
    ASSERT_TRUE(date_from_parts({2008, 3, 15, 14, 5, 9}, d));
    EXPECT_DOUBLE_EQ(d, 39522.0 + 50709.0 / 86400.0);
    EXPECT_NEAR(d, 39522.5869, 0.0001);
    DateParts p;
    ASSERT_TRUE(date_to_parts(d, p));
    EXPECT_EQ(p.year, 2008);
    EXPECT_EQ(p.month, 3);
    EXPECT_EQ(p.day, 15);
    EXPECT_EQ(p.hour, 14);
    EXPECT_EQ(p.minute, 5);
    EXPECT_EQ(p.second, 9);
    // Within half a second either way is still that second.
    for (double off : {-0.49, 0.49}) {
        ASSERT_TRUE(date_to_parts(d + off / 86400.0, p));
        EXPECT_EQ(p.second, 9) << off;
    }
    Variant text;
    text.vt = VT_DATE;
    text.date = d;
    Variant out;
    ASSERT_EQ(zxax_VariantChangeType(&out, &text, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string_view(out.bstrVal), u"2008-03-15 14:05:09");
    Variant back;
    ASSERT_EQ(zxax_VariantChangeType(&back, &out, 0, VT_DATE), S_OK);
    EXPECT_EQ(back.date, d);
}

TEST(AxDate, EveryFewHoursOfTwoCenturiesRoundTrips) {
    for (int64_t s = -2 * 86400 * 365LL; s < 200 * 86400 * 365LL; s += 7919 * 3 + 1) {
        const int64_t day = s >= 0 ? s / 86400 : (s - 86399) / 86400;
        const int64_t sec = s - day * 86400;
        const double d = day >= 0 ? day + sec / 86400.0 : day - sec / 86400.0;
        DateParts p;
        ASSERT_TRUE(date_to_parts(d, p)) << s;
        DATE again = 0;
        ASSERT_TRUE(date_from_parts(p, again)) << s;
        ASSERT_EQ(again, d) << s;
        ASSERT_EQ(p.hour * 3600 + p.minute * 60 + p.second, sec) << s;
    }
}

TEST(AxDate, DaysBeforeTheEpochKeepAForwardTimeAndBadFieldsFail) {
    DateParts p;
    ASSERT_TRUE(date_to_parts(-1.25, p));
    EXPECT_EQ(p.year, 1899);
    EXPECT_EQ(p.month, 12);
    EXPECT_EQ(p.day, 29);
    EXPECT_EQ(p.hour, 6);
    ASSERT_TRUE(date_to_parts(0, p));
    EXPECT_EQ(p.day, 30);
    DATE d;
    EXPECT_FALSE(date_from_parts({2009, 2, 29, 0, 0, 0}, d));
    EXPECT_TRUE(date_from_parts({2008, 2, 29, 0, 0, 0}, d));
    EXPECT_FALSE(date_from_parts({2008, 1, 1, 24, 0, 0}, d));
    EXPECT_FALSE(date_to_parts(NAN, p));
    EXPECT_FALSE(date_to_parts(1e9, p));
}

TEST(AxCodePage, AllBytesRoundTripAndCharactersOutsideFail) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string wide = cp1252_decode(all);
    ASSERT_EQ(wide.size(), 256u);
    EXPECT_EQ(wide[0x80], u'\u20AC');
    EXPECT_EQ(wide[0x9F], u'\u0178');
    for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(wide[b], b) << b;
    EXPECT_EQ(wide[0xE9], u'\u00E9');
    std::string back;
    ASSERT_TRUE(cp1252_encode(wide, back));
    EXPECT_EQ(back, all);
    EXPECT_FALSE(cp1252_encode(u"ab\u0100", back));
    EXPECT_FALSE(cp1252_encode(u"\uFFFD", back));
    EXPECT_FALSE(cp1252_encode(u"\U0001F600", back));
}

TEST(AxGuid, TextsRoundTripAndMalformedOnesFail) {
    const GUID g = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    OLECHAR text[39];
    EXPECT_EQ(zxax_StringFromGUID2(g, text, 38), 0);
    ASSERT_EQ(zxax_StringFromGUID2(g, text, 39), 39);
    EXPECT_EQ(std::u16string_view(text), u"{12345678-9ABC-DEF0-0123-456789ABCDEF}");
    GUID back{};
    ASSERT_EQ(zxax_CLSIDFromString(u"{12345678-9abc-def0-0123-456789abcdef}", &back), S_OK);
    EXPECT_EQ(back, g);
    for (const char16_t *bad : {u"{12345678-9ABC-DEF0-0123-456789ABCDEF", u"{12345678-9ABC-DEF0-0123456789ABCDEF}}",
                                u"{1234567G-9ABC-DEF0-0123-456789ABCDEF}"})
        EXPECT_EQ(zxax_CLSIDFromString(bad, &back), CO_E_CLASSSTRING) << static_cast<int>(bad[1]);
}

TEST(AxLayout, InterfacesKeepTheirSlotOrder) {
    using kalax::ax::detail::slot_of;
    EXPECT_EQ(slot_of<&IUnknown::Release>(), 2);
    EXPECT_EQ(slot_of<&IDispatch::GetTypeInfoCount>(), 3);
    EXPECT_EQ(slot_of<&IDispatch::Invoke>(), 6);
    EXPECT_EQ(slot_of<&IClassFactory::LockServer>(), 4);
    EXPECT_EQ(slot_of<&IConnectionPointContainer::FindConnectionPoint>(), 4);
    EXPECT_EQ(slot_of<&IConnectionPoint::Advise>(), 5);
    EXPECT_EQ(slot_of<&IConnectionPoint::EnumConnections>(), 7);
    EXPECT_EQ(slot_of<&IEnumConnections::Clone>(), 6);
    EXPECT_EQ(slot_of<&IEnumConnectionPoints::Next>(), 3);
    EXPECT_EQ(slot_of<&ISupportErrorInfo::InterfaceSupportsErrorInfo>(), 3);
    EXPECT_EQ(slot_of<&IErrorInfo::GetHelpContext>(), 7);
    EXPECT_EQ(slot_of<&ITypeInfo::GetTypeAttr>(), 3);
    EXPECT_EQ(slot_of<&ITypeInfo::Invoke>(), 11);
    EXPECT_EQ(slot_of<&ITypeInfo::GetDocumentation>(), 12);
    EXPECT_EQ(slot_of<&ITypeInfo::ReleaseVarDesc>(), 21);
    EXPECT_EQ(slot_of<&ITypeLib::GetTypeInfoOfGuid>(), 6);
    EXPECT_EQ(slot_of<&ITypeLib::ReleaseTLibAttr>(), 12);
    EXPECT_EQ(slot_of<&IRecordInfo::GetField>(), 10);
    EXPECT_EQ(slot_of<&IRecordInfo::RecordDestroy>(), 18);
}

}  // namespace
