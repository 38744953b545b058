// Creating objects the way a host does: a ProgID in the registry file, the
// registered library loaded, its class factory asked.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "ax/com.h"
#include "ax/registry.h"
#include "dummy.h"

namespace {

using namespace kalax::ax;
namespace fs = std::filesystem;

class AxCreate : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kalax-create-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const char *old = std::getenv("KALAX_REGISTRY");
        had_ = old != nullptr;
        if (old) saved_ = old;
        setenv("KALAX_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
        ASSERT_EQ(zxax_CoInitialize(nullptr), S_OK);
    }
    void TearDown() override {
        zxax_CoUninitialize();
        if (had_) setenv("KALAX_REGISTRY", saved_.c_str(), 1);
        else unsetenv("KALAX_REGISTRY");
        fs::remove_all(dir_);
    }
    void register_dummy(const std::string &library) {
        const std::string clsid = guid_text(dummy::CLSID_Dummy);
        ASSERT_EQ(Registry().apply({
                      {RegistryChange::SetString, "HKEY_CLASSES_ROOT\\Dummy.Object", "", "Dummy Object"},
                      {RegistryChange::SetString, "HKEY_CLASSES_ROOT\\Dummy.Object\\CLSID", "", clsid},
                      {RegistryChange::SetString, "HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\InprocServer32", "", library},
                      {RegistryChange::SetString, "HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\InprocServer32",
                       "ThreadingModel", "Apartment"},
                  }),
                  S_OK);
    }

    fs::path dir_;
    bool had_ = false;
    std::string saved_;
};

TEST_F(AxCreate, AProgIdLeadsToTheRegisteredLibrarysObject) {
    register_dummy(KALAX_AX_DUMMY_SERVER);
    CLSID clsid{};
    ASSERT_EQ(zxax_CLSIDFromProgID(u"dummy.object", &clsid), S_OK);
    EXPECT_EQ(clsid, dummy::CLSID_Dummy);
    ASSERT_EQ(zxax_CLSIDFromString(u"Dummy.Object", &clsid), S_OK);
    EXPECT_EQ(clsid, dummy::CLSID_Dummy);
    EXPECT_EQ(zxax_CLSIDFromProgID(u"Dummy.Missing", &clsid), CO_E_CLASSSTRING);

    void *server = dlopen(KALAX_AX_DUMMY_SERVER, RTLD_NOW | RTLD_NOLOAD);
    ComPtr<IDispatch> d;
    ASSERT_EQ(zxax_CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                    reinterpret_cast<void **>(d.put())),
              S_OK);
    if (!server) server = dlopen(KALAX_AX_DUMMY_SERVER, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(server, nullptr);
    auto can_unload = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(server, "DllCanUnloadNow"));
    auto live = reinterpret_cast<long (*)()>(dlsym(server, "DummyLiveObjects"));
    ASSERT_TRUE(can_unload && live);
    EXPECT_EQ(can_unload(), S_FALSE);
    EXPECT_EQ(live(), 1);
    EXPECT_EQ(dummy::live_dummies(), 0);  // made by the library's own copy, not this one

    VARIANT args[2] = {variant_i4(40), variant_i4(2)};
    DISPPARAMS p{args, nullptr, 2, 0};
    Variant out;
    ASSERT_EQ(d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &p, &out, nullptr, nullptr), S_OK);
    EXPECT_EQ(out.lVal, 42);
    d.reset();
    EXPECT_EQ(can_unload(), S_OK);
    EXPECT_EQ(live(), 0);
    dlclose(server);
}

TEST_F(AxCreate, FailuresNameTheirCause) {
    void *p = reinterpret_cast<void *>(1);
    register_dummy(KALAX_AX_DUMMY_SERVER);
    IUnknown *outer = reinterpret_cast<IUnknown *>(&p);  // never called: refused before use
    EXPECT_EQ(zxax_CoCreateInstance(dummy::CLSID_Dummy, outer, CLSCTX_INPROC_SERVER, IID_IDispatch, &p),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    const CLSID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(zxax_CoCreateInstance(unknown, nullptr, CLSCTX_ALL, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(zxax_CoCreateInstance(dummy::CLSID_Dummy, nullptr, CLSCTX_ALL, IID_ITypeLib, &p), E_NOINTERFACE);
    EXPECT_EQ(zxax_CoCreateInstance(dummy::CLSID_Dummy, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);

    register_dummy((dir_ / "missing.so").string());
    EXPECT_EQ(zxax_CoCreateInstance(dummy::CLSID_Dummy, nullptr, CLSCTX_ALL, IID_IUnknown, &p), CO_E_DLLNOTFOUND);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(zxax_GetErrorInfo(0, info.put()), S_OK);
    Bstr source;
    info->GetSource(source.put());
    std::string text;
    utf16_to_utf8(source.view(), text);
    EXPECT_EQ(text, (dir_ / "missing.so").string());

    zxax_CoUninitialize();
    EXPECT_EQ(zxax_CoCreateInstance(dummy::CLSID_Dummy, nullptr, CLSCTX_ALL, IID_IUnknown, &p), CO_E_NOTINITIALIZED);
    EXPECT_EQ(zxax_CoInitialize(nullptr), S_OK);
    EXPECT_EQ(zxax_CoInitialize(nullptr), S_FALSE);
    zxax_CoUninitialize();
}

TEST_F(AxCreate, ALibraryPathWithABlankIsUsedVerbatim) {
    const fs::path folder = dir_ / "with blank";
    fs::create_directories(folder);
    const fs::path copy = folder / "dummy server.so";
    fs::copy_file(KALAX_AX_DUMMY_SERVER, copy);
    register_dummy(copy.string());
    std::string stored;
    ASSERT_EQ(Registry().get_string("HKEY_CLASSES_ROOT\\CLSID\\" + guid_text(dummy::CLSID_Dummy) + "\\InprocServer32",
                                    "", stored),
              S_OK);
    EXPECT_EQ(stored, copy.string());
    ComPtr<IUnknown> u;
    ASSERT_EQ(zxax_CoCreateInstance(dummy::CLSID_Dummy, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                    reinterpret_cast<void **>(u.put())),
              S_OK);
}

}  // namespace
