// The plug-in as a browser sees it: a host of ours loads the registered copy of the DLL with LoadLibrary,
// hands it a browser function table that makes, retains and releases script objects and interns identifiers,
// and drives the entry points, the instance functions and the script object.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "browser_plugin_api.h"
#include "setup/common/string_util.h"
#include "plugin_test_util.h"

namespace {

// What the browser side records of the plug-in's calls.
struct HostState {
  std::set<std::string> identifiers;  // interned: an identifier is the address of its name
  std::vector<std::string> lookedUp;
  int created = 0;
  int deallocated = 0;
  bool failCreate = false;
  // The page the plug-in sits in: none when `page` is false. `origin`: the document's origin as the browser
  // tells it (null: it does not); `href`: what window.location.href says, which the page's script can change.
  bool page = false;
  const char* origin = nullptr;
  const char* href = nullptr;
  int originsGiven = 0;
  int originsFreed = 0;
};
HostState g_host;

// The page's window and location objects; never deallocated.
NPClass g_pageClass = {};
NPObject g_window = {&g_pageClass, 1000};
NPObject g_location = {&g_pageClass, 1000};

NPIdentifier HostGetStringIdentifier(const NPUTF8* name) {
  g_host.lookedUp.push_back(name);
  return const_cast<std::string*>(&*g_host.identifiers.insert(name).first);
}

NPObject* HostCreateObject(NPP npp, NPClass* objectClass) {
  if (g_host.failCreate) return nullptr;
  NPObject* object = objectClass->allocate(npp, objectClass);
  if (!object) return nullptr;
  object->_class = objectClass;
  object->referenceCount = 1;
  ++g_host.created;
  return object;
}

NPObject* HostRetainObject(NPObject* object) {
  ++object->referenceCount;
  return object;
}

void HostReleaseObject(NPObject* object) {
  if (--object->referenceCount != 0) return;
  ++g_host.deallocated;
  object->_class->deallocate(object);
}

NPError HostGetValue(NPP, NPNVariable variable, void* value) {
  if (variable == NPNVdocumentOrigin && g_host.origin) {
    ++g_host.originsGiven;
    *static_cast<char**>(value) = _strdup(g_host.origin);
    return NPERR_NO_ERROR;
  }
  if (variable != NPNVWindowNPObject || !g_host.page) return NPERR_GENERIC_ERROR;
  ++g_window.referenceCount;
  *static_cast<NPObject**>(value) = &g_window;
  return NPERR_NO_ERROR;
}

void HostMemFree(void* memory) {
  ++g_host.originsFreed;
  std::free(memory);
}

bool HostGetProperty(NPP, NPObject* object, NPIdentifier name, NPVariant* result) {
  const std::string& property = *static_cast<std::string*>(name);
  if (object == &g_window && property == "location") {
    ++g_location.referenceCount;
    result->type = NPVariantType_Object;
    result->value.objectValue = &g_location;
    return true;
  }
  if (object != &g_location || property != "href" || !g_host.href) return false;
  result->type = NPVariantType_String;
  result->value.stringValue = NPString{_strdup(g_host.href), static_cast<uint32_t>(std::strlen(g_host.href))};
  return true;
}

void HostReleaseVariantValue(NPVariant* variant) {
  if (variant->type == NPVariantType_String) std::free(const_cast<char*>(variant->value.stringValue.UTF8Characters));
  if (variant->type == NPVariantType_Object) HostReleaseObject(variant->value.objectValue);
  variant->type = NPVariantType_Void;
}

NPNetscapeFuncs HostTable() {
  NPNetscapeFuncs table = {};
  table.size = sizeof(table);
  table.version = 27;  // minor versions above ours are fine
  table.getstringidentifier = &HostGetStringIdentifier;
  table.createobject = &HostCreateObject;
  table.retainobject = &HostRetainObject;
  table.releaseobject = &HostReleaseObject;
  table.getvalue = &HostGetValue;
  table.memfree = &HostMemFree;
  table.getproperty = &HostGetProperty;
  table.releasevariantvalue = &HostReleaseVariantValue;
  return table;
}

NPVariant StringVariant(const char* text, uint32_t length) {
  NPVariant variant = {NPVariantType_String, {}};
  variant.value.stringValue = NPString{text, length};
  return variant;
}

NPVariant IntVariant(int32_t value) {
  NPVariant variant = {NPVariantType_Int32, {}};
  variant.value.intValue = value;
  return variant;
}

// The plug-in of the DLL at `path`, loaded as a browser loads it: both
// tables exchanged, and with `Instantiate` one instance and its script object.
class LoadedPlugin {
 public:
  explicit LoadedPlugin(const std::wstring& path) : module_(::LoadLibraryW(path.c_str())) {
    getEntryPoints = zan_test::ExportOf<decltype(getEntryPoints)>(module_, "NP_GetEntryPoints");
    initialize = zan_test::ExportOf<decltype(initialize)>(module_, "NP_Initialize");
    shutdown = zan_test::ExportOf<decltype(shutdown)>(module_, "NP_Shutdown");
    browser = HostTable();
    plugin.size = sizeof(plugin);
    started = getEntryPoints && initialize && shutdown && initialize(&browser) == NPERR_NO_ERROR &&
              getEntryPoints(&plugin) == NPERR_NO_ERROR;
  }
  ~LoadedPlugin() {
    if (object) HostReleaseObject(object);
    if (instance.pdata) plugin.destroy(&instance, nullptr);
    if (module_) ::FreeLibrary(module_);
  }
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  bool New(NPP_t* made) {
    *made = NPP_t();
    return plugin.newp(const_cast<char*>("application/x-zanclound.oneclick"), made, 1, 0, nullptr, nullptr,
                       nullptr) == NPERR_NO_ERROR && made->pdata;
  }
  NPObject* ScriptObject(NPP_t* of) {
    NPObject* made = nullptr;
    return plugin.getvalue(of, NPPVpluginScriptableNPObject, &made) == NPERR_NO_ERROR ? made : nullptr;
  }
  bool Instantiate() { return started && New(&instance) && (object = ScriptObject(&instance)) != nullptr; }
  // InstallOneClick as script calls it: what script sees, -1 for a script error.
  int Install(const NPVariant* args, uint32_t count) {
    NPVariant result = {};
    if (!object->_class->invoke(object, HostGetStringIdentifier("InstallOneClick"), args, count, &result)) return -1;
    EXPECT_EQ(NPVariantType_Int32, result.type);
    return result.value.intValue;
  }

