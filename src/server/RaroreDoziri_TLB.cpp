// Definitions of the identifiers that RaroreDoziri.idl declares: LIBID, the
// IID of IScale and the CLSID of Scale. Everything else of the type library
// is in the generated RaroreDoziri_TLB.h and the built-in TYPELIB resource.
#include <windows.h>
// windows.h must come first.
#include <ole2.h>
// Only the GUIDs of the generated header are instantiated here; the system
// headers above are already included without INITGUID.
#include <initguid.h>

#include "RaroreDoziri_TLB.h"
