' Late binding from VBScript without a scale: a new object's values, the
' property rules, the error information of a refused put, and the result code
' of methods without a connection. Prints "ok"/"FAIL" lines and "done" at
' the end (a script error ends the host silently); the exit code is the
' number of failures.
Option Explicit
Dim failures : failures = 0

Sub Check(what, actual, expected)
  If CStr(actual) = CStr(expected) Then
    WScript.Echo "ok   vbs " & what
  Else
    WScript.Echo "FAIL vbs " & what & ": [" & actual & "], expected [" & expected & "]"
    failures = failures + 1
  End If
End Sub

Dim s, t
Set s = CreateObject("RaroreDoziri.Scale")
Check "new Connection", s.Connection, ""
Check "new Weight", s.Weight, 0
Check "new Screen", s.Screen, 0
Check "new LabelFormat", s.LabelFormat, ""

s.Screen = 127
Check "Screen 127", s.Screen, 127
On Error Resume Next
s.Screen = -1
Check "refused put: Err.Number", Hex(Err.Number), "8000FFFF"
Check "refused put: Err.Description", Err.Description, "Range check error"
Check "refused put: Err.Source", Err.Source, "RaroreDoziri.Scale"
Err.Clear
s.Lock10 = -128
Check "Lock10 -128: Err.Description", Err.Description, "Range check error"
Err.Clear
On Error GoTo 0
Check "Screen kept after the refused put", s.Screen, 127

s.Tare = -5
Check "Tare -5", s.Tare, -5
s.Goods = "Gouda 45+"
Check "wide text", s.Goods, "Gouda 45+"
s.LabelFormat = "LBL 7"
Check "8-bit text", s.LabelFormat, "LBL 7"

Check "OpenConnection without a connection", s.OpenConnection, 1
Check "ReadWeight without a connection", s.ReadWeight(), 1
Check "SetGoods without a connection", s.SetGoods, 1

Set t = CreateObject("RaroreDoziri.Scale")
s.Connection = "COM2"
Check "second object independent", t.Connection, ""
WScript.Echo "done"
WScript.Quit failures
