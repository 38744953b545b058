// A dummy coclass built on the component runtime, as a server library would
// build its objects: one dual interface covering every argument form, one event
// interface, an enumeration and a record, in one type library.
#pragma once

#include "ax/connection.h"
#include "ax/describe.h"
#include "ax/object.h"

namespace dummy {

// {5F0C3A10-8E1B-4C6A-9D2E-3B7A41C0D001} and following
inline constexpr IID IID_IDummy = {0x5F0C3A10, 0x8E1B, 0x4C6A, {0x9D, 0x2E, 0x3B, 0x7A, 0x41, 0xC0, 0xD0, 0x01}};
inline constexpr IID DIID_IDummyEvents = {0x5F0C3A10, 0x8E1B, 0x4C6A, {0x9D, 0x2E, 0x3B, 0x7A, 0x41, 0xC0, 0xD0, 0x02}};
inline constexpr CLSID CLSID_Dummy = {0x5F0C3A10, 0x8E1B, 0x4C6A, {0x9D, 0x2E, 0x3B, 0x7A, 0x41, 0xC0, 0xD0, 0x03}};
inline constexpr GUID LIBID_DummyLib = {0x5F0C3A10, 0x8E1B, 0x4C6A, {0x9D, 0x2E, 0x3B, 0x7A, 0x41, 0xC0, 0xD0, 0x04}};
inline constexpr GUID GUID_DummyPoint = {0x5F0C3A10, 0x8E1B, 0x4C6A, {0x9D, 0x2E, 0x3B, 0x7A, 0x41, 0xC0, 0xD0, 0x05}};

enum DummyColor : int32_t { DUMMY_RED = 0, DUMMY_GREEN = 1, DUMMY_BLUE = 2 };

struct DummyPoint {
    int32_t X;
    int32_t Y;
    BSTR Label;
};

struct IDummy : IDispatch {
    virtual HRESULT Add(int32_t A, int32_t B, int32_t *RetVal) = 0;                // slot 7
    virtual HRESULT Scale(double X, float F, double *RetVal) = 0;                  // 8
    virtual HRESULT Describe(BSTR Name, VARIANT_BOOL Flag, BSTR *RetVal) = 0;      // 9
    virtual HRESULT Split(int32_t In, int32_t *Low, int32_t *High) = 0;            // 10
    virtual HRESULT get_Name(BSTR *Value) = 0;                                     // 11
    virtual HRESULT put_Name(BSTR Value) = 0;                                      // 12
    virtual HRESULT get_Count(int32_t *Value) = 0;                                 // 13
    virtual HRESULT put_Count(int32_t Value) = 0;                                  // 14
    virtual HRESULT Fail(int32_t Code, int32_t *RetVal) = 0;                       // 15
    virtual HRESULT Fire(int32_t A, int32_t B, int32_t *RetVal) = 0;               // 16
    virtual HRESULT Mix(DummyColor C, DummyColor *RetVal) = 0;                     // 17
    virtual HRESULT GetPoint(int32_t X, DummyPoint *P, int32_t *RetVal) = 0;       // 18
    virtual HRESULT When(DATE D, DATE *RetVal) = 0;                                // 19
    virtual HRESULT Bytes(int32_t N, VARIANT *RetVal) = 0;                         // 20
    virtual HRESULT Length(const DummyPoint *P, int32_t *RetVal) = 0;              // 21
};

// For the tests: fires OnTwo(A, B) on the dummy's connection point from the calling thread.
HRESULT fire_from_here(IDummy *d, int32_t A, int32_t B);

const kalax::ax::TypeDesc &dummy_color_type();
const kalax::ax::TypeDesc &dummy_point_type();
const kalax::ax::TypeDesc &dummy_type();
const kalax::ax::TypeDesc &dummy_events_type();
const kalax::ax::LibraryDesc &dummy_library();

// The class's creation function (for a class factory) and, for the tests, how
// many Dummy objects are alive in this copy of the code.
HRESULT create_dummy(IUnknown *outer, REFIID riid, void **ppv);
long live_dummies();

}  // namespace dummy
