// The one-click control as a COM client sees it: created by ProgID from the
// registered copy of the DLL, called through its vtable and through
// IDispatch, its safety options, aggregation and the module's lock count.
#include <gtest/gtest.h>

#include <windows.h>
#include <exdisp.h>
#include <mshtml.h>
#include <objsafe.h>
#include <ocidl.h>
#include <oleauto.h>
#include <servprov.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "npZanSetupOneClick_h.h"
#include "plugin_test_util.h"

namespace {

using Microsoft::WRL::ComPtr;

class OneClick : public zan_test::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    if (HasFatalFailure()) return;
    CLSID clsid = {};
    ASSERT_HRESULT_SUCCEEDED(::CLSIDFromProgID(L"npZanSetupOneClick.ZanSetupOneClick", &clsid));
    ASSERT_TRUE(IsEqualCLSID(CLSID_ZanSetupOneClick, clsid));
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IZanSetupOneClick,
                                                &control_));
  }
  void TearDown() override {
    control_.Reset();
    PluginTest::TearDown();
  }

  ComPtr<IZanSetupOneClick> control_;
};

// The fakes below live as members or on the stack and count their references, so a test can see that every
// reference the control took was given back.
template <typename... Interfaces>
class Counted : public Interfaces... {
 public:
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
  // QueryInterface's answer: `value` with a reference, or no interface when it is null.
  HRESULT Answer(IUnknown* value, void** object) {
    *object = value;
    if (!value) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  long references = 1;
};

// One object that answers one text property through IDispatch: the HTML document's "URL" or the web
// browser's "LocationURL" (`value` null: it cannot be read). It serves as any plain object too: a script
// host's site, an outer object.
class TextProperty : public Counted<IDispatch> {
 public:
  TextProperty(const wchar_t* name, const wchar_t* value) : name_(name), value_(value) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    return Answer(IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ? this : nullptr, object);
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    if (!value_ || wcscmp(names[0], name_) != 0) return DISP_E_UNKNOWNNAME;
    *ids = 7;
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id != 7 || !(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_BSTR;
    result->bstrVal = ::SysAllocString(value_);
    return S_OK;
  }

 private:
  const wchar_t* name_;
  const wchar_t* value_;
};

// The HTML document that contains the control: a container that is an
// IHTMLDocument2 (only its IDispatch is used).
class FakeDocument : public Counted<IOleContainer> {
 public:
  explicit FakeDocument(const wchar_t* url) : url_(L"URL", url) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IHTMLDocument2)) return url_.QueryInterface(IID_IDispatch, object);
    const bool container = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleContainer) ||
                           IsEqualIID(iid, IID_IParseDisplayName);
    return Answer(container ? static_cast<IOleContainer*>(this) : nullptr, object);
  }
  STDMETHODIMP ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP EnumObjects(DWORD, IEnumUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP LockContainer(BOOL) override { return E_NOTIMPL; }
  TextProperty url_;
};

// The control's site in a page as a browser gives it, with a service provider whose web browser service
// tells the top-level page's address. For a control of the page's markup, a client site whose container is
// the document that holds it (an empty `document`: its address cannot be read); for one that page script
// made (`clientSite` false), only services, one of which leads to the script's document.
const GUID kContainerDispatchService = {0xB722BE00, 0x4E68, 0x101B, {0xA2, 0xBC, 0x00, 0xAA, 0x00, 0x40, 0x47, 0x70}};
class FakeSite : public Counted<IOleClientSite, IServiceProvider> {
 public:
  FakeSite(const wchar_t* document, const wchar_t* top, bool clientSite)
      : document_(document && *document ? document : nullptr), browser_(L"LocationURL", top),
        clientSite_(clientSite) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown) || (clientSite_ && IsEqualIID(iid, IID_IOleClientSite))) {
      return Answer(static_cast<IOleClientSite*>(this), object);
    }
    return Answer(IsEqualIID(iid, IID_IServiceProvider) ? static_cast<IServiceProvider*>(this) : nullptr, object);
  }
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** container) override {
    document_.AddRef();
    *container = &document_;
    return S_OK;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
  STDMETHODIMP QueryService(REFGUID service, REFIID iid, void** object) override {
    if (!clientSite_ && IsEqualGUID(service, kContainerDispatchService)) return document_.QueryInterface(iid, object);
    if (!IsEqualGUID(service, IID_IWebBrowserApp)) return Answer(nullptr, object);
    return browser_.QueryInterface(iid, object);
  }
  bool Released() const { return references == 1 && document_.references == 1 && document_.url_.references == 1 &&
                                 browser_.references == 1; }

 private:
  FakeDocument document_;
  TextProperty browser_;
  bool clientSite_;
};

