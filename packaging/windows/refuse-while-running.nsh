; The installer and the uninstaller refuse while a program of the tool runs:
; replacing or removing it under a running program would leave it orphaned,
; or half replaced with no uninstall entry. Both say so and end, with exit
; status 3 (LUMAVIX_EXIT_RUNNING) under /S; the uninstaller reports it only
; when it is started with _?=FOLDER (otherwise it hands over to a copy of
; itself and ends at once). Called first in .onInit and un.onInit.
;
; The window holds its named mutex for its whole life, in its session and
; machine-wide; a running program's file cannot be opened for writing, which
; also finds the command line. Checked in $INSTDIR and in the folder of the
; installation on record (an upgrade replaces that one).
!include LogicLib.nsh

!define LUMAVIX_EXIT_RUNNING 3

!macro LumavixMutexExists NAME
  ; SYNCHRONIZE only: the rights the window's mutexes grant everyone.
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${NAME}") p .r0'
  ${If} $0 != 0
    System::Call 'kernel32::CloseHandle(p r0)'
    StrCpy $1 1
  ${EndIf}
!macroend

!macro LumavixFileInUse FILE
  ${If} ${FileExists} "${FILE}"
    ClearErrors
    FileOpen $0 "${FILE}" a
    ${If} ${Errors}
      StrCpy $1 1
    ${Else}
      FileClose $0
    ${EndIf}
  ${EndIf}
!macroend

!macro LumavixRefuseWhileRunningFunction UN
Function ${UN}LumavixRefuseWhileRunning
  Push $0
  Push $1
  Push $2
  StrCpy $1 0
  !insertmacro LumavixMutexExists "LUMAVIX_Firmware_Update_Tool"
  !insertmacro LumavixMutexExists "Global\LUMAVIX_Firmware_Update_Tool"
  ReadRegStr $2 HKLM "Software\LUMAVIX\LUMAVIX Firmware Update Tool" ""
  !insertmacro LumavixFileInUse "$INSTDIR\lumavix-update.exe"
  !insertmacro LumavixFileInUse "$INSTDIR\lumavix-fw.exe"
  ${If} $2 != ""
    !insertmacro LumavixFileInUse "$2\lumavix-update.exe"
    !insertmacro LumavixFileInUse "$2\lumavix-fw.exe"
  ${EndIf}
  ${If} $1 == 1
    MessageBox MB_OK|MB_ICONSTOP "The LUMAVIX Firmware Update Tool is running.$\n$\nPlease close its window and wait for any lumavix-fw command to end, then try again." /SD IDOK
    SetErrorLevel ${LUMAVIX_EXIT_RUNNING}
    Quit
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend

!insertmacro LumavixRefuseWhileRunningFunction ""
!insertmacro LumavixRefuseWhileRunningFunction "un."
