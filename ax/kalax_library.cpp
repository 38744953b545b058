// The type library KalAx 1.0: 25 type descriptions, built once so that the
// types can point at each other and at their library.
#include "ax/kalax_objects.h"

namespace kalax::ax::lib {

namespace {

struct KalAxTypes {
    // ---- the device objects' enumerations
    TypeDesc ioxml_status = enum_type("IoXmlStatusT", "Status of an IoXml object",
                                      {{"IOXML_STATUS_CLOSED", 0},
                                       {"IOXML_STATUS_OPENED", 1},
                                       {"IOXML_STATUS_GET_VALUES_XML", 2},
                                       {"IOXML_STATUS_GET_SETUP_XML", 3},
                                       {"IOXML_STATUS_SET_SETUP_XML", 4},
                                       {"IOXML_STATUS_SET_OUTPUT", 5},
                                       {"IOXML_STATUS_SET_RANGE", 6},
                                       {"IOXML_STATUS_SET_NAME", 7},
                                       {"IOXML_STATUS_SET_CALIB", 8}});
    TypeDesc ioxml_error = enum_type("IoXmlErrorT", "Operation of an IoXml object that failed",
                                     {{"IOXML_ERROR_OPEN", 0},
                                      {"IOXML_ERROR_CLOSE", 1},
                                      {"IOXML_ERROR_GET_VALUES_XML", 2},
                                      {"IOXML_ERROR_GET_SETUP_XML", 3},
                                      {"IOXML_ERROR_SET_SETUP_XML", 4},
                                      {"IOXML_ERROR_SET_OUTPUT", 5},
                                      {"IOXML_ERROR_SET_RANGE", 6},
                                      {"IOXML_ERROR_SET_NAME", 7},
                                      {"IOXML_ERROR_SET_CALIB", 8}});
    TypeDesc ioxml_status_event = enum_type("IoXmlStatusEventT", "What an OnStatus of IoXml reports",
                                            {{"IOXML_STATUS_EVENT_OPEN", 0},
                                             {"IOXML_STATUS_EVENT_CLOSE", 1},
                                             {"IOXML_STATUS_EVENT_START", 2},
                                             {"IOXML_STATUS_EVENT_CONNECT", 3}});
    // ---- the items' codes
    TypeDesc family = enum_type("XmlFamilyT", "Unit family",
                                {{"FAMILY_KALYX", 0}, {"FAMILY_VARNO", 1}, {"FAMILY_UNKNOWN", 2}});
    TypeDesc version = enum_type("XmlVersionT", "Dialect of the unit's documents",
                                 {{"XMLVER_20", 0}, {"XMLVER_220", 1}, {"XMLVER_234", 2}, {"XMLVER_UNKNOWN", 3}});
    TypeDesc units = enum_type("XmlSensorUnitsT", "Units of a sensor",
                               {{"UNITS_CELSIUS", 0},
                                {"UNITS_FAHRENHEIT", 1},
                                {"UNITS_KELVIN", 2},
                                {"UNITS_HUMIDITY", 3},
                                {"UNITS_VOLTAGE", 4},
                                {"UNITS_CURRENT", 5},
                                {"UNITS_SWITCH", 6},
                                {"UNITS_PULSES", 7},
                                {"UNITS_UNKNOWN", 8},
                                {"UNITS_DEWPOINT", 9},
                                {"UNITS_KPASCAL", 10}});
    TypeDesc state = enum_type("XmlSensorStateT", "State of an item",
                               {{"STATE_NORMAL", 0},
                                {"STATE_OUT_OF_RANGE", 1},
                                {"STATE_ALARM_ACTIVE", 2},
                                {"STATE_SENSOR_INVALID", 3},
                                {"STATE_DEVICE_INVALID", 4},
                                {"STATE_UNKNOWN_", 5}});
    TypeDesc mode = enum_type("XmlSensorModeT", "Mode of an output",
                              {{"MODE_MANUAL_CONTROL", 0},
                               {"MODE_ANY_ALARM", 1},
                               {"MODE_EQUAL_TRIGGER", 2},
                               {"MODE_HIGHER_TRIGGER", 3},
                               {"MODE_LOWER_TRIGGER", 4},
                               {"MODE_UNKNOWN", 5}});
    TypeDesc type = enum_type("XmlSensorTypeT", "Kind of an item",
                              {{"TYPE_ANALOG_SENSOR_INPUT", 0},
                               {"TYPE_ANALOG_SENSOR_OUTPUT", 1},
                               {"TYPE_BINARY_INPUT", 2},
                               {"TYPE_BINARY_INPUT_COUNTER", 3},
                               {"TYPE_RELAY_OUTPUT", 4},
                               {"TYPE_RTS_OUTPUT", 5},
                               {"TYPE_DTR_OUTPUT", 6},
                               {"TYPE_BINARY_OUTPUT", 7},
                               {"TYPE_UNKNOWN", 8}});
    TypeDesc alarm = enum_type("XmlSensorAlarmT", "Alarm setting of an item",
                               {{"ALARM_INACTIVE", 0},
                                {"ALARM_ACTIVE_IF_ON", 1},
                                {"ALARM_ACTIVE_IF_OFF", 2},
                                {"ALARM_SNMP_TRAP_ONLY", 3},
                                {"ALARM_EMAIL_AND_SMS", 4},
                                {"ALARM_ALL", 5},
                                {"ALARM_UNKNOWN", 6}});
    TypeDesc to_str = enum_type("XmlSensorEnumToStrT", "Field of an item that XmlSensorEnumToStr renders",
                                {{"XMLE2S_FAMILY", 0},
                                 {"XMLE2S_ID", 1},
                                 {"XMLE2S_VALUE", 2},
                                 {"XMLE2S_MIN", 3},
                                 {"XMLE2S_MAX", 4},
                                 {"XMLE2S_HYST", 5},
                                 {"XMLE2S_SENSTYPE", 6},
                                 {"XMLE2S_ALARM", 7},
                                 {"XMLE2S_STATE", 8},
                                 {"XMLE2S_MODE", 9},
                                 {"XMLE2S_TIME", 10},
                                 {"XMLE2S_UNITS", 11},
                                 {"XMLE2S_COUNTER", 12},
                                 {"XMLE2S_CALIB", 13}});
    TypeDesc sensor = record_type(
        "XmlSensorT", GUID_XmlSensorT, "One input, sensor or output of a unit", sizeof(XmlSensorT),
        alignof(XmlSensorT),
        {ZXAX_FIELD(XmlSensorT, Family, VT_I4), ZXAX_FIELD(XmlSensorT, Port, VT_I4), ZXAX_FIELD(XmlSensorT, Id, VT_I4),
         ZXAX_FIELD(XmlSensorT, Value, VT_R4), ZXAX_FIELD(XmlSensorT, Units, VT_I4), ZXAX_FIELD(XmlSensorT, Min, VT_R4),
         ZXAX_FIELD(XmlSensorT, Max, VT_R4), ZXAX_FIELD(XmlSensorT, Hyst, VT_R4),
         ZXAX_FIELD(XmlSensorT, Counter, VT_I4), ZXAX_FIELD(XmlSensorT, SensType, VT_I4),
         ZXAX_FIELD(XmlSensorT, Alarm, VT_I4), ZXAX_FIELD(XmlSensorT, State, VT_I4),
         ZXAX_FIELD(XmlSensorT, Time, VT_I4), ZXAX_FIELD(XmlSensorT, XmlVer, VT_I4),
         ZXAX_FIELD(XmlSensorT, Mode, VT_I4), ZXAX_FIELD(XmlSensorT, Calib, VT_R4)});
    // ---- the log objects' enumerations
    TypeDesc log_group = enum_type("KalLogGroupT", "Record groups a download keeps",
                                   {{"KALLOG_GROUP_ALL", 0},
                                    {"KALLOG_GROUP_SENSORS", 1},
                                    {"KALLOG_GROUP_BINARIES", 2},
                                    {"KALLOG_GROUP_INPUTS", 3},
                                    {"KALLOG_GROUP_OUTPUTS", 4}});
    TypeDesc log_type = enum_type("KalLogTypeT", "Record types a download keeps",
                                  {{"KALLOG_TYPE_ALL", 0}, {"KALLOG_TYPE_NORMAL", 1}, {"KALLOG_TYPE_ALARM", 2}});
    TypeDesc log_status_event = enum_type("KalLogStatusEventT", "What an OnStatus of KalLog reports",
                                          {{"KALLOG_STATUS_EVENT_OPEN", 0},
                                           {"KALLOG_STATUS_EVENT_CLOSE", 1},
                                           {"KALLOG_STATUS_EVENT_START", 2},
                                           {"KALLOG_STATUS_EVENT_CONNECT", 3}});
    TypeDesc log_status = enum_type("KalLogStatusT", "Status of a KalLog object",
                                    {{"KALLOG_STATUS_CLOSED", 0},
                                     {"KALLOG_STATUS_OPENED", 1},
                                     {"KALLOG_STATUS_GET_CSV", 2},
                                     {"KALLOG_STATUS_GET_BIN", 3},
                                     {"KALLOG_STATUS_DELETE", 4},
                                     {"KALLOG_STATUS_DELETE_ALL", 5}});
    TypeDesc log_error = enum_type("KalLogErrorT", "Operation of a KalLog object that failed",
                                   {{"KALLOG_ERROR_OPEN", 0},
                                    {"KALLOG_ERROR_CLOSE", 1},
                                    {"KALLOG_ERROR_GET_CSV", 2},
                                    {"KALLOG_ERROR_GET_BIN", 3},
                                    {"KALLOG_ERROR_WRITE_TO_FILE", 4},
                                    {"KALLOG_ERROR_DELETE", 5},
                                    {"KALLOG_ERROR_DELETE_ALL", 6},
                                    {"KALLOG_ERROR_CONNECT", 7},
                                    {"KALLOG_ERROR_CONV_BIN2CSV", 8}});
    TypeDesc rec_type = enum_type("KalLogRecTypeT", "Type of a log record",
                                  {{"KALLOG_REC_TYPE_NORMAL", 0}, {"KALLOG_REC_TYPE_ALARM", 1}});
    TypeDesc rec_group = enum_type("KalLogRecGroupT", "Group of a log record",
                                   {{"KALLOG_REC_GROUP_SENSOR", 0},
                                    {"KALLOG_REC_GROUP_INPUT", 1},
                                    {"KALLOG_REC_GROUP_OUTPUT", 2}});

