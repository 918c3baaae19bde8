// Late binding from JScript without a scale: values, the exception of a
// refused put, and methods without a connection. Prints "ok"/"FAIL" lines;
// the exit code is the number of failures.
var failures = 0;
function check(what, actual, expected) {
  if (String(actual) === String(expected)) {
    WScript.Echo("ok   js " + what);
  } else {
    WScript.Echo("FAIL js " + what + ": [" + actual + "], expected [" + expected + "]");
    failures++;
  }
}

var s = new ActiveXObject("RaroreDoziri.Scale");
check("new Tare", s.Tare, 0);
s.Screen = 5;
check("Screen 5", s.Screen, 5);
var caught = false;
try {
  s.Screen = -1;
} catch (e) {
  caught = true;
  check("refused put: description", e.description, "Range check error");
  check("refused put: number", (e.number >>> 0).toString(16), "8000ffff");
}
check("refused put raised", caught, true);
check("Screen kept", s.Screen, 5);
s.Operation = 2147483647;
check("Operation", s.Operation, 2147483647);
check("CloseConnection without a connection", s.CloseConnection(), 1);
check("SetScreen without a connection", s.SetScreen(), 1);
WScript.Echo("done");
WScript.Quit(failures);
