// The dialog templates and the launcher's manifest, read back from the built
// programs: ids, styles, sizes and fonts are what the code and the language
// files were laid out against.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "setup/common/build_config.h"
#include "setup/common/string_util.h"
#include "setup/ui/resource.h"
#include "test_util.h"

namespace zan {
namespace {

std::wstring BuiltProgram(const wchar_t* name) { return zan_test::BuildFolder() + L"bin\\" + name; }

// The resource's bytes; empty when the program or the resource is missing.
std::string ResourceOf(const wchar_t* program, const wchar_t* type, int id) {
  std::unique_ptr<HINSTANCE__, decltype(&::FreeLibrary)> module(
      ::LoadLibraryExW(BuiltProgram(program).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), ::FreeLibrary);
  HRSRC found = module ? ::FindResourceW(module.get(), MAKEINTRESOURCEW(id), type) : nullptr;
  const void* data = found ? ::LockResource(::LoadResource(module.get(), found)) : nullptr;
  return data ? std::string(static_cast<const char*>(data), ::SizeofResource(module.get(), found)) : std::string();
}

struct Item {
  DWORD id;
  std::wstring cls;  // a class name, or "#128" for a predefined class ordinal
  DWORD style;
  short x, y, cx, cy;
};

struct Template {
  DWORD style;
  short cx, cy;
  std::wstring title;
  WORD pointSize;
  std::wstring face;
  std::vector<Item> items;
};

// Reads the extended template layout: header, menu, class, title, font, then
// DWORD-aligned items.
class TemplateReader {
 public:
  explicit TemplateReader(const std::string& bytes) : bytes_(bytes) {}
  bool Read(Template* out) {
    if (Word() != 1 || Word() != 0xFFFF) return false;  // extended templates only
    at_ += 8;                                             // help id, extended style
    out->style = Dword();
    WORD count = Word();
    at_ += 4;  // x, y
    out->cx = Short();
    out->cy = Short();
    NameOrOrdinal();  // menu
    NameOrOrdinal();  // class
    out->title = NameOrOrdinal();
    if (out->style & DS_SETFONT) {
      out->pointSize = Word();
      at_ += 4;  // weight, italic, character set
      out->face = NameOrOrdinal();
    }
    for (WORD i = 0; i < count; ++i) {
      at_ = (at_ + 3) & ~static_cast<size_t>(3);
      Item item;
      at_ += 8;  // help id, extended style
      item.style = Dword();
      item.x = Short();
      item.y = Short();
      item.cx = Short();
      item.cy = Short();
      item.id = Dword();
      item.cls = NameOrOrdinal();
      NameOrOrdinal();  // title
      at_ += Word();    // creation data
      out->items.push_back(item);
    }
    return at_ <= bytes_.size();
  }

 private:
  BYTE Byte() { return at_ < bytes_.size() ? static_cast<BYTE>(bytes_[at_++]) : 0; }
  WORD Word() { return static_cast<WORD>(Byte() | (Byte() << 8)); }
  short Short() { return static_cast<short>(Word()); }
  DWORD Dword() { return Word() | (static_cast<DWORD>(Word()) << 16); }
  std::wstring NameOrOrdinal() {
    WORD first = Word();
    if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
    std::wstring text;
    for (WORD c = first; c != 0 && at_ < bytes_.size(); c = Word()) text += static_cast<wchar_t>(c);
    return text;
  }