  NPError(WINAPI* getEntryPoints)(NPPluginFuncs*) = nullptr;
  NPError(WINAPI* initialize)(NPNetscapeFuncs*) = nullptr;
  NPError(WINAPI* shutdown)() = nullptr;
  NPNetscapeFuncs browser = {};
  NPPluginFuncs plugin = {};
  bool started = false;
  NPP_t instance = {};
  NPObject* object = nullptr;

 private:
  HMODULE module_;
};

class NpapiHost : public zan_test::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    if (HasFatalFailure()) return;
    g_host = HostState();
    host_.reset(new LoadedPlugin(zan_test::PluginDll()));
    ASSERT_TRUE(host_->started);
  }
  void TearDown() override {
    host_.reset();
    PluginTest::TearDown();
  }

  static NPIdentifier Id(const char* name) { return HostGetStringIdentifier(name); }

  std::unique_ptr<LoadedPlugin> host_;
};

TEST_F(NpapiHost, EntryPointsCheckTableSizesAndVersions) {
  EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, host_->getEntryPoints(nullptr));

  // A table one byte short is refused untouched; a longer one is filled up
  // to our size (60 bytes, 120 in a 64-bit module) and no further.
  unsigned char bytes[sizeof(NPPluginFuncs) + 16];
  std::memset(bytes, 0xCD, sizeof(bytes));
  NPPluginFuncs* table = reinterpret_cast<NPPluginFuncs*>(bytes);
  auto text = [&bytes](size_t from, size_t count) { return std::string(reinterpret_cast<char*>(bytes) + from, count); };
  table->size = sizeof(NPPluginFuncs) - 1;
  const std::string before = text(0, sizeof(bytes));
  EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, host_->getEntryPoints(table));
  EXPECT_EQ(before, text(0, sizeof(bytes)));
  table->size = sizeof(bytes);
  EXPECT_EQ(NPERR_NO_ERROR, host_->getEntryPoints(table));
  EXPECT_EQ(sizeof(bytes), table->size);
  EXPECT_EQ(std::string(16, '\xCD'), text(sizeof(NPPluginFuncs), 16));
  EXPECT_EQ(19, table->version);
  EXPECT_EQ(nullptr, table->javaClass);
  // Fourteen pointer slots after the two 16-bit fields (padded to a
  // pointer's alignment), javaClass the twelfth; each other its own function.
  const void* const* slots = reinterpret_cast<const void* const*>(bytes + offsetof(NPPluginFuncs, newp));
  std::set<const void*> distinct(slots, slots + 14);
  distinct.erase(nullptr);
  const void* unwritten;
  std::memset(&unwritten, 0xCD, sizeof(unwritten));
  EXPECT_EQ(0u, distinct.count(unwritten));
  EXPECT_EQ(13u, distinct.size());
  table->size = sizeof(NPPluginFuncs);
  EXPECT_EQ(NPERR_NO_ERROR, host_->getEntryPoints(table));

  EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, host_->initialize(nullptr));
  NPNetscapeFuncs browser = HostTable();
  browser.version = 0x0100;  // major 1
  EXPECT_EQ(NPERR_INCOMPATIBLE_VERSION_ERROR, host_->initialize(&browser));
  browser.size = sizeof(NPNetscapeFuncs) - 1;
  EXPECT_EQ(NPERR_INCOMPATIBLE_VERSION_ERROR, host_->initialize(&browser)) << "the version is checked first";
  browser.version = 19;
  EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, host_->initialize(&browser));
  browser.size = sizeof(NPNetscapeFuncs);
  EXPECT_EQ(NPERR_NO_ERROR, host_->initialize(&browser));
  EXPECT_EQ(NPERR_NO_ERROR, host_->shutdown());
}

