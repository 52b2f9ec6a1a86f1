#include "one_click.h"


#include <new>

#include "module.h"
#include "page_site.h"
#include "setup/common/app_reg.h"
#include "setup/common/files.h"
#include "setup/common/log.h"
#include "setup/common/product_values.h"
#include "setup/common/start_program.h"
#include "setup/common/worker.h"

namespace zan {
CZanSetupOneClick::CZanSetupOneClick(IUnknown* outer)
    : inner_(this), controlling_(outer ? outer : &inner_) {
  LockModule();
}

CZanSetupOneClick::~CZanSetupOneClick() {
  if (typeInfo_) typeInfo_->Release();
  if (site_) site_->Release();
  UnlockModule();
}

HRESULT CZanSetupOneClick::Create(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  CZanSetupOneClick* created = new (std::nothrow) CZanSetupOneClick(outer);
  if (!created) return E_OUTOFMEMORY;
  HRESULT result = created->inner_.QueryInterface(iid, object);
  created->inner_.Release();  // the creation's own reference
  return result;
}

bool CZanSetupOneClick::Answers(REFIID iid) const {
  return IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
         IsEqualIID(iid, IID_IZanSetupOneClick) || IsEqualIID(iid, IID_IObjectSafety) ||
         IsEqualIID(iid, IID_IObjectWithSite);
}

STDMETHODIMP CZanSetupOneClick::Inner::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *object = static_cast<IUnknown*>(this);
  } else if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IZanSetupOneClick)) {
    *object = static_cast<IZanSetupOneClick*>(owner_);
  } else if (IsEqualIID(iid, IID_IObjectSafety)) {
    *object = static_cast<IObjectSafety*>(owner_);
  } else if (IsEqualIID(iid, IID_IObjectWithSite)) {
    *object = static_cast<IObjectWithSite*>(owner_);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  static_cast<IUnknown*>(*object)->AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CZanSetupOneClick::Inner::AddRef() {
  return static_cast<ULONG>(::InterlockedIncrement(&owner_->references_));
}

STDMETHODIMP_(ULONG) CZanSetupOneClick::Inner::Release() {
  LONG left = ::InterlockedDecrement(&owner_->references_);
  if (left == 0) delete owner_;
  return static_cast<ULONG>(left);
}

STDMETHODIMP CZanSetupOneClick::QueryInterface(REFIID iid, void** object) {
  return controlling_->QueryInterface(iid, object);
}
STDMETHODIMP_(ULONG) CZanSetupOneClick::AddRef() { return controlling_->AddRef(); }
STDMETHODIMP_(ULONG) CZanSetupOneClick::Release() { return controlling_->Release(); }

// From the library inside this DLL: it is there even where the registration
// of the library was not.
HRESULT CZanSetupOneClick::LoadTypeInfo() {
  if (typeInfo_) return S_OK;
  ITypeLib* library = nullptr;
  HRESULT result = ::LoadTypeLibEx(PluginPath().c_str(), REGKIND_NONE, &library);
  if (FAILED(result)) return result;
  result = library->GetTypeInfoOfGuid(IID_IZanSetupOneClick, &typeInfo_);
  library->Release();
  return result;
}

STDMETHODIMP CZanSetupOneClick::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP CZanSetupOneClick::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  HRESULT result = LoadTypeInfo();
  if (FAILED(result)) return result;
  typeInfo_->AddRef();
  *info = typeInfo_;
  return S_OK;
}

STDMETHODIMP CZanSetupOneClick::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                              DISPID* ids) {
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  HRESULT result = LoadTypeInfo();
  if (FAILED(result)) return result;
  return ::DispGetIDsOfNames(typeInfo_, names, count, ids);
}

STDMETHODIMP CZanSetupOneClick::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                       VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  HRESULT loaded = LoadTypeInfo();
  if (FAILED(loaded)) return loaded;
  return typeInfo_->Invoke(static_cast<IZanSetupOneClick*>(this), id, flags, params, result, exception,
                           argumentError);
}

STDMETHODIMP CZanSetupOneClick::InstallOneClick(BSTR productName, BSTR productVersion,
                                                VARIANT_BOOL* started) {
  bool ok = false;
  // A page's string can be too large to copy; the page then gets a plain 0.
  RunGuarded(L"CZanSetupOneClick: InstallOneClick", [&] {
    // Measured before anything is copied: a page's string may be huge.
    std::wstring refusal = ProductValuesRefusal(::SysStringLen(productName), ::SysStringLen(productVersion));
    const std::wstring name = refusal.empty() ? BstrText(productName) : std::wstring();
    const std::wstring version = refusal.empty() ? BstrText(productVersion) : std::wstring();
    if (refusal.empty()) refusal = ProductValuesRefusal(name, version);
    std::wstring page;
    if (refusal.empty()) refusal = PageRefusal(PageUrlOfSite(site_, &page), page);
    if (!refusal.empty()) {
      WriteLog(L"InstallOneClick refused: %s", refusal.c_str());
      return;
    }
    std::wstring installedVersion, path;
    bool found = CAppReg().GetRegAppInfo(installedVersion, path);
    WriteLog(L"CZanSetupOneClick: Get appinfo path: %s, version: %s", path.c_str(), installedVersion.c_str());
    ok = found && !installedVersion.empty() && !path.empty() && LaunchSetup(path, name, version) == 0;
  });
  // The stored value for success is 1, as callers compare with 1. A caller
  // without a place for it still gets the result code.
  if (started) *started = ok ? 1 : 0;
  return ok ? S_OK : S_FALSE;
}

int CZanSetupOneClick::LaunchSetup(const std::wstring& path, const std::wstring& productName,
                                   const std::wstring& productVersion) {
  if (productName.empty() || path.empty()) {
    WriteLog(L"CZanSetupOneClick: path: %s, produce: %s", path.c_str(), productName.c_str());
    return -1;
  }
  if (!FileExists(path)) {
    WriteLog(L"CZanSetupOneClick: path is not exist");
    return -1;
  }
  WriteLog(L"CZanSetupOneClick: run zansetup, path: %s", path.c_str());
  // The program path is quoted (it normally lies below a folder with a
  // blank); name and version follow exactly as given.
  std::wstring commandLine = L"\"" + path + L"\" App=" + productName + L" Ver=" + productVersion;
  PROCESS_INFORMATION info;
  if (!StartProgram(commandLine, 0, SW_SHOWNORMAL, &info)) {
    return static_cast<int>(::GetLastError());
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return 0;
}

STDMETHODIMP CZanSetupOneClick::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) {
  if (!supported || !enabled) return E_POINTER;
  if (!Answers(iid)) {
    *supported = 0;
    *enabled = 0;
    return E_NOINTERFACE;
  }
  *supported = kSupportedSafety;
  *enabled = safety_;
  return S_OK;
}

STDMETHODIMP CZanSetupOneClick::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) {
  if (!Answers(iid)) return E_NOINTERFACE;
  if (mask & ~kSupportedSafety) return E_FAIL;
  safety_ = (safety_ & ~mask) | (enabled & mask);
  return S_OK;
}

STDMETHODIMP CZanSetupOneClick::SetSite(IUnknown* site) {
  if (site) site->AddRef();
  if (site_) site_->Release();
  site_ = site;
  return S_OK;
}

STDMETHODIMP CZanSetupOneClick::GetSite(REFIID iid, void** site) {
  if (!site) return E_POINTER;
  *site = nullptr;
  return site_ ? site_->QueryInterface(iid, site) : E_FAIL;
}

}  // namespace zan