    // ---- IoXml
    TypeDesc ioxml =
        InterfaceBuilder<IIoXml>("IIoXml", IID_IIoXml, "Dispatch interface for IoXml Object")
            .method<&IIoXml::Open>("Open", 1, {"RetVal"})
            .method<&IIoXml::Close>("Close", 2, {"RetVal"})
            .method<&IIoXml::GetValuesXml>("GetValuesXml", 3, {"RetVal"})
            .method<&IIoXml::GetSetupXml>("GetSetupXml", 4, {"RetVal"})
            .method<&IIoXml::SetOutput>("SetOutput", 5, {"AId", "AValue", "RetVal"})
            .method<&IIoXml::SetRange>("SetRange", 6, {"AId", "AMin", "AMax", "RetVal"})
            .method<&IIoXml::SetSensName>("SetSensName", 7, {"AId", "AName", "RetVal"})
            .method<&IIoXml::GetLastError>("GetLastError", 9,
                                           {"ASdkCode", "ASysCode", "ASdkDesc", "ASysDesc", "AGlobal"}, {}, false)
            .method<&IIoXml::IsBinaryInput>("IsBinaryInput", 10, {{"AType", type}, "RetVal"})
            .method<&IIoXml::IsBinaryOutput>("IsBinaryOutput", 11, {{"AType", type}, "RetVal"})
            .method<&IIoXml::IsAnalogInput>("IsAnalogInput", 12, {{"AType", type}, "RetVal"})
            .propget<&IIoXml::get_IP>("IP", 14)
            .propput<&IIoXml::put_IP>("IP", 14)
            .propget<&IIoXml::get_Port>("Port", 18)
            .propput<&IIoXml::put_Port>("Port", 18)
            .propget<&IIoXml::get_Username>("Username", 19)
            .propput<&IIoXml::put_Username>("Username", 19)
            .propget<&IIoXml::get_Password>("Password", 20)
            .propput<&IIoXml::put_Password>("Password", 20)
            .propget<&IIoXml::get_OldVerSupport>("OldVerSupport", 21)
            .propput<&IIoXml::put_OldVerSupport>("OldVerSupport", 21)
            .method<&IIoXml::GetValuesCount>("GetValuesCount", 22, {"RetVal"})
            .method<&IIoXml::GetValuesSensor>(
                "GetValuesSensor", 8,
                {"i", "AName", "ADevName", "AIP", "AMAC", {"ASensor", sensor, PARAMFLAG_FOUT}, "RetVal"})
            .method<&IIoXml::XmlSensorEnumToStr>("XmlSensorEnumToStr", 15,
                                                 {{"ASensor", sensor}, {"AField", to_str}, "RetVal"})
            .method<&IIoXml::GetSetupCount>("GetSetupCount", 17, {"RetVal"})
            .method<&IIoXml::GetSetupSensor>(
                "GetSetupSensor", 23,
                {"i", "AName", "ADevName", "AIP", "AMAC", {"ASensor", sensor, PARAMFLAG_FOUT}, "RetVal"})
            .method<&IIoXml::GetSensor>(
                "GetSensor", 16,
                {"i", "AName", "ADevName", "AIP", "AMAC", {"ASensor", sensor, PARAMFLAG_FOUT}, "ASetup", "RetVal"})
            .method<&IIoXml::GetCount>("GetCount", 24, {"ASetup", "RetVal"})
            .method<&IIoXml::GetStatus>("GetStatus", 26, {{"RetVal", ioxml_status}})
            .method<&IIoXml::SetCalib>("SetCalib", 13, {"AId", "ACalib", "RetVal"})
            .method<&IIoXml::SetHostIP>("SetHostIP", 25, {"AHost", "RetVal"})
            .build();
    TypeDesc ioxml_events =
        InterfaceBuilder<IDispatch>("IIoXmlEvents", DIID_IIoXmlEvents, "Events interface for IoXml Object", false)
            .event("OnStatus", 1, {{"AStatusEvent", ioxml_status_event}, {"AStatus", ioxml_status}})
            .event("OnValuesXml", 3, {{"ACount", VT_I4}})
            .event("OnSetupXml", 4, {{"AStatus", ioxml_status}, {"ACount", VT_I4}})
            .event("OnError", 6, {{"ACode", ioxml_error}})
            .build();
    TypeDesc ioxml_class = coclass_type("IoXml", CLSID_IoXml, "IoXml Object",
                                        {{&ioxml, IMPLTYPEFLAG_FDEFAULT},
                                         {&ioxml_events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}});