TEST_F(NpapiHost, InstanceFunctionsAnswerWithTheirCodes) {
  // No instance at all.
  NPWindow record = {};
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.newp(nullptr, nullptr, 1, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.destroy(nullptr, nullptr));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.setwindow(nullptr, &record));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.newstream(nullptr, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.destroystream(nullptr, nullptr, 0));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.writeready(nullptr, nullptr));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.write(nullptr, nullptr, 0, 10, nullptr));
  const char* text = nullptr;
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.getvalue(nullptr, NPPVpluginNameString, &text));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host_->plugin.setvalue(nullptr, NPNVWindowNPObject, nullptr));
  EXPECT_EQ(0, host_->plugin.event(nullptr, nullptr));
  host_->plugin.asfile(nullptr, nullptr, nullptr);
  host_->plugin.print(nullptr, nullptr);
  host_->plugin.urlnotify(nullptr, nullptr, 0, nullptr);

  // An instance the plug-in has no object for.
  NPP_t bare = {};
  EXPECT_EQ(NPERR_GENERIC_ERROR, host_->plugin.setwindow(&bare, &record));
  EXPECT_EQ(NPERR_GENERIC_ERROR, host_->plugin.getvalue(&bare, NPPVpluginNameString, &text));
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.destroy(&bare, nullptr));

  NPP_t instance;
  ASSERT_TRUE(host_->New(&instance));
  EXPECT_EQ((std::vector<std::string>{"InstallOneClick", "SendCommand"}), g_host.lookedUp);
  EXPECT_EQ(NPERR_GENERIC_ERROR, host_->plugin.setwindow(&instance, nullptr));
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.newstream(&instance, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.destroystream(&instance, nullptr, 0));
  EXPECT_EQ(0x0FFFFFFF, host_->plugin.writeready(&instance, nullptr));
  char data[1234] = {};
  EXPECT_EQ(1234, host_->plugin.write(&instance, nullptr, 0, sizeof(data), data));
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.setvalue(&instance, NPNVWindowNPObject, nullptr));
  unsigned char event[12] = {};
  EXPECT_EQ(0, host_->plugin.event(&instance, event));

  ASSERT_EQ(NPERR_NO_ERROR, host_->plugin.getvalue(&instance, NPPVpluginNameString, &text));
  EXPECT_STREQ("x-zanclound.oneclick", text);
  ASSERT_EQ(NPERR_NO_ERROR, host_->plugin.getvalue(&instance, NPPVpluginDescriptionString, &text));
  EXPECT_STREQ("zansetup Installed Check Plugin for Mozilla.", text);
  EXPECT_EQ(NPERR_GENERIC_ERROR, host_->plugin.getvalue(&instance, NPPVpluginNeedsXEmbed, &text));
  EXPECT_EQ(NPERR_GENERIC_ERROR, host_->plugin.getvalue(&instance, NPPVpluginWindowBool, &text));

  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.destroy(&instance, nullptr));
  EXPECT_EQ(nullptr, instance.pdata);
  EXPECT_EQ(NPERR_GENERIC_ERROR, host_->plugin.getvalue(&instance, NPPVpluginNameString, &text)) << "destroyed";
}

