// CZanSetupOneClick: the scriptable control a web page asks to start the
// installed setup program for a product. Dual interface over the embedded
// type library, IObjectSafety for untrusted callers and data, aggregatable.
#pragma once

#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <string>

#include "npZanSetupOneClick_h.h"

namespace zan {

class CZanSetupOneClick final : public IZanSetupOneClick, public IObjectSafety, public IObjectWithSite {
 public:
  static constexpr DWORD kSupportedSafety =
      INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

  // The class factory's creation: `outer` aggregates the object (then `iid`
  // must be IID_IUnknown).
  static HRESULT Create(IUnknown* outer, REFIID iid, void** object);

  // 0 when the process was created, GetLastError when creation failed, -1
  // when the name or path is missing or the path does not exist.
  static int LaunchSetup(const std::wstring& path, const std::wstring& productName,
                         const std::wstring& productVersion);

  // IUnknown, through the controlling object.
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch, from the type library.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

  // IZanSetupOneClick. Never fails: 1 and S_OK when the setup program was
  // started, else 0 and S_FALSE. A name or version that a link would not
  // carry either is refused ("InstallOneClick refused: ..."), and so is a
  // hosting document that is no https page of an allowed site; nothing starts.
  STDMETHODIMP InstallOneClick(BSTR productName, BSTR productVersion, VARIANT_BOOL* started) override;

  // IObjectSafety
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override;
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override;

  // IObjectWithSite: a page that hosts the control gives it its site, and
  // through it the page's address, which must belong to an allowed site.
  STDMETHODIMP SetSite(IUnknown* site) override;
  STDMETHODIMP GetSite(REFIID iid, void** site) override;

 private:
  // The object's own identity, which counts its references and answers
  // QueryInterface; an outer object holds it when aggregating.
  class Inner : public IUnknown {
   public:
    explicit Inner(CZanSetupOneClick* owner) : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

   private:
    CZanSetupOneClick* owner_;
  };

  explicit CZanSetupOneClick(IUnknown* outer);
  ~CZanSetupOneClick();
  CZanSetupOneClick(const CZanSetupOneClick&) = delete;
  CZanSetupOneClick& operator=(const CZanSetupOneClick&) = delete;

  bool Answers(REFIID iid) const;
  HRESULT LoadTypeInfo();

  Inner inner_;
  IUnknown* controlling_;
  LONG references_ = 1;
  DWORD safety_ = 0;
  ITypeInfo* typeInfo_ = nullptr;
  IUnknown* site_ = nullptr;
};

}  // namespace zan
