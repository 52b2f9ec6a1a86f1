; The installer of ZanSetup itself: per user, no administrator rights.
; Interactive in the user's language, silent with /S and /D=folder.
;
; It also registers the per-user scheme "zansetup", so that a browser can
; hand a link like zansetup://install?app=NAME&ver=VERSION to the program.
;
; Started as "... /Inst=0" by the setup program's daily update, it updates
; the install that the registry record names, silently, while the old setup
; program that started it may still be running: the new files are unpacked
; aside first, then each old file is renamed out of the way (Windows allows
; that for a running program) and the new one put in its place. Should any
; step fail, what was swapped is put back and the old version stays whole,
; with its old "version" in the record.
;
; /Channel=NAME puts the install on an update channel (the record's value
; "channel", which makes the setup program read the update document of
; that channel); /Channel= with no name puts it back on the default one. An
; update keeps whatever channel the record names, and the rollout bucket
; the setup program drew into it.
;
; Each flavour has an installer of its own: the x86 one installs the 32-bit
; programs into ...\Corvela\ZanSetup, the x64 one the 64-bit programs into
; ...\Corvela\ZanSetup-x64, each with an installed-programs entry named after
; its folder. Both may be installed at once: each registers its plug-in in
; its own view of the user's classes. The record and the link are shared:
; the flavour installed last owns them, an update keeps them where they
; are, and an uninstall hands them to the other flavour when it is still
; there. An update only ever replaces the files of its own flavour's folder.
;
; Defines given by the build:
;   TARGET     x86-unicode or amd64-unicode
;   FLAVOUR    x86 or x64
;   OUTFILE    installer to write
;   VERSION    the build's version (the registry record gets it as text)
;   VERSION_BLOCK  the same as four dotted numbers, for the version block
;   ICON       the program's icon, for the installer and the uninstaller
;   BIN        folder of ZanSetup.exe, ZanSetupSH.exe, npZanSetupOneClick.dll
;              and language\*.locale
; and, in a signed build, the command that signs a file named after it in
; place (SIGN_COMMAND), for the uninstaller the installer carries.

!ifndef TARGET | FLAVOUR
  !error "TARGET and FLAVOUR must be defined"
!endif
Target ${TARGET}
RequestExecutionLevel user
; Sharp text on screens above 96 DPI: the pages are laid out in dialog units.
ManifestDPIAware true
SetCompressor /SOLID lzma

!ifndef OUTFILE | VERSION | VERSION_BLOCK | BIN | ICON
  !error "OUTFILE, VERSION, VERSION_BLOCK, BIN and ICON must be defined"
!endif

!define RECORD_KEY "Software\Corvela\ZanSetup"
!define DOWNLOAD_MARK "made-by-zansetup"
!define UNINSTALL_ROOT "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!if "${FLAVOUR}" == "x64"
  !define ENTRY "ZanSetup-x64"
  !define OTHER_ENTRY "ZanSetup"
  !define DISPLAY_NAME "ZanSetup (64-bit)"
!else
  !define ENTRY "ZanSetup"
  !define OTHER_ENTRY "ZanSetup-x64"
  !define DISPLAY_NAME "ZanSetup"
!endif
!define UNINSTALL_KEY "${UNINSTALL_ROOT}\${ENTRY}"
!define OTHER_UNINSTALL_KEY "${UNINSTALL_ROOT}\${OTHER_ENTRY}"
; Today's browsers hand a "zansetup:" link to the program registered for it.
!define LINK_KEY "Software\Classes\zansetup"

!ifdef SIGN_COMMAND
  ; The uninstaller is written from the installer's data at install time;
  ; signed here, it carries the publisher's signature like the installer.
  !uninstfinalize '${SIGN_COMMAND} "%1"'
!endif

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

