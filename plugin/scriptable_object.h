// The script object page script receives from the plug-in: "InstallOneClick"
// and "SendCommand". The browser sees only the NPObject header and the class
// record; each class entry maps that header back to the C++ object.
#pragma once

#include "browser_plugin_api.h"

namespace zan {

class ScriptablePluginObjectBase : public NPObject {
 public:
  explicit ScriptablePluginObjectBase(NPP npp) : npp_(npp) {}
  virtual ~ScriptablePluginObjectBase() = default;
  ScriptablePluginObjectBase(const ScriptablePluginObjectBase&) = delete;
  ScriptablePluginObjectBase& operator=(const ScriptablePluginObjectBase&) = delete;

  virtual void Invalidate() {}
  virtual bool HasMethod(NPIdentifier name) { return false; }
  virtual bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) {
    return false;
  }
  virtual bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) { return false; }
  virtual bool HasProperty(NPIdentifier name) { return false; }
  virtual bool GetProperty(NPIdentifier name, NPVariant* result) { return false; }
  virtual bool SetProperty(NPIdentifier name, const NPVariant* value) { return false; }
  virtual bool RemoveProperty(NPIdentifier name) { return false; }
  virtual bool Enumerate(NPIdentifier** identifiers, uint32_t* count) { return false; }
  virtual bool Construct(const NPVariant* args, uint32_t argCount, NPVariant* result) { return false; }

 protected:
  // The class entries the browser calls; a derived class supplies allocate.
  static void EntryDeallocate(NPObject* object);
  static void EntryInvalidate(NPObject* object);
  static bool EntryHasMethod(NPObject* object, NPIdentifier name);
  static bool EntryInvoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                     NPVariant* result);
  static bool EntryInvokeDefault(NPObject* object, const NPVariant* args, uint32_t argCount, NPVariant* result);
  static bool EntryHasProperty(NPObject* object, NPIdentifier name);
  static bool EntryGetProperty(NPObject* object, NPIdentifier name, NPVariant* result);
  static bool EntrySetProperty(NPObject* object, NPIdentifier name, const NPVariant* value);
  static bool EntryRemoveProperty(NPObject* object, NPIdentifier name);
  static bool EntryEnumerate(NPObject* object, NPIdentifier** identifiers, uint32_t* count);
  static bool EntryConstruct(NPObject* object, const NPVariant* args, uint32_t argCount, NPVariant* result);

  NPP npp_;
};

class ScriptablePluginObject final : public ScriptablePluginObjectBase {
 public:
  // The record handed to NPN_CreateObject.
  static NPClass* Class();
  // Looks the two method names up with the browser; called for every new
  // instance, the browser giving the same values each time.
  static void LookUpIdentifiers();

  explicit ScriptablePluginObject(NPP npp) : ScriptablePluginObjectBase(npp) {}

  bool HasMethod(NPIdentifier name) override;
  bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) override;
  bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
  bool GetProperty(NPIdentifier name, NPVariant* result) override;

 private:
  static NPObject* Allocate(NPP npp, NPClass* objectClass);
};

}  // namespace zan
