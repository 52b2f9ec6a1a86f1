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

#include <memory>
#include <string>
#include <vector>

#include "npZanSetupOneClick_h.h"
#include "plugin_test_util.h"
#include "setup/common/files.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"

namespace {

using zan_test::PluginDll;

const wchar_t kProgId[] = L"npZanSetupOneClick.ZanSetupOneClick";

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* get() const { return value_; }
  T* operator->() const { return value_; }
  T** out() {
    reset();
    return &value_;
  }
  void** void_out() { return reinterpret_cast<void**>(out()); }
  void reset() {
    if (value_) value_->Release();
    value_ = nullptr;
  }

 private:
  T* value_ = nullptr;
};

// An outer object that aggregates the control and counts its own references.
class Outer : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
  long references = 1;
};

class OneClick : public zan_test::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    if (HasFatalFailure()) return;
    CLSID clsid = {};
    ASSERT_HRESULT_SUCCEEDED(::CLSIDFromProgID(kProgId, &clsid));
    ASSERT_TRUE(IsEqualCLSID(CLSID_ZanSetupOneClick, clsid));
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IZanSetupOneClick,
                                                control_.void_out()));
  }
  void TearDown() override {
    control_.reset();
    PluginTest::TearDown();
  }

  HRESULT Install(const wchar_t* name, const wchar_t* version, VARIANT_BOOL* started) {
    BSTR productName = ::SysAllocString(name), productVersion = ::SysAllocString(version);  // null: null
    *started = 7;
    const HRESULT result = control_->InstallOneClick(productName, productVersion, started);
    ::SysFreeString(productName);
    ::SysFreeString(productVersion);
    return result;
  }

  ComPtr<IZanSetupOneClick> control_;
};

// One object that answers one text property through IDispatch: the HTML
// document's "URL" or the web browser's "LocationURL" (`value` null: it
// cannot be read).
class TextProperty : public IDispatch {
 public:
  TextProperty(const wchar_t* name, const wchar_t* value) : name_(name), value_(value) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return NoInterface(object);
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
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
  static HRESULT NoInterface(void** object) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  long references = 1;

 private:
  const wchar_t* name_;
  const wchar_t* value_;
};

// The HTML document that contains the control: a container that is an
// IHTMLDocument2 (only its IDispatch is used).
class FakeDocument : public IOleContainer {
 public:
  explicit FakeDocument(const wchar_t* url) : url_(L"URL", url) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IHTMLDocument2)) return url_.QueryInterface(IID_IDispatch, object);
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IOleContainer) &&
        !IsEqualIID(iid, IID_IParseDisplayName)) {
      return TextProperty::NoInterface(object);
    }
    *object = static_cast<IOleContainer*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
  STDMETHODIMP ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP EnumObjects(DWORD, IEnumUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP LockContainer(BOOL) override { return E_NOTIMPL; }
  long references = 1;
  TextProperty url_;
};

// The control's site in a page as a browser gives it, with a service
// provider whose web browser service tells the top-level page's address.
// For a control of the page's markup, a client site whose container is the
// document that holds it; for one that page script made (`clientSite`
// false), only services, one of which leads to the script's document.
const GUID kContainerDispatchService = {0xB722BE00, 0x4E68, 0x101B, {0xA2, 0xBC, 0x00, 0xAA, 0x00, 0x40, 0x47, 0x70}};
class FakeSite : public IOleClientSite, public IServiceProvider {
 public:
  // An empty `document`: the document's address cannot be read.
  FakeSite(const wchar_t* document, const wchar_t* top, bool clientSite)
      : document_(document && *document ? document : nullptr), browser_(L"LocationURL", top),
        clientSite_(clientSite) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown) || (clientSite_ && IsEqualIID(iid, IID_IOleClientSite))) {
      *object = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(iid, IID_IServiceProvider)) {
      *object = static_cast<IServiceProvider*>(this);
    } else {
      return TextProperty::NoInterface(object);
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
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
    if (!IsEqualGUID(service, IID_IWebBrowserApp)) return TextProperty::NoInterface(object);
    return browser_.QueryInterface(iid, object);
  }
  // Every reference the control took was given back.
  bool Released() const { return references == 1 && document_.references == 1 && document_.url_.references == 1 &&
                                 browser_.references == 1; }
  long references = 1;

 private:
  FakeDocument document_;
  TextProperty browser_;
  bool clientSite_;
};

