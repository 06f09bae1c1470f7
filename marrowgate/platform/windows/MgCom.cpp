// The COM registration exports. The library declares no COM classes, so there is nothing to register,
// no class object to hand out, and it may always be unloaded.
#include <windows.h>

extern "C" {

HRESULT __stdcall DllRegisterServer(void) {
    return S_OK;
}

HRESULT __stdcall DllGetClassObject(REFCLSID, REFIID, LPVOID* object) {
    if (object != nullptr)
        *object = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT __stdcall DllCanUnloadNow(void) {
    return S_OK;
}

} // extern "C"