using GetClassObjectProc = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

// The control face of the faces' tables (one_click_faces_test.cpp): made by the class factory of the DLL
// under test and given the page's site. The control that script made is called as script calls it, through
// IDispatch; with no page it sits in a script host, whose site leads to no document. The one in markup is
// called through its vtable, and with no page it has no site at all, as a client's that made it.
class ControlFace : public zan_test::Face {
 public:
  explicit ControlFace(bool clientSite) : clientSite_(clientSite), scriptHost_(L"Name", L"cscript") {}
  ~ControlFace() override {
    if (withSite_.Get()) {
      EXPECT_EQ(S_OK, withSite_->SetSite(nullptr));
      void* none = nullptr;
      EXPECT_EQ(E_FAIL, withSite_->GetSite(IID_IUnknown, &none));
      withSite_.Reset();
      EXPECT_TRUE(site_ ? site_->Released() : scriptHost_.references == 1) << "the site's references were given back";
    }
    control_.Reset();
    if (module_) ::FreeLibrary(module_);
  }
  bool Load(const std::wstring& dll, const wchar_t* document, const wchar_t* top) override {
    module_ = ::LoadLibraryW(dll.c_str());
    auto getClassObject = zan_test::ExportOf<GetClassObjectProc>(module_, "DllGetClassObject");
    ComPtr<IClassFactory> factory;
    if (!getClassObject || FAILED(getClassObject(CLSID_ZanSetupOneClick, IID_IClassFactory, &factory)) ||
        FAILED(factory->CreateInstance(nullptr, IID_IZanSetupOneClick, &control_))) {
      return false;
    }
    if (!document && clientSite_) return true;
    if (document) site_.reset(new FakeSite(document, top, clientSite_));
    IUnknown* site = site_ ? static_cast<IOleClientSite*>(site_.get()) : static_cast<IUnknown*>(&scriptHost_);
    return SUCCEEDED(control_->QueryInterface(IID_IObjectWithSite, &withSite_)) &&
           withSite_->SetSite(site) == S_OK;
  }
  int Install(const std::wstring& name, const std::wstring& version) override {
    BSTR productName = ::SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
    BSTR productVersion = ::SysAllocStringLen(version.data(), static_cast<UINT>(version.size()));
    const int started = clientSite_ ? Call(productName, productVersion) : Dispatch(productName, productVersion);
    ::SysFreeString(productName);
    ::SysFreeString(productVersion);
    return started;
  }
  // A BSTR's length is the byte count before its text. This one claims 300 million characters over a few
  // bytes (a 32-bit test process has no room for the real thing); a copy would fault here. A null BSTR is an
  // empty name; a caller without a place for the flag still gets the result code.
  std::vector<std::string> InstallMalformed() override {
    std::vector<DWORD> block(16, 0x00410041);
    block[0] = static_cast<DWORD>(zan_test::kHugeLength * sizeof(wchar_t));
    BSTR huge = reinterpret_cast<BSTR>(block.data() + 1);
    EXPECT_EQ(zan_test::kHugeLength, ::SysStringLen(huge));
    EXPECT_EQ(0, Call(huge, nullptr));
    EXPECT_EQ(0, Call(nullptr, nullptr));
    EXPECT_EQ(S_FALSE, control_->InstallOneClick(nullptr, nullptr, nullptr));
    return {zan_test::kLongName, zan_test::kUnusableName, zan_test::kUnusableName};
  }
  // Success is 1, not VARIANT_TRUE.
  int Seen(zan_test::Outcome outcome) const override { return outcome == zan_test::Outcome::kStarted ? 1 : 0; }
  std::wstring AddressRead(const std::wstring& document) const override { return document; }