using GetClassObjectProc = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

// A control made by the class factory of the DLL at `path`, loaded here.
class ControlOf {
 public:
  explicit ControlOf(const std::wstring& path) : module_(::LoadLibraryW(path.c_str())) {
    auto getClassObject = reinterpret_cast<GetClassObjectProc>(
        reinterpret_cast<void*>(module_ ? ::GetProcAddress(module_, "DllGetClassObject") : nullptr));
    ComPtr<IClassFactory> factory;
    if (getClassObject && SUCCEEDED(getClassObject(CLSID_ZanSetupOneClick, IID_IClassFactory, factory.void_out()))) {
      factory->CreateInstance(nullptr, IID_IZanSetupOneClick, control.void_out());
    }
  }
  ~ControlOf() {
    control.reset();
    if (module_) ::FreeLibrary(module_);
  }
  ControlOf(const ControlOf&) = delete;
  ControlOf& operator=(const ControlOf&) = delete;
  ComPtr<IZanSetupOneClick> control;

 private:
  HMODULE module_;
};

// The control face of the faces' tables (one_click_faces_test.cpp): made by
// the class factory of the DLL under test and given the page's site.
class ControlFace : public zan_test::Face {
 public:
  explicit ControlFace(bool clientSite) : clientSite_(clientSite) {}
  ~ControlFace() override {
    if (withSite_.get()) {
      EXPECT_EQ(S_OK, withSite_->SetSite(nullptr));
      withSite_.reset();
      EXPECT_TRUE(site_->Released()) << "every reference to the page was given back";
    }
  }
  bool Load(const std::wstring& dll, const wchar_t* document, const wchar_t* top) override {
    made_.reset(new ControlOf(dll));
    if (!made_->control.get()) return false;
    if (!document) return true;  // a script host gives no site at all
    site_.reset(new FakeSite(document, top, clientSite_));
    return SUCCEEDED(made_->control->QueryInterface(IID_IObjectWithSite, withSite_.void_out())) &&
           withSite_->SetSite(static_cast<IOleClientSite*>(site_.get())) == S_OK;
  }
  int Install(const std::wstring& name, const std::wstring& version) override {
    BSTR productName = ::SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
    BSTR productVersion = ::SysAllocStringLen(version.data(), static_cast<UINT>(version.size()));
    const int started = Call(productName, productVersion);
    ::SysFreeString(productName);
    ::SysFreeString(productVersion);
    return started;
  }
  // A BSTR's length is the byte count before its text. This one claims 300
  // million characters over a few bytes (a 32-bit test process has no room
  // for the real thing); a copy would fault here.
  int InstallHuge() override {
    std::vector<DWORD> block(16, 0x00410041);
    block[0] = static_cast<DWORD>(zan_test::kHugeLength * sizeof(wchar_t));
    BSTR huge = reinterpret_cast<BSTR>(block.data() + 1);
    EXPECT_EQ(zan_test::kHugeLength, ::SysStringLen(huge));
    return Call(huge, nullptr);
  }
  // Success is 1, not VARIANT_TRUE.
  int Seen(zan_test::Outcome outcome) const override { return outcome == zan_test::Outcome::kStarted ? 1 : 0; }
  std::wstring AddressRead(const std::wstring& document) const override { return document; }

