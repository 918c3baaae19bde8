' RaroreDoziri sample for VBScript (Windows Script Host).
'
'   cscript //nologo scale.vbs [connection]
'
' connection: "COM3" for serial port 3, or the scale's IP address (TCP port
' 5001); default "127.0.0.1". Register the driver of the script host's
' bitness first: x64\register.cmd for %SystemRoot%\System32\cscript.exe on
' 64-bit Windows, x86\register.cmd for %SystemRoot%\SysWOW64\cscript.exe.
'
' Methods return a result code (0 done, 1 no usable connection, 2 no
' complete reply, 4 not available with the legacy protocol, 5 refused by the
' scale). A failure status, such as a property value out of range, raises a
' run-time error instead: it is caught with On Error Resume Next and Err.
Option Explicit

Dim connection
connection = "127.0.0.1"
If WScript.Arguments.Count > 0 Then connection = WScript.Arguments(0)

Function Meaning(code)
  Select Case code
    Case 0: Meaning = "done"
    Case 1: Meaning = "no usable connection"
    Case 2: Meaning = "no complete reply"
    Case 4: Meaning = "not available with the legacy protocol"
    Case 5: Meaning = "refused by the scale"
    Case Else: Meaning = "unknown result code"
  End Select
End Function

' Prints a method's result code; True when the method was carried out.
Function Report(name, code)
  WScript.Echo name & ": " & code & " (" & Meaning(code) & ")"
  Report = (code = 0)
End Function

Dim scale
Set scale = CreateObject("RaroreDoziri.Scale")
scale.Connection = connection

If Not Report("OpenConnection", scale.OpenConnection()) Then
  WScript.Echo "No scale answers at " & connection & "."
  WScript.Quit 2
End If

' Live weight with its division code and stability flag.
If Report("ReadWeight", scale.ReadWeight()) Then
  WScript.Echo "Weight=" & scale.Weight & " Division=" & scale.Division & _
               " Stable=" & CInt(scale.Stable)
End If

' Tare: reports 4 on a serial scale that speaks the legacy protocol.
If Report("ReadTare", scale.ReadTare()) Then
  WScript.Echo "Tare=" & scale.Tare & " Division=" & scale.Division
End If

' One configuration download: the goods text (15 characters on the scale).
scale.Goods = "Milk 3.5%"
Report "SetGoods", scale.SetGoods()

' The screen setting: a scale may refuse it (result code 5).
scale.Screen = 1
Report "SetScreen", scale.SetScreen()

' A failure status: the 8-bit properties take 0 to 127, so -1 is refused with
' the error "Range check error" and Screen keeps its value.
On Error Resume Next
scale.Screen = -1
If Err.Number <> 0 Then
  WScript.Echo "Screen = -1 failed: " & Err.Description & " (error &H" & Hex(Err.Number) & _
               ", source " & Err.Source & ")"
  Err.Clear
End If
On Error GoTo 0
WScript.Echo "Screen is still " & CInt(scale.Screen)

Report "CloseConnection", scale.CloseConnection()
Set scale = Nothing
