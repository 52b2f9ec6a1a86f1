// One embedded plug-in on a page: its browser instance, the window it was
// given and its script object.
#pragma once

#include <windows.h>

#include "browser_plugin_api.h"

namespace zan {

// The browser's functions as NP_Initialize copied them (all null before).
const NPNetscapeFuncs& Browser();

class PluginInstance {
 public:
  explicit PluginInstance(NPP npp) : npp_(npp) {}
  // Gives the window back its own procedure and drops our script object.
  ~PluginInstance();
  PluginInstance(const PluginInstance&) = delete;
  PluginInstance& operator=(const PluginInstance&) = delete;

  // Takes the record's window over: the platform default procedure, this
  // object in its user data. False, with the window unchanged, when the
  // window refuses (a stale handle, another process's window).
  bool Init(NPWindow* record);
  bool ready() const { return ready_; }
  // Undoes Init; nothing when not ready.
  void Shutdown();

  // The script object, made on the first request; each call retains it once
  // more for the caller. Null when the browser could not make it.
  NPObject* GetScriptableObject();

 private:
  NPP npp_;
  HWND window_ = nullptr;
  NPWindow* record_ = nullptr;
  bool ready_ = false;
  WNDPROC previousProc_ = nullptr;
  NPObject* scriptable_ = nullptr;
};

}  // namespace zan
