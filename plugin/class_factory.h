// The class object for CZanSetupOneClick; each one keeps the module loaded
// while it lives.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace zan {

class CClassFactory final : public IClassFactory {
 public:
  CClassFactory();
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  ~CClassFactory();
  LONG references_ = 1;
};

}  // namespace zan