  const std::string& bytes_;
  size_t at_ = 0;
};

Template Load(int id) {
  Template out = {};
  EXPECT_TRUE(TemplateReader(ResourceOf(L"ZanSetup.exe", RT_DIALOG, id)).Read(&out)) << "template " << id;
  return out;
}

const wchar_t kButton[] = L"#128";
const wchar_t kEdit[] = L"#129";
const wchar_t kStatic[] = L"#130";
const wchar_t kListBox[] = L"#131";

bool Overlap(const Item& a, const Item& b) {
  return a.x < b.x + b.cx && b.x < a.x + a.cx && a.y < b.y + b.cy && b.y < a.y + a.cy;
}

bool IsGroupBox(const Item& item) {
  return _wcsicmp(item.cls.c_str(), kButton) == 0 && (item.style & BS_TYPEMASK) == BS_GROUPBOX;
}

// The hidden main window: the old font, no controls.
TEST(DialogTemplates, TheMainWindowIsAnEmptyTemplate) {
  Template main = Load(IDD_MAIN);
  EXPECT_EQ(L"ZanSetup", main.title);
  EXPECT_EQ(L"MS Sans Serif", main.face);
  EXPECT_EQ(8, main.pointSize);
  EXPECT_FALSE(main.style & WS_VISIBLE);
  EXPECT_TRUE(main.items.empty());
}

// Each dialog the code drives holds exactly the controls it addresses, of
// the class it treats them as, with the styles it relies on; in the shell
// font, each control visible, inside the dialog and clear of the others
// (a group box aside), and the keyboard reaches every control a user works.
TEST(DialogTemplates, EachDialogHoldsTheCodesControlsInsideItAndApart) {
  struct Control {
    DWORD id;
    const wchar_t* cls;
    DWORD style;  // bits it must have
  };
  const DWORD kTab = WS_TABSTOP;
  const struct {
    int id;
    const wchar_t* title;  // the path and conflict dialogs take theirs from the language file
    bool minimizeBox;
    std::vector<Control> controls;
  } dialogs[] = {
      {IDD_PROGRESS, L"ZanSetup", true, {{IDC_STEP_TEXT, kStatic, 0}, {IDC_PROGRESS_TEXT, kStatic, 0},
                            {IDC_PERCENT_TEXT, kStatic, 0}, {IDC_PROGRESS_BAR, L"msctls_progress32", 0}}},
      {IDD_PATH_SELECT, L"Dialog", true, {{IDC_NEXT, kButton, kTab | BS_DEFPUSHBUTTON}, {IDCANCEL, kButton, kTab},
                               {IDC_HEADING, kStatic, 0}, {IDC_GROUP, kButton, BS_GROUPBOX},
                               {IDC_PATH_EDIT, kEdit, kTab | ES_AUTOHSCROLL}, {IDC_BROWSE, kButton, kTab}}},
      {IDD_CONFLICT, L"Dialog", false, {{IDC_TERMINATE, kButton, kTab | BS_DEFPUSHBUTTON}, {IDC_RETRY, kButton, kTab},
                             {IDC_GROUP, kButton, BS_GROUPBOX}, {IDC_PROCESS_LIST, kListBox, kTab | WS_VSCROLL},
                             {IDCANCEL, kButton, kTab}}},
      {IDD_PROXY_AUTH, L"ZanSetup", false, {{IDC_PROXY_TEXT, kStatic, 0}, {IDC_PROXY_USER_LABEL, kStatic, 0},
                               {IDC_PROXY_USER, kEdit, kTab | ES_AUTOHSCROLL}, {IDC_PROXY_PASSWORD_LABEL, kStatic, 0},
                               {IDC_PROXY_PASSWORD, kEdit, kTab | ES_AUTOHSCROLL | ES_PASSWORD},
                               {IDC_PROXY_REMEMBER, kButton, kTab | BS_AUTOCHECKBOX},
                               {IDOK, kButton, kTab | BS_DEFPUSHBUTTON}, {IDCANCEL, kButton, kTab}}},
  };
  const DWORD kFrame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SHELLFONT;
  for (const auto& dialog : dialogs) {
    SCOPED_TRACE("template " + std::to_string(dialog.id));
    Template t = Load(dialog.id);
    EXPECT_EQ(dialog.title, t.title);
    EXPECT_EQ(L"MS Shell Dlg", t.face);
    EXPECT_EQ(9, t.pointSize);
    EXPECT_EQ(kFrame, t.style & kFrame);
    EXPECT_EQ(dialog.minimizeBox, (t.style & WS_MINIMIZEBOX) != 0);
    ASSERT_EQ(dialog.controls.size(), t.items.size());
    for (const Control& control : dialog.controls) {
      auto item = std::find_if(t.items.begin(), t.items.end(), [&](const Item& i) { return i.id == control.id; });
      ASSERT_NE(t.items.end(), item) << "no control " << control.id;
      // The resource compiler stores class names upper-cased.
      EXPECT_EQ(0, _wcsicmp(control.cls, item->cls.c_str())) << control.id;
      const DWORD style = control.style | WS_CHILD | WS_VISIBLE;
      EXPECT_EQ(style, item->style & style) << control.id;
      EXPECT_TRUE(control.cls != kButton || (control.style & BS_TYPEMASK) == (item->style & BS_TYPEMASK)) << control.id;
      EXPECT_TRUE(item->x >= 0 && item->y >= 0 && item->cx > 0 && item->cy > 0 && item->x + item->cx <= t.cx &&
                  item->y + item->cy <= t.cy)
          << control.id << " lies outside its dialog";
      for (const Item& other : t.items) {
        if (other.id == item->id || IsGroupBox(*item) || IsGroupBox(other)) continue;
        EXPECT_FALSE(Overlap(*item, other)) << control.id << " overlaps " << other.id;
      }
    }
  }
}

// A setting of the program's manifest, read as the loader reads it; "" when
// the manifest has none.
std::wstring ManifestSetting(const std::wstring& program, const wchar_t* space, const wchar_t* name) {
  ACTCTXW context = {};
  context.cbSize = sizeof(context);
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = program.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE handle = ::CreateActCtxW(&context);
  if (handle == INVALID_HANDLE_VALUE) return L"<no manifest>";
  wchar_t value[128] = {};
  SIZE_T size = 0;
  if (!::QueryActCtxSettingsW(0, handle, space, name, value, 128, &size)) value[0] = 0;
  ::ReleaseActCtx(handle);
  return value;
}

// Dialogs laid out in dialog units scale sharp when the programs say so;
// Windows stretches a program that does not into a blur.
TEST(Manifests, TheProgramsAndTheInstallerDeclareDpiAwareness) {
  const wchar_t kSpace2005[] = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
  const wchar_t kSpace2016[] = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
  const std::wstring installer = ZANSETUP_INSTALLER_NAME;
  for (const std::wstring& name : {std::wstring(L"ZanSetup.exe"), std::wstring(L"ZanSetupSH.exe"), installer}) {
    EXPECT_EQ(L"true", ManifestSetting(BuiltProgram(name.c_str()), kSpace2005, L"dpiAware")) << name;
    if (name == installer) continue;  // the installer's maker writes the older setting alone
    EXPECT_EQ(L"PerMonitorV2, system", ManifestSetting(BuiltProgram(name.c_str()), kSpace2016, L"dpiAwareness"))
        << name;
  }
}

TEST(Manifests, TheLauncherDemandsAdministratorRightsAndTheSetupDoesNot) {
  const struct {
    const wchar_t* program;
    std::vector<const char*> settings;
  } rows[] = {{L"ZanSetupSH.exe", {"level=\"requireAdministrator\"", "uiAccess=\"false\""}},
              {L"ZanSetup.exe", {"level=\"asInvoker\"", "Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\""}}};
  for (const auto& row : rows) {
    const std::string manifest = ResourceOf(row.program, RT_MANIFEST, 1);
    ASSERT_FALSE(manifest.empty()) << "no manifest 24/1 in " << WideToUtf8(row.program);
    for (const char* setting : row.settings) EXPECT_NE(std::string::npos, manifest.find(setting)) << setting;
  }
}

// The build's one version reaches both programs' version blocks: the record
// the installer writes and the update's comparison rely on the same text.
TEST(VersionBlocks, BothProgramsCarryTheBuildsVersion) {
  unsigned numbers[4] = {0, 0, 0, 0};
  ASSERT_GE(swscanf(ZANSETUP_VERSION, L"%u.%u.%u.%u", &numbers[0], &numbers[1], &numbers[2], &numbers[3]), 1);
  wchar_t dotted[64];
  swprintf(dotted, 64, L"%u.%u.%u.%u", numbers[0], numbers[1], numbers[2], numbers[3]);

  for (const wchar_t* program : {L"ZanSetup.exe", L"ZanSetupSH.exe"}) {
    const std::wstring path = BuiltProgram(program);
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << WideToUtf8(path);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ((numbers[0] << 16) | numbers[1], fixed->dwFileVersionMS) << WideToUtf8(program);
    EXPECT_EQ((numbers[2] << 16) | numbers[3], fixed->dwFileVersionLS) << WideToUtf8(program);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    for (const wchar_t* field : {L"FileVersion", L"ProductVersion"}) {
      wchar_t* text = nullptr;
      std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + field;
      ASSERT_TRUE(::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length));
      EXPECT_EQ(std::wstring(dotted), std::wstring(text)) << WideToUtf8(program);
    }
  }
}

}  // namespace
}  // namespace zan
