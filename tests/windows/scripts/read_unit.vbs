' KalAx.IoXml from VBScript under cscript: reads a simulated unit's values,
' renames an input with text outside ASCII (Windows-1252: Wine 8's VBScript
' has no ChrW), and shows GetLastError's texts.
' usage: cscript //nologo read_unit.vbs PORT DEAD_PORT
' Wine's script host has no WScript.Sleep and cannot sink events: the script
' waits by polling the object's own status. Prints "ok ..."/"FAIL ..." lines.
Option Explicit
Dim failures : failures = 0
Sub Check(ok, name, why)
    If ok Then
        WScript.Echo "ok " & name
    Else
        WScript.Echo "FAIL " & name & ": " & why
        failures = failures + 1
    End If
End Sub

Const STATUS_OPENED = 1
' Polls until the object is back to "opened" (its request answered), at most 10 s.
Function Settle(io)
    Dim t0 : t0 = Timer
    Do While io.GetStatus() <> STATUS_OPENED And Abs(Timer - t0) < 10
    Loop
    Settle = (io.GetStatus() = STATUS_OPENED)
End Function

Dim io, port, count, renamed
port = CLng(WScript.Arguments(0))
Set io = CreateObject("KalAx.IoXml")
io.IP = "127.0.0.1"
io.Port = port
Check io.Port = port, "vbs_properties", io.Port
Check io.Open() = 0, "vbs_open", ""
Check io.GetValuesXml() = 0, "vbs_values_requested", ""
Check Settle(io), "vbs_values_answered", io.GetStatus()
count = io.GetValuesCount()
Check count = 9, "vbs_values_count", count
WScript.Echo "# " & count & " items"

renamed = "K" & Chr(252) & "hlraum 5 " & Chr(176) & "C"
Check io.SetSensName(1, renamed) = 0, "vbs_rename_requested", ""
Check Settle(io), "vbs_rename_answered", io.GetStatus()
Check io.GetValuesXml() = 0, "vbs_values_again", ""
Check Settle(io), "vbs_values_again_answered", io.GetStatus()
Check io.Close() = 0 And io.GetStatus() = 0, "vbs_close", io.GetStatus()

' An unreachable unit: the error record tells what happened.
Dim dead, sdkCode, sysCode, sdkDesc, sysDesc
Set dead = CreateObject("KalAx.IoXml")
dead.Port = CLng(WScript.Arguments(1))
Check dead.Open() = 0 And dead.GetValuesXml() = 0, "vbs_unreachable_requested", ""
Check Settle(dead), "vbs_unreachable_settles", dead.GetStatus()
dead.GetLastError sdkCode, sysCode, sdkDesc, sysDesc, 0
Check sdkCode <> 0 And Len(sdkDesc) > 0, "vbs_get_last_error", sdkCode
WScript.Echo "# GetLastError: " & sdkCode & " " & sysCode & " """ & sdkDesc & """ """ & sysDesc & """"

If failures > 0 Then
    WScript.Echo "FAILED: " & failures & " failed"
    WScript.Quit 1
End If
WScript.Echo "PASSED: 0 failed"
WScript.Quit 0
