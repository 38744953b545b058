// The two automation objects of the library, IoXml and KalLog, their
// interfaces as the type library KalAx describes them, and the server's
// creation functions. Hosts and a Windows build rely on the identifiers.
#pragma once

#include <cstdint>

#include <string>
#include <string_view>
#include <vector>

#include "ax/describe.h"
#include "ax/registry.h"
#include "kalax/ax.h"

namespace kalax::ax::lib {

// {B1082E20-2751-4E4D-A268-819918F8E4C9}
inline constexpr GUID LIBID_KalAx = {0xB1082E20, 0x2751, 0x4E4D, {0xA2, 0x68, 0x81, 0x99, 0x18, 0xF8, 0xE4, 0xC9}};
// {C7D2C99A-D94F-4574-910E-7626D9AB603E}
inline constexpr IID IID_IIoXml = {0xC7D2C99A, 0xD94F, 0x4574, {0x91, 0x0E, 0x76, 0x26, 0xD9, 0xAB, 0x60, 0x3E}};
// {6819142D-9613-4F34-BFF5-5606FC3D55E7}
inline constexpr IID DIID_IIoXmlEvents = {0x6819142D, 0x9613, 0x4F34, {0xBF, 0xF5, 0x56, 0x06, 0xFC, 0x3D, 0x55, 0xE7}};
// {F223A48E-70EE-46EB-AAB8-747C516F6F09}
inline constexpr CLSID CLSID_IoXml = {0xF223A48E, 0x70EE, 0x46EB, {0xAA, 0xB8, 0x74, 0x7C, 0x51, 0x6F, 0x6F, 0x09}};
// {F41DB002-A2F7-44BE-ADB8-256854D07D48}
inline constexpr IID IID_IKalLog = {0xF41DB002, 0xA2F7, 0x44BE, {0xAD, 0xB8, 0x25, 0x68, 0x54, 0xD0, 0x7D, 0x48}};
// {F65DF366-CD05-4ACF-93D0-F8027C0F0F6F}
inline constexpr IID DIID_IKalLogEvents = {0xF65DF366, 0xCD05, 0x4ACF, {0x93, 0xD0, 0xF8, 0x02, 0x7C, 0x0F, 0x0F, 0x6F}};
// {C80A65B5-8700-4D13-93E0-86A352785263}
inline constexpr CLSID CLSID_KalLog = {0xC80A65B5, 0x8700, 0x4D13, {0x93, 0xE0, 0x86, 0xA3, 0x52, 0x78, 0x52, 0x63}};
// The record XmlSensorT: {5D2E7A61-3C4B-4F0E-9A71-2B8C6D4E0F13}
inline constexpr GUID GUID_XmlSensorT = {0x5D2E7A61, 0x3C4B, 0x4F0E, {0x9A, 0x71, 0x2B, 0x8C, 0x6D, 0x4E, 0x0F, 0x13}};

// One sensor item as automation clients see it: the codes widened to 32 bits.
struct XmlSensorT {
    int32_t Family;
    int32_t Port;
    int32_t Id;
    float Value;
    int32_t Units;
    float Min;
    float Max;
    float Hyst;
    int32_t Counter;
    int32_t SensType;
    int32_t Alarm;
    int32_t State;
    int32_t Time;
    int32_t XmlVer;
    int32_t Mode;
    float Calib;
};
static_assert(sizeof(XmlSensorT) == 64);

// Enumerations cross the interfaces as 32-bit integers; the descriptions name their types.
struct IIoXml : IDispatch {
    virtual HRESULT Open(int32_t *RetVal) = 0;  // slot 7
    virtual HRESULT Close(int32_t *RetVal) = 0;
    virtual HRESULT GetValuesXml(int32_t *RetVal) = 0;
    virtual HRESULT GetSetupXml(int32_t *RetVal) = 0;
    virtual HRESULT SetOutput(int32_t AId, int32_t AValue, int32_t *RetVal) = 0;
    virtual HRESULT SetRange(int32_t AId, float AMin, float AMax, int32_t *RetVal) = 0;
    virtual HRESULT SetSensName(int32_t AId, BSTR AName, int32_t *RetVal) = 0;
    virtual HRESULT GetLastError(int32_t *ASdkCode, int32_t *ASysCode, BSTR *ASdkDesc, BSTR *ASysDesc,
                                 int32_t AGlobal) = 0;
    virtual HRESULT IsBinaryInput(int32_t AType, int32_t *RetVal) = 0;  // slot 15
    virtual HRESULT IsBinaryOutput(int32_t AType, int32_t *RetVal) = 0;
    virtual HRESULT IsAnalogInput(int32_t AType, int32_t *RetVal) = 0;
    virtual HRESULT get_IP(BSTR *Value) = 0;  // slot 18
    virtual HRESULT put_IP(BSTR Value) = 0;
    virtual HRESULT get_Port(int32_t *Value) = 0;
    virtual HRESULT put_Port(int32_t Value) = 0;
    virtual HRESULT get_Username(BSTR *Value) = 0;
    virtual HRESULT put_Username(BSTR Value) = 0;
    virtual HRESULT get_Password(BSTR *Value) = 0;
    virtual HRESULT put_Password(BSTR Value) = 0;
    virtual HRESULT get_OldVerSupport(int32_t *Value) = 0;
    virtual HRESULT put_OldVerSupport(int32_t Value) = 0;
    virtual HRESULT GetValuesCount(int32_t *RetVal) = 0;  // slot 28
    virtual HRESULT GetValuesSensor(int32_t i, BSTR *AName, BSTR *ADevName, BSTR *AIP, BSTR *AMAC,
                                    XmlSensorT *ASensor, int32_t *RetVal) = 0;
    virtual HRESULT XmlSensorEnumToStr(const XmlSensorT *ASensor, int32_t AField, BSTR *RetVal) = 0;
    virtual HRESULT GetSetupCount(int32_t *RetVal) = 0;
    virtual HRESULT GetSetupSensor(int32_t i, BSTR *AName, BSTR *ADevName, BSTR *AIP, BSTR *AMAC,
                                   XmlSensorT *ASensor, int32_t *RetVal) = 0;
    virtual HRESULT GetSensor(int32_t i, BSTR *AName, BSTR *ADevName, BSTR *AIP, BSTR *AMAC, XmlSensorT *ASensor,
                              int32_t ASetup, int32_t *RetVal) = 0;
    virtual HRESULT GetCount(int32_t ASetup, int32_t *RetVal) = 0;
    virtual HRESULT GetStatus(int32_t *RetVal) = 0;
    virtual HRESULT SetCalib(int32_t AId, float ACalib, int32_t *RetVal) = 0;
    virtual HRESULT SetHostIP(BSTR AHost, int32_t *RetVal) = 0;  // slot 37
};

struct IKalLog : IDispatch {
    virtual HRESULT Open(int32_t *RetVal) = 0;  // slot 7
    virtual HRESULT Close(int32_t *RetVal) = 0;
    virtual HRESULT Delete(int32_t *RetVal) = 0;
    virtual HRESULT DeleteAll(int32_t *RetVal) = 0;
    virtual HRESULT GetLogFile(int32_t *RetVal) = 0;
    virtual HRESULT GetLastError(int32_t *ASdkCode, int32_t *ASysCode, BSTR *ASdkDesc, BSTR *ASysDesc,
                                 int32_t AGlobal) = 0;
    virtual HRESULT GetStatus(int32_t *RetVal) = 0;
    virtual HRESULT get_IP(BSTR *Value) = 0;  // slot 14
    virtual HRESULT put_IP(BSTR Value) = 0;
    virtual HRESULT get_Port(int32_t *Value) = 0;
    virtual HRESULT put_Port(int32_t Value) = 0;
    virtual HRESULT get_Csv(int32_t *Value) = 0;
    virtual HRESULT put_Csv(int32_t Value) = 0;
    virtual HRESULT get_Username(BSTR *Value) = 0;
    virtual HRESULT put_Username(BSTR Value) = 0;
    virtual HRESULT get_Password(BSTR *Value) = 0;
    virtual HRESULT put_Password(BSTR Value) = 0;
    virtual HRESULT get_RecGroup(int32_t *Value) = 0;
    virtual HRESULT put_RecGroup(int32_t Value) = 0;
    virtual HRESULT get_RecType(int32_t *Value) = 0;
    virtual HRESULT put_RecType(int32_t Value) = 0;
    virtual HRESULT WriteToFile(BSTR AName, int32_t *ASeek, int32_t *RetVal) = 0;  // slot 28
    virtual HRESULT ReadLnArray(VARIANT *RetVal) = 0;
    virtual HRESULT ConvertBin2Csv(int32_t *RetVal) = 0;
    virtual HRESULT ResetLn() = 0;
    virtual HRESULT ReadLn(VARIANT *AData, int32_t *RetVal) = 0;
    virtual HRESULT ReadLnStr(BSTR *RetVal) = 0;
    virtual HRESULT ReadRecArray(double *ATime, int32_t *AType, int32_t *AGroup, VARIANT *RetVal) = 0;
    virtual HRESULT LoadFromCsvFile(BSTR AName, int32_t *RetVal) = 0;
    virtual HRESULT LoadFromBinFile(BSTR AName, int32_t *RetVal) = 0;
    virtual HRESULT SetHostIP(BSTR AHost, int32_t *RetVal) = 0;  // slot 37
};

// The descriptions of the type library KalAx 1.0.
const LibraryDesc &kalax_library();
const TypeDesc &ioxml_type();
const TypeDesc &ioxml_events_type();
const TypeDesc &kallog_type();
const TypeDesc &kallog_events_type();
const TypeDesc &xml_sensor_type();
const TypeDesc &ioxml_coclass();
const TypeDesc &kallog_coclass();

// Creation functions for the class factories.
HRESULT create_ioxml(IUnknown *outer, REFIID riid, void **ppv);
HRESULT create_kallog(IUnknown *outer, REFIID riid, void **ppv);

// The server's class objects (DllGetClassObject), and whether the library may
// be unloaded now (DllCanUnloadNow).
HRESULT get_class_object(REFCLSID rclsid, REFIID riid, void **ppv);
HRESULT can_unload_now();

// What registering the library file `path` writes, and what unregistering deletes.
std::vector<RegistryChange> registration_entries(const std::string &path);
std::vector<RegistryChange> unregistration_entries();

// UTF-8 text as UTF-16; a byte that does not begin a valid UTF-8 sequence is
// read as Windows-1252 instead (names of units that write that page).
std::u16string utf8_or_cp1252(std::string_view bytes);

}  // namespace kalax::ax::lib
