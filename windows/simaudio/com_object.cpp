#include "windows/simaudio/com_object.h"

#include <objbase.h>

namespace {

const char* ApartmentOfThisThread() {
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    const HRESULT result = CoGetApartmentType(&type, &qualifier);
    if (result == CO_E_NOTINITIALIZED) return "none";
    if (FAILED(result)) return "?";
    switch (type) {
    case APTTYPE_MTA:
        return "mta";
    case APTTYPE_STA:
    case APTTYPE_MAINSTA:
        return "sta";
    default:
        return "?";
    }
}

}  // namespace

void RecordDestroyed(const char* name) {
    Record(std::string("Destroyed object=") + name + " apartment=" + ApartmentOfThisThread());
}