// The page's window procedure, counting what reaches it.
int g_ownProcMessages = 0;
LRESULT CALLBACK OwnProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) ++g_ownProcMessages;
  return ::DefWindowProcW(window, message, wParam, lParam);
}

class TestWindow {
 public:
  TestWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &OwnProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ZanNpapiHostWindow";
    ::RegisterClassW(&windowClass);  // again in later tests: already there
    window_ = ::CreateWindowExW(0, L"ZanNpapiHostWindow", L"", WS_POPUP, 0, 0, 100, 50, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  }
  ~TestWindow() {
    if (window_) ::DestroyWindow(window_);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  HWND get() const { return window_; }
  LONG_PTR Proc() const { return ::GetWindowLongPtrW(window_, GWLP_WNDPROC); }
  LONG_PTR UserData() const { return ::GetWindowLongPtrW(window_, GWLP_USERDATA); }
  // Whether a message sent now still reaches the page's procedure.
  bool OwnProcReached() const {
    int before = g_ownProcMessages;
    ::SendMessageW(window_, WM_APP, 0, 0);
    return g_ownProcMessages != before;
  }

 private:
  HWND window_ = nullptr;
};

NPWindow RecordOf(HWND window) { return NPWindow{window, 0, 0, 100, 50, {}, NPWindowTypeWindow}; }

TEST_F(NpapiHost, FirstWindowIsTakenOverAndGivenBackOnDestroy) {
  TestWindow first, second;
  ASSERT_TRUE(first.get() && second.get());
  const LONG_PTR ownProc = first.Proc();
  const LONG_PTR defaultProc = reinterpret_cast<LONG_PTR>(&::DefWindowProcW);
  ASSERT_TRUE(first.OwnProcReached());

  NPP_t instance;
  ASSERT_TRUE(host_->New(&instance));
  NPWindow noHandle = RecordOf(nullptr);
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.setwindow(&instance, &noHandle)) << "nothing to take over yet";
  NPWindow record = RecordOf(first.get());
  ASSERT_EQ(NPERR_NO_ERROR, host_->plugin.setwindow(&instance, &record));
  EXPECT_EQ(defaultProc, first.Proc());
  EXPECT_EQ(reinterpret_cast<LONG_PTR>(instance.pdata), first.UserData());
  EXPECT_FALSE(first.OwnProcReached());

  // Once ready, later records (a resize, another window, none) change nothing.
  record.width = 300;
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.setwindow(&instance, &record));
  NPWindow other = RecordOf(second.get());
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.setwindow(&instance, &other));
  EXPECT_EQ(ownProc, second.Proc());
  EXPECT_EQ(0, second.UserData());
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.setwindow(&instance, &noHandle));
  EXPECT_EQ(defaultProc, first.Proc());

  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.destroy(&instance, nullptr));
  EXPECT_EQ(ownProc, first.Proc());
  EXPECT_EQ(0, first.UserData());
  EXPECT_TRUE(first.OwnProcReached());

  // A handle that is no window: the instance is dropped and says so.
  HWND gone = nullptr;
  {
    TestWindow closed;
    gone = closed.get();
  }
  ASSERT_TRUE(host_->New(&instance));
  NPObject* object = host_->ScriptObject(&instance);
  ASSERT_NE(nullptr, object);
  HostReleaseObject(object);  // the host's own reference
  NPWindow stale = RecordOf(gone);
  EXPECT_EQ(NPERR_MODULE_LOAD_FAILED_ERROR, host_->plugin.setwindow(&instance, &stale));
  EXPECT_EQ(nullptr, instance.pdata);
  EXPECT_EQ(1, g_host.deallocated) << "the dropped instance released its script object";
  const char* text = nullptr;
  EXPECT_EQ(NPERR_GENERIC_ERROR, host_->plugin.getvalue(&instance, NPPVpluginNameString, &text));
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.destroy(&instance, nullptr));
}

