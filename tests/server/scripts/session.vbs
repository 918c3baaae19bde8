' A VBScript session with a scale: open, read weight and tare, download the
' configuration, close. Arguments: connection string, name of the run. The
' simulated scale serves weight 1234, division 2, stable, tare 56, and
' refuses the second label format (A5). Exit code: the number of failures.
Option Explicit
Dim failures : failures = 0
Dim run : run = WScript.Arguments(1)

Sub Check(what, actual, expected)
  If CStr(actual) = CStr(expected) Then
    WScript.Echo "ok   vbs " & run & " " & what
  Else
    WScript.Echo "FAIL vbs " & run & " " & what & ": [" & actual & "], expected [" & expected & "]"
    failures = failures + 1
  End If
End Sub

Dim s
Set s = CreateObject("RaroreDoziri.Scale")
s.Connection = WScript.Arguments(0)
Check "OpenConnection", s.OpenConnection, 0
Check "ReadWeight", s.ReadWeight, 0
Check "Weight", s.Weight, 1234
Check "Division", s.Division, 2
Check "Stable", s.Stable, 1
Check "ReadTare", s.ReadTare, 0
Check "Tare", s.Tare, 56

s.Goods = "Gouda"
Check "SetGoods", s.SetGoods, 0
s.Tare = 77
Check "SetTare", s.SetTare, 0
Check "ReadTare after SetTare", s.ReadTare, 0
Check "Tare after SetTare", s.Tare, 77
s.LabelFormat = "L1"
Check "SetLabelFormat", s.SetLabelFormat, 0
s.LabelFormatZ = "Z1"
Check "SetLabelFormatZ refused", s.SetLabelFormatZ, 5
s.Tape = 1
Check "SetTape", s.SetTape, 0
s.Underwinder = 1
Check "SetUnderwinder", s.SetUnderwinder, 0
s.Operation = 1
s.RegistratorStore = "Store 1"
s.Agent = "Agent"
Check "SetMode", s.SetMode, 0
s.Operator = "Ann"
Check "SetOperator", s.SetOperator, 0
s.Text = "Hello"
Check "SetText", s.SetText, 0
s.GoodsButton1 = "B1"
s.GoodsButton8 = "B8"
Check "SetGoodsButton", s.SetGoodsButton, 0
s.Lock1 = 1
s.Lock10 = 1
Check "SetLock", s.SetLock, 0
s.OptionPacking = 1
Check "SetOptions", s.SetOptions, 0
s.FindGoods = 1
Check "SetFindGoods", s.SetFindGoods, 0
s.Screen = 1
Check "SetScreen", s.SetScreen, 0

Check "CloseConnection", s.CloseConnection, 0
WScript.Echo "done"
WScript.Quit failures
