; The installer of ZanSetup itself: per user, no administrator rights.
; Interactive in the user's language, silent with /S and /D=folder.
;
; Defines given by the build:
;   OUTFILE    installer to write
;   VERSION    the build's version (the registry record gets it as text)
;   VERSION_BLOCK  the same as four dotted numbers, for the version block
;   BIN        folder of ZanSetup.exe, ZanSetupSH.exe, npZanSetupOneClick.dll
;              and language\*.locale

Unicode true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef OUTFILE | VERSION | VERSION_BLOCK | BIN
  !error "OUTFILE, VERSION, VERSION_BLOCK and BIN must be defined"
!endif

!define RECORD_KEY "Software\Corvela\ZanSetup"
!define DOWNLOAD_MARK "made-by-zansetup"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZanSetup"

!include "MUI2.nsh"

Name "ZanSetup"
OutFile "${OUTFILE}"
; Beside the program folder the setup program keeps download\ (and the
; update's download\Zansetup), so the folder is one of the user's own.
InstallDir "$LOCALAPPDATA\Corvela\ZanSetup"
ShowInstDetails show

VIProductVersion "${VERSION_BLOCK}"
VIAddVersionKey /LANG=1033 "ProductName" "ZanSetup"
VIAddVersionKey /LANG=1033 "CompanyName" "corvela"
VIAddVersionKey /LANG=1033 "FileDescription" "ZanSetup installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION_BLOCK}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "corvela"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first is the default; the user's own language is chosen when it is one of these.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "TradChinese"

Section "ZanSetup"
  SetOutPath "$INSTDIR"
  File "${BIN}\ZanSetup.exe"
  File "${BIN}\ZanSetupSH.exe"
  File "${BIN}\npZanSetupOneClick.dll"
  SetOutPath "$INSTDIR\language"
  File "${BIN}\language\*.locale"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The setup program downloads into download\ beside its folder. Made here
  ; and marked when it is new, so that the uninstaller removes it whole only
  ; when it is ours and never a folder of the same name that was there before.
  IfFileExists "$INSTDIR\..\download\*.*" download_ready
    CreateDirectory "$INSTDIR\..\download"
    FileOpen $1 "$INSTDIR\..\download\${DOWNLOAD_MARK}" w
    FileClose $1
  download_ready:

  ClearErrors
  RegDLL "$INSTDIR\npZanSetupOneClick.dll"
  IfErrors 0 +2
    DetailPrint "The one-click plug-in could not be registered."

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "ZanSetup"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "corvela"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\ZanSetup.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize 0 $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; The record as the setup program writes it; "version" last, so a record
  ; with this version names a complete install.
  WriteRegStr HKCU "${RECORD_KEY}" "" ""
  WriteRegStr HKCU "${RECORD_KEY}" "Install_dir" "$INSTDIR\ZanSetup.exe"
  WriteRegStr HKCU "${RECORD_KEY}" "version" "${VERSION}"
SectionEnd

Section "Uninstall"
  ClearErrors
  UnRegDLL "$INSTDIR\npZanSetupOneClick.dll"
  Delete "$INSTDIR\ZanSetup.exe"
  Delete "$INSTDIR\ZanSetupSH.exe"
  Delete "$INSTDIR\npZanSetupOneClick.dll"
  Delete "$INSTDIR\zansetup.log"
  Delete "$INSTDIR\language\*.locale"
  RMDir "$INSTDIR\language"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; What the setup program downloaded beside its folder is ours too; the
  ; products it installed live elsewhere and stay. A download folder that
  ; was there before us loses only the update's folder.
  IfFileExists "$INSTDIR\..\download\${DOWNLOAD_MARK}" 0 download_kept
    RMDir /r "$INSTDIR\..\download"
    Goto download_done
  download_kept:
    RMDir /r "$INSTDIR\..\download\Zansetup"
    RMDir "$INSTDIR\..\download"
  download_done:
  DeleteRegKey HKCU "${RECORD_KEY}"
  DeleteRegKey /ifempty HKCU "Software\Corvela"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
