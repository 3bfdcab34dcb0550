; The Windows installer of Quennet: a per-user install that needs no
; administrator rights (the programs go to the user's own program folder,
; the uninstall entry to the user's registry hive), a Start-menu entry with
; the program's icon, and an uninstaller.
; Built by the windows_package target of a Windows build, which defines
;   VERSION   the program's version (1.0.5)
;   STAGE     the folder holding quennet.exe, quennet-flash.exe, README.txt, LICENSE.txt
;   ICON      the program's icon (.ico)
;   OUTFILE   the installer to write

; A 64-bit installer for the 64-bit programs: it runs where they run.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quennet"

Name "Quennet ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Quennet"
; A second install goes where the first one went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Quennet ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Quennet"
VIAddVersionKey /LANG=1033 "FileDescription" "Quennet ${VERSION} installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 The Quennet developers (MIT licence)"

!include "MUI2.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\quennet.exe"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Quennet"
  SetOutPath "$INSTDIR"
  File "${STAGE}\quennet.exe"
  File "${STAGE}\quennet-flash.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortcut "$SMPROGRAMS\Quennet.lnk" "$INSTDIR\quennet.exe" "" "$INSTDIR\quennet.exe" 0 \
    SW_SHOWNORMAL "" "Serial terminal and flash loader"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Quennet"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "The Quennet developers"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quennet.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put there. The settings file that the program
; keeps beside itself (quennet.INI) is the user's and stays, and with it the
; folder; a folder left empty goes.
Section "Uninstall"
  Delete "$INSTDIR\quennet.exe"
  Delete "$INSTDIR\quennet-flash.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Quennet.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