    // ---- KalLog
    TypeDesc kallog =
        InterfaceBuilder<IKalLog>("IKalLog", IID_IKalLog, "Dispatch interface for KalLog Object")
            .method<&IKalLog::Open>("Open", 1, {"RetVal"})
            .method<&IKalLog::Close>("Close", 2, {"RetVal"})
            .method<&IKalLog::Delete>("Delete", 3, {"RetVal"})
            .method<&IKalLog::DeleteAll>("DeleteAll", 4, {"RetVal"})
            .method<&IKalLog::GetLogFile>("GetLogFile", 5, {"RetVal"})
            .method<&IKalLog::GetLastError>("GetLastError", 6,
                                            {"ASdkCode", "ASysCode", "ASdkDesc", "ASysDesc", "AGlobal"}, {}, false)
            .method<&IKalLog::GetStatus>("GetStatus", 7, {{"RetVal", log_status}})
            .propget<&IKalLog::get_IP>("IP", 8)
            .propput<&IKalLog::put_IP>("IP", 8)
            .propget<&IKalLog::get_Port>("Port", 9)
            .propput<&IKalLog::put_Port>("Port", 9)
            .propget<&IKalLog::get_Csv>("Csv", 10)
            .propput<&IKalLog::put_Csv>("Csv", 10)
            .propget<&IKalLog::get_Username>("Username", 11)
            .propput<&IKalLog::put_Username>("Username", 11)
            .propget<&IKalLog::get_Password>("Password", 12)
            .propput<&IKalLog::put_Password>("Password", 12)
            .propget<&IKalLog::get_RecGroup>("RecGroup", 13, {"Value", log_group})
            .propput<&IKalLog::put_RecGroup>("RecGroup", 13, {"Value", log_group})
            .propget<&IKalLog::get_RecType>("RecType", 14, {"Value", log_type})
            .propput<&IKalLog::put_RecType>("RecType", 14, {"Value", log_type})
            .method<&IKalLog::WriteToFile>("WriteToFile", 15, {"AName", "ASeek", "RetVal"})
            .method<&IKalLog::ReadLnArray>("ReadLnArray", 16, {"RetVal"})
            .method<&IKalLog::ConvertBin2Csv>("ConvertBin2Csv", 17, {"RetVal"})
            .method<&IKalLog::ResetLn>("ResetLn", 18, {})
            .method<&IKalLog::ReadLn>("ReadLn", 19, {"AData", "RetVal"})
            .method<&IKalLog::ReadLnStr>("ReadLnStr", 20, {"RetVal"})
            .method<&IKalLog::ReadRecArray>(
                "ReadRecArray", 21,
                {{"ATime", VT_DATE}, {"AType", rec_type}, {"AGroup", rec_group}, "RetVal"})
            .method<&IKalLog::LoadFromCsvFile>("LoadFromCsvFile", 22, {"AName", "RetVal"})
            .method<&IKalLog::LoadFromBinFile>("LoadFromBinFile", 23, {"AName", "RetVal"})
            .method<&IKalLog::SetHostIP>("SetHostIP", 24, {"AHost", "RetVal"})
            .build();
    TypeDesc kallog_events =
        InterfaceBuilder<IDispatch>("IKalLogEvents", DIID_IKalLogEvents, "Events interface for KalLog Object", false)
            .event("OnStatus", 1, {{"AStatusEvent", log_status_event}, {"AStatus", log_status}})
            .event("OnRead", 2, {{"ASize", VT_I4}})
            .event("OnDownload", 3, {{"ACsv", VT_I4}, {"ACount", VT_I4}})
            .event("OnDelete", 4, {{"AAll", VT_I4}})
            .event("OnError", 5, {{"ACode", log_error}})
            .build();
    TypeDesc kallog_class = coclass_type("KalLog", CLSID_KalLog, "KalLog Object",
                                         {{&kallog, IMPLTYPEFLAG_FDEFAULT},
                                          {&kallog_events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}});
    LibraryDesc lib;

