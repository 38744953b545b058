// Per-sensor items of a unit's values or setup record.
//
// The object layer never shows callers the raw text records: it shows one flat
// list per document, the binary inputs first, then the analog sensors, then the
// binary outputs, each item decoded into a TXmlSensorEnum. The buffer classes
// below do that decoding over a record they do not own; they are built on the
// stack for one call from a fresh cache fetch.
//
// Records may come from a copy a caller edited, so nothing in them is trusted:
// every count is clamped to its list's capacity, and every text is read up to
// its field width even when the terminator is missing.
//
// The items, their codes and texts are public (kalax/zxapi_sensor.h); the
// buffer classes and the decoding rules stay inside the library.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "kalax/zxapi_sensor.h"
#include "kalax/zxxml_records.h"

namespace zxapi {

// Identifiers of binary outputs start here; analog sensors of the Varno family
// are numbered from kVarnoSensorIdBase.
inline constexpr int32_t kOutputIdBase = 151;
inline constexpr int32_t kVarnoSensorIdBase = 65;

// ---- the whole unit (no part of the library asks for it yet) -----------------
struct TXmlSnmpAccessInfo {
    std::string Community;
    int32_t Read = 0, Write = 0, Enable = 0;
};

struct TXmlSnmpTrapInfo {
    std::string Community;
    std::string IPAddr;
    int32_t Port = 0;
    int32_t Enable = 0;
};

struct TXmlDeviceInfo {
    std::string DeviceName;
    std::string Title;
    uint8_t Family = FAMILY_UNKNOWN;
    std::string MAC;
    std::string IP;
    std::string DNSPrimary;
    std::string DNSSecondary;
    int32_t HTTPPort = 0;
    int32_t TelnetPort = -1;
    int32_t SNMPPort = -1;
    int32_t Model = 0;
    std::string Version;
    std::string XmlVer;
    int32_t SenSetCount = 0;
    int32_t BinaryInSetCount = 0;
    int32_t BinaryOutSetCount = 0;
    uint8_t Units = UNITS_UNKNOWN;
    uint8_t AlarmAction = 4;
    int32_t SnmpTrapsCount = -1;
    // Setup records only from here on.
    int32_t SnmpAccessCount = 0;
    std::array<TXmlSnmpAccessInfo, 2> SnmpAccess{};
    std::array<TXmlSnmpTrapInfo, 4> SnmpTraps{};
    std::string HTTPFilterIPAddr;
    std::string HTTPFilterMask;
    std::string SNMPFilterIPAddr;
    std::string SNMPFilterMask;
    std::string SNTPServer;
};

// ---- buffer policies: which record a buffer object reads --------------------
struct TValuesXmlBuffer {
    using Record = zxxml_values_struct;
    using Counts = zxxml_values_count_struct;
    static constexpr bool kSetup = false;

    const zxxml_values_struct *Xml = nullptr;
    const zxxml_values_count_struct *Count = nullptr;
    char IP[16] = {};  // the module's dotted address
    int32_t Port = 0;
};

struct TSetupXmlBuffer {
    using Record = zxxml_setup_struct;
    using Counts = zxxml_setup_count_struct;
    static constexpr bool kSetup = true;

    const zxxml_setup_struct *Xml = nullptr;
    const zxxml_setup_count_struct *Count = nullptr;
    char IP[16] = {};
    int32_t Port = 0;
};

// Fills a policy block; `ip` may be null or unterminated (at most 15 bytes are taken).
TValuesXmlBuffer MakeValuesBuffer(const zxxml_values_struct *xml, const zxxml_values_count_struct *count,
                                  const char *ip, int32_t port);
TSetupXmlBuffer MakeSetupBuffer(const zxxml_setup_struct *xml, const zxxml_setup_count_struct *count,
                                const char *ip, int32_t port);

// ---- buffer classes ------------------------------------------------------------
// A null record or count pointer reads as an empty document: no items, unit-wide
// fields empty, family and dialect unknown.
template <class Buffer>
class TValuesXml {
public:
    explicit TValuesXml(const Buffer &buffer) : buffer_(buffer) {}
    TValuesXml(const TValuesXml &) = default;
    TValuesXml &operator=(const TValuesXml &) = default;

    // Slot order matters to callers that share the object across a binary
    // boundary: inputs, outputs, destructor, device information.
    // Each fills `item` for a position of its own list: 0, or -2 (item untouched)
    // when the position is outside the list.
    virtual int GetBinaryInput(int i, TXmlSensorEnum &item) const;
    virtual int GetBinaryOutput(int k, TXmlSensorEnum &item) const;
    virtual ~TValuesXml() = default;
    virtual void GetDeviceInfo(TXmlDeviceInfo &info) const;

    // Inputs + sensors + outputs.
    int GetCount() const;
    // Item at list position `i` (taken as unsigned): 0, or -2 when `i` is not a
    // position; the unit-wide fields are filled in either case.
    int GetItem(int i, TXmlSensorEnum &item) const;
    void GetCommon(TXmlSensorEnum &item) const;
    // 0, or -2 (item untouched) when `j` is outside the sensor list.
    int GetAnalogSensor(int j, TXmlSensorEnum &item) const;
    uint8_t GetXmlVer() const;
    uint8_t GetFamily() const;

    // Entries in use per list, clamped to [0, capacity].
    int InputCount() const;
    int OutputCount() const;
    int SensorCount() const;

protected:
    // The "new dialect" of the document: which of two forms some fields take.
    bool NewDialect() const;

    Buffer buffer_;
};

template <class Buffer>
class TSetupXml : public TValuesXml<Buffer> {
public:
    using TValuesXml<Buffer>::TValuesXml;

    int GetBinaryInput(int i, TXmlSensorEnum &item) const override;
    int GetBinaryOutput(int k, TXmlSensorEnum &item) const override;
    void GetDeviceInfo(TXmlDeviceInfo &info) const override;
};

extern template class TValuesXml<TValuesXmlBuffer>;
extern template class TValuesXml<TSetupXmlBuffer>;
extern template class TSetupXml<TSetupXmlBuffer>;

// ---- decoding rules, exposed for the wrappers and for tests ----------------
namespace decode {
// Leading decimal integer as C atol reads it (whitespace, sign, digits; 0 when
// there are none), saturated to the 32-bit range instead of overflowing.
int32_t Integer(std::string_view text);
// Leading decimal number as the C conversion reads it, with "." as the decimal
// point whatever the process locale; 0 when there is none.
float Decimal(std::string_view text);
// Family code of an Agent_Model number.
uint8_t FamilyOfModel(int32_t model);
// Units code of a units text ("C", "%RH", ...).
uint8_t UnitsOfText(std::string_view text);
}  // namespace decode

}  // namespace zxapi
