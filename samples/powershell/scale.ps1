# RaroreDoziri sample for PowerShell.
#
#   powershell -ExecutionPolicy Bypass -File scale.ps1 [-Connection COM3]
#
# Connection: "COM3" for serial port 3, or the scale's IP address (TCP port
# 5001); default "127.0.0.1". The driver's bitness must match PowerShell's:
# "Windows PowerShell" on 64-bit Windows is 64-bit (x64\register.cmd),
# "Windows PowerShell (x86)" is 32-bit (x86\register.cmd).
# [Environment]::Is64BitProcess tells which one runs.
#
# Methods return a result code (0 done, 1 no usable connection, 2 no
# complete reply, 4 not available with the legacy protocol, 5 refused by the
# scale). A failure status, such as a property value out of range, throws an
# exception whose message holds the driver's error description.
param([string]$Connection = "127.0.0.1")

$meanings = @{
    0 = "done"; 1 = "no usable connection"; 2 = "no complete reply"
    4 = "not available with the legacy protocol"; 5 = "refused by the scale"
}

# Prints a method's result code; $true when the method was carried out.
function Report([string]$Name, [int]$Code) {
    $meaning = $meanings[$Code]
    if (-not $meaning) { $meaning = "unknown result code" }
    Write-Host "${Name}: $Code ($meaning)"
    return $Code -eq 0
}

$scale = New-Object -ComObject RaroreDoziri.Scale
try {
    $scale.Connection = $Connection
    if (-not (Report "OpenConnection" $scale.OpenConnection())) {
        Write-Host "No scale answers at $Connection."
        exit 2
    }

    # Live weight with its division code and stability flag.
    if (Report "ReadWeight" $scale.ReadWeight()) {
        Write-Host "Weight=$($scale.Weight) Division=$($scale.Division) Stable=$($scale.Stable)"
    }

    # Tare: reports 4 on a serial scale that speaks the legacy protocol.
    if (Report "ReadTare" $scale.ReadTare()) {
        Write-Host "Tare=$($scale.Tare) Division=$($scale.Division)"
    }

    # One configuration download: the goods text (15 characters on the scale).
    $scale.Goods = "Milk 3.5%"
    [void](Report "SetGoods" $scale.SetGoods())

    # The screen setting: a scale may refuse it (result code 5).
    $scale.Screen = 1
    [void](Report "SetScreen" $scale.SetScreen())

    # A failure status: the 8-bit properties take 0 to 127, so -1 is refused
    # with the error "Range check error" and Screen keeps its value.
    try {
        $scale.Screen = -1
    } catch {
        $inner = $_.Exception.InnerException
        if (-not $inner) { $inner = $_.Exception }
        Write-Host ("Screen = -1 failed: {0} (status 0x{1:X8})" -f $inner.Message, $inner.HResult)
    }
    Write-Host "Screen is still $($scale.Screen)"

    [void](Report "CloseConnection" $scale.CloseConnection())
} finally {
    [void][System.Runtime.InteropServices.Marshal]::ReleaseComObject($scale)
}