; Exit codes of an update that did not happen.
!define EXIT_NO_INSTALL 2
!define EXIT_KEPT_OLD 3
!define EXIT_OUTSIDE_PROFILE 4
!define EXIT_BAD_CHANNEL 5
; What the setup program takes as a channel name, 1 to 32 of these.
!define CHANNEL_CHARACTERS "abcdefghijklmnopqrstuvwxyz0123456789-"
; Named the same in the setup program's update code.
!define UPDATE_MUTEX "Local\ZanSetupUpdate"

Var UpdateMode
; 1 when this install writes the shared record and link.
Var OwnsRecord
; /Channel=: 1 when given, and the name (empty: the default channel).
Var ChannelGiven
Var Channel

Name "ZanSetup"
OutFile "${OUTFILE}"
; Beside the program folder the setup program keeps download\ (and the
; update's download\Zansetup), so the folder is one of the user's own.
InstallDir "$LOCALAPPDATA\Corvela\${ENTRY}"
ShowInstDetails show
BrandingText "corvela"

; The setup program's update check reads the fixed file version: an update
; must be newer than the running build.
VIProductVersion "${VERSION_BLOCK}"
VIFileVersion "${VERSION_BLOCK}"
VIAddVersionKey /LANG=1033 "ProductName" "ZanSetup"
VIAddVersionKey /LANG=1033 "CompanyName" "corvela"
VIAddVersionKey /LANG=1033 "FileDescription" "ZanSetup installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION_BLOCK}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "corvela"

!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckFolderOnLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first is the default; the user's own language is chosen when it is one of these.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "TradChinese"

LangString OutsideProfile ${LANG_ENGLISH} "ZanSetup installs only into a folder of your own user profile ($PROFILE), where other users cannot change it. Please choose such a folder."
LangString OutsideProfile ${LANG_SIMPCHINESE} "ZanSetup 只能安装到您自己的用户配置文件夹（$PROFILE）中，其他用户无法更改那里的文件。请选择这样的文件夹。"
LangString BadChannel ${LANG_ENGLISH} 'The update channel "$Channel" is not usable: a channel name is 1 to 32 characters of a-z, 0-9 and -.'
LangString BadChannel ${LANG_SIMPCHINESE} '更新通道“$Channel”不可用：通道名称由 1 到 32 个 a-z、0-9 和 - 字符组成。'
LangString BadChannel ${LANG_TRADCHINESE} '更新通道「$Channel」無法使用：通道名稱由 1 到 32 個 a-z、0-9 和 - 字元組成。'
LangString OutsideProfile ${LANG_TRADCHINESE} "ZanSetup 只能安裝到您自己的使用者設定檔資料夾（$PROFILE）中，其他使用者無法變更那裡的檔案。請選擇這樣的資料夾。"

; Sets $R9 to 1 when $INSTDIR lies in the user's own profile, else to 0. A
; folder elsewhere (C:\ZanSetup, say) may be one that other users can
; change, and the setup program runs what lies in its folder.
Function CheckProfileFolder
  ; The platform's own reading of ".." and the like; the folder need not exist.
  System::Call 'kernel32::GetFullPathNameW(w "$INSTDIR", i ${NSIS_MAX_STRLEN}, w .R8, p 0) i .R4'
  ${If} $R4 == 0
    StrCpy $R8 ""
  ${EndIf}
  StrLen $R7 "$PROFILE"
  StrCpy $R6 $R8 $R7
  StrCpy $R5 $R8 1 $R7
  StrCpy $R9 0
  ${If} "$PROFILE" != ""
  ${AndIf} $R6 == "$PROFILE"
  ${AndIf} $R5 == "\"
    StrCpy $R9 1
  ${EndIf}
FunctionEnd

; Sets $R9 to 1 when $Channel is a channel name, else to 0: the setup
; program would take any other value for the default channel.
Function CheckChannelName
  StrCpy $R9 0
  StrLen $R8 $Channel
  ${If} $R8 < 1
  ${OrIf} $R8 > 32
    Return
  ${EndIf}
  StrCpy $R7 0
  ${Do}
    StrCpy $R6 $Channel 1 $R7
    StrCpy $R5 0
    ${Do}
      StrCpy $R4 "${CHANNEL_CHARACTERS}" 1 $R5
      ${If} $R4 == ""
        Return
      ${EndIf}
      ${IfThen} $R4 S== $R6 ${|} ${ExitDo} ${|}
      IntOp $R5 $R5 + 1
    ${Loop}
    IntOp $R7 $R7 + 1
  ${LoopUntil} $R7 >= $R8
  StrCpy $R9 1
FunctionEnd

; Takes /Channel=NAME; a name the setup program would not read is refused
; before anything is written.
Function ReadChannelOption
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/Channel=" $Channel
  ${If} ${Errors}
    Return
  ${EndIf}
  StrCpy $ChannelGiven 1
  ${If} $Channel != ""
    Call CheckChannelName
    ${If} $R9 != 1
      MessageBox MB_OK|MB_ICONSTOP "$(BadChannel)" /SD IDOK
      SetErrorLevel ${EXIT_BAD_CHANNEL}
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Function CheckFolderOnLeave
  Call CheckProfileFolder
  ${If} $R9 != 1
    MessageBox MB_OK|MB_ICONSTOP "$(OutsideProfile)"
    Abort
  ${EndIf}
FunctionEnd

; The shared link and record, naming `program`; "version" last, so a record
; with this version names a complete install.
!macro WriteLinkAndRecord program version
  WriteRegStr HKCU "${LINK_KEY}" "" "URL:ZanSetup link"
  WriteRegStr HKCU "${LINK_KEY}" "URL Protocol" ""
  WriteRegStr HKCU "${LINK_KEY}\DefaultIcon" "" "${program},0"
  WriteRegStr HKCU "${LINK_KEY}\shell\open\command" "" '"${program}" "%1"'
  WriteRegStr HKCU "${RECORD_KEY}" "" ""
  WriteRegStr HKCU "${RECORD_KEY}" "Install_dir" "${program}"
  WriteRegStr HKCU "${RECORD_KEY}" "version" "${version}"
!macroend

!macro PutFiles folder
  SetOutPath "${folder}"
  File "${BIN}\ZanSetup.exe"
  File "${BIN}\ZanSetupSH.exe"
  File "${BIN}\npZanSetupOneClick.dll"
  SetOutPath "${folder}\language"
  File "${BIN}\language\*.locale"
!macroend

; Moves `name` aside and the staged one into its place; on failure jumps
; to `failed`, with whatever was already moved aside still aside.
!macro SwapIn name failed
  Delete "$INSTDIR\${name}.old"
  RMDir /r "$INSTDIR\${name}.old"
  ClearErrors
  ${If} ${FileExists} "$INSTDIR\${name}"
    Rename "$INSTDIR\${name}" "$INSTDIR\${name}.old"
    IfErrors ${failed}
  ${EndIf}
  Rename "$INSTDIR\update.new\${name}" "$INSTDIR\${name}"
  IfErrors ${failed}
!macroend

; Puts `name` back from aside, if it was moved.
!macro SwapBack name
  ${If} ${FileExists} "$INSTDIR\${name}.old"
    ${If} ${FileExists} "$INSTDIR\${name}"
      Delete "$INSTDIR\${name}"
      RMDir /r "$INSTDIR\${name}"
    ${EndIf}
    Rename "$INSTDIR\${name}.old" "$INSTDIR\${name}"
  ${EndIf}
!macroend

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/Inst=" $R1
  ${IfNot} ${Errors}
    StrCpy $UpdateMode 1
    SetSilent silent
    ; The folder of this flavour's install, whatever /D= says: the shared
    ; record may name the other flavour's program.
    ReadRegStr $R2 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R2 == ""
      SetErrorLevel ${EXIT_NO_INSTALL}
      Quit
    ${EndIf}
    StrCpy $INSTDIR $R2
  ${EndIf}
  ; Silent installs and updates are refused before anything is written;
  ; the folder page refuses interactively.
  ${If} ${Silent}
    Call CheckProfileFolder
    ${If} $R9 != 1
      SetErrorLevel ${EXIT_OUTSIDE_PROFILE}
      Quit
    ${EndIf}
  ${EndIf}
  Call ReadChannelOption
  ${If} $UpdateMode == 1
    Call TakeUpdateMutex
  ${EndIf}
FunctionEnd

; The setup program's update mutex, held until this installer ends: its
; runs then leave the files set aside here alone, and start no second
; update. The run that started this lets go of it right after the start;
; a mutex left by a run that ended (128, abandoned) is ours all the same.
; Not had within a minute, nothing is touched.
Function TakeUpdateMutex
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${UPDATE_MUTEX}") p .R3'
  System::Call 'kernel32::WaitForSingleObject(p R3, i 60000) i .R4'
  ${If} $R4 <> 0
  ${AndIf} $R4 <> 128
    SetErrorLevel ${EXIT_KEPT_OLD}
    Quit
  ${EndIf}
FunctionEnd

Function UpdateFiles
  RMDir /r "$INSTDIR\update.new"
  ClearErrors
  CreateDirectory "$INSTDIR\update.new"
  IfErrors kept
  !insertmacro PutFiles "$INSTDIR\update.new"
  SetOutPath "$INSTDIR"
  IfErrors kept
  ${IfNot} ${FileExists} "$INSTDIR\update.new\ZanSetup.exe"
    Goto kept
  ${EndIf}
  !insertmacro SwapIn "npZanSetupOneClick.dll" undo
  !insertmacro SwapIn "ZanSetupSH.exe" undo
  !insertmacro SwapIn "language" undo
  !insertmacro SwapIn "ZanSetup.exe" undo
  RMDir /r "$INSTDIR\update.new"
  ; Old files still in use stay aside until the next update or the uninstall.
  Delete "$INSTDIR\npZanSetupOneClick.dll.old"
  Delete "$INSTDIR\ZanSetupSH.exe.old"
  RMDir /r "$INSTDIR\language.old"
  Delete "$INSTDIR\ZanSetup.exe.old"
  Return
  undo:
    !insertmacro SwapBack "ZanSetup.exe"
    !insertmacro SwapBack "language"
    !insertmacro SwapBack "ZanSetupSH.exe"
    !insertmacro SwapBack "npZanSetupOneClick.dll"
  kept:
    SetOutPath "$TEMP"
    RMDir /r "$INSTDIR\update.new"
    SetErrorLevel ${EXIT_KEPT_OLD}
    Quit
FunctionEnd

Section "ZanSetup"
  ; An install takes the record; an update keeps it with whichever flavour
  ; has it, and takes it only when there is none.
  StrCpy $OwnsRecord 1
  ReadRegStr $R0 HKCU "${RECORD_KEY}" "Install_dir"
  ${If} $UpdateMode == 1
  ${AndIf} $R0 != ""
  ${AndIf} $R0 != "$INSTDIR\ZanSetup.exe"
    StrCpy $OwnsRecord 0
  ${EndIf}
  ${If} $UpdateMode == 1
    Call UpdateFiles
  ${Else}
    !insertmacro PutFiles "$INSTDIR"
  ${EndIf}
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

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${DISPLAY_NAME}"
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

  ; The link is written by an update too, so an install from before the
  ; link gets it.
  ${If} $OwnsRecord == 1
    !insertmacro WriteLinkAndRecord "$INSTDIR\ZanSetup.exe" "${VERSION}"
  ${EndIf}
  ; Without /Channel= the record's channel stays, through updates too.
  ${If} $ChannelGiven == 1
    ${If} $Channel == ""
      DeleteRegValue HKCU "${RECORD_KEY}" "channel"
    ${Else}
      WriteRegStr HKCU "${RECORD_KEY}" "channel" "$Channel"
    ${EndIf}
  ${EndIf}
SectionEnd

; The files the setup program makes in download\<product> (the package,
; its block state and data file, the language file) and in download\Zansetup
; (the update), then those folders and download\ itself if nothing else is
; left in them.
Function un.RemoveDownloads
  StrCpy $R3 "$INSTDIR\..\download"
  FindFirst $R4 $R5 "$R3\*"
  ${DoWhile} $R5 != ""
    ${If} $R5 != "."
    ${AndIf} $R5 != ".."
    ${AndIf} ${FileExists} "$R3\$R5\*.*"
      Delete "$R3\$R5\install.exe"
      Delete "$R3\$R5\install.exe.tmp"
      Delete "$R3\$R5\install.exe.size"
      Delete "$R3\$R5\*.locale"
      Delete "$R3\$R5\*.locale.tmp"
      Delete "$R3\$R5\ZanSetup.exe"
      Delete "$R3\$R5\ZanSetup.exe.tmp"
      RMDir "$R3\$R5"
    ${EndIf}
    FindNext $R4 $R5
  ${Loop}
  FindClose $R4
  Delete "$R3\${DOWNLOAD_MARK}"
  RMDir "$R3"
FunctionEnd

Section "Uninstall"
  ClearErrors
  UnRegDLL "$INSTDIR\npZanSetupOneClick.dll"
  Delete "$INSTDIR\ZanSetup.exe"
  Delete "$INSTDIR\ZanSetupSH.exe"
  Delete "$INSTDIR\npZanSetupOneClick.dll"
  Delete "$INSTDIR\ZanSetup.exe.old"
  Delete "$INSTDIR\ZanSetupSH.exe.old"
  Delete "$INSTDIR\npZanSetupOneClick.dll.old"
  Delete "$INSTDIR\zansetup.log"
  Delete "$INSTDIR\language\*.locale"
  RMDir "$INSTDIR\language"
  RMDir /r "$INSTDIR\language.old"
  RMDir /r "$INSTDIR\update.new"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; The other flavour, when it is still installed.
  ReadRegStr $R1 HKCU "${OTHER_UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $R2 HKCU "${OTHER_UNINSTALL_KEY}" "DisplayVersion"
  ${If} $R1 != ""
  ${AndIfNot} ${FileExists} "$R1\ZanSetup.exe"
    StrCpy $R1 ""
  ${EndIf}
  ; What the setup program downloaded beside its folder is ours too, and
  ; the other flavour's while it is there; the products it installed live
  ; elsewhere and stay. Only the files the setup program makes go, and a
  ; folder only once that leaves it empty: whatever else is there, a
  ; user's own file or a download folder that was there before us, stays.
  ${If} $R1 == ""
    Call un.RemoveDownloads
  ${EndIf}
  ; The shared record and link go when they name this install, to the
  ; other flavour when it is still there.
  ; The same user's channel and rollout bucket stay with it; with the last
  ; flavour gone, they go with the record.
  ReadRegStr $R0 HKCU "${RECORD_KEY}" "Install_dir"
  ${If} $R0 == "$INSTDIR\ZanSetup.exe"
    ReadRegStr $R6 HKCU "${RECORD_KEY}" "channel"
    ClearErrors
    ReadRegDWORD $R7 HKCU "${RECORD_KEY}" "rollout_bucket"
    StrCpy $R8 1
    ${IfThen} ${Errors} ${|} StrCpy $R8 0 ${|}
    DeleteRegKey HKCU "${LINK_KEY}"
    DeleteRegKey HKCU "${RECORD_KEY}"
    ${If} $R1 != ""
      !insertmacro WriteLinkAndRecord "$R1\ZanSetup.exe" "$R2"
      ${IfThen} $R6 != "" ${|} WriteRegStr HKCU "${RECORD_KEY}" "channel" "$R6" ${|}
      ${IfThen} $R8 == 1 ${|} WriteRegDWORD HKCU "${RECORD_KEY}" "rollout_bucket" $R7 ${|}
    ${EndIf}
  ${EndIf}
  DeleteRegKey /ifempty HKCU "Software\Corvela"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