TEST_F(NpapiHost, ScriptObjectIsMadeOnceShowsTwoMethodsAndNoPropertiesAndIsFreedWithTheInstance) {
  NPP_t instance;
  ASSERT_TRUE(host_->New(&instance));
  g_host.failCreate = true;
  NPObject* object = reinterpret_cast<NPObject*>(1);
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.getvalue(&instance, NPPVpluginScriptableNPObject, &object));
  EXPECT_EQ(nullptr, object) << "creation failed";
  g_host.failCreate = false;

  object = host_->ScriptObject(&instance);
  ASSERT_NE(nullptr, object);
  EXPECT_EQ(2u, object->referenceCount) << "one for the instance, one for the caller";
  EXPECT_EQ(object, host_->ScriptObject(&instance));
  EXPECT_EQ(3u, object->referenceCount);
  EXPECT_EQ(1, g_host.created);

  NPClass* c = object->_class;
  EXPECT_EQ(NP_CLASS_STRUCT_VERSION_CTOR, c->structVersion);
  // All twelve operations after the version word, allocate to construct.
  const void* const* entries = reinterpret_cast<const void* const*>(&c->allocate);
  for (int i = 0; i < 12; ++i) EXPECT_NE(nullptr, entries[i]) << i;

  // Script sees two methods and no properties.
  EXPECT_TRUE(c->hasMethod(object, Id("InstallOneClick")));
  EXPECT_TRUE(c->hasMethod(object, Id("SendCommand")));
  EXPECT_FALSE(c->hasMethod(object, Id("installoneclick")));
  EXPECT_FALSE(c->hasMethod(object, nullptr));
  // SendCommand is accepted and leaves the browser's preset result alone.
  NPVariant args[] = {StringVariant("cmd", 3), IntVariant(5)};
  NPVariant result = {};
  result.type = NPVariantType_Null;
  EXPECT_TRUE(c->invoke(object, Id("SendCommand"), args, 2, &result));
  EXPECT_EQ(NPVariantType_Null, result.type);
  EXPECT_TRUE(c->invoke(object, Id("SendCommand"), nullptr, 0, &result));
  EXPECT_FALSE(c->invoke(object, Id("Uninstall"), args, 2, &result)) << "a script error";
  EXPECT_EQ(NPVariantType_Null, result.type);
  result = IntVariant(9);
  EXPECT_TRUE(c->invokeDefault(object, args, 2, &result));
  EXPECT_EQ(NPVariantType_Int32, result.type);
  EXPECT_EQ(9, result.value.intValue);
  EXPECT_FALSE(c->hasProperty(object, Id("InstallOneClick")));
  EXPECT_TRUE(c->getProperty(object, Id("version"), &result));
  EXPECT_EQ(NPVariantType_Void, result.type);
  EXPECT_FALSE(c->setProperty(object, Id("version"), &args[0]));
  EXPECT_FALSE(c->removeProperty(object, Id("version")));
  NPIdentifier* names = nullptr;
  uint32_t count = 7;
  EXPECT_FALSE(c->enumerate(object, &names, &count));
  EXPECT_FALSE(c->construct(object, args, 2, &result));
  c->invalidate(object);
  EXPECT_TRUE(c->hasMethod(object, Id("SendCommand"))) << "invalidate leaves the object usable";

  // The browser drops its references; the instance keeps the object alive.
  HostReleaseObject(object);
  HostReleaseObject(object);
  EXPECT_EQ(1u, object->referenceCount);
  EXPECT_EQ(0, g_host.deallocated);
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.destroy(&instance, nullptr));
  EXPECT_EQ(1, g_host.deallocated);

  // Every instance looks the same two names up again.
  g_host.lookedUp.clear();
  ASSERT_TRUE(host_->New(&instance));
  EXPECT_EQ((std::vector<std::string>{"InstallOneClick", "SendCommand"}), g_host.lookedUp);
  EXPECT_EQ(NPERR_NO_ERROR, host_->plugin.destroy(&instance, nullptr));
}