 private:
  int Call(BSTR name, BSTR version) {
    VARIANT_BOOL started = 7;
    const HRESULT result = control_->InstallOneClick(name, version, &started);
    EXPECT_EQ(started == 1 ? S_OK : S_FALSE, result);
    return started;
  }
  // The method looked up by its name, the arguments in reverse order.
  int Dispatch(BSTR name, BSTR version) {
    ComPtr<IDispatch> dispatch;
    EXPECT_HRESULT_SUCCEEDED(control_->QueryInterface(IID_IDispatch, &dispatch));
    wchar_t method[] = L"InstallOneClick";
    LPOLESTR names[] = {method};
    DISPID id = 0;
    EXPECT_HRESULT_SUCCEEDED(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id));
    EXPECT_EQ(1, id);
    VARIANT arguments[2];
    arguments[0].vt = arguments[1].vt = VT_BSTR;
    arguments[0].bstrVal = version;
    arguments[1].bstrVal = name;
    DISPPARAMS params = {arguments, nullptr, 2, 0};
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_HRESULT_SUCCEEDED(dispatch->Invoke(id, IID_NULL, 0x409, DISPATCH_METHOD, &params, &result, nullptr,
                                              nullptr));
    EXPECT_EQ(VT_BOOL, result.vt);
    return result.boolVal;
  }

  bool clientSite_;
  TextProperty scriptHost_;
  HMODULE module_ = nullptr;
  ComPtr<IZanSetupOneClick> control_;
  std::unique_ptr<FakeSite> site_;
  ComPtr<IObjectWithSite> withSite_;
};

// Its five interfaces are answered and offered safety options; any other is neither.
TEST_F(OneClick, AnswersAndOffersSafetyForExactlyItsFiveInterfaces) {
  ComPtr<IObjectSafety> safety;
  ASSERT_HRESULT_SUCCEEDED(control_->QueryInterface(IID_IObjectSafety, &safety));
  const struct {
    const char* name;
    const IID& iid;
    bool answered;
  } interfaces[] = {{"IUnknown", IID_IUnknown, true}, {"IDispatch", IID_IDispatch, true},
                    {"IZanSetupOneClick", IID_IZanSetupOneClick, true}, {"IObjectSafety", IID_IObjectSafety, true},
                    {"IObjectWithSite", IID_IObjectWithSite, true}, {"IPersist", IID_IPersist, false},
                    {"IClassFactory", IID_IClassFactory, false}, {"IProvideClassInfo", IID_IProvideClassInfo, false},
                    {"IConnectionPointContainer", IID_IConnectionPointContainer, false}};
  for (const auto& row : interfaces) {
    SCOPED_TRACE(row.name);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(row.answered ? S_OK : E_NOINTERFACE, control_->QueryInterface(row.iid, &unknown));
    EXPECT_EQ(row.answered, unknown.Get() != nullptr);
    DWORD supported = 9, enabled = 9;
    EXPECT_EQ(row.answered ? S_OK : E_NOINTERFACE, safety->GetInterfaceSafetyOptions(row.iid, &supported, &enabled));
    EXPECT_EQ(row.answered ? 3u : 0u, supported);
    EXPECT_EQ(0u, enabled);
    EXPECT_EQ(row.answered ? S_OK : E_NOINTERFACE, safety->SetInterfaceSafetyOptions(row.iid, 0, 0));
  }

  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled));
  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr));
  EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4));
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3));
  EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IZanSetupOneClick, &supported, &enabled));
  EXPECT_EQ(3u, enabled);
  // Only the masked bits change.
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IUnknown, INTERFACESAFE_FOR_UNTRUSTED_DATA, 0));
  EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER), enabled);

  // Script finds InstallOneClick by name (the faces' table calls it so) and nothing else.
  ComPtr<IDispatch> dispatch;
  ASSERT_HRESULT_SUCCEEDED(control_->QueryInterface(IID_IDispatch, &dispatch));
  UINT count = 0;
  EXPECT_HRESULT_SUCCEEDED(dispatch->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  wchar_t unknown[] = L"Uninstall";
  LPOLESTR names[] = {unknown};
  DISPID id = 0;
  EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id));
}

