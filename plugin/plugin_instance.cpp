#include "plugin_instance.h"

#include "scriptable_object.h"

namespace zan {
namespace {

// SetWindowLongPtrW returns the previous value, which may rightly be 0; only
// the last error tells a failure apart.
bool SetWindowLongChecked(HWND window, int index, LONG_PTR value, LONG_PTR* previous) {
  ::SetLastError(ERROR_SUCCESS);
  LONG_PTR old = ::SetWindowLongPtrW(window, index, value);
  if (old == 0 && ::GetLastError() != ERROR_SUCCESS) return false;
  if (previous) *previous = old;
  return true;
}

}  // namespace

PluginInstance::~PluginInstance() {
  Shutdown();
  if (scriptable_ && Browser().releaseobject) Browser().releaseobject(scriptable_);
}

bool PluginInstance::Init(NPWindow* record) {
  HWND window = static_cast<HWND>(record->window);
  LONG_PTR previous = 0;
  // The plug-in draws nothing: the default procedure paints the window.
  if (!SetWindowLongChecked(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcW), &previous)) {
    return false;
  }
  if (!SetWindowLongChecked(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this), nullptr)) {
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, previous);
    return false;
  }
  window_ = window;
  record_ = record;
  previousProc_ = reinterpret_cast<WNDPROC>(previous);
  ready_ = true;
  return true;
}

void PluginInstance::Shutdown() {
  if (!ready_) return;
  // The browser may have destroyed the window already; then there is nothing to give back.
  if (::IsWindow(window_)) {
    ::SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc_));
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  }
  window_ = nullptr;
  record_ = nullptr;
  previousProc_ = nullptr;
  ready_ = false;
}

NPObject* PluginInstance::GetScriptableObject() {
  const NPNetscapeFuncs& browser = Browser();
  if (!scriptable_ && browser.createobject) {
    scriptable_ = browser.createobject(npp_, ScriptablePluginObject::Class());
  }
  if (scriptable_ && browser.retainobject) browser.retainobject(scriptable_);
  return scriptable_;
}

}  // namespace zan
