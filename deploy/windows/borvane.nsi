; The Windows installer: per user, without administrator rights, under the user's local programs
; folder, so that the program folder stays writable for config\, logs\, crash dumps and the
; client's self-update. scripts/build-windows.sh runs it as
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DFILEVERSION=1.0.0.0 -DSTAGE=<folder with the
;            two programs> -DOUTFILE=<setup.exe> -DICON=<borvane.ico> borvane.nsi
; Silent: setup.exe /S [/D=<folder>]; uninstall.exe /S keeps config\, /S /PURGE removes it too.
; A 64-bit installer for a 64-bit program (and Wine without its 32-bit half runs it).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define APP "Borvane"
!define EXE "Borvane内网穿透.exe"
; The autostart value the client writes is named after the executable's base name.
!define RUN_VALUE "Borvane内网穿透"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
; An install over an older version finds its folder again, and with it the settings kept there.
InstallDir "$LOCALAPPDATA\Programs\${APP}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${APP} ${VERSION}"

VIProductVersion "${FILEVERSION}"
VIFileVersion "${FILEVERSION}"
VIAddVersionKey /LANG=2052 "ProductName" "${APP}"
VIAddVersionKey /LANG=2052 "CompanyName" "${APP}"
VIAddVersionKey /LANG=2052 "FileDescription" "${APP} ${VERSION} 安装程序"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "LegalCopyright" "${APP}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Section "-Program"
    ; The working folder of the shortcut and the finish page is the program folder, where the
    ; client writes its logs and crash dumps.
    SetOutPath "$INSTDIR"
    File "${STAGE}/${EXE}"
    File "${STAGE}/tsy_up.exe"
    File "${STAGE}/borvane-agent.exe"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\${EXE}"

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${APP}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section "-un.Program"
    ; An agent service set up from this folder goes first (it needed an administrator to set
    ; up, and without one this only fails; the files go all the same).
    nsExec::Exec '"$INSTDIR\borvane-agent.exe" uninstall-service'
    Pop $0
    Delete "$INSTDIR\${EXE}"
    Delete "$INSTDIR\tsy_up.exe"
    Delete "$INSTDIR\borvane-agent.exe"
    Delete "$INSTDIR\tsy_up.log"
    Delete "$INSTDIR\*.dmp"
    RMDir /r "$INSTDIR\logs"
    RMDir /r "$INSTDIR\update"
    Delete "$INSTDIR\uninstall.exe"
    Delete "$SMPROGRAMS\${APP}.lnk"
    ; The desktop link and the autostart value are the client's own; the value goes only when
    ; it starts this copy.
    Delete "$DESKTOP\${APP}.lnk"
    ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${If} $0 == "$INSTDIR\${EXE}"
        DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${EndIf}
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

; Unticked unless asked for: the account and the tunnels' autostart flags survive an uninstall.
Section /o "un.删除设置 (config)" SecSettings
    RMDir /r "$INSTDIR\config"
SectionEnd

Section "-un.Folder"
    ; Only when empty: a kept config\ keeps its folder.
    RMDir "$INSTDIR"
SectionEnd

Function un.onInit
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/PURGE" $1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${SecSettings}
    ${EndIf}
FunctionEnd
