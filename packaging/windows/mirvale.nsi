; The Windows installer: mirvale-setup.exe puts the service and the DLLs it needs into
; Program Files, registers the service (automatic start) and its event log source with the
; program's own -i switch, and starts it; the service makes this machine's TLS certificate and
; trusts its CA at its first start. The uninstaller stops the service, takes that trust away
; (mirvale-certificate.exe untrust) and removes all of it. /S runs either silently. Built by packaging/windows/installer.cmake:
;   makensis -DVERSION=... -DDESCRIPTION=... -DBIN=<folder of mirvale.exe>
;            -DGENERATED=<folder of install-files.nsh, uninstall-files.nsh> -DOUTFILE=... mirvale.nsi

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "LogicLib.nsh"
!include "StrFunc.nsh"
${StrStr}
${UnStrStr}

!define SERVICE "Mirvale"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Mirvale"
; The service's working folders: fixed, whoever is logged on.
!define PUBLIC_FOLDER "C:\Users\Public\Mirvale"

Name "Mirvale"
Caption "Mirvale ${VERSION} Setup"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Mirvale"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "Mirvale"
VIAddVersionKey /LANG=1033 "CompanyName" "Tessor"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Tessor"
VIAddVersionKey /LANG=1033 "FileDescription" "Mirvale ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Runs a program and leaves its exit code in $0 (error when it could not be started).
!macro Run COMMAND
    DetailPrint '${COMMAND}'
    nsExec::ExecToLog '${COMMAND}'
    Pop $0
!macroend

; Stops the service if it runs and waits up to 30 s for the service manager to report it
; stopped; a service that is not installed counts as stopped.
!macro StopService UN
Function ${UN}StopService
    nsExec::ExecToStack '"$SYSDIR\sc.exe" stop ${SERVICE}'
    Pop $0
    Pop $1
    StrCpy $2 0
    ${Do}
        nsExec::ExecToStack '"$SYSDIR\sc.exe" query ${SERVICE}'
        Pop $0
        Pop $1
        ${If} $0 != 0
            ${Break} ; not installed
        ${EndIf}
        !if "${UN}" == ""
            ${StrStr} $3 $1 "STOPPED"
        !else
            ${UnStrStr} $3 $1 "STOPPED"
        !endif
        ${If} $3 != ""
            ${Break}
        ${EndIf}
        IntOp $2 $2 + 1
        ${If} $2 > 60
            DetailPrint "The service ${SERVICE} did not stop within 30 s."
            ${Break}
        ${EndIf}
        Sleep 500
    ${Loop}
FunctionEnd
!macroend
!insertmacro StopService ""
!insertmacro StopService "un."

Section "Mirvale"
    SetShellVarContext all
    ; A service of an earlier install is stopped before its files are replaced.
    Call StopService

    !include "${GENERATED}\install-files.nsh"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Mirvale"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tessor"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Comments" "${DESCRIPTION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\mirvale.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

    ; The service, starting with the system, and its event log source; registered afresh, as an
    ; earlier install may have been in another folder.
    !insertmacro Run '"$INSTDIR\mirvale.exe" -u'
    !insertmacro Run '"$INSTDIR\mirvale.exe" -i'
    ${If} $0 != 0
        MessageBox MB_ICONSTOP "Mirvale could not register its service (error $0)." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    !insertmacro Run '"$SYSDIR\sc.exe" start ${SERVICE}'
    ${If} $0 != 0
        MessageBox MB_ICONEXCLAMATION "The service Mirvale did not start (error $0); it starts with Windows next time." /SD IDOK
    ${EndIf}
SectionEnd

; Removes a working folder's files and the folder, unless it is a link somewhere else (a
; junction or symbolic link that someone put in place): nothing outside is ever deleted.
Function un.RemoveWorkingFolder
    Exch $R0
    Push $R1
    System::Call 'kernel32::GetFileAttributesW(w R0) i .R1'
    ${If} $R1 != -1
        IntOp $R1 $R1 & 0x400 ; FILE_ATTRIBUTE_REPARSE_POINT
        ${If} $R1 == 0
            Delete "$R0\*.*"
            RMDir "$R0"
        ${EndIf}
    ${EndIf}
    Pop $R1
    Pop $R0
FunctionEnd

Section "Uninstall"
    SetShellVarContext all
    Call un.StopService
    ; The service goes once it has stopped; its event log source at once.
    !insertmacro Run '"$INSTDIR\mirvale.exe" -u'

    ; The CA leaves the Root store, and Firefox's policy goes if the service set it.
    ${If} ${FileExists} "$INSTDIR\mirvale-ca.crt"
        !insertmacro Run '"$INSTDIR\mirvale-certificate.exe" untrust "$INSTDIR\mirvale-ca.crt"'
    ${EndIf}

    !include "${GENERATED}\uninstall-files.nsh"
    ; This machine's certificate, made by the service.
    Delete "$INSTDIR\server.crt"
    Delete "$INSTDIR\server.key"
    Delete "$INSTDIR\mirvale-ca.crt"
    Delete "$INSTDIR\mirvale-ca.trusted"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    ; The playlists and subtitles the service left, unless the folder is not the service's own.
    System::Call 'kernel32::GetFileAttributesW(w "${PUBLIC_FOLDER}") i .r1'
    ${If} $1 != -1
        IntOp $1 $1 & 0x400
        ${If} $1 == 0
            Push "${PUBLIC_FOLDER}\playlist"
            Call un.RemoveWorkingFolder
            Push "${PUBLIC_FOLDER}\subfiles"
            Call un.RemoveWorkingFolder
            RMDir "${PUBLIC_FOLDER}"
        ${EndIf}
    ${EndIf}

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
