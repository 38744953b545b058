/* A host in plain C that creates an IoXml by ProgID and prints the first item
 * of a unit's values (its name and value text), driving it only through
 * IDispatch with the members' DISPIDs and pumping the thread's event queue.
 * usage: kalax_first_sensor PORT   (a unit on 127.0.0.1; $KALAX_REGISTRY names
 * the registry file the server registers itself in) */
#include <kalax/ax.h>
#include <kalax/zxevents.h>
#include <stdio.h>
#include <stdlib.h>

static VARIANT call(IDispatch *o, DISPID id, WORD kind, VARIANT *args, UINT n) {
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS p = {args, kind == DISPATCH_PROPERTYPUT ? &put : NULL, n, kind == DISPATCH_PROPERTYPUT};
    VARIANT r;
    zxax_VariantInit(&r);
    HRESULT hr = o->lpVtbl->Invoke(o, id, &IID_NULL, LOCALE_SYSTEM_DEFAULT, kind, &p, &r, NULL, NULL);
    if (FAILED(hr)) fprintf(stderr, "member %d failed: 0x%08X\n", (int)id, (unsigned)hr);
    return r;
}

/* UTF-16 to UTF-8 on standard output (the names the units serve are not ASCII). */
static void put_text(BSTR s) {
    for (UINT i = 0; i < zxax_SysStringLen(s); ++i) {
        unsigned c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < zxax_SysStringLen(s))
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) putchar((int)c);
        else if (c < 0x800) printf("%c%c", 0xC0 | (c >> 6), 0x80 | (c & 0x3F));
        else if (c < 0x10000) printf("%c%c%c", 0xE0 | (c >> 12), 0x80 | ((c >> 6) & 0x3F), 0x80 | (c & 0x3F));
        else printf("%c%c%c%c", 0xF0 | (c >> 18), 0x80 | ((c >> 12) & 0x3F), 0x80 | ((c >> 6) & 0x3F), 0x80 | (c & 0x3F));
    }
}

int main(int argc, char **argv) {
    CLSID clsid;
    IDispatch *io = NULL;
    VARIANT a[6], outs[5], r;
    int i, rc = 1;
    if (argc != 2) return 2;
    zxax_CoInitialize(NULL);
    if (FAILED(DllRegisterServer()) || FAILED(zxax_CLSIDFromProgID(u"KalAx.IoXml", &clsid)) ||
        FAILED(zxax_CoCreateInstance(&clsid, NULL, CLSCTX_INPROC_SERVER, &IID_IDispatch, (void **)&io))) {
        fprintf(stderr, "cannot create KalAx.IoXml\n");
        return 1;
    }
    a[0].vt = VT_BSTR;
    a[0].bstrVal = zxax_SysAllocString(u"127.0.0.1");
    call(io, 14, DISPATCH_PROPERTYPUT, a, 1); /* IP */
    zxax_VariantClear(&a[0]);
    a[0].vt = VT_I4;
    a[0].lVal = atoi(argv[1]);
    call(io, 18, DISPATCH_PROPERTYPUT, a, 1); /* Port */
    r = call(io, 1, DISPATCH_METHOD, NULL, 0); /* Open */
    if (r.lVal == 0) {
        call(io, 3, DISPATCH_METHOD, NULL, 0); /* GetValuesXml */
        for (i = 0; i < 100 && call(io, 26, DISPATCH_METHOD, NULL, 0).lVal != 1; ++i) zx_events_wait(100); /* GetStatus */
        /* GetValuesSensor (i, AName, ADevName, AIP, AMAC, ASensor): arguments last-first */
        for (i = 0; i < 5; ++i) {
            zxax_VariantInit(&outs[i]);
            a[4 - i].vt = VT_BYREF | VT_VARIANT;
            a[4 - i].pvarVal = &outs[i];
        }
        a[5].vt = VT_I4;
        a[5].lVal = 0;
        r = call(io, 8, DISPATCH_METHOD, a, 6);
        if (r.lVal == 0) {
            VARIANT text, b[2];
            b[1] = outs[4]; /* the XmlSensorT the call made, lent back in */
            b[0].vt = VT_I4;
            b[0].lVal = 2; /* XMLE2S_VALUE */
            text = call(io, 15, DISPATCH_METHOD, b, 2); /* XmlSensorEnumToStr */
            put_text(outs[0].bstrVal);
            printf(": ");
            put_text(text.bstrVal);
            printf("\n");
            zxax_VariantClear(&text);
            rc = 0;
        }
        for (i = 0; i < 5; ++i) zxax_VariantClear(&outs[i]);
    }
    call(io, 2, DISPATCH_METHOD, NULL, 0); /* Close */
    io->lpVtbl->Release(io);
    zxax_CoUninitialize();
    return rc;
}
