/* The values and setup records: one description of every field, from which the
 * C structs below, the parser's key tables and the setup writer are all made.
 *
 *   F(name, width)               a single text field: char name[width]
 *   L(list, capacity, name, width)  a field of every entry of a list:
 *                                char name[capacity][width]
 *
 * The order is the record order, which is also the order of the key tables and
 * of the elements in a written setup document. A field's key path is "Root_"
 * followed by its name; every "_" in the name is one element level. A field of
 * width w holds at most w - 2 characters. */
#ifndef KALAX_ZXXML_RECORDS_H
#define KALAX_ZXXML_RECORDS_H

#include <stdint.h>

#define ZXXML_VALUES_FIELDS(F, L)                                               \
    F(Agent_Version, 12) F(Agent_XmlVer, 12) F(Agent_DeviceName, 52)            \
    F(Agent_Model, 8) F(Agent_VendorID, 12) F(Agent_MAC, 20)                    \
    F(Agent_Title, 152) F(Agent_Contact, 152)                                   \
    F(TemperRange_Min, 8) F(TemperRange_Max, 8)                                 \
    L(BinaryInSet, 64, BinaryInSet_Entry_ID, 12)                                \
    L(BinaryInSet, 64, BinaryInSet_Entry_Name, 52)                              \
    L(BinaryInSet, 64, BinaryInSet_Entry_Value, 8)                              \
    L(BinaryInSet, 64, BinaryInSet_Entry_AlarmState, 4)                         \
    L(BinaryInSet, 64, BinaryInSet_Entry_Alarm, 52)                             \
    L(BinaryInSet, 64, BinaryInSet_Entry_State, 4)                              \
    L(BinaryInSet, 64, BinaryInSet_Entry_Cnt, 52)                               \
    L(BinaryInSet, 64, BinaryInSet_Entry_Color, 4)                              \
    L(BinaryInSet, 64, BinaryInSet_Entry_SNMPTrap, 4)                           \
    L(BinaryInSet, 64, BinaryInSet_Entry_EmailSMS, 4)                           \
    L(BinaryInSet, 64, BinaryInSet_Entry_Idx, 4)                                \
    F(BinaryInSet_AlarmAction, 52)                                              \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_ID, 12)                              \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Name, 52)                            \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Type, 4)                             \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Value, 8)                            \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Mode, 52)                            \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_CondInputID, 52)                     \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Trigger, 52)                         \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Idx, 4)                              \
    L(SenSet, 42, SenSet_Entry_Name, 52)                                        \
    L(SenSet, 42, SenSet_Entry_ID, 12)                                          \
    L(SenSet, 42, SenSet_Entry_Units, 8)                                        \
    L(SenSet, 42, SenSet_Entry_Value, 8)                                        \
    L(SenSet, 42, SenSet_Entry_Min, 8)                                          \
    L(SenSet, 42, SenSet_Entry_Max, 8)                                          \
    L(SenSet, 42, SenSet_Entry_Hyst, 8)                                         \
    L(SenSet, 42, SenSet_Entry_SNMPTrap, 4)                                     \
    L(SenSet, 42, SenSet_Entry_EmailSMS, 4)                                     \
    L(SenSet, 42, SenSet_Entry_Color, 4)                                        \
    L(SenSet, 42, SenSet_Entry_State, 4)                                        \
    L(SenSet, 42, SenSet_Entry_Calib, 8)                                        \
    L(SenSet, 42, SenSet_Entry_Idx, 4)                                          \
    F(Time_Date, 20) F(Time_Time, 20)

