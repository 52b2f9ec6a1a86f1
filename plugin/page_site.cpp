#include "page_site.h"

#include <exdisp.h>
#include <mshtml.h>
#include <oleauto.h>
#include <oleidl.h>
#include <servprov.h>

#include <memory>

#include "plugin_instance.h"
#include "setup/common/build_settings.h"
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

template <typename T>
ComRef<T> Query(IUnknown* object, REFIID iid) {
  T* found = nullptr;
  if (!object || FAILED(object->QueryInterface(iid, reinterpret_cast<void**>(&found)))) found = nullptr;
  return ComRef<T>(found);
}

// A text property read through IDispatch: only the document's "URL" is asked
// for, whatever else its interface holds.
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

// The service through which a control that page script made (new
// ActiveXObject) reaches the document of that script: such a control has
// a site but no client site in a container.
const GUID kContainerDispatchService = {0xB722BE00, 0x4E68, 0x101B, {0xA2, 0xBC, 0x00, 0xAA, 0x00, 0x40, 0x47, 0x70}};

// The HTML document that contains the control: its client site's container,
// or else the container's document that the site's services lead to. Only
// IDispatch of the document is used, which IHTMLDocument2 derives from.
ComRef<IDispatch> ContainingDocument(IUnknown* site) {
  ComRef<IOleClientSite> client = Query<IOleClientSite>(site, IID_IOleClientSite);
  IOleContainer* container = nullptr;
  if (client && SUCCEEDED(client->GetContainer(&container)) && container) {
    ComRef<IOleContainer> containerRef(container);
    return Query<IDispatch>(container, IID_IHTMLDocument2);
  }
  ComRef<IServiceProvider> provider = Query<IServiceProvider>(site, IID_IServiceProvider);
  IUnknown* document = nullptr;
  if (!provider || FAILED(provider->QueryService(kContainerDispatchService, IID_IUnknown,
                                                 reinterpret_cast<void**>(&document))) || !document) {
    return nullptr;
  }
  ComRef<IUnknown> documentRef(document);
  return Query<IDispatch>(document, IID_IHTMLDocument2);
}

bool OffersWebBrowser(IUnknown* site) {
  ComRef<IServiceProvider> provider = Query<IServiceProvider>(site, IID_IServiceProvider);
  IUnknown* browser = nullptr;
  if (!provider || FAILED(provider->QueryService(IID_IWebBrowserApp, IID_IUnknown,
                                                 reinterpret_cast<void**>(&browser))) || !browser) {
    return false;
  }
  browser->Release();
  return true;
}

// NPN_GetValue's string answers are the browser's memory, handed back to it.
class BrowserString {
 public:
  BrowserString() = default;
  ~BrowserString() {
    if (text_ && Browser().memfree) Browser().memfree(text_);
  }
  BrowserString(const BrowserString&) = delete;
  BrowserString& operator=(const BrowserString&) = delete;
  char** out() { return &text_; }
  const char* get() const { return text_; }

 private:
  char* text_ = nullptr;
};

bool HasWindowObject(NPP npp) {
  const NPNetscapeFuncs& browser = Browser();
  NPObject* window = nullptr;
  if (browser.getvalue(npp, NPNVWindowNPObject, &window) != NPERR_NO_ERROR || !window) return false;
  if (browser.releaseobject) browser.releaseobject(window);
  return true;
}

}  // namespace

const wchar_t* AllowedSites() { return ZANSETUP_ALLOWED_SITES_TEXT; }

PageLookup PageUrlOfSite(IUnknown* site, std::wstring* url) {
  if (!site) return PageLookup::kNoPage;
  ComRef<IDispatch> document = ContainingDocument(site);
  if (document) return ReadTextProperty(document.get(), L"URL", url) ? PageLookup::kFound : PageLookup::kUnreadable;
  // In a browser, but its document out of reach: not to be taken for a script host.
  return OffersWebBrowser(site) ? PageLookup::kUnreadable : PageLookup::kNoPage;
}

PageLookup PageUrlOfInstance(NPP npp, std::wstring* url) {
  const NPNetscapeFuncs& browser = Browser();
  if (!npp || !browser.getvalue) return PageLookup::kNoPage;
  BrowserString origin;
  if (browser.getvalue(npp, NPNVdocumentOrigin, origin.out()) == NPERR_NO_ERROR && origin.get()) {
    *url = Utf8ToWide(origin.get());
    return PageLookup::kFound;
  }
  return HasWindowObject(npp) ? PageLookup::kUnreadable : PageLookup::kNoPage;
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
  PagePolicy policy;
  policy.allowedSites = AllowedSites();
  policy.serverHost = UrlHost(ServerBase());
  policy.development = !IsPinnedBuild();
  return PageAddressRefusal(url, policy);
}

}  // namespace zan
