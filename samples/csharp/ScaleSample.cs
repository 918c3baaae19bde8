// RaroreDoziri sample for C#: late binding through `dynamic`, no reference
// to the type library needed.
//
//   .NET Framework: csc /platform:x64 /r:Microsoft.CSharp.dll ScaleSample.cs
//   .NET 6 or later (Windows): a console project with this file as Program.cs
//   ScaleSample.exe [connection]
//
// connection: "COM3" for serial port 3, or the scale's IP address (TCP port
// 5001); default "127.0.0.1". The process's bitness must match the registered
// driver: build with /platform:x64 (x64\register.cmd) or /platform:x86
// (x86\register.cmd). "AnyCPU" with "Prefer 32-bit" runs as x86.
//
// Methods return a result code (0 done, 1 no usable connection, 2 no
// complete reply, 4 not available with the legacy protocol, 5 refused by the
// scale). A failure status, such as a property value out of range, throws a
// COMException whose Message is the driver's error description.
using System;
using System.Runtime.InteropServices;

static class ScaleSample
{
    static string Meaning(int code)
    {
        switch (code)
        {
            case 0: return "done";
            case 1: return "no usable connection";
            case 2: return "no complete reply";
            case 4: return "not available with the legacy protocol";
            case 5: return "refused by the scale";
            default: return "unknown result code";
        }
    }

    // Prints a method's result code; true when the method was carried out.
    static bool Report(string name, int code)
    {
        Console.WriteLine("{0}: {1} ({2})", name, code, Meaning(code));
        return code == 0;
    }

    static int Main(string[] args)
    {
        string connection = args.Length > 0 ? args[0] : "127.0.0.1";
        Type type = Type.GetTypeFromProgID("RaroreDoziri.Scale");
        if (type == null)
        {
            Console.WriteLine("RaroreDoziri.Scale is not registered for this process's bitness ({0}-bit).",
                              Environment.Is64BitProcess ? 64 : 32);
            return 1;
        }
        dynamic scale = Activator.CreateInstance(type);
        try
        {
            scale.Connection = connection;
            if (!Report("OpenConnection", (int)scale.OpenConnection()))
            {
                Console.WriteLine("No scale answers at {0}.", connection);
                return 2;
            }

            // Live weight with its division code and stability flag.
            if (Report("ReadWeight", (int)scale.ReadWeight()))
            {
                Console.WriteLine("Weight={0} Division={1} Stable={2}",
                                  (int)scale.Weight, (int)scale.Division, (int)scale.Stable);
            }

            // Tare: reports 4 on a serial scale that speaks the legacy protocol.
            if (Report("ReadTare", (int)scale.ReadTare()))
            {
                Console.WriteLine("Tare={0} Division={1}", (int)scale.Tare, (int)scale.Division);
            }

            // One configuration download: the goods text (15 characters on the scale).
            scale.Goods = "Milk 3.5%";
            Report("SetGoods", (int)scale.SetGoods());

            // The screen setting: a scale may refuse it (result code 5).
            scale.Screen = (sbyte)1;
            Report("SetScreen", (int)scale.SetScreen());

            // A failure status: the 8-bit properties take 0 to 127, so -1 is
            // refused with the error "Range check error" and Screen keeps its value.
            try
            {
                scale.Screen = (sbyte)-1;
            }
            catch (COMException e)
            {
                Console.WriteLine("Screen = -1 failed: {0} (status 0x{1:X8})", e.Message, e.HResult);
            }
            Console.WriteLine("Screen is still {0}", (int)scale.Screen);

            Report("CloseConnection", (int)scale.CloseConnection());
            return 0;
        }
        finally
        {
            Marshal.ReleaseComObject(scale);
        }
    }
}