    KalAxTypes() {
        lib.name = "KalAx";
        lib.libid = LIBID_KalAx;
        lib.lcid = 1033;
        lib.doc = "KalAx Library";
        for (TypeDesc *t : {&ioxml_status, &ioxml_error, &ioxml_status_event, &family, &version, &units, &state, &mode,
                            &type, &alarm, &to_str, &sensor, &log_group, &log_type, &log_status_event, &log_status,
                            &log_error, &rec_type, &rec_group, &ioxml, &ioxml_events, &ioxml_class, &kallog,
                            &kallog_events, &kallog_class})
            lib.add(*t);
    }
    KalAxTypes(const KalAxTypes &) = delete;
};

const KalAxTypes &types() {
    static const KalAxTypes t;
    return t;
}

}  // namespace

const LibraryDesc &kalax_library() { return types().lib; }
const TypeDesc &ioxml_type() { return types().ioxml; }
const TypeDesc &ioxml_events_type() { return types().ioxml_events; }
const TypeDesc &kallog_type() { return types().kallog; }
const TypeDesc &kallog_events_type() { return types().kallog_events; }
const TypeDesc &xml_sensor_type() { return types().sensor; }
const TypeDesc &ioxml_coclass() { return types().ioxml_class; }
const TypeDesc &kallog_coclass() { return types().kallog_class; }

}  // namespace kalax::ax::lib