// "scheme://host[:port]" of an address, as a browser gives a document's origin.
std::wstring OriginOf(const std::wstring& url) {
  const size_t scheme = url.find(L"://");
  return scheme == std::wstring::npos ? L"null" : url.substr(0, url.find(L'/', scheme + 3));
}

// The plug-in face of the faces' tables (one_click_faces_test.cpp): the browser tells the document's origin,
// and the page's script says what it likes through window.location.
class PluginFace : public zan_test::Face {
 public:
  ~PluginFace() override {
    loaded_.reset();
    EXPECT_EQ(g_host.originsGiven, g_host.originsFreed) << "the origin goes back to the browser";
    EXPECT_EQ(1000, g_window.referenceCount) << "the window is released";
    g_host = HostState();
  }
  bool Load(const std::wstring& dll, const wchar_t* document, const wchar_t* top) override {
    g_host = HostState();
    g_host.page = document != nullptr;
    origin_ = document && *document ? zan::WideToUtf8(OriginOf(document)) : "";
    href_ = zan::WideToUtf8(top ? top : L"");
    g_host.origin = origin_.empty() ? nullptr : origin_.c_str();
    g_host.href = href_.c_str();
    loaded_.reset(new LoadedPlugin(dll));
    return loaded_->Instantiate();
  }
  // The browser's strings have a byte count and no terminating zero: what
  // follows the counted bytes is not ours. A third argument is ignored.
  int Install(const std::wstring& name, const std::wstring& version) override {
    const std::string name8 = zan::WideToUtf8(name), version8 = zan::WideToUtf8(version);
    const std::string text = name8 + "tail" + version8 + ";junk";
    const NPVariant args[] = {StringVariant(text.data(), static_cast<uint32_t>(name8.size())),
                              StringVariant(text.data() + name8.size() + 4, static_cast<uint32_t>(version8.size())),
                              StringVariant("extra", 5)};
    return loaded_->Install(args, 3);
  }
  // The count claims far more than the few bytes there are. Nothing, and
  // arguments that are no strings, count as empty names.
  std::vector<std::string> InstallMalformed() override {
    const NPVariant huge[] = {StringVariant("aaaa", static_cast<uint32_t>(zan_test::kHugeLength))};
    const NPVariant numbers[] = {IntVariant(7), IntVariant(8)};
    EXPECT_EQ(-1, loaded_->Install(huge, 1));
    EXPECT_EQ(-1, loaded_->Install(nullptr, 0));
    EXPECT_EQ(-1, loaded_->Install(numbers, 2));
    return {zan_test::kLongName, zan_test::kUnusableName, zan_test::kUnusableName};
  }
  // Script gets 1 whether or not the program starts, and an error for a refusal.
  int Seen(zan_test::Outcome outcome) const override { return outcome == zan_test::Outcome::kRefused ? -1 : 1; }
  std::wstring AddressRead(const std::wstring& document) const override { return OriginOf(document); }

 private:
  std::unique_ptr<LoadedPlugin> loaded_;
  std::string origin_, href_;
};

// A thread whose COM nobody set up: the plug-in does not set it up either,
// so the control cannot be made and script still gets 1.
TEST_F(NpapiHost, NeverSetsComUpItself) {
  ASSERT_TRUE(host_->Instantiate());
  std::wstring program = StandIn();
  SetRecord(L"1.0", program);
  zan_test::DllLog log(zan_test::PluginDll());
  int seen = 0;
  HRESULT own = E_FAIL;
  std::thread([&] {
    const NPVariant args[] = {StringVariant("Foo", 3), StringVariant("2.0", 3)};
    seen = host_->Install(args, 2);
    // Had the plug-in set COM up, this would not be the first initialisation.
    own = ::CoInitialize(nullptr);
    if (SUCCEEDED(own)) ::CoUninitialize();
  }).join();
  EXPECT_EQ(S_OK, own) << "COM was left as the thread had it";
  EXPECT_EQ(1, seen);
  EXPECT_TRUE(log.NewLines().empty()) << "the control was never reached";
  EXPECT_EQ("", StartedCommandLine(program));
}

}  // namespace

std::unique_ptr<zan_test::Face> zan_test::MakePluginFace() { return std::unique_ptr<Face>(new PluginFace()); }
