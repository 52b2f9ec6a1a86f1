; The demo product's installer. Silent with " /S"; the install folder comes
; from " /D=folder", which NSIS itself reads (last argument, unquoted).
;
; Defines given by the build:
;   TARGET       the installer's processor and character set (x86-unicode,
;                amd64-unicode): the flavour being built
;   OUTFILE      installer to write
;   AGENT        DemoAgent.exe to install
;   README       readme text to install
;   DEMO_FAIL    stop after installing part of the files, exit code 1
;   DEMO_LINGER  start DemoAgent.exe without waiting for it; it keeps running
;                after the installer has ended
;   DEMO_SLOW    wait four seconds before installing anything, so that a test
;                can act while the installer runs
;   DEMO_UPDATE_WAIT  install once no run holds the setup program's update
;                mutex (a minute at most): an update worker, which holds it
;                to its end, has then done all it will within the run

!ifndef TARGET
  !error "TARGET must be defined"
!endif
Target ${TARGET}
; Runs with the rights of whoever starts it and writes no registry at all.
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef OUTFILE
  !error "OUTFILE must be defined"
!endif
!ifndef AGENT
  !error "AGENT must be defined"
!endif
!ifndef README
  !error "README must be defined"
!endif

!define VARIANT_NAME "normal"
!ifdef DEMO_FAIL & DEMO_LINGER
  !undef VARIANT_NAME
  !define VARIANT_NAME "linger-fail"
!else ifdef DEMO_FAIL
  !undef VARIANT_NAME
  !define VARIANT_NAME "fail"
  !define FAIL_BEFORE_PROGRAM
!else ifdef DEMO_LINGER
  !undef VARIANT_NAME
  !define VARIANT_NAME "linger"
!else ifdef DEMO_SLOW
  !undef VARIANT_NAME
  !define VARIANT_NAME "slow"
!else ifdef DEMO_UPDATE_WAIT
  !undef VARIANT_NAME
  !define VARIANT_NAME "update-wait"
!endif

Name "Demo"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Demo"
ShowInstDetails show

VIProductVersion "1.0.0.0"
VIAddVersionKey "ProductName" "Demo"
VIAddVersionKey "FileDescription" "Demo setup (${VARIANT_NAME})"
VIAddVersionKey "FileVersion" "1.0.0.0"
VIAddVersionKey "ProductVersion" "1.0"
VIAddVersionKey "LegalCopyright" "Sample product of the setup demonstration"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Demo"
!ifdef DEMO_SLOW
  Sleep 4000
!endif
!ifdef DEMO_UPDATE_WAIT
  ; SYNCHRONIZE | MUTEX_MODIFY_STATE; none to open: no run holds it.
  System::Call 'kernel32::OpenMutexW(i 0x00100001, i 0, w "Local\ZanSetupUpdate") p .r0'
  StrCmp $0 0 update_free
  System::Call 'kernel32::WaitForSingleObject(p r0, i 60000) i .r1'
  ; WAIT_TIMEOUT: installed all the same, and the test sees what is missing.
  IntCmp $1 258 update_closed
  System::Call 'kernel32::ReleaseMutex(p r0)'
  update_closed:
  System::Call 'kernel32::CloseHandle(p r0)'
  update_free:
!endif
  SetOutPath "$INSTDIR"
  File "/oname=readme.txt" "${README}"

!ifdef FAIL_BEFORE_PROGRAM
  ; Half an installation: the readme is there, the program is not.
  DetailPrint "Demo setup fails on purpose"
  SetErrorLevel 1
  Quit
!endif

  File "/oname=DemoAgent.exe" "${AGENT}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  FileOpen $0 "$INSTDIR\installed.txt" w
  FileWrite $0 "Demo 1.0 ${VARIANT_NAME}$\r$\n$INSTDIR$\r$\n"
  FileClose $0

!ifdef DEMO_LINGER
  ; Exec does not wait: the agent outlives this installer.
  Exec '"$INSTDIR\DemoAgent.exe"'
!endif

!ifdef DEMO_FAIL
  ; The agent is running and the installer reports failure.
  SetErrorLevel 1
  Quit
!endif
  SetErrorLevel 0
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\readme.txt"
  Delete "$INSTDIR\DemoAgent.exe"
  Delete "$INSTDIR\installed.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
