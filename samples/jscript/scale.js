// RaroreDoziri sample for JScript (Windows Script Host).
//
//   cscript //nologo scale.js [connection]
//
// connection: "COM3" for serial port 3, or the scale's IP address (TCP port
// 5001); default "127.0.0.1". Register the driver of the script host's
// bitness first: x64\register.cmd for %SystemRoot%\System32\cscript.exe on
// 64-bit Windows, x86\register.cmd for %SystemRoot%\SysWOW64\cscript.exe.
//
// Methods return a result code (0 done, 1 no usable connection, 2 no
// complete reply, 4 not available with the legacy protocol, 5 refused by the
// scale). A failure status, such as a property value out of range, throws an
// exception: e.description holds the driver's message, e.number the status.

var connection = WScript.Arguments.length > 0 ? WScript.Arguments(0) : "127.0.0.1";

var meanings = {
  0: "done",
  1: "no usable connection",
  2: "no complete reply",
  4: "not available with the legacy protocol",
  5: "refused by the scale"
};

// Prints a method's result code; true when the method was carried out.
function report(name, code) {
  WScript.Echo(name + ": " + code + " (" + (meanings[code] || "unknown result code") + ")");
  return code === 0;
}

// A status as eight hexadecimal digits (e.number is a signed 32-bit value).
function hex(number) {
  return ("0000000" + (number >>> 0).toString(16).toUpperCase()).slice(-8);
}

var scale = new ActiveXObject("RaroreDoziri.Scale");
scale.Connection = connection;

if (!report("OpenConnection", scale.OpenConnection())) {
  WScript.Echo("No scale answers at " + connection + ".");
  WScript.Quit(2);
}

// Live weight with its division code and stability flag.
if (report("ReadWeight", scale.ReadWeight())) {
  WScript.Echo("Weight=" + scale.Weight + " Division=" + scale.Division +
               " Stable=" + scale.Stable);
}

// Tare: reports 4 on a serial scale that speaks the legacy protocol.
if (report("ReadTare", scale.ReadTare())) {
  WScript.Echo("Tare=" + scale.Tare + " Division=" + scale.Division);
}

// One configuration download: the goods text (15 characters on the scale).
scale.Goods = "Milk 3.5%";
report("SetGoods", scale.SetGoods());

// The screen setting: a scale may refuse it (result code 5).
scale.Screen = 1;
report("SetScreen", scale.SetScreen());

// A failure status: the 8-bit properties take 0 to 127, so -1 is refused with
// the error "Range check error" and Screen keeps its value.
try {
  scale.Screen = -1;
} catch (e) {
  WScript.Echo("Screen = -1 failed: " + e.description + " (status 0x" + hex(e.number) + ")");
}
WScript.Echo("Screen is still " + scale.Screen);

report("CloseConnection", scale.CloseConnection());
scale = null;