#define ZXXML_SETUP_FIELDS(F, L)                                                \
    F(Agent_Version, 12) F(Agent_XmlVer, 12) F(Agent_DeviceName, 52)            \
    F(Agent_Model, 8) F(Agent_VendorID, 12) F(Agent_MAC, 20)                    \
    F(Agent_Title, 152) F(Agent_Contact, 152)                                   \
    F(Status_NtpState, 52)                                                      \
    F(TemperRange_Min, 8) F(TemperRange_Max, 8)                                 \
    L(BinaryInSet, 64, BinaryInSet_Entry_ID, 12)                                \
    L(BinaryInSet, 64, BinaryInSet_Entry_Name, 52)                              \
    L(BinaryInSet, 64, BinaryInSet_Entry_NameOpen, 52)                          \
    L(BinaryInSet, 64, BinaryInSet_Entry_NameClose, 52)                         \
    L(BinaryInSet, 64, BinaryInSet_Entry_Cnt, 52)                               \
    L(BinaryInSet, 64, BinaryInSet_Entry_Value, 8)                              \
    L(BinaryInSet, 64, BinaryInSet_Entry_AlarmState, 4)                         \
    L(BinaryInSet, 64, BinaryInSet_Entry_Alarm, 52)                             \
    L(BinaryInSet, 64, BinaryInSet_Entry_Color, 4)                              \
    L(BinaryInSet, 64, BinaryInSet_Entry_State, 4)                              \
    L(BinaryInSet, 64, BinaryInSet_Entry_Mask1, 52)                             \
    L(BinaryInSet, 64, BinaryInSet_Entry_Mask2, 52)                             \
    L(BinaryInSet, 64, BinaryInSet_Entry_Dest_Snmp1, 52)                        \
    L(BinaryInSet, 64, BinaryInSet_Entry_Dest_Snmp2, 52)                        \
    L(BinaryInSet, 64, BinaryInSet_Entry_Dest_Snmp3, 52)                        \
    L(BinaryInSet, 64, BinaryInSet_Entry_Dest_Snmp4, 52)                        \
    L(BinaryInSet, 64, BinaryInSet_Entry_Dest_Mail1, 52)                        \
    L(BinaryInSet, 64, BinaryInSet_Entry_Dest_Mail2, 52)                        \
    L(BinaryInSet, 64, BinaryInSet_Entry_Dest_Delay, 52)                        \
    L(BinaryInSet, 64, BinaryInSet_Entry_Dest_E, 4)                             \
    L(BinaryInSet, 64, BinaryInSet_Entry_SNMPTrap, 4)                           \
    L(BinaryInSet, 64, BinaryInSet_Entry_EmailSMS, 4)                           \
    L(BinaryInSet, 64, BinaryInSet_Entry_Idx, 4)                                \
    F(BinaryInSet_AlarmAction, 52)                                              \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_ID, 12)                              \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Name, 52)                            \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_NameOpen, 52)                        \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_NameClose, 52)                       \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Value, 8)                            \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Type, 4)                             \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Mode, 52)                            \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_CondInputID, 52)                     \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Trigger, 52)                         \
    L(BinaryOutSet, 64, BinaryOutSet_Entry_Idx, 4)                              \
    L(SenSet, 42, SenSet_Entry_Name, 52)                                        \
    L(SenSet, 42, SenSet_Entry_ID, 12)                                          \
    L(SenSet, 42, SenSet_Entry_Units, 8)                                        \
    L(SenSet, 42, SenSet_Entry_Min, 8)                                          \
    L(SenSet, 42, SenSet_Entry_Max, 8)                                          \
    L(SenSet, 42, SenSet_Entry_Hyst, 8)                                         \
    L(SenSet, 42, SenSet_Entry_E, 4)                                            \
    L(SenSet, 42, SenSet_Entry_Value, 8)                                        \
    L(SenSet, 42, SenSet_Entry_SNMPTrap, 4)                                     \
    L(SenSet, 42, SenSet_Entry_EmailSMS, 4)                                     \
    L(SenSet, 42, SenSet_Entry_Color, 4)                                        \
    L(SenSet, 42, SenSet_Entry_State, 4)                                        \
    L(SenSet, 42, SenSet_Entry_Calib, 8)                                        \
    L(SenSet, 42, SenSet_Entry_Dest_Snmp1, 52)                                  \
    L(SenSet, 42, SenSet_Entry_Dest_Snmp2, 52)                                  \
    L(SenSet, 42, SenSet_Entry_Dest_Snmp3, 52)                                  \
    L(SenSet, 42, SenSet_Entry_Dest_Snmp4, 52)                                  \
    L(SenSet, 42, SenSet_Entry_Dest_Mail1, 52)                                  \
    L(SenSet, 42, SenSet_Entry_Dest_Mail2, 52)                                  \
    L(SenSet, 42, SenSet_Entry_Dest_Delay, 52)                                  \
    L(SenSet, 42, SenSet_Entry_Dest_E, 4)                                       \
    L(SenSet, 42, SenSet_Entry_Idx, 4)                                          \
    L(TempRangeSet, 42, TempRangeSet_Entry_Min, 8)                              \
    L(TempRangeSet, 42, TempRangeSet_Entry_Max, 8)                              \
    L(TempRangeSet, 42, TempRangeSet_Entry_Alarm, 52)                           \
    L(TempRangeSet, 42, TempRangeSet_Entry_Idx, 4)                              \
    F(AlarmSet_Subj, 52) F(AlarmSet_Body, 52)                                   \
    L(GroupSet, 42, GroupSet_Entry_Name, 52)                                    \
    L(GroupSet, 42, GroupSet_Entry_Out, 52)                                     \
    L(GroupSet, 42, GroupSet_Entry_OutState, 52)                                \
    L(GroupSet, 42, GroupSet_Entry_Alarm_Subj, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Alarm_Body, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Dest_Snmp1, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Dest_Snmp2, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Dest_Snmp3, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Dest_Snmp4, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Dest_Mail1, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Dest_Mail2, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Dest_Delay, 52)                              \
    L(GroupSet, 42, GroupSet_Entry_Dest_E, 4)                                   \
    L(GroupSet, 42, GroupSet_Entry_Idx, 4)                                      \
    L(SnmpTraps, 4, SnmpTraps_Entry_Community, 52)                              \
    L(SnmpTraps, 4, SnmpTraps_Entry_IPaddr, 20)                                 \
    L(SnmpTraps, 4, SnmpTraps_Entry_Port, 8)                                    \
    L(SnmpTraps, 4, SnmpTraps_Entry_E, 4)                                       \
    L(SnmpTraps, 4, SnmpTraps_Entry_Idx, 4)                                     \
    L(MailDest, 4, MailDest_Entry_To, 52)                                       \
    L(MailDest, 4, MailDest_Entry_Cc, 52)                                       \
    L(MailDest, 4, MailDest_Entry_E, 4)                                         \
    L(MailDest, 4, MailDest_Entry_Idx, 4)                                       \
    F(Counters_E, 4) F(Counters_Int, 52)                                        \
    F(BinSetG_AlarmDest, 4)                                                     \
    F(Global_Units, 8) F(Global_Logo, 52) F(Global_ZXSec, 20)                  \
    F(Global_AlarmDelay, 52)                                                    \
    F(Network_Name, 52) F(Network_IPAddr, 20) F(Network_Submask, 20)            \
    F(Network_Gateway, 20) F(Network_HTTPport, 8) F(Network_TelnetPort, 8)      \
    F(Network_SNMPPort, 8) F(Network_DNSPrimary, 20)                            \
    F(Network_DNSSecondary, 20) F(Network_DHCP, 52)                             \
    F(Email_Server, 52) F(Email_Port, 8) F(Email_From, 52) F(Email_To, 52)      \
    F(Email_Subject, 52) F(Email_Auth, 4) F(Email_Name, 52) F(Email_Pswd, 52)   \
    F(Email_State, 4) F(Email_Message, 152)                                     \
    F(Time_SNTPServer, 52) F(Time_TimeShift, 8) F(Time_Date, 20)                \
    F(Time_Time, 20) F(Time_Port, 8) F(Time_Period, 52)                         \
    F(SMS_E, 4) F(SMS_Module, 52) F(SMS_CenterNmr, 52) F(SMS_Recp1, 52)         \
    F(SMS_Recp2, 52) F(SMS_RingOut, 52) F(SMS_State, 4) F(SMS_Message, 152)     \
    F(DataLogger_StorePeriod, 52) F(DataLogger_LogCapacity, 52)                 \
    F(DataLogger_LogBins, 52) F(DataLogger_Report_E, 4)                         \
    F(DataLogger_Report_To, 52) F(DataLogger_Report_Period, 52)                 \
    F(DataLogger_Report_Erase, 52)                                              \
    F(HTTPIPFilter_IPAddr, 20) F(HTTPIPFilter_Mask, 20)                         \
    F(SNMPIPFilter_IPAddr, 20) F(SNMPIPFilter_Mask, 20)                         \
    L(SnmpAccess, 2, SnmpAccess_Entry_Community, 52)                            \
    L(SnmpAccess, 2, SnmpAccess_Entry_R, 4)                                     \
    L(SnmpAccess, 2, SnmpAccess_Entry_W, 4)                                     \
    L(SnmpAccess, 2, SnmpAccess_Entry_E, 4)                                     \
    L(SnmpAccess, 2, SnmpAccess_Entry_Idx, 4)                                   \
    F(MIBIISysGroup_SysContact, 52) F(MIBIISysGroup_SysName, 52)                \
    F(MIBIISysGroup_SysLocation, 52)                                            \
    L(User, 2, User_Entry_Name, 52)                                             \
    L(User, 2, User_Entry_Pswd, 52)                                             \
    L(User, 2, User_Entry_Idx, 4)                                               \
    F(Info, 4)