 private:
  int Call(BSTR name, BSTR version) {
    VARIANT_BOOL started = 7;
    const HRESULT result = made_->control->InstallOneClick(name, version, &started);
    EXPECT_EQ(started == 1 ? S_OK : S_FALSE, result);
    return started;
  }

  bool clientSite_;
  std::unique_ptr<ControlOf> made_;
  std::unique_ptr<FakeSite> site_;
  ComPtr<IObjectWithSite> withSite_;
};

// A site that leads to no document and offers no browser is a script host's.
TEST_F(OneClick, ASiteWithoutDocumentOrBrowserIsAScriptHost) {
  std::wstring program = StandIn();
  SetRecord(L"1.0", program);
  TextProperty scriptHost(L"Name", L"cscript");
  ComPtr<IObjectWithSite> withSite;
  ASSERT_HRESULT_SUCCEEDED(control_->QueryInterface(IID_IObjectWithSite, withSite.void_out()));
  ASSERT_EQ(S_OK, withSite->SetSite(&scriptHost));
  VARIANT_BOOL answer = 7;
  EXPECT_EQ(S_OK, Install(L"Foo", L"2.1", &answer));
  EXPECT_EQ("\"" + zan::WideToUtf8(program) + "\" App=Foo Ver=2.1", StartedCommandLine(program));
  ASSERT_EQ(S_OK, withSite->SetSite(nullptr));
  EXPECT_EQ(1, scriptHost.references);
  void* none = nullptr;
  EXPECT_EQ(E_FAIL, withSite->GetSite(IID_IUnknown, &none));
}

// A null BSTR is an empty name; a caller without a place for the flag still gets the result code.
TEST_F(OneClick, NullArgumentsAreRefused) {
  std::wstring program = StandIn();
  SetRecord(L"1.0", program);
  VARIANT_BOOL started = 7;
  EXPECT_EQ(S_FALSE, Install(nullptr, nullptr, &started));
  EXPECT_EQ(0, started);
  EXPECT_EQ(S_FALSE, control_->InstallOneClick(nullptr, nullptr, nullptr));
  ExpectLastLine("InstallOneClick refused: the product name is not usable", 2);
  EXPECT_EQ("", StartedCommandLine(program));
}

TEST_F(OneClick, DispatchByNameReachesTheSameMethod) {
  std::wstring program = StandIn();
  SetRecord(L"1.0", program);
  ComPtr<IDispatch> dispatch;
  ASSERT_HRESULT_SUCCEEDED(control_->QueryInterface(IID_IDispatch, dispatch.void_out()));
  UINT count = 0;
  EXPECT_HRESULT_SUCCEEDED(dispatch->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  wchar_t name[] = L"InstallOneClick";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  ASSERT_HRESULT_SUCCEEDED(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id));
  EXPECT_EQ(1, id);
  wchar_t unknown[] = L"Uninstall";
  LPOLESTR unknownNames[] = {unknown};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, unknownNames, 1, 0x409, &id));

  // Arguments go in reverse order.
  VARIANT arguments[2];
  arguments[1].vt = VT_BSTR;
  arguments[1].bstrVal = ::SysAllocString(L"Foo");
  arguments[0].vt = VT_BSTR;
  arguments[0].bstrVal = ::SysAllocString(L"3.0");
  DISPPARAMS params = {arguments, nullptr, 2, 0};
  VARIANT result;
  ::VariantInit(&result);
  EXPECT_HRESULT_SUCCEEDED(dispatch->Invoke(1, IID_NULL, 0x409, DISPATCH_METHOD, &params, &result, nullptr,
                                            nullptr));
  EXPECT_EQ(VT_BOOL, result.vt);
  EXPECT_EQ(1, result.boolVal);
  EXPECT_EQ("\"" + zan::WideToUtf8(program) + "\" App=Foo Ver=3.0", StartedCommandLine(program));
  for (VARIANT& argument : arguments) ::VariantClear(&argument);
}

