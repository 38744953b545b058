/* A host in plain C that knows only the registry and libkalax.so: creates an
 * object by its ProgID and calls a method through IDispatch. */
#include <kalax/ax.h>
#include <stdio.h>

int main(void) {
    CLSID clsid;
    IDispatch *obj = NULL;
    DISPID add;
    LPOLESTR name = (LPOLESTR)u"Add";
    VARIANT args[2], out;
    DISPPARAMS params = {args, NULL, 2, 0};
    HRESULT hr;

    zxax_CoInitialize(NULL);
    hr = zxax_CLSIDFromProgID(u"Dummy.Object", &clsid);
    if (SUCCEEDED(hr)) hr = zxax_CoCreateInstance(&clsid, NULL, CLSCTX_INPROC_SERVER, &IID_IDispatch, (void **)&obj);
    if (SUCCEEDED(hr)) hr = obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, &name, 1, LOCALE_SYSTEM_DEFAULT, &add);
    if (FAILED(hr)) {
        fprintf(stderr, "cannot create Dummy.Object: 0x%08X\n", (unsigned)hr);
        return 1;
    }
    zxax_VariantInit(&args[0]);
    zxax_VariantInit(&args[1]);
    zxax_VariantInit(&out);
    args[1].vt = VT_I4; /* the first argument sits last */
    args[1].lVal = 40;
    args[0].vt = VT_I4;
    args[0].lVal = 2;
    hr = obj->lpVtbl->Invoke(obj, add, &IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &params, &out, NULL, NULL);
    printf("Add(40, 2) = %d\n", (int)out.lVal);
    obj->lpVtbl->Release(obj);
    zxax_CoUninitialize();
    return hr == S_OK && out.vt == VT_I4 && out.lVal == 42 ? 0 : 1;
}
