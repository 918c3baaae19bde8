' The main job's session through the registered DLL, late-bound from
' VBScript: open, read weight and tare, download every configuration
' command, close. Prints Name=value lines. Argument: the connection string.
Option Explicit
Dim s
Set s = CreateObject("RaroreDoziri.Scale")
s.Connection = WScript.Arguments(0)

Sub Show(name, value)
  WScript.Echo name & "=" & value
End Sub

Show "OpenConnection", s.OpenConnection()
Show "ReadWeight", s.ReadWeight()
Show "Weight", s.Weight
Show "Division", s.Division
Show "Stable", s.Stable
Show "ReadTare", s.ReadTare()
Show "Tare", s.Tare
s.Goods = "Milk" : Show "SetGoods", s.SetGoods()
s.Tare = 1000 : Show "SetTare", s.SetTare()
s.LabelFormat = "L01" : Show "SetLabelFormat", s.SetLabelFormat()
s.LabelFormatZ = "Z02" : Show "SetLabelFormatZ", s.SetLabelFormatZ()
s.Tape = 1 : Show "SetTape", s.SetTape()
s.Underwinder = 2 : Show "SetUnderwinder", s.SetUnderwinder()
s.Operation = 3 : s.RegistratorStore = "Store-12" : s.Agent = "7"
Show "SetMode", s.SetMode()
s.Operator = "Anna" : Show "SetOperator", s.SetOperator()
s.Text = "Fresh today" : Show "SetText", s.SetText()
s.GoodsButton1 = "Apples" : s.GoodsButton8 = "Cheese"
Show "SetGoodsButton", s.SetGoodsButton()
s.Lock1 = 1 : s.Lock10 = 1 : Show "SetLock", s.SetLock()
s.OptionMoreLabels = 1 : s.OptionFreePrice = 1 : Show "SetOptions", s.SetOptions()
s.FindGoods = 1 : Show "SetFindGoods", s.SetFindGoods()
s.Screen = 1 : Show "SetScreen", s.SetScreen()

On Error Resume Next
s.Screen = -1
WScript.Echo "Screen = -1 failed: " & Err.Description & " (source " & Err.Source & ")"
On Error GoTo 0

Show "CloseConnection", s.CloseConnection()
