#include "page_site.h"

#include <exdisp.h>
#include <oleauto.h>
#include <servprov.h>

#include <memory>

#include "plugin_instance.h"
#include "setup/common/site_lock.h"
#include "setup/common/string_util.h"

namespace zan {
namespace {

template <typename T>
struct Released {
  void operator()(T* object) const { object->Release(); }
};
template <typename T>
using ComRef = std::unique_ptr<T, Released<T>>;

// A property read through IDispatch: only the web browser object's
// "LocationURL" is asked for, whatever else its interface holds.
bool ReadTextProperty(IDispatch* object, const wchar_t* name, std::wstring* text) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = 0;
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
  DISPPARAMS none = {};
  VARIANT result;
  ::VariantInit(&result);
  HRESULT invoked = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                                   nullptr, nullptr);
  const bool read = SUCCEEDED(invoked) && result.vt == VT_BSTR;
  if (read) *text = result.bstrVal ? std::wstring(result.bstrVal, ::SysStringLen(result.bstrVal)) : std::wstring();
  ::VariantClear(&result);
  return read;
}

struct VariantValue {
  NPVariant value = {};
  ~VariantValue() {
    if (Browser().releasevariantvalue) Browser().releasevariantvalue(&value);
  }
};

bool GetObjectProperty(NPP npp, NPObject* object, const char* name, VariantValue* out) {
  const NPNetscapeFuncs& browser = Browser();
  if (!browser.getproperty || !browser.getstringidentifier) return false;
  NPIdentifier id = browser.getstringidentifier(name);
  return id && browser.getproperty(npp, object, id, &out->value);
}

}  // namespace

const wchar_t* AllowedSites() { return ZANSETUP_ALLOWED_SITES_TEXT; }

PageLookup PageUrlOfSite(IUnknown* site, std::wstring* url) {
  if (!site) return PageLookup::kNoPage;
  IServiceProvider* provider = nullptr;
  // A site without a web browser is a script host's, not a page's.
  if (FAILED(site->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&provider))) || !provider) {
    return PageLookup::kNoPage;
  }
  ComRef<IServiceProvider> providerRef(provider);
  IDispatch* browser = nullptr;
  if (FAILED(provider->QueryService(IID_IWebBrowserApp, IID_IDispatch, reinterpret_cast<void**>(&browser))) ||
      !browser) {
    return PageLookup::kNoPage;
  }
  ComRef<IDispatch> browserRef(browser);
  return ReadTextProperty(browser, L"LocationURL", url) ? PageLookup::kFound : PageLookup::kUnreadable;
}

PageLookup PageUrlOfInstance(NPP npp, std::wstring* url) {
  const NPNetscapeFuncs& browser = Browser();
  NPObject* window = nullptr;
  if (!npp || !browser.getvalue || browser.getvalue(npp, NPNVWindowNPObject, &window) != NPERR_NO_ERROR ||
      !window) {
    return PageLookup::kNoPage;
  }
  VariantValue location, href;
  const bool read = GetObjectProperty(npp, window, "location", &location) &&
                    location.value.type == NPVariantType_Object &&
                    GetObjectProperty(npp, location.value.value.objectValue, "href", &href) &&
                    href.value.type == NPVariantType_String;
  if (read) {
    const NPString& text = href.value.value.stringValue;
    *url = Utf8ToWide(std::string(text.UTF8Characters ? text.UTF8Characters : "", text.UTF8Length));
  }
  if (browser.releaseobject) browser.releaseobject(window);
  return read ? PageLookup::kFound : PageLookup::kUnreadable;
}

std::wstring PageRefusal(PageLookup lookup, const std::wstring& url) {
  switch (lookup) {
    case PageLookup::kNoPage:
      return std::wstring();
    case PageLookup::kUnreadable:
      return L"the hosting page's address could not be read";
    case PageLookup::kFound:
      break;
  }
  const std::wstring host = UrlHost(url);
  if (IsAllowedHost(host, AllowedSites())) return std::wstring();
  return L"the page's host \"" + host + L"\" is not allowed";
}

}  // namespace zan