TEST_F(OneClick, AnswersExactlyItsFiveInterfaces) {
  const IID* const answered[] = {&IID_IUnknown, &IID_IDispatch, &IID_IZanSetupOneClick, &IID_IObjectSafety,
                                 &IID_IObjectWithSite};
  for (const IID* iid : answered) {
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, control_->QueryInterface(*iid, unknown.void_out()));
  }
  const IID* const refused[] = {&IID_IPersist, &IID_IClassFactory, &IID_IConnectionPointContainer,
                                &IID_IProvideClassInfo};
  for (const IID* iid : refused) {
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(E_NOINTERFACE, control_->QueryInterface(*iid, unknown.void_out()));
    EXPECT_EQ(nullptr, unknown.get());
  }
}

TEST_F(OneClick, SafetyOptionsAreOfferedForItsInterfacesOnly) {
  ComPtr<IObjectSafety> safety;
  ASSERT_HRESULT_SUCCEEDED(control_->QueryInterface(IID_IObjectSafety, safety.void_out()));
  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled));
  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr));
  EXPECT_EQ(E_NOINTERFACE, safety->GetInterfaceSafetyOptions(IID_IPersist, &supported, &enabled));
  EXPECT_EQ(0u, supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(3u, supported);
  EXPECT_EQ(0u, enabled);

  EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4));
  EXPECT_EQ(E_NOINTERFACE, safety->SetInterfaceSafetyOptions(IID_IPersist, 3, 3));
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3));
  EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IZanSetupOneClick, &supported, &enabled));
  EXPECT_EQ(3u, supported);
  EXPECT_EQ(3u, enabled);
  // Only the masked bits change.
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IUnknown, INTERFACESAFE_FOR_UNTRUSTED_DATA, 0));
  EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER), enabled);
}

TEST_F(OneClick, AnAggregatedControlDelegatesToItsOuterObject) {
  Outer outer;
  ComPtr<IUnknown> inner;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, ::CoCreateInstance(CLSID_ZanSetupOneClick, &outer, CLSCTX_INPROC_SERVER,
                                                      IID_IZanSetupOneClick, inner.void_out()));
  ASSERT_HRESULT_SUCCEEDED(
      ::CoCreateInstance(CLSID_ZanSetupOneClick, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, inner.void_out()));
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
  HMODULE module = ::GetModuleHandleW(PluginDll().c_str());
  ASSERT_NE(nullptr, module) << "COM loaded the registered copy";
  using CanUnload = HRESULT(WINAPI*)();
  using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  // Through void*: the exports' real types are not FARPROC's.
  auto canUnload = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")));
  auto getClassObject =
      reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
  ASSERT_NE(nullptr, canUnload);
  ASSERT_NE(nullptr, getClassObject);
  EXPECT_EQ(S_FALSE, canUnload());
  control_.reset();
  EXPECT_EQ(S_OK, canUnload());

  ComPtr<IClassFactory> factory;
  ComPtr<IUnknown> none;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IPersist, IID_IClassFactory, none.void_out()));
  ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_ZanSetupOneClick, IID_IClassFactory, factory.void_out()));
  EXPECT_EQ(S_FALSE, canUnload());
  EXPECT_HRESULT_SUCCEEDED(factory->LockServer(TRUE));
  factory.reset();
  EXPECT_EQ(S_FALSE, canUnload()) << "locked";
  ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_ZanSetupOneClick, IID_IClassFactory, factory.void_out()));
  EXPECT_HRESULT_SUCCEEDED(factory->LockServer(FALSE));
  factory.reset();
  EXPECT_EQ(S_OK, canUnload());
}

// What browsers read from the file without loading it: the MIME type in the
// string block that the translation names, a version that agrees with
// itself, the manifest, and the type library that IDispatch answers from.
TEST(PluginResources, WhatBrowsersReadWithoutLoadingIt) {
  const std::wstring dll = PluginDll();
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(dll.c_str(), &ignored);
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
