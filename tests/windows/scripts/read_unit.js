// KalAx.IoXml from JScript under cscript: reads a simulated unit's values,
// renames a sensor with text outside ASCII and reads the name back.
// usage: cscript //nologo read_unit.js PORT DEAD_PORT
// Wine's script host has no WScript.Sleep and cannot sink events: the script
// waits by polling the object's own status. Prints "ok ..."/"FAIL ..." lines.
var failures = 0;
function check(ok, name, why) {
    WScript.Echo((ok ? "ok " : "FAIL ") + name + (ok || !why ? "" : ": " + why));
    if (!ok) failures++;
}

var STATUS_OPENED = 1;
// Polls until the object is back to "opened" (its request answered), at most 10 s.
function settle(io) {
    var end = new Date().getTime() + 10000;
    while (io.GetStatus() != STATUS_OPENED && new Date().getTime() < end) {}
    return io.GetStatus() == STATUS_OPENED;
}

var port = parseInt(WScript.Arguments(0), 10);
var io = new ActiveXObject("KalAx.IoXml");
io.IP = "127.0.0.1";
io.Port = port;
check(io.Port == port && io.IP == "127.0.0.1", "js_properties");
check(io.Open() == 0, "js_open");
check(io.GetValuesXml() == 0, "js_values_requested");
check(settle(io), "js_values_answered");
var count = io.GetValuesCount();
check(count == 9, "js_values_count", count);
WScript.Echo("# " + count + " items");

// The rename goes to the unit, the next values show it.
var renamed = "K\u00fchlraum \u2116 4 \u00b0C";
check(io.SetSensName(1, renamed) == 0, "js_rename_requested");
check(settle(io), "js_rename_answered");
check(io.GetValuesXml() == 0 && settle(io), "js_values_again");
WScript.Echo("# renamed to " + renamed.length + " characters");

// Closing returns the object to "closed".
check(io.Close() == 0 && io.GetStatus() == 0, "js_close");

// An unreachable unit: the request ends and the status returns to "opened".
var dead = new ActiveXObject("KalAx.IoXml");
dead.Port = parseInt(WScript.Arguments(1), 10);
check(dead.Open() == 0 && dead.GetValuesXml() == 0, "js_unreachable_requested");
check(settle(dead), "js_unreachable_settles");

WScript.Echo(failures ? "FAILED: " + failures + " failed" : "PASSED: 0 failed");
WScript.Quit(failures ? 1 : 0);
