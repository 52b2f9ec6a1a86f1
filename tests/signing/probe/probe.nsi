; An installer whose uninstaller is signed as the real one's is, and copied
; out for the test to look at: nothing runs it.
Unicode true
RequestExecutionLevel user
OutFile "${OUTFILE}"
!ifdef SIGN_COMMAND
  !uninstfinalize '${SIGN_COMMAND} "%1"'
!endif
!uninstfinalize 'cp "%1" "${UNINSTALLER_COPY}"'

Section
  WriteUninstaller "$TEMP\probe-uninstall.exe"
SectionEnd

Section Uninstall
SectionEnd
