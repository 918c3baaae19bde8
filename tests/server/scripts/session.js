// A JScript session with a scale: open, read weight and tare, download the
// configuration, close. Arguments: connection string, name of the run. The
// simulated scale serves weight 1234, division 2, stable, tare 56, and
// refuses the second label format (A5). Exit code: the number of failures.
var failures = 0;
var run = WScript.Arguments(1);
function check(what, actual, expected) {
  if (String(actual) === String(expected)) {
    WScript.Echo("ok   js " + run + " " + what);
  } else {
    WScript.Echo("FAIL js " + run + " " + what + ": [" + actual + "], expected [" + expected + "]");
    failures++;
  }
}

var s = new ActiveXObject("RaroreDoziri.Scale");
s.Connection = WScript.Arguments(0);
check("OpenConnection", s.OpenConnection(), 0);
check("ReadWeight", s.ReadWeight(), 0);
check("Weight", s.Weight, 1234);
check("Division", s.Division, 2);
check("Stable", s.Stable, 1);
check("ReadTare", s.ReadTare(), 0);
check("Tare", s.Tare, 56);

s.Goods = "Gouda";
check("SetGoods", s.SetGoods(), 0);
s.Tare = -77;
check("SetTare", s.SetTare(), 0);
check("ReadTare after SetTare", s.ReadTare(), 0);
check("Tare after SetTare", s.Tare, -77);
s.LabelFormatZ = "Z1";
check("SetLabelFormatZ refused", s.SetLabelFormatZ(), 5);
s.Lock3 = 1;
check("SetLock", s.SetLock(), 0);
s.OptionFreePrice = 1;
check("SetOptions", s.SetOptions(), 0);
s.Screen = 2;
check("SetScreen", s.SetScreen(), 0);
check("CloseConnection", s.CloseConnection(), 0);
WScript.Echo("done");
WScript.Quit(failures);
