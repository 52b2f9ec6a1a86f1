#include "scriptable_object.h"

#include <windows.h>
#include <oleauto.h>

#include <climits>
#include <cstdio>
#include <new>

#include "module.h"
#include "npZanSetupOneClick_h.h"
#include "page_site.h"
#include "plugin_instance.h"
#include "setup/common/log.h"
#include "setup/common/product_values.h"
#include "setup/common/worker.h"

namespace zan {
namespace {

NPIdentifier g_installOneClickId = nullptr;
NPIdentifier g_sendCommandId = nullptr;

class ScopedBstr {
 public:
  explicit ScopedBstr(BSTR value) : value_(value) {}
  ~ScopedBstr() { ::SysFreeString(value_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

// Argument `index` as wide text. A missing argument or one that is not a
// string counts as empty, so script cannot make us read past what it passed.
// A null result (no memory) also reaches the control as an empty string.
BSTR ArgumentAsBstr(const NPVariant* args, uint32_t argCount, uint32_t index) {
  if (!args || index >= argCount || args[index].type != NPVariantType_String) return ::SysAllocStringLen(nullptr, 0);
  const NPString& text = args[index].value.stringValue;
  // The browser's text has a byte count and no terminating zero.
  if (!text.UTF8Characters || text.UTF8Length == 0 || text.UTF8Length > INT_MAX) {
    return ::SysAllocStringLen(nullptr, 0);
  }
  const int length = static_cast<int>(text.UTF8Length);
  int wide = ::MultiByteToWideChar(CP_UTF8, 0, text.UTF8Characters, length, nullptr, 0);
  BSTR converted = ::SysAllocStringLen(nullptr, wide > 0 ? wide : 0);
  if (converted && wide > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.UTF8Characters, length, converted, wide);
  return converted;
}

// How many UTF-16 characters the argument has at least, from its UTF-8
// byte count (three bytes make at least one); 0 for one that is missing or
// no string.
size_t ArgumentLength(const NPVariant* args, uint32_t argCount, uint32_t index) {
  if (!args || index >= argCount || args[index].type != NPVariantType_String) return 0;
  return args[index].value.stringValue.UTF8Length / 3 + (args[index].value.stringValue.UTF8Length % 3 ? 1 : 0);
}

// Through COM rather than a direct call, so this face starts the setup
// program exactly as the control does for browsers that host it. COM must
// already be set up on the browser's thread; we never set it up ourselves.
void InstallThroughControl(BSTR productName, BSTR productVersion) {
  IZanSetupOneClick* control = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ZanSetupOneClick, nullptr, CLSCTX_INPROC_SERVER, IID_IZanSetupOneClick,
                                reinterpret_cast<void**>(&control))) ||
      !control) {
    return;
  }
  // The control logs its own outcome; script is not told it.
  VARIANT_BOOL started = 0;
  control->InstallOneClick(productName, productVersion, &started);
  control->Release();
}

// Every object of our class began as one of ours, so the header maps back.
ScriptablePluginObjectBase* Self(NPObject* object) { return static_cast<ScriptablePluginObjectBase*>(object); }

}  // namespace

void ScriptablePluginObjectBase::EntryDeallocate(NPObject* object) { delete Self(object); }
void ScriptablePluginObjectBase::EntryInvalidate(NPObject* object) { Self(object)->Invalidate(); }
bool ScriptablePluginObjectBase::EntryHasMethod(NPObject* object, NPIdentifier name) {
  return Self(object)->HasMethod(name);
}
bool ScriptablePluginObjectBase::EntryInvoke(NPObject* object, NPIdentifier name, const NPVariant* args,
                                        uint32_t argCount, NPVariant* result) {
  // The browser's thread must never see an exception of ours.
  bool invoked = false;
  RunGuarded(L"the plug-in's Invoke", [&] { invoked = Self(object)->Invoke(name, args, argCount, result); });
  return invoked;
}
bool ScriptablePluginObjectBase::EntryInvokeDefault(NPObject* object, const NPVariant* args, uint32_t argCount,
                                               NPVariant* result) {
  return Self(object)->InvokeDefault(args, argCount, result);
}
bool ScriptablePluginObjectBase::EntryHasProperty(NPObject* object, NPIdentifier name) {
  return Self(object)->HasProperty(name);
}
bool ScriptablePluginObjectBase::EntryGetProperty(NPObject* object, NPIdentifier name, NPVariant* result) {
  return Self(object)->GetProperty(name, result);
}
bool ScriptablePluginObjectBase::EntrySetProperty(NPObject* object, NPIdentifier name, const NPVariant* value) {
  return Self(object)->SetProperty(name, value);
}
bool ScriptablePluginObjectBase::EntryRemoveProperty(NPObject* object, NPIdentifier name) {
  return Self(object)->RemoveProperty(name);
}
bool ScriptablePluginObjectBase::EntryEnumerate(NPObject* object, NPIdentifier** identifiers, uint32_t* count) {
  return Self(object)->Enumerate(identifiers, count);
}
bool ScriptablePluginObjectBase::EntryConstruct(NPObject* object, const NPVariant* args, uint32_t argCount,
                                           NPVariant* result) {
  return Self(object)->Construct(args, argCount, result);
}

NPClass* ScriptablePluginObject::Class() {
  static NPClass record = {NP_CLASS_STRUCT_VERSION_CTOR,
                           &ScriptablePluginObject::Allocate,
                           &ScriptablePluginObjectBase::EntryDeallocate,
                           &ScriptablePluginObjectBase::EntryInvalidate,
                           &ScriptablePluginObjectBase::EntryHasMethod,
                           &ScriptablePluginObjectBase::EntryInvoke,
                           &ScriptablePluginObjectBase::EntryInvokeDefault,
                           &ScriptablePluginObjectBase::EntryHasProperty,
                           &ScriptablePluginObjectBase::EntryGetProperty,
                           &ScriptablePluginObjectBase::EntrySetProperty,
                           &ScriptablePluginObjectBase::EntryRemoveProperty,
                           &ScriptablePluginObjectBase::EntryEnumerate,
                           &ScriptablePluginObjectBase::EntryConstruct};
  return &record;
}

NPObject* ScriptablePluginObject::Allocate(NPP npp, NPClass*) {
  return new (std::nothrow) ScriptablePluginObject(npp);
}

void ScriptablePluginObject::LookUpIdentifiers() {
  NPN_GetStringIdentifierProcPtr lookUp = Browser().getstringidentifier;
  if (!lookUp) return;
  g_installOneClickId = lookUp("InstallOneClick");
  g_sendCommandId = lookUp("SendCommand");
}

bool ScriptablePluginObject::HasMethod(NPIdentifier name) {
  // A name never looked up is null and must match nothing.
  return name && (name == g_installOneClickId || name == g_sendCommandId);
}

bool ScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                    NPVariant* result) {
  if (!name) return false;
  if (name == g_installOneClickId) {
    // Refused in the page's face (false: script sees the call fail); a
    // string too long to be a name is refused before it is converted.
    std::wstring refusal = ProductValuesRefusal(ArgumentLength(args, argCount, 0), ArgumentLength(args, argCount, 1));
    ScopedBstr productName(refusal.empty() ? ArgumentAsBstr(args, argCount, 0) : nullptr);
    ScopedBstr productVersion(refusal.empty() ? ArgumentAsBstr(args, argCount, 1) : nullptr);
    if (refusal.empty()) refusal = ProductValuesRefusal(BstrText(productName.get()), BstrText(productVersion.get()));
    std::wstring page;
    if (refusal.empty()) refusal = PageRefusal(PageUrlOfInstance(npp_, &page), page);
    if (!refusal.empty()) {
      WriteLog(L"InstallOneClick refused: %s", refusal.c_str());
      return false;
    }
    InstallThroughControl(productName.get(), productVersion.get());
    if (result) {
      result->type = NPVariantType_Int32;
      result->value.intValue = 1;
    }
    return true;
  }
  // Accepted for pages that call it; the browser's preset result stays.
  if (name == g_sendCommandId) return true;
  return false;
}

bool ScriptablePluginObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant*) {
  std::fputs("ScriptablePluginObject default method called!\n", stdout);
  return true;
}

bool ScriptablePluginObject::GetProperty(NPIdentifier, NPVariant* result) {
  if (result) {
    result->type = NPVariantType_Void;
    result->value.objectValue = nullptr;
  }
  return true;
}

}  // namespace zan