TEST_F(OneClick, AnAggregatedControlDelegatesToItsOuterObject) {
  TextProperty outer(L"Name", L"outer");
  ComPtr<IUnknown> inner;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, ::CoCreateInstance(CLSID_ZanSetupOneClick, &outer, CLSCTX_INPROC_SERVER,
                                                      IID_IZanSetupOneClick, &inner));
  ASSERT_HRESULT_SUCCEEDED(
      ::CoCreateInstance(CLSID_ZanSetupOneClick, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &inner));
  IZanSetupOneClick* control = nullptr;
  ASSERT_HRESULT_SUCCEEDED(inner->QueryInterface(IID_IZanSetupOneClick, reinterpret_cast<void**>(&control)));
  EXPECT_EQ(2, outer.references) << "the interface's reference belongs to the outer object";
  IUnknown* identity = nullptr;
  ASSERT_HRESULT_SUCCEEDED(control->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
  identity->Release();
  control->Release();
  EXPECT_EQ(1, outer.references);
}

// The DLL stays loaded while an object or a lock is alive.
TEST_F(OneClick, CanUnloadOnlyWhenNothingIsAlive) {
  HMODULE module = ::GetModuleHandleW(zan_test::PluginDll().c_str());
  ASSERT_NE(nullptr, module) << "COM loaded the registered copy";
  auto canUnload = zan_test::ExportOf<HRESULT(WINAPI*)()>(module, "DllCanUnloadNow");
  auto getClassObject = zan_test::ExportOf<GetClassObjectProc>(module, "DllGetClassObject");
  ASSERT_NE(nullptr, canUnload);
  ASSERT_NE(nullptr, getClassObject);
  EXPECT_EQ(S_FALSE, canUnload());
  control_.Reset();
  EXPECT_EQ(S_OK, canUnload());

  ComPtr<IClassFactory> factory;
  ComPtr<IUnknown> none;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IPersist, IID_IClassFactory, &none));
  ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_ZanSetupOneClick, IID_IClassFactory, &factory));
  EXPECT_EQ(S_FALSE, canUnload());
  EXPECT_HRESULT_SUCCEEDED(factory->LockServer(TRUE));
  factory.Reset();
  EXPECT_EQ(S_FALSE, canUnload()) << "locked";
  ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_ZanSetupOneClick, IID_IClassFactory, &factory));
  EXPECT_HRESULT_SUCCEEDED(factory->LockServer(FALSE));
  factory.Reset();
  EXPECT_EQ(S_OK, canUnload());
}

// What browsers read from the file without loading it: the MIME type in the string block that the translation
// names, a version that agrees with itself, the manifest, and the type library that IDispatch answers from.
TEST(PluginResources, WhatBrowsersReadWithoutLoadingIt) {
  const std::wstring dll = zan_test::PluginDll();
  DWORD size = ::GetFileVersionInfoSizeW(dll.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(dll.c_str(), 0, size, block.data()));
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
  wchar_t strings[64];
  swprintf(strings, 64, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    return ::VerQueryValueW(block.data(), (strings + std::wstring(name)).c_str(), reinterpret_cast<void**>(&value),
                            &length) ? std::wstring(value) : std::wstring(L"<missing>");
  };
  EXPECT_EQ(L"application/x-zanclound.oneclick", text(L"MIMEType"));
  EXPECT_EQ(L"npZanSetupOneClick.dll", text(L"OriginalFilename"));
  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  wchar_t version[32];
  swprintf(version, 32, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(version, text(L"FileVersion"));
  EXPECT_EQ(text(L"FileVersion"), text(L"ProductVersion"));
  EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);

  HMODULE module = ::LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, module);
  EXPECT_NE(nullptr, ::FindResourceW(module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24)));
  ::FreeLibrary(module);
  ITypeLib* library = nullptr;
  ASSERT_HRESULT_SUCCEEDED(::LoadTypeLibEx(dll.c_str(), REGKIND_NONE, &library));
  TLIBATTR* attributes = nullptr;
  ASSERT_HRESULT_SUCCEEDED(library->GetLibAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(LIBID_npZanSetupOneClickLib, attributes->guid));
  EXPECT_EQ(1, attributes->wMajorVerNum);
  library->ReleaseTLibAttr(attributes);
  ITypeInfo* info = nullptr;
  ASSERT_HRESULT_SUCCEEDED(library->GetTypeInfoOfGuid(IID_IZanSetupOneClick, &info));
  TYPEATTR* type = nullptr;
  ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&type));
  EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FDUAL);
  info->ReleaseTypeAttr(type);
  info->Release();
  library->Release();
}

}  // namespace

std::unique_ptr<zan_test::Face> zan_test::MakeControlFace(bool clientSite) {
  return std::unique_ptr<Face>(new ControlFace(clientSite));
}
