; The Windows installer of Korvessa (NSIS 3, built by scripts/windows.sh):
; installs for the current user alone, without administrator rights, into
; %LOCALAPPDATA%\Programs\Korvessa; a Start-menu shortcut, an optional desktop
; shortcut, an entry in Programs and Features and an uninstaller. The
; uninstaller removes what was installed and leaves the window's placement
; file (korvessa.ini) and with it the folder.
;
; Defined by the caller: VERSION, FILES and UNFILES (the lists of what to
; install and to remove), ICON, OUTFILE.
; A 64-bit installer for a 64-bit program (it also runs where Wine has no 32-bit part).
Target amd64-unicode
!include "MUI2.nsh"
!include "FileFunc.nsh"

!define PRODUCT "Korvessa"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvessa"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "Software\${PRODUCT}" "InstallDir"
RequestExecutionLevel user
SetCompressor /SOLID lzma
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} 短信群发客户端 安装程序"
VIAddVersionKey /LANG=2052 "LegalCopyright" "${PRODUCT}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\korvessa.exe"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

Section "${PRODUCT} 程序" SecProgram
  SectionIn RO
  SetShellVarContext current
  !include "${FILES}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\korvessa.exe"
  WriteRegStr HKCU "Software\${PRODUCT}" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\korvessa.exe"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section "桌面快捷方式" SecDesktop
  SetShellVarContext current
  CreateShortcut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\korvessa.exe"
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  ; Left while the placement file korvessa.ini is in it.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$DESKTOP\${PRODUCT}.lnk"
  DeleteRegKey HKCU "${UNINST_KEY}"
  DeleteRegKey HKCU "Software\${PRODUCT}"
SectionEnd
