// The component runtime's free-threaded marshaler.
#pragma once

#include <objbase.h>

// Creates the free-threaded marshaler with no outer object; on success
// *marshaler holds the creation's reference to its IUnknown.
HRESULT CreateFreeThreadedMarshaler(IUnknown** marshaler);