/* Counted lists, in count-record order: C(list, capacity). */
#define ZXXML_VALUES_LISTS(C) C(BinaryInSet, 64) C(BinaryOutSet, 64) C(SenSet, 42)
#define ZXXML_SETUP_LISTS(C)                                                    \
    C(BinaryInSet, 64) C(BinaryOutSet, 64) C(SenSet, 42) C(TempRangeSet, 42)    \
    C(GroupSet, 42) C(SnmpTraps, 4) C(MailDest, 4) C(SnmpAccess, 2) C(User, 2)

#define ZXXML_FIELD_(name, width) char name[width];
#define ZXXML_LIST_FIELD_(list, capacity, name, width) char name[capacity][width];
#define ZXXML_COUNT_(list, capacity) int32_t list;

#pragma pack(push, 1)
/* values.xml as text fields; 33980 bytes. */
typedef struct zxxml_values_struct {
    int32_t time; /* seconds since the epoch at which the last request ended */
    ZXXML_VALUES_FIELDS(ZXXML_FIELD_, ZXXML_LIST_FIELD_)
} zxxml_values_struct;

/* Entries in use per list of the values record; 12 bytes. */
typedef struct zxxml_values_count_struct {
    ZXXML_VALUES_LISTS(ZXXML_COUNT_)
} zxxml_values_count_struct;

