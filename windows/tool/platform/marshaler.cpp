#include "windows/tool/platform/marshaler.h"

HRESULT CreateFreeThreadedMarshaler(IUnknown** marshaler) {
    return CoCreateFreeThreadedMarshaler(nullptr, marshaler);
}
