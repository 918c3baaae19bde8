Attribute VB_Name = "RaroreDoziriSample"
' RaroreDoziri sample for VBA (Excel, Word, Access, ...): File > Import File,
' then run ScaleDemo from the Immediate window:
'
'   ScaleDemo "COM3"          serial port 3
'   ScaleDemo "192.168.1.50"  the scale's IP address (TCP port 5001)
'   ScaleDemo                 127.0.0.1
'
' The driver's bitness must match the Office installation: 64-bit Office
' needs x64\register.cmd, 32-bit Office x86\register.cmd (File > Account >
' About shows which one is installed).
'
' The object is late-bound (As Object): VBA has no type for the signed 8-bit
' properties (Stable, Screen, Tape, Underwinder, FindGoods, Lock1..Lock10,
' Option...), so they are read through CInt and written as small integers.
'
' Methods return a result code (0 done, 1 no usable connection, 2 no
' complete reply, 4 not available with the legacy protocol, 5 refused by the
' scale). A failure status, such as a property value out of range, raises a
' run-time error, handled below with On Error GoTo.
Option Explicit

Private Function Meaning(ByVal code As Long) As String
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
Private Function Report(ByVal name As String, ByVal code As Long) As Boolean
    Debug.Print name & ": " & code & " (" & Meaning(code) & ")"
    Report = (code = 0)
End Function

Public Sub ScaleDemo(Optional ByVal connection As String = "127.0.0.1")
    Dim scale As Object
    Set scale = CreateObject("RaroreDoziri.Scale")
    scale.Connection = connection

    If Not Report("OpenConnection", scale.OpenConnection()) Then
        Debug.Print "No scale answers at " & connection & "."
        Exit Sub
    End If

    ' Live weight with its division code and stability flag.
    If Report("ReadWeight", scale.ReadWeight()) Then
        Debug.Print "Weight=" & scale.Weight & " Division=" & scale.Division & _
                    " Stable=" & CInt(scale.Stable)
    End If

    ' Tare: reports 4 on a serial scale that speaks the legacy protocol.
    If Report("ReadTare", scale.ReadTare()) Then
        Debug.Print "Tare=" & scale.Tare & " Division=" & scale.Division
    End If

    ' One configuration download: the goods text (15 characters on the scale).
    scale.Goods = "Milk 3.5%"
    Report "SetGoods", scale.SetGoods()

    ' The screen setting: a scale may refuse it (result code 5).
    scale.Screen = 1
    Report "SetScreen", scale.SetScreen()

    ' A failure status: the 8-bit properties take 0 to 127, so -1 is refused
    ' with the error "Range check error" and Screen keeps its value.
    On Error GoTo RangeFailed
    scale.Screen = -1
    On Error GoTo 0
    GoTo Finish

RangeFailed:
    Debug.Print "Screen = -1 failed: " & Err.Description & " (error &H" & Hex(Err.Number) & _
                ", source " & Err.Source & ")"
    Resume Finish

Finish:
    On Error GoTo 0
    Debug.Print "Screen is still " & CInt(scale.Screen)
    Report "CloseConnection", scale.CloseConnection()
    Set scale = Nothing
End Sub