/* setup.xml as text fields; 125996 bytes. */
typedef struct zxxml_setup_struct {
    int32_t time;
    ZXXML_SETUP_FIELDS(ZXXML_FIELD_, ZXXML_LIST_FIELD_)
} zxxml_setup_struct;

/* Entries in use per list of the setup record; 36 bytes. */
typedef struct zxxml_setup_count_struct {
    ZXXML_SETUP_LISTS(ZXXML_COUNT_)
} zxxml_setup_count_struct;
#pragma pack(pop)

#undef ZXXML_FIELD_
#undef ZXXML_LIST_FIELD_
#undef ZXXML_COUNT_

#ifdef __cplusplus
static_assert(sizeof(zxxml_values_struct) == 33980, "values record layout");
static_assert(sizeof(zxxml_values_count_struct) == 12, "values count layout");
static_assert(sizeof(zxxml_setup_struct) == 125996, "setup record layout");
static_assert(sizeof(zxxml_setup_count_struct) == 36, "setup count layout");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(zxxml_values_struct) == 33980, "values record layout");
_Static_assert(sizeof(zxxml_values_count_struct) == 12, "values count layout");
_Static_assert(sizeof(zxxml_setup_struct) == 125996, "setup record layout");
_Static_assert(sizeof(zxxml_setup_count_struct) == 36, "setup count layout");
#endif

#endif /* KALAX_ZXXML_RECORDS_H */
