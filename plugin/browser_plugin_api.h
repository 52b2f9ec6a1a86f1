// The browser plug-in interface as this DLL meets it: the types, codes and the
// two function tables exchanged with a Windows browser of the module's own
// bitness. Browsers check the tables by their size fields, so every layout
// here is pinned below, for 32-bit and for 64-bit modules.
//
// Calling conventions: the three exported entry points are WINAPI; every
// function inside the tables, and every class operation, is cdecl.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

extern "C" {

typedef int16_t NPError;
typedef int16_t NPReason;
typedef unsigned char NPBool;
typedef char NPUTF8;
typedef char* NPMIMEType;
typedef void* NPIdentifier;

enum : NPError {
  NPERR_NO_ERROR = 0,
  NPERR_GENERIC_ERROR = 1,
  NPERR_INVALID_INSTANCE_ERROR = 2,
  NPERR_INVALID_FUNCTABLE_ERROR = 3,
  NPERR_MODULE_LOAD_FAILED_ERROR = 4,
  NPERR_OUT_OF_MEMORY_ERROR = 5,
  NPERR_INVALID_PLUGIN_ERROR = 6,
  NPERR_INVALID_PLUGIN_DIR_ERROR = 7,
  NPERR_INCOMPATIBLE_VERSION_ERROR = 8,
};

// The interface version this plug-in declares: major 0, minor 19.
const uint16_t kNPVersionMajor = 0;
const uint16_t kNPVersionMinor = 19;

// One embedded instance: the plug-in owns pdata, the browser ndata.
typedef struct NPP_t {
  void* pdata;
  void* ndata;
} NPP_t;
typedef NPP_t* NPP;

typedef struct NPSavedData {
  int32_t len;
  void* buf;
} NPSavedData;

typedef struct NPStream {
  void* pdata;
  void* ndata;
  const char* url;
  uint32_t end;
  uint32_t lastmodified;
  void* notifyData;
  const char* headers;
} NPStream;

typedef struct NPRect {
  uint16_t top;
  uint16_t left;
  uint16_t bottom;
  uint16_t right;
} NPRect;

typedef enum { NPWindowTypeWindow = 1, NPWindowTypeDrawable } NPWindowType;

// On Windows `window` is the HWND the browser made for the instance.
typedef struct NPWindow {
  void* window;
  int32_t x;
  int32_t y;
  uint32_t width;
  uint32_t height;
  NPRect clipRect;
  NPWindowType type;
} NPWindow;

// Printing and events reach the plug-in only as pointers it never reads.
struct NPPrint;

typedef enum {
  NPPVpluginNameString = 1,
  NPPVpluginDescriptionString = 2,
  NPPVpluginWindowBool = 3,
  NPPVpluginTransparentBool = 4,
  NPPVpluginNeedsXEmbed = 14,
  NPPVpluginScriptableNPObject = 15,
} NPPVariable;

typedef enum {
  NPNVWindowNPObject = 15,
  NPNVPluginElementNPObject = 16,
  // The origin of the plug-in's document as a UTF-8 text the browser
  // allocated; the plug-in frees it with memfree.
  NPNVdocumentOrigin = 22,
} NPNVariable;

// Script values. NPString is UTF-8 with a byte count and need not end in a zero.
struct NPObject;

typedef struct NPString {
  const NPUTF8* UTF8Characters;
  uint32_t UTF8Length;
} NPString;

typedef enum {
  NPVariantType_Void,
  NPVariantType_Null,
  NPVariantType_Bool,
  NPVariantType_Int32,
  NPVariantType_Double,
  NPVariantType_String,
  NPVariantType_Object,
} NPVariantType;

typedef struct NPVariant {
  NPVariantType type;
  union {
    bool boolValue;
    int32_t intValue;
    double doubleValue;
    NPString stringValue;
    NPObject* objectValue;
  } value;
} NPVariant;

// A script object's class: its operations, in the order browsers call them.
typedef NPObject* (*NPAllocateFunctionPtr)(NPP npp, struct NPClass* aClass);
typedef void (*NPDeallocateFunctionPtr)(NPObject* npobj);
typedef void (*NPInvalidateFunctionPtr)(NPObject* npobj);
typedef bool (*NPHasMethodFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (*NPInvokeFunctionPtr)(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                    uint32_t argCount, NPVariant* result);
typedef bool (*NPInvokeDefaultFunctionPtr)(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                           NPVariant* result);
typedef bool (*NPHasPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (*NPGetPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name, NPVariant* result);
typedef bool (*NPSetPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name, const NPVariant* value);
typedef bool (*NPRemovePropertyFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (*NPEnumerationFunctionPtr)(NPObject* npobj, NPIdentifier** value, uint32_t* count);
typedef bool (*NPConstructFunctionPtr)(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                       NPVariant* result);

// Version 3 is the first with `enumerate` and `construct`.
const uint32_t NP_CLASS_STRUCT_VERSION_CTOR = 3;

typedef struct NPClass {
  uint32_t structVersion;
  NPAllocateFunctionPtr allocate;
  NPDeallocateFunctionPtr deallocate;
  NPInvalidateFunctionPtr invalidate;
  NPHasMethodFunctionPtr hasMethod;
  NPInvokeFunctionPtr invoke;
  NPInvokeDefaultFunctionPtr invokeDefault;
  NPHasPropertyFunctionPtr hasProperty;
  NPGetPropertyFunctionPtr getProperty;
  NPSetPropertyFunctionPtr setProperty;
  NPRemovePropertyFunctionPtr removeProperty;
  NPEnumerationFunctionPtr enumerate;
  NPConstructFunctionPtr construct;
} NPClass;

// The header the browser reads of every script object.
typedef struct NPObject {
  NPClass* _class;
  uint32_t referenceCount;
} NPObject;

// The plug-in's table, filled by NP_GetEntryPoints.
typedef NPError (*NPP_NewProcPtr)(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc,
                                  char* argn[], char* argv[], NPSavedData* saved);
typedef NPError (*NPP_DestroyProcPtr)(NPP instance, NPSavedData** save);
typedef NPError (*NPP_SetWindowProcPtr)(NPP instance, NPWindow* window);
typedef NPError (*NPP_NewStreamProcPtr)(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable,
                                        uint16_t* stype);
typedef NPError (*NPP_DestroyStreamProcPtr)(NPP instance, NPStream* stream, NPReason reason);
typedef void (*NPP_StreamAsFileProcPtr)(NPP instance, NPStream* stream, const char* fname);
typedef int32_t (*NPP_WriteReadyProcPtr)(NPP instance, NPStream* stream);
typedef int32_t (*NPP_WriteProcPtr)(NPP instance, NPStream* stream, int32_t offset, int32_t len,
                                    void* buffer);
typedef void (*NPP_PrintProcPtr)(NPP instance, NPPrint* platformPrint);
typedef int16_t (*NPP_HandleEventProcPtr)(NPP instance, void* event);
typedef void (*NPP_URLNotifyProcPtr)(NPP instance, const char* url, NPReason reason, void* notifyData);
typedef NPError (*NPP_GetValueProcPtr)(NPP instance, NPPVariable variable, void* value);
typedef NPError (*NPP_SetValueProcPtr)(NPP instance, NPNVariable variable, void* value);

typedef struct NPPluginFuncs {
  uint16_t size;
  uint16_t version;
  NPP_NewProcPtr newp;
  NPP_DestroyProcPtr destroy;
  NPP_SetWindowProcPtr setwindow;
  NPP_NewStreamProcPtr newstream;
  NPP_DestroyStreamProcPtr destroystream;
  NPP_StreamAsFileProcPtr asfile;
  NPP_WriteReadyProcPtr writeready;
  NPP_WriteProcPtr write;
  NPP_PrintProcPtr print;
  NPP_HandleEventProcPtr event;
  NPP_URLNotifyProcPtr urlnotify;
  void* javaClass;
  NPP_GetValueProcPtr getvalue;
  NPP_SetValueProcPtr setvalue;
} NPPluginFuncs;

// The browser's table, handed to NP_Initialize. The plug-in calls only the
// identifier, object, value and property functions; the other slots are typed as opaque
// pointers because only their places matter here.
typedef NPIdentifier (*NPN_GetStringIdentifierProcPtr)(const NPUTF8* name);
typedef void (*NPN_GetStringIdentifiersProcPtr)(const NPUTF8** names, int32_t nameCount,
                                                NPIdentifier* identifiers);
typedef NPIdentifier (*NPN_GetIntIdentifierProcPtr)(int32_t intid);
typedef bool (*NPN_IdentifierIsStringProcPtr)(NPIdentifier identifier);
typedef NPUTF8* (*NPN_UTF8FromIdentifierProcPtr)(NPIdentifier identifier);
typedef int32_t (*NPN_IntFromIdentifierProcPtr)(NPIdentifier identifier);
typedef NPObject* (*NPN_CreateObjectProcPtr)(NPP npp, NPClass* aClass);
typedef NPObject* (*NPN_RetainObjectProcPtr)(NPObject* obj);
typedef void (*NPN_ReleaseObjectProcPtr)(NPObject* obj);
typedef void (*NPN_ReleaseVariantValueProcPtr)(NPVariant* variant);
typedef NPError (*NPN_GetValueProcPtr)(NPP instance, NPNVariable variable, void* value);
typedef void (*NPN_MemFreeProcPtr)(void* pointer);
typedef bool (*NPN_GetPropertyProcPtr)(NPP npp, NPObject* obj, NPIdentifier propertyName, NPVariant* result);
typedef void* NPN_OpaqueProcPtr;

typedef struct NPNetscapeFuncs {
  uint16_t size;
  uint16_t version;
  NPN_OpaqueProcPtr geturl;
  NPN_OpaqueProcPtr posturl;
  NPN_OpaqueProcPtr requestread;
  NPN_OpaqueProcPtr newstream;
  NPN_OpaqueProcPtr write;
  NPN_OpaqueProcPtr destroystream;
  NPN_OpaqueProcPtr status;
  NPN_OpaqueProcPtr uagent;
  NPN_OpaqueProcPtr memalloc;
  NPN_MemFreeProcPtr memfree;
  NPN_OpaqueProcPtr memflush;
  NPN_OpaqueProcPtr reloadplugins;
  NPN_OpaqueProcPtr getJavaEnv;
  NPN_OpaqueProcPtr getJavaPeer;
  NPN_OpaqueProcPtr geturlnotify;
  NPN_OpaqueProcPtr posturlnotify;
  NPN_GetValueProcPtr getvalue;
  NPN_OpaqueProcPtr setvalue;
  NPN_OpaqueProcPtr invalidaterect;
  NPN_OpaqueProcPtr invalidateregion;
  NPN_OpaqueProcPtr forceredraw;
  NPN_GetStringIdentifierProcPtr getstringidentifier;
  NPN_GetStringIdentifiersProcPtr getstringidentifiers;
  NPN_GetIntIdentifierProcPtr getintidentifier;
  NPN_IdentifierIsStringProcPtr identifierisstring;
  NPN_UTF8FromIdentifierProcPtr utf8fromidentifier;
  NPN_IntFromIdentifierProcPtr intfromidentifier;
  NPN_CreateObjectProcPtr createobject;
  NPN_RetainObjectProcPtr retainobject;
  NPN_ReleaseObjectProcPtr releaseobject;
  NPN_OpaqueProcPtr invoke;
  NPN_OpaqueProcPtr invokeDefault;
  NPN_OpaqueProcPtr evaluate;
  NPN_GetPropertyProcPtr getproperty;
  NPN_OpaqueProcPtr setproperty;
  NPN_OpaqueProcPtr removeproperty;
  NPN_OpaqueProcPtr hasproperty;
  NPN_OpaqueProcPtr hasmethod;
  NPN_ReleaseVariantValueProcPtr releasevariantvalue;
  NPN_OpaqueProcPtr setexception;
  NPN_OpaqueProcPtr pushpopupsenabledstate;
  NPN_OpaqueProcPtr poppopupsenabledstate;
  NPN_OpaqueProcPtr enumerate;
  NPN_OpaqueProcPtr pluginthreadasynccall;
  NPN_OpaqueProcPtr construct;
} NPNetscapeFuncs;

}  // extern "C"

// The layouts browsers expect: pointer-sized fields, so each structure has
// a 32-bit and a 64-bit size. The entry points compare sizes with these.
constexpr bool kWin64Layout = sizeof(void*) == 8;
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "a 32-bit or a 64-bit module");
constexpr size_t ForLayout(size_t bits32, size_t bits64) { return kWin64Layout ? bits64 : bits32; }
static_assert(sizeof(NPP_t) == ForLayout(8, 16), "NPP_t");
static_assert(sizeof(NPSavedData) == ForLayout(8, 16), "NPSavedData");
static_assert(sizeof(NPStream) == ForLayout(28, 48) && offsetof(NPStream, end) == ForLayout(12, 24), "NPStream");
static_assert(sizeof(NPWindow) == ForLayout(32, 40) && offsetof(NPWindow, clipRect) == ForLayout(20, 24),
              "NPWindow");
static_assert(sizeof(NPString) == ForLayout(8, 16), "NPString");
static_assert(sizeof(NPVariantType) == 4, "NPVariantType is an int");
static_assert(sizeof(NPVariant) == ForLayout(16, 24) && offsetof(NPVariant, value) == 8,
              "NPVariant aligns its double");
static_assert(sizeof(NPObject) == ForLayout(8, 16), "NPObject");
static_assert(sizeof(NPClass) == ForLayout(52, 104) && offsetof(NPClass, construct) == ForLayout(48, 96),
              "NPClass");
static_assert(sizeof(NPPluginFuncs) == ForLayout(60, 120) && offsetof(NPPluginFuncs, newp) == ForLayout(4, 8) &&
                  offsetof(NPPluginFuncs, javaClass) == ForLayout(48, 96) &&
                  offsetof(NPPluginFuncs, setvalue) == ForLayout(56, 112),
              "NPPluginFuncs");
static_assert(sizeof(NPNetscapeFuncs) == ForLayout(184, 368) &&
                  offsetof(NPNetscapeFuncs, getstringidentifier) == ForLayout(88, 176) &&
                  offsetof(NPNetscapeFuncs, createobject) == ForLayout(112, 224) &&
                  offsetof(NPNetscapeFuncs, releaseobject) == ForLayout(120, 240) &&
                  offsetof(NPNetscapeFuncs, construct) == ForLayout(180, 360),
              "NPNetscapeFuncs");
